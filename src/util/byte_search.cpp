#include "util/byte_search.hpp"

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#define KESTROM_AVX2 1
#endif

#include <algorithm>
#include <climits>
#include <cstring>

#include "util/ascii.hpp"

namespace kestrom {

simd_tier best_simd_tier() {
#ifdef KESTROM_AVX2
    static const simd_tier best =
        __builtin_cpu_supports("avx2") != 0 ? simd_tier::AVX2 : simd_tier::SSE2;
    return best;
#elif defined(__SSE2__)
    return simd_tier::SSE2;
#else
    return simd_tier::SCALAR;
#endif
}

int byte_weight(int v) {
    if (v == ' ') return 16;
    if (v >= 'a' && v <= 'z') return std::strchr("etaoinshrlducm", v) != nullptr ? 10 : 4;
    if (v >= 'A' && v <= 'Z') return 2;
    if (v == 0) return 8;
    if (v == '\n' || v == 0xff || (v >= '0' && v <= '9')) return 2;
    return 1;
}

void rarest_two(const unsigned char* bytes, std::size_t n, std::size_t& a, std::size_t& b) {
    a = 0;
    for (std::size_t k = 1; k < n; ++k) {
        if (byte_weight(bytes[k]) < byte_weight(bytes[a])) a = k;
    }
    b = a == 0 && n > 1 ? n - 1 : 0;
    for (std::size_t k = 0; k < n; ++k) {
        if (k != a && byte_weight(bytes[k]) < byte_weight(bytes[b])) b = k;
    }
}

key_table::key_table(bool fold) {
    for (int v = 0; v < 256; ++v) {
        const auto b = static_cast<unsigned char>(v);
        of[v] = fold ? ascii_toupper(b) : b;
    }
}

namespace {

/// The run's length and the two bytes a start is tested by, each as its one or two matching
/// values.
struct pair_probe {
    std::size_t n;
    const unsigned char* low;
    const unsigned char* high;
    std::size_t a, b;  // their places in the run
};

#ifdef KESTROM_AVX2
/// The probe's two bytes, each as its two matching values, in every place of a vector.
struct avx2_pair {
    __m256i a1, a2, b1, b2;
};

/// Which of the thirty-two starts at q pass the probe: 0xff in their places.
template <bool FOLD>
__attribute__((target("avx2"), always_inline)) inline __m256i avx2_hits(const unsigned char* q,
                                                                        std::size_t a,
                                                                        std::size_t b,
                                                                        const avx2_pair& pair) {
    const __m256i x = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(q + a));
    const __m256i y = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(q + b));
    __m256i hx = _mm256_cmpeq_epi8(x, pair.a1);
    __m256i hy = _mm256_cmpeq_epi8(y, pair.b1);
    if (FOLD) {
        hx = _mm256_or_si256(hx, _mm256_cmpeq_epi8(x, pair.a2));
        hy = _mm256_or_si256(hy, _mm256_cmpeq_epi8(y, pair.b2));
    }
    return _mm256_and_si256(hx, hy);
}

/// The first start from `from` on whose bytes at a and b (and the whole run after them) lie
/// within p[0..m) and that occurs_at accepts; m when there is none, and then `from` is the first
/// start not tested. Sixty-four starts a round while none passes, the usual case; once some
/// passed, thirty-two a round, those that pass compared one by one, until a round where none
/// passes (as in binary data, where candidates come in runs).
template <bool FOLD, typename Occurs>
__attribute__((target("avx2"))) std::size_t find_avx2(const unsigned char* p, std::size_t m,
                                                      const pair_probe& probe, Occurs occurs_at,
                                                      std::size_t& from) {
    const std::size_t n = probe.n;
    std::size_t i = from;  // a copy, which the loops would otherwise store: p may alias it
    const std::size_t a = probe.a, b = probe.b;
    const avx2_pair pair{_mm256_set1_epi8(static_cast<char>(probe.low[a])),
                         _mm256_set1_epi8(static_cast<char>(probe.high[a])),
                         _mm256_set1_epi8(static_cast<char>(probe.low[b])),
                         _mm256_set1_epi8(static_cast<char>(probe.high[b]))};
    for (;;) {
        for (; i + n + 63 <= m; i += 64) {
            const __m256i h = _mm256_or_si256(avx2_hits<FOLD>(p + i, a, b, pair),
                                              avx2_hits<FOLD>(p + i + 32, a, b, pair));
            if (!_mm256_testz_si256(h, h)) break;
        }
        if (i + n + 31 > m) {
            from = i;
            return m;
        }
        for (; i + n + 31 <= m; i += 32) {
            auto mask =
                static_cast<unsigned>(_mm256_movemask_epi8(avx2_hits<FOLD>(p + i, a, b, pair)));
            if (mask == 0) {
                i += 32;
                break;
            }
            while (mask != 0) {
                const std::size_t at = i + static_cast<std::size_t>(__builtin_ctz(mask));
                if (occurs_at(p + at)) {
                    from = i;
                    return at;
                }
                mask &= mask - 1;
            }
        }
    }
}
#endif

