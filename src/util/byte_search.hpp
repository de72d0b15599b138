// Byte search, the one place for each SIMD tier: the rare-pair finder of a run of bytes (exact or
// with ASCII case folded), the index of a key among a node's keys, the positions of marked states,
// and the table of the keys that the trie holds for each byte.
#pragma once

#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include <cstddef>
#include <cstdint>

#include "util/simd_tier.hpp"

namespace kestrom {

/// A rough weight of how often each byte value turns up in text and binaries, for choosing the
/// rarest bytes to search for.
int byte_weight(int v);

/// The positions in bytes[0..n) of the rarest byte (a) and of the next rarest (b, which is a
/// when n is 1), by byte_weight; the first of equals.
void rarest_two(const unsigned char* bytes, std::size_t n, std::size_t& a, std::size_t& b);

/// The key of each byte value as the trie holds it: the byte itself, or its upper case where case
/// is folded.
struct key_table {
    unsigned char of[256];
    explicit key_table(bool fold);
};

/// Finds the leftmost place where a run of bytes occurs: starts are tested many at a time by two
/// of the run's rarest bytes, and those that pass are compared in full. Exact, or folded: then
/// the run's bytes are keys (upper case) and an input letter of either case matches its key.
class pair_finder {
  public:
    /// The longest run a folded finder takes.
    static constexpr std::size_t MAX_FOLDED = 32;

    /// An exact finder keeps bytes (which must outlive it); a folded one copies them (n at most
    /// MAX_FOLDED).
    pair_finder(const unsigned char* bytes, std::size_t n, bool fold, simd_tier tier);

    std::size_t length() const { return n_; }

    /// The offset of the first place in p[0..m) where the run occurs in full, or m.
    std::size_t find(const unsigned char* p, std::size_t m) const;

  private:
    bool occurs_at(const unsigned char* p) const;

    const unsigned char* bytes_;  // the run (low_ when folded)
    std::size_t n_;
    bool fold_;
    simd_tier tier_;
    std::size_t a_ = 0;  // the rarest byte's position
    std::size_t b_ = 0;  // the next rarest
    unsigned char low_[MAX_FOLDED] = {};
    unsigned char high_[MAX_FOLDED] = {};  // the lower case of each letter key
};

/// Passes over the starts at which none of a few words can begin: each word is tested by two of
/// its rarest bytes, all words at once and many starts at a time. The words' bytes are keys (see
/// key_table): an input byte matches the key it has.
class word_set_finder {
  public:
    static constexpr std::size_t MAX_WORDS = 8;

    word_set_finder() = default;
    word_set_finder(bool fold, simd_tier tier) : fold_(fold), tier_(tier) {}

    /// Adds a word of n keys (n at least 1); false, adding nothing, when MAX_WORDS are held. A
    /// word that no input can hold (under folding, a lower-case key) needs no test and is left out.
    bool add(const unsigned char* word, std::size_t n);

    /// How many bytes from a start on its test reads.
    std::size_t reach() const { return reach_; }

    /// The first of the starts p[0..m) at which some word's two bytes match, or m; reads
    /// p[0..m + reach() - 1).
    std::size_t find(const unsigned char* p, std::size_t m) const;

  private:
    bool matches(const unsigned char* p) const;

    /// For word k: the places of its two bytes, 2k and 2k + 1, and the input bytes that match
    /// them, 4k and 4k + 1 for the first, 4k + 2 and 4k + 3 for the second (twice the same where
    /// only one does), each repeated for a vector.
    std::size_t places_[2 * MAX_WORDS] = {};
    alignas(32) unsigned char values_[4 * MAX_WORDS][32] = {};
    std::size_t count_ = 0;
    std::size_t reach_ = 0;
    bool fold_ = false;
    simd_tier tier_ = simd_tier::SCALAR;
};

/// Writes in order to `to` every k below n where v[k] >= at_least, and returns how many. Writes
/// up to seven entries more than it counts, so `to` holds n + 7. No branch depends on the values:
/// they come too irregularly for a prediction.
std::size_t list_at_least(const std::uint32_t* v, std::size_t n, std::uint32_t at_least,
                          std::uint32_t* to, simd_tier tier);

/// The index of key among the count bytes at keys, or count when it is not there. May read up to
/// fifteen bytes past the last.
inline std::uint32_t find_key(const unsigned char* keys, std::uint32_t count, unsigned char key) {
#ifdef __SSE2__
    // Sixteen keys at a time; in the last sixteen or fewer (all the keys of most nodes), no jump
    // depends on whether the key is there, which is not foreseeable.
    const __m128i wanted = _mm_set1_epi8(static_cast<char>(key));
    auto matches = [&](std::uint32_t e) {
        return static_cast<std::uint32_t>(_mm_movemask_epi8(
            _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(keys + e)), wanted)));
    };
    std::uint32_t e = 0;
    for (; count - e > 16; e += 16) {
        const std::uint32_t found = matches(e);
        if (found != 0) return e + static_cast<std::uint32_t>(__builtin_ctz(found));
    }
    const std::uint32_t left = count - e;
    const auto at = static_cast<std::uint32_t>(
        __builtin_ctz((matches(e) & (0xffffu >> (16 - left))) | 0x10000u));
    return at < left ? e + at : count;
#else
    std::uint32_t e = 0;
    while (e < count && keys[e] != key)
        ++e;
    return e;
#endif
}

}  // namespace kestrom
