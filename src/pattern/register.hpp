// Registration of a search and replacement pair: the settings decide how the search enters the
// trie.
#pragma once

#include "pattern/literal_batch.hpp"
#include "pattern/trie.hpp"
#include "settings.hpp"

namespace kestrom {

/// Upper-cases a NUL-terminated text in place, ASCII letters only.
void str_upper(char* text);

/// Registers one pair as the settings say: swap, case folding, the record, decoding and insertion.
/// Both strings are writable, NUL-terminated and may be changed; no reference to them is kept.
/// With a batch, a literal search may wait in it (see literal_batch) until it is flushed.
void register_pair(trie& t, const settings& opts, char* search, char* replacement_text,
                   literal_batch* batch = nullptr);

}  // namespace kestrom
