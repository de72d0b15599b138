#include "pattern/char_set.hpp"

#include <gtest/gtest.h>

#include <string>
#include <string_view>

namespace kestrom {
namespace {

using namespace std::literals;

/// The members of a set in byte order.
std::string members(const char_set& set) {
    std::string out;
    for (int b = 0; b < 256; ++b)
        if (set_contains(static_cast<unsigned char>(b), set)) out += static_cast<char>(b);
    return out;
}

TEST(CharSet, ParsesTheSetLanguage) {
    // One row per rule; the fuzzer proves that a leading '!' gives the complement.
    struct row {
        std::string_view text;     // the bytes between the brackets
        std::string_view members;  // the members, or with all_but the only non-members
        bool all_but = false;
    };
    // clang-format off
    const row rows[] = {
        {"", ""}, {"a-cx", "abcx"}, {"0-9,a-f", "0123456789abcdef"},
        // A reversed range lists its first byte; a range goes on from its last byte.
        {"e-a", "e"}, {"a-c-e", "abcde"},
        // A later item removes, a yet later one adds back; '!' adds the complement of its item.
        {"a-e,-b-d,c", "ace"}, {"-a", ""}, {"a-z,!e", "", true},
        // Of several operators the last counts; only the first byte of an item is an operator.
        {"-!a", "a", true}, {"!-a", ""}, {"a!b", "!ab"},
        // A '-' that ends the text or an item is a member.
        {"a-", "-a"}, {"a-,b", "-ab"}, {"a--", "a"},
        // A backslash protects the next byte, and is a member at the end.
        {"\\-a\\,\\\\", "-a,\\"}, {"a\\", "\\a"},
        // A range spans bytes whatever they are, compared unsigned.
        {"Z-^", "Z[\\]^"}, {"\0-\x02"sv, "\x00\x01\x02"sv}, {"\x7f-\x81"sv, "\x7f\x80\x81"sv},
    };
    // clang-format on
    for (const row& r : rows) {
        char_set expected;
        for (unsigned char c : r.members)
            set_add(c, expected);
        if (r.all_but) set_invert(expected);
        char_set parsed;
        set_invert(parsed);  // parsing overwrites whatever the result held
        parse_set(parsed, reinterpret_cast<const unsigned char*>(r.text.data()), r.text.size());
        EXPECT_EQ(members(parsed), members(expected)) << "set text: " << r.text;
        EXPECT_EQ(set_is_empty(parsed), r.members.empty() && !r.all_but) << "set text: " << r.text;
    }
}

}  // namespace
}  // namespace kestrom
