// The pattern compiler: turns a decoded search pattern with '?', '*', '[set]' and backslash
// protection into trie nodes, in plain mode or in link mode.
#pragma once

#include <cstddef>
#include <cstdint>

#include "pattern/trie.hpp"

namespace kestrom {

/// One place where the next element of a pattern attaches; lists of them live for one element.
struct compile_cursor {
    trie_node* node;       ///< the next element goes into this node's child list; null: the root
    compile_cursor* next;  ///< next entry of the list
};

/// Compiles length bytes of text below *root_head; every node at which the pattern is complete
/// gets record. link selects link mode.
void compile_re(trie& t, trie_node** root_head, const unsigned char* text, std::size_t length,
                replacement* record, bool link);

/// Adds code with value below every cursor of cursors, each in a list of its own, and puts one
/// new cursor per old one at the front of *new_list.
void attach_plain(trie& t, trie_node** root_head, std::uint16_t code, replacement* value,
                  const compile_cursor* cursors, compile_cursor** new_list);

/// Adds code with value below the first cursor only and makes every further cursor's node share
/// that child list; puts exactly one new cursor at the front of *new_list.
void attach_link(trie& t, trie_node** root_head, std::uint16_t code, replacement* value,
                 const compile_cursor* cursors, compile_cursor** new_list);

}  // namespace kestrom
