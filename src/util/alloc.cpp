#include "util/alloc.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "util/fatal_signal.hpp"

namespace kestrom {

namespace {
// Process-wide like malloc itself: the totals describe the one heap the process has.
std::size_t total_bytes = 0;
std::size_t peak_bytes = 0;

[[noreturn]] void out_of_memory(std::size_t size) {
    char msg[96];
    int n =
        std::snprintf(msg, sizeof msg, "FATAL: malloc(%zu) failed! total=%zu\n", size, total_bytes);
    if (n > 0) {
        ssize_t ignored = ::write(2, msg, static_cast<std::size_t>(n));
        (void)ignored;
    }
    run_exit_cleanup();
    std::_Exit(1);
}
}  // namespace

void* xmalloc(std::size_t size) {
    void* block = std::malloc(size == 0 ? 1 : size);
    if (block == nullptr) out_of_memory(size);
    total_bytes += size;
    if (total_bytes > peak_bytes) peak_bytes = total_bytes;
    return block;
}

void advise_huge_pages(void* block, std::size_t size) {
#ifdef MADV_HUGEPAGE
    constexpr std::uintptr_t HUGE_PAGE = std::uintptr_t{2} << 20;
    const auto from = (reinterpret_cast<std::uintptr_t>(block) + HUGE_PAGE - 1) & ~(HUGE_PAGE - 1);
    const auto to = (reinterpret_cast<std::uintptr_t>(block) + size) & ~(HUGE_PAGE - 1);
    if (from < to) ::madvise(reinterpret_cast<void*>(from), to - from, MADV_HUGEPAGE);
#else
    (void)block;
    (void)size;
#endif
}

void xfree(void* block, std::size_t size) {
    if (block == nullptr) return;
    std::free(block);
    total_bytes -= size;
}

void* xrealloc(void* block, std::size_t old_size, std::size_t new_size) {
    void* moved = xmalloc(new_size);
    if (block != nullptr) {
        std::memcpy(moved, block, old_size < new_size ? old_size : new_size);
        xfree(block, old_size);
    }
    return moved;
}

char* xstrndup(const char* text, std::size_t length) {
    if (text == nullptr) return nullptr;
    if (length == SIZE_MAX) out_of_memory(length);
    char* copy = static_cast<char*>(xmalloc(length + 1));
    std::memcpy(copy, text, length);
    copy[length] = '\0';
    return copy;
}

char* xstrdup(const char* text) {
    if (text == nullptr) text = "";
    return xstrndup(text, std::strlen(text));
}

std::size_t mem_total() {
    return total_bytes;
}
std::size_t mem_peak() {
    return peak_bytes;
}

}  // namespace kestrom
