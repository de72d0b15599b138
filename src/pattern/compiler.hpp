// The pattern compiler: turns a decoded search pattern with '?', '*', '[set]' and backslash
// protection into trie nodes, in plain mode or in link mode.
#pragma once

#include <cstddef>

#include "pattern/trie.hpp"

namespace kestrom {

/// Compiles length bytes of text below *root_head; every node at which the pattern is complete
/// gets record. link selects link mode.
void compile_re(trie& t, trie_node** root_head, const unsigned char* text, std::size_t length,
                replacement* record, bool link);

}  // namespace kestrom
