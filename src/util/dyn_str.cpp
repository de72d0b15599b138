#include "util/dyn_str.hpp"

#include <cstdint>
#include <cstring>

#include "util/alloc.hpp"

namespace kestrom {

namespace {

/// The capacity for n bytes and the NUL after them: the next multiple of alloc_quantum above n,
/// or, for large records, at least twice the old capacity.
std::size_t capacity_for(std::size_t n, std::size_t old_capacity) {
    if (n > SIZE_MAX - alloc_quantum) xmalloc(SIZE_MAX);  // ends with the FATAL message
    std::size_t cap = (n / alloc_quantum + 1) * alloc_quantum;
    if (cap > DYN_STR_GEOMETRIC_FROM && old_capacity <= SIZE_MAX / 2 && cap < old_capacity * 2) {
        cap = old_capacity * 2;
    }
    return cap;
}

}  // namespace

dyn_str* dyn_str_new(const unsigned char* bytes, std::size_t n) {
    auto* ds = static_cast<dyn_str*>(xmalloc(sizeof(dyn_str)));
    ds->size = bytes != nullptr ? n : 0;
    ds->capacity = capacity_for(ds->size, 0);
    ds->data = static_cast<unsigned char*>(xmalloc(ds->capacity));
    if (bytes != nullptr && n > 0) std::memcpy(ds->data, bytes, n);
    ds->data[ds->size] = 0;
    return ds;
}

dyn_str* dyn_str_from(const char* text) {
    if (text == nullptr) return dyn_str_new(nullptr, 0);
    return dyn_str_new(reinterpret_cast<const unsigned char*>(text), std::strlen(text));
}

void dyn_str_reserve(dyn_str* ds, std::size_t n) {
    if (n < ds->capacity) return;
    const std::size_t cap = capacity_for(n, ds->capacity);
    ds->data = static_cast<unsigned char*>(xrealloc(ds->data, ds->capacity, cap));
    ds->capacity = cap;
}

void dyn_str_putc(dyn_str* ds, unsigned char b) {
    ds->data[ds->size++] = b;
    if (ds->size == ds->capacity) dyn_str_reserve(ds, ds->size);
    ds->data[ds->size] = 0;
}

void dyn_str_append(dyn_str* ds, const unsigned char* bytes, std::size_t n) {
    if (n == 0) return;
    if (n > SIZE_MAX - ds->size) xmalloc(SIZE_MAX);
    dyn_str_reserve(ds, ds->size + n);
    std::memcpy(ds->data + ds->size, bytes, n);
    ds->size += n;
    ds->data[ds->size] = 0;
}

void dyn_str_free(dyn_str* ds) {
    if (ds == nullptr) return;
    xfree(ds->data, ds->capacity);
    xfree(ds, sizeof(dyn_str));
}

}  // namespace kestrom
