// The trie with copies shared while they are equal against the reference that gives every set
// member a copy of its own: the same walks, so the same output through every matcher.
#include <gtest/gtest.h>

#include <map>
#include <random>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "match/line.hpp"
#include "match/stream.hpp"
#include "pattern/register.hpp"
#include "pattern/trie_dump.hpp"
#include "test_io.hpp"

namespace kestrom {
namespace {

using test::mem_file;

std::string_view text_of(const replacement* r) {
    return r == nullptr ? std::string_view("(none)") : std::string_view(r->text, r->length);
}

/// Empty when every node of the reference has one node of the shared trie that stands for it
/// wherever a walk meets it: the same code and record, and the nodes that stand for its next and
/// its child. Then the shared trie unfolds into the reference, and no walk can tell them apart.
std::string unfolding_mismatch(const trie_node* shared, const trie_node* reference) {
    std::map<const trie_node*, const trie_node*> stands_for;  // reference node to shared node
    std::vector<std::pair<const trie_node*, const trie_node*>> todo{{shared, reference}};
    while (!todo.empty()) {
        auto [s, r] = todo.back();
        todo.pop_back();
        if ((s == nullptr) != (r == nullptr)) return "a list ends in one trie only";
        if (r == nullptr) continue;
        const auto [at, fresh] = stands_for.emplace(r, s);
        if (!fresh) {
            if (at->second != s) return "one node reached as two";
            continue;
        }
        if (s->code != r->code || text_of(s->repl) != text_of(r->repl)) {
            std::string why = "codes or records differ: ";
            why += std::to_string(s->code);
            why += ' ';
            why += text_of(s->repl);
            why += ", ";
            why += std::to_string(r->code);
            why += ' ';
            why += text_of(r->repl);
            return why;
        }
        todo.emplace_back(s->next, r->next);
        todo.emplace_back(s->child, r->child);
    }
    return {};
}

/// A search pattern with sets of every size, wildcards, protected bytes and empty sets; the
/// reference's size is the product of the sets', so the product stays small.
std::string random_pattern(std::mt19937& rng) {
    static const char* const pieces[] = {"a", "b", "B", "?", "*", "\\*", "\\[", "[]", "ab", "#000"};
    static const char* const sets[] = {"[a]",   "[ab]",    "[a-c]",  "[!a]",   "[!]",
                                       "[a-z]", "[0-9,b]", "[a,-a]", "[A-C,b]"};
    static const std::size_t sizes[] = {1, 2, 3, 255, 256, 26, 11, 0, 4};
    std::string p;
    std::size_t product = 1;
    for (int k = static_cast<int>(rng() % 7); k >= 0; --k) {
        if (rng() % 2 == 0) {
            const std::size_t which = rng() % (sizeof sets / sizeof *sets);
            if (product * std::max<std::size_t>(sizes[which], 1) <= 3000) {
                product *= std::max<std::size_t>(sizes[which], 1);
                p += sets[which];
                continue;
            }
        }
        p += pieces[rng() % (sizeof pieces / sizeof *pieces)];
    }
    return p;
}

std::string random_input(std::mt19937& rng) {
    static const char alphabet[] = {'a', 'b', 'c', 'A', 'B', 'z', '5', '\0', '\n', '*', '['};
    std::string in;
    for (std::size_t n = rng() % 400; n > 0; --n)
        in.append(1 + rng() % 3, alphabet[rng() % sizeof alphabet]);
    return in;
}

struct outputs {
    std::string walk, fast, lines;
    int walk_result, fast_result, lines_result;
    counters walk_count, fast_count, lines_count;
};

outputs run_all(run_state& rs, const std::string& input) {
    outputs o;
    std::vector<unsigned char> window(WINDOW_SIZE + 2);
    for (int how = 0; how < 3; ++how) {
        rs.count = counters{};
        mem_file in_file(input), out_file;
        byte_reader in(in_file.fd());
        byte_writer out(out_file.fd());
        const int r = how == 2 ? line_replace(rs, in, out)
                               : stream_replace(rs, in, out, window.data(), WINDOW_SIZE, how == 1);
        (how == 0 ? o.walk : how == 1 ? o.fast : o.lines) = out_file.content();
        (how == 0 ? o.walk_result : how == 1 ? o.fast_result : o.lines_result) = r;
        (how == 0 ? o.walk_count : how == 1 ? o.fast_count : o.lines_count) = rs.count;
    }
    return o;
}

TEST(Sharing, UnfoldsIntoTheReferenceAndMatchesAsItDoes) {
    std::mt19937 rng(20261209);
    for (int round = 0; round < 3000; ++round) {
        run_state shared, reference, batched;
        reference.patterns.share_copies = false;
        // As a pattern file registers: its literals wait in a batch and go in sorted.
        literal_batch batch(batched.patterns);
        std::string described;
        for (int k = static_cast<int>(rng() % 8); k >= 0; --k) {
            const unsigned how = rng() % 10;
            for (run_state* rs : {&shared, &reference, &batched}) {
                rs->opts.link_re = how < 2;
                rs->opts.case_sensitive = how != 2;
                rs->opts.search_meta = how != 3;
            }
            // Literals over the same letters, so that they run into the sets' copies.
            std::string search = how == 3 ? std::string("ab5zB").substr(rng() % 5, 1 + rng() % 3)
                                          : random_pattern(rng);
            described += search;
            described += how < 2 ? " (link) " : how == 2 ? " (fold) " : " ";
            std::string repl = "r";
            repl += std::to_string(k);
            for (run_state* rs : {&shared, &reference, &batched}) {
                std::string s = search, r = repl;
                register_pair(rs->patterns, rs->opts, s.data(), r.data(),
                              rs == &batched ? &batch : nullptr);
            }
        }
        batch.flush();
        ASSERT_EQ(dump_trie(batched.patterns.root), dump_trie(shared.patterns.root))
            << "round " << round << ": " << described;
        ASSERT_EQ(unfolding_mismatch(shared.patterns.root, reference.patterns.root), "")
            << "round " << round << ": " << described << "\n"
            << dump_trie(shared.patterns.root).c_str();
        if (round % 10 != 0) continue;
        // The walks cannot tell the two apart; the matchers that survey the trie first must
        // not either.
        const bool fold = rng() % 3 == 0;
        shared.opts.case_sensitive = reference.opts.case_sensitive = !fold;
        const std::string input = random_input(rng);
        const outputs a = run_all(shared, input), b = run_all(reference, input);
        ASSERT_EQ(a.walk, b.walk) << described;
        ASSERT_EQ(a.fast, b.fast) << described;
        ASSERT_EQ(a.lines, b.lines) << described;
        ASSERT_EQ(a.fast, a.walk) << described;
        ASSERT_EQ(a.walk_result, b.walk_result) << described;
        ASSERT_EQ(a.fast_result, b.fast_result) << described;
        ASSERT_EQ(a.lines_result, b.lines_result) << described;
        ASSERT_EQ(a.fast_count.found_count, b.fast_count.found_count) << described;
        ASSERT_EQ(a.lines_count.replaced_count, b.lines_count.replaced_count) << described;
    }
}

}  // namespace
}  // namespace kestrom
