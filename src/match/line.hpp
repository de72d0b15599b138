// The line matcher: each input record (a line, or a NUL-terminated record) is looked up whole in
// the trie; a record that a pattern matches from its first byte to its last is replaced, every
// other record is copied, and each is followed by the output terminator.
#pragma once

#include <cstddef>
#include <cstdint>

#include "run_state.hpp"
#include "util/byte_stream.hpp"
#include "util/dyn_str.hpp"

namespace kestrom {

/// Reads the next record ending in term (NUL or '\n') into ds; returns ds->data, or null when
/// the input holds no further record.
unsigned char* read_record(dyn_str* ds, byte_reader& in, unsigned char term);
/// A record ended by NUL (or by the end of the input).
unsigned char* read_nul_record(dyn_str* ds, byte_reader& in);
/// A line ended by a line feed, without a carriage return before it, or by the end of the input,
/// without a final Ctrl-Z.
unsigned char* read_text_line(dyn_str* ds, byte_reader& in);

/// Scratch memory of the lookup, kept from record to record so that it grows only with the
/// longest record: the search's explicit stack and what it remembers of failed lookups. The trie
/// must not change while one line_search is in use.
class line_search {
  public:
    /// A lookup starts remembering what it tried after steps_per_byte steps per byte of the
    /// record plus steps_base; tests lower both to remember from the first step.
    explicit line_search(std::size_t steps_per_byte = 2, std::size_t steps_base = 1024)
        : steps_per_byte_(steps_per_byte),
          steps_base_(steps_base),
          budget_below_(steps_per_byte == 0 ? SIZE_MAX : (SIZE_MAX - steps_base) / steps_per_byte) {
    }
    ~line_search();
    line_search(const line_search&) = delete;
    line_search& operator=(const line_search&) = delete;

    /// The replacement of the first pattern that matches all len bytes of text, from list on.
    replacement* find(trie_node* list, const unsigned char* text, std::size_t len, bool fold);

  private:
    struct frame {
        trie_node* list;   ///< head of the list looked up
        trie_node* cand;   ///< the candidate being tried, or null before the first
        std::size_t pos;   ///< index of the byte looked up
        std::size_t stop;  ///< the list's star need not go on to this position: it failed there
    };
    /// A (list, position) lookup that was made, in a list reached through several nodes.
    struct tried {
        trie_node* list;
        std::size_t pos;
        std::uint64_t generation;  ///< the search that stored it; other slots count as empty
    };
    /// What the search knows of one list of the trie.
    struct list_info {
        trie_node* list;             ///< the list's head; null: an empty slot
        trie_node* parent;           ///< the first node found leading to it
        std::size_t floor;           ///< star lists: lowest position looked up in floor_search
        std::uint64_t floor_search;  ///< the search that set floor
        unsigned char walk;          ///< 1 while the trie walk is below it, 2 when done
        bool star_list;              ///< the list ends in a star without a replacement
        bool shared;                 ///< more than one node leads to it
    };

    /// The bytes that a list ending in a star takes other than by its star, for a few lists.
    struct star_run {
        trie_node* list;  ///< null: an empty slot
        bool fold;
        unsigned char count;  ///< bytes held, or STAR_RUN_ANY: '?' takes any byte
        unsigned char bytes[6];
    };
    static constexpr std::size_t STAR_RUN_SLOTS = 16;
    static constexpr unsigned char STAR_RUN_ANY = 0xff;

    void push(const frame& f);
    /// The first position from from on where a byte of text may be taken by list, which ends in a
    /// star, other than by its star: before it the star takes every byte. len when there is none.
    std::size_t star_run_end(trie_node* list, const unsigned char* text, std::size_t from,
                             std::size_t len, bool fold);
    /// Records that list was looked up at pos; false when it already was.
    bool first_visit(trie_node* list, std::size_t pos);
    void grow_seen();
    /// Whether a lookup of list at pos may succeed, as far as earlier lookups tell; records it.
    /// For a star list, stop becomes the position from which on it is known to fail.
    bool may_match(trie_node* list, std::size_t pos, std::size_t& stop);
    /// Walks the trie from root once: which lists end in a star, which are reached through
    /// several nodes, and whether any list leads back to itself other than through its star.
    void survey(trie_node* root);
    list_info* info_of(trie_node* list, bool insert);

    std::size_t steps_per_byte_;
    std::size_t steps_base_;
    std::size_t budget_below_;  // records this long and longer get no budget: it would overflow
    star_run star_runs_[STAR_RUN_SLOTS] = {};  // direct mapped by the list's address
    frame* stack_ = nullptr;
    std::size_t stack_capacity_ = 0;
    std::size_t depth_ = 0;
    tried* seen_ = nullptr;  // open addressing over a power of two slots
    std::size_t seen_capacity_ = 0;
    std::size_t seen_count_ = 0;
    std::uint64_t generation_ = 0;
    list_info* infos_ = nullptr;  // open addressing over a power of two slots
    std::size_t info_capacity_ = 0;
    std::size_t info_count_ = 0;
    trie_node* surveyed_root_ = nullptr;  // the root of the survey; null: none yet
    bool cyclic_ = false;                 // the survey found a cycle: remember every lookup
};

/// The replacement of the first pattern that matches all of the NUL-terminated text rest, looked
/// up from list depth first: for each byte the exact node, then '?', then '*'. Null when none.
replacement* match_line(trie_node* list, const unsigned char* rest, bool fold,
                        line_search& scratch);
/// The same with scratch memory of its own.
replacement* match_line(trie_node* list, const unsigned char* rest, bool fold);

/// Filters in to out record by record. Returns 0 when a record was replaced, 1 when none was, 2
/// when a write to out failed. A read error ends the input; the caller tells it from the end
/// through in.failed(). out is flushed before the return. fast off looks every record up in full,
/// the reference for the fast route, which passes over records without the trie's required
/// literal and takes the records the reader's buffer holds whole in place.
int line_replace(run_state& rs, byte_reader& in, byte_writer& out, bool fast = true);

}  // namespace kestrom
