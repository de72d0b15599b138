#include "match/fast/start_filter.hpp"

#include <algorithm>
#include <cstring>
#include <vector>

#include "util/alloc.hpp"
#include "util/ascii.hpp"
#include "util/byte_search.hpp"

namespace kestrom {

namespace {

using node_list = std::vector<trie_node*, counted_allocator<trie_node*>>;

/// What the lists of one depth accept, and the lists below them.
struct level_survey {
    bool star = false;      ///< a list holds a star: nothing can be passed over
    bool complete = false;  ///< a pattern is complete at this depth
    bool accepted[256] = {};
    int weight = 0;  ///< of the accepted bytes, by byte_weight
    node_list below;
};

void survey_level(const node_list& level, const key_table& keys_of, level_survey& out) {
    bool keys[256] = {};
    bool any = false;
    for (trie_node* list : level) {
        for (trie_node* n = list; n != nullptr; n = n->next) {
            if (n->code == CODE_ANYSTR) {
                out.star = true;
                return;
            }
            if (n->code == CODE_ANYCHAR) {
                any = true;
            } else if (n->code < 256) {
                keys[n->code] = true;
            } else {
                continue;  // an empty pattern or an empty set takes no byte
            }
            out.complete = out.complete || n->repl != nullptr;
            if (n->repl == nullptr && n->child != nullptr) out.below.push_back(n->child);
        }
    }
    for (int v = 0; v < 256; ++v) {
        out.accepted[v] = any || keys[keys_of.of[v]];
        out.weight += out.accepted[v] ? byte_weight(v) : 0;
    }
}

}  // namespace

start_filter::start_filter(trie_node* root, bool fold, int window_size, simd_tier tier)
    : words_(fold, tier) {
    // Deep enough for a few leading wildcards and sets; small enough to stay cheap.
    constexpr std::size_t MAX_DEPTH = 8;
    constexpr std::size_t MAX_LISTS = 1024;
    const key_table keys_of(fold);
    node_list level;
    if (root != nullptr) level.push_back(root);
    int best_weight = -1;
    int second_weight = -1;
    std::fill(std::begin(second), std::end(second), true);  // until a second depth is found
    std::size_t levels = 0;                                 // surveyed for the run test
    for (std::size_t d = 0; d < RUN_MAX && d + 1 < static_cast<std::size_t>(window_size); ++d) {
        level_survey at;
        survey_level(level, keys_of, at);
        if (at.star) break;
        for (int v = 0; v < 256; ++v)
            run_mask_[v] |= at.accepted[v] ? std::uint64_t{1} << d : 0;
        levels = d + 1;
        if (d == 0) std::memcpy(first, at.accepted, sizeof first);
        if (d > MAX_DEPTH) {
            // Deeper levels serve the run test alone, which pays only where their lists are few.
        } else if (best_weight < 0 || at.weight < best_weight) {
            if (best_weight >= 0) {  // the best so far becomes the second test
                second_weight = best_weight;
                second_depth = depth;
                std::memcpy(second, probe, sizeof second);
            }
            best_weight = at.weight;
            depth = d;
            std::memcpy(probe, at.accepted, sizeof probe);
        } else if (second_weight < 0 || at.weight < second_weight) {
            second_weight = at.weight;
            second_depth = d;
            std::memcpy(second, at.accepted, sizeof second);
        }
        if (at.complete || at.below.empty()) break;
        std::sort(at.below.begin(), at.below.end());
        at.below.erase(std::unique(at.below.begin(), at.below.end()), at.below.end());
        if (at.below.size() > (d < MAX_DEPTH ? MAX_LISTS : RUN_MAX_LISTS)) break;
        level.swap(at.below);
    }
    finish(best_weight);
    choose_run_test(levels);
    unsigned char path[WORD_MAX];
    std::size_t visits = 0;
    words_on_ = root != nullptr && collect_words(root, path, 0, visits) && words_.reach() > 0;
    useful = useful || words_on_;
}

bool start_filter::collect_words(trie_node* list, unsigned char* path, std::size_t depth,
                                 std::size_t& visits) {
    // Every walk that completes passes a node with a record first: its path is the word whose
    // bytes the start must hold.
    for (trie_node* n = list; n != nullptr; n = n->next) {
        if (++visits > WORD_VISITS_MAX || depth == WORD_MAX) return false;
        if (n->code == CODE_NOSET) continue;  // an empty set takes no byte
        if (n->code >= 256) return false;     // a wildcard, a star or the empty pattern
        path[depth] = static_cast<unsigned char>(n->code);
        if (n->repl != nullptr) {
            if (!words_.add(path, depth + 1)) return false;
        } else if (n->child != nullptr && !collect_words(n->child, path, depth + 1, visits)) {
            return false;
        }
    }
    return true;
}

void start_filter::choose_run_test(std::size_t levels) {
    // The run test looks at a start's last byte first; a byte that the last depth refuses passes
    // over the starts up to the next depth that takes it. Worth it where that is far on average
    // (by the bytes' weights in text), unless one byte alone is searched for already.
    run_length_ = 0;
    if (levels < RUN_MIN || single >= 0) return;
    const std::size_t last = levels - 1;
    std::uint64_t weighted = 0, total = 0;
    for (int v = 0; v < 256; ++v) {
        const auto w = static_cast<std::uint64_t>(byte_weight(v));
        total += w;
        weighted += w * run_shift(run_mask_[v], last);
    }
    if (weighted >= RUN_MIN_SHIFT * total) run_length_ = levels;
}

std::size_t start_filter::run_shift(std::uint64_t accepts, std::size_t j) {
    const std::uint64_t below = accepts & ((std::uint64_t{1} << j) - 1);
    return below == 0 ? j + 1 : j - (63 - static_cast<std::size_t>(__builtin_clzll(below)));
}

std::size_t start_filter::skip_runs(const unsigned char* p, std::size_t n, std::size_t i,
                                    const unsigned char* more, std::size_t m) const {
    const std::size_t last = run_length_ - 1;
    while (i + last < n) {
        // From the run's last byte back: the first byte its depth refuses fails this start and
        // every later one that would take the byte at a depth that refuses it too.
        std::size_t j = last;
        while ((run_mask_[p[i + j]] >> j & 1) != 0) {
            if (j == 0) return i;
            --j;
        }
        i += run_shift(run_mask_[p[i + j]], j);
        if (i >= n) return n;
        i += skip_by_bytes(p + i, n - i, more, m);
    }
    return i;
}

void start_filter::use_prefixes(const prefix_filter& filter, bool fold) {
    prefixes_ = &filter;
    fold_ = fold;
    useful = true;
    const key_table keys_of(fold);
    for (int v = 0; v < 256; ++v) {
        never_[v] = !filter.held(keys_of.of[v]);
        some_never_ = some_never_ || never_[v];
    }
}

// Inlined into skip, where most calls come from.
inline std::size_t start_filter::skip_by_bytes(const unsigned char* p, std::size_t n,
                                               const unsigned char* more, std::size_t m) const {
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

std::size_t start_filter::skip(const unsigned char* p, std::size_t n, const unsigned char* more,
                               std::size_t m) const {
    if (words_on_ && n >= words_.reach()) {
        // The starts whose tested bytes all lie in p go by the words; the last few as below.
        const std::size_t tested = n - words_.reach() + 1;
        const std::size_t i = words_.find(p, tested);
        return i < tested ? i : tested + skip_by_bytes(p + tested, n - tested, more, m);
    }
    std::size_t i = skip_by_bytes(p, n, more, m);
    if (run_length_ != 0 && i < n) i = skip_runs(p, n, i, more, m);
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

void start_filter::finish(int best_weight) {
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

}  // namespace kestrom
