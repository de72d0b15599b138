#include "match/automatic_pass.hpp"

#ifdef __SSE2__
#include <emmintrin.h>
#endif
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#define KESTROM_AVX2_SEARCH 1
#endif

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "match/emitter.hpp"
#include "match/required_literal.hpp"
#include "match/walk.hpp"
#include "pattern/automaton.hpp"
#include "pattern/prefix_filter.hpp"
#include "util/alloc.hpp"
#include "util/ascii.hpp"

namespace kestrom {

namespace {

int finish(byte_writer& out, int result) {
    return out.flush() ? result : RESULT_WRITE_ERROR;
}

/// Where a walk stands between two bytes: the list the next lookup starts at, and the fallback.
struct walk_state {
    trie_node* list;
    trie_node* fallback;
    bool operator==(const walk_state&) const = default;
};

/// The storage of an automatic pass: twice the window, so that a candidate given up at the
/// window's limit moves its bytes only once per window rather than once per byte, and the walk
/// state recorded at each position of it.
class pass_storage {
  public:
    explicit pass_storage(int capacity)
        : capacity_(static_cast<std::size_t>(capacity)),
          bytes_(static_cast<unsigned char*>(xmalloc(capacity_))),
          states_(static_cast<walk_state*>(xmalloc((capacity_ + 1) * sizeof(walk_state)))) {}
    ~pass_storage() {
        xfree(bytes_, capacity_);
        xfree(states_, (capacity_ + 1) * sizeof(walk_state));
    }
    pass_storage(const pass_storage&) = delete;
    pass_storage& operator=(const pass_storage&) = delete;

    unsigned char* bytes() const { return bytes_; }
    walk_state* states() const { return states_; }

  private:
    std::size_t capacity_;
    unsigned char* bytes_;
    walk_state* states_;
};

/// Which candidate starts can be passed over without a walk. The walk from a start p takes byte
/// p+d from one of the lists that d accepted bytes lead to. When none of the lists up to depth d
/// holds a star (so no fallback keeps a walk alive) and no pattern is complete above depth d, a
/// walk whose byte p+d no list at depth d accepts fails by then, and its first byte leaves
/// unchanged: exactly what passing over p does. The depth whose bytes are rarest is tested
/// (depth 0 is the root list, a literal's rarest byte can lie deeper), and the root list too.
struct start_filter {
    bool useful = false;  ///< some start can be passed over
    std::size_t depth = 0;
    int single = -1;               ///< the only byte the probe accepts, or -1
    bool first[256] = {};          ///< bytes the root list accepts
    bool probe[256] = {};          ///< bytes the lists at depth accept
    std::size_t second_depth = 0;  ///< a second depth tested where the first passes
    bool second[256] = {};         ///< bytes the lists at second_depth accept

    start_filter(trie_node* root, bool fold, int window_size) {
        // Deep enough for a few leading wildcards and sets; small enough to stay cheap.
        constexpr std::size_t MAX_DEPTH = 8;
        constexpr std::size_t MAX_LISTS = 1024;
        using node_list = std::vector<trie_node*, counted_allocator<trie_node*>>;
        node_list level;
        if (root != nullptr) level.push_back(root);
        int best_weight = -1;
        int second_weight = -1;
        std::fill(std::begin(second), std::end(second), true);  // until a second depth is found
        for (std::size_t d = 0; d <= MAX_DEPTH && d + 1 < static_cast<std::size_t>(window_size);
             ++d) {
            bool keys[256] = {};
            bool any = false;
            bool complete = false;
            node_list below;
            for (trie_node* list : level) {
                for (trie_node* n = list; n != nullptr; n = n->next) {
                    if (n->code == CODE_ANYSTR) {
                        finish(best_weight);
                        return;
                    }
                    if (n->code == CODE_ANYCHAR) {
                        any = true;
                    } else if (n->code < 256) {
                        keys[n->code] = true;
                    } else {
                        continue;  // an empty pattern or an empty set takes no byte
                    }
                    complete = complete || n->repl != nullptr;
                    if (n->repl == nullptr && n->child != nullptr) below.push_back(n->child);
                }
            }
            bool accepted[256];
            int weight = 0;
            for (int v = 0; v < 256; ++v) {
                accepted[v] = any || keys[fold ? ascii_toupper(static_cast<unsigned char>(v)) : v];
                weight += accepted[v] ? byte_weight(v) : 0;
            }
            if (d == 0) std::memcpy(first, accepted, sizeof first);
            if (best_weight < 0 || weight < best_weight) {
                if (best_weight >= 0) {  // the best so far becomes the second test
                    second_weight = best_weight;
                    second_depth = depth;
                    std::memcpy(second, probe, sizeof second);
                }
                best_weight = weight;
                depth = d;
                std::memcpy(probe, accepted, sizeof probe);
            } else if (second_weight < 0 || weight < second_weight) {
                second_weight = weight;
                second_depth = d;
                std::memcpy(second, accepted, sizeof second);
            }
            if (complete || below.empty()) break;
            std::sort(below.begin(), below.end());
            below.erase(std::unique(below.begin(), below.end()), below.end());
            if (below.size() > MAX_LISTS) break;
            level.swap(below);
        }
        finish(best_weight);
    }

    /// Starts are also tested against the filter of the trie's prefixes (see prefix_filter).
    void use_prefixes(const prefix_filter& filter, bool fold) {
        prefixes_ = &filter;
        fold_ = fold;
        useful = true;
        for (int v = 0; v < 256; ++v) {
            const auto b = static_cast<unsigned char>(v);
            never_[v] = !filter.held(fold ? ascii_toupper(b) : b);
            some_never_ = some_never_ || never_[v];
        }
    }

    /// How many of the starts p[0..n) from the first on can be passed over. The bytes that follow
    /// p[n-1] in the input, as far as known, are more[0..m); a start whose probe byte is not
    /// known is judged by the root list alone, one whose prefix is not known by its bytes.
    std::size_t skip(const unsigned char* p, std::size_t n, const unsigned char* more = nullptr,
                     std::size_t m = 0) const {
        std::size_t i = skip_by_bytes(p, n, more, m);
        if (prefixes_ == nullptr) return i;
        const prefix_filter& f = *prefixes_;
        const std::size_t length = f.length();
        std::size_t held_to = i;  // p[i..held_to) holds no byte that no prefix holds
        while (i < n && n - i + m >= length) {
            if (some_never_ && n - i >= length) {
                // A byte that no prefix holds fails every start up to it that would take it:
                // between such bytes, only runs of length() bytes or more are tested.
                held_to = std::max(held_to, i);
                while (held_to < i + length && !never_[p[held_to]])
                    ++held_to;
                if (held_to < i + length) {
                    i = held_to + 1;
                    i += skip_by_bytes(p + i, n - i, more, m);
                    continue;
                }
            }
            std::uint64_t v;
            if (n - i >= sizeof v) {
                v = f.pack8(p + i);
            } else {
                unsigned char keys[prefix_filter::MAX_LENGTH];
                for (std::size_t k = 0; k < length; ++k)
                    keys[k] = i + k < n ? p[i + k] : more[i + k - n];
                v = f.pack(keys);
            }
            if (f.may_begin(fold_ ? ascii_toupper_bytes(v) : v)) break;
            ++i;
            i += skip_by_bytes(p + i, n - i, more, m);
        }
        return i;
    }

