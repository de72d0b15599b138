// Argument files: "@file" (or a lone '@' for standard input) feeds further arguments, each
// processed in turn exactly as if it stood on the command line at that place.
#pragma once

#include "run_state.hpp"
#include "util/byte_stream.hpp"

namespace kestrom {

/// Nested argument files open at once, at most; one more is refused like a file that cannot be
/// opened, so that a file that names itself ends without exhausting memory.
inline constexpr int ARG_FILE_DEPTH_MAX = 65536;

/// The next token of in, NUL-terminated in token_buf (TOKEN_MAX + 1 bytes), or null at the end.
/// Tokens are separated by white space; '#' where a token would begin starts a comment up to the
/// end of the line; a token that begins with ", ' or ` runs to the same quote byte, no escapes.
/// A longer token is cut at TOKEN_MAX bytes and the rest read as a new token.
char* read_arg_token(byte_reader& in, char* token_buf);

/// Handles an argument that begins with '@': opens the source and processes its tokens, depth
/// first through nested references, without recursion.
void process_arg_file(run_state& rs, const char* arg);

}  // namespace kestrom
