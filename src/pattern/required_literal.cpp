#include "pattern/required_literal.hpp"

#include <algorithm>
#include <cstring>
#include <unordered_map>
#include <vector>

#include "util/alloc.hpp"
#include "util/byte_search.hpp"

namespace kestrom {

namespace {

using flags = std::vector<char, counted_allocator<char>>;
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

namespace {

/// A chain of byte nodes, each taken only right after the one before: it ends at node and is
/// length nodes long; weight is the sum of its bytes' weights.
struct chain {
    std::size_t node, length;
    int weight;
};

/// The nodes a walk can reach, numbered, and how they hang together.
class trie_survey {
  public:
    static constexpr std::size_t NONE = ~std::size_t{0};

    /// Numbers every node the walk can reach: along next from the root and from every child.
    /// False when there are more than max_nodes.
    bool collect(trie_node* root, std::size_t max_nodes) {
        node_list entries;
        if (root != nullptr) entries.push_back(root);
        while (!entries.empty()) {
            trie_node* e = entries.back();
            entries.pop_back();
            for (trie_node* n = e; n != nullptr; n = n->next) {
                if (index_of(n) < nodes_.size()) break;  // the rest of this list is known
                if (nodes_.size() == max_nodes) return false;
                indices_.emplace(n, nodes_.size());
                nodes_.push_back(n);
                if (n->child != nullptr) entries.push_back(n->child);
            }
        }
        return true;
    }

    /// Each node's parent, whether it is entered in several ways, and whether taking it
    /// completes a pattern.
    void link(trie_node* root) {
        const std::size_t count = nodes_.size();
        parent_.assign(count, NONE);
        shared_.assign(count, 0);
        complete_.assign(count, 0);
        seen_.assign(count, 0);
        for (std::size_t i = 0; i < count; ++i) {
            trie_node* last = nodes_[i];
            while (last->next != nullptr)
                last = last->next;
            complete_[i] =
                nodes_[i]->repl != nullptr || (last->code == CODE_ANYSTR && last->repl != nullptr);
            // A list that ends in a star is re-entered at a fallback after any byte it absorbs.
            if (last->code == CODE_ANYSTR) shared_[i] = 1;
            has_star_ = has_star_ || last->code == CODE_ANYSTR;
        }
        for (trie_node* n = root; n != nullptr; n = n->next)
            shared_[index_of(n)] = 1;
        for (std::size_t i = 0; i < count; ++i) {
            for (trie_node* n = nodes_[i]->child; n != nullptr; n = n->next) {
                const std::size_t j = index_of(n);
                if (parent_[j] == NONE) {
                    parent_[j] = i;
                } else if (parent_[j] != i) {
                    shared_[j] = 1;
                }
            }
        }
    }

    /// The chain that ends at each byte node, longest first, then rarest.
    std::vector<chain, counted_allocator<chain>> chains() const {
        std::vector<chain, counted_allocator<chain>> all;
        for (std::size_t i = 0; i < nodes_.size(); ++i) {
            if (nodes_[i]->code >= 256) continue;
            chain c{i, 1, byte_weight(nodes_[i]->code)};
            for (std::size_t j = i;
                 c.length < required_literal::MAX_LENGTH && shared_[j] == 0 && parent_[j] != NONE;
                 ++c.length) {
                j = parent_[j];
                if (nodes_[j]->code >= 256 || complete_[j] != 0) break;
                c.weight += byte_weight(nodes_[j]->code);
            }
            all.push_back(c);
        }
        std::sort(all.begin(), all.end(), [](const chain& a, const chain& b) {
            return a.length != b.length ? a.length > b.length : a.weight < b.weight;
        });
        return all;
    }

    /// The key of a chain's last node.
    unsigned char last_key(const chain& c) const {
        return static_cast<unsigned char>(nodes_[c.node]->code);
    }

    /// The keys of the last length nodes of a chain; false when it is shorter.
    bool keys_of(const chain& c, std::size_t length, unsigned char* keys) const {
        if (c.length < length) return false;
        std::size_t j = c.node;
        for (std::size_t k = length; k-- > 0; j = parent_[j])
            keys[k] = static_cast<unsigned char>(nodes_[j]->code);
        return true;
    }

