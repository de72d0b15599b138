#include "pattern/escape.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

namespace kestrom {
namespace {

using namespace std::string_literals;

TEST(Escape, UnescapeDecodesInPlace) {
    struct test_case {
        std::string typed, decoded;
    };
    // clang-format off
    const test_case cases[] = {
        {"plain \x80\xff", "plain \x80\xff"},
        // Decimal: at most three digits, wrapping in one byte; no digits mean 0.
        {"#65#66", "AB"}, {"#0651", "A1"}, {"#256", "\0"s}, {"#", "\0"s}, {"a#1", "a\x01"},
        // Hexadecimal: at most two digits, either case.
        {"$4a$4A", "JJ"}, {"$414", "A4"}, {"$g", "\0g"s}, {"$", "\0"s}, {"$a", "\x0a"},
        // Backslash, '0', 'x': up to two hex digits.
        {"\\0x41", "A"}, {"\\0x4142", "A42"}, {"\\0x", "\0"s}, {"\\0x4", "\x04"},
        // Octal: the leading digit may be 8, the rest only 0..7; wrapping in one byte.
        {"\\101", "A"}, {"\\80", "@"}, {"\\18", "\0018"}, {"\\1234", "S4"}, {"\\777", "\xff"},
        {"\\12", "\x0a"}, {"\\9", "\\9"},
        // Letters, lower case only; '#' and '$' lose their backslash, metacharacters keep it.
        {"\\a\\b\\t\\n\\v\\f\\r", "\a\b\t\n\v\f\r"}, {"\\N", "\\N"}, {"\\#1\\$41", "#1$41"},
        {"\\*\\?\\[\\&\\@", "\\*\\?\\[\\&\\@"}, {"\\", "\\"},
        // Two backslashes collapse only before an escape byte or the end.
        {"\\\\n", "\\n"}, {"\\\\#65", "\\A"}, {"\\\\*", "\\\\*"}, {"\\\\9", "\\\\9"},
        {"\\\\", "\\"}, {"\\\\\\-", "\\\\\\-"}, {"\\\\\\\\", "\\\\\\"},
    };
    // clang-format on
    for (const auto& c : cases) {
        SCOPED_TRACE("typed: " + c.typed);
        // First exactly the string and its NUL on the heap, so the sanitizer sees any read past
        // it; then with digits after the NUL, which must neither be read nor change the result.
        for (const std::string& tail : {""s, "777\\"s}) {
            const std::string bytes = c.typed + '\0' + tail;
            auto buf = std::make_unique<char[]>(bytes.size());
            std::memcpy(buf.get(), bytes.data(), bytes.size());
            const std::size_t len = unescape(buf.get());
            EXPECT_EQ(std::string(buf.get(), len), c.decoded);
            EXPECT_EQ(buf[len], '\0');
            EXPECT_EQ(std::string(buf.get() + c.typed.size() + 1, tail.size()), tail);
        }
    }
}

}  // namespace
}  // namespace kestrom
