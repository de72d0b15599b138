#include "pattern/prefix_filter.hpp"

#include <algorithm>

namespace kestrom {

prefix_filter::prefix_filter(trie_node* root, std::size_t max_length) {
    // Below this many prefixes the walks stay in the cache and need no help.
    constexpr std::size_t MIN_PREFIXES = 4096;
    std::size_t length = std::min(MAX_LENGTH, max_length > 0 ? max_length - 1 : 0);
    if (root == nullptr || length < 3) return;

    // Depth first, each path to the depth tested or to where it must stop, as its bytes packed
    // from the top. A completion or a wildcard shortens what every path may be tested for.
    struct frame {
        trie_node* node;
        std::size_t depth;  // of the node's byte, from 1
        std::uint64_t bytes;
    };
    std::vector<frame, counted_allocator<frame>> todo;
    std::vector<std::uint64_t, counted_allocator<std::uint64_t>> paths;
    std::size_t visited = 0;
    auto enter = [&](trie_node* list, std::size_t depth, std::uint64_t bytes) {
        for (trie_node* n = list; n != nullptr; n = n->next) {
            if (n->code == CODE_ANYCHAR || n->code == CODE_ANYSTR) {
                // A walk may take any byte here: only the bytes before it can be tested.
                length = std::min(length, depth - 1);
                continue;
            }
            if (n->code > 255) continue;  // an empty pattern or an empty set takes no byte
            held_[n->code] = true;
            todo.push_back(frame{n, depth, bytes | std::uint64_t{n->code} << (64 - 8 * depth)});
        }
    };
    enter(root, 1, 0);
    while (!todo.empty()) {
        const frame f = todo.back();
        todo.pop_back();
        if (++visited > MAX_NODES) return;
        if (f.depth >= length) {
            paths.push_back(f.bytes);
            continue;
        }
        if (f.node->repl != nullptr || f.node->child == nullptr) {
            // A walk may complete after f.depth bytes: longer prefixes cannot be required.
            length = std::min(length, f.depth);
            paths.push_back(f.bytes);
            continue;
        }
        enter(f.node->child, f.depth + 1, f.bytes);
    }
    if (length < 3 || paths.size() < MIN_PREFIXES) return;

    length_ = length;
    keep_ = length == 8 ? ~std::uint64_t{0} : (std::uint64_t{1} << (8 * length)) - 1;
    const std::uint64_t keep = ~std::uint64_t{0} << (64 - 8 * length);
    // About thirty-two bits per prefix, three of them set in one word: about one start in three
    // hundred that no path begins passes, at one load each (sixteen bits let four times as many
    // pass, and the walks they begin cost more than the larger set's misses).
    unsigned log2 = 6;
    while (log2 < 24 && (std::size_t{64} << log2) < 32 * paths.size())
        ++log2;
    shift_ = 64 - log2;
    words_.assign(std::size_t{1} << log2, 0);
    for (const std::uint64_t p : paths) {
        // Packed from the top here, from the bottom for may_begin.
        const std::uint64_t h = __builtin_bswap64(p & keep) * 0x9E3779B97F4A7C15ULL;
        words_[h >> shift_] |= bits_of(h);
    }
}

}  // namespace kestrom