  private:
    const prefix_filter* prefixes_ = nullptr;
    bool fold_ = false;
    bool never_[256] = {};  ///< bytes that no prefix holds, as the input has them
    bool some_never_ = false;

    std::size_t skip_by_bytes(const unsigned char* p, std::size_t n,
                              const unsigned char* more = nullptr, std::size_t m = 0) const {
        if (n == 0) return 0;
        if (first[p[0]]) {  // dense finds: no search
            if (depth == 0) return 0;
            if (depth < n ? probe[p[depth]] : depth - n >= m || probe[more[depth - n]]) return 0;
        }
        std::size_t i = 0;
        if (depth == 0 && single >= 0) {
            const void* hit = std::memchr(p, single, n);
            return hit == nullptr
                       ? n
                       : static_cast<std::size_t>(static_cast<const unsigned char*>(hit) - p);
        }
        if (depth > 0 && n > depth) {
            const std::size_t limit = n - depth;
            for (;;) {
                if (single >= 0) {
                    const void* hit = std::memchr(p + depth + i, single, limit - i);
                    i = hit == nullptr
                            ? limit
                            : static_cast<std::size_t>(static_cast<const unsigned char*>(hit) - p) -
                                  depth;
                } else {
                    while (i < limit && !probe[p[i + depth]])
                        ++i;
                }
                if (i == limit ||
                    (first[p[i]] && (i + second_depth >= n || second[p[i + second_depth]]))) {
                    break;
                }
                ++i;
            }
            if (i < limit) return i;
        }
        for (; i < n; ++i) {
            if (!first[p[i]]) continue;
            if (depth == 0) break;
            const std::size_t k = i + depth - n;  // the probe byte lies beyond p[n-1]
            if (k < m && !probe[more[k]]) continue;
            break;
        }
        return i;
    }

    void finish(int best_weight) {
        int count = 0;
        for (int v = 0; v < 256; ++v) {
            if (probe[v]) {
                single = v;
                ++count;
            }
        }
        if (count != 1) single = -1;
        useful = best_weight >= 0 && count < 256;
    }
};

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
    literal_gap(const required_literal& lit, bool fold, int window_size)
        : finder_(lit, fold), window_(static_cast<std::uint64_t>(window_size)) {}

    bool usable() const { return finder_.length() > 0; }

    /// How many starts from at on cannot complete, judged by the bytes a[0..an) (those from at
    /// on) followed by b[0..bn).
    std::size_t gap(std::uint64_t at, const unsigned char* a, std::size_t an,
                    const unsigned char* b, std::size_t bn) {
        if (at < from_ || at > to_) {
            from_ = to_ = at;
            found_ = false;
        }
        if (!found_) search(at, a, an, b, bn);
        const std::uint64_t bound = to_ + finder_.length();  // no start s with s+window <= bound
        if (bound < at + window_) return 0;
        // A literal longer than the window rules out starts beyond the bytes known: not yet.
        return static_cast<std::size_t>(std::min<std::uint64_t>(bound - window_ - at + 1, an + bn));
    }

  private:
    /// Looks on from to_ within the bytes known; seg starts at place seg_at.
    void search_in(std::uint64_t seg_at, const unsigned char* seg, std::size_t size) {
        if (to_ < seg_at || to_ - seg_at >= size) return;
        const auto skip = static_cast<std::size_t>(to_ - seg_at);
        const std::size_t n = finder_.length();
        const std::size_t left = size - skip;
        const std::size_t hit = finder_.find(seg + skip, left);
        if (hit < left) {
            to_ += hit;
            found_ = true;
        } else if (left >= n) {
            to_ += left - n + 1;
        }
    }

    void search(std::uint64_t at, const unsigned char* a, std::size_t an, const unsigned char* b,
                std::size_t bn) {
        const std::size_t n = finder_.length();
        search_in(at, a, an);
        if (found_) return;
        const std::uint64_t b_at = at + an;
        if (to_ < b_at && bn > 0) {
            // Places that begin in a and end in b.
            unsigned char seam[2 * required_literal::MAX_LENGTH];
            const std::size_t tail = static_cast<std::size_t>(b_at - to_);  // below n
            const std::size_t head = std::min(bn, n - 1);
            std::memcpy(seam, a + (an - tail), tail);
            std::memcpy(seam + tail, b, head);
            search_in(to_, seam, tail + head);
            if (found_ || to_ < b_at) return;
        }
        search_in(b_at, b, bn);
    }

    literal_finder finder_;
    std::uint64_t window_;
    std::uint64_t from_ = 0;
    std::uint64_t to_ = 0;
    bool found_ = false;
};

/// A buffer of counted memory for one pass.
struct byte_block {
    explicit byte_block(std::size_t n) : size(n), bytes(static_cast<unsigned char*>(xmalloc(n))) {}
    ~byte_block() { xfree(bytes, size); }
    byte_block(const byte_block&) = delete;
    byte_block& operator=(const byte_block&) = delete;
    std::size_t size;
    unsigned char* bytes;
};

/// The state after a walk from the root takes each byte, when that walk goes on with a fallback;
/// {null, null} when it ends, fails or has no fallback (so it can meet no recorded state).
struct root_step_table {
    walk_state after[256];

    root_step_table(trie_node* root, bool fold) {
        trie_node* last = root;
        while (last != nullptr && last->next != nullptr)
            last = last->next;
        const bool star_last = last != nullptr && last->code == CODE_ANYSTR;
        for (int v = 0; v < 256; ++v) {
            after[v] = walk_state{nullptr, nullptr};
            const auto key = static_cast<unsigned char>(fold ? ascii_toupper(v) : v);
            trie_node* n = find_child(root, key);
            if (n == nullptr || n->repl != nullptr || !star_last || last->repl != nullptr) continue;
            after[v] = walk_state{n->child, n};
        }
    }
};

/// Which bytes a star takes when it stands in its own list right after taking a byte: the bytes
/// for which the list offers nothing but the star, so that the walk stays where it is.
struct star_bytes {
    trie_node* star = nullptr;
    bool fold = false;
    bool only[256] = {};

    void build(trie_node* s, bool folded) {
        star = s;
        fold = folded;
        for (int v = 0; v < 256; ++v) {
            const auto key = static_cast<unsigned char>(folded ? ascii_toupper(v) : v);
            only[v] = s->repl == nullptr && find_child(s->child, key) == s;
        }
    }
};

/// The tables of the last few stars met, so that alternating between stars does not rebuild.
class star_table_cache {
  public:
    const star_bytes& get(trie_node* star, bool fold) {
        for (star_bytes& t : tables_) {
            if (t.star == star && t.fold == fold) return t;
        }
        star_bytes& t = tables_[next_];
        next_ = (next_ + 1) % SIZE;
        t.build(star, fold);
        return t;
    }

