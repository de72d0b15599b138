// The gap to the required literal: starts too far before the literal that every found text
// holds cannot complete within the window, so they leave unchanged in bulk.
#pragma once

#include <cstddef>
#include <cstdint>

#include "pattern/required_literal.hpp"
#include "util/byte_search.hpp"

namespace kestrom {

/// Which candidate starts cannot complete because the required literal lies too far ahead. A
/// found text holds at most limit-1 bytes (the window's limit: a candidate is given up when it
/// would take its window_size-th byte; or, without a star, the longest walk the trie allows), so a
/// walk from s completes only if the literal occurs in full within s..s+limit-2; when its first
/// occurrence at or after s begins at q, that needs q + k <= s + limit - 1. Such a start fails,
/// is given up or is still pending at the end of the input (a walk that long cannot be pending,
/// so no later start can complete either): its byte leaves unchanged, exactly as passing over it
/// does. Places are counted from the pass's first input byte; what is known of them is kept: no
/// occurrence begins in [from_, to_), and one begins at to_ when found_.
class literal_gap {
  public:
    /// lit must outlive the gap.
    literal_gap(const required_literal& lit, bool fold, int limit, simd_tier tier)
        : finder_(lit.bytes, lit.length, fold, tier), limit_(static_cast<std::uint64_t>(limit)) {}

    bool usable() const { return finder_.length() > 0; }

    /// How many starts from at on cannot complete, judged by the bytes a[0..an) (those from at
    /// on) followed by b[0..bn).
    std::size_t gap(std::uint64_t at, const unsigned char* a, std::size_t an,
                    const unsigned char* b, std::size_t bn);

    /// After gap(at) gave 0: how many starts from at on can use the occurrence found (a later
    /// start needs a later one, which gap looks for); all of them when none was found.
    std::size_t served(std::uint64_t at) const {
        return found_ ? static_cast<std::size_t>(to_ - at + 1) : SIZE_MAX;
    }

  private:
    /// Looks on from to_ within the bytes known; seg starts at place seg_at.
    void search_in(std::uint64_t seg_at, const unsigned char* seg, std::size_t size);
    void search(std::uint64_t at, const unsigned char* a, std::size_t an, const unsigned char* b,
                std::size_t bn);

    pair_finder finder_;
    std::uint64_t limit_;
    std::uint64_t from_ = 0;
    std::uint64_t to_ = 0;
    bool found_ = false;
};

}  // namespace kestrom
