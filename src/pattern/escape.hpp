// Escape decoding of search and replacement strings: "#ddd" decimal, "$hh" hexadecimal and the
// backslash escapes of character constants, each yielding one byte.
#pragma once

#include <cstddef>

namespace kestrom {

/// Decodes the escape or plain byte at p into p[0]; returns the source bytes consumed (0 at the
/// terminating NUL, else 1 to 5). Never reads past the NUL.
int decode_escape(char* p);

/// Decodes a NUL-terminated string in place; returns its new length (it may hold NUL bytes).
std::size_t unescape(char* text);

}  // namespace kestrom
