#include "match/emitter.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace kestrom {
namespace {

using namespace std::string_literals;

struct emitted {
    int result;
    std::int64_t replaced_count;
    std::string bytes;
};

// Runs the emitter once with a fresh state. The found text and the replacement live in heap
// blocks of exactly their size (the replacement with its NUL), so the sanitizer sees any read
// beyond them.
emitted emit(const std::string& found, const std::string& text, bool replace_meta, int fd,
             std::size_t capacity = STREAM_BUFFER_SIZE) {
    auto found_copy = std::make_unique<unsigned char[]>(found.size());
    std::memcpy(found_copy.get(), found.data(), found.size());
    auto text_copy = std::make_unique<char[]>(text.size() + 1);
    std::memcpy(text_copy.get(), text.c_str(), text.size() + 1);

    run_state rs;
    rs.opts.replace_meta = replace_meta;
    byte_writer out(fd, capacity);
    const int result =
        emit_replacement(rs, found_copy.get(), found.size(), text_copy.get(), text.size(), out);
    out.flush();
    return {result, rs.count.replaced_count, {}};
}

emitted emit_to_memory(const std::string& found, const std::string& text, bool replace_meta) {
    const int fd = memfd_create("emitter_test", 0);
    EXPECT_GE(fd, 0);
    emitted e = emit(found, text, replace_meta, fd);
    EXPECT_EQ(lseek(fd, 0, SEEK_SET), 0);
    char buf[4096];
    for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;)
        e.bytes.append(buf, n);
    close(fd);
    return e;
}

TEST(Emitter, WritesTheReplacement) {
    struct test_case {
        std::string found;
        std::string text;
        bool replace_meta;
        std::string expected;
    };
    const std::string hw = "Hello World";
    std::vector<test_case> cases = {
        // the found text, whole
        {hw, "[&]", true, "[Hello World]"},
        {hw, "&&", true, "Hello WorldHello World"},
        {"", "&", true, ""},
        // substrings: start limited to 0..found_len, end to found_len
        {hw, "@u()", true, "HELLO WORLD"},
        {hw, "@l(0,5)", true, "hello"},
        {hw, "@i(6)", true, "World"},
        {hw, "@u(6,100)", true, "WORLD"},
        {hw, "@i(,3)", true, "Hel"},
        {hw, "@i( 2 , 3 )", true, "llo"},
        {hw, "@i(\t\n\v\f\r2)", true, "llo World"},
        {hw, "@i(+2,+3)", true, "llo"},
        {hw, "@i(-3,5)", true, "Hello"},
        {hw, "@i(- 2)", true, hw},
        {hw, "@i(0x3)", true, hw},
        {hw, "@u(2x)", true, "LLO WORLD"},
        {hw, "@i(2,3,4)", true, "llo"},
        {hw, "@i(3,)", true, ""},
        {hw, "a@i(20)b", true, "ab"},
        {hw, "a@i(3,-1)b", true, "ab"},
        {hw, "x@u()", true, "xHELLO WORLD"},
        {"", "@u(1,2)", true, ""},
        // numbers beyond int, long and size_t limit exactly, and start + len does not wrap
        {hw, "@i(4294967297,2)", true, ""},
        {hw, "@i(99999999999999999999999)", true, ""},
        {hw, "@i(-99999999999999999999999,3)", true, "Hel"},
        {hw, "@i(1,4294967296)", true, "ello World"},
        {hw, "@i(1,18446744073709551615)", true, "ello World"},
        {hw, "@i(2,99999999999999999999999)", true, "llo World"},
        {hw, "@i(2,-99999999999999999999999)", true, ""},
        // malformed operators are literal bytes
        {hw, "@x(1)", true, "@x(1)"},
        {hw, "@U(1)", true, "@U(1)"},
        {hw, "@u(1", true, "@u(1"},
        {hw, "@u(", true, "@u("},
        {hw, "@u)()", true, "@u)()"},
        {hw, "@", true, "@"},
        // the ')' closing an operator is the first one after its '('
        {hw, "@i(1)@i(2)", true, "ello Worldllo World"},
        {hw, "@i(@u(1))", true, "Hello World)"},
        {hw, "@x(@u(1))", true, "@x(ELLO WORLD)"},
        {hw, "@i(x@i(xx", true, "@i(x@i(xx"},
        // a NUL ends the numbers but not the search for ')'
        {hw, "@i(1\0,2)"s, true, "ello World"},
        {hw, "@i(\0)"s, true, hw},
        {"abc", "a\0b"s, true, "a\0b"s},
        // '?' and '*' take the found text at their own index in the replacement
        {"abc", "x?z", true, "xbz"},
        {"abc", "???", true, "abc"},
        {"abc", "????", true, "abc?"},
        {"abc", "XY*", true, "XYc"},
        {"abc", "*", true, "abc"},
        {"abc", "xyz*", true, "xyz*"},
        {"abcdef", "**", true, "abcdefbcdef"},
        {"", "?*", true, "?*"},
        // backslash protection
        {"abc", "\\&", true, "&"},
        {"abc", "\\\\&", true, "\\abc"},
        {"abc", "\\*\\?\\@u()", true, "*?@u()"},
        {"abc", "\\??", true, "?c"},
        {"abc", "\\x", true, "\\x"},
        {"abc", "ab\\", true, "ab\\"},
        // case mapping is ASCII only
        {"\xe4xY\xc4", "@u()", true, "\xe4XY\xc4"},
        {"\xe4xY\xc4", "@l()", true, "\xe4xy\xc4"},
        {"a\0Z"s, "@l()&", true, "a\0za\0Z"s},
        // verbatim when the language is off
        {"abc", "&?*@u()\\&", false, "&?*@u()\\&"},
        {"abc", "a\0b"s, false, "a\0b"s},
        {"abc", "", false, ""},
        {"abc", "", true, ""},
    };
    // Replacements and found texts longer than 16 bits and than one stream buffer.
    const std::string long_found = std::string(70000, 'a') + "tail";
    cases.push_back(
        {long_found, std::string(70000, 'x') + "*", true, std::string(70000, 'x') + "tail"});
    cases.push_back({long_found, "@u(69998,4)", true, "AATA"});
    cases.push_back({"abc", std::string(70000, 'y') + "&", false, std::string(70000, 'y') + "&"});

    for (const auto& c : cases) {
        SCOPED_TRACE("text: " + c.text.substr(0, 40) + (c.replace_meta ? " (meta)" : ""));
        const emitted e = emit_to_memory(c.found, c.text, c.replace_meta);
        EXPECT_EQ(e.result, 0);
        EXPECT_EQ(e.replaced_count, 1);
        EXPECT_EQ(e.bytes, c.expected);
    }
}

TEST(Emitter, FailedWriteReturnsOneAndStillCounts) {
    struct test_case {
        std::string text;
        bool replace_meta;
        int result;
    };
    const test_case cases[] = {
        {"xy", false, 1},  {"xy", true, 1},     {"&", true, 1}, {"??", true, 1}, {"*", true, 1},
        {"@u()", true, 1}, {"\\&\\&", true, 1}, {"", false, 0}, {"", true, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("text: " + c.text + (c.replace_meta ? " (meta)" : ""));
        const int fd = open("/dev/full", O_WRONLY);
        ASSERT_GE(fd, 0);
        // A one-byte buffer makes the second byte reach the device.
        const emitted e = emit("abc", c.text, c.replace_meta, fd, 1);
        close(fd);
        EXPECT_EQ(e.result, c.result);
        EXPECT_EQ(e.replaced_count, 1);
    }
}

}  // namespace
}  // namespace kestrom
