// The help screen, the version line and the grammar of patterns, all on standard output. On a
// terminal the screen is cleared and the banner shown in bold; those sequences go to stderr.
#pragma once

#include "run_state.hpp"

namespace kestrom {

/// The version string of the banner and the version line.
inline constexpr const char* VERSION = "ver. " KESTROM_VERSION ", jul 2021";

/// The banner and the help screen.
void show_help(run_state& rs);
/// The banner and the grammar of patterns.
void show_grammar(run_state& rs);
/// The one-line version header, without terminal sequences.
void show_version(run_state& rs);

}  // namespace kestrom
