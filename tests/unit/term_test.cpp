#include "term/term.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace kestrom {
namespace {

TEST(Term, SequencesAndAttributeByte) {
    char buf[64] = {};
    std::FILE* f = fmemopen(buf, sizeof buf, "w");
    ASSERT_NE(f, nullptr);
    term_state t;
    t.term_stream = f;
    term_bold(t);
    term_bold(t);
    EXPECT_EQ(t.term_attr, 15);
    term_reset(t);
    EXPECT_EQ(t.term_attr, 7);
    term_clear(t);
    t.term_on = false;
    term_bold(t);  // the attribute still changes; nothing is written
    EXPECT_EQ(t.term_attr, 15);
    std::fclose(f);
    EXPECT_EQ(std::string(buf), "\033[1m\033[1m\033[m\033[2J\033[H");
}

}  // namespace
}  // namespace kestrom
