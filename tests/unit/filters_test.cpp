// The trie's analyses that let the fast paths pass over input: the required literal, the start
// filter and the prefix filter.
#include <gtest/gtest.h>

#include <random>
#include <set>
#include <string>
#include <vector>

#include "match/fast/start_filter.hpp"
#include "pairs.hpp"
#include "pattern/prefix_filter.hpp"
#include "pattern/required_literal.hpp"

namespace kestrom {
namespace {

using test::register_searches;

TEST(RequiredLiteral, EveryFoundTextHoldsIt) {
    struct row {
        std::vector<std::string> patterns;
        bool fold;
        std::string literal;   // as keys: upper case where folded; empty for none
        std::size_t span = 0;  // the longest walk, where no star makes it unbounded
    };
    const row rows[] = {
        {{"a*foo"}, false, "foo"},
        {{"a*foo"}, true, "FOO"},
        {{"ab*cd", "xy*cd"}, false, "cd"},  // two copies of the same run
        {{"*foo", "*bar"}, false, ""},      // nothing in common
        {{"abc"}, false, "abc", 3},
        {{"a*b", "a"}, false, "a"},  // the shorter pattern holds the first byte only
        {{"a*b", "c"}, false, ""},
        {{"??fine"}, false, "fine", 6},
        {{"?[a-z]ing"}, false, "ing", 5},  // after a set, in each of its copies
        {{"?[a-z]ing"}, true, "ING", 5},
        {{"[0-9]?:"}, false, ":", 3},
        {{"[a-z]ef[a-z]ne"}, false, "ef", 6},  // a run of two before a rarer byte alone
        {{"xab?d", "ab"}, false, "ab", 5},     // the longest walk begins at a later node
        {{"?ab", "?abcdef"}, false, "ab", 3},  // a walk ends at the first record
    };
    for (const row& r : rows) {
        run_state rs;
        register_searches(rs, r.patterns, r.fold);
        const required_literal& lit = rs.patterns.required(r.fold);
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(lit.bytes), lit.length), r.literal)
            << r.patterns[0];
        EXPECT_EQ(lit.span, r.span) << r.patterns[0];
    }
}

TEST(StartFilter, PassesOverStartsThatCannotBeginAFoundText) {
    struct row {
        std::vector<std::string> patterns;
        bool fold;
        std::string input;
        std::size_t skipped;
    };
    const row rows[] = {
        {{"abc"}, false, "xxxabc", 3},
        {{"abc", "xyz"}, false, "qqqxyz", 3},
        {{"?bc"}, false, "xxbc", 1},  // tested at the rarer byte after the wildcard
        {{"abc"}, true, "xxAbc", 2},  // folded input bytes
        {{"abc"}, false, "xxab", 2},  // a start whose later bytes are not known yet stays
        {{"a*c"}, false, "xa", 1},    // the root list still filters before a star
        {{"?*"}, false, "xyz", 0},    // every byte may begin one
        // A few words are searched for by two bytes each, all at once.
        {{"uint32_t", "size_t"}, false, "unsigned int x; size_t", 16},
        {{"uint32_t", "size_t"}, false, "uint32 uint32_", 7},  // the last start is not known
        {{"SIZE_T", "UINT32_T"}, true, "x = sIzE_t", 4},
        {{"a[bc]d", "x"}, false, "bbd aa acd", 7},  // a set's members are words of their own
        {{"a", "b", "c", "d", "e", "f", "g", "h", "i"}, false, "zzzi", 3},  // too many words
    };
    for (const row& r : rows) {
        run_state rs;
        register_searches(rs, r.patterns, r.fold);
        for (simd_tier tier : {simd_tier::SCALAR, best_simd_tier()}) {
            const start_filter f(rs.patterns.root, r.fold, WINDOW_SIZE, tier);
            const auto* p = reinterpret_cast<const unsigned char*>(r.input.data());
            EXPECT_EQ(f.useful ? f.skip(p, r.input.size()) : 0, r.skipped) << r.patterns[0];
        }
    }
}

TEST(PrefixFilter, NeverRejectsAPrefixOfThePatterns) {
    struct row {
        int words;
        int length;          // of each word
        std::size_t prefix;  // the length tested, 0 for an unusable filter
    };
    const row rows[] = {{5000, 6, 6}, {5000, 11, 8}, {100, 6, 0}};
    std::mt19937 rng(3);
    for (const row& r : rows) {
        run_state rs;
        std::set<std::string> words;
        while (words.size() < static_cast<std::size_t>(r.words)) {
            std::string w;
            for (int k = 0; k < r.length; ++k)
                w += static_cast<char>('a' + rng() % 26);
            words.insert(w);
        }
        register_searches(rs, std::vector<std::string>(words.begin(), words.end()), false);
        const prefix_filter& f = rs.patterns.prefixes(WINDOW_SIZE);
        ASSERT_EQ(f.usable() ? f.length() : 0, r.prefix) << r.words << " words";
        if (!f.usable()) continue;
        int passed = 0;
        for (const std::string& w : words) {
            const std::string pad = w + "........";
            const auto* p = reinterpret_cast<const unsigned char*>(pad.data());
            ASSERT_TRUE(f.may_begin(f.pack8(p))) << w;
            ASSERT_TRUE(f.may_begin(f.pack(p))) << w;
            const std::string other = "q" + pad;  // rarely a prefix
            passed += f.may_begin(f.pack8(reinterpret_cast<const unsigned char*>(other.data())));
        }
        EXPECT_LT(passed, r.words / 10) << "a filter that rejects little";
    }
}

}  // namespace
}  // namespace kestrom
