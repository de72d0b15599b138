#include "pattern/compiler.hpp"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "match/stream.hpp"
#include "pattern/register.hpp"
#include "pattern/trie_dump.hpp"
#include "run_state.hpp"
#include "test_io.hpp"

namespace kestrom {
namespace {

// How a pair is registered; the last pair's mode stays in force for the pass (KEEP: found texts
// are counted and left as they are).
enum mode { PLAIN, LINK, FOLD, LITERAL, SWAP, KEEP };

struct pattern_pair {
    std::string search;  // as typed
    std::string_view repl;
    mode how = PLAIN;
};

/// Registers the pairs in order, as the command line does.
void compile_all(run_state& rs, const std::vector<pattern_pair>& pairs) {
    rs.opts.replace_meta = false;
    for (pattern_pair p : pairs) {
        rs.opts.link_re = p.how == LINK;
        rs.opts.case_sensitive = p.how != FOLD;
        rs.opts.search_meta = p.how != LITERAL;
        rs.opts.swap_pairs = p.how == SWAP;
        rs.opts.auto_reply_yes = p.how != KEEP;
        std::string repl(p.repl);
        register_pair(rs.patterns, rs.opts, p.search.data(), repl.data());
    }
}

std::string describe(const std::vector<pattern_pair>& pairs) {
    std::string text;
    for (const pattern_pair& p : pairs)
        text += p.search + " (" + std::to_string(p.how) + ") ";
    return text;
}

TEST(Compiler, TrieShapes) {
    struct row {
        std::vector<pattern_pair> pairs;
        std::string_view dump;
    };
    // clang-format off
    const row rows[] = {
        // Shared prefixes; a later record wins, a prefix keeps its own; '?' before a star, which
        // leads back to its list's head; the empty search is a node of the root list.
        {{{"ab", "1", LITERAL}, {"abc", "2", LITERAL}, {"abc", "3", LITERAL}, {"a*", "4"},
          {"a?", "5"}, {"", "6", LITERAL}, {"", "7"}},
         "0 'a' [4] next=1 child=2\n1 empty [7]\n2 'b' [1] next=3 child=5\n3 ? [5] next=4\n"
         "4 * [4] child=2\n5 'c' [3]\n"},
        // Without the pattern language every byte is itself.
        {{{"a*?#", "R", LITERAL}}, "0 'a' child=1\n1 '*' child=2\n2 '?' child=3\n3 '#' [R]\n"},
        // Plain mode builds what follows a set once per member; link mode shares one list.
        {{{"x[ab]*c", "R"}},
         "0 'x' child=1\n1 'a' next=2 child=3\n2 'b' child=5\n3 'c' [R] next=4\n4 * child=3\n"
         "5 'c' [R] next=6\n6 * child=5\n"},
        {{{"x[ab]*c", "R", LINK}},
         "0 'x' child=1\n1 'a' next=2 child=3\n2 'b' child=4\n3 'c' [R] next=4\n4 * child=3\n"},
        // Link mode drops the list an earlier pattern built below b and shares all of a's.
        {{{"bz", "1"}, {"[ab]c", "2", LINK}}, "0 'a' next=1 child=2\n1 'b' child=2\n2 'c' [2]\n"},
        {{{"ac", "1"}, {"[ab]d", "2", LINK}},
         "0 'a' next=1 child=2\n1 'b' child=2\n2 'c' [1] next=3\n3 'd' [2]\n"},
        // A leading star: in link mode the cursor moves onto it.
        {{{"*b", "R"}}, "0 'b' [R] next=1\n1 * child=0\n"},
        {{{"*b", "R", LINK}}, "0 * child=1\n1 'b' [R] next=0\n"},
        // A final star may match an empty run, so the element before it completes too.
        {{{"ab*", "R"}}, "0 'a' child=1\n1 'b' [R] child=2\n2 * [R] child=2\n"},
        {{{"a**", "R"}}, "0 'a' child=1\n1 * [R] child=1\n"},
        {{{"ab\\*", "R"}}, "0 'a' child=1\n1 'b' child=2\n2 '*' [R]\n"},
        {{{"a\\\\*", "R"}}, "0 'a' child=1\n1 '\\' [R] child=2\n2 * [R] child=2\n"},
        // An empty set accepts nothing and ends the pattern.
        {{{"a[]b", "R"}}, "0 'a' child=1\n1 noset\n"},
        // Folding comes before decoding: "\n" becomes "\N", which is no escape, while a
        // lower-case byte that an escape produces stays lower case.
        {{{"a\\n#097", "R", FOLD}}, "0 'A' child=1\n1 '\\' child=2\n2 'N' child=3\n3 'a' [R]\n"},
        {{{"R", "a?", SWAP}}, "0 'a' child=1\n1 ? [R]\n"},
    };
    // clang-format on
    for (const row& r : rows) {
        run_state rs;
        compile_all(rs, r.pairs);
        counted_string text = dump_trie(rs.patterns.root);
        EXPECT_EQ(std::string_view(text.data(), text.size()), r.dump) << describe(r.pairs);
    }
}

TEST(Compiler, ByteTablesBuildTheSameTrie) {
    // Thousands of words in random order make long lists, which registration looks up through
    // byte tables; sets insert at lists' heads; a star or a shared list (link mode) stops the
    // tables, a pass drops them. Each trie must equal the one built by walking the lists.
    std::mt19937 random(7);
    auto words = [&](std::size_t count, mode how) {
        std::vector<pattern_pair> pairs;
        for (std::size_t k = 0; k < count; ++k) {
            std::string w;
            for (std::size_t n = 1 + random() % 5; n > 0; --n)
                w += "abcdefghijklmnopqrstuvwxyzABCDEFGHIJ0123"[random() % 40];
            pairs.push_back({w, k % 2 ? "1" : "2", how});
        }
        return pairs;
    };
    auto then = [](std::vector<pattern_pair> a, const std::vector<pattern_pair>& b) {
        a.insert(a.end(), b.begin(), b.end());
        return a;
    };
    const std::vector<std::vector<pattern_pair>> rounds[] = {
        {words(3000, LITERAL)},
        {then(words(1500, PLAIN), {{"[a-z0-9]", "s"}, {"x[A-Z]", "t"}}), words(1500, FOLD)},
        {words(1500, PLAIN), {{"q*z", "star"}}, words(1500, PLAIN)},
        {words(1500, PLAIN), {{"[a-c][d-f]g", "link", LINK}}, words(1500, PLAIN)},
    };
    for (const auto& round : rounds) {
        run_state tables;
        run_state walked;
        walked.patterns.drop_byte_tables(true);
        for (const auto& pairs : round) {
            compile_all(tables, pairs);
            compile_all(walked, pairs);
            tables.patterns.update_index();  // a pass between
        }
        const counted_string a = dump_trie(tables.patterns.root);
        const counted_string b = dump_trie(walked.patterns.root);
        EXPECT_TRUE(a == b) << describe(round.front());
    }
}

TEST(Compiler, PositionsBeyondSixteenBits) {
    run_state rs;
    compile_all(rs, {{std::string(70000, 'a') + "b", "R"}});
    std::size_t depth = 0;
    const trie_node* n = rs.patterns.root;
    for (; n->child != nullptr; n = n->child)
        ++depth;
    EXPECT_EQ(depth, 70000u);
    EXPECT_EQ(n->code, 'b');
    EXPECT_NE(n->repl, nullptr);
}

TEST(Compiler, Matching) {
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
