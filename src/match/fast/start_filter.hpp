// The start filter: which candidate starts can be passed over without a walk, judged by a few
// bytes at and after each start, and for a large trie by the hashes of its patterns' prefixes.
#pragma once

#include <cstddef>
#include <cstdint>

#include "pattern/prefix_filter.hpp"
#include "pattern/trie.hpp"
#include "util/byte_search.hpp"

namespace kestrom {

/// Which candidate starts can be passed over without a walk. The walk from a start p takes byte
/// p+d from one of the lists that d accepted bytes lead to. When none of the lists up to depth d
/// holds a star (so no fallback keeps a walk alive) and no pattern is complete above depth d, a
/// walk whose byte p+d no list at depth d accepts fails by then, and its first byte leaves
/// unchanged: exactly what passing over p does. The depth whose bytes are rarest is tested
/// (depth 0 is the root list, a literal's rarest byte can lie deeper), and the root list too.
class start_filter {
  public:
    bool useful = false;  ///< some start can be passed over
    std::size_t depth = 0;
    int single = -1;               ///< the only byte the probe accepts, or -1
    bool first[256] = {};          ///< bytes the root list accepts
    bool probe[256] = {};          ///< bytes the lists at depth accept
    std::size_t second_depth = 0;  ///< a second depth tested where the first passes
    bool second[256] = {};         ///< bytes the lists at second_depth accept

    /// The filter of the trie below root for walks shorter than window_size bytes; tier is for
    /// the searches of a few words.
    start_filter(trie_node* root, bool fold, int window_size, simd_tier tier);

    /// Starts are also tested against the filter of the trie's prefixes (see prefix_filter).
    void use_prefixes(const prefix_filter& filter, bool fold);

    /// How many of the starts p[0..n) from the first on can be passed over. The bytes that follow
    /// p[n-1] in the input, as far as known, are more[0..m); a start whose probe byte is not
    /// known is judged by the root list alone, one whose prefix is not known by its bytes.
    std::size_t skip(const unsigned char* p, std::size_t n, const unsigned char* more = nullptr,
                     std::size_t m = 0) const;

  private:
    /// A trie of a few words (every walk that completes spells one of them) has their starts
    /// searched for by two bytes of each, all at once (see word_set_finder).
    static constexpr std::size_t WORD_MAX = 64;           ///< longer words: no search by words
    static constexpr std::size_t WORD_VISITS_MAX = 1024;  ///< nodes looked at for the words
    bool words_on_ = false;
    word_set_finder words_;
    /// Whether the trie below root is a few words; holds them in words_ if so.
    bool collect_words(trie_node* list, unsigned char* path, std::size_t depth,
                       std::size_t& visits);

    /// The run test: over the first run_length_ depths, which all lie before any completion and
    /// any star, bit d of run_mask_[v] tells whether the lists at depth d accept the byte v (0:
    /// no run test). A start fails at the first depth whose byte the lists there refuse.
    static constexpr std::size_t RUN_MAX = 64;
    static constexpr std::size_t RUN_MIN = 4;
    static constexpr std::size_t RUN_MAX_LISTS = 16;
    static constexpr std::uint64_t RUN_MIN_SHIFT = 4;
    std::size_t run_length_ = 0;
    std::uint64_t run_mask_[256] = {};

    /// Sets run_length_ from the levels surveyed, once the probe is chosen.
    void choose_run_test(std::size_t levels);
    /// How many starts a byte that depth j refuses passes over, given the depths that accept it.
    static std::size_t run_shift(std::uint64_t accepts, std::size_t j);
    /// From the candidate i on: the first start whose run every depth accepts, or one whose run is
    /// not all in p[0..n).
    std::size_t skip_runs(const unsigned char* p, std::size_t n, std::size_t i,
                          const unsigned char* more, std::size_t m) const;

    const prefix_filter* prefixes_ = nullptr;
    bool fold_ = false;
    bool never_[256] = {};  ///< bytes that no prefix holds, as the input has them
    bool some_never_ = false;

    /// Sets single and useful once the probe is chosen.
    void finish(int best_weight);

    std::size_t skip_by_bytes(const unsigned char* p, std::size_t n,
                              const unsigned char* more = nullptr, std::size_t m = 0) const;
};

}  // namespace kestrom
