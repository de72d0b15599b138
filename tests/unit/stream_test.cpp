#include "match/stream.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "pairs.hpp"
#include "test_io.hpp"

namespace kestrom {
namespace {

using test::compile_all;
using test::describe;
using test::mode;
using test::pattern_pair;
using enum test::mode;

TEST(StreamMatcher, FollowsTheWalksRules) {
    // The plain walk's rules, which the fast paths are held to as well.
    struct row {
        std::vector<pattern_pair> pairs;
        std::string input, output;
        int result;
    };
    const std::string over = std::string("a").append(4094, 'x').append("b");
    const std::string within = std::string("a").append(4093, 'x').append("b");
    std::string every_byte;
    for (int b = 0; b < 256; ++b)
        every_byte += static_cast<char>(b);
    // clang-format off
    std::vector<row> rows = {
        // The shorter word completes first; found texts never overlap; a failed candidate is
        // re-scanned from one byte further on; a candidate pending at the end leaves unchanged.
        {{{"ab", "X"}, {"abc", "Y"}}, "abcabd", "XcXd", 0},
        {{{"aa", "X"}}, "aaaaa", "XXa", 0},
        {{{"aab", "X"}}, "aaab", "aX", 0},
        {{{"abc", "X"}}, "xab", "xab", 1},
        {{{"", "X", LITERAL}}, "abc", "abc", 1},
        {{{"#0$ff", "N"}}, std::string("a\0\xff\0", 4), std::string("aN\0", 3), 0},
        {{{"ab", "X", KEEP}}, "abab", "abab", 1},  // found, never replaced
        // Stars absorb runs; the walk never backtracks.
        {{{"a*c", "X"}}, "zaxxcz", "zXz", 0},
        {{{"a*cd", "X"}}, "axccd", "axccd", 1},
        {{{"a*cd", "X"}}, "axcxcd", "X", 0},
        {{{"*", "S"}}, "ab", "SS", 0},
        {{{"*b", "X"}}, "aab", "X", 0},
        // A byte goes before '?', '?' before '*'; the walk does not come back for the others.
        {{{"a?c", "X"}, {"abd", "Y"}}, "abc abd", "abc Y", 0},
        {{{"a*c", "X"}, {"a?c", "Y"}}, "abc", "Y", 0},
        // A star that ends a list and holds a record ends the found text where nothing else did.
        {{{"*", "S"}, {"ab", "X"}}, "ab", "SS", 0},
        // Link mode loses xbc: b enters a's list at the star.
        {{{"x[ab]*c", "R"}}, "xbc", "R", 0},
        {{{"x[ab]*c", "R", LINK}}, "xbc", "xbc", 1},
        {{{"x[ab]*c", "R", LINK}}, "xbzc", "R", 0},
        // Folding reaches sets; [!a] becomes [!A], so neither case of a is a member.
        {{{"[a-c]x", "X", FOLD}}, "Ax bX cx dx", "X X X dx", 0},
        {{{"[!a]", "X", FOLD}}, "aAb", "aAX", 0},
        // Every byte is a member of [!], in either mode.
        {{{"[!]", "X"}}, every_byte, std::string(256, 'X'), 0},
        {{{"[!]", "X", LINK}}, every_byte, std::string(256, 'X'), 0},
        // A candidate that fills the 4096-byte window is given up; one byte less and it is found.
        {{{"a*b", "X"}}, over, over, 1},
        {{{"a*b", "X"}}, within, "X", 0},
    };
    // clang-format on
    // Found texts around the window's edge and the edges of the input buffer that the fast paths
    // read in blocks, after a failing near-match that keeps a candidate pending while it moves.
    for (int edge : {4096, 65536, 131072}) {
        for (int at = edge - 11; at <= edge + 4; ++at) {
            const std::string before =
                std::string(static_cast<std::size_t>(at) - 6, '.') + "01234.";
            const std::string after(50, '.');
            rows.push_back(
                {{{"0123456789", "<>"}}, before + "0123456789" + after, before + "<>" + after, 0});
        }
    }
    for (const row& r : rows) {
        for (bool fast : {true, false}) {
            run_state rs;
            compile_all(rs, r.pairs);
            test::mem_file in(r.input), out;
            byte_reader reader(in.fd());
            byte_writer writer(out.fd());
            const int result = stream_replace(rs, reader, writer, rs.window_buf, WINDOW_SIZE, fast);
            const std::string where = describe(r.pairs) + "on " + r.input.substr(0, 20) +
                                      (fast ? "" : ", plain walk") + ", bytes: ";
            EXPECT_EQ(out.content(), r.output) << where << r.input.size();
            EXPECT_EQ(result, r.result) << where << r.input.size();
        }
    }
}

}  // namespace
}  // namespace kestrom
