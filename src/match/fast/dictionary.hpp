// The dictionary pass: a trie of plain byte patterns, without wildcards, stepped through its
// automaton, which follows every candidate start at once.
#pragma once

#include "match/fast/pass_output.hpp"
#include "match/fast/start_filter.hpp"
#include "pattern/automaton.hpp"
#include "util/byte_stream.hpp"
#include "util/simd_tier.hpp"

namespace kestrom {

/// The automatic pass over a trie of plain byte patterns, through its automaton. The walk tries
/// starts from left to right and takes the first that completes; the automaton follows all
/// starts at once, so a completion it sees is taken once no earlier start is still alive (an
/// earlier one that completes later wins instead). Every walk is shorter than the window, so no
/// candidate is ever given up at the window's limit; at the end of the input the earliest start
/// still alive, if any, leaves unchanged with everything after it, as the walk's pending
/// candidate does.
int dictionary_pass(pass_output& out, byte_reader& in, const literal_automaton& automaton,
                    const start_filter& starts, bool fold, simd_tier tier);

}  // namespace kestrom
