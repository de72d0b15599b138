#include "pattern/trie.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kestrom {
namespace {

/// The codes of a list, from the given node along next.
std::vector<int> codes(const trie_node* list) {
    std::vector<int> out;
    for (; list != nullptr; list = list->next)
        out.push_back(list->code);
    return out;
}

const unsigned char* bytes(const char* s) {
    return reinterpret_cast<const unsigned char*>(s);
}

TEST(Trie, InsertKeepsCodesSortedAndTheStarPointingAtTheHead) {
    struct step {
        int code;
        std::vector<int> list_after;
    };
    // Each step inserts one code into the same list and checks the list and the star's child.
    // clang-format off
    const std::vector<step> steps = {
        {CODE_ANYSTR, {CODE_ANYSTR}},
        {'b', {'b', CODE_ANYSTR}},
        {'a', {'a', 'b', CODE_ANYSTR}},
        {'c', {'a', 'b', 'c', CODE_ANYSTR}},
        {CODE_ANYCHAR, {'a', 'b', 'c', CODE_ANYCHAR, CODE_ANYSTR}},
        {CODE_EMPTY, {'a', 'b', 'c', CODE_ANYCHAR, CODE_EMPTY, CODE_ANYSTR}},
        {CODE_NOSET, {'a', 'b', 'c', CODE_ANYCHAR, CODE_NOSET, CODE_EMPTY, CODE_ANYSTR}},
        {0, {0, 'a', 'b', 'c', CODE_ANYCHAR, CODE_NOSET, CODE_EMPTY, CODE_ANYSTR}},
        {'b', {0, 'a', 'b', 'c', CODE_ANYCHAR, CODE_NOSET, CODE_EMPTY, CODE_ANYSTR}},
    };
    // clang-format on
    trie t;
    trie_node* head = nullptr;
    // A star appended to a list leads to its head; a null record never clears one.
    node_insert(t, &head, 'q', t.record_new("Q", 1));
    trie_node* star = node_insert(t, &head, CODE_ANYSTR, nullptr);
    EXPECT_EQ(star->child, head);
    EXPECT_NE(node_insert(t, &head, 'q', nullptr)->repl, nullptr);
    head = nullptr;
    for (const step& s : steps) {
        trie_node* n = node_insert(t, &head, static_cast<std::uint16_t>(s.code), nullptr);
        EXPECT_EQ(n->code, s.code);
        EXPECT_EQ(codes(head), s.list_after) << "after inserting " << s.code;
        trie_node* last = head;
        while (last->next != nullptr)
            last = last->next;
        EXPECT_EQ(last->child, head) << "the star leads back to its list's head";
    }
}

TEST(Trie, FindChildPrefersExactThenAnyThenStar) {
    struct find_case {
        std::vector<int> list;
        int byte;
        int found;  // -1: none
    };
    const std::vector<find_case> cases = {
        {{'a', CODE_ANYCHAR, CODE_ANYSTR}, 'a', 'a'},
        {{'a', CODE_ANYCHAR, CODE_ANYSTR}, 'b', CODE_ANYCHAR},
        {{'a', CODE_ANYSTR}, 'b', CODE_ANYSTR},
        {{'a', CODE_NOSET}, 'b', -1},
        {{'a', CODE_EMPTY}, 'b', -1},
        {{CODE_NOSET, CODE_EMPTY, CODE_ANYSTR}, 0, CODE_ANYSTR},
        {{0, 255}, 255, 255},
        {{}, 'a', -1},
    };
    for (const find_case& c : cases) {
        trie t;
        trie_node* head = nullptr;
        for (int code : c.list)
            node_insert(t, &head, static_cast<std::uint16_t>(code), nullptr);
        trie_node* n = find_child(head, static_cast<unsigned char>(c.byte));
        EXPECT_EQ(n == nullptr ? -1 : n->code, c.found) << "byte " << c.byte;
    }
}

TEST(Trie, AddLiteralSharesPrefixesAndLaterRecordsWin) {
    trie t;
    replacement* x = t.record_new("X", 1);
    replacement* y = t.record_new("Y", 1);
    replacement* z = t.record_new("Z", 1);
    add_literal(t, &t.root, bytes("abc"), 3, x);
    add_literal(t, &t.root, bytes("abc"), 3, y);
    add_literal(t, &t.root, bytes("ab"), 2, z);
    add_literal(t, &t.root, bytes(""), 0, x);
    add_literal(t, &t.root, bytes(""), 0, y);

    EXPECT_EQ(codes(t.root), (std::vector<int>{'a', CODE_EMPTY}));
    EXPECT_EQ(t.root->next->repl, y) << "a second empty search replaces the record";
    trie_node* b = t.root->child;
    ASSERT_EQ(codes(b), std::vector<int>{'b'});
    EXPECT_EQ(b->repl, z);
    ASSERT_EQ(codes(b->child), std::vector<int>{'c'});
    EXPECT_EQ(b->child->repl, y);
    EXPECT_EQ(b->child->child, nullptr);
}

TEST(Trie, AddLiteralNeverFollowsWildcardNodes) {
    trie t;
    trie_node* star = node_insert(t, &t.root, CODE_ANYSTR, nullptr);
    node_insert(t, &t.root, CODE_ANYCHAR, nullptr);
    add_literal(t, &t.root, reinterpret_cast<const unsigned char*>("a\0b"), 3, t.record_new("", 0));
    EXPECT_EQ(codes(t.root), (std::vector<int>{'a', CODE_ANYCHAR, CODE_ANYSTR}));
    EXPECT_EQ(star->child, t.root);
    EXPECT_EQ(codes(t.root->child), std::vector<int>{0}) << "a NUL byte is a byte node";
}

TEST(Trie, RegisterPairFoldsBeforeDecodingAndKeepsDecodedNuls) {
    // Folding comes first, on the raw text: "\n" becomes "\N", which is no escape, while a
    // lower-case byte that an escape produces stays lower case.
    trie t;
    settings opts;
    opts.case_sensitive = false;
    std::string search = "a\\n#097", repl = "x#000y";
    register_pair(t, opts, search.data(), repl.data());
    std::string path;
    const trie_node* last = nullptr;
    for (const trie_node* n = t.root; n != nullptr; n = n->child) {
        ASSERT_EQ(n->next, nullptr);
        path += static_cast<char>(n->code);
        last = n;
    }
    EXPECT_EQ(path, "A\\Na");
    ASSERT_NE(last->repl, nullptr);
    EXPECT_EQ(std::string(last->repl->text, last->repl->length + 1), std::string("x\0y\0", 4));
}

}  // namespace
}  // namespace kestrom
