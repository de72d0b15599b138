#include "pattern/trie_dump.hpp"

#include <cstdio>
#include <functional>
#include <unordered_map>
#include <utility>
#include <vector>

namespace kestrom {

namespace {

using node_ids =
    std::unordered_map<const trie_node*, std::size_t, std::hash<const trie_node*>,
                       std::equal_to<const trie_node*>,
                       counted_allocator<std::pair<const trie_node* const, std::size_t>>>;
using node_order = std::vector<const trie_node*, counted_allocator<const trie_node*>>;

/// Numbers the nodes from head along next until the end or a node that already has an id.
void discover(const trie_node* head, node_ids& ids, node_order& order) {
    for (const trie_node* n = head; n != nullptr && ids.find(n) == ids.end(); n = n->next) {
        ids.emplace(n, order.size());
        order.push_back(n);
    }
}

void append_code(counted_string& out, std::uint16_t code) {
    char buf[8];
    switch (code) {
        case CODE_ANYCHAR:
            out += '?';
            return;
        case CODE_ANYSTR:
            out += '*';
            return;
        case CODE_NOSET:
            out += "noset";
            return;
        case CODE_EMPTY:
            out += "empty";
            return;
        default:
            break;
    }
    if (code > 0x20 && code < 0x7f) {
        std::snprintf(buf, sizeof buf, "'%c'", static_cast<char>(code));
    } else {
        std::snprintf(buf, sizeof buf, "0x%02x", static_cast<unsigned>(code));
    }
    out += buf;
}

void append_record(counted_string& out, const replacement& r) {
    out += " [";
    for (std::size_t i = 0; i < r.length; ++i) {
        const auto c = static_cast<unsigned char>(r.text[i]);
        if (c >= 0x20 && c < 0x7f) {
            out += static_cast<char>(c);
        } else {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\x%02x", static_cast<unsigned>(c));
            out += buf;
        }
    }
    out += ']';
}

void append_number(counted_string& out, const char* label, std::size_t n) {
    char buf[32];
    std::snprintf(buf, sizeof buf, " %s=%zu", label, n);
    out += buf;
}

}  // namespace

counted_string dump_trie(const trie_node* root) {
    node_ids ids;
    node_order order;
    discover(root, ids, order);
    // order grows while it is walked: each node's child list joins the end.
    for (std::size_t k = 0; k < order.size(); ++k)
        discover(order[k]->child, ids, order);

    // How many nodes lead to each node through their child (a star back to its own list aside).
    std::vector<std::size_t, counted_allocator<std::size_t>> held(order.size(), 0);
    for (const trie_node* n : order) {
        if (n->child == nullptr) continue;
        if (n->code == CODE_ANYSTR) {
            bool own = false;
            for (const trie_node* m = n->child; m != nullptr && !own; m = m->next)
                own = m == n;
            if (own) continue;
        }
        ++held[ids.find(n->child)->second];
    }

    counted_string out;
    for (std::size_t k = 0; k < order.size(); ++k) {
        const trie_node* n = order[k];
        char buf[32];
        std::snprintf(buf, sizeof buf, "%zu ", k);
        out += buf;
        append_code(out, n->code);
        if (n->repl != nullptr) append_record(out, *n->repl);
        if (n->next != nullptr) append_number(out, "next", ids.find(n->next)->second);
        if (n->child != nullptr) append_number(out, "child", ids.find(n->child)->second);
        if (held[k] > 1) append_number(out, "held", held[k]);
        out += '\n';
    }
    return out;
}

}  // namespace kestrom
