#include "pattern/trie.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <new>
#include <utility>
#include <vector>

#include "pattern/automaton.hpp"
#include "pattern/prefix_filter.hpp"
#include "pattern/required_literal.hpp"
#include "pattern/tree_size.hpp"
#include "util/alloc.hpp"
#include "util/ascii.hpp"

namespace kestrom {

struct trie::node_chunk {
    static constexpr std::size_t CAPACITY = 1024;
    node_chunk* prev;
    std::size_t used;
    trie_node nodes[CAPACITY];
};

namespace {
/// The most paths that the automaton and the prefix filter may unfold a trie with shared lists
/// into, beyond a few per node: sharing comes from sets, whose lists the walk steps through as
/// fast as an automaton of a million states (measured on runs of digit sets, dates included),
/// without its building, which would cost far more than the trie itself.
constexpr std::size_t SHARED_MAX_PATHS = 1 << 16;
constexpr std::size_t SHARED_PATHS_PER_NODE = 4;
/// Lists shorter than this are walked; a table pays off only on longer ones.
constexpr std::size_t INDEX_MIN_LENGTH = 8;
/// At most this many tables (2 KiB each): a trie multiplied by sets needs no table per list.
constexpr std::size_t INDEX_MAX_TABLES = 8192;
/// At most this many lists are looked at, so that the search for long lists stays small beside a
/// trie of millions of nodes; lists not reached are walked, as without tables.
constexpr std::size_t INDEX_MAX_HEADS = 1 << 20;

/// Destroys what slot holds, if anything, and releases its memory.
template <typename T>
void drop(T*& slot) {
    if (slot == nullptr) return;
    slot->~T();
    xfree(slot, sizeof(T));
    slot = nullptr;
}

/// What slot holds, built anew from args unless it was built for this version and parameter.
template <typename T, typename... Args>
const T& rebuilt(T*& slot, std::uint64_t& built_version, std::size_t& built_param,
                 std::uint64_t version, std::size_t param, Args&&... args) {
    if (slot != nullptr && built_version == version && built_param == param) return *slot;
    drop(slot);
    slot = new (xmalloc(sizeof(T))) T(std::forward<Args>(args)...);
    built_version = version;
    built_param = param;
    return *slot;
}
}  // namespace

trie::~trie() {
    drop_byte_tables();
    drop(automaton_);
    drop(prefixes_);
    drop(required_);
    xfree(tables_, table_count_ * sizeof(list_index));

    while (chunks_ != nullptr) {
        node_chunk* prev = chunks_->prev;
        xfree(chunks_, sizeof(node_chunk));
        chunks_ = prev;
    }
}

trie_node* trie::node_new(std::uint16_t code, trie_node* next) {
    if (chunks_ == nullptr || chunks_->used == node_chunk::CAPACITY) {
        auto* c = static_cast<node_chunk*>(xmalloc(sizeof(node_chunk)));
        c->prev = chunks_;
        c->used = 0;
        chunks_ = c;
    }
    trie_node* n = &chunks_->nodes[chunks_->used++];
    ++node_count_;
    *n = trie_node{code, false, 0, nullptr, nullptr, next};
    ++version_;
    if (code == CODE_ANYSTR) {
        ++star_count_;
        drop_byte_tables(true);  // a star's list is also reached through its child
    }
    return n;
}

namespace {
/// Lists whose walk at registration passes this many nodes get a byte table.
constexpr std::size_t BYTE_TABLE_FROM = 8;

/// Where the open hash of byte tables looks for a head field first: its address, scrambled.
std::size_t slot_of(trie_node** head_field, std::size_t mask) {
    return static_cast<std::size_t>(
               (reinterpret_cast<std::uintptr_t>(head_field) >> 3) * 0x9e3779b97f4a7c15ull >> 20) &
           mask;
}
}  // namespace

trie_node** trie::byte_table(trie_node** head_field) {
    if (byte_table_count_ == 0) return nullptr;
    const std::size_t mask = byte_tables_.size() - 1;
    for (std::size_t k = slot_of(head_field, mask);; k = (k + 1) & mask) {
        if (byte_tables_[k].head_field == head_field) return byte_tables_[k].table;
        if (byte_tables_[k].head_field == nullptr) return nullptr;
    }
}

trie_node** trie::make_byte_table(trie_node** head_field) {
    if (byte_tables_off_ || byte_table_count_ == MAX_BYTE_TABLES) return nullptr;
    // Open addressing: a slot is taken at the first free place from where its head field hashes.
    auto place = [this](const byte_table_slot& slot) {
        const std::size_t mask = byte_tables_.size() - 1;
        std::size_t k = slot_of(slot.head_field, mask);
        while (byte_tables_[k].head_field != nullptr)
            k = (k + 1) & mask;
        byte_tables_[k] = slot;
    };
    if (2 * (byte_table_count_ + 1) > byte_tables_.size()) {
        // Twice as many slots, the tables hashed in anew.
        std::vector<byte_table_slot, counted_allocator<byte_table_slot>> old(
            std::max<std::size_t>(64, 2 * byte_tables_.size()), byte_table_slot{nullptr, nullptr});
        old.swap(byte_tables_);
        for (const byte_table_slot& s : old) {
            if (s.head_field != nullptr) place(s);
        }
    }
    // Tables come in blocks of many (2 MiB), which go back to the system once released instead
    // of staying in the heap's free pieces.
    trie_node**& block = byte_table_blocks_[byte_table_count_ / TABLES_PER_BLOCK];
    if (block == nullptr) block = static_cast<trie_node**>(xmalloc(BLOCK_BYTES));
    trie_node** const table = block + byte_table_count_ % TABLES_PER_BLOCK * 256;
    std::fill(table, table + 256, nullptr);
    for (trie_node* n = *head_field; n != nullptr && n->code < 256; n = n->next)
        table[n->code] = n;
    place(byte_table_slot{head_field, table});
    ++byte_table_count_;
    return table;
}

void trie::drop_byte_tables(bool for_good) {
    for (trie_node**& block : byte_table_blocks_) {
        xfree(block, BLOCK_BYTES);
        block = nullptr;
    }
    byte_tables_ = decltype(byte_tables_)();
    byte_table_count_ = 0;
    if (for_good) byte_tables_off_ = true;
}

std::size_t trie::shared_max_paths() const {
    return SHARED_MAX_PATHS + SHARED_PATHS_PER_NODE * node_count_;
}

const literal_automaton& trie::automaton(std::size_t max_depth) {
    drop_byte_tables();  // a pass needs none; registration makes them anew
    // Bounded so that a huge trie is walked instead: a state takes about sixty-five bytes while
    // the automaton is built and some twenty once it is, so the building stays below some 500 MiB
    // (a million word pairs, six million states, fit).
    constexpr std::size_t MAX_STATES = std::size_t{7} << 20;
    if (automaton_ != nullptr && automaton_version_ == version_ && automaton_depth_ == max_depth)
        return *automaton_;
    // A trie of more nodes than that is counted first, without the building's memory: a bound of
    // none makes the automaton unusable at once. Shared lists unfold into a state per path, so
    // such a trie is always counted, on its shared form.
    std::size_t expected = node_count_ + 1;
    if (shares_lists_) {
        const std::size_t most = std::min(MAX_STATES, shared_max_paths());
        expected = tree_size(root, SIZE_MAX, most, true) + 1;
        if (expected > most) expected = MAX_STATES + 1;
    } else if (node_count_ >= MAX_STATES && !literal_automaton::may_fit(root, MAX_STATES)) {
        expected = MAX_STATES + 1;
    }
    const std::size_t bound = expected <= MAX_STATES ? MAX_STATES : 0;
    return rebuilt(automaton_, automaton_version_, automaton_depth_, version_, max_depth, root,
                   max_depth, bound, std::min(expected, bound), automaton_dense_budget,
                   automaton_row_budget);
}

const prefix_filter& trie::prefixes(std::size_t max_length) {
    drop_byte_tables();  // a pass needs none; registration makes them anew
    // Shared lists are surveyed path by path: a trie whose paths are too many to survey is
    // counted first, on its shared form, and gets no filter.
    trie_node* surveyed = root;
    if (shares_lists_ && max_length > 1 &&
        tree_size(root, std::min(prefix_filter::MAX_LENGTH, max_length - 1), shared_max_paths()) >
            shared_max_paths()) {
        surveyed = nullptr;
    }
    return rebuilt(prefixes_, prefixes_version_, prefixes_length_, version_, max_length, surveyed,
                   max_length);
}

const required_literal& trie::required(bool fold) {
    return rebuilt(required_, required_version_, required_fold_, version_, fold ? 1 : 0, root,
                   fold);
}

const list_index* trie::update_index() {
    drop_byte_tables();  // a pass needs none; registration makes them anew
    if (indexed_version_ == version_) return tables_;
    indexed_version_ = version_;
    // Only the heads that the last build marked carry marks: a huge trie is not swept whole.
    for (trie_node* head : marked_) {
        head->visited = false;
        head->index = 0;
    }
    marked_.clear();
    xfree(tables_, table_count_ * sizeof(list_index));
    tables_ = nullptr;
    table_count_ = 0;

    // Breadth first from the root, so that the lists met first in a walk get tables first.
    // Stars lead back to their own lists and link mode shares lists: each head is seen once.
    using head_queue = std::vector<trie_node*, counted_allocator<trie_node*>>;
    head_queue heads;
    head_queue long_heads;
    if (root != nullptr) heads.push_back(root);
    for (std::size_t q = 0; q < heads.size() && long_heads.size() < INDEX_MAX_TABLES; ++q) {
        trie_node* head = heads[q];
        if (head->visited) continue;
        head->visited = true;
        marked_.push_back(head);
        std::size_t length = 0;
        for (trie_node* n = head; n != nullptr; n = n->next) {
            ++length;
            if (n->child != nullptr && !n->child->visited && heads.size() < INDEX_MAX_HEADS) {
                heads.push_back(n->child);
            }
        }
        if (length >= INDEX_MIN_LENGTH) {
            long_heads.push_back(head);
        }
    }
    if (long_heads.empty()) return tables_;

    table_count_ = long_heads.size() + 1;
    tables_ = static_cast<list_index*>(xmalloc(table_count_ * sizeof(list_index)));
    for (std::size_t k = 0; k < long_heads.size(); ++k) {
        list_index& table = tables_[k + 1];
        trie_node* any = nullptr;  // '?' or, failing that, '*': what takes every other byte
        for (auto& f : table.first)
            f = nullptr;
        for (trie_node* n = long_heads[k]; n != nullptr; n = n->next) {
            if (n->code < 256) {
                table.first[n->code] = n;
            } else if ((n->code == CODE_ANYCHAR || n->code == CODE_ANYSTR) && any == nullptr) {
                any = n;
            }
            table.last = n;
        }
        for (auto& f : table.first) {
            if (f == nullptr) f = any;
        }
        long_heads[k]->index = static_cast<std::uint32_t>(k + 1);
    }
    return tables_;
}

replacement* trie::record_new(const char* text, std::size_t length) {
    auto* r = static_cast<replacement*>(store_.allocate(sizeof(replacement)));
    auto* copy = static_cast<char*>(store_.allocate(length + 1));
    if (length > 0) std::memcpy(copy, text, length);
    copy[length] = '\0';
    *r = replacement{length, copy, 0};
    // A new pattern may also change nodes that exist (a record on a node, a list linked anew):
    // whatever was worked out from the trie before it no longer holds.
    ++version_;
    return r;
}

void trie::note_shared_lists() {
    if (shares_lists_) return;
    shares_lists_ = true;
    // A byte table belongs to one head field; the others that hold the list would not see it.
    drop_byte_tables(true);
}

void trie::set_holders(trie_node* head, std::uint32_t count) {
    if (count <= 1) {
        holders_.erase(head);
        return;
    }
    note_shared_lists();
    holders_[head] = count;
}

void trie::drop_holder(trie_node* head) {
    if (head == nullptr || holders_.empty()) return;
    const auto at = holders_.find(head);
    if (at == holders_.end()) return;
    if (--at->second <= 1) holders_.erase(at);
}

trie_node* trie::copy_list(trie_node* head, std::uint32_t count) {
    trie_node* first = nullptr;
    trie_node** link = &first;
    trie_node* star = nullptr;
    for (const trie_node* n = head; n != nullptr; n = n->next) {
        trie_node* copy = node_new(n->code, nullptr);
        copy->repl = n->repl;
        if (n->code == CODE_ANYSTR) {
            star = copy;  // leads back to the head of its own list
        } else if (n->child != nullptr) {
            copy->child = n->child;
            set_holders(n->child, holders(n->child) + 1);
        }
        *link = copy;
        link = &copy->next;
    }
    if (star != nullptr) star->child = first;
    set_holders(first, count);
    return first;
}

void trie::own_list(trie_node** field) {
    trie_node* const head = *field;
    if (head == nullptr || holders(head) < 2) return;
    *field = copy_list(head, 1);
    drop_holder(head);
}

namespace {
trie_node* last_of(trie_node* n) {
    while (n->next != nullptr)
        n = n->next;
    return n;
}
}  // namespace

trie_node* node_insert(trie& t, trie_node** head_field, std::uint16_t code, replacement* repl) {
    trie_node* head = *head_field;
    if (head == nullptr) {
        trie_node* n = t.node_new(code, nullptr);
        *head_field = n;
        n->repl = repl;
        if (code == CODE_ANYSTR) n->child = n;
        return n;
    }
    // A long list's byte table (kept up below) spares the walk along it.
    trie_node** const table = code < 256 ? t.byte_table(head_field) : nullptr;
    if (code < head->code) {
        trie_node* n = t.node_new(code, head);
        *head_field = n;
        n->repl = repl;
        if (table != nullptr) table[code] = n;
        // A star leads back to the head of its list, which has just changed. Without any star the
        // walk to the list's end is saved: sets insert their members from the highest down, so
        // each member would walk the whole list.
        if (t.has_star()) {
            trie_node* last = last_of(n);
            if (last->code == CODE_ANYSTR) last->child = n;
        }
        return n;
    }
    if (code == head->code) {
        if (repl != nullptr) head->repl = repl;
        return head;
    }
    trie_node* prev = head;
    trie_node* cur = head->next;
    trie_node** kept = table;
    if (table != nullptr) {
        cur = table[code];
        if (cur == nullptr) {
            // After the nearest lower byte in the list, the head's at the lowest.
            unsigned c = code - 1U;
            while (c > head->code && table[c] == nullptr)
                --c;
            prev = c > head->code ? table[c] : head;
            cur = prev->next;
        }
    } else {
        std::size_t walked = 0;
        while (cur != nullptr && cur->code < code) {
            prev = cur;
            cur = cur->next;
            ++walked;
        }
        if (walked >= BYTE_TABLE_FROM && code < 256) kept = t.make_byte_table(head_field);
    }
    if (cur != nullptr && cur->code == code) {
        if (repl != nullptr) cur->repl = repl;
        return cur;
    }
    trie_node* n = t.node_new(code, cur);
    prev->next = n;
    n->repl = repl;
    if (kept != nullptr) kept[code] = n;
    if (cur == nullptr && code == CODE_ANYSTR) n->child = *head_field;
    return n;
}

void add_literal(trie& t, trie_node** head_field, const unsigned char* text, std::size_t length,
                 replacement* repl) {
    if (length == 0) {
        node_insert(t, head_field, CODE_EMPTY, repl);
        return;
    }
    trie_node* node = nullptr;
    for (std::size_t i = 0; i < length; ++i) {
        t.own_list(head_field);  // a literal reaches one copy alone
        node = node_insert(t, head_field, text[i], nullptr);
        head_field = &node->child;
    }
    node->repl = repl;  // a later registration of the same text wins
}

}  // namespace kestrom
