// An automaton over a trie of plain byte patterns: it follows every candidate start at once, so
// that a matcher needs one step per byte instead of a walk and a restart per start.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "pattern/trie.hpp"
#include "util/alloc.hpp"
#include "util/byte_search.hpp"

namespace kestrom {

/// The trie unfolded into states, one per path that a walk from the root can take (a walk ends at
/// the first node with a record, so nothing below such a node is a state), with the usual
/// failure links: a state's link is the state of its longest proper suffix that is also a path.
/// After any input, the current state and its chain of links are exactly the walks still alive,
/// the deepest (the earliest start) first.
class literal_automaton {
  private:
    /// Streams that a span over dense rows is cut into (see follow_streams), or over wide spans
    /// WIDE_STREAMS streams of WIDE_STREAM_BYTES each, whose fixed distances let every stream's
    /// loads and stores go through the same two pointers. The distance is not a multiple of 4 KiB:
    /// a load at such a distance from a recent store waits for it.
    static constexpr std::size_t STREAMS = 4;
    static constexpr std::size_t WIDE_STREAMS = 8;
    static constexpr std::size_t WIDE_STREAM_BYTES = 1040;
    /// The deepest state for which streams are used: their warm-up, from the root, takes that
    /// many bytes.
    static constexpr std::size_t MAX_WARM = 256;
    /// Streams over an automaton without dense rows, and how many bytes early each but the
    /// first starts.
    static constexpr std::size_t SPARSE_STREAMS = 16;
    static constexpr std::size_t SPARSE_WARM = 32;

  public:
    using state_id = std::uint32_t;
    static constexpr state_id ROOT = 0;

    /// Builds the automaton of the trie below root, unless a list holds a wildcard, a path is
    /// max_depth bytes or longer, or there would be more than max_states states: then usable()
    /// is false. expected_states (the trie's nodes, as a rule) sizes its tables from the start.
    literal_automaton(trie_node* root, std::size_t max_depth, std::size_t max_states,
                      std::size_t expected_states, std::size_t dense_budget,
                      std::size_t row_budget);

    bool usable() const { return usable_; }

    /// Whether the trie below root may give an automaton of at most max_states states: false
    /// once its states are counted past that, or a list holds a wildcard. Cheaper than building
    /// one in vain.
    static bool may_fit(trie_node* root, std::size_t max_states);

    /// The state after key (a byte as looked up, case folded where the pass folds). The result
    /// carries a mark when a walk is complete there (see completes); every function here takes
    /// states with or without it.
    state_id step(state_id s, unsigned char key) const { return steps().step(s, key); }

    /// Whether a walk is complete at a state that step returned, along it or its links.
    static bool completes(state_id s) { return (s & COMPLETES) != 0; }
    /// Bytes taken from the root to reach s.
    std::size_t depth(state_id s) const {
        s &= ~COMPLETES;
        return s < row_count_ ? row_info_[s].depth : node(s)[1] >> COUNT_BITS;
    }
    /// The deepest state along s and its links at which a walk is complete, or ROOT for none.
    state_id completed(state_id s) const {
        s &= ~COMPLETES;
        return s < row_count_ ? row_info_[s].completed : node(s)[2];
    }
    /// The record of a state at which a walk is complete.
    replacement* record(state_id s) const {
        s &= ~COMPLETES;
        if (s < row_count_) return row_info_[s].repl;
        replacement* repl = nullptr;
        if (node(s)[2] == s) std::memcpy(&repl, node(s) + HEADER, sizeof repl);
        return repl;
    }
    /// The state of s's longest proper suffix that is also a path (the root for the root).
    state_id fail(state_id s) const {
        s &= ~COMPLETES;
        return s < row_count_ ? row_info_[s].fail : node(s)[0];
    }
    /// Bytes taken from the root to reach the deepest state.
    std::size_t max_depth() const { return max_depth_; }
    /// Whether every state has a whole row (a small automaton): its states then lie close.
    bool has_dense() const { return !dense_.empty(); }