  private:
    static constexpr int SIZE = 4;
    star_bytes tables_[SIZE];
    int next_ = 0;
};

/// Takes input bytes in bulk while the walk stands inside a star, at the newest byte (the star's
/// list as cur_list, the star as fallback, and the state recorded at end). Each byte the star
/// alone takes leaves the walk where it is; it is stored and its state recorded. When the
/// candidate reaches the window's limit, the walk gives it up and re-scans from one byte
/// further on; that is done here only when the re-scan meets the record after one byte (so it
/// goes on from the newest byte at once, as the walk would) and the required literal does not let
/// the new start be passed over (the caller does that). Stops at the first byte that needs
/// more, at the end of the buffered input or of the storage; the bytes given up are those from
/// the old start to the new one, for the caller to write.
void take_star_run(byte_reader& in, const star_bytes& only, const root_step_table& root_steps,
                   literal_gap& gaps, unsigned char* window, walk_state* recorded, int window_size,
                   int capacity, int& start, int& end, int record_lo, int& record_hi) {
    if (in.buffered_size() == 0 && !in.fill()) return;  // the caller meets the end
    const walk_state inside = recorded[end];
    const unsigned char* p = in.buffered();
    std::size_t n = in.buffered_size();
    if (n > static_cast<std::size_t>(capacity - end)) n = static_cast<std::size_t>(capacity - end);
    std::size_t i = 0;
    for (; i < n; ++i) {
        const unsigned char v = p[i];
        if (!only.only[v]) break;
        if (end + 1 - start == window_size) {
            const int next = start + 1;
            const walk_state& s = root_steps.after[window[next]];
            if (s.fallback == nullptr || next + 1 < record_lo || next + 1 > end ||
                !(recorded[next + 1] == s)) {
                break;
            }
            if (gaps.usable()) {
                const auto known = static_cast<std::size_t>(end - next);
                if (gaps.gap(in.offset() + i - known, window + next, known, p + i,
                             in.buffered_size() - i) > 0) {
                    break;
                }
            }
            start = next;
        }
        window[end++] = v;
        recorded[end] = inside;
    }
    record_hi = end;
    in.consume(i);
}

#ifdef KESTROM_AVX2_SEARCH
/// The first start from `from` on, below the last start whose bytes at a and at b lie within
/// p[0..m), where word[a] and word[b] are at offsets a and b and the whole word follows; m when
/// there is none. Thirty-two or sixty-four starts at a time; when it finds none, it leaves in
/// `from` the first start it has not tested, for the caller to go on from.
__attribute__((target("avx2"))) std::size_t find_avx2(const unsigned char* p, std::size_t m,
                                                      const unsigned char* word, std::size_t n,
                                                      std::size_t a, std::size_t b,
                                                      std::size_t& from) {
    // A copy of the start, which the loops would otherwise store at every round: p may alias it.
    std::size_t i = from;
    const __m256i va = _mm256_set1_epi8(static_cast<char>(word[a]));
    const __m256i vb = _mm256_set1_epi8(static_cast<char>(word[b]));
    for (;;) {
        // Sixty-four starts a round while nothing passes, the usual case.
        for (; i + n + 63 <= m; i += 64) {
            const __m256i x0 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i + a));
            const __m256i y0 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i + b));
            const __m256i x1 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i + 32 + a));
            const __m256i y1 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i + 32 + b));
            const __m256i h0 =
                _mm256_and_si256(_mm256_cmpeq_epi8(x0, va), _mm256_cmpeq_epi8(y0, vb));
            const __m256i h1 =
                _mm256_and_si256(_mm256_cmpeq_epi8(x1, va), _mm256_cmpeq_epi8(y1, vb));
            if (!_mm256_testz_si256(_mm256_or_si256(h0, h1), _mm256_or_si256(h0, h1))) break;
        }
        if (i + n + 31 > m) {
            from = i;
            return m;
        }
        // Some start passed: thirty-two starts a round, those that pass compared one by one,
        // until a round where none passes (as in binary data, where candidates come in runs).
        for (; i + n + 31 <= m; i += 32) {
            const __m256i x = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i + a));
            const __m256i y = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i + b));
            auto mask = static_cast<unsigned>(_mm256_movemask_epi8(
                _mm256_and_si256(_mm256_cmpeq_epi8(x, va), _mm256_cmpeq_epi8(y, vb))));
            if (mask == 0) {
                i += 32;
                break;
            }
            while (mask != 0) {
                const std::size_t at = i + static_cast<std::size_t>(__builtin_ctz(mask));
                if (std::memcmp(p + at, word, n) == 0) {
                    from = i;
                    return at;
                }
                mask &= mask - 1;
            }
        }
    }
}
#endif

/// Finds the leftmost occurrence of a word of n bytes: sixteen or thirty-two starts at a time
/// are tested by two of the word's rarest bytes, and only the starts that pass are compared in
/// full.
class word_finder {
  public:
    word_finder(const unsigned char* word, std::size_t n) : word_(word), n_(n) {
#ifdef KESTROM_AVX2_SEARCH
        avx2_ = __builtin_cpu_supports("avx2") != 0;
#endif
        rarest_two(word, n, a_, b_);
    }

    /// The occurrence's offset in p[0..m), or m when there is none.
    std::size_t find(const unsigned char* p, std::size_t m) const {
        std::size_t i = 0;
#ifdef KESTROM_AVX2_SEARCH
        if (avx2_ && n_ >= 2) {
            const std::size_t at = find_avx2(p, m, word_, n_, a_, b_, i);
            if (at < m) return at;
        }
#endif
#ifdef __SSE2__
        if (n_ >= 2) {
            const __m128i a = _mm_set1_epi8(static_cast<char>(word_[a_]));
            const __m128i b = _mm_set1_epi8(static_cast<char>(word_[b_]));
            for (; i + n_ + 15 <= m; i += 16) {
                const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i + a_));
                const __m128i y = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i + b_));
                auto mask = static_cast<unsigned>(
                    _mm_movemask_epi8(_mm_and_si128(_mm_cmpeq_epi8(x, a), _mm_cmpeq_epi8(y, b))));
                while (mask != 0) {
                    const std::size_t at = i + static_cast<std::size_t>(__builtin_ctz(mask));
                    if (std::memcmp(p + at, word_, n_) == 0) return at;
                    mask &= mask - 1;
                }
            }
        }
#endif
        const void* hit = ::memmem(p + i, m - i, word_, n_);
        return hit == nullptr
                   ? m
                   : static_cast<std::size_t>(static_cast<const unsigned char*>(hit) - p);
    }

  private:
    const unsigned char* word_;
    std::size_t n_;
    std::size_t a_ = 0;  // the rarest byte's position
    std::size_t b_ = 0;  // the next rarest's
