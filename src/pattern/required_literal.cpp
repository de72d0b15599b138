#include "pattern/required_literal.hpp"

#include <algorithm>
#include <cstring>
#include <unordered_map>
#include <vector>

#include "util/alloc.hpp"
#include "util/byte_search.hpp"

namespace kestrom {

namespace {

using node_index =
    std::unordered_map<const trie_node*, std::size_t, std::hash<const trie_node*>, std::equal_to<>,
                       counted_allocator<std::pair<const trie_node* const, std::size_t>>>;

/// Whether a walk from the root can complete without taking a node i with avoid[i] set.
/// Generous: any node ever taken may serve as a fallback later.
template <typename Flags>
bool completes_around(const node_index& indices, const Flags& avoid, const Flags& complete,
                      Flags& seen, trie_node* root) {
    std::fill(seen.begin(), seen.end(), 0);
    std::vector<trie_node*, counted_allocator<trie_node*>> todo;
    auto enter = [&](trie_node* from) {
        for (trie_node* n = from; n != nullptr; n = n->next)
            todo.push_back(n);
    };
    enter(root);
    while (!todo.empty()) {
        trie_node* n = todo.back();
        todo.pop_back();
        if (n->code == CODE_NOSET || n->code == CODE_EMPTY) continue;  // take no byte
        const auto at = indices.find(n);
        if (at == indices.end()) return true;  // not surveyed: assume the worst
        const std::size_t i = at->second;
        if (avoid[i] != 0 || seen[i] != 0) continue;
        seen[i] = 1;
        if (complete[i] != 0) return true;
        enter(n->child);
        trie_node* last = n;
        while (last->next != nullptr)
            last = last->next;
        if (last->code == CODE_ANYSTR) enter(n);  // absorbed bytes lead back to n
    }
    return false;
}

}  // namespace

required_literal::required_literal(trie_node* root, bool fold) {
    constexpr std::size_t MAX_NODES = std::size_t{1} << 19;  // a larger survey costs too much
    constexpr std::size_t MAX_TRIES = 32;
    using node_list = std::vector<trie_node*, counted_allocator<trie_node*>>;
    node_list nodes;
    node_index indices;
    auto index_of = [&](const trie_node* n) {
        const auto at = indices.find(n);
        return at == indices.end() ? nodes.size() : at->second;
    };
    // Every node the walk can reach: along next from the root and from every child.
    node_list entries;
    if (root != nullptr) entries.push_back(root);
    while (!entries.empty()) {
        trie_node* e = entries.back();
        entries.pop_back();
        for (trie_node* n = e; n != nullptr; n = n->next) {
            if (index_of(n) < nodes.size()) break;  // the rest of this list is known
            if (nodes.size() == MAX_NODES) return;
            indices.emplace(n, nodes.size());
            nodes.push_back(n);
            if (n->child != nullptr) entries.push_back(n->child);
        }
    }
    const std::size_t count = nodes.size();
    constexpr std::size_t NONE = ~std::size_t{0};
    std::vector<std::size_t, counted_allocator<std::size_t>> parent(count, NONE);
    std::vector<char, counted_allocator<char>> shared(count, 0);    // entered in several ways
    std::vector<char, counted_allocator<char>> complete(count, 0);  // taking it completes
    for (std::size_t i = 0; i < count; ++i) {
        trie_node* last = nodes[i];
        while (last->next != nullptr)
            last = last->next;
        complete[i] =
            nodes[i]->repl != nullptr || (last->code == CODE_ANYSTR && last->repl != nullptr);
        // A list that ends in a star is re-entered at a fallback after any byte it absorbs.
        if (last->code == CODE_ANYSTR) shared[i] = 1;
    }
    for (trie_node* n = root; n != nullptr; n = n->next)
        shared[index_of(n)] = 1;
    for (std::size_t i = 0; i < count; ++i) {
        for (trie_node* n = nodes[i]->child; n != nullptr; n = n->next) {
            const std::size_t j = index_of(n);
            if (parent[j] == NONE) {
                parent[j] = i;
            } else if (parent[j] != i) {
                shared[j] = 1;
            }
        }
    }
    // The chain of byte nodes that ends at each byte node, longest first.
    struct chain {
        std::size_t node, length;
        int weight;
    };
    std::vector<chain, counted_allocator<chain>> chains;
    for (std::size_t i = 0; i < count; ++i) {
        if (nodes[i]->code >= 256) continue;
        chain c{i, 1, byte_weight(nodes[i]->code)};
        for (std::size_t j = i; c.length < MAX_LENGTH && shared[j] == 0 && parent[j] != NONE;
             ++c.length) {
            j = parent[j];
            if (nodes[j]->code >= 256 || complete[j] != 0) break;
            c.weight += byte_weight(nodes[j]->code);
        }
        chains.push_back(c);
    }
    std::sort(chains.begin(), chains.end(), [](const chain& a, const chain& b) {
        return a.length != b.length ? a.length > b.length : a.weight < b.weight;
    });
    std::vector<char, counted_allocator<char>> seen(count, 0);
    std::vector<char, counted_allocator<char>> avoid(count, 0);
    // The keys of the last length nodes of a chain; false when it is shorter.
    auto keys_of = [&](const chain& c, std::size_t length, unsigned char* keys) {
        if (c.length < length) return false;
        std::size_t j = c.node;
        for (std::size_t k = length; k-- > 0; j = parent[j])
            keys[k] = static_cast<unsigned char>(nodes[j]->code);
        return true;
    };
    for (std::size_t t = 0; t < chains.size() && t < MAX_TRIES; ++t) {
        const chain& c = chains[t];
        unsigned char keys[MAX_LENGTH];
        keys_of(c, c.length, keys);
        bool matchable = true;
        for (std::size_t k = 0; k < c.length; ++k) {
            // A lower-case letter is never a key when the pass folds case.
            matchable = matchable && !(fold && keys[k] >= 'a' && keys[k] <= 'z');
        }
        // Every node whose chain ends in the same keys holds the run as well (a set before a
        // star gives each of its members a copy of what follows).
        for (const chain& other : chains) {
            unsigned char other_keys[MAX_LENGTH];
            avoid[other.node] = keys_of(other, c.length, other_keys) &&
                                std::memcmp(keys, other_keys, c.length) == 0;
        }
        if (matchable && !completes_around(indices, avoid, complete, seen, root)) {
            length = c.length;
            std::memcpy(bytes, keys, length);
            return;
        }
    }
}

}  // namespace kestrom
