#include "pattern/trie.hpp"

#include <cstring>
#include <utility>

#include "pattern/compiler.hpp"
#include "pattern/escape.hpp"
#include "util/ascii.hpp"

namespace kestrom {

trie_node* trie::node_new(std::uint16_t code, trie_node* next) {
    auto* n = static_cast<trie_node*>(store_.allocate(sizeof(trie_node)));
    *n = trie_node{code, nullptr, nullptr, next};
    return n;
}

replacement* trie::record_new(const char* text, std::size_t length) {
    auto* r = static_cast<replacement*>(store_.allocate(sizeof(replacement)));
    auto* copy = static_cast<char*>(store_.allocate(length + 1));
    if (length > 0) std::memcpy(copy, text, length);
    copy[length] = '\0';
    *r = replacement{length, copy};
    return r;
}

namespace {
trie_node* last_of(trie_node* n) {
    while (n->next != nullptr)
        n = n->next;
    return n;
}
}  // namespace

trie_node* node_insert(trie& t, trie_node** head_field, std::uint16_t code, replacement* repl) {
    trie_node* head = *head_field;
    if (head == nullptr) {
        trie_node* n = t.node_new(code, nullptr);
        *head_field = n;
        n->repl = repl;
        if (code == CODE_ANYSTR) n->child = n;
        return n;
    }
    if (code < head->code) {
        trie_node* n = t.node_new(code, head);
        *head_field = n;
        n->repl = repl;
        // A star leads back to the head of its list, which has just changed.
        trie_node* last = last_of(n);
        if (last->code == CODE_ANYSTR) last->child = n;
        return n;
    }
    if (code == head->code) {
        if (repl != nullptr) head->repl = repl;
        return head;
    }
    trie_node* prev = head;
    trie_node* cur = head->next;
    while (cur != nullptr && cur->code < code) {
        prev = cur;
        cur = cur->next;
    }
    if (cur != nullptr && cur->code == code) {
        if (repl != nullptr) cur->repl = repl;
        return cur;
    }
    trie_node* n = t.node_new(code, cur);
    prev->next = n;
    n->repl = repl;
    if (cur == nullptr && code == CODE_ANYSTR) n->child = *head_field;
    return n;
}

void add_literal(trie& t, trie_node** head_field, const unsigned char* text, std::size_t length,
                 replacement* repl) {
    if (length == 0) {
        node_insert(t, head_field, CODE_EMPTY, repl);
        return;
    }
    trie_node* node = nullptr;
    for (std::size_t i = 0; i < length; ++i) {
        node = node_insert(t, head_field, text[i], nullptr);
        head_field = &node->child;
    }
    node->repl = repl;  // a later registration of the same text wins
}

void str_upper(char* text) {
    for (; *text != '\0'; ++text) {
        *text = static_cast<char>(ascii_toupper(static_cast<unsigned char>(*text)));
    }
}

void register_pair(trie& t, const settings& opts, char* search, char* replacement_text) {
    if (opts.swap_pairs) std::swap(search, replacement_text);
    if (!opts.case_sensitive) str_upper(search);
    std::size_t repl_len =
        opts.replace_meta ? unescape(replacement_text) : std::strlen(replacement_text);
    replacement* record = t.record_new(replacement_text, repl_len);
    auto* bytes = reinterpret_cast<unsigned char*>(search);
    if (opts.search_meta) {
        std::size_t n = unescape(search);
        compile_re(t, &t.root, bytes, n, record, opts.link_re);
    } else {
        add_literal(t, &t.root, bytes, std::strlen(search), record);
    }
}

}  // namespace kestrom
