#include "pattern/escape.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

namespace kestrom {
namespace {

using namespace std::string_literals;

TEST(Escape, UnescapeDecodesInPlace) {
    // One row per rule; the fuzzer proves that no text makes the decoding grow or read past it.
    struct test_case {
        std::string typed, decoded;
    };
    // clang-format off
    const test_case cases[] = {
        {"plain \x80\xff", "plain \x80\xff"},
        // Decimal: at most three digits, wrapping in one byte; no digits mean 0, which counts.
        {"#65#0651", "AA1"}, {"#256", "\0"s}, {"a#", "a\0"s},
        // Hexadecimal: at most two digits, either case; backslash, '0', 'x' the same.
        {"$4a$4A$414", "JJA4"}, {"$g", "\0g"s}, {"\\0x4142\\0X", "A42\0"s}, {"\\012", "\00012"s},
        // Octal: the leading digit may be 8, the rest only 0..7; wrapping in one byte.
        {"\\101\\1234", "AS4"}, {"\\80\\18", "@\0018"}, {"\\777\\9", "\xff\\9"},
        // Letters in lower case only; '#' and '$' lose the backslash, metacharacters keep it.
        {"\\a\\b\\t\\n\\v\\f\\r\\N", "\a\b\t\n\v\f\r\\N"}, {"\\#1\\$41", "#1$41"},
        {"\\*\\?\\[\\&\\@\\", "\\*\\?\\[\\&\\@\\"},
        // Two backslashes collapse before an escape byte or the end; else the second one may
        // begin the next escape.
        {"\\\\n\\\\#65", "\\n\\A"}, {"\\\\*\\\\\\\\", "\\\\*\\\\\\"},
    };
    // clang-format on
    for (const auto& c : cases) {
        // Exactly the string and its NUL on the heap, so the sanitizer sees any read past it.
        auto buf = std::make_unique<char[]>(c.typed.size() + 1);
        std::memcpy(buf.get(), c.typed.c_str(), c.typed.size() + 1);
        const std::size_t len = unescape(buf.get());
        EXPECT_EQ(std::string(buf.get(), len), c.decoded) << "typed: " << c.typed;
        EXPECT_EQ(buf[len], '\0') << "typed: " << c.typed;
    }
}

}  // namespace
}  // namespace kestrom
