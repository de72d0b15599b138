// The pattern trie: every search pattern of a run, one node per pattern element. A node's child
// list holds the nodes that may follow it; lists are singly linked and sorted by code.
#pragma once

#include <cstddef>
#include <cstdint>
#include <unordered_map>
#include <vector>

#include "util/alloc.hpp"
#include "util/arena.hpp"

namespace kestrom {

/// Node codes 0..255 accept exactly that byte; the others are these.
inline constexpr std::uint16_t CODE_ANYCHAR = 256;  ///< '?': any one byte
inline constexpr std::uint16_t CODE_NOSET = 257;    ///< an empty set: accepts nothing
inline constexpr std::uint16_t CODE_EMPTY = 258;    ///< the empty pattern; only in the root list
inline constexpr std::uint16_t CODE_ANYSTR = 299;   ///< '*': any byte, again and again; always last

/// What a found text is replaced with: length bytes (NUL bytes allowed) followed by one NUL.
struct replacement {
    std::size_t length;
    char* text;
    /// Whether some byte of the text may mean more than itself in the replacement language:
    /// 0 not yet known, 1 no, 2 yes (worked out by the emitter on first use).
    unsigned char operators = 0;
};

struct trie_node {
    std::uint16_t code;   ///< what the node accepts
    bool visited;         ///< scratch mark of the index build
    std::uint32_t index;  ///< lookup table of the list from this node on (0: none); see list_index
    replacement* repl;    ///< record of the pattern complete at this node, or null
    trie_node* child;     ///< head of the following list; for a star, the head of its own list
    trie_node* next;      ///< next node of the same list
};

/// A precomputed lookup over one long list: what find_child would return for each byte, and the
/// list's last node. Only a cache: the lists themselves stay the truth.
struct list_index {
    trie_node* first[256];
    trie_node* last;
};

class literal_automaton;
class prefix_filter;
struct required_literal;

/// Owns the nodes and records of all registered patterns; they are never released before it.
class trie {
  public:
    trie() = default;
    ~trie();
    trie(const trie&) = delete;
    trie& operator=(const trie&) = delete;

    trie_node* root = nullptr;  ///< the root list
    /// The most bytes that the automaton's dense rows may take (see literal_automaton): up to
    /// there, a pass steps through whole rows. Read when the automaton is built, so set it first.
    std::size_t automaton_dense_budget = std::size_t{128} << 20;
    /// The most bytes that the automaton's other rows, for its shallow states, may take (kept
    /// small enough for the cache); its other states are stepped through one by one. Read when
    /// the automaton is built, as the dense budget is.
    std::size_t automaton_row_budget = std::size_t{1} << 20;

    /// A new node with the code and next; repl and child are null.
    trie_node* node_new(std::uint16_t code, trie_node* next);
    /// A new record holding a copy of length bytes of text.
    replacement* record_new(const char* text, std::size_t length);

    /// Builds the lookup tables of the long lists reachable from the root, unless they are up to
    /// date; returns them, indexed by trie_node::index. Call before a pass: the tables hold only
    /// while no node is added.
    const list_index* update_index();

    /// The automaton of the trie for walks shorter than max_depth bytes, built unless up to date
    /// (see literal_automaton; it may be unusable). Holds only while no node is added.
    const literal_automaton& automaton(std::size_t max_depth);

    /// The filter of the trie's prefixes for walks shorter than max_length bytes, built unless
    /// up to date (see prefix_filter; it may be unusable). Holds only while no node is added.
    const prefix_filter& prefixes(std::size_t max_length);

    /// The literal that every found text holds, looked up by keys (upper case when fold), worked
    /// out unless up to date (see required_literal; its length may be 0): the survey of a large
    /// trie costs more than a small file's pass. Holds only while no node is added.
    const required_literal& required(bool fold);

    /// Grows with every node and record added: what was worked out from the trie holds while it
    /// stays.
    std::uint64_t version() const { return version_; }

    /// Whether any star node exists: without one, no list needs its star's child kept up.
    bool has_star() const { return star_count_ != 0; }

    /// Whether plain mode shares what it builds after a set among the set's members while their
    /// copies stay equal, so that a pattern costs its length times its sets' sizes instead of
    /// their product. Off only for the reference that tests compare the shared form with: each
    /// member then gets a copy of its own.
    bool share_copies = true;

    /// Whether some list is reached through more than one node's child (copies shared, or link
    /// mode): an analysis that walks every path from the root would then unfold the sharing.
    bool shares_lists() const { return shares_lists_; }
    /// Marks that some list is reached through more than one node's child.
    void note_shared_lists();

