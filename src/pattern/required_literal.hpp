// The required literal of a trie: a run of bytes that every found text holds. A text without it
// can be passed over without a walk.
#pragma once

#include <cstddef>

#include "pattern/trie.hpp"

namespace kestrom {

/// A run of bytes that every found text holds: the bytes of nodes n1..nk, where each n(i+1) can
/// only be taken right after n(i) (its list is reached through n(i)'s child alone, holds no star
/// and is not the root list) and every way from the root to a completion takes nk, or one of the
/// nodes whose chains end in the same bytes. Found only in tries of up to half a million nodes;
/// length 0 when there is none.
struct required_literal {
    static constexpr std::size_t MAX_LENGTH = 32;
    std::size_t length = 0;
    unsigned char bytes[MAX_LENGTH] = {};  ///< the keys the bytes must have
    /// With a literal, the most bytes a walk from the root can take, found text or not, when no
    /// star lets walks grow without bound; else 0. A found text then begins at most span - length
    /// bytes before the literal.
    std::size_t span = 0;

    /// The literal of the trie from root, looked up by keys (upper case when fold).
    required_literal(trie_node* root, bool fold);
};

}  // namespace kestrom