    /// What a pass looks up for each input byte: its key (case folded where the pass folds) and
    /// the class of the key in a row.
    struct pass_tables {
        unsigned char key_of[256];
        std::uint32_t class_of[256];
    };
    /// The tables of a pass whose keys are keys.of.
    void make_pass_tables(const key_table& keys, pass_tables& t) const {
        for (int v = 0; v < 256; ++v) {
            t.key_of[v] = keys.of[v];
            t.class_of[v] = class_of_[keys.of[v]];
        }
    }

    /// Whether s, unmarked, is one of the shallow states that have a whole row.
    bool has_row(state_id s) const { return s < row_count_; }
    /// Takes bytes of p[0..n) from s, which has_row, while each step neither completes a walk nor
    /// leaves the states with rows (and, with stop_at_root, does not come back to the root): a
    /// load each. Returns how many it took; s is the state after them.
    std::size_t run_rows(state_id& s, const unsigned char* p, std::size_t n, bool stop_at_root,
                         const pass_tables& t) const {
        const std::uint32_t* const rows = fast_.data();
        const std::uint32_t stop_at = stop_at_root ? root_offset() : SLOW;
        std::uint32_t off = offset_of(s);
        std::size_t k = 0;
        for (; k < n; ++k) {
            const std::uint32_t next = rows[off + t.class_of[p[k]]];
            if (next >= stop_at) break;
            off = next;
        }
        s = state_at(off);
        return k;
    }

    /// Interleaved streams: a long span of input is cut into several streams, stepped side by
    /// side so that their loads overlap, each but the first warmed up from the root over the
    /// bytes before it (which makes its state exact from its first byte on). What each step
    /// leads to is noted as a trace value, at least trace_completes() where a walk completes.
    /// Whether the automaton is shallow enough for streams, and the spans they take.
    bool streams_usable() const { return max_depth_ <= MAX_WARM; }
    std::size_t streams_min_span() const {
        return STREAMS * std::max<std::size_t>(256, 4 * max_depth_);
    }
    static constexpr std::size_t STREAMS_MAX_SPAN = WIDE_STREAMS * WIDE_STREAM_BYTES;
    /// Follows p[0..n) (streams_min_span() <= n <= STREAMS_MAX_SPAN) from state from, and notes
    /// in trace[k] the trace value after byte k.
    void follow_streams(const unsigned char* p, std::size_t n, state_id from, const pass_tables& t,
                        std::uint32_t* trace) const;
    std::uint32_t trace_completes() const { return dense_.empty() ? COMPLETES : dense_completes_; }
    /// The state of a trace value.
    state_id state_of_trace(std::uint32_t v) const {
        return dense_.empty() ? v : state_of_dense_row_[row_index(v)];
    }
    /// Whether the deepest walk alive at a trace value is complete there, and then its depth and
    /// record: a shortcut that automata with dense rows have (see make_dense).
    bool deepest_completes(std::uint32_t v, std::size_t& depth, replacement*& record) const {
        if (dense_.empty()) return false;
        const dense_info& info = dense_info_[row_index(v)];
        depth = info.depth;
        record = info.record;
        return info.depth == info.completed_depth;
    }

    /// The mark of a state at which a walk completes.
    static constexpr state_id COMPLETES = state_id{1} << 31;

