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

/// Filters standard input to standard output, once per run; returns the per-file result.
int process_stdin(run_state& rs);

/// open(2) of name with the flags, never as a controlling terminal, again when a signal interrupts
/// it; -1 with errno set on failure.
int open_file(const char* name, int flags);

}  // namespace kestrom
