#include "pattern/trie.hpp"

#include <gtest/gtest.h>

#include <string>

namespace kestrom {
namespace {

TEST(Trie, Placeholder) { trie t; EXPECT_EQ(t.root, nullptr); }

}  // namespace
}  // namespace kestrom
