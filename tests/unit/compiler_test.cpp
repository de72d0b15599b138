#include "pattern/compiler.hpp"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <string>
#include <string_view>
#include <vector>

#include "match/stream.hpp"
#include "pattern/trie_dump.hpp"
#include "run_state.hpp"
#include "util/alloc.hpp"
#include "util/byte_stream.hpp"

namespace kestrom {
namespace {

using namespace std::literals;

constexpr bool PLAIN = false;
constexpr bool LINK = true;

/// One search pattern (already decoded) with its replacement and the mode it is compiled in.
struct pattern_pair {
    std::string_view search;
    std::string_view repl;
    bool link = PLAIN;
};

void compile_pair(run_state& rs, const pattern_pair& p) {
    replacement* record = rs.patterns.record_new(p.repl.data(), p.repl.size());
    compile_re(rs.patterns, &rs.patterns.root,
               reinterpret_cast<const unsigned char*>(p.search.data()), p.search.size(), record,
               p.link);
}

/// The patterns of a table row, for failure messages.
std::string describe(const std::vector<pattern_pair>& pairs) {
    std::string text;
    for (const pattern_pair& p : pairs)
        text += std::string(p.search) + (p.link ? " (link) " : " ");
    return text;
}

std::string dump(const run_state& rs) {
    counted_string text = dump_trie(rs.patterns.root);
    return std::string(text.data(), text.size());
}

/// What one byte-stream pass over input gives.
struct pass_output {
    std::string text;
    int result;
};

pass_output run_pass(run_state& rs, std::string_view input) {
    const int in_fd = memfd_create("compiler-test-in", 0);
    const int out_fd = memfd_create("compiler-test-out", 0);
    EXPECT_EQ(::write(in_fd, input.data(), input.size()), static_cast<ssize_t>(input.size()));
    ::lseek(in_fd, 0, SEEK_SET);
    pass_output out;
    {
        byte_reader reader(in_fd);
        byte_writer writer(out_fd);
        out.result = stream_replace(rs, reader, writer);
        writer.flush();
    }
    char buf[4096];
    ssize_t n;
    off_t at = 0;
    while ((n = ::pread(out_fd, buf, sizeof buf, at)) > 0) {
        out.text.append(buf, static_cast<std::size_t>(n));
        at += n;
    }
    ::close(in_fd);
    ::close(out_fd);
    return out;
}

TEST(Compiler, TrieShapes) {
    struct row {
        std::vector<pattern_pair> pairs;  // compiled in order
        std::string_view dump;
    };
    const row rows[] = {
        // A set builds what follows once per member in plain mode; a star's child leads back to
        // the head of its own list.
        {{{"x[ab]*c", "R"}},
         "0 'x' child=1\n"
         "1 'a' next=2 child=3\n"
         "2 'b' child=5\n"
         "3 'c' [R] next=4\n"
         "4 * child=3\n"
         "5 'c' [R] next=6\n"
         "6 * child=5\n"},
        // Link mode: b shares a's list, seen from b beginning at the star.
        {{{"x[ab]*c", "R", LINK}},
         "0 'x' child=1\n"
         "1 'a' next=2 child=3\n"
         "2 'b' child=4\n"
         "3 'c' [R] next=4\n"
         "4 * child=3\n"},
        {{{"[ab][cd]e", "R"}},
         "0 'a' next=1 child=2\n"
         "1 'b' child=4\n"
         "2 'c' next=3 child=6\n"
         "3 'd' child=7\n"
         "4 'c' next=5 child=8\n"
         "5 'd' child=9\n"
         "6 'e' [R]\n"
         "7 'e' [R]\n"
         "8 'e' [R]\n"
         "9 'e' [R]\n"},
        {{{"[ab][cd]e", "R", LINK}},
         "0 'a' next=1 child=2\n"
         "1 'b' child=2\n"
         "2 'c' next=3 child=4\n"
         "3 'd' child=4\n"
         "4 'e' [R]\n"},
        // Link mode replaces the list that an earlier pattern built below b...
        {{{"bz", "1"}, {"[ab]c", "2", LINK}},
         "0 'a' next=1 child=2\n"
         "1 'b' child=2\n"
         "2 'c' [2]\n"},
        {{{"bz", "1"}, {"[ab]c", "2"}},
         "0 'a' next=1 child=2\n"
         "1 'b' child=3\n"
         "2 'c' [2]\n"
         "3 'c' [2] next=4\n"
         "4 'z' [1]\n"},
        // ... and hands the list that one built below a to b as well.
        {{{"ay", "1"}, {"[ab]c", "2", LINK}},
         "0 'a' next=1 child=2\n"
         "1 'b' child=2\n"
         "2 'c' [2] next=3\n"
         "3 'y' [1]\n"},
        // The shared list is the whole of a's list, not only the node just added.
        {{{"ac", "1"}, {"[ab]d", "2", LINK}},
         "0 'a' next=1 child=2\n"
         "1 'b' child=2\n"
         "2 'c' [1] next=3\n"
         "3 'd' [2]\n"},
        // A leading star: in link mode the cursor moves onto it, so b goes into its child list.
        {{{"*b", "R"}},
         "0 'b' [R] next=1\n"
         "1 * child=0\n"},
        {{{"*b", "R", LINK}},
         "0 * child=1\n"
         "1 'b' [R] next=0\n"},
        {{{"a", "1"}, {"*b", "2", LINK}},
         "0 'a' [1] next=1\n"
         "1 'b' [2] next=2\n"
         "2 * child=0\n"},
        {{{"", "R"}}, "0 empty [R]\n"},
        {{{"*", "R"}}, "0 * [R] child=0\n"},
        {{{"?", "R"}}, "0 ? [R]\n"},
        {{{"[a-c]", "R"}},
         "0 'a' [R] next=1\n"
         "1 'b' [R] next=2\n"
         "2 'c' [R]\n"},
        // A final star may match an empty run, so the element before it completes too.
        {{{"ab*", "R"}},
         "0 'a' child=1\n"
         "1 'b' [R] child=2\n"
         "2 * [R] child=2\n"},
        {{{"a**", "R"}},
         "0 'a' child=1\n"
         "1 * [R] child=1\n"},
        {{{"a*", "R"}},
         "0 'a' [R] child=1\n"
         "1 * [R] child=1\n"},
        {{{"ab\\*", "R"}},
         "0 'a' child=1\n"
         "1 'b' child=2\n"
         "2 '*' [R]\n"},
        {{{"a\\\\*", "R"}},
         "0 'a' child=1\n"
         "1 '\\' [R] child=2\n"
         "2 * [R] child=2\n"},
        {{{"\\?\\[", "R"}},
         "0 '?' child=1\n"
         "1 '[' [R]\n"},
        // Outside a set ']' cannot be protected; a backslash before other bytes is itself.
        {{{"\\]\\x", "R"}},
         "0 '\\' child=1\n"
         "1 ']' child=2\n"
         "2 '\\' child=3\n"
         "3 'x' [R]\n"},
        {{{"\\", "R"}}, "0 '\\' [R]\n"},
        {{{"[", "R"}}, "0 '[' [R]\n"},
        {{{"a[b", "R"}},
         "0 'a' child=1\n"
         "1 '[' child=2\n"
         "2 'b' [R]\n"},
        // An empty set accepts nothing and ends the pattern.
        {{{"a[]b", "R"}},
         "0 'a' child=1\n"
         "1 noset\n"},
        {{{"a[]", "R"}},
         "0 'a' child=1\n"
         "1 noset [R]\n"},
        {{{"[]]", "R"}}, "0 noset\n"},
        {{{"[-a]b", "R", LINK}}, "0 noset\n"},
        // The first ']' closes the set: the set text is one backslash.
        {{{"[\\]]", "R"}},
         "0 '\\' child=1\n"
         "1 ']' [R]\n"},
        // A NUL is a byte node; inside a set it does not end the set text.
        {{{"a\0b"sv, "R"}},
         "0 'a' child=1\n"
         "1 0x00 child=2\n"
         "2 'b' [R]\n"},
        {{{"[a\0]b"sv, "R"}},
         "0 0x00 next=1 child=2\n"
         "1 'a' child=3\n"
         "2 'b' [R]\n"
         "3 'b' [R]\n"},
        {{{"a?c", "1"}, {"abc", "2"}},
         "0 'a' child=1\n"
         "1 'b' next=2 child=3\n"
         "2 ? child=4\n"
         "3 'c' [2]\n"
         "4 'c' [1]\n"},
        {{{"a*[bc]d", "R"}},
         "0 'a' child=1\n"
         "1 'b' next=2 child=4\n"
         "2 'c' next=3 child=5\n"
         "3 * child=1\n"
         "4 'd' [R]\n"
         "5 'd' [R]\n"},
        {{{"a*[bc]d", "R", LINK}},
         "0 'a' child=1\n"
         "1 'b' next=2 child=4\n"
         "2 'c' next=3 child=4\n"
         "3 * child=1\n"
         "4 'd' [R]\n"},
        {{{"*[ab]c", "R"}},
         "0 'a' next=1 child=3\n"
         "1 'b' next=2 child=4\n"
         "2 * child=0\n"
         "3 'c' [R]\n"
         "4 'c' [R]\n"},
        {{{"*[ab]c", "R", LINK}},
         "0 * child=1\n"
         "1 'a' next=2 child=3\n"
         "2 'b' next=0 child=3\n"
         "3 'c' [R]\n"},
    };
    for (const row& r : rows) {
        run_state rs;
        for (const pattern_pair& p : r.pairs)
            compile_pair(rs, p);
        EXPECT_EQ(dump(rs), r.dump) << "patterns: " << describe(r.pairs);
    }
}

TEST(Compiler, ComplementOfNothingIsEveryByte) {
    for (bool link : {PLAIN, LINK}) {
        run_state rs;
        compile_pair(rs, {"[!]", "R", link});
        int code = 0;
        for (const trie_node* n = rs.patterns.root; n != nullptr; n = n->next, ++code) {
            EXPECT_EQ(n->code, code);
            ASSERT_NE(n->repl, nullptr);
            EXPECT_EQ(std::string_view(n->repl->text, n->repl->length), "R");
        }
        EXPECT_EQ(code, 256);
    }
}

TEST(Compiler, LongPatternCompilesToTheEnd) {
    // Positions are not limited to 16 bits.
    std::string pattern(70000, 'a');
    pattern += "b";
    run_state rs;
    compile_pair(rs, {pattern, "R"});
    std::size_t depth = 0;
    const trie_node* n = rs.patterns.root;
    for (; n->child != nullptr; n = n->child)
        ++depth;
    EXPECT_EQ(depth, 70000u);
    EXPECT_EQ(n->code, 'b');
    EXPECT_NE(n->repl, nullptr);
}

TEST(Compiler, ReleasesEveryCursor) {
    // Compiling a pattern a second time finds every node in place, so the trie takes no memory
    // and only the cursors come and go.
    for (bool link : {PLAIN, LINK}) {
        run_state rs;
        const pattern_pair p = {"[a-z]*[0-9]?x[]y", "R", link};
        compile_pair(rs, p);
        const std::size_t before = mem_total();
        compile_re(rs.patterns, &rs.patterns.root,
                   reinterpret_cast<const unsigned char*>(p.search.data()), p.search.size(),
                   rs.patterns.root->repl, link);
        EXPECT_EQ(mem_total(), before) << (link ? "link" : "plain");
    }
}

TEST(Compiler, SetsAndStarsWhileMatching) {
    struct row {
        std::vector<pattern_pair> pairs;
        std::string_view input;
        std::string_view output;
        int result;
    };
    const row rows[] = {
        // One pattern with a set and a star, in both modes: link mode loses xbc.
        {{{"x[ab]*c", "R"}}, "xac", "R", 0},
        {{{"x[ab]*c", "R"}}, "xbc", "R", 0},
        {{{"x[ab]*c", "R"}}, "xbzc", "R", 0},
        {{{"x[ab]*c", "R", LINK}}, "xac", "R", 0},
        {{{"x[ab]*c", "R", LINK}}, "xbc", "xbc", 1},
        {{{"x[ab]*c", "R", LINK}}, "xbzc", "R", 0},
        {{{"x[ab]*c", "R", LINK}}, "xbcc", "R", 0},
        // Link mode over what earlier patterns built.
        {{{"bz", "1"}, {"[ab]c", "2", LINK}}, "bz bc ac", "bz 2 2", 0},
        {{{"bz", "1"}, {"[ab]c", "2"}}, "bz bc ac", "1 2 2", 0},
        {{{"ay", "1"}, {"[ab]c", "2", LINK}}, "by", "1", 0},
        {{{"ac", "1"}, {"[ab]d", "2", LINK}}, "bc bd", "1 2", 0},
        {{{"*b", "R", LINK}}, "b", "b", 1},
        {{{"*b", "R", LINK}}, "xb", "R", 0},
        {{{"a", "1"}, {"*b", "R", LINK}}, "b", "R", 0},
        {{{"*b", "R"}}, "b", "R", 0},
        {{{"[ab][cd]e", "R", LINK}}, "ace bde bce", "R R R", 0},
        // Stars absorb runs; the walk never backtracks.
        {{{"a*c", "X"}}, "zaxxcz", "zXz", 0},
        {{{"a*cd", "X"}}, "axccd", "axccd", 1},
        {{{"a*cd", "X"}}, "axcxcd", "X", 0},
        {{{"*", "S"}}, "ab", "SS", 0},
        {{{"*b", "X"}}, "aab", "X", 0},
        {{{"*b", "X"}}, "aa", "aa", 1},
        {{{"ab*", "X"}}, "abab", "XX", 0},
        // A star that ends a list and holds a record ends the found text where nothing else did.
        {{{"*", "S"}, {"ab", "X"}}, "ab", "SS", 0},
        {{{"a?c", "X"}, {"abd", "Y"}}, "abc abd", "abc Y", 0},
        {{{"[a-c]x", "X"}}, "axbxcxdx", "XXXdx", 0},
        {{{"[!a]", "-"}}, "abca", "a--a", 0},
        // Protected metacharacters are ordinary bytes.
        {{{"a\\*", "X"}}, "a*ab", "Xab", 0},
        {{{"\\[?]", "X"}}, "[z] [zz]", "X [zz]", 0},
        // An empty set can never be passed.
        {{{"a[]b", "X"}}, "ab a", "ab a", 1},
        {{{"a[]", "X"}, {"b", "Y"}}, "ab", "aY", 0},
        {{{"\0?"sv, "N"}}, "a\0\0b"sv, "aNb", 0},
    };
    for (const row& r : rows) {
        run_state rs;
        rs.opts.replace_meta = false;
        for (const pattern_pair& p : r.pairs)
            compile_pair(rs, p);
        const pass_output out = run_pass(rs, r.input);
        EXPECT_EQ(out.text, r.output) << "patterns: " << describe(r.pairs) << "input: " << r.input;
        EXPECT_EQ(out.result, r.result)
            << "patterns: " << describe(r.pairs) << "input: " << r.input;
    }
}

TEST(Compiler, CaseFoldingReachesSets) {
    struct row {
        const char* search;
        std::string_view input;
        std::string_view output;
    };
    const row rows[] = {
        {"[a-c]x", "Ax bX cx dx", "X X X dx"},
        // Folded to [!A]: neither case of a is in the set any more.
        {"[!a]", "aAb", "aAX"},
        {"a*[xy]", "AzzY", "X"},
    };
    for (const row& r : rows) {
        run_state rs;
        rs.opts.case_sensitive = false;
        rs.opts.replace_meta = false;
        std::string search = r.search;
        std::string repl = "X";
        register_pair(rs.patterns, rs.opts, search.data(), repl.data());
        const pass_output out = run_pass(rs, r.input);
        EXPECT_EQ(out.text, r.output) << "search: " << r.search;
    }
}

}  // namespace
}  // namespace kestrom
