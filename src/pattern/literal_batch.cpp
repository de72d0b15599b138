#include "pattern/literal_batch.hpp"

#include <algorithm>
#include <cstring>
#include <limits>

#include "pattern/compiler.hpp"

namespace kestrom {

namespace {
std::uint64_t key_of(const unsigned char* text, std::size_t length) {
    std::uint64_t key = 0;
    for (std::size_t i = 0; i < 8; ++i)
        key = key << 8 | (i < length ? text[i] : 0U);
    return key;
}
}  // namespace

void literal_batch::hold(std::size_t offset, std::size_t length, replacement* record) {
    entries_.push_back({key_of(bytes_.data() + offset, length), record,
                        static_cast<std::uint32_t>(offset), static_cast<std::uint32_t>(length)});
    // Offsets are 32 bits wide; a text is at most a window long.
    if (bytes_.size() > std::numeric_limits<std::uint32_t>::max() / 2) flush();
}

void literal_batch::add(const unsigned char* text, std::size_t length, replacement* record) {
    const std::size_t offset = bytes_.size();
    bytes_.insert(bytes_.end(), text, text + length);
    hold(offset, length, record);
}

bool literal_batch::add_pattern(const unsigned char* text, std::size_t length,
                                replacement* record) {
    const std::size_t offset = bytes_.size();
    bytes_.resize(offset + length);
    std::size_t n = 0;
    if (length == 0 || !literal_pattern(text, length, bytes_.data() + offset, n)) {
        bytes_.resize(offset);
        return false;
    }
    bytes_.resize(offset + n);
    hold(offset, n, record);
    return true;
}

bool literal_batch::before(const entry& a, const entry& b, const unsigned char* bytes) {
    if (a.key != b.key) return a.key < b.key;
    // The first eight bytes are equal (or a text ended in them, shorter than the key).
    const std::size_t common = std::min(a.length, b.length);
    if (common > 8) {
        const int c = std::memcmp(bytes + a.offset + 8, bytes + b.offset + 8, common - 8);
        if (c != 0) return c < 0;
    }
    if (a.length != b.length) return a.length < b.length;
    return a.offset < b.offset;
}

void literal_batch::flush() {
    if (entries_.empty()) return;
    // The trie grows while all of this is held: hold no more than it takes.
    entries_.shrink_to_fit();
    bytes_.shrink_to_fit();
    const unsigned char* const bytes = bytes_.data();
    std::sort(entries_.begin(), entries_.end(),
              [bytes](const entry& a, const entry& b) { return before(a, b, bytes); });
    // path[i] is the node of byte i of the text inserted last. The next text shares a prefix with
    // it and goes on below that prefix's last node: in byte order it is never a prefix of the
    // text before, and whatever it adds below comes after everything the text before added.
    counted_vector<trie_node*> path;
    const unsigned char* prev = nullptr;
    std::size_t prev_length = 0;
    for (const entry& e : entries_) {
        const unsigned char* const text = bytes + e.offset;
        const std::size_t length = e.length;
        std::size_t shared = 0;
        const std::size_t bound = std::min(length, prev_length);
        while (shared < bound && text[shared] == prev[shared])
            ++shared;
        if (path.size() < length) path.resize(length);
        trie_node** field = shared == 0 ? &t_.root : &path[shared - 1]->child;
        for (std::size_t i = shared; i < length; ++i) {
            t_.own_list(field);  // a literal reaches one copy alone
            path[i] = node_insert(t_, field, text[i], nullptr);
            field = &path[i]->child;
        }
        path[length - 1]->repl = e.record;  // a later registration of the same text wins
        prev = text;
        prev_length = length;
    }
    entries_.clear();
    entries_.shrink_to_fit();
    bytes_.clear();
    bytes_.shrink_to_fit();
}

}  // namespace kestrom
