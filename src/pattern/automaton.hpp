// An automaton over a trie of plain byte patterns: it follows every candidate start at once, so
// that a matcher needs one step per byte instead of a walk and a restart per start.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "pattern/trie.hpp"
#include "util/alloc.hpp"

namespace kestrom {

/// The trie unfolded into states, one per path that a walk from the root can take (a walk ends at
/// the first node with a record, so nothing below such a node is a state), with the usual
/// failure links: a state's link is the state of its longest proper suffix that is also a path.
/// After any input, the current state and its chain of links are exactly the walks still alive,
/// the deepest (the earliest start) first.
class literal_automaton {
  public:
    using state_id = std::uint32_t;
    static constexpr state_id ROOT = 0;

    /// Builds the automaton of the trie below root, unless a list holds a wildcard, a path is
    /// max_depth bytes or longer, or there would be more than max_states states: then usable()
    /// is false.
    literal_automaton(trie_node* root, std::size_t max_depth, std::size_t max_states);

    bool usable() const { return usable_; }

    /// The state after key (a byte as looked up, case folded where the pass folds).
    state_id step(state_id s, unsigned char key) const {
        for (;;) {
            const state_info& info = states_[s];
            if (info.row != NO_ROW) return rows_[info.row * 256 + key];
            const unsigned char* keys = keys_.data() + info.first_edge;
            for (std::uint32_t e = 0; e < info.edge_count; ++e) {
                if (keys[e] == key) return targets_[info.first_edge + e];
            }
            s = info.fail;
        }
    }

    /// Bytes taken from the root to reach s.
    std::size_t depth(state_id s) const { return states_[s].depth; }
    /// The deepest state along s and its links at which a walk is complete, or ROOT for none.
    state_id completed(state_id s) const { return states_[s].completed; }
    /// The record of a state at which a walk is complete.
    replacement* record(state_id s) const { return states_[s].repl; }

  private:
    static constexpr std::uint32_t NO_ROW = ~std::uint32_t{0};
    struct state_info {
        std::uint32_t first_edge;
        std::uint32_t edge_count;
        std::uint32_t depth;
        state_id fail;
        state_id completed;
        std::uint32_t row;  ///< full transition row for the shallow states, else NO_ROW
        replacement* repl;
    };
    template <typename T>
    using counted_vector = std::vector<T, counted_allocator<T>>;

    /// Makes the states and edges; false when the trie does not qualify.
    bool unfold(trie_node* root, std::size_t max_depth, std::size_t max_states);
    /// Sets the links, the completed states and the rows.
    void link();

    bool usable_ = false;
    counted_vector<state_info> states_;
    counted_vector<unsigned char> keys_;
    counted_vector<state_id> targets_;
    counted_vector<state_id> rows_;
};

}  // namespace kestrom