#ifdef KESTROM_AVX2_SEARCH
    bool avx2_ = false;  // the processor has the wider compares
#endif
};

/// The length of the longest tail of p[0..m), shorter than the word, that begins the word.
std::size_t word_tail(const unsigned char* p, std::size_t m, const unsigned char* word,
                      std::size_t n) {
    for (std::size_t k = std::min(n - 1, m); k > 0; --k) {
        if (std::memcmp(p + m - k, word, k) == 0) return k;
    }
    return 0;
}

/// The automatic pass over a trie that holds one word of n bytes, each standing for itself:
/// found texts are the word's leftmost occurrences, searched for in the input's own buffer.
/// Only a tail that begins the word is held back between reads (as the walk holds its
/// candidate); every other byte is written at once.
int word_pass(run_state& rs, byte_reader& in, byte_writer& out, const unsigned char* word,
              std::size_t n, replacement& repl) {
    const bool replace = rs.opts.auto_reply_yes;
    int result = RESULT_UNCHANGED;
    const byte_block carry_block(2 * n);
    unsigned char* const carry = carry_block.bytes;
    std::size_t k = 0;  // a tail of the input read so far that begins the word
    const word_finder finder(word, n);
    auto take = [&](const unsigned char* text) {
        ++rs.count.found_count;
        if (!replace) return out.write(text, n);
        if (emit_replacement(rs, text, n, repl, out) != 0) return false;
        result = RESULT_CHANGED;
        return true;
    };
    for (;;) {
        if (in.buffered_size() == 0 && !in.fill()) {
            if (!out.write(carry, k)) return RESULT_WRITE_ERROR;
            return finish(out, result);
        }
        const unsigned char* p = in.buffered();
        const std::size_t m = in.buffered_size();
        if (k > 0) {
            // An occurrence that begins in the held tail ends within the next n-1 bytes.
            const std::size_t add = std::min(n - 1, m);
            std::memcpy(carry + k, p, add);
            const std::size_t at = finder.find(carry, k + add);
            if (at < k) {
                if (!out.write(carry, at) || !take(carry + at)) return RESULT_WRITE_ERROR;
                in.consume(at + n - k);
                k = 0;
                continue;
            }
            if (add < n - 1) {
                // Too little came to decide: hold what may still begin the word.
                const std::size_t tail = word_tail(carry, k + add, word, n);
                if (!out.write(carry, k + add - tail)) return RESULT_WRITE_ERROR;
                std::memmove(carry, carry + k + add - tail, tail);
                k = tail;
                in.consume(m);
                continue;
            }
            if (!out.write(carry, k)) return RESULT_WRITE_ERROR;
            k = 0;
        }
        const std::size_t at = finder.find(p, m);
        if (at < m) {
            if (!out.write(p, at) || !take(p + at)) return RESULT_WRITE_ERROR;
            in.consume(at + n);
            continue;
        }
        k = word_tail(p, m, word, n);
        if (!out.write(p, m - k)) return RESULT_WRITE_ERROR;
        std::memcpy(carry, p + m - k, k);
        in.consume(m);
    }
}

/// Stretches that a pass over dense rows follows side by side.
constexpr std::size_t LANES = 4;
static_assert(LANES == 4, "follow_lanes is written out for four stretches");

/// Follows the n bytes at p through dense rows (see literal_automaton::dense_rows) in LANES
/// stretches side by side, so that their loads overlap, and writes in after[k] the offset of the
/// row after byte k. The first stretch starts from the row at off, the others from the root warm
/// bytes before their stretch: at least the deepest state's depth, which makes their state there
/// exact. Needs n >= LANES * warm.
void follow_lanes(const std::uint32_t* rows, const std::uint32_t* class_of, const unsigned char* p,
                  std::size_t n, std::size_t warm, std::uint32_t off, std::uint32_t* after) {
    const std::size_t m = n / LANES;
    std::uint32_t o0 = off, o1 = 0, o2 = 0, o3 = 0;
    const unsigned char* const q0 = p;
    const unsigned char* const q1 = p + m;
    const unsigned char* const q2 = p + 2 * m;
    const unsigned char* const q3 = p + 3 * m;
    for (std::size_t k = m - warm; k < m; ++k) {
        o1 = rows[o1 + class_of[q0[k]]];
        o2 = rows[o2 + class_of[q1[k]]];
        o3 = rows[o3 + class_of[q2[k]]];
    }
    std::uint32_t* const a0 = after;
    std::uint32_t* const a1 = after + m;
    std::uint32_t* const a2 = after + 2 * m;
    std::uint32_t* const a3 = after + 3 * m;
    for (std::size_t k = 0; k < m; ++k) {
        o0 = rows[o0 + class_of[q0[k]]];
        o1 = rows[o1 + class_of[q1[k]]];
        o2 = rows[o2 + class_of[q2[k]]];
        o3 = rows[o3 + class_of[q3[k]]];
        a0[k] = o0;
        a1[k] = o1;
        a2[k] = o2;
        a3[k] = o3;
    }
    // The last stretch takes what the division left.
    for (std::size_t k = LANES * m; k < n; ++k) {
        o3 = rows[o3 + class_of[p[k]]];
        after[k] = o3;
    }
}

/// follow_lanes over wide spans: WIDE_LANES stretches of WIDE_LANE_BYTES each, whose fixed
/// distances let every lane's loads and stores go through the same two pointers. The distance is
/// not a multiple of 4 KiB: a load at such a distance from a recent store waits for it.
constexpr std::size_t WIDE_LANES = 8;
constexpr std::size_t WIDE_LANE_BYTES = 1040;
/// The deepest state for which the lanes are used: their warm-up, from the root, takes that many.
constexpr std::size_t MAX_WARM = 256;
static_assert(WIDE_LANE_BYTES >= MAX_WARM, "a lane warms up within the one before");
void follow_wide_lanes(const std::uint32_t* rows, const std::uint32_t* class_of,
                       const unsigned char* p, std::size_t warm, std::uint32_t off,
                       std::uint32_t* after) {
    constexpr std::size_t M = WIDE_LANE_BYTES;
    std::uint32_t o[WIDE_LANES] = {off};
    for (std::size_t k = M - warm; k < M; ++k) {
#pragma GCC unroll 16
        for (std::size_t j = 1; j < WIDE_LANES; ++j)
            o[j] = rows[o[j] + class_of[p[(j - 1) * M + k]]];
    }
    for (std::size_t k = 0; k < M; ++k) {
#pragma GCC unroll 16
        for (std::size_t j = 0; j < WIDE_LANES; ++j) {
            o[j] = rows[o[j] + class_of[p[j * M + k]]];
            after[j * M + k] = o[j];
        }
    }
}

