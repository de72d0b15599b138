// A growable byte string with a NUL after its last byte, for records of any length.
#pragma once

#include <cstddef>

namespace kestrom {

/// Small capacities of a dyn_str are multiples of this.
inline constexpr std::size_t alloc_quantum = 64;
/// From this capacity on a dyn_str doubles instead of growing by alloc_quantum, so that a huge
/// record is copied a few times, not once per 64 bytes.
inline constexpr std::size_t DYN_STR_GEOMETRIC_FROM = 4096;

/// A growable byte string; a NUL always follows its last byte.
struct dyn_str {
    unsigned char* data;   ///< the bytes, then a NUL
    std::size_t size;      ///< bytes held
    std::size_t capacity;  ///< bytes allocated for data; always greater than size
};

/// A new dyn_str holding a copy of n bytes (or nothing when bytes is null).
dyn_str* dyn_str_new(const unsigned char* bytes, std::size_t n);
/// A new dyn_str holding the NUL-terminated text, or an empty one when text is null.
dyn_str* dyn_str_from(const char* text);
/// Makes room for n bytes and the NUL after them; nothing when n is below the capacity.
void dyn_str_reserve(dyn_str* ds, std::size_t n);
/// Appends one byte.
void dyn_str_putc(dyn_str* ds, unsigned char b);
/// Appends n bytes.
void dyn_str_append(dyn_str* ds, const unsigned char* bytes, std::size_t n);
/// Releases ds and its buffer; null is ignored.
void dyn_str_free(dyn_str* ds);

}  // namespace kestrom
