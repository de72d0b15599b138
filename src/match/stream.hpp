// The stream matcher: one pass over an input, walking the trie with each byte, writing every byte
// that belongs to no found text and, for each found text, its replacement.
#pragma once

#include "run_state.hpp"
#include "util/byte_stream.hpp"

namespace kestrom {

/// Filters in to out with the matcher of the settings (line mode or byte stream).
int run_engine(run_state& rs, byte_reader& in, byte_writer& out);

/// One byte-stream pass over in, with the run's window. Returns 0 when a replacement was written,
/// 1 when none was, 2 when a write to out failed. A read error ends the input; the caller tells
/// it from the end through in.failed(). out is flushed before the return.
int stream_replace(run_state& rs, byte_reader& in, byte_writer& out);

/// The same pass over a window of window_size bytes (at least 2) instead of the run's own.
/// skip_runs off makes every byte take the plain per-byte walk, the reference that the fast paths
/// are checked against; on, a pass that shows nothing (automatic replacement, or standard input
/// already used) takes them, with the same output, result and counts.
int stream_replace(run_state& rs, byte_reader& in, byte_writer& out, unsigned char* window,
                   int window_size, bool skip_runs = true);

}  // namespace kestrom
