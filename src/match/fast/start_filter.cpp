#include "match/fast/start_filter.hpp"

#include <algorithm>
#include <vector>

#include "util/alloc.hpp"
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

start_filter::start_filter(trie_node* root, bool fold, int window_size) {
    // Deep enough for a few leading wildcards and sets; small enough to stay cheap.
    constexpr std::size_t MAX_DEPTH = 8;
    constexpr std::size_t MAX_LISTS = 1024;
    const key_table keys_of(fold);
    node_list level;
    if (root != nullptr) level.push_back(root);
    int best_weight = -1;
    int second_weight = -1;
    std::fill(std::begin(second), std::end(second), true);  // until a second depth is found
    for (std::size_t d = 0; d <= MAX_DEPTH && d + 1 < static_cast<std::size_t>(window_size); ++d) {
        level_survey at;
        survey_level(level, keys_of, at);
        if (at.star) break;
        if (d == 0) std::memcpy(first, at.accepted, sizeof first);
        if (best_weight < 0 || at.weight < best_weight) {
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
        if (at.below.size() > MAX_LISTS) break;
        level.swap(at.below);
    }
    finish(best_weight);
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
