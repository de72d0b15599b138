#include "pattern/char_set.hpp"

#include <gtest/gtest.h>

#include <string>
#include <string_view>

namespace kestrom {
namespace {

using namespace std::literals;

/// The members of a set in byte order, unprintable ones as \xHH, for readable failures.
std::string describe(const char_set& set) {
    std::string out;
    for (int b = 0; b < 256; ++b) {
        if (!set_contains(static_cast<unsigned char>(b), set)) continue;
        if (b >= 0x20 && b < 0x7f) {
            out += static_cast<char>(b);
        } else {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\x%02x", b);
            out += buf;
        }
    }
    return out;
}

TEST(CharSet, ParsesTheSetLanguage) {
    struct row {
        std::string_view text;     // the bytes between the brackets
        std::string_view members;  // the members, or with all_but the only non-members
        bool all_but = false;
    };
    const row rows[] = {
        {"abc", "abc"},
        {"a-e", "abcde"},
        {"e-a", "e"},
        {"a-a", "a"},
        {"a-c-e", "abcde"},
        {"a-cx", "abcx"},
        {"0-9,a-f,A-F", "0123456789ABCDEFabcdef"},
        {"!a", "a", true},
        {"!0-9", "0123456789", true},
        {"!", "", true},
        {"-a", ""},
        {"-", ""},
        {",", ""},
        {"", ""},
        {"a-z,-e", "abcdfghijklmnopqrstuvwxyz"},
        {"a-z,!e", "", true},
        {"a,!", "", true},
        {"a,-", "a"},
        {"a-", "-a"},
        {"a-,b", "-ab"},
        {"a--", "a"},
        {"a-b-", "-ab"},
        {"!-a", ""},
        {"-!a", "a", true},
        {"!!a", "a", true},
        {"a!b", "!ab"},
        {"\\-a", "-a"},
        {"a\\-c", "-ac"},
        {"\\,", ","},
        {"\\\\", "\\"},
        {"a\\", "\\a"},
        {"a-\\z", "abcdefghijklmnopqrstuvwxyz"},
        {"Z-^", "Z[\\]^"},
        // A later item removes what an earlier one added, and a yet later one adds it back.
        {"a-e,-b-d,c", "ace"},
        // A NUL is a byte like any other, and a range may start at it.
        {"\0-\x02"sv, "\x00\x01\x02"sv},
        {"\xfe-\xff"sv, "\xfe\xff"sv},
    };
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
        EXPECT_EQ(describe(parsed), describe(expected)) << "set text: " << r.text;
        EXPECT_EQ(set_is_empty(parsed), r.members.empty() && !r.all_but) << "set text: " << r.text;
    }
}

TEST(CharSet, SubtractLeavesTheSourceAlone) {
    char_set dest;
    char_set source;
    for (unsigned char c : "abc"sv)
        set_add(c, dest);
    for (unsigned char c : "bz"sv)
        set_add(c, source);
    set_subtract(dest, source);
    EXPECT_EQ(describe(dest), "ac");
    EXPECT_EQ(describe(source), "bz");
    set_union(dest, source);
    EXPECT_EQ(describe(dest), "abcz");
}

}  // namespace
}  // namespace kestrom