#ifdef __SSE2__
/// find_avx2 sixteen starts at a time.
template <bool FOLD, typename Occurs>
std::size_t find_sse2(const unsigned char* p, std::size_t m, const pair_probe& probe,
                      Occurs occurs_at, std::size_t& from) {
    const std::size_t n = probe.n;
    std::size_t i = from;
    const std::size_t a = probe.a, b = probe.b;
    const __m128i a1 = _mm_set1_epi8(static_cast<char>(probe.low[a]));
    const __m128i a2 = _mm_set1_epi8(static_cast<char>(probe.high[a]));
    const __m128i b1 = _mm_set1_epi8(static_cast<char>(probe.low[b]));
    const __m128i b2 = _mm_set1_epi8(static_cast<char>(probe.high[b]));
    for (; i + n + 15 <= m; i += 16) {
        const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i + a));
        const __m128i y = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i + b));
        __m128i hx = _mm_cmpeq_epi8(x, a1);
        __m128i hy = _mm_cmpeq_epi8(y, b1);
        if (FOLD) {
            hx = _mm_or_si128(hx, _mm_cmpeq_epi8(x, a2));
            hy = _mm_or_si128(hy, _mm_cmpeq_epi8(y, b2));
        }
        auto mask = static_cast<unsigned>(_mm_movemask_epi8(_mm_and_si128(hx, hy)));
        while (mask != 0) {
            const std::size_t at = i + static_cast<std::size_t>(__builtin_ctz(mask));
            if (occurs_at(p + at)) {
                from = i;
                return at;
            }
            mask &= mask - 1;
        }
    }
    from = i;
    return m;
}
#endif

/// The widest tiers' search from `from` on, as find_avx2; what they leave is for the scalar code.
template <bool FOLD, typename Occurs>
std::size_t find_wide(const unsigned char* p, std::size_t m, const pair_probe& probe,
                      simd_tier tier, Occurs occurs_at, std::size_t& from) {
#ifdef KESTROM_AVX2
    if (tier == simd_tier::AVX2) {
        const std::size_t at = find_avx2<FOLD>(p, m, probe, occurs_at, from);
        if (at < m) return at;
    }
#endif
#ifdef __SSE2__
    if (tier >= simd_tier::SSE2) return find_sse2<FOLD>(p, m, probe, occurs_at, from);
#else
    (void)p, (void)probe, (void)tier, (void)occurs_at, (void)from;
#endif
    return m;
}

}  // namespace

pair_finder::pair_finder(const unsigned char* bytes, std::size_t n, bool fold, simd_tier tier)
    : bytes_(bytes), n_(n), fold_(fold), tier_(tier) {
    if (fold_) {
        if (n_ > MAX_FOLDED) n_ = MAX_FOLDED;  // never asked for: the callers' runs are shorter
        for (std::size_t k = 0; k < n_; ++k) {
            const unsigned char c = bytes[k];
            low_[k] = c;
            high_[k] = c >= 'A' && c <= 'Z' ? static_cast<unsigned char>(c + 32) : c;
        }
        bytes_ = low_;
    }
    rarest_two(bytes_, n_, a_, b_);
}

bool pair_finder::occurs_at(const unsigned char* p) const {
    if (!fold_ && n_ <= 8) {
        // A short run, as most are: compared in place, where a call would cost more.
        for (std::size_t k = 0; k < n_; ++k) {
            if (p[k] != bytes_[k]) return false;
        }
        return true;
    }
    if (!fold_) return std::memcmp(p, bytes_, n_) == 0;
    for (std::size_t k = 0; k < n_; ++k) {
        if (p[k] != low_[k] && p[k] != high_[k]) return false;
    }
    return true;
}

std::size_t pair_finder::find(const unsigned char* p, std::size_t m) const {
    if (n_ == 0) return 0;
    std::size_t i = 0;
    auto occurs = [this](const unsigned char* at) { return occurs_at(at); };
    if (fold_) {
        const pair_probe probe{n_, low_, high_, a_, b_};
        const std::size_t at = find_wide<true>(p, m, probe, tier_, occurs, i);
        if (at < m) return at;
        for (; i + n_ <= m; ++i) {
            if (occurs_at(p + i)) return i;
        }
        return m;
    }
    if (n_ >= 2) {
        const pair_probe probe{n_, bytes_, bytes_, a_, b_};
        const std::size_t at = find_wide<false>(p, m, probe, tier_, occurs, i);
        if (at < m) return at;
    }
    const void* hit = ::memmem(p + i, m - i, bytes_, n_);
    return hit == nullptr ? m
                          : static_cast<std::size_t>(static_cast<const unsigned char*>(hit) - p);
}

