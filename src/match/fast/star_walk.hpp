// The star walk: the plain walk down the trie, for tries with stars or too large for an
// automaton, made fast by the states it records under a star, the bytes a star takes in bulk, the
// start filter and the gap to the required literal.
#pragma once

#include "match/fast/pass_output.hpp"
#include "match/fast/start_filter.hpp"
#include "pattern/required_literal.hpp"
#include "pattern/trie.hpp"
#include "util/byte_stream.hpp"
#include "util/simd_tier.hpp"

namespace kestrom {

/// What a star walk goes by.
struct walk_plan {
    trie_node* root;
    const list_index* tables;  ///< the long lists' lookup tables (see trie::update_index)
    bool stars;                ///< some list ends in a star
    bool fold;                 ///< input bytes are upper-cased before they are looked up
    int window_size;           ///< a candidate is given up when it would take this many bytes
    const start_filter* starts;
    const required_literal* required;  ///< length 0 where nothing is required
    simd_tier tier;
};

/// The automatic pass by the walk: the same output, result and counts as the plain walk with a
/// window of plan.window_size bytes.
int star_walk_pass(pass_output& out, byte_reader& in, const walk_plan& plan);

}  // namespace kestrom
