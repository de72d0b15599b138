#include "pattern/tree_size.hpp"

#include <algorithm>
#include <cstdint>
#include <functional>
#include <unordered_map>
#include <utility>

#include "util/alloc.hpp"

namespace kestrom {

namespace {

/// A list met with so many bytes still to go; unbounded walks use one depth for all.
struct visit {
    const trie_node* list;
    std::size_t depth;
    bool operator==(const visit&) const = default;
};

struct visit_hash {
    std::size_t operator()(const visit& v) const {
        return std::hash<const void*>()(v.list) ^ (v.depth * 0x9e3779b97f4a7c15ull);
    }
};

constexpr std::size_t IN_PROGRESS = SIZE_MAX;

}  // namespace

std::size_t tree_size(const trie_node* root, std::size_t max_depth, std::size_t limit,
                      bool wildcards_over) {
    const std::size_t over = limit + 1;
    const bool bounded = max_depth != SIZE_MAX;
    std::unordered_map<visit, std::size_t, visit_hash, std::equal_to<>,
                       counted_allocator<std::pair<const visit, std::size_t>>>
        sizes;
    // Depth first with a stack of its own: a list, the node of it being summed, and the sum.
    struct frame {
        visit at;
        const trie_node* node;
        std::size_t sum;
    };
    counted_vector<frame> stack;
    auto add = [over](std::size_t a, std::size_t b) { return std::min(over, a + b); };
    auto enter = [&](visit v) -> bool {
        const auto [where, fresh] = sizes.emplace(v, IN_PROGRESS);
        if (!fresh) return false;
        stack.push_back(frame{v, v.list, 0});
        return true;
    };
    if (root == nullptr || max_depth == 0) return 0;
    enter(visit{root, bounded ? max_depth : 0});
    std::size_t result = 0;
    while (!stack.empty()) {
        frame& f = stack.back();
        if (f.node == nullptr || f.sum >= over) {
            const std::size_t sum = f.sum;
            sizes[f.at] = sum;
            stack.pop_back();
            if (stack.empty()) {
                result = sum;
            } else {
                frame& parent = stack.back();
                parent.sum = add(parent.sum, sum);
                parent.node = parent.node->next;
            }
            continue;
        }
        const trie_node* n = f.node;
        if (n->code == CODE_NOSET || n->code == CODE_EMPTY) {
            f.node = n->next;
            continue;
        }
        f.sum = add(f.sum, wildcards_over && n->code > 255 ? over : 1);
        const std::size_t left = bounded ? f.at.depth - 1 : 0;
        const trie_node* below = n->child;
        if (n->repl != nullptr || below == nullptr || (bounded && left == 0) ||
            (n->code == CODE_ANYSTR && below == f.at.list)) {
            f.node = n->next;
            continue;
        }
        const visit v{below, left};
        if (enter(v)) continue;  // summed when it is done
        const std::size_t known = sizes.find(v)->second;
        // A list still being summed leads back to itself: there is no end to its paths.
        f.sum = known == IN_PROGRESS ? over : add(f.sum, known);
        f.node = n->next;
    }
    return result;
}

}  // namespace kestrom
