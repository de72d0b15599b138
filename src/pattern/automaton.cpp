#include "pattern/automaton.hpp"

#include <algorithm>
#include <cstring>

namespace kestrom {

literal_automaton::literal_automaton(trie_node* root, std::size_t max_depth, std::size_t max_states,
                                     std::size_t expected_states, std::size_t dense_budget,
                                     std::size_t row_budget)
    : row_budget_(row_budget) {
    // Large tables are read at random: on huge pages, reserved before they are touched.
    states_.reserve(expected_states);
    keys_.reserve(expected_states);
    targets_.reserve(expected_states);
    advise_huge_pages(states_.data(), expected_states * sizeof(state_info));
    advise_huge_pages(keys_.data(), expected_states);
    advise_huge_pages(targets_.data(), expected_states * sizeof(state_id));
    if (unfold(root, max_depth, max_states)) {
        {
            const counted_vector<state_id> order = breadth_first_order();
            link(order);
            make_dense(order, dense_budget);
        }
        usable_ = pack();
    }
    // What only the building needed goes; an unusable automaton holds no memory.
    states_ = counted_vector<state_info>();
    keys_ = counted_vector<unsigned char>();
    targets_ = counted_vector<state_id>();
    if (!usable_) *this = literal_automaton();
}

bool literal_automaton::may_fit(trie_node* root, std::size_t max_states) {
    counted_vector<trie_node*> lists;
    if (root != nullptr) lists.push_back(root);
    std::size_t states = 1;
    while (!lists.empty()) {
        trie_node* list = lists.back();
        lists.pop_back();
        for (trie_node* n = list; n != nullptr; n = n->next) {
            if (n->code == CODE_ANYCHAR || n->code == CODE_ANYSTR) return false;
            if (n->code > 255) continue;
            if (++states > max_states) return false;
            // As in unfold: nothing below a record is a state.
            if (n->repl == nullptr && n->child != nullptr) lists.push_back(n->child);
        }
    }
    return true;
}

bool literal_automaton::pack() {
    const std::size_t count = states_.size();
    // A node's words, and its id: its place after the rows' ids.
    auto words_of = [this](state_id q) -> std::size_t {
        const std::uint32_t edges = states_[q].edge_count;
        if (states_[q].repl != nullptr) return HEADER + sizeof(replacement*) / 4;
        return HEADER + (edges + 3) / 4 + edges;
    };
    counted_vector<state_id> id(count);
    std::size_t words = 0;
    for (state_id q = 0; q < count; ++q) {
        if (q < row_count_) {
            id[q] = q;
            continue;
        }
        if (row_count_ + words >= COMPLETES) return false;
        id[q] = static_cast<state_id>(row_count_ + words);
        words += words_of(q);
    }
    auto final_id = [&id](state_id t) { return id[t & ~COMPLETES] | (t & COMPLETES); };

    row_info_.assign(states_.begin(), states_.begin() + row_count_);
    for (state_info& info : row_info_) {
        info.fail = id[info.fail];
        info.completed = id[info.completed];
    }
    // find_key may read fifteen bytes past the last node's keys.
    constexpr std::size_t SLACK = 4;
    nodes_.reserve(words + SLACK);
    advise_huge_pages(nodes_.data(), (words + SLACK) * sizeof(std::uint32_t));
    nodes_.resize(words + SLACK);
    for (state_id q = row_count_; q < count; ++q) {
        const state_info& info = states_[q];
        std::uint32_t* n = nodes_.data() + (id[q] - row_count_);
        n[0] = id[info.fail];
        n[1] = info.edge_count | info.depth << COUNT_BITS;
        n[2] = id[info.completed];
        if (info.repl != nullptr) {
            std::memcpy(n + HEADER, &info.repl, sizeof info.repl);
            continue;
        }
        std::memcpy(n + HEADER, keys_.data() + info.first_edge, info.edge_count);
        std::uint32_t* targets = n + HEADER + (info.edge_count + 3) / 4;
        for (std::uint32_t e = 0; e < info.edge_count; ++e)
            targets[e] = final_id(targets_[info.first_edge + e]);
    }
    for (state_id& t : rows_)
        t = final_id(t);
    if (!dense_.empty()) {
        counted_vector<std::uint32_t> dense_row_of(row_count_ + words);
        for (state_id q = 0; q < count; ++q)
            dense_row_of[id[q]] = dense_row_of_[q];
        dense_row_of_ = std::move(dense_row_of);
        for (state_id& q : state_of_dense_row_)
            q = id[q];
    }
    return true;
}

bool literal_automaton::unfold(trie_node* root, std::size_t max_depth, std::size_t max_states) {
    counted_vector<trie_node*> lists;  // the list each state's edges come from
    // Gives q its edges and a new state for each; false when the trie does not qualify.
    auto expand = [&](state_id q) {
        const auto first_edge = static_cast<std::uint32_t>(keys_.size());
        states_[q].first_edge = first_edge;
        // A walk ends at the first record: nothing below it is ever reached.
        if (states_[q].repl != nullptr && q != ROOT) return true;
        const std::uint32_t depth = states_[q].depth + 1;
        for (trie_node* n = lists[q]; n != nullptr; n = n->next) {
            if (n->code == CODE_ANYCHAR || n->code == CODE_ANYSTR) return false;
            if (n->code > 255) continue;  // an empty pattern or an empty set takes no byte
            if (depth >= std::min(max_depth, MAX_NODE_DEPTH) ||
                states_.size() >= std::min<std::size_t>(max_states, COMPLETES)) {
                return false;
            }
            keys_.push_back(static_cast<unsigned char>(n->code));
            targets_.push_back(static_cast<state_id>(states_.size()));
            states_.push_back(state_info{0, 0, depth, ROOT, ROOT, n->repl});
            lists.push_back(n->child);
            max_depth_ = std::max<std::size_t>(max_depth_, depth);
        }
        states_[q].edge_count = static_cast<std::uint32_t>(keys_.size()) - first_edge;
        return true;
    };
    states_.push_back(state_info{0, 0, 0, ROOT, ROOT, nullptr});
    lists.push_back(root);
    if (!expand(ROOT)) return false;

    // The shallow states, where most steps are, come first and breadth first: at least as many
    // as may have whole rows (see link), since a row has an entry for each byte of the root's
    // edges and one more.
    const std::size_t row_bytes = (1 + std::size_t{states_[ROOT].edge_count}) * sizeof(state_id);
    const std::size_t breadth_first = std::max(states_.size(), row_budget_ / row_bytes);
    state_id q = 1;
    for (; q < states_.size() && q < breadth_first; ++q) {
        if (!expand(q)) return false;
    }
    breadth_count_ = static_cast<state_id>(states_.size());
    // Below them, depth first: a walk along a path with one way on steps through neighbouring
    // states and edges, instead of one far place per byte.
    counted_vector<state_id> stack;
    for (state_id top = static_cast<state_id>(states_.size()); top-- > q;) {
        stack.push_back(top);
    }
    while (!stack.empty()) {
        const state_id v = stack.back();
        stack.pop_back();
        const auto first = static_cast<state_id>(states_.size());
        if (!expand(v)) return false;
        for (auto child = static_cast<state_id>(states_.size()); child-- > first;) {
            stack.push_back(child);
        }
    }
    return true;
}

literal_automaton::counted_vector<literal_automaton::state_id>
literal_automaton::breadth_first_order() const {
    // By depth, a counting sort.
    counted_vector<state_id> at_depth(max_depth_ + 2, 0);
    for (const state_info& info : states_)
        ++at_depth[info.depth + 1];
    for (std::size_t d = 1; d < at_depth.size(); ++d)
        at_depth[d] += at_depth[d - 1];
    counted_vector<state_id> order(states_.size());
    for (state_id q = 0; q < states_.size(); ++q)
        order[at_depth[states_[q].depth]++] = q;
    return order;
}

void literal_automaton::link(const counted_vector<state_id>& order) {
    // The link of the state reached from q by key is where q's link goes by key.
    auto go = [this](state_id s, unsigned char key) {
        for (;;) {
            const state_info& info = states_[s];
            for (std::uint32_t e = 0; e < info.edge_count; ++e) {
                if (keys_[info.first_edge + e] == key) return targets_[info.first_edge + e];
            }
            if (s == ROOT) return ROOT;
            s = info.fail;
        }
    };
    // Breadth first: the links of all shallower states are known when a state's are made. The
    // states lie far apart in a large automaton: the ones a few turns ahead are fetched early,
    // first their own entries, then their edges and their links' entries.
    constexpr std::size_t AHEAD = 16;
    for (std::size_t k = 0; k < order.size(); ++k) {
        if (k + AHEAD < order.size()) __builtin_prefetch(states_.data() + order[k + AHEAD]);
        if (k + AHEAD / 2 < order.size()) {
            const state_info& soon = states_[order[k + AHEAD / 2]];
            __builtin_prefetch(targets_.data() + soon.first_edge);
            __builtin_prefetch(keys_.data() + soon.first_edge);
            __builtin_prefetch(states_.data() + soon.fail);
        }
        const state_id q = order[k];
        const state_info info = states_[q];
        for (std::uint32_t e = 0; e < info.edge_count; ++e) {
            const state_id v = targets_[info.first_edge + e];
            const state_id link = q == ROOT ? ROOT : go(info.fail, keys_[info.first_edge + e]);
            states_[v].fail = link;
            states_[v].completed = states_[v].repl != nullptr ? v : states_[link].completed;
        }
    }

    // Whole rows, over classes of bytes (the bytes that no edge holds share one class), for the
    // shallow states where most steps are: they are the first states, breadth first. All the
    // states of a small automaton get one, within a budget that keeps the rows in the cache.
    bool used[256] = {};
    for (unsigned char key : keys_)
        used[key] = true;
    class_count_ = 1;
    for (int key = 0; key < 256; ++key)
        class_of_[key] = used[key] ? class_count_++ : 0;
    const auto size = static_cast<std::uint32_t>(class_count_);
    row_shift_ = static_cast<unsigned>(__builtin_ctz(size));
    const std::uint32_t odd = size >> row_shift_;
    row_inverse_ = odd;  // right to 3 bits; each step doubles that
    for (int k = 0; k < 4; ++k)
        row_inverse_ *= 2 - odd * row_inverse_;
    const std::size_t row_bytes = class_count_ * sizeof(state_id);
    while (row_count_ < breadth_count_ &&
           (states_[row_count_].depth <= 1 || (row_count_ + 1) * row_bytes <= row_budget_))
        ++row_count_;
    rows_.resize(static_cast<std::size_t>(row_count_) * class_count_);
    // A row is the row of the state's link, which is shallower and so done, and its own edges.
    for (state_id q = 0; q < row_count_; ++q) {
        state_id* row = rows_.data() + q * class_count_;
        if (q != ROOT) {
            const state_id* link_row = rows_.data() + states_[q].fail * class_count_;
            std::copy(link_row, link_row + class_count_, row);
        }
        const state_info& info = states_[q];
        for (std::uint32_t e = 0; e < info.edge_count; ++e)
            row[class_of_[keys_[info.first_edge + e]]] = targets_[info.first_edge + e];
    }
    // Mark the targets at which a walk completes, so that a step needs no further look.
    auto mark = [this](state_id& t) {
        if (states_[t].completed != ROOT) t |= COMPLETES;
    };
    for (state_id& t : targets_)
        mark(t);
    for (state_id& t : rows_)
        mark(t);

    // The same rows as offsets, with the root's row once more at the end.
    fast_.resize(rows_.size() + class_count_);
    for (std::size_t k = 0; k < fast_.size(); ++k) {
        const state_id t = rows_[k < rows_.size() ? k : k - rows_.size()];
        fast_[k] = completes(t) || !has_row(t) ? SLOW : offset_of(t);
    }
}

void literal_automaton::make_dense(const counted_vector<state_id>& order, std::size_t budget) {
    const std::size_t count = states_.size();
    if (count * class_count_ * sizeof(std::uint32_t) > budget) return;
    // The states that complete no walk first, the root among them at 0, then the others.
    dense_row_of_.resize(count);
    state_of_dense_row_.resize(count);
    dense_info_.resize(count);
    std::uint32_t rank = 0;
    for (int completing = 0; completing < 2; ++completing) {
        if (completing) dense_completes_ = rank * static_cast<std::uint32_t>(class_count_);
        for (state_id q = 0; q < count; ++q) {
            const state_id c = states_[q].completed;
            if ((c != ROOT) != (completing != 0)) continue;
            dense_row_of_[q] = rank;
            dense_info_[rank] = dense_info{states_[q].depth, states_[c].depth, states_[c].repl};
            state_of_dense_row_[rank++] = q;
        }
    }
    // As for the other rows: the link's row, shallower and so done, and the state's own edges;
    // entries hold states first, offsets once all rows are made.
    dense_.reserve(count * class_count_);
    advise_huge_pages(dense_.data(), count * class_count_ * sizeof(std::uint32_t));
    dense_.resize(count * class_count_);
    for (const state_id q : order) {
        std::uint32_t* row = dense_.data() + dense_offset_of(q);
        if (q != ROOT) {
            const std::uint32_t* link_row = dense_.data() + dense_offset_of(states_[q].fail);
            std::copy(link_row, link_row + class_count_, row);
        }
        const state_info& info = states_[q];
        for (std::uint32_t e = 0; e < info.edge_count; ++e)
            row[class_of_[keys_[info.first_edge + e]]] = targets_[info.first_edge + e] & ~COMPLETES;
    }
    for (std::uint32_t& t : dense_)
        t = dense_offset_of(t);
}

}  // namespace kestrom