/// Stretches that a pass over an automaton without dense rows follows side by side, and how many
/// bytes early each but the first starts.
constexpr std::size_t SPARSE_LANES = 16;
constexpr std::size_t SPARSE_WARM = 32;
static_assert(SPARSE_LANES * SPARSE_WARM <= LANES * 256,
              "the shortest span that goes side by side gives each stretch its warm-up");

/// A stretch: the state, whether the node of a state without a row was asked for, the next byte
/// and the end.
struct sparse_lane {
    literal_automaton::state_id s;
    bool asked;
    std::size_t at;
    std::size_t end;
};

/// Takes each stretch's bytes, at its own pace: at a state without a row, it asks for the state's
/// node and lets the other stretches take their turns before it reads it. Notes the state after
/// each byte in after when NOTE is set.
template <bool NOTE>
void step_lanes(const literal_automaton::stepper& steps, const unsigned char* key_of,
                const unsigned char* p, sparse_lane (&lanes)[SPARSE_LANES], std::uint32_t* after) {
    std::size_t live = 0;
    for (sparse_lane& l : lanes) {
        l.asked = false;
        live += l.at < l.end;
    }
    while (live > 0) {
        for (sparse_lane& l : lanes) {
            if (l.at == l.end) continue;
            if (l.asked) {
                // Without a jump on whether the node has the key: where it has not, the state
                // noted is its link's, until the byte is taken.
                const bool took = steps.node_step(l.s, key_of[p[l.at]]);
                if (NOTE) after[l.at] = l.s;
                l.at += took;
            }
            // Steps through rows, which are near, up to a state without one.
            while (l.at < l.end && steps.has_row(l.s)) {
                l.s = steps.row_step(l.s, key_of[p[l.at]]);
                if (NOTE) after[l.at] = l.s;
                ++l.at;
            }
            l.asked = l.at < l.end;
            if (l.asked) {
                steps.prefetch(l.s);
            } else {
                --live;
            }
        }
    }
}

/// follow_lanes for an automaton without dense rows, whose steps wait on loads from tables too
/// large for the cache: SPARSE_LANES stretches, and after[k] is the state after byte k, marked
/// where a walk completes. Needs n >= SPARSE_LANES * SPARSE_WARM. A stretch but the first starts
/// from the root up to SPARSE_WARM bytes early (no more than warm, the deepest state's depth).
/// That reaches its exact first state unless a deeper walk is alive there, so each is checked
/// against the state that the stretch before ends in; where they differ, the stretch is stepped
/// again from that state up to where its states meet those noted, which are the same from there
/// on.
void follow_sparse_lanes(const literal_automaton& automaton, const unsigned char* key_of,
                         const unsigned char* p, std::size_t n, std::size_t warm,
                         literal_automaton::state_id first, std::uint32_t* after) {
    const literal_automaton::stepper steps = automaton.steps();
    const std::size_t m = n / SPARSE_LANES;
    const std::size_t early = std::min(warm, SPARSE_WARM);
    sparse_lane lanes[SPARSE_LANES];
    for (std::size_t j = 0; j < SPARSE_LANES; ++j)
        lanes[j] = sparse_lane{literal_automaton::ROOT, false, j == 0 ? 0 : j * m - early, j * m};
    step_lanes<false>(steps, key_of, p, lanes, after);
    literal_automaton::state_id entry[SPARSE_LANES];
    for (std::size_t j = 0; j < SPARSE_LANES; ++j) {
        // The last stretch takes what the division left.
        entry[j] = j == 0 ? first : lanes[j].s;
        lanes[j] = sparse_lane{entry[j], false, j * m, j + 1 == SPARSE_LANES ? n : (j + 1) * m};
    }
    step_lanes<true>(steps, key_of, p, lanes, after);
    for (std::size_t j = 1; j < SPARSE_LANES; ++j) {
        literal_automaton::state_id s = after[j * m - 1];
        if (s == entry[j]) continue;
        for (std::size_t k = j * m; k < lanes[j].end; ++k) {
            s = steps.step(s, key_of[p[k]]);
            if (after[k] == s) break;
            after[k] = s;
        }
    }
}

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
constexpr bit_positions BIT_POSITIONS;

#ifdef KESTROM_AVX2_SEARCH
/// list_completions eight states at a time; returns how many it listed and leaves in k where it
/// stopped.
__attribute__((target("avx2,popcnt"))) std::size_t completions_avx2(const std::uint32_t* after,
                                                                    std::size_t n,
                                                                    std::uint32_t completes,
                                                                    std::uint32_t* to,
                                                                    std::size_t& k) {
    std::size_t count = 0;
    // Unsigned, as signed with the top bits flipped.
    const __m256i flip = _mm256_set1_epi32(INT32_MIN);
    const __m256i below = _mm256_set1_epi32(static_cast<int>((completes - 1) ^ 0x80000000u));
    for (; k + 8 <= n; k += 8) {
        const __m256i v =
            _mm256_xor_si256(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(after + k)), flip);
        const auto mask = static_cast<unsigned>(
            _mm256_movemask_ps(_mm256_castsi256_ps(_mm256_cmpgt_epi32(v, below))));
        const __m256i at =
            _mm256_cvtepu8_epi32(_mm_cvtsi64_si128(static_cast<long long>(BIT_POSITIONS.of[mask])));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(to + count),
                            _mm256_add_epi32(at, _mm256_set1_epi32(static_cast<int>(k))));
        count += static_cast<std::size_t>(__builtin_popcount(mask));
    }
    return count;
}
#endif

/// Writes in order to at every k below n where after[k] >= completes, and returns how many. Writes
/// up to seven entries more than it counts, so to holds n + 7. No branch depends on the states:
/// completions come too irregularly for a prediction.
std::size_t list_completions(const std::uint32_t* after, std::size_t n, std::uint32_t completes,
                             std::uint32_t* to, bool avx2) {
    std::size_t count = 0;
    std::size_t k = 0;
#ifdef KESTROM_AVX2_SEARCH
    if (avx2) count = completions_avx2(after, n, completes, to, k);
#else
    (void)avx2;
#endif
#ifdef __SSE2__
    const __m128i flip = _mm_set1_epi32(INT32_MIN);
    const __m128i below = _mm_set1_epi32(static_cast<int>((completes - 1) ^ 0x80000000u));
    const __m128i zero = _mm_setzero_si128();
    for (; k + 4 <= n; k += 4) {
        const __m128i v =
            _mm_xor_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(after + k)), flip);
        const int mask = _mm_movemask_ps(_mm_castsi128_ps(_mm_cmpgt_epi32(v, below)));
        const __m128i bytes =
            _mm_cvtsi32_si128(static_cast<int>(BIT_POSITIONS.of[mask] & 0xffffffff));
        const __m128i at = _mm_unpacklo_epi16(_mm_unpacklo_epi8(bytes, zero), zero);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(to + count),
                         _mm_add_epi32(at, _mm_set1_epi32(static_cast<int>(k))));
        count += (0x4332322132212110ull >> (4 * mask)) & 0xf;  // the bits of mask
    }
