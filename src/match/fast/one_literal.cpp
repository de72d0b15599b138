#include "match/fast/one_literal.hpp"

#include <algorithm>
#include <cstring>

#include "util/ascii.hpp"
#include "util/byte_search.hpp"

namespace kestrom {

namespace {

/// The length of the longest tail of p[0..m), shorter than the word, that begins the word.
std::size_t word_tail(const unsigned char* p, std::size_t m, const unsigned char* word,
                      std::size_t n) {
    for (std::size_t k = std::min(n - 1, m); k > 0; --k) {
        if (std::memcmp(p + m - k, word, k) == 0) return k;
    }
    return 0;
}

/// The pass's state: the word, its finder, and the tail held back (carry[0..held)).
class word_search {
  public:
    word_search(pass_output& out, const lone_word& word, simd_tier tier)
        : out_(out),
          word_(word.bytes.data()),
          n_(word.bytes.size()),
          repl_(*word.record),
          finder_(word_, n_, false, tier),
          carry_(2 * n_) {}

    int run(byte_reader& in) {
        for (;;) {
            if (in.buffered_size() == 0 && !in.fill()) {
                if (!out_.write(carry_.data(), held_)) return RESULT_WRITE_ERROR;
                return out_.finish();
            }
            if (!(held_ > 0 ? after_tail(in) : in_buffer(in))) return RESULT_WRITE_ERROR;
        }
    }

  private:
    /// An occurrence that begins in the held tail ends within the next n-1 bytes.
    bool after_tail(byte_reader& in) {
        unsigned char* const carry = carry_.data();
        const unsigned char* p = in.buffered();
        const std::size_t m = in.buffered_size();
        const std::size_t add = std::min(n_ - 1, m);
        std::memcpy(carry + held_, p, add);
        const std::size_t at = finder_.find(carry, held_ + add);
        if (at < held_) {
            if (!out_.write(carry, at) || !out_.take(carry + at, n_, repl_)) return false;
            in.consume(at + n_ - held_);
            held_ = 0;
            return true;
        }
        if (add < n_ - 1) {
            // Too little came to decide: hold what may still begin the word.
            const std::size_t tail = word_tail(carry, held_ + add, word_, n_);
            if (!out_.write(carry, held_ + add - tail)) return false;
            std::memmove(carry, carry + held_ + add - tail, tail);
            held_ = tail;
            in.consume(m);
            return true;
        }
        if (!out_.write(carry, held_)) return false;
        held_ = 0;
        return in_buffer(in);
    }

    /// Searches the buffered input; holds back a tail that begins the word.
    bool in_buffer(byte_reader& in) {
        const unsigned char* p = in.buffered();
        const std::size_t m = in.buffered_size();
        const std::size_t at = finder_.find(p, m);
        if (at < m) {
            if (!out_.write(p, at) || !out_.take(p + at, n_, repl_)) return false;
            in.consume(at + n_);
            return true;
        }
        held_ = word_tail(p, m, word_, n_);
        if (!out_.write(p, m - held_)) return false;
        std::memcpy(carry_.data(), p + m - held_, held_);
        in.consume(m);
        return true;
    }

    pass_output& out_;
    const unsigned char* word_;
    std::size_t n_;
    replacement& repl_;
    pair_finder finder_;
    counted_array<unsigned char> carry_;
    std::size_t held_ = 0;
};

}  // namespace

lone_word::lone_word(trie_node* root, std::size_t max_length, bool fold) {
    // As the automaton unfolds the trie: a walk ends at the first record, and an empty pattern or
    // an empty set takes no byte.
    for (trie_node* list = root;;) {
        trie_node* only = nullptr;
        for (trie_node* n = list; n != nullptr; n = n->next) {
            if (n->code == CODE_ANYCHAR || n->code == CODE_ANYSTR) return;
            if (n->code > 255) continue;
            if (only != nullptr) return;
            only = n;
        }
        if (only == nullptr || bytes.size() + 1 >= max_length) return;
        const auto b = static_cast<unsigned char>(only->code);
        if (fold && ascii_toupper(b) != ascii_tolower(b)) return;
        bytes.push_back(b);
        if (only->repl != nullptr) {
            record = only->repl;
            return;
        }
        list = only->child;
    }
}

int one_literal_pass(pass_output& out, byte_reader& in, const lone_word& word, simd_tier tier) {
    if (in.buffered_size() == 0 && !in.fill()) return RESULT_UNCHANGED;  // nothing to flush
    word_search search(out, word, tier);
    return search.run(in);
}

}  // namespace kestrom
