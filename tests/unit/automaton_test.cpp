#include "pattern/automaton.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "pairs.hpp"

namespace kestrom {
namespace {

using test::register_searches;

TEST(Automaton, StepsFollowEveryStartAndStopBelowARecord) {
    struct row {
        std::vector<std::string> words;
        std::string input;
        std::string completions;  // "end:depth" of the deepest walk complete after each byte
    };
    const row rows[] = {
        {{"he", "she", "his", "hers"}, "ushers his", "4:3 10:3"},  // hers lies below he
        {{"abcd", "bc"}, "abcd", "3:2 4:4"},  // complete along the link, then itself
        {{"a", "aa"}, "aaa", "1:1 2:1 3:1"},
        {{"", "xy"}, "xxy", "3:2"},  // the empty pattern takes no byte
        {{"ab", "b"}, "bab", "1:1 3:2"},
    };
    // Whole dense rows; rows for the shallow states only; nodes for all but the root's next.
    const std::size_t budgets[][2] = {{1 << 20, 1 << 20}, {0, 1 << 20}, {0, 0}};
    for (const row& r : rows) {
        run_state rs;
        register_searches(rs, r.words);
        for (const auto& budget : budgets) {
            const literal_automaton a(rs.patterns.root, WINDOW_SIZE, 1000, 100, budget[0],
                                      budget[1]);
            ASSERT_TRUE(a.usable());
            std::string seen;
            literal_automaton::state_id s = literal_automaton::ROOT;
            for (std::size_t i = 0; i < r.input.size(); ++i) {
                s = a.step(s, static_cast<unsigned char>(r.input[i]));
                if (!literal_automaton::completes(s)) continue;
                if (!seen.empty()) seen += ' ';
                seen += std::to_string(i + 1);
                seen += ':';
                seen += std::to_string(a.depth(a.completed(s)));
            }
            EXPECT_EQ(seen, r.completions) << r.words[0] << ", budget " << budget[0];
        }
    }
}

TEST(Automaton, StatesCountedAsTheAutomatonMakesThem) {
    // A huge trie is counted before its automaton is built: the count must give up exactly where
    // the building would. Nothing below a completed word is a state; an empty pattern takes none.
    const std::vector<std::vector<std::string>> tries = {
        {"abc", "abd", "b"}, {"ab", "abcd", "abce", "x"}, {"", "aa", "aab"}, {"[ab]c", "cc"},
        {"a?c", "b"},
    };
    for (const std::vector<std::string>& words : tries) {
        run_state rs;
        register_searches(rs, words, true);
        for (std::size_t bound = 1; bound < 16; ++bound) {
            const literal_automaton built(rs.patterns.root, WINDOW_SIZE, bound, bound, 0, 0);
            EXPECT_EQ(literal_automaton::may_fit(rs.patterns.root, bound), built.usable())
                << words[0] << ", bound " << bound;
        }
    }
}

}  // namespace
}  // namespace kestrom
