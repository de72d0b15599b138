// The dictionary pass: a trie of plain byte patterns, without wildcards, stepped through its
// automaton, which follows every candidate start at once.
#pragma once

#include <cstddef>
#include <cstdint>

#include "match/fast/pass_output.hpp"
#include "match/fast/start_filter.hpp"
#include "pattern/automaton.hpp"
#include "util/byte_stream.hpp"
#include "util/simd_tier.hpp"

namespace kestrom {

/// The memory of a dictionary pass, taken at its first pass and kept for the next, so that a run
/// over many small files does not take and give back a quarter of a megabyte for each.
class dictionary_memory {
  public:
    dictionary_memory() = default;
    ~dictionary_memory();
    dictionary_memory(const dictionary_memory&) = delete;
    dictionary_memory& operator=(const dictionary_memory&) = delete;

    /// The input buffer, of BUFFER_SIZE bytes.
    unsigned char* buffer();
    /// The trace of the interleaved streams, of TRACE_SIZE entries.
    std::uint32_t* trace();

    static constexpr std::size_t CAPACITY = 2 * READ_BUFFER_SIZE;  ///< input bytes held
    /// The capacity and the bytes a padded write may read past the end (see write_padded).
    static constexpr std::size_t BUFFER_SIZE = CAPACITY + byte_writer::PADDING;
    /// The trace after each byte of the streams, then the places of the completions among them.
    static constexpr std::size_t TRACE_SIZE = 2 * literal_automaton::STREAMS_MAX_SPAN + 7;

  private:
    unsigned char* buffer_ = nullptr;
    std::uint32_t* trace_ = nullptr;
};

/// The automatic pass over a trie of plain byte patterns, through its automaton. The walk tries
/// starts from left to right and takes the first that completes; the automaton follows all
/// starts at once, so a completion it sees is taken once no earlier start is still alive (an
/// earlier one that completes later wins instead). Every walk is shorter than the window, so no
/// candidate is ever given up at the window's limit; at the end of the input the earliest start
/// still alive, if any, leaves unchanged with everything after it, as the walk's pending
/// candidate does.
int dictionary_pass(pass_output& out, byte_reader& in, const literal_automaton& automaton,
                    const start_filter& starts, bool fold, simd_tier tier,
                    dictionary_memory& memory);

}  // namespace kestrom
