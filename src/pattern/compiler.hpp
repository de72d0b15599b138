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

/// Storage for the cursors of one compilation: taken in blocks, recycled element by element, so
/// that sets which multiply the cursors by the million do not cost a call to the allocator each.
class cursor_pool {
  public:
    cursor_pool() = default;
    ~cursor_pool();
    cursor_pool(const cursor_pool&) = delete;
    cursor_pool& operator=(const cursor_pool&) = delete;

    /// A new cursor at node, put at the front of *list.
    compile_cursor* push(compile_cursor** list, trie_node* node);
    /// Takes back every cursor of list.
    void release(compile_cursor* list);

  private:
    struct block;
    block* blocks_ = nullptr;
    std::size_t fresh_ = 0;  // cursors of the newest block handed out so far
    compile_cursor* free_ = nullptr;
};

/// Compiles length bytes of text below *root_head; every node at which the pattern is complete
/// gets record. link selects link mode.
void compile_re(trie& t, trie_node** root_head, const unsigned char* text, std::size_t length,
                replacement* record, bool link);

/// The bytes of a decoded search pattern that holds only literal bytes (protected ones included),
/// written to out (length bytes at most, apart from text); false when it has a wildcard or a set.
bool literal_pattern(const unsigned char* text, std::size_t length, unsigned char* out,
                     std::size_t& out_length);

/// Where a compilation builds: the trie, the pool of its cursors, and the root list's head.
struct build_target {
    trie& t;
    cursor_pool& pool;
    trie_node** root_head;
};

/// Adds code with value below every cursor of cursors, each in a list of its own, and puts one
/// new cursor per old one at the front of *new_list.
void attach_plain(const build_target& to, std::uint16_t code, replacement* value,
                  const compile_cursor* cursors, compile_cursor** new_list);

/// Adds code with value below the first cursor only and makes every further cursor's node share
/// that child list; puts exactly one new cursor at the front of *new_list.
void attach_link(const build_target& to, std::uint16_t code, replacement* value,
                 const compile_cursor* cursors, compile_cursor** new_list);

}  // namespace kestrom
