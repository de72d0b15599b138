// The start filter: which candidate starts can be passed over without a walk, judged by a few
// bytes at and after each start, and for a large trie by the hashes of its patterns' prefixes.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "pattern/prefix_filter.hpp"
#include "pattern/trie.hpp"
#include "util/ascii.hpp"

namespace kestrom {

/// Which candidate starts can be passed over without a walk. The walk from a start p takes byte
/// p+d from one of the lists that d accepted bytes lead to. When none of the lists up to depth d
/// holds a star (so no fallback keeps a walk alive) and no pattern is complete above depth d, a
/// walk whose byte p+d no list at depth d accepts fails by then, and its first byte leaves
/// unchanged: exactly what passing over p does. The depth whose bytes are rarest is tested
/// (depth 0 is the root list, a literal's rarest byte can lie deeper), and the root list too.
class start_filter {
  public:
    bool useful = false;  ///< some start can be passed over
    std::size_t depth = 0;
    int single = -1;               ///< the only byte the probe accepts, or -1
    bool first[256] = {};          ///< bytes the root list accepts
    bool probe[256] = {};          ///< bytes the lists at depth accept
    std::size_t second_depth = 0;  ///< a second depth tested where the first passes
    bool second[256] = {};         ///< bytes the lists at second_depth accept

    /// The filter of the trie below root for walks shorter than window_size bytes.
    start_filter(trie_node* root, bool fold, int window_size);

    /// Starts are also tested against the filter of the trie's prefixes (see prefix_filter).
    void use_prefixes(const prefix_filter& filter, bool fold);

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

    /// Sets single and useful once the probe is chosen.
    void finish(int best_weight);

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
};

}  // namespace kestrom
