// The required literal of a trie: a run of bytes that every found text holds, and a finder that
// looks for it sixteen places at a time. A text without it can be passed over without a walk.
#pragma once

#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include <cstddef>

#include "pattern/trie.hpp"

namespace kestrom {

struct run_state;

/// A rough weight of how often each byte value turns up in text and binaries, for choosing the
/// rarest bytes to search for.
int byte_weight(int v);

/// The positions in bytes[0..n) of the rarest byte (a) and of the next rarest (b, which is a
/// when n is 1), by byte_weight; the first of equals.
void rarest_two(const unsigned char* bytes, std::size_t n, std::size_t& a, std::size_t& b);

/// A run of bytes that every found text holds: the bytes of nodes n1..nk, where each n(i+1) can
/// only be taken right after n(i) (its list is reached through n(i)'s child alone, holds no star
/// and is not the root list) and every way from the root to a completion takes nk, or one of the
/// nodes whose chains end in the same bytes. Found only in tries of up to half a million nodes;
/// length 0 when there is none.
struct required_literal {
    static constexpr std::size_t MAX_LENGTH = 32;
    std::size_t length = 0;
    unsigned char bytes[MAX_LENGTH] = {};  ///< the keys the bytes must have

    /// The literal of the trie from root, looked up by keys (upper case when fold).
    required_literal(trie_node* root, bool fold);
};

/// The required literal of the patterns of rs, worked out once for each state of the trie: the
/// survey of a large trie costs more than a small file's pass.
const required_literal& required_literal_of(run_state& rs, bool fold);

/// Finds the leftmost place where the bytes of a required literal occur, by their keys: sixteen
/// places at a time are tested by two of its rarest bytes, and those that pass in full.
class literal_finder {
  public:
    literal_finder(const required_literal& lit, bool fold) : n_(lit.length) {
        for (std::size_t k = 0; k < n_; ++k) {
            const unsigned char c = lit.bytes[k];
            low_[k] = c;
            high_[k] = fold && c >= 'A' && c <= 'Z' ? static_cast<unsigned char>(c + 32) : c;
        }
        rarest_two(lit.bytes, n_, a_, b_);
    }

    std::size_t length() const { return n_; }

    /// The offset of the first place in p[0..m) where the literal occurs in full, or m.
    std::size_t find(const unsigned char* p, std::size_t m) const {
        std::size_t i = 0;
#ifdef __SSE2__
        const __m128i a1 = _mm_set1_epi8(static_cast<char>(low_[a_]));
        const __m128i a2 = _mm_set1_epi8(static_cast<char>(high_[a_]));
        const __m128i b1 = _mm_set1_epi8(static_cast<char>(low_[b_]));
        const __m128i b2 = _mm_set1_epi8(static_cast<char>(high_[b_]));
        for (; i + n_ + 15 <= m; i += 16) {
            const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i + a_));
            const __m128i y = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i + b_));
            const __m128i hx = _mm_or_si128(_mm_cmpeq_epi8(x, a1), _mm_cmpeq_epi8(x, a2));
            const __m128i hy = _mm_or_si128(_mm_cmpeq_epi8(y, b1), _mm_cmpeq_epi8(y, b2));
            auto mask = static_cast<unsigned>(_mm_movemask_epi8(_mm_and_si128(hx, hy)));
            while (mask != 0) {
                const std::size_t at = i + static_cast<std::size_t>(__builtin_ctz(mask));
                if (occurs_at(p + at)) return at;
                mask &= mask - 1;
            }
        }
#endif
        for (; i + n_ <= m; ++i) {
            if (occurs_at(p + i)) return i;
        }
        return m;
    }

  private:
    bool occurs_at(const unsigned char* p) const {
        for (std::size_t k = 0; k < n_; ++k) {
            if (p[k] != low_[k] && p[k] != high_[k]) return false;
        }
        return true;
    }

    std::size_t n_;
    std::size_t a_ = 0;  // the rarest byte's position
    std::size_t b_ = 0;  // the next rarest
    unsigned char low_[required_literal::MAX_LENGTH] = {};
    unsigned char high_[required_literal::MAX_LENGTH] = {};
};

}  // namespace kestrom
