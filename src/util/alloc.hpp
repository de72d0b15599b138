// Counted allocation: every block the program takes goes through here, so that exhausted memory
// always ends with one clear message and status 1, and the totals can be reported.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <new>
#include <type_traits>
#include <vector>

namespace kestrom {

/// Allocates size bytes (at least one); on failure prints the FATAL message and exits with 1.
void* xmalloc(std::size_t size);
/// Releases a block of xmalloc; size must be the size it was allocated with. Null is ignored.
void xfree(void* block, std::size_t size);
/// Moves a block to a new size, copying the smaller of both sizes; a null block is only allocated.
void* xrealloc(void* block, std::size_t old_size, std::size_t new_size);
/// A copy of length bytes of text followed by a NUL (length + 1 bytes); null text gives null.
char* xstrndup(const char* text, std::size_t length);
/// xstrndup of the whole NUL-terminated text, or of the empty string when text is null.
char* xstrdup(const char* text);

/// Asks for the whole huge pages within size bytes at block, which is not yet touched: tables
/// read at random, far larger than what the processor maps at once, then miss less. A hint only.
void advise_huge_pages(void* block, std::size_t size);

/// Bytes currently allocated and the highest that total has been.
std::size_t mem_total();
std::size_t mem_peak();

/// Standard-container allocator over xmalloc/xfree.
template <typename T>
struct counted_allocator {
    using value_type = T;
    counted_allocator() noexcept = default;
    template <typename U>
    counted_allocator(const counted_allocator<U>&) noexcept {}

    T* allocate(std::size_t n) {
        if (n > std::numeric_limits<std::size_t>::max() / sizeof(T)) xmalloc(SIZE_MAX);
        return static_cast<T*>(xmalloc(n * sizeof(T)));
    }
    void deallocate(T* p, std::size_t n) noexcept { xfree(p, n * sizeof(T)); }

    template <typename U>
    bool operator==(const counted_allocator<U>&) const noexcept {
        return true;
    }
};

/// A vector in counted memory.
template <typename T>
using counted_vector = std::vector<T, counted_allocator<T>>;

/// A fixed number of elements of counted memory, left uninitialised: the buffers of a pass,
/// which it fills before it reads them.
template <typename T>
class counted_array {
    static_assert(std::is_trivially_copyable_v<T> && std::is_trivially_destructible_v<T>);

  public:
    explicit counted_array(std::size_t n)
        : n_(n), data_(n == 0 ? nullptr : counted_allocator<T>().allocate(n)) {}
    ~counted_array() {
        if (data_ != nullptr) counted_allocator<T>().deallocate(data_, n_);
    }
    counted_array(const counted_array&) = delete;
    counted_array& operator=(const counted_array&) = delete;

    T* data() const { return data_; }
    std::size_t size() const { return n_; }

  private:
    std::size_t n_;
    T* data_;
};

}  // namespace kestrom
