#include "match/fast/literal_gap.hpp"

#include <algorithm>
#include <cstring>

namespace kestrom {

std::size_t literal_gap::gap(std::uint64_t at, const unsigned char* a, std::size_t an,
                             const unsigned char* b, std::size_t bn) {
    if (at < from_ || at > to_) {
        from_ = to_ = at;
        found_ = false;
    }
    if (!found_) search(at, a, an, b, bn);
    const std::uint64_t bound = to_ + finder_.length();  // no start s with s+limit <= bound
    if (bound < at + limit_) return 0;
    // A literal longer than the limit rules out starts beyond the bytes known: not yet.
    return static_cast<std::size_t>(std::min<std::uint64_t>(bound - limit_ - at + 1, an + bn));
}

void literal_gap::search_in(std::uint64_t seg_at, const unsigned char* seg, std::size_t size) {
    if (to_ < seg_at || to_ - seg_at >= size) return;
    const auto skip = static_cast<std::size_t>(to_ - seg_at);
    const std::size_t n = finder_.length();
    const std::size_t left = size - skip;
    const std::size_t hit = finder_.find(seg + skip, left);
    if (hit < left) {
        to_ += hit;
        found_ = true;
    } else if (left >= n) {
        to_ += left - n + 1;
    }
}

void literal_gap::search(std::uint64_t at, const unsigned char* a, std::size_t an,
                         const unsigned char* b, std::size_t bn) {
    const std::size_t n = finder_.length();
    search_in(at, a, an);
    if (found_) return;
    const std::uint64_t b_at = at + an;
    if (to_ < b_at && bn > 0) {
        // Places that begin in a and end in b.
        unsigned char seam[2 * required_literal::MAX_LENGTH];
        const std::size_t tail = static_cast<std::size_t>(b_at - to_);  // below n
        const std::size_t head = std::min(bn, n - 1);
        std::memcpy(seam, a + (an - tail), tail);
        std::memcpy(seam + tail, b, head);
        search_in(to_, seam, tail + head);
        if (found_ || to_ < b_at) return;
    }
    search_in(b_at, b, bn);
}

}  // namespace kestrom
