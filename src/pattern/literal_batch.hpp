// Plain literals held back while a pattern file is read, then inserted in byte order. A million
// words inserted as they come miss the cache at nearly every node of their path; the same words in
// order find the nodes that the word before left warm, and each one starts below the prefix that
// it shares with that word. The trie comes out the same: lists are kept sorted whatever the order,
// and of two registrations of the same text the later one still wins.
#pragma once

#include <cstddef>
#include <cstdint>

#include "pattern/trie.hpp"
#include "util/alloc.hpp"

namespace kestrom {

class literal_batch {
  public:
    explicit literal_batch(trie& t) : t_(t) {}
    literal_batch(const literal_batch&) = delete;
    literal_batch& operator=(const literal_batch&) = delete;

    /// Holds length bytes of text (copied; length at least 1) with the record they complete in.
    void add(const unsigned char* text, std::size_t length, replacement* record);
    /// Holds the bytes of a decoded search pattern if it is a literal of one byte or more (see
    /// literal_pattern); false, holding nothing, when it is not.
    bool add_pattern(const unsigned char* text, std::size_t length, replacement* record);

    /// Inserts what is held into the trie and empties the batch. Anything that enters the trie by
    /// another way must wait for this, so that registrations stay in their order.
    void flush();

  private:
    /// A text held: its offset in bytes_ grows with the order of registration.
    struct entry {
        std::uint64_t key;  ///< the first eight bytes, big-endian, zero after the end
        replacement* record;
        std::uint32_t offset;
        std::uint32_t length;
    };
    void hold(std::size_t offset, std::size_t length, replacement* record);
    static bool before(const entry& a, const entry& b, const unsigned char* bytes);

    trie& t_;
    counted_vector<entry> entries_;
    counted_vector<unsigned char> bytes_;
};

}  // namespace kestrom
