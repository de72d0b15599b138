// Byte sets for '[set]' elements of search patterns: a fixed 256-bit value that lives in the
// caller's storage, and the parser of the set language.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kestrom {

/// A set of byte values: byte b is a member when bit b % 16 of word b / 16 is set.
struct char_set {
    std::uint16_t word[16] = {};
};

/// Makes b a member.
constexpr void set_add(unsigned char b, char_set& set) {
    set.word[b >> 4] = static_cast<std::uint16_t>(set.word[b >> 4] | (1u << (b & 15)));
}

/// Whether b is a member.
constexpr bool set_contains(unsigned char b, const char_set& set) {
    return (set.word[b >> 4] >> (b & 15)) & 1u;
}

/// Whether no byte is a member.
constexpr bool set_is_empty(const char_set& set) {
    for (std::uint16_t w : set.word) {
        if (w != 0) return false;
    }
    return true;
}

/// Adds every member of source to dest; returns dest.
constexpr char_set& set_union(char_set& dest, const char_set& source) {
    for (int i = 0; i < 16; ++i) {
        dest.word[i] = static_cast<std::uint16_t>(dest.word[i] | source.word[i]);
    }
    return dest;
}

/// Removes every member of source from dest; returns dest.
constexpr char_set& set_subtract(char_set& dest, const char_set& source) {
    for (int i = 0; i < 16; ++i) {
        dest.word[i] = static_cast<std::uint16_t>(dest.word[i] & ~source.word[i]);
    }
    return dest;
}

/// Complements the set over all 256 byte values.
constexpr void set_invert(char_set& set) {
    for (std::uint16_t& w : set.word)
        w = static_cast<std::uint16_t>(~w);
}

/// Overwrites result with the set that length bytes of text describe: comma-separated items,
/// each listing bytes and ranges, added as they are, removed when led by '-', or added as their
/// complement when led by '!'. Every text is valid; returns result.
char_set& parse_set(char_set& result, const unsigned char* text, std::size_t length);

}  // namespace kestrom