#endif
    for (; k < n; ++k) {
        to[count] = static_cast<std::uint32_t>(k);
        count += after[k] >= completes;
    }
    return count;
}

/// The automatic pass over a trie of plain byte patterns, through its automaton. The walk tries
/// starts from left to right and takes the first that completes; the automaton follows all
/// starts at once, so a completion it sees is taken once no earlier start is still alive (an
/// earlier one that completes later wins instead). Every walk is shorter than the window, so no
/// candidate is ever given up at the window's limit; at the end of the input the earliest start
/// still alive, if any, leaves unchanged with everything after it, as the walk's pending
/// candidate does.
int literal_pass(run_state& rs, byte_reader& in, byte_writer& out,
                 const literal_automaton& automaton, const start_filter& starts) {
    using state_id = literal_automaton::state_id;
    constexpr state_id ROOT = literal_automaton::ROOT;
    if (in.buffered_size() == 0 && !in.fill()) return RESULT_UNCHANGED;

    // A lone word, where every byte stands for itself, is found by the library's search: the
    // leftmost start that completes is its leftmost occurrence.
    bool exact = automaton.single_word();
    for (std::size_t k = 0; exact && k < automaton.word_length(); ++k) {
        const unsigned char b = automaton.word()[k];
        exact = rs.opts.case_sensitive || ascii_toupper(b) == ascii_tolower(b);
    }
    if (exact) {
        return word_pass(rs, in, out, automaton.word(), automaton.word_length(),
                         *automaton.word_record());
    }

    unsigned char key_of[256];
    std::uint32_t class_of[256];
    for (int v = 0; v < 256; ++v) {
        const auto b = static_cast<unsigned char>(v);
        key_of[v] = rs.opts.case_sensitive ? b : ascii_toupper(b);
        class_of[v] = automaton.class_of(key_of[v]);
    }
    const std::uint32_t* const rows = automaton.fast_rows();
    // Where no start filter is at work, long stretches go side by side (see follow_lanes and
    // follow_sparse_lanes), when the warm-up that this takes is short beside a lane.
    const std::size_t warm = automaton.max_depth();
    const bool lanes = warm <= MAX_WARM;
    const bool dense = automaton.has_dense();
    // The start filter is used at the root while it pays: where it passes over fewer than
    // FILTER_PAYS bytes a call on average over FILTER_CALLS calls, the automaton's own steps are
    // cheaper, and it rests for the next FILTER_REST bytes, twice as many each time it does not
    // pay again, up to FILTER_REST_MAX. Beside the lanes, which step several times as fast as one
    // walk from the root, it must also pass over FILTER_SHARE times the bytes stepped between its
    // calls.
    constexpr unsigned FILTER_CALLS = 32;
    constexpr std::size_t FILTER_PAYS = 8;
    constexpr std::size_t FILTER_SHARE = 4;
    constexpr std::size_t FILTER_REST = 65536;
    constexpr std::size_t FILTER_REST_MAX = std::size_t{4} << 20;
    const std::size_t lanes_from = LANES * std::max<std::size_t>(256, 4 * warm);
    // The state after each byte of the lanes, then the positions of the completions among them.
    constexpr std::size_t WIDE_SPAN = WIDE_LANES * WIDE_LANE_BYTES;
    const byte_block lane_states(lanes ? (2 * WIDE_SPAN + 7) * sizeof(std::uint32_t) : 0);
#ifdef KESTROM_AVX2_SEARCH
    const bool avx2 = lanes && __builtin_cpu_supports("avx2") != 0;
#else
    const bool avx2 = false;
#endif
    std::size_t shifted = 0;      // bytes moved out of buf so far
    std::size_t filter_from = 0;  // where (counting the shifted bytes) the filter is used again
    std::size_t filter_rest = FILTER_REST;
    unsigned filter_calls = 0;
    std::size_t filter_passed = 0;
    std::size_t filter_round = 0;  // where (counting the shifted bytes) the calls counted began
    const bool replace = rs.opts.auto_reply_yes;
    // The input is read in; the bytes from the first not yet written on stay.
    const std::size_t capacity = 2 * READ_BUFFER_SIZE;
    const byte_block storage(capacity + byte_writer::PADDING);  // see write_padded
    unsigned char* const buf = storage.bytes;
    std::size_t len = 0;
    std::size_t done = 0;  // bytes before it are written
    std::size_t i = 0;     // next byte to feed
    state_id s = ROOT;
    bool pending = false;  // the earliest completion seen while earlier starts were alive
    std::size_t pending_start = 0;
    std::size_t pending_end = 0;
    replacement* pending_repl = nullptr;
    bool at_end = false;
    int result = RESULT_UNCHANGED;

    // Answers a found text and moves past it; false when a write failed.
    auto take = [&](std::size_t start, std::size_t end, replacement* repl) {
        ++rs.count.found_count;
        if (!out.write_padded(buf + done, start - done)) return false;
        if (replace) {
            if (emit_replacement(rs, buf + start, end - start, *repl, out) != 0) return false;
            result = RESULT_CHANGED;
        } else if (!out.write(buf + start, end - start)) {
            return false;
        }
        done = end;
        return true;
    };

    // Makes a completion the pending one unless one that started no later is; says whether.
    auto keep_earliest = [&](std::size_t start, std::size_t end, replacement* repl) {
        if (pending && start >= pending_start) return false;
        pending = true;
        pending_start = start;
        pending_end = end;
        pending_repl = repl;
        return true;
    };

    // Follows the span bytes from i (where no completion is pending) through the lanes, then
    // goes over the completions noted, in order, as the steps from byte to byte would: the
    // earliest start alive after the last found text decides whether a pending completion is
    // taken. The lanes never restart after a found text, so a completion that started before its
    // end is passed over, and the completions after a pending one that is taken are looked at
    // again. Returns where it stopped (s and any pending completion hold there), or FAILED when a
    // write failed.
    constexpr std::size_t FAILED = ~std::size_t{0};
    auto follow_lanes_from = [&](std::size_t from, std::size_t span) {
        auto* const after = reinterpret_cast<std::uint32_t*>(lane_states.bytes);
        if (!dense) {
            follow_sparse_lanes(automaton, key_of, buf + from, span, warm, s, after);
        } else if (span == WIDE_SPAN) {
            follow_wide_lanes(automaton.dense_rows(), class_of, buf + from, warm,
                              automaton.dense_offset_of(s), after);
        } else {
            follow_lanes(automaton.dense_rows(), class_of, buf + from, span, warm,
                         automaton.dense_offset_of(s), after);
        }
        auto* const completions = after + WIDE_SPAN;
        const std::size_t count = list_completions(
            after, span, dense ? automaton.dense_completes() : literal_automaton::COMPLETES,
            completions, avx2);
        std::size_t pending_at = 0;
        for (std::size_t j = 0;; ++j) {
            // Past the last completion, the state after the last byte.
            const std::size_t at = j < count ? completions[j] : span - 1;
            const std::size_t end = from + at + 1;
            if (j < count && !pending && dense) {
                // Most often the deepest walk alive completes there: its found text is taken.
                const literal_automaton::dense_info& info = automaton.info_at(after[at]);
                if (info.depth == info.completed_depth && info.depth <= end - done) {
                    if (!take(end - info.depth, end, info.record)) return FAILED;
                    continue;
                }
            }
            // The deepest walk alive there that started at or after the last found text's end.
            state_id y = dense ? automaton.dense_state_at(after[at]) : after[at];
            while (automaton.depth(y) > end - done)
                y = automaton.fail(y);
            const state_id c = j < count ? automaton.completed(y) : ROOT;
            if (c != ROOT && keep_earliest(end - automaton.depth(c), end, automaton.record(c)))
                pending_at = j;
            if (pending && end - automaton.depth(y) >= pending_start) {
                if (!take(pending_start, pending_end, pending_repl)) return FAILED;
                pending = false;
                j = pending_at;
                continue;
            }
            if (j == count) {
                s = y;
                return from + span;
            }
        }
    };

    for (;;) {
        if (i == len) {
            if (at_end) {
                // A completion still waits only behind an earlier start that is alive.
                if (!out.write(buf + done, len - done)) return RESULT_WRITE_ERROR;
                return finish(out, result);
            }
            {
                const std::size_t live = i - automaton.depth(s);
                // Keep what a walk may still need; write the rest; refill.
                const std::size_t keep = pending && pending_start < live ? pending_start : live;
                if (keep > done) {
                    if (!out.write(buf + done, keep - done)) return RESULT_WRITE_ERROR;
                    done = keep;
                }
                if (done > 0) {
                    std::memmove(buf, buf + done, len - done);
                    len -= done;
                    i -= done;
                    pending_start -= pending ? done : 0;
                    pending_end -= pending ? done : 0;
                    shifted += done;
                    done = 0;
                }
                const std::size_t n = in.read(buf + len, capacity - len);
                if (n == 0) {
                    at_end = true;
                    continue;
                }
                len += n;
                continue;
            }
        } else {
            const bool filter = starts.useful && shifted + i >= filter_from;
            if (filter && s == ROOT && !pending) {
                if (filter_calls == 0) filter_round = shifted + i;
                const std::size_t passed = starts.skip(buf + i, len - i);
                i += passed;
                filter_passed += passed;
                if (++filter_calls == FILTER_CALLS) {
                    const std::size_t stepped = shifted + i - filter_round - filter_passed;
                    if (filter_passed < FILTER_CALLS * FILTER_PAYS ||
                        (lanes && filter_passed < FILTER_SHARE * stepped)) {
                        filter_from = shifted + i + filter_rest;
                        filter_rest = std::min(2 * filter_rest, FILTER_REST_MAX);
                    } else {
                        filter_rest = FILTER_REST;
                    }
                    filter_calls = 0;
                    filter_passed = 0;
                }
                if (i == len) continue;
            }
            if (!pending && lanes && !filter && len - i >= lanes_from) {
                i = follow_lanes_from(i, std::min(len - i, WIDE_SPAN));
                if (i == FAILED) return RESULT_WRITE_ERROR;
                continue;
            }
            if (!pending && automaton.has_row(s)) {
                // Steps that neither complete nor leave the states with rows: a load each. With
                // the filter in use, the loop stops at the root for it.
                const std::uint32_t stop_at =
                    filter ? automaton.root_offset() : literal_automaton::SLOW;
                std::uint32_t off = automaton.offset_of(s);
                std::size_t k = i;
                for (; k < len; ++k) {
                    const std::uint32_t t = rows[off + class_of[buf[k]]];
                    if (t >= stop_at) break;
                    off = t;
                }
                i = k;
                s = automaton.state_at(off);
                if (i == len) continue;
            }
            s = automaton.step(s, key_of[buf[i]]);
            ++i;
            if (literal_automaton::completes(s)) {
                const state_id c = automaton.completed(s);
                keep_earliest(i - automaton.depth(c), i, automaton.record(c));
            }
            if (!pending || i - automaton.depth(s) < pending_start) continue;
        }

        // No start before the pending one is alive: it is the walk's next found text.
        if (!take(pending_start, pending_end, pending_repl)) return RESULT_WRITE_ERROR;
        i = done;
        s = ROOT;
        pending = false;
    }
}

}  // namespace

