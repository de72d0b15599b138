// The one-literal pass: a trie that holds one word, each byte standing for itself, is searched for
// in the input's own buffer instead of walked.
#pragma once

#include <cstddef>
#include <vector>

#include "match/fast/pass_output.hpp"
#include "pattern/trie.hpp"
#include "util/alloc.hpp"
#include "util/byte_stream.hpp"
#include "util/simd_tier.hpp"

namespace kestrom {

/// The word of a trie whose walks all follow one path of plain bytes to one record: found texts
/// are then the word's leftmost occurrences.
struct lone_word {
    std::vector<unsigned char, counted_allocator<unsigned char>> bytes;
    replacement* record = nullptr;  ///< null when the trie is not such a trie

    /// The word of the trie below root, shorter than max_length bytes and with no letter where
    /// fold is on (a folded letter stands for two bytes); no record when there is none.
    lone_word(trie_node* root, std::size_t max_length, bool fold);
};

/// The automatic pass over the lone word: only a tail that begins the word is held back between
/// reads (as the walk holds its candidate); every other byte is written at once.
int one_literal_pass(pass_output& out, byte_reader& in, const lone_word& word, simd_tier tier);

}  // namespace kestrom
