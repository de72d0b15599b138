// Per-file processing: one named input, rewritten in place or copied to standard output.
#pragma once

#include "run_state.hpp"

namespace kestrom {

/// Processes the named file with the settings in force; returns the per-file result.
int process_file(run_state& rs, const char* name);

}  // namespace kestrom