/// The pass when every found text is answered without asking. It gives the same output, result
/// and counts as the per-byte walk, with these differences in how it gets there:
///  - the window is twice as large, and the limit of a candidate is its length (window_size
///    bytes, as in the walk, where a candidate is given up when it fills the window);
///  - a walk with a fallback records its state at each position. Such a walk never fails, so
///    from the state recorded at a position it takes every byte up to the last recorded position
///    without ending, and stands there in the last recorded state. A later walk (a re-scan after
///    a candidate was given up or found) that reaches a recorded state at the same position would
///    repeat that: it goes on from the last recorded position at once. This turns the re-scan of
///    up to a window per byte under a leading star into a few lookups;
///  - once a candidate has been given up at the window's limit, starts too far before a literal
///    that every found text holds leave unchanged in bulk (see required_literal and literal_gap);
///  - inside a star, start filtering and a trie of plain words, see take_star_run, start_filter
///    and literal_pass.
int automatic_pass(run_state& rs, byte_reader& in, byte_writer& out, int window_size) {
    const bool fold = !rs.opts.case_sensitive;
    trie_node* const root = rs.patterns.root;
    start_filter starts(root, fold, window_size);
    const bool replace = rs.opts.auto_reply_yes;
    const bool stars = rs.patterns.has_star();  // without one, no list's end needs looking at
    if (!stars) {
        const literal_automaton& automaton =
            rs.patterns.automaton(static_cast<std::size_t>(window_size));
        if (automaton.usable()) {
            // A large automaton's states lie far apart; where few starts begin any pattern, its
            // prefixes pass over the others at the root (the filter rests where it does not pay).
            if (!automaton.has_dense()) {
                const prefix_filter& prefixes =
                    rs.patterns.prefixes(static_cast<std::size_t>(window_size));
                if (prefixes.usable()) starts.use_prefixes(prefixes, fold);
            }
            return literal_pass(rs, in, out, automaton, starts);
        }
    }
    // A trie too large for the automaton is walked: most starts fail within a few bytes, but
    // only after lookups spread over the whole trie, which its prefixes spare.
    const prefix_filter& prefixes = rs.patterns.prefixes(static_cast<std::size_t>(window_size));
    if (prefixes.usable()) starts.use_prefixes(prefixes, fold);
    const bool skip_runs = starts.useful;
    const list_index* const tables = rs.patterns.update_index();

    int c = in.get();
    if (c == byte_reader::END) return RESULT_UNCHANGED;

    const int capacity = 2 * window_size;
    pass_storage storage(capacity);
    unsigned char* const window = storage.bytes();
    walk_state* const recorded = storage.states();
    window[0] = static_cast<unsigned char>(c);
    int start = 0;
    int scan = 1;
    int end = 1;
    trie_node* cur_list = root;
    trie_node* fallback = nullptr;
    // recorded[lo..hi] are states of one walk, which reached hi without ending; on_record says
    // whether the current walk is that walk (and so extends the record as it goes).
    int record_lo = 0;
    int record_hi = -1;
    bool on_record = false;
    int result = RESULT_UNCHANGED;
    unsigned char b = static_cast<unsigned char>(c);
    const root_step_table root_steps(root, fold);
    star_table_cache star_cache;
    // Under a star, a literal that every found text holds lets stretches without it leave at once.
    const required_literal required =
        stars ? required_literal_of(rs, fold) : required_literal(nullptr, fold);
    literal_gap gaps(required, fold, window_size);
    // Whether a candidate was given up at the window's limit since the last found text: only
    // then are fresh starts tested against the literal, so that dense finds pay nothing for it.
    bool far = false;

    for (;;) {
        bool taken;
        replacement* found =
            walk_step(tables, stars, fold ? ascii_toupper(b) : b, cur_list, fallback, taken);
        if (!taken) {
            if (!out.put(window[start])) return RESULT_WRITE_ERROR;
            ++start;
            scan = start;
            cur_list = root;
        }

        if (found != nullptr) {
            ++rs.count.found_count;
            const unsigned char* text = window + start;
            const std::size_t len = static_cast<std::size_t>(scan - start);
            if (replace) {
                if (emit_replacement(rs, text, len, *found, out) != 0) {
                    return RESULT_WRITE_ERROR;
                }
                result = RESULT_CHANGED;
            } else if (!out.write(text, len)) {
                return RESULT_WRITE_ERROR;
            }
            cur_list = root;
            start = scan;
            fallback = nullptr;
            on_record = false;
            far = false;
        } else if (fallback != nullptr) {
            const walk_state now{cur_list, fallback};
            if (on_record) {
                recorded[scan] = now;  // the record's walk took one more byte
                record_hi = scan;
            } else if (scan < record_hi) {
                if (scan >= record_lo && recorded[scan] == now) {
                    // The recorded walk went on from here without ending: so would this one.
                    scan = record_hi;
                    cur_list = recorded[scan].list;
                    fallback = recorded[scan].fallback;
                    on_record = true;
                }
            } else if (scan == record_hi && recorded[scan] == now) {
                on_record = true;
            } else {
                // A walk past the record, in a state of its own: it starts a new record.
                record_lo = record_hi = scan;
                recorded[scan] = now;
                on_record = true;
            }
        }

        for (;;) {
            if (scan < end) {
                if (far && gaps.usable() && scan == start) {
                    // A fresh walk too far before the required literal: see literal_gap.
                    const auto known = static_cast<std::size_t>(end - start);
                    const std::size_t run = gaps.gap(in.offset() - known, window + start, known,
                                                     in.buffered(), in.buffered_size());
                    if (run > 0) {
                        const std::size_t here = std::min(run, known);
                        if (!out.write(window + start, here)) return RESULT_WRITE_ERROR;
                        start += static_cast<int>(here);
                        scan = start;
                        if (run > here) {
                            // Past the window, into the input: the window is left empty.
                            if (!out.write(in.buffered(), run - here)) return RESULT_WRITE_ERROR;
                            in.consume(run - here);
                        }
                        continue;
                    }
                }
                if (skip_runs && scan == start) {
                    // A fresh walk from the root over re-scanned bytes: those that cannot start
                    // a found text would each restart at once, so they leave together.
                    const std::size_t run =
                        starts.skip(window + scan, static_cast<std::size_t>(end - scan),
                                    in.buffered(), in.buffered_size());
                    if (run > 0) {
                        if (!out.write(window + start, run)) return RESULT_WRITE_ERROR;
                        start += static_cast<int>(run);
                        scan = start;
                        continue;
                    }
                }
                b = window[scan++];
                break;
            }
            if (start == end) {
                // Nothing pending: the window restarts empty, and bytes that cannot start a found
                // text leave in runs.
                start = scan = end = 0;
                record_lo = 0;
                record_hi = -1;
                const bool gap_test = far && gaps.usable();
                while (skip_runs || gap_test) {
                    if (in.buffered_size() == 0 && !in.fill()) return finish(out, result);
                    std::size_t run = gap_test ? gaps.gap(in.offset(), nullptr, 0, in.buffered(),
                                                          in.buffered_size())
                                               : 0;
                    if (run == 0 && skip_runs) run = starts.skip(in.buffered(), in.buffered_size());
                    if (run == 0) break;
                    if (!out.write(in.buffered(), run)) return RESULT_WRITE_ERROR;
                    in.consume(run);
                }
            }
            if (fallback != nullptr && fallback->code == CODE_ANYSTR &&
                cur_list == fallback->child) {
                // Inside a star that has just taken a byte: see take_star_run.
                const star_bytes& only = star_cache.get(fallback, fold);
                const int kept = start;
                take_star_run(in, only, root_steps, gaps, window, recorded, window_size, capacity,
                              start, end, record_lo, record_hi);
                scan = end;
                if (start > kept &&
                    !out.write(window + kept, static_cast<std::size_t>(start - kept))) {
                    return RESULT_WRITE_ERROR;
                }
            }
            c = in.get();
            if (c == byte_reader::END) {
                if (!out.write(window + start, static_cast<std::size_t>(end - start))) {
                    return RESULT_WRITE_ERROR;
                }
                return finish(out, result);
            }
            if (end == capacity) {
                // Move the pending bytes, and the record beside them, to the front.
                const int shift = start;
                std::memmove(window, window + shift, static_cast<std::size_t>(end - shift));
                if (record_hi >= shift) {
                    const int lo = record_lo > shift ? record_lo : shift;
                    std::memmove(recorded + (lo - shift), recorded + lo,
                                 static_cast<std::size_t>(record_hi - lo + 1) * sizeof(walk_state));
                    record_lo = lo - shift;
                    record_hi -= shift;
                } else {
                    record_lo = 0;
                    record_hi = -1;
                }
                start = 0;
                scan -= shift;
                end -= shift;
            }
            b = static_cast<unsigned char>(c);
            window[end++] = b;
            scan = end;
            if (end - start < window_size) break;
            // The candidate is as long as the window: give it up like a failed one, and
            // re-scan the rest of it, the byte just stored included.
            if (!out.put(window[start])) return RESULT_WRITE_ERROR;
            ++start;
            scan = start;
            cur_list = root;
            fallback = nullptr;
            on_record = false;
            far = true;
        }
    }
}

}  // namespace kestrom
