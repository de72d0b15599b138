#include "pattern/compiler.hpp"

#include <algorithm>
#include <cstring>
#include <vector>

#include "pattern/char_set.hpp"
#include "util/alloc.hpp"

namespace kestrom {

namespace {

enum class element_kind { ANYSTR, ANYCHAR, SET, LITERAL };

/// One element of a pattern: its kind, the position of its last byte and, for a literal, its byte.
struct element {
    element_kind kind;
    std::size_t end;
    unsigned char byte;
};

/// The element that starts at position i; last is the position of the pattern's last byte.
element recognise(const unsigned char* text, std::size_t i, std::size_t last) {
    const unsigned char c = text[i];
    switch (c) {
        case '*':
            return {element_kind::ANYSTR, i, c};
        case '?':
            return {element_kind::ANYCHAR, i, c};
        case '[':
            // The first ']' closes the set, whatever stands before it; a NUL does not stop the
            // search either. Without one the '[' is an ordinary byte.
            if (i < last) {
                const void* close = std::memchr(text + i + 1, ']', last - i);
                if (close != nullptr) {
                    auto j =
                        static_cast<std::size_t>(static_cast<const unsigned char*>(close) - text);
                    return {element_kind::SET, j, c};
                }
            }
            return {element_kind::LITERAL, i, c};
        case '\\':
            if (i < last) {
                const unsigned char protectee = text[i + 1];
                if (protectee == '*' || protectee == '?' || protectee == '[' || protectee == '\\') {
                    return {element_kind::LITERAL, i + 1, protectee};
                }
            }
            return {element_kind::LITERAL, i, c};
        default:
            return {element_kind::LITERAL, i, c};
    }
}

}  // namespace

struct cursor_pool::block {
    static constexpr std::size_t CAPACITY = 4096;
    block* prev;
    compile_cursor cursors[CAPACITY];
};

cursor_pool::~cursor_pool() {
    while (blocks_ != nullptr) {
        block* prev = blocks_->prev;
        xfree(blocks_, sizeof(block));
        blocks_ = prev;
    }
}

compile_cursor* cursor_pool::push(compile_cursor** list, trie_node* node) {
    compile_cursor* c = free_;
    if (c != nullptr) {
        free_ = c->next;
    } else {
        // Cursors never used are handed out in order: most patterns need a handful of them.
        if (blocks_ == nullptr || fresh_ == block::CAPACITY) {
            auto* b = static_cast<block*>(xmalloc(sizeof(block)));
            b->prev = blocks_;
            blocks_ = b;
            fresh_ = 0;
        }
        c = &blocks_->cursors[fresh_++];
    }
    *c = compile_cursor{node, *list};
    *list = c;
    return c;
}

void cursor_pool::release(compile_cursor* list) {
    if (list == nullptr) return;
    compile_cursor* last = list;
    while (last->next != nullptr)
        last = last->next;
    last->next = free_;
    free_ = list;
}

namespace {

/// The child field through which a cursor's next element attaches.
trie_node** field_of(const build_target& to, const compile_cursor* c) {
    return c->node == nullptr ? to.root_head : &c->node->child;
}

/// Adds code with value to the one list that every field of fields holds (or to the empty lists
/// they hold), so that they all hold the same list afterwards: what one of them gets, each of
/// its copies would get. Returns the node that has the code.
trie_node* attach_shared(trie& t, trie_node** const* fields, std::size_t count, std::uint16_t code,
                         replacement* value) {
    trie_node* const head = *fields[0];
    const auto holding = static_cast<std::uint32_t>(count);
    if (head != nullptr && holding < t.holders(head)) {
        // Others hold the list too: these fields go on with a copy of their own.
        trie_node* copy = t.copy_list(head, holding);
        for (std::uint32_t h = 0; h < holding; ++h) {
            t.drop_holder(head);
            *fields[h] = copy;
        }
    }
    trie_node* const before = *fields[0];
    trie_node* const node = node_insert(t, fields[0], code, value);
    trie_node* const after = *fields[0];
    if (after != before) {
        // A new head (or a new list): every holder leads to it.
        for (std::size_t h = 1; h < count; ++h)
            *fields[h] = after;
        t.set_holders(before, 1);
        t.set_holders(after, holding);
    }
    return node;
}

}  // namespace

void attach_plain(const build_target& to, std::uint16_t code, replacement* value,
                  const compile_cursor* cursors, compile_cursor** new_list) {
    trie& t = to.t;
    cursor_pool& pool = to.pool;
    if (!t.share_copies) {
        for (const compile_cursor* c = cursors; c != nullptr; c = c->next) {
            trie_node* node = node_insert(t, field_of(to, c), code, value);
            // After a star the cursor stays: what follows goes beside the star, in the list that
            // the star's child leads back to.
            pool.push(new_list, code == CODE_ANYSTR ? c->node : node);
        }
        return;
    }
    if (cursors != nullptr && cursors->next == nullptr) {
        // One cursor, as for most elements: it only needs its list to itself.
        trie_node** field = field_of(to, cursors);
        t.own_list(field);
        trie_node* node = node_insert(t, field, code, value);
        pool.push(new_list, code == CODE_ANYSTR ? cursors->node : node);
        return;
    }
    // Cursors whose fields hold one list that is shared as copies, or hold no list yet (the
    // members of a set, say), are served together: one insertion, and they go on sharing. The
    // others each have a list of their own (link mode may have shared it on purpose) and are
    // served one by one, in order, as each copy would be.
    struct slot {
        trie_node* list;
        trie_node** field;
        const compile_cursor* cursor;
    };
    counted_vector<slot> together;
    for (const compile_cursor* c = cursors; c != nullptr; c = c->next) {
        trie_node** field = field_of(to, c);
        if (*field == nullptr || t.holders(*field) >= 2) {
            together.push_back(slot{*field, field, c});
            continue;
        }
        trie_node* node = node_insert(t, field, code, value);
        pool.push(new_list, code == CODE_ANYSTR ? c->node : node);
    }
    // Link mode's sharing can bring two cursors to one node: its field counts once.
    std::sort(together.begin(), together.end(), [](const slot& a, const slot& b) {
        return a.list != b.list ? a.list < b.list : a.field < b.field;
    });
    counted_vector<trie_node**> fields;
    for (std::size_t from = 0; from < together.size();) {
        std::size_t to_end = from;
        fields.clear();
        for (; to_end < together.size() && together[to_end].list == together[from].list; ++to_end) {
            if (fields.empty() || fields.back() != together[to_end].field)
                fields.push_back(together[to_end].field);
        }
        trie_node* node = attach_shared(t, fields.data(), fields.size(), code, value);
        if (code == CODE_ANYSTR) {
            for (std::size_t k = from; k < to_end; ++k)
                pool.push(new_list, together[k].cursor->node);
        } else {
            pool.push(new_list, node);
        }
        from = to_end;
    }
}

void attach_link(const build_target& to, std::uint16_t code, replacement* value,
                 const compile_cursor* cursors, compile_cursor** new_list) {
    trie& t = to.t;
    cursor_pool& pool = to.pool;
    trie_node** const root_head = to.root_head;
    compile_cursor* fresh = pool.push(new_list, nullptr);
    trie_node* shared = nullptr;
    bool built = false;
    for (const compile_cursor* c = cursors; c != nullptr; c = c->next) {
        if (c->node == nullptr) {
            // At the root the cursor moves onto a star too, so what follows goes into its child.
            fresh->node = node_insert(t, root_head, code, value);
        } else if (!built) {
            t.own_list(&c->node->child);  // link mode builds in one copy alone
            trie_node* node = node_insert(t, &c->node->child, code, value);
            shared = c->node->child;
            fresh->node = code == CODE_ANYSTR ? c->node : node;
            built = true;
        } else {
            // Whatever list this node had is dropped: it follows the first cursor's list.
            t.drop_holder(c->node->child);
            c->node->child = shared;
            t.note_shared_lists();
        }
    }
}

bool literal_pattern(const unsigned char* text, std::size_t length, unsigned char* out,
                     std::size_t& out_length) {
    std::size_t n = 0;
    for (std::size_t i = 0; i < length; ++i) {
        const element e = recognise(text, i, length - 1);
        if (e.kind != element_kind::LITERAL) return false;
        out[n++] = e.byte;
        i = e.end;
    }
    out_length = n;
    return true;
}

void compile_re(trie& t, trie_node** root_head, const unsigned char* text, std::size_t length,
                replacement* record, bool link) {
    if (length == 0) {
        node_insert(t, root_head, CODE_EMPTY, record);
        return;
    }
    const std::size_t last = length - 1;
    auto* const attach = link ? attach_link : attach_plain;

    cursor_pool pool;
    const build_target to{t, pool, root_head};
    compile_cursor* cursors = nullptr;
    pool.push(&cursors, nullptr);
    std::size_t i = 0;
    while (i < length) {
        const element e = recognise(text, i, last);
        // A trailing star may match an empty run, so the element before it completes too.
        replacement* const value =
            (e.end == last || (e.end + 1 == last && text[last] == '*')) ? record : nullptr;

        compile_cursor* fresh = nullptr;
        bool impossible = false;
        switch (e.kind) {
            case element_kind::ANYSTR:
                attach(to, CODE_ANYSTR, value, cursors, &fresh);
                break;
            case element_kind::ANYCHAR:
                attach(to, CODE_ANYCHAR, value, cursors, &fresh);
                break;
            case element_kind::LITERAL:
                attach(to, e.byte, value, cursors, &fresh);
                break;
            case element_kind::SET: {
                char_set members;
                parse_set(members, text + i + 1, e.end - i - 1);
                if (set_is_empty(members)) {
                    // No byte can ever pass here, so nothing after the set is built.
                    attach(to, CODE_NOSET, value, cursors, &fresh);
                    impossible = true;
                    break;
                }
                // From the highest byte down, so that the lowest member's cursor ends up first.
                for (int b = 255; b >= 0; --b) {
                    if (set_contains(static_cast<unsigned char>(b), members)) {
                        attach(to, static_cast<std::uint16_t>(b), value, cursors, &fresh);
                    }
                }
                break;
            }
        }
        pool.release(cursors);
        cursors = fresh;
        if (impossible) break;
        i = e.end + 1;
    }
}

}  // namespace kestrom
