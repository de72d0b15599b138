// Per-file processing: one named input, rewritten in place or copied to standard output.
#pragma once

#include "run_state.hpp"

namespace kestrom {

/// Processes the named file with the settings in force; returns the per-file result.
int process_file(run_state& rs, const char* name);

/// open(2) of name with the flags, never as a controlling terminal, again when a signal interrupts
/// it; -1 with errno set on failure.
int open_file(const char* name, int flags);

/// Whether path (symbolic links followed) is a directory; false when it cannot be queried.
bool is_directory(const char* path);

}  // namespace kestrom
