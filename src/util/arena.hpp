// Bulk storage for objects that live as long as their owner: taken in chunks through the counted
// allocator, never moved (pointers into it stay valid), released all at once.
#pragma once

#include <cstddef>

namespace kestrom {

class arena {
  public:
    explicit arena(std::size_t chunk_size = 64 * 1024) : chunk_size_(chunk_size) {}
    ~arena();
    arena(const arena&) = delete;
    arena& operator=(const arena&) = delete;

    /// size bytes aligned for any scalar type; never null (exhausted memory exits).
    void* allocate(std::size_t size);

  private:
    struct chunk {
        chunk* prev;
        std::size_t size;  // bytes of the whole chunk, header included
    };
    std::size_t chunk_size_;
    chunk* last_ = nullptr;
    unsigned char* free_ = nullptr;
    std::size_t free_size_ = 0;
};

}  // namespace kestrom
