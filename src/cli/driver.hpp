// The program driver: arguments in order, each taking effect at once.
#pragma once

#include "run_state.hpp"

namespace kestrom {

/// The whole program: returns the exit status.
int run_main(int argc, char** argv);

/// Handles one argument (writable, NUL-terminated): an option group, the replacement of a pending
/// search, an argument file or a file name.
void process_arg(run_state& rs, char* arg);

/// The highest exit status a sum of per-file results gives.
inline constexpr int EXIT_STATUS_CAP = 125;

/// The exit status for a sum of per-file results: capped, so that no failing sum reads as 0 nor as
/// a status that xargs or a shell takes for something else.
int exit_status(std::int64_t error_sum);

}  // namespace kestrom
