#include "pattern/compiler.hpp"

namespace kestrom {

// Placeholder until the compiler lands: the pattern is inserted literally.
void compile_re(trie& t, trie_node** root_head, const unsigned char* text, std::size_t length,
                replacement* record, bool /*link*/) {
    add_literal(t, root_head, text, length, record);
}

}  // namespace kestrom
