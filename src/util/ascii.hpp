// Byte classification and case mapping in plain ASCII: the program never consults a locale, and
// bytes 128 to 255 are never changed.
#pragma once

#include <cstdint>

namespace kestrom {

constexpr bool ascii_isdigit(unsigned char c) {
    return c >= '0' && c <= '9';
}
constexpr bool ascii_isxdigit(unsigned char c) {
    return ascii_isdigit(c) || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
}
constexpr unsigned char ascii_toupper(unsigned char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<unsigned char>(c - 'a' + 'A') : c;
}
constexpr unsigned char ascii_tolower(unsigned char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c - 'A' + 'a') : c;
}
/// ascii_toupper of each of the eight bytes of v.
constexpr std::uint64_t ascii_toupper_bytes(std::uint64_t v) {
    constexpr std::uint64_t ONES = 0x0101010101010101ULL;
    const std::uint64_t low = v & (0x7f * ONES);  // each byte's high bit cleared, so no carry
    const std::uint64_t from_a = low + (0x80 - 'a') * ONES;      // high bit: at least 'a'
    const std::uint64_t past_z = low + (0x80 - 'z' - 1) * ONES;  // high bit: beyond 'z'
    const std::uint64_t lower = from_a & ~past_z & ~v & (0x80 * ONES);
    return v - (lower >> 2);  // 'a' - 'A' is 0x20, a high bit moved down two places
}
/// White space of the "C" locale: blank, tab, newline, vertical tab, form feed, carriage return.
constexpr bool ascii_isspace(unsigned char c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}

}  // namespace kestrom