namespace {

#ifdef KESTROM_AVX2
/// word_set_finder::find thirty-two starts at a time from i on; leaves in i where it stopped.
__attribute__((target("avx2"))) std::size_t word_set_avx2(const unsigned char* p, std::size_t m,
                                                          const std::size_t* places,
                                                          const unsigned char (*values)[32],
                                                          std::size_t count, std::size_t& i) {
    for (; i + 32 <= m; i += 32) {
        __m256i hits = _mm256_setzero_si256();
        for (std::size_t k = 0; k < count; ++k) {
            const __m256i x =
                _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i + places[2 * k]));
            const __m256i y =
                _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i + places[2 * k + 1]));
            const auto* want = reinterpret_cast<const __m256i*>(values[4 * k]);
            const __m256i hx = _mm256_or_si256(_mm256_cmpeq_epi8(x, _mm256_load_si256(want)),
                                               _mm256_cmpeq_epi8(x, _mm256_load_si256(want + 1)));
            const __m256i hy = _mm256_or_si256(_mm256_cmpeq_epi8(y, _mm256_load_si256(want + 2)),
                                               _mm256_cmpeq_epi8(y, _mm256_load_si256(want + 3)));
            hits = _mm256_or_si256(hits, _mm256_and_si256(hx, hy));
        }
        const auto mask = static_cast<unsigned>(_mm256_movemask_epi8(hits));
        if (mask != 0) return i + static_cast<std::size_t>(__builtin_ctz(mask));
    }
    return m;
}
#endif

#ifdef __SSE2__
/// word_set_avx2 sixteen starts at a time.
std::size_t word_set_sse2(const unsigned char* p, std::size_t m, const std::size_t* places,
                          const unsigned char (*values)[32], std::size_t count, std::size_t& i) {
    for (; i + 16 <= m; i += 16) {
        __m128i hits = _mm_setzero_si128();
        for (std::size_t k = 0; k < count; ++k) {
            const __m128i x =
                _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i + places[2 * k]));
            const __m128i y =
                _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i + places[2 * k + 1]));
            auto want = [values, k](std::size_t which) {
                return reinterpret_cast<const __m128i*>(values[4 * k + which]);
            };
            const __m128i hx = _mm_or_si128(_mm_cmpeq_epi8(x, _mm_load_si128(want(0))),
                                            _mm_cmpeq_epi8(x, _mm_load_si128(want(1))));
            const __m128i hy = _mm_or_si128(_mm_cmpeq_epi8(y, _mm_load_si128(want(2))),
                                            _mm_cmpeq_epi8(y, _mm_load_si128(want(3))));
            hits = _mm_or_si128(hits, _mm_and_si128(hx, hy));
        }
        const auto mask = static_cast<unsigned>(_mm_movemask_epi8(hits));
        if (mask != 0) return i + static_cast<std::size_t>(__builtin_ctz(mask));
    }
    return m;
}
#endif

}  // namespace

bool word_set_finder::add(const unsigned char* word, std::size_t n) {
    if (count_ == MAX_WORDS) return false;
    // Each key with the input bytes that have it, and their weight together.
    const key_table keys_of(fold_);
    unsigned char inputs[2][256];
    int weights[256] = {};
    int held[256] = {};
    for (int v = 0; v < 256; ++v) {
        const unsigned char key = keys_of.of[v];
        if (held[key] < 2) inputs[held[key]++][key] = static_cast<unsigned char>(v);
        weights[key] += byte_weight(v);
    }
    std::size_t a = 0;
    for (std::size_t k = 0; k < n; ++k) {
        if (held[word[k]] == 0) return true;
        if (weights[word[k]] < weights[word[a]]) a = k;
    }
    std::size_t b = a == 0 && n > 1 ? n - 1 : 0;
    for (std::size_t k = 0; k < n; ++k) {
        if (k != a && weights[word[k]] < weights[word[b]]) b = k;
    }
    const unsigned char values[4] = {inputs[0][word[a]], inputs[held[word[a]] - 1][word[a]],
                                     inputs[0][word[b]], inputs[held[word[b]] - 1][word[b]]};
    places_[2 * count_] = a;
    places_[2 * count_ + 1] = b;
    for (std::size_t k = 0; k < 4; ++k)
        std::memset(values_[4 * count_ + k], values[k], sizeof values_[0]);
    ++count_;
    reach_ = std::max(reach_, std::max(a, b) + 1);
    return true;
}

