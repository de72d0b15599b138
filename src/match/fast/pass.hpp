// The automatic pass: the stream matcher's pass when no found text is shown, the same output,
// result and counts as the per-byte walk by faster means. See pass.cpp for which strategy runs
// when.
#pragma once

#include "run_state.hpp"
#include "util/byte_stream.hpp"

namespace kestrom {

/// One pass over in with automatic answers (no display, so the window is the pass's own). The
/// limit of a candidate is window_size bytes, as in the walk. Returns what stream_replace does.
int automatic_pass(run_state& rs, byte_reader& in, byte_writer& out, int window_size);

}  // namespace kestrom
