// The gap to the required literal: starts too far before the literal that every found text
// holds cannot complete within the window, so they leave unchanged in bulk.
#pragma once

#include <cstddef>
#include <cstdint>

#include "pattern/required_literal.hpp"
#include "util/byte_search.hpp"

namespace kestrom {

/// Which candidate starts cannot complete because the required literal lies too far ahead. A
/// found text holds at most window_size-1 bytes (the candidate is given up when it would take
/// its window_size-th), so a walk from s completes only if the literal occurs in full within
/// s..s+window_size-2; when its first occurrence at or after s begins at q, that needs
/// q + k <= s + window_size - 1. Such a start fails, is given up or is still pending at the end of
/// the input (when no later start can complete either): its byte leaves unchanged, exactly as
/// passing over it does. Places are counted from the pass's first input byte; what is known of
/// them is kept: no occurrence begins in [from_, to_), and one begins at to_ when found_.
class literal_gap {
  public:
    /// lit must outlive the gap.
    literal_gap(const required_literal& lit, bool fold, int window_size, simd_tier tier)
        : finder_(lit.bytes, lit.length, fold, tier),
          window_(static_cast<std::uint64_t>(window_size)) {}

    bool usable() const { return finder_.length() > 0; }

    /// How many starts from at on cannot complete, judged by the bytes a[0..an) (those from at
    /// on) followed by b[0..bn).
    std::size_t gap(std::uint64_t at, const unsigned char* a, std::size_t an,
                    const unsigned char* b, std::size_t bn);

  private:
    /// Looks on from to_ within the bytes known; seg starts at place seg_at.
    void search_in(std::uint64_t seg_at, const unsigned char* seg, std::size_t size);
    void search(std::uint64_t at, const unsigned char* a, std::size_t an, const unsigned char* b,
                std::size_t bn);

    pair_finder finder_;
    std::uint64_t window_;
    std::uint64_t from_ = 0;
    std::uint64_t to_ = 0;
    bool found_ = false;
};

}  // namespace kestrom
