#include "match/emitter.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "test_io.hpp"

namespace kestrom {
namespace {

using namespace std::string_literals;

struct test_case {
    std::string found, text, expected;
};

// Runs the emitter once with a fresh state; gives the result and the replacement count. The
// found text and the replacement live in heap blocks of exactly their size (the replacement with
// its NUL), so the sanitizer sees any read beyond them.
std::pair<int, std::int64_t> emit(const test_case& c, int fd, std::size_t capacity) {
    const std::vector<unsigned char> found(c.found.begin(), c.found.end());
    const std::vector<char> text(c.text.c_str(), c.text.c_str() + c.text.size() + 1);
    run_state rs;
    rs.opts.replace_meta = true;
    byte_writer out(fd, capacity);
    const int result =
        emit_replacement(rs, found.data(), found.size(), text.data(), c.text.size(), out);
    out.flush();
    return {result, rs.count.replaced_count};
}

TEST(Emitter, WritesTheReplacementAndCounts) {
    // The fuzzer proves that the replacement comes out verbatim when the language is off.
    const std::string hw = "Hello World";
    // clang-format off
    const std::vector<test_case> cases = {
        {hw, "[&]", "[Hello World]"}, {"abc", "", ""},
        // Substrings in the three modes; the start is limited to 0..found_len, the end to
        // found_len, and an empty range writes nothing.
        {hw, "@l(0,5)@u(6,100)@i(6)", "helloWORLDWorld"},
        {hw, "@i(-3,5)a@i(20)b@i(3,-1)", "Helloab"},
        // The numbers are read as strtol reads them; what follows them up to the ')' is ignored.
        {hw, "@i(,3)@i( +2 , 3 )@u(2x)", "HellloLLO WORLD"},
        // Numbers beyond int, long and size_t limit exactly, and start + length does not wrap.
        {hw, "@i(4294967297,2)@i(18446744073709551617)", ""},
        {hw, "@i(-99999999999999999999999,3)@i(1,18446744073709551615)", "Helello World"},
        // Malformed operators are literal bytes; an operator ends at the first ')'.
        {hw, "@U(1)@u(1@", "@U(1)@u(1@"}, {hw, "@i(@u(1))", "Hello World)"},
        // A NUL ends the numbers but not the search for ')'.
        {hw, "@i(1\0,2)"s, "ello World"}, {"abc", "a\0b"s, "a\0b"s},
        // '?' and '*' take the found text at their own index in the replacement.
        {"abc", "????", "abc?"}, {"abc", "XY*", "XYc"}, {"abc", "xyz*", "xyz*"},
        // A backslash protects the next metacharacter and is itself before anything else.
        {"abc", "\\&\\\\&\\xab\\", "&\\abc\\xab\\"},
        // Case mapping is ASCII only.
        {"\xe4xY\xc4", "@u()", "\xe4XY\xc4"},
        {std::string(70000, 'a') + "tail", std::string(70000, 'x') + "*",
         std::string(70000, 'x') + "tail"},
    };
    // clang-format on
    for (const auto& c : cases) {
        SCOPED_TRACE("text: " + c.text.substr(0, 40));
        test::mem_file out;
        EXPECT_EQ(emit(c, out.fd(), STREAM_BUFFER_SIZE), std::make_pair(0, std::int64_t{1}));
        EXPECT_EQ(out.content(), c.expected);
        // A failed write gives 1 and the replacement still counts. With a one-byte buffer the
        // second byte reaches the device.
        const int full = open("/dev/full", O_WRONLY);
        EXPECT_EQ(emit(c, full, 1), std::make_pair(c.expected.size() > 1 ? 1 : 0, std::int64_t{1}));
        close(full);
    }
}

}  // namespace
}  // namespace kestrom
