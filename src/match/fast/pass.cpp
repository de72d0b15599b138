// Which strategy runs when.
//
// The reference is the plain walk (stream.cpp): from each candidate start it walks down the trie
// byte by byte, takes the first pattern that completes, and otherwise gives the start up and
// re-scans from one byte further on. Every strategy here gives exactly its output, result and
// counts; the tests hold each to it on random tries and inputs (FastPass.*AgreeWith*), at
// every SIMD tier. They are chosen once per pass, from the trie alone:
//
//  1. One literal (one_literal.cpp). A trie whose walks all follow one path of plain bytes to one
//     record is a single word: the found texts are its leftmost occurrences, so the input is
//     searched for it in its own buffer by the rare-pair finder (util/byte_search), and only a
//     tail that may begin the word is ever held back.
//  2. Dictionary (dictionary.cpp). A trie without wildcards (a set is its members' bytes by then)
//     that fits the automaton (pattern/automaton) is stepped through it: one step a byte follows
//     every start at once, and a completion is taken once no earlier start is alive. Long spans
//     go through interleaved streams (several parts of the span stepped side by side, so that
//     their loads overlap); where few starts begin a pattern, the start filter passes over the
//     others at the root, and backs off (exponentially) while it does not pay.
//  3. Star walk (star_walk.cpp). Every other trie (a star, a '?', or too many states) is
//     walked as the reference walks it, with four helps: the states a walk under a star records,
//     which turn a re-scan into a lookup; the bytes a star alone takes, stored in bulk; the start
//     filter (start_filter.cpp) for fresh starts, which for a large trie also tests the hashes of
//     its patterns' prefixes; and the gap to the literal that every found text holds
//     (literal_gap.cpp), searched for many bytes at a time: under a star once a candidate was
//     given up at the window's limit, and without one, where walks are shorter than the window
//     (as for `??fine`, whose walks take six bytes at most), before every fresh start: only the
//     starts a few bytes before an occurrence are walked, over the input's buffer in place, and
//     the bytes between found texts leave in one piece.
//
// Each strategy keeps its invariants beside its code. What the trie's analyses cost (the
// automaton, the prefix filter, the required literal) is paid once per state of the trie: the
// trie caches them until a pattern is added.
#include "match/fast/pass.hpp"

#include <cstdint>
#include <new>

#include "match/fast/dictionary.hpp"
#include "match/fast/one_literal.hpp"
#include "match/fast/pass_output.hpp"
#include "match/fast/star_walk.hpp"
#include "match/fast/start_filter.hpp"
#include "pattern/automaton.hpp"
#include "pattern/prefix_filter.hpp"
#include "pattern/required_literal.hpp"
#include "util/alloc.hpp"

namespace kestrom {

/// What one pass leaves for the next. The start filter of the trie as it was at version, before
/// any prefixes are added to it: the same for every pass until a pattern is added, and a survey
/// of the trie's first levels to build. And the memory of the dictionary pass, whatever the trie.
struct pass_cache {
    std::uint64_t version;
    const trie_node* root;
    bool fold;
    int window_size;
    simd_tier tier;
    start_filter starts;
    dictionary_memory dictionary{};
};

namespace {

void free_pass_cache(pass_cache* cache) {
    cache->~pass_cache();
    xfree(cache, sizeof *cache);
}

/// A copy of the start filter for this pass, built anew only when the trie or the settings it
/// depends on have changed since the last pass.
start_filter cached_start_filter(run_state& rs, trie_node* root, bool fold, int window_size) {
    pass_cache* c = rs.fast_cache;
    const std::uint64_t version = rs.patterns.version();
    const simd_tier tier = rs.tier;
    if (c != nullptr && c->version == version && c->root == root && c->fold == fold &&
        c->window_size == window_size && c->tier == tier) {
        return c->starts;
    }
    if (c == nullptr) {
        c = new (xmalloc(sizeof *c)) pass_cache{
            version, root, fold, window_size, tier, start_filter(root, fold, window_size, tier)};
        rs.fast_cache = c;
        rs.free_pass_cache = free_pass_cache;
    } else {
        c->version = version;
        c->root = root;
        c->fold = fold;
        c->window_size = window_size;
        c->tier = tier;
        c->starts = start_filter(root, fold, window_size, tier);
    }
    return c->starts;
}

/// The dictionary pass, when the trie fits the automaton; -1 when it does not.
int try_dictionary(run_state& rs, pass_output& out, byte_reader& in, start_filter& starts,
                   std::size_t max_depth) {
    const bool fold = !rs.opts.case_sensitive;
    const literal_automaton& automaton = rs.patterns.automaton(max_depth);
    if (!automaton.usable()) return -1;
    // A large automaton's states lie far apart; where few starts begin any pattern, its
    // prefixes pass over the others at the root (the filter backs off where it does not pay).
    if (!automaton.has_dense()) {
        const prefix_filter& prefixes = rs.patterns.prefixes(max_depth);
        if (prefixes.usable()) starts.use_prefixes(prefixes, fold);
    }
    // The start filter was cached just before, so the cache is there.
    return dictionary_pass(out, in, automaton, starts, fold, rs.tier, rs.fast_cache->dictionary);
}

}  // namespace

int automatic_pass(run_state& rs, byte_reader& in, byte_writer& out, int window_size) {
    const bool fold = !rs.opts.case_sensitive;
    const auto max_depth = static_cast<std::size_t>(window_size);
    trie_node* const root = rs.patterns.root;
    pass_output output(rs, out);
    // An empty input needs none of the trie's analyses, which may cost far more than the trie.
    if (in.buffered_size() == 0 && !in.fill()) return output.finish();
    const bool stars = rs.patterns.has_star();  // without one, no list's end needs looking at
    if (!stars) {
        const lone_word word(root, max_depth, fold);
        if (word.record != nullptr) return one_literal_pass(output, in, word, rs.tier);
    }
    start_filter starts = cached_start_filter(rs, root, fold, window_size);
    if (!stars) {
        const int r = try_dictionary(rs, output, in, starts, max_depth);
        if (r >= 0) return r;
    }
    // A trie too large for the automaton is walked: most starts fail within a few bytes, but
    // only after lookups spread over the whole trie, which its prefixes spare.
    const prefix_filter& prefixes = rs.patterns.prefixes(max_depth);
    if (prefixes.usable()) starts.use_prefixes(prefixes, fold);
    // A literal that every found text holds lets runs of input without it leave at once: under a
    // star, once a candidate reached the window's limit; without one, where no found text is
    // longer than the longest walk, always. A trie large enough for the prefix filter goes by
    // that filter instead (its survey would cost more than most passes).
    const required_literal none(nullptr, fold);
    const bool literal = stars || !prefixes.usable();
    const walk_plan plan{root,
                         rs.patterns.update_index(),
                         stars,
                         fold,
                         window_size,
                         &starts,
                         literal ? &rs.patterns.required(fold) : &none,
                         rs.tier};
    return star_walk_pass(output, in, plan);
}

}  // namespace kestrom
