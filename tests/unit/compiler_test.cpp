#include "pattern/compiler.hpp"

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "match/stream.hpp"
#include "pattern/trie_dump.hpp"
#include "run_state.hpp"
#include "test_io.hpp"

namespace kestrom {
namespace {

enum mode { PLAIN, LINK, FOLD };

struct pattern_pair {
    std::string search;  // as typed
    std::string_view repl;
    mode how = PLAIN;
};

/// Registers the pairs in order, as the command line does; the last pair's mode stays in force.
void compile_all(run_state& rs, const std::vector<pattern_pair>& pairs) {
    rs.opts.replace_meta = false;
    for (pattern_pair p : pairs) {
        rs.opts.link_re = p.how == LINK;
        rs.opts.case_sensitive = p.how != FOLD;
        std::string repl(p.repl);
        register_pair(rs.patterns, rs.opts, p.search.data(), repl.data());
    }
}

std::string describe(const std::vector<pattern_pair>& pairs) {
    std::string text;
    for (const pattern_pair& p : pairs)
        text += p.search + (p.how == LINK ? " (link) " : " ");
    return text;
}

TEST(Compiler, TrieShapes) {
    struct row {
        std::vector<pattern_pair> pairs;
        std::string_view dump;
    };
    const row rows[] = {
        // Plain mode builds what follows a set once per member; link mode shares one list.
        {{{"x[ab]*c", "R"}},
         "0 'x' child=1\n1 'a' next=2 child=3\n2 'b' child=5\n3 'c' [R] next=4\n4 * child=3\n"
         "5 'c' [R] next=6\n6 * child=5\n"},
        {{{"x[ab]*c", "R", LINK}},
         "0 'x' child=1\n1 'a' next=2 child=3\n2 'b' child=4\n3 'c' [R] next=4\n4 * child=3\n"},
        {{{"[ab][cd]e", "R"}},
         "0 'a' next=1 child=2\n1 'b' child=4\n2 'c' next=3 child=6\n3 'd' child=7\n"
         "4 'c' next=5 child=8\n5 'd' child=9\n6 'e' [R]\n7 'e' [R]\n8 'e' [R]\n9 'e' [R]\n"},
        {{{"[ab][cd]e", "R", LINK}},
         "0 'a' next=1 child=2\n1 'b' child=2\n2 'c' next=3 child=4\n3 'd' child=4\n4 'e' [R]\n"},
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
    };
    for (const row& r : rows) {
        run_state rs;
        compile_all(rs, r.pairs);
        counted_string text = dump_trie(rs.patterns.root);
        EXPECT_EQ(std::string_view(text.data(), text.size()), r.dump) << describe(r.pairs);
    }
}

TEST(Compiler, ExtremeSetsAndLengths) {
    for (mode how : {PLAIN, LINK}) {
        run_state rs;
        compile_all(rs, {{"[!]", "R", how}});
        int code = 0;
        for (const trie_node* n = rs.patterns.root; n != nullptr; n = n->next, ++code) {
            EXPECT_EQ(n->code, code);
            EXPECT_NE(n->repl, nullptr);
        }
        EXPECT_EQ(code, 256);
    }
    // Positions are not limited to 16 bits.
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
    struct row {
        std::vector<pattern_pair> pairs;
        std::string input, output;
        int result;
    };
    // clang-format off
    const row rows[] = {
        // Stars absorb runs; the walk never backtracks.
        {{{"a*c", "X"}}, "zaxxcz", "zXz", 0},
        {{{"a*cd", "X"}}, "axccd", "axccd", 1}, {{{"a*cd", "X"}}, "axcxcd", "X", 0},
        {{{"*", "S"}}, "ab", "SS", 0},
        {{{"*b", "X"}}, "aab", "X", 0}, {{{"*b", "X"}}, "aa", "aa", 1},
        {{{"a?c", "X"}, {"abd", "Y"}}, "abc abd", "abc Y", 0},
        // A star that ends a list and holds a record ends the found text where nothing else did.
        {{{"*", "S"}, {"ab", "X"}}, "ab", "SS", 0},
        // Link mode loses xbc: b enters a's list at the star.
        {{{"x[ab]*c", "R"}}, "xac", "R", 0}, {{{"x[ab]*c", "R", LINK}}, "xac", "R", 0},
        {{{"x[ab]*c", "R"}}, "xbc", "R", 0}, {{{"x[ab]*c", "R", LINK}}, "xbc", "xbc", 1},
        {{{"x[ab]*c", "R"}}, "xbzc", "R", 0}, {{{"x[ab]*c", "R", LINK}}, "xbzc", "R", 0},
        // Folding reaches sets; [!a] becomes [!A], so neither case of a is a member.
        {{{"[a-c]x", "X", FOLD}}, "Ax bX cx dx", "X X X dx", 0},
        {{{"[!a]", "X", FOLD}}, "aAb", "aAX", 0},
    };
    // clang-format on
    for (const row& r : rows) {
        run_state rs;
        compile_all(rs, r.pairs);
        test::mem_file in(r.input), out;
        byte_reader reader(in.fd());
        byte_writer writer(out.fd());
        const int result = stream_replace(rs, reader, writer);
        writer.flush();
        EXPECT_EQ(out.content(), r.output) << describe(r.pairs) << "on " << r.input;
        EXPECT_EQ(result, r.result) << describe(r.pairs) << "on " << r.input;
    }
}

}  // namespace
}  // namespace kestrom