    /// Whether a walk from the root can complete without taking a node the avoid flags mark.
    bool completes_avoiding(trie_node* root, const flags& avoid) {
        return completes_around(indices_, avoid, complete_, seen_, root);
    }

    /// The most bytes a walk from the root can take: it ends at the first node with a record, and
    /// a node that takes no byte leads nowhere. 0 when a star lets walks grow without bound (or a
    /// cycle does, which only stars make). Each list from a node on is worked out once, however
    /// many nodes share it, so that lists shared by a set's members cost no more than one.
    std::size_t longest_walk(trie_node* root) const {
        if (has_star_ || root == nullptr) return 0;
        constexpr std::size_t UNKNOWN = ~std::size_t{0};
        constexpr std::size_t OPEN = UNKNOWN - 1;  // being worked out: met again, a cycle
        // The longest walk into the list from node i on.
        std::vector<std::size_t, counted_allocator<std::size_t>> from(nodes_.size(), UNKNOWN);
        auto below = [](const trie_node* n) {
            return takes_byte(n) && n->repl == nullptr ? n->child : nullptr;
        };
        std::vector<std::size_t, counted_allocator<std::size_t>> todo{index_of(root)};
        while (!todo.empty()) {
            const std::size_t i = todo.back();
            const trie_node* const n = nodes_[i];
            if (from[i] == UNKNOWN) {  // what it depends on first
                from[i] = OPEN;
                for (const trie_node* d : {n->next, below(n)}) {
                    if (d == nullptr) continue;
                    const std::size_t j = index_of(d);
                    if (from[j] == OPEN) return 0;
                    if (from[j] == UNKNOWN) todo.push_back(j);
                }
                continue;
            }
            todo.pop_back();
            if (from[i] != OPEN) continue;  // worked out through another way in
            std::size_t here = 0;
            if (takes_byte(n)) here = 1 + (below(n) != nullptr ? from[index_of(below(n))] : 0);
            from[i] = std::max(here, n->next != nullptr ? from[index_of(n->next)] : 0);
        }
        return from[index_of(root)];
    }

    std::size_t size() const { return nodes_.size(); }

  private:
    using node_list = std::vector<trie_node*, counted_allocator<trie_node*>>;

    static bool takes_byte(const trie_node* n) { return n->code < 256 || n->code == CODE_ANYCHAR; }

    std::size_t index_of(const trie_node* n) const {
        const auto at = indices_.find(n);
        return at == indices_.end() ? nodes_.size() : at->second;
    }

    node_list nodes_;
    node_index indices_;
    std::vector<std::size_t, counted_allocator<std::size_t>> parent_;
    flags shared_;    // entered in several ways
    flags complete_;  // taking it completes
    flags seen_;      // scratch of completes_around
    bool has_star_ = false;
};

}  // namespace

namespace {

/// The chains' indices ordered by the key of their last node, and where each key's begin; none
/// for a few chains, which are gone over each time.
std::vector<std::size_t, counted_allocator<std::size_t>> chains_by_key(
    const trie_survey& survey, const std::vector<chain, counted_allocator<chain>>& chains,
    std::size_t (&first_of)[257]) {
    constexpr std::size_t FEW_CHAINS = 256;
    std::vector<std::size_t, counted_allocator<std::size_t>> by_key;
    if (chains.size() <= FEW_CHAINS) return by_key;
    for (const chain& c : chains)
        ++first_of[survey.last_key(c) + 1];
    for (std::size_t v = 0; v < 256; ++v)
        first_of[v + 1] += first_of[v];
    std::size_t next[256];
    std::memcpy(next, first_of, sizeof next);
    by_key.resize(chains.size());
    for (std::size_t k = 0; k < chains.size(); ++k)
        by_key[next[survey.last_key(chains[k])]++] = k;
    return by_key;
}

/// Tests runs of keys against the trie: a run serves when no walk completes without passing a node
/// whose chain ends in the run, since a set gives each of its members a copy of what follows it.
class run_test {
  public:
    run_test(trie_survey& survey, const std::vector<chain, counted_allocator<chain>>& chains)
        : survey_(survey), chains_(chains), avoid_(survey.size(), 0) {
        by_key_ = chains_by_key(survey, chains, first_of_);
    }