    /// How many child fields hold the list that begins at head as a copy shared while equal: 1
    /// for a list of its own (which link mode may still share on purpose), more for a shared one.
    std::uint32_t holders(const trie_node* head) const {
        if (holders_.empty()) return 1;
        const auto at = holders_.find(head);
        return at == holders_.end() ? 1 : at->second;
    }
    /// Records that count fields (one or more) hold the list at head.
    void set_holders(trie_node* head, std::uint32_t count);
    /// Makes sure that the field is the only holder of its list before something is added through
    /// it: a shared list is copied for it (its nodes, not what lies below them, which the copy
    /// shares in turn).
    void own_list(trie_node** field);
    /// A copy of the list at head, of which count fields become the holders; the copied nodes'
    /// lists gain the copy as a holder, and a star leads back to the copy's head.
    trie_node* copy_list(trie_node* head, std::uint32_t count);
    /// One holder of the list at head lets go of it.
    void drop_holder(trie_node* head);

    /// For a long list, found by the field that holds its head: the node that takes each byte,
    /// or null. Only registration's help (see node_insert), kept up by it while nodes are added;
    /// null for a list without one, and for every list once the trie has a star or shares a list.
    trie_node** byte_table(trie_node** head_field);
    /// Makes the byte table of the list at head_field from its nodes and returns it; null past
    /// the bound on tables or once they are stopped.
    trie_node** make_byte_table(trie_node** head_field);
    /// Releases the byte tables (a pass has no use for them; node_insert makes them anew). With
    /// for_good, as when lists come to be shared, none is made again: an insert through one
    /// head field would not be seen by the table of another.
    void drop_byte_tables(bool for_good = false);

  private:
    struct node_chunk;
    /// The most paths that an analysis may unfold a trie with shared lists into.
    std::size_t shared_max_paths() const;
    arena store_;
    node_chunk* chunks_ = nullptr;  // every node, for the index build
    std::uint64_t version_ = 0;     // grows with every node and record added
    std::size_t star_count_ = 0;    // star nodes made
    std::size_t node_count_ = 0;    // nodes made
    std::uint64_t indexed_version_ = ~std::uint64_t{0};
    list_index* tables_ = nullptr;  // tables_[0] is unused: index 0 means none
    std::size_t table_count_ = 0;
    std::vector<trie_node*, counted_allocator<trie_node*>> marked_;  // heads the last build marked
    literal_automaton* automaton_ = nullptr;
    std::uint64_t automaton_version_ = 0;
    std::size_t automaton_depth_ = 0;
    prefix_filter* prefixes_ = nullptr;
    std::uint64_t prefixes_version_ = 0;
    std::size_t prefixes_length_ = 0;
    required_literal* required_ = nullptr;
    std::uint64_t required_version_ = 0;
    std::size_t required_fold_ = 0;
    struct byte_table_slot {
        trie_node** head_field;
        trie_node** table;  // 256 entries
    };
    std::vector<byte_table_slot, counted_allocator<byte_table_slot>> byte_tables_;  // open hash
    static constexpr std::size_t MAX_BYTE_TABLES = 16384;                           // 2 KiB each
    static constexpr std::size_t TABLES_PER_BLOCK = 1024;
    static constexpr std::size_t BLOCK_BYTES = TABLES_PER_BLOCK * 256 * sizeof(trie_node*);
    trie_node** byte_table_blocks_[MAX_BYTE_TABLES / TABLES_PER_BLOCK] = {};
    std::size_t byte_table_count_ = 0;
    bool byte_tables_off_ = false;
    bool shares_lists_ = false;
    using holder_map =
        std::unordered_map<const trie_node*, std::uint32_t, std::hash<const trie_node*>,
                           std::equal_to<>,
                           counted_allocator<std::pair<const trie_node* const, std::uint32_t>>>;
    holder_map holders_;  // the lists shared as copies, by head; a list not here has one holder
};

/// The node of the list in *head_field with the code, found or created, keeping the list sorted
/// and a star's child at the list's head. A non-null repl is set on the node.
trie_node* node_insert(trie& t, trie_node** head_field, std::uint16_t code, replacement* repl);

/// The first node from list on (along next) that accepts byte: an exact byte node before '?'
/// before '*'. Null when none does.
inline trie_node* find_child(trie_node* list, unsigned char byte) {
    for (trie_node* n = list; n != nullptr; n = n->next) {
        if (n->code == byte || n->code == CODE_ANYCHAR || n->code == CODE_ANYSTR) return n;
    }
    return nullptr;
}

/// Inserts length bytes of text as one path of byte nodes below *head_field; the last node gets
/// repl. An empty text gives the root list's CODE_EMPTY node.
void add_literal(trie& t, trie_node** head_field, const unsigned char* text, std::size_t length,
                 replacement* repl);

}  // namespace kestrom
