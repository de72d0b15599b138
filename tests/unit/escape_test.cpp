#include "pattern/escape.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

namespace kestrom {
namespace {

// A heap copy of exactly the string and its NUL, so that the sanitizer sees any read past it.
std::unique_ptr<char[]> exact_copy(const std::string& text) {
    auto buf = std::make_unique<char[]>(text.size() + 1);
    std::memcpy(buf.get(), text.c_str(), text.size() + 1);
    return buf;
}

TEST(Escape, UnescapeDecodesInPlace) {
    using namespace std::string_literals;
    struct test_case {
        std::string typed;
        std::string decoded;
    };
    const test_case cases[] = {
        {"", ""},
        {"plain text", "plain text"},
        // decimal: at most three digits, wrapping in one byte
        {"#65#66", "AB"},
        {"#2555",
         "\xff"
         "5"},
        {"#256", "\0"s},
        {"#999", "\xe7"},
        {"#0651", "A1"},
        {"#7x", "\x07x"},
        {"a#", "a\0"s},
        {"#", "\0"s},
        // hexadecimal: at most two digits, either case
        {"$41$4a$4A", "AJJ"},
        {"$fFa",
         "\xff"
         "a"},
        {"$g", "\0g"s},
        {"US$", "US\0"s},
        {"$7", "\x07"},
        // backslash, '0', 'x': up to two hex digits, none meaning 0
        {"\\0x41", "A"},
        {"\\0X41", "A"},
        {"\\0x", "\0"s},
        {"\\0x4142", "A42"},
        {"\\0xg", "\0g"s},
        {"\\012",
         "\0"
         "12"s},
        {"\\0", "\0"s},
        // octal: the leading digit may be 8, the rest only 0..7
        {"\\101", "A"},
        {"\\18",
         "\x01"
         "8"},
        {"\\8", "\x08"},
        {"\\80", "@"},
        {"\\777", "\xff"},
        {"\\1234", "S4"},
        {"\\19",
         "\x01"
         "9"},
        {"\\9", "\\9"},
        // letters, lower case only
        {"\\a\\b\\t\\n\\v\\f\\r", "\a\b\t\n\v\f\r"},
        {"\\N", "\\N"},
        {"\\x41", "\\x41"},
        {"\\#1", "#1"},
        {"\\$", "$"},
        {"\\$41", "$41"},
        // pattern and replacement metacharacters keep their backslash for later stages
        {"\\*\\?\\[\\&\\@", "\\*\\?\\[\\&\\@"},
        {"\\", "\\"},
        // two backslashes collapse only before an escape byte or the end
        {"\\\\n", "\\n"},
        {"\\\\#65", "\\A"},
        {"\\\\$41", "\\A"},
        {"\\\\8", "\\8"},
        {"\\\\*", "\\\\*"},
        {"\\\\9", "\\\\9"},
        {"\\\\", "\\"},
        {"\\\\\\\\", "\\\\"},
        {"\\\\\\n", "\\\n"},
        {"\x80\xff#200", "\x80\xff\xc8"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("typed: " + c.typed);
        auto buf = exact_copy(c.typed);
        const std::size_t len = unescape(buf.get());
        EXPECT_EQ(std::string(buf.get(), len), c.decoded);
        EXPECT_EQ(buf[len], '\0');
    }
}

// Digits after the terminating NUL must neither be read nor change the result.
TEST(Escape, DecodeStopsAtTheTerminator) {
    using namespace std::string_literals;
    struct test_case {
        const char* typed;
        std::string decoded;
    };
    const test_case cases[] = {
        {"#", "\0"s},    {"#1", "\x01"},   {"$", "\0"s},    {"$a", "\x0a"},
        {"\\", "\\"},    {"\\0", "\0"s},   {"\\0x", "\0"s}, {"\\0x4", "\x04"},
        {"\\1", "\x01"}, {"\\12", "\x0a"}, {"\\\\", "\\"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.typed);
        char buf[16] = {};
        const std::size_t n = std::strlen(c.typed);
        std::memcpy(buf, c.typed, n);
        std::memcpy(buf + n + 1, "777\\", 4);
        const std::size_t len = unescape(buf);
        EXPECT_EQ(std::string(buf, len), c.decoded);
        EXPECT_EQ(std::memcmp(buf + n + 1, "777\\", 4), 0);
    }
    char empty[] = "";
    EXPECT_EQ(decode_escape(empty), 0);
}

}  // namespace
}  // namespace kestrom