    /// Marks every node whose chain ends in keys[0..n); returns how many there are.
    std::size_t mark(const unsigned char* keys, std::size_t n) {
        for (std::size_t node : marked_)
            avoid_[node] = 0;
        marked_.clear();
        auto mark_if_same = [&](const chain& other) {
            unsigned char other_keys[required_literal::MAX_LENGTH];
            if (survey_.keys_of(other, n, other_keys) && std::memcmp(keys, other_keys, n) == 0) {
                avoid_[other.node] = 1;
                marked_.push_back(other.node);
            }
        };
        if (by_key_.empty()) {
            for (const chain& other : chains_)
                mark_if_same(other);
        } else {
            for (std::size_t k = first_of_[keys[n - 1]]; k < first_of_[keys[n - 1] + 1]; ++k)
                mark_if_same(chains_[by_key_[k]]);
        }
        return marked_.size();
    }

    /// Whether every walk from the root that completes passes a marked node.
    bool held_by_every_walk(trie_node* root) { return !survey_.completes_avoiding(root, avoid_); }

  private:
    trie_survey& survey_;
    const std::vector<chain, counted_allocator<chain>>& chains_;
    // In a large trie, the chains by the key of their last node, since only those can end in the
    // same run; a small one's chains are few enough to go over each time.
    std::size_t first_of_[257] = {};  // where each key's chains begin in by_key_
    std::vector<std::size_t, counted_allocator<std::size_t>> by_key_;
    flags avoid_;
    std::vector<std::size_t, counted_allocator<std::size_t>> marked_;
};

/// Whether a run of n keys can be in the input at all: a lower-case letter is never a key when
/// the pass folds case.
bool matchable(const unsigned char* keys, std::size_t n, bool fold) {
    for (std::size_t k = 0; k < n; ++k) {
        if (fold && keys[k] >= 'a' && keys[k] <= 'z') return false;
    }
    return true;
}

}  // namespace

required_literal::required_literal(trie_node* root, bool fold) {
    constexpr std::size_t MAX_NODES = std::size_t{1} << 19;  // a larger survey costs too much
    constexpr std::size_t MAX_TRIES = 32;                    // walks of the survey around a run
    constexpr std::size_t MAX_LOOKS = 256;                   // runs whose copies are marked
    trie_survey survey;
    if (!survey.collect(root, MAX_NODES)) return;
    survey.link(root);
    const auto chains = survey.chains();
    run_test test(survey, chains);
    // Each chain's whole run first, then its shorter ends: a set gives each of its members a copy
    // of what follows it, so that the run after the set is held by every copy, a longer one by
    // one copy only. Runs of two bytes or more come first, from all chains, then single bytes:
    // a rare byte of one chain would otherwise win over a longer run of the next.
    for (const std::size_t shortest : {std::size_t{2}, std::size_t{1}}) {
        std::size_t tries = 0, looks = 0;
        for (std::size_t t = 0; t < chains.size() && tries < MAX_TRIES && looks < MAX_LOOKS; ++t) {
            const chain& c = chains[t];
            std::size_t copies = 0;
            const std::size_t longest = shortest == 1 ? 1 : c.length;
            for (std::size_t n = longest; n >= shortest && tries < MAX_TRIES && looks < MAX_LOOKS;
                 --n) {
                ++looks;
                unsigned char keys[MAX_LENGTH];
                survey.keys_of(c, n, keys);
                if (!matchable(keys, n, fold)) continue;
                // The copies of a shorter end include those of a longer one: the same copies, the
                // same answer.
                const std::size_t marked = test.mark(keys, n);
                if (marked == copies) continue;
                copies = marked;
                ++tries;
                if (test.held_by_every_walk(root)) {
                    length = n;
                    std::memcpy(bytes, keys, length);
                    span = survey.longest_walk(root);
                    return;
                }
            }
        }
    }
}

}  // namespace kestrom
