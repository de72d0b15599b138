// Byte classification and case mapping in plain ASCII: the program never consults a locale, and
// bytes 128 to 255 are never changed.
#pragma once

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
/// White space of the "C" locale: blank, tab, newline, vertical tab, form feed, carriage return.
constexpr bool ascii_isspace(unsigned char c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}

}  // namespace kestrom
