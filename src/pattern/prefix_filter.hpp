// A filter over the first bytes of the patterns of a large trie, for the starts that a walk would
// try in vain: a start whose first bytes no path of the trie spells fails within them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "pattern/trie.hpp"
#include "util/alloc.hpp"

namespace kestrom {

class prefix_filter {
  public:
    /// The longest prefix tested.
    static constexpr std::size_t MAX_LENGTH = 8;

    /// Surveys the trie below root for prefixes of length() bytes: as many as every walk takes
    /// before it could complete or meet a wildcard, at most MAX_LENGTH and below max_length.
    /// Unusable (usable() false) for small tries, whose walks are cheap, for prefixes shorter than
    /// three bytes, and for tries too large to survey.
    prefix_filter(trie_node* root, std::size_t max_length);

    bool usable() const { return !bits_.empty(); }
    std::size_t length() const { return length_; }

    /// Whether some path of the trie may begin with the keys k[0..length()). False only when
    /// none does; true now and then when none does (the filter is a set of hashes).
    bool may_begin(const unsigned char* k) const {
        std::uint64_t v = 0;
        for (std::size_t i = 0; i < length_; ++i)
            v = v << 8 | k[i];
        const std::uint64_t h = hash(v);
        return (bits_[h >> 6] >> (h & 63) & 1) != 0;
    }

  private:
    std::uint64_t hash(std::uint64_t v) const { return (v * 0x9E3779B97F4A7C15ULL) >> shift_; }

    std::size_t length_ = 0;
    unsigned shift_ = 64;  // 64 minus log2 of the bits
    std::vector<std::uint64_t, counted_allocator<std::uint64_t>> bits_;
};

}  // namespace kestrom
