#include "pattern/escape.hpp"

#include "util/ascii.hpp"

namespace kestrom {

namespace {

using byte = unsigned char;

constexpr byte hex_value(byte c) {
    return ascii_isdigit(c) ? static_cast<byte>(c - '0')
                            : static_cast<byte>(ascii_toupper(c) - 'A' + 10);
}

constexpr bool is_octal_digit(byte c) {
    return c >= '0' && c <= '7';
}

// A doubled backslash before one of these bytes (or before the end) collapses to one, so that the
// byte after it is read on its own. A third backslash is not among them: of three backslashes the
// first stays alone and the second and third are read as a pair.
constexpr bool starts_backslash_escape(byte c) {
    switch (c) {
        case '#':
        case '$':
        case 'a':
        case 'b':
        case 't':
        case 'n':
        case 'v':
        case 'f':
        case 'r':
            return true;
        default:
            return c >= '0' && c <= '8';
    }
}

// Up to max_digits hexadecimal digits from s; the value wraps in one byte. Stops at the NUL,
// which is no digit.
int read_hex(const byte* s, int max_digits, byte& value) {
    int taken = 0;
    value = 0;
    while (taken < max_digits && ascii_isxdigit(s[taken])) {
        value = static_cast<byte>(value * 16 + hex_value(s[taken]));
        ++taken;
    }
    return taken;
}

// The escape after a backslash at s[0]; s[1] may be the NUL.
int decode_backslash(byte* s) {
    const byte next = s[1];
    switch (next) {
        case '#':
        case '$':
            s[0] = next;
            return 2;
        case 'a':
            s[0] = 7;
            return 2;
        case 'b':
            s[0] = 8;
            return 2;
        case 't':
            s[0] = 9;
            return 2;
        case 'n':
            s[0] = 10;
            return 2;
        case 'v':
            s[0] = 11;
            return 2;
        case 'f':
            s[0] = 12;
            return 2;
        case 'r':
            s[0] = 13;
            return 2;
        case '\\':
            // Kept as one backslash either way; only the count differs.
            return (s[2] == '\0' || starts_backslash_escape(s[2])) ? 2 : 1;
        case '0': {
            if (s[2] != 'x' && s[2] != 'X') {
                s[0] = 0;
                return 2;
            }
            byte value;
            const int taken = read_hex(s + 3, 2, value);
            s[0] = value;
            return 3 + taken;
        }
        default:
            break;
    }
    if (next >= '1' && next <= '8') {
        // The leading digit counts its own value, even 8; only 0..7 continue the number.
        byte value = static_cast<byte>(next - '0');
        int taken = 0;
        while (taken < 2 && is_octal_digit(s[2 + taken])) {
            value = static_cast<byte>(value * 8 + (s[2 + taken] - '0'));
            ++taken;
        }
        s[0] = value;
        return 2 + taken;
    }
    // Not an escape: the backslash stays for the pattern compiler or the emitter.
    return 1;
}

}  // namespace

int decode_escape(char* p) {
    auto* s = reinterpret_cast<byte*>(p);
    switch (s[0]) {
        case '\0':
            return 0;
        case '#': {
            byte value = 0;
            int taken = 0;
            while (taken < 3 && ascii_isdigit(s[1 + taken])) {
                value = static_cast<byte>(value * 10 + (s[1 + taken] - '0'));
                ++taken;
            }
            s[0] = value;
            return 1 + taken;
        }
        case '$': {
            byte value;
            const int taken = read_hex(s + 1, 2, value);
            s[0] = value;
            return 1 + taken;
        }
        case '\\':
            return decode_backslash(s);
        default:
            return 1;
    }
}

std::size_t unescape(char* text) {
    std::size_t read = 0;
    std::size_t write = 0;
    // Every escape is at least as long as its byte, so write never overtakes read.
    while (text[read] != '\0') {
        const int used = decode_escape(text + read);
        text[write++] = text[read];
        read += static_cast<std::size_t>(used);
    }
    text[write] = '\0';
    return write;
}

}  // namespace kestrom
