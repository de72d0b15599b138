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
    struct row {
        std::string_view text;     // the bytes between the brackets
        std::string_view members;  // the members, or with all_but the only non-members
        bool all_but = false;
    };
    // clang-format off
    const row rows[] = {
        {"", ""}, {"abc", "abc"}, {"a-e", "abcde"}, {"e-a", "e"}, {"a-c-e", "abcde"},
        {"0-9,a-f", "0123456789abcdef"}, {"a-z,-e", "abcdfghijklmnopqrstuvwxyz"},
        {"!0-9", "0123456789", true}, {"!", "", true}, {"-a", ""},
        // A later item removes what an earlier one added, and a yet later one adds it back.
        {"a-e,-b-d,c", "ace"}, {"a-z,!e", "", true},
        // Only the first byte of an item is an operator; a trailing '-' is a member.
        {"!!a", "a", true}, {"-!a", "a", true}, {"!-a", ""}, {"a!b", "!ab"},
        {"a-", "-a"}, {"a--", "a"}, {"a-b-", "-ab"},
        // A backslash protects the next byte; a range spans bytes whatever they are.
        {"\\-a", "-a"}, {"\\,", ","}, {"\\\\", "\\"}, {"a\\", "\\a"}, {"Z-^", "Z[\\]^"},
        {"\0-\x02"sv, "\x00\x01\x02"sv}, {"\xfe-\xff"sv, "\xfe\xff"sv},
    };
    // clang-format on
    for (const row& r : rows) {
        char_set expected;
        for (unsigned char c : r.members)
            set_add(c, expected);
        if (r.all_but) set_invert(expected);
        // Parsing overwrites whatever the result held.
        char_set parsed;
        set_invert(parsed);
        char_set& returned =
            parse_set(parsed, reinterpret_cast<const unsigned char*>(r.text.data()), r.text.size());
        EXPECT_EQ(&returned, &parsed);
        EXPECT_EQ(members(parsed), members(expected)) << "set text: " << r.text;
        EXPECT_EQ(set_is_empty(parsed), r.members.empty() && !r.all_but) << "set text: " << r.text;
    }
}

}  // namespace
}  // namespace kestrom
