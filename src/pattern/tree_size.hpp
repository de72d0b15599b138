// How large a trie whose lists are shared would be as a tree: what an analysis that walks every
// path from the root would meet, counted on the shared form before the walk is begun.
#pragma once

#include <cstddef>

#include "pattern/trie.hpp"

namespace kestrom {

/// The byte nodes met on all paths from root, each as often as paths lead to it, within
/// max_depth bytes (SIZE_MAX: no bound) and never below a node with a record (a walk ends there).
/// '?' and '*' count as byte nodes, and a star's own list is not entered again; with
/// wildcards_over, one of them makes the count too large at once. More than limit gives limit + 1,
/// as does a list that leads back to itself other than through its star. The cost grows with the
/// shared form's lists times the depths they are met at, not with the count.
std::size_t tree_size(const trie_node* root, std::size_t max_depth, std::size_t limit,
                      bool wildcards_over = false);

}  // namespace kestrom
