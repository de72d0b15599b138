// A filter over the first bytes of the patterns of a large trie, for the starts that a walk would
// try in vain: a start whose first bytes no path of the trie spells fails within them.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "pattern/trie.hpp"
#include "util/alloc.hpp"

namespace kestrom {

class prefix_filter {
  public:
    /// The longest prefix tested.
    static constexpr std::size_t MAX_LENGTH = 8;
    /// The most nodes surveyed: a larger trie would cost more than the filter saves.
    static constexpr std::size_t MAX_NODES = std::size_t{1} << 23;

    /// Surveys the trie below root for prefixes of length() bytes: as many as every walk takes
    /// before it could complete or meet a wildcard, at most MAX_LENGTH and below max_length.
    /// Unusable (usable() false) for small tries, whose walks are cheap, for prefixes shorter than
    /// three bytes, and for tries too large to survey.
    prefix_filter(trie_node* root, std::size_t max_length);

    bool usable() const { return !words_.empty(); }
    std::size_t length() const { return length_; }

    /// Whether some path may hold key among its first length() bytes: false only when none
    /// does, so that a start fails if one of its first length() keys is not held.
    bool held(unsigned char key) const { return held_[key]; }

    /// The keys k[0..length()) packed as may_begin takes them: the first in the low byte.
    std::uint64_t pack(const unsigned char* k) const {
        std::uint64_t v = 0;
        for (std::size_t i = length_; i-- > 0;)
            v = v << 8 | k[i];
        return v;
    }
    /// The same from eight bytes at k, of which those past length() are ignored.
    std::uint64_t pack8(const unsigned char* k) const {
        std::uint64_t v;
        std::memcpy(&v, k, sizeof v);
        if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap64(v);
        return v & keep_;
    }

    /// Whether some path of the trie may begin with the keys packed in v. False only when none
    /// does; true now and then when none does (the filter is a set of hashes).
    bool may_begin(std::uint64_t v) const {
        const std::uint64_t h = v * 0x9E3779B97F4A7C15ULL;
        const std::uint64_t bits = bits_of(h);
        return (words_[h >> shift_] & bits) == bits;
    }

  private:
    /// Three bits of a word, from the bits of the hash below those that choose the word.
    std::uint64_t bits_of(std::uint64_t h) const {
        return std::uint64_t{1} << (h >> (shift_ - 6) & 63) |
               std::uint64_t{1} << (h >> (shift_ - 12) & 63) |
               std::uint64_t{1} << (h >> (shift_ - 18) & 63);
    }

    std::size_t length_ = 0;
    bool held_[256] = {};
    std::uint64_t keep_ = 0;  // the packed bits of length_ bytes
    unsigned shift_ = 64;     // 64 minus log2 of the words
    std::vector<std::uint64_t, counted_allocator<std::uint64_t>> words_;
};

}  // namespace kestrom
