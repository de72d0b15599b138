// A stable text form of a trie, one line per node, for tests and debugging.
#pragma once

#include <string>

#include "pattern/trie.hpp"
#include "util/alloc.hpp"

namespace kestrom {

using counted_string = std::basic_string<char, std::char_traits<char>, counted_allocator<char>>;

/// Every node reachable from root, one line each: "<id> <code>[ [<record>]][ next=<id>][
/// child=<id>][ held=<n>]", where held counts the nodes other than a star of its own list whose
/// child is this node, when more than one: the list from here on is shared, as a copy that plain
/// mode shares while it stays equal or as link mode shares it. Ids follow the visit order: the root
/// list first, then the lists reached through each node's child in id order; a list entered in its
/// middle gets ids from there on. The code is a quoted printable byte ('a'), a byte in hex (0x0a),
/// '?', '*', 'noset' or 'empty'; the record is its text with unprintable bytes in hex. Shared lists
/// and the cycles through stars are shown once.
counted_string dump_trie(const trie_node* root);

}  // namespace kestrom
