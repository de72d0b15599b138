// Per-file processing: one named input, rewritten in place or copied to standard output.
#pragma once

#include "run_state.hpp"

namespace kestrom {

/// Why an input that is also the output is not read.
inline constexpr const char* OWN_OUTPUT = "input file is output file";

/// Whether in_fd and out_fd are the same regular file, so that filtering one into the other
/// would read back what it writes.
bool reads_own_output(int in_fd, int out_fd);

/// Processes the named file with the settings in force; returns the per-file result.
int process_file(run_state& rs, const char* name);

}  // namespace kestrom
