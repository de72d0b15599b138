#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "match/stream.hpp"
#include "pattern/register.hpp"
#include "test_io.hpp"
#include "util/simd_tier.hpp"

namespace kestrom {
namespace {

using test::mem_file;

struct pass_result {
    std::string out;
    int result;
};

/// Streams input through the trie of rs with a window of window_size bytes.
pass_result filter(run_state& rs, const std::string& input, int window_size = WINDOW_SIZE,
                   bool skip_runs = true) {
    mem_file in_file(input), out_file;
    byte_reader in(in_file.fd());
    byte_writer out(out_file.fd());
    std::vector<unsigned char> window(static_cast<std::size_t>(window_size) + 2);
    int r = stream_replace(rs, in, out, window.data(), window_size, skip_runs);
    return {out_file.content(), r};
}

/// Streams input through rs by the fast paths and by the plain walk: output, result and counts
/// must be the same.
void expect_as_plain_walk(run_state& rs, const std::string& input, int window_size, int round) {
    const pass_result fast = filter(rs, input, window_size, true);
    const counters fast_count = rs.count;
    rs.count = counters{};
    const pass_result plain = filter(rs, input, window_size, false);
    ASSERT_EQ(fast.out, plain.out) << "round " << round;
    ASSERT_EQ(fast.result, plain.result) << "round " << round;
    ASSERT_EQ(fast_count.found_count, rs.count.found_count) << "round " << round;
    ASSERT_EQ(fast_count.replaced_count, rs.count.replaced_count) << "round " << round;
}

/// A short word over a few letters: words overlap and extend one another.
std::string random_word(std::mt19937& rng) {
    std::string w;
    for (int k = static_cast<int>(rng() % 5); k >= 0; --k)
        w += "abcA"[rng() % 4];
    return w;
}

/// Random search patterns over a few letters: literals, '?', '*', sets and protected bytes.
std::string random_pattern(std::mt19937& rng) {
    static const char* const pieces[] = {"a",    "b",   "c",    "B",   "?",  "*",   "[ab]",
                                         "[!a]", "\\*", "#000", "$ff", "ab", "abc", "[]"};
    std::string p;
    bool wide_set = false;  // one set of 255 members at most
    if (rng() % 4 == 0) {
        // A run of sets, now and then a letter: starts are passed over by the run's last bytes.
        static const char* const runs[] = {"[ab]", "[a-c]", "[bx]", "[!ab]", "[A-C]", "a"};
        for (int k = 3 + static_cast<int>(rng() % 10); k >= 0; --k)
            p += runs[rng() % (sizeof runs / sizeof *runs)];
        return p;
    }
    if (rng() % 2 == 0) {
        // Led by wildcards and sets, then letters: what the fast paths look ahead for.
        static const char* const leads[] = {"?", "[ab]", "[!x]", "[a-c]"};
        for (int k = static_cast<int>(rng() % 4); k >= 0; --k) {
            std::string lead = leads[rng() % 4];
            if (lead == "[!x]" && std::exchange(wide_set, true)) lead = "?";
            p += lead;
        }
        for (int k = static_cast<int>(rng() % 3); k >= 0; --k)
            p += "abcx"[rng() % 4];
        return p;
    }
    const int count = 1 + static_cast<int>(rng() % 6);
    for (int k = 0; k < count; ++k) {
        std::string piece = pieces[rng() % (sizeof pieces / sizeof *pieces)];
        if (piece == "[!a]" && std::exchange(wide_set, true)) piece = "[bc]";
        p += piece;
    }
    return p;
}

/// Random input: runs of the patterns' letters, other bytes, NUL and 0xff, sometimes long.
std::string random_input(std::mt19937& rng) {
    static const char alphabet[] = {'a', 'b', 'c', 'A', 'B', 'x', '\0', '\xff', '*'};
    std::string in;
    const std::size_t length = rng() % 4 == 0 ? rng() % 9000 : rng() % 60;
    while (in.size() < length) {
        const char c = alphabet[rng() % sizeof alphabet];
        in.append(1 + rng() % (rng() % 8 == 0 ? 300 : 3), c);
    }
    return in;
}

/// Each SIMD tier in turn, as far as this machine runs it: every tier's searches are held to the
/// plain walk.
simd_tier tier_of(int round) {
    return narrower(best_simd_tier(), static_cast<simd_tier>(round % 3));
}

TEST(FastPass, AgreesWithThePlainWalk) {
    std::mt19937 rng(20261206);
    for (int round = 0; round < 1000; ++round) {
        run_state rs;
        rs.tier = tier_of(round);
        // In two of three stretches of forty rounds, an automaton has rows for the root and its
        // next states only, as a huge one does; in one of them, no dense rows either.
        if (round / 40 % 3 != 0) rs.patterns.automaton_row_budget = 0;
        if (round / 40 % 3 == 1) rs.patterns.automaton_dense_budget = 0;
        const int pairs = static_cast<int>(rng() % 5);
        const bool words_only = rng() % 3 == 0;  // a trie of plain words has a fast path of its own
        std::vector<std::string> words;
        for (int k = 0; k < pairs; ++k) {
            rs.opts.link_re = rng() % 3 == 0;
            rs.opts.case_sensitive = rng() % 3 != 0;
            rs.opts.search_meta = rng() % 5 != 0;
            rs.opts.replace_meta = rng() % 2 == 0;
            std::string search = words_only ? random_word(rng) : random_pattern(rng);
            words.push_back(search);
            std::string repl = rng() % 2 == 0 ? "<&>" : "?*x";
            register_pair(rs.patterns, rs.opts, search.data(), repl.data());
        }
        rs.opts.case_sensitive = rng() % 3 != 0;
        rs.opts.auto_reply_yes = rng() % 5 != 0;
        const int window_size = rng() % 3 == 0 ? WINDOW_SIZE : 2 + static_cast<int>(rng() % 40);
        std::string input = random_input(rng);
        if (words_only && !words.empty()) {
            // The words themselves, cut short at random, between the random bytes.
            for (std::size_t at = 0; at < input.size(); at += 1 + rng() % 8) {
                const std::string& w = words[rng() % words.size()];
                input.insert(at, w, 0, rng() % (w.size() + 1));
            }
        }
        if (rng() % 4 == 0) {
            // Stretches of one or two bytes about a window long, between pieces of the patterns:
            // starts around the limit where a literal that a found text needs is still in reach.
            std::string stretched;
            for (int k = static_cast<int>(rng() % 4); k >= 0; --k) {
                const int length = std::max(1, window_size - 4 + static_cast<int>(rng() % 8));
                const char fill = "abx*"[rng() % 4], dot = "abBx"[rng() % 4];
                const int every = 2 + static_cast<int>(rng() % 30);
                for (int at = 0; at < length; ++at)
                    stretched += at % every == 0 ? dot : fill;
                stretched += words.empty() ? "ab" : words[rng() % words.size()];
                for (int at = static_cast<int>(rng() % 6); at > 0; --at)
                    stretched += "abcx"[rng() % 4];
            }
            input = stretched;
        }
        // Now and then past the input buffer, whose edges the fast paths cross on their own.
        while (round % 40 == 0 && !input.empty() && input.size() < 150000)
            input += input;
        ASSERT_NO_FATAL_FAILURE(expect_as_plain_walk(rs, input, window_size, round));
        if (round % 8 == 0) {
            // The next file of a run gets what the last pass kept, also once a pattern is added.
            rs.count = counters{};
            ASSERT_NO_FATAL_FAILURE(
                expect_as_plain_walk(rs, random_input(rng), window_size, round));
            std::string search = words_only ? random_word(rng) : random_pattern(rng), repl = "&&";
            register_pair(rs.patterns, rs.opts, search.data(), repl.data());
            rs.count = counters{};
            ASSERT_NO_FATAL_FAILURE(expect_as_plain_walk(rs, input, window_size, round));
        }
    }
}

TEST(FastPass, PatternsAroundOneLiteralAgreeWithThePlainWalk) {
    // Patterns that all hold one literal between wildcards and sets, over inputs full of it and of
    // its pieces: without a star, only starts close enough before an occurrence are walked, by
    // the longest walk of any pattern (an empty set at the end makes walks that never complete).
    std::mt19937 rng(20261209);
    static const char* const leads[] = {"?", "[a-c]", "[!b]", "a", "x", "[ab]"};
    static const char* const tails[] = {"?", "[ab]", "c", "x", "[]", "??"};
    for (int round = 0; round < 400; ++round) {
        run_state rs;
        rs.tier = tier_of(round);
        std::string literal;
        for (int k = static_cast<int>(rng() % 3); k >= 0; --k)
            literal += "abxA"[rng() % 4];
        const int pairs = 1 + static_cast<int>(rng() % 4);
        std::vector<std::string> searches;
        for (int k = 0; k < pairs; ++k) {
            rs.opts.link_re = rng() % 3 == 0;
            rs.opts.case_sensitive = rng() % 3 != 0;
            std::string search;
            bool wide_set = false;  // plain mode copies what follows a set for each member
            for (int n = static_cast<int>(rng() % 4); n > 0; --n) {
                std::string lead = leads[rng() % 6];
                if (lead == "[!b]" && std::exchange(wide_set, true)) lead = "?";
                search += lead;
            }
            search += literal;
            for (int n = static_cast<int>(rng() % (rng() % 4 == 0 ? 12 : 3)); n > 0; --n)
                search += tails[rng() % 6];
            searches.push_back(search);
            std::string repl = rng() % 2 == 0 ? "<&>" : "";
            register_pair(rs.patterns, rs.opts, search.data(), repl.data());
        }
        rs.opts.case_sensitive = rng() % 3 != 0;
        const int window_size = rng() % 2 == 0 ? WINDOW_SIZE : 2 + static_cast<int>(rng() % 20);
        std::string input;
        const std::size_t length = rng() % 8 == 0 ? 70000 + rng() % 70000 : rng() % 200;
        while (input.size() < length) {
            switch (rng() % 4) {
                case 0:
                    input += literal;
                    break;
                case 1:
                    input.append(literal, 0, rng() % literal.size());
                    break;
                case 2:
                    input += "abcxAB\n"[rng() % 7];
                    break;
                default:
                    input.append(rng() % 30, "xc"[rng() % 2]);
                    break;
            }
        }
        ASSERT_NO_FATAL_FAILURE(expect_as_plain_walk(rs, input, window_size, round))
            << searches[0] << " of " << pairs;
    }
}

TEST(FastPass, StartsBeforeALiteralAgreeWithThePlainWalk) {
    // Where the starts walked before an occurrence of the literal meet the input's edges and the
    // read buffer's, and where a walk that never completes runs on past the literal to the end.
    struct row {
        std::vector<std::string> searches;
        std::string input;
    };
    const std::string runs(65534, 'x'), tens(10, 'c'), anys(12, '?');
    const row rows[] = {
        {{"??fine"}, "fine.xfine.xyfine"},
        {{"??fine"}, runs + "fine" + runs + "xyfin"},
        {{"?[a-z]ing"}, "ing;xing;xying;" + runs + "aing"},
        {{"[0-9]?:"}, ":5:55:5x:" + runs + "1"},
        // The walk along the first pattern takes all fourteen bytes and is pending at the end,
        // so the plain walk never looks at the second pattern's find inside them.
        {{"ab" + anys + "[]", "c??????qq"}, "xab" + tens + "qq"},
        {{"ab" + anys + "[]", "c??????qq"}, "xab" + tens + "qqx" + tens + "qq"},
    };
    for (const row& r : rows) {
        for (int tier = 0; tier < 3; ++tier) {
            run_state rs;
            rs.tier = narrower(best_simd_tier(), static_cast<simd_tier>(tier));
            for (std::string search : r.searches) {
                std::string repl = "<&>";
                register_pair(rs.patterns, rs.opts, search.data(), repl.data());
            }
            ASSERT_NO_FATAL_FAILURE(expect_as_plain_walk(rs, r.input, WINDOW_SIZE, tier))
                << r.searches[0];
        }
    }
}

TEST(FastPass, DeepWalksWhereInterleavedStreamsMeet) {
    // An automaton stepped as a huge one is, whose walks along runs of a reach further back than
    // a stream's warm-up.
    run_state rs;
    rs.patterns.automaton_dense_budget = rs.patterns.automaton_row_budget = 0;
    for (std::string w : {std::string(40, 'a') + "b", std::string("ab"), std::string("ba")}) {
        std::string repl = "<&>";
        register_pair(rs.patterns, rs.opts, w.data(), repl.data());
    }
    std::string input;
    while (input.size() < 100000)
        input.append(25 + input.size() % 37, 'a') += 'b';
    expect_as_plain_walk(rs, input, WINDOW_SIZE, 0);
}

TEST(FastPass, LargeTriesAgreeWithThePlainWalk) {
    // Thousands of words and a star: too many for a small trie's helps, walked with the filter of
    // the trie's prefixes (which a star further in leaves usable). From round 8 on, words alone,
    // stepped as a huge automaton is, with the same filter at its root.
    std::mt19937 rng(7);
    for (int round = 0; round < 12; ++round) {
        run_state rs;
        rs.tier = tier_of(round);
        const bool words_only = round >= 8;
        if (words_only) rs.patterns.automaton_dense_budget = 0;
        rs.opts.case_sensitive = round % 3 != 0;
        std::vector<std::string> words;
        for (int k = 0; k < 6000; ++k) {
            std::string w;
            for (int n = 5 + static_cast<int>(rng() % 4); n > 0; --n)
                w += "abcdefgH"[rng() % 8];
            words.push_back(w);
            std::string repl = "<&>";
            register_pair(rs.patterns, rs.opts, w.data(), repl.data());
        }
        std::string star = round % 2 == 0 ? "hhhhh*a" : "abcde?g";
        std::string repl = "*";
        if (!words_only) register_pair(rs.patterns, rs.opts, star.data(), repl.data());
        rs.opts.case_sensitive = round % 4 != 0;
        std::string input;
        while (input.size() < 60000) {
            const std::string& w = words[rng() % words.size()];
            input.append(w, 0, rng() % 3 == 0 ? rng() % w.size() : w.size());
            input += " ahbgcH\n"[rng() % 8];
        }
        const int window_size = round < 6 ? WINDOW_SIZE : 4 + round;
        ASSERT_NO_FATAL_FAILURE(expect_as_plain_walk(rs, input, window_size, round));
    }
}

}  // namespace
}  // namespace kestrom
