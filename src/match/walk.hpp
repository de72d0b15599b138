// One step of the stream matcher's walk down the trie, shared by the plain walk and the automatic
// pass so that both take every byte by the same rule.
#pragma once

#include "pattern/trie.hpp"

namespace kestrom {

/// Takes key from cur_list: through the list's table when it has one, else along the list.
/// Returns the record that the byte completes, or null. When a node took the byte without
/// completing, cur_list becomes its child list (and fallback the node, when a star ends its list);
/// when none did, a fallback absorbs the byte. taken is false when neither happened: the
/// candidate fails. ends_in_star false promises that no list ends in a star.
inline replacement* walk_step(const list_index* tables, bool ends_in_star, unsigned char key,
                              trie_node*& cur_list, trie_node*& fallback, bool& taken) {
    trie_node* n;
    const list_index* table = nullptr;
    if (tables != nullptr && cur_list != nullptr && cur_list->index != 0) {
        table = &tables[cur_list->index];
        n = table->first[key];
    } else {
        n = find_child(cur_list, key);
    }
    taken = true;
    if (n == nullptr) {
        if (fallback == nullptr) {
            taken = false;
        } else {
            cur_list = fallback;  // absorbed; the siblings before the fallback are not retried
        }
        return nullptr;
    }
    if (n->repl != nullptr) return n->repl;
    trie_node* last = n;
    if (table != nullptr) {
        last = table->last;
    } else if (ends_in_star) {
        while (last->next != nullptr)
            last = last->next;
    }
    // The star that ends the list completes a pattern: the found text ends here, as if the star
    // had taken the byte.
    if (last->code == CODE_ANYSTR && last->repl != nullptr) return last->repl;
    if (last->code == CODE_ANYSTR) fallback = n;
    cur_list = n->child;
    return nullptr;
}

}  // namespace kestrom