  private:
    literal_automaton() = default;
    /// What a step reads, as plain values: a loop that also stores through pointers keeps them in
    /// registers, where it would load the automaton's fields again after every store.
    class stepper {
      public:
        /// The state after key (a byte as looked up, case folded where the pass folds). The
        /// result carries a mark when a walk is complete there (see completes); every function
        /// here takes states with or without it.
        state_id step(state_id s, unsigned char key) const {
            for (;;) {
                if (has_row(s)) return row_step(s, key);
                if (node_step(s, key)) return s;
            }
        }
        bool has_row(state_id s) const { return (s & ~COMPLETES) < row_count_; }
        /// The state after key from a state with a row.
        state_id row_step(state_id s, unsigned char key) const {
            return rows_[(s & ~COMPLETES) * class_count_ + class_of_[key]];
        }
        /// The state after key from a state s without a row, when s has an edge for it: then s
        /// is that state and the result is true. Else s is its link, where the step goes on.
        bool node_step(state_id& s, unsigned char key) const {
            const std::uint32_t* n = node(s);
            const std::uint32_t count = n[1] & COUNT_MASK;
            std::uint32_t e =
                find_key(reinterpret_cast<const unsigned char*>(n + HEADER), count, key);
            // The key's target, or the link at word 0, chosen by a mask: a jump on whether the
            // key was found would often be foreseen wrong. The empty statement hides where e
            // comes from, or the compiler makes the jump all the same.
            __asm__("" : "+r"(e));
            const std::uint32_t found = 0 - static_cast<std::uint32_t>(e < count);
            s = n[(HEADER + (count + 3) / 4 + e) & found];
            return found != 0;
        }
        /// Asks for what a step from s reads, ahead of time.
        void prefetch(state_id s) const {
            if (!has_row(s)) __builtin_prefetch(node(s));
        }

      private:
        friend class literal_automaton;
        stepper(const state_id* rows, const std::uint16_t* class_of, const std::uint32_t* nodes,
                std::uint32_t row_count, std::uint32_t class_count)
            : rows_(rows),
              class_of_(class_of),
              nodes_(nodes),
              row_count_(row_count),
              class_count_(class_count) {}
        const std::uint32_t* node(state_id s) const {
            return nodes_ + ((s & ~COMPLETES) - row_count_);
        }
        const state_id* rows_;
        const std::uint16_t* class_of_;
        const std::uint32_t* nodes_;
        std::uint32_t row_count_;
        std::uint32_t class_count_;
    };
    /// The steps over this automaton, good while it lives.
    stepper steps() const {
        return stepper{rows_.data(), class_of_, nodes_.data(), row_count_,
                       static_cast<std::uint32_t>(class_count_)};
    }
    /// The rows of run_rows' tight loop over the shallow states (fast_, see link): entry
    /// fast_[off + class] is the offset of the next state's row, SLOW or more when the step needs
    /// more than that (a completion, or a state without a whole row), and root_offset() for the
    /// root, whose row comes twice: at offset 0 and, copied, at root_offset(), above every other
    /// offset.
    static constexpr std::uint32_t SLOW = std::uint32_t{1} << 31;
    std::uint32_t root_offset() const {
        return row_count_ * static_cast<std::uint32_t>(class_count_);
    }
    /// The offset of s's row (the root's copy for the root); s has a row.
    std::uint32_t offset_of(state_id s) const {
        return s == ROOT ? root_offset() : s * static_cast<std::uint32_t>(class_count_);
    }
    /// The state whose row is at off.
    state_id state_at(std::uint32_t off) const {
        return off == root_offset() ? ROOT : row_index(off);
    }

