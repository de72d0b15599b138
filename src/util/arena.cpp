#include "util/arena.hpp"

#include <cstdint>

#include "util/alloc.hpp"

namespace kestrom {

namespace {
constexpr std::size_t ALIGN = alignof(std::max_align_t);
constexpr std::size_t round_up(std::size_t n) {
    return (n + ALIGN - 1) & ~(ALIGN - 1);
}
}  // namespace

arena::~arena() {
    while (last_ != nullptr) {
        chunk* prev = last_->prev;
        xfree(last_, last_->size);
        last_ = prev;
    }
}

void* arena::allocate(std::size_t size) {
    if (size > SIZE_MAX / 2) xmalloc(SIZE_MAX);  // exits with the FATAL message
    size = round_up(size == 0 ? 1 : size);
    if (size > free_size_) {
        const std::size_t header = round_up(sizeof(chunk));
        std::size_t total = header + (size > chunk_size_ ? size : chunk_size_);
        auto* c = static_cast<chunk*>(xmalloc(total));
        c->prev = last_;
        c->size = total;
        last_ = c;
        // An oversized block gets a chunk of its own; the current free space stays usable.
        if (size > chunk_size_) return reinterpret_cast<unsigned char*>(c) + header;
        free_ = reinterpret_cast<unsigned char*>(c) + header;
        free_size_ = total - header;
    }
    void* p = free_;
    free_ += size;
    free_size_ -= size;
    return p;
}

}  // namespace kestrom
