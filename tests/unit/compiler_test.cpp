#include "pattern/compiler.hpp"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "pairs.hpp"
#include "pattern/register.hpp"
#include "pattern/trie_dump.hpp"
#include "run_state.hpp"

namespace kestrom {
namespace {

using test::compile_all;
using test::describe;
using test::mode;
using test::pattern_pair;
using enum test::mode;

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
        // The members of a set share what follows them while it stays equal; in link mode b
        // begins a's list at the star, so a c right after b is taken by the star.
        {{{"x[ab]*c", "R"}},
         "0 'x' child=1\n1 'a' next=2 child=3\n2 'b' child=3\n3 'c' [R] next=4 held=2\n"
         "4 * child=3\n"},
        {{{"x[ab]*c", "R", LINK}},
         "0 'x' child=1\n1 'a' next=2 child=3\n2 'b' child=4\n3 'c' [R] next=4\n4 * child=3\n"},
        {{{"[ab][cd]e", "R"}},
         "0 'a' next=1 child=2\n1 'b' child=2\n2 'c' next=3 child=4 held=2\n3 'd' child=4\n"
         "4 'e' [R] held=2\n"},
        // A later pattern through one member gets that member a copy of its own, level by level,
        // sharing what it does not change; a star's copy leads back to the copy's head.
        {{{"[ab]x", "1"}, {"by", "2", LITERAL}},
         "0 'a' next=1 child=2\n1 'b' child=3\n2 'x' [1]\n3 'x' [1] next=4\n4 'y' [2]\n"},
        {{{"[ab]cd", "1"}, {"bce", "2"}},
         "0 'a' next=1 child=2\n1 'b' child=3\n2 'c' child=4\n3 'c' child=5\n4 'd' [1]\n"
         "5 'd' [1] next=6\n6 'e' [2]\n"},
        {{{"[ab]*c", "1"}, {"bd", "2"}},
         "0 'a' next=1 child=2\n1 'b' child=4\n2 'c' [1] next=3\n3 * child=2\n"
         "4 'c' [1] next=5\n5 'd' [2] next=6\n6 * child=4\n"},
        // Link mode drops the list an earlier pattern built below b and shares all of a's, also
        // where plain mode shared it before.
        {{{"bz", "1"}, {"[ab]c", "2", LINK}},
         "0 'a' next=1 child=2\n1 'b' child=2\n2 'c' [2] held=2\n"},
        {{{"ac", "1"}, {"[ab]d", "2", LINK}},
         "0 'a' next=1 child=2\n1 'b' child=2\n2 'c' [1] next=3 held=2\n3 'd' [2]\n"},
        {{{"[ab]x", "1"}, {"[ab]y", "2", LINK}},
         "0 'a' next=1 child=2\n1 'b' child=2\n2 'x' [1] next=3 held=2\n3 'y' [2]\n"},
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

}  // namespace
}  // namespace kestrom