bool word_set_finder::matches(const unsigned char* p) const {
    for (std::size_t k = 0; k < count_; ++k) {
        const unsigned char x = p[places_[2 * k]], y = p[places_[2 * k + 1]];
        const auto* v = values_ + 4 * k;
        if ((x == v[0][0] || x == v[1][0]) && (y == v[2][0] || y == v[3][0])) return true;
    }
    return false;
}

std::size_t word_set_finder::find(const unsigned char* p, std::size_t m) const {
    std::size_t i = 0;
#ifdef KESTROM_AVX2
    if (tier_ == simd_tier::AVX2) {
        const std::size_t at = word_set_avx2(p, m, places_, values_, count_, i);
        if (at < m) return at;
    }
#endif
#ifdef __SSE2__
    if (tier_ >= simd_tier::SSE2) {
        const std::size_t at = word_set_sse2(p, m, places_, values_, count_, i);
        if (at < m) return at;
    }
#endif
    for (; i < m; ++i) {
        if (matches(p + i)) return i;
    }
    return m;
}

namespace {

/// For each mask of eight bits, the positions of its bits, first to last, a byte each.
struct bit_positions {
    std::uint64_t of[256] = {};
    constexpr bit_positions() {
        for (unsigned mask = 0; mask < 256; ++mask) {
            unsigned count = 0;
            for (unsigned bit = 0; bit < 8; ++bit) {
                if ((mask >> bit & 1) != 0) of[mask] |= std::uint64_t{bit} << (8 * count++);
            }
        }
    }
};
[[maybe_unused]] constexpr bit_positions BIT_POSITIONS;

#ifdef KESTROM_AVX2
/// list_at_least eight values at a time; returns how many it listed and leaves in k where it
/// stopped.
__attribute__((target("avx2,popcnt"))) std::size_t list_avx2(const std::uint32_t* v, std::size_t n,
                                                             std::uint32_t at_least,
                                                             std::uint32_t* to, std::size_t& k) {
    std::size_t count = 0;
    // Unsigned, as signed with the top bits flipped.
    const __m256i flip = _mm256_set1_epi32(INT32_MIN);
    const __m256i below = _mm256_set1_epi32(static_cast<int>((at_least - 1) ^ 0x80000000u));
    for (; k + 8 <= n; k += 8) {
        const __m256i x =
            _mm256_xor_si256(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(v + k)), flip);
        const auto mask = static_cast<unsigned>(
            _mm256_movemask_ps(_mm256_castsi256_ps(_mm256_cmpgt_epi32(x, below))));
        const __m256i at =
            _mm256_cvtepu8_epi32(_mm_cvtsi64_si128(static_cast<long long>(BIT_POSITIONS.of[mask])));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(to + count),
                            _mm256_add_epi32(at, _mm256_set1_epi32(static_cast<int>(k))));
        count += static_cast<std::size_t>(__builtin_popcount(mask));
    }
    return count;
}
#endif

#ifdef __SSE2__
/// list_at_least four values at a time, from k on; adds to count and leaves in k where it stopped.
std::size_t list_sse2(const std::uint32_t* v, std::size_t n, std::uint32_t at_least,
                      std::uint32_t* to, std::size_t count, std::size_t& k) {
    const __m128i flip = _mm_set1_epi32(INT32_MIN);
    const __m128i below = _mm_set1_epi32(static_cast<int>((at_least - 1) ^ 0x80000000u));
    const __m128i zero = _mm_setzero_si128();
    for (; k + 4 <= n; k += 4) {
        const __m128i x =
            _mm_xor_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(v + k)), flip);
        const int mask = _mm_movemask_ps(_mm_castsi128_ps(_mm_cmpgt_epi32(x, below)));
        const __m128i bytes =
            _mm_cvtsi32_si128(static_cast<int>(BIT_POSITIONS.of[mask] & 0xffffffff));
        const __m128i at = _mm_unpacklo_epi16(_mm_unpacklo_epi8(bytes, zero), zero);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(to + count),
                         _mm_add_epi32(at, _mm_set1_epi32(static_cast<int>(k))));
        count += (0x4332322132212110ull >> (4 * mask)) & 0xf;  // the bits of mask
    }
    return count;
}
#endif

}  // namespace

std::size_t list_at_least(const std::uint32_t* v, std::size_t n, std::uint32_t at_least,
                          std::uint32_t* to, simd_tier tier) {
    std::size_t count = 0;
    std::size_t k = 0;
#ifdef KESTROM_AVX2
    if (tier == simd_tier::AVX2) count = list_avx2(v, n, at_least, to, k);
#endif
#ifdef __SSE2__
    if (tier >= simd_tier::SSE2) count = list_sse2(v, n, at_least, to, count, k);
#else
    (void)tier;
#endif
    for (; k < n; ++k) {
        to[count] = static_cast<std::uint32_t>(k);
        count += v[k] >= at_least;
    }
    return count;
}

}  // namespace kestrom