    /// Rows for the interleaved streams, which note completions instead of stopping at them
    /// (dense_, see make_dense): every state has one, entry dense_rows()[off + class] is the
    /// offset of the next state's row, the root's row is at 0, and the rows of the states at which
    /// a walk is complete (along their links) are those from dense_completes() on. Only for
    /// automata whose rows fit in dense_budget bytes; has_dense() says whether they were made.
    const std::uint32_t* dense_rows() const { return dense_.data(); }
    std::uint32_t dense_completes() const { return dense_completes_; }
    std::uint32_t dense_offset_of(state_id s) const {
        return dense_row_of_[s & ~COMPLETES] * static_cast<std::uint32_t>(class_count_);
    }
    state_id dense_state_at(std::uint32_t off) const { return state_of_dense_row_[row_index(off)]; }
    /// What a pass over the dense rows needs at a row: the depth of its state, and the depth and
    /// record of the deepest state along it and its links at which a walk is complete (0 and null
    /// for none).
    struct dense_info {
        std::uint32_t depth;
        std::uint32_t completed_depth;
        replacement* record;
    };
    /// A stream of a span over an automaton without dense rows: its state, whether the node of a
    /// state without a row was asked for, its next byte and its end.
    struct sparse_stream {
        state_id s;
        bool asked;
        std::size_t at;
        std::size_t end;
    };
    /// follow_streams over dense rows; over sparse nodes (see the .cpp).
    void follow_dense(const unsigned char* p, std::size_t n, state_id from, const pass_tables& t,
                      std::uint32_t* trace) const;
    void follow_sparse(const unsigned char* p, std::size_t n, state_id from, const pass_tables& t,
                       std::uint32_t* trace) const;
    template <bool NOTE>
    static void step_streams(const stepper& steps, const unsigned char* key_of,
                             const unsigned char* p, sparse_stream (&streams)[SPARSE_STREAMS],
                             std::uint32_t* trace);
    /// The index of the row at off: an exact division by the row's size, as a shift, then a
    /// product with the inverse of its odd part modulo 2^32.
    std::uint32_t row_index(std::uint32_t off) const { return (off >> row_shift_) * row_inverse_; }
    /// A state without a row is the node of words at node(s): its link, its edge count (the low
    /// COUNT_BITS bits) and depth, its completed state, then either its record (a state with one
    /// has no edges) or its edges' keys, padded to a word, and the states they lead to. Its id is
    /// the node's place beyond the rows' ids, so that a step reads one place.
    static constexpr std::uint32_t HEADER = 3;
    static constexpr unsigned COUNT_BITS = 9;
    static constexpr std::uint32_t COUNT_MASK = (std::uint32_t{1} << COUNT_BITS) - 1;
    static constexpr std::size_t MAX_NODE_DEPTH = std::size_t{1} << (32 - COUNT_BITS);
    const std::uint32_t* node(state_id s) const { return steps().node(s); }
    struct state_info {
        std::uint32_t first_edge;
        std::uint32_t edge_count;
        std::uint32_t depth;
        state_id fail;
        state_id completed;
        replacement* repl;
    };
    template <typename T>
    using counted_vector = std::vector<T, counted_allocator<T>>;

    /// Makes the states and edges; false when the trie does not qualify.
    bool unfold(trie_node* root, std::size_t max_depth, std::size_t max_states);
    /// The states, shallower before deeper.
    counted_vector<state_id> breadth_first_order() const;
    /// Sets the links, the completed states and the rows; order is breadth_first_order().
    void link(const counted_vector<state_id>& order);
    /// Makes the dense rows, when they fit in budget bytes.
    void make_dense(const counted_vector<state_id>& order, std::size_t budget);
    /// Lays the states without rows out as nodes and gives every state its final id; false when
    /// the ids would not fit.
    bool pack();

    bool usable_ = false;
    std::size_t row_budget_ = 0;        ///< the most bytes of rows beside the dense ones
    state_id breadth_count_ = 0;        ///< the first states are numbered breadth first
    state_id row_count_ = 0;            ///< the first states have whole transition rows
    std::size_t max_depth_ = 0;         ///< the deepest state's depth
    std::size_t class_count_ = 1;       ///< entries of a row
    unsigned row_shift_ = 0;            ///< class_count_ is an odd number times 2^row_shift_
    std::uint32_t row_inverse_ = 1;     ///< the odd number's inverse modulo 2^32
    std::uint16_t class_of_[256] = {};  ///< a row's entry for each key
    // While building: the states, numbered as unfold made them, and their edges.
    counted_vector<state_info> states_;
    counted_vector<unsigned char> keys_;
    counted_vector<state_id> targets_;
    // Once built:
    counted_vector<state_info> row_info_;  ///< the states with rows
    counted_vector<std::uint32_t> nodes_;  ///< the others, then words that find_key may read
    counted_vector<state_id> rows_;
    counted_vector<std::uint32_t> fast_;
    counted_vector<std::uint32_t> dense_;
    counted_vector<std::uint32_t> dense_row_of_;   ///< each state's dense row
    counted_vector<state_id> state_of_dense_row_;  ///< each dense row's state
    counted_vector<dense_info> dense_info_;        ///< what each dense row holds
    std::uint32_t dense_completes_ = 0;
};

}  // namespace kestrom
