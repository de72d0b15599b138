// Pattern sources besides -e: delimited patterns (-p), pattern files (-f) and templates (-d, -t).
// A delimited pattern is "DsearchDreplacementDremark" with any byte D as its delimiter; every
// pattern ends in register_pair with the settings in force when it is read.
#pragma once

#include <cstddef>

#include "run_state.hpp"
#include "util/byte_stream.hpp"

namespace kestrom {

/// Registers the delimited pattern of a -p argument (text after the 'p', writable and changed in
/// place). Without its closing delimiter nothing is registered.
void parse_pattern_arg(run_state& rs, char* text);

/// The -f argument: the patterns of the named file, or of standard input for an empty name.
void read_pattern_source(run_state& rs, const char* name);

/// Registers each delimited pattern of in, one a line, until the end of in. Returns false when a
/// field over the size limits stopped the reading for good (the rest of in is ignored).
bool read_pattern_file(run_state& rs, byte_reader& in);

/// -dXstr: X names a template variable, str its value; an empty str undefines it. X 0: nothing.
void set_template_var(run_state& rs, unsigned char x, const char* value);

/// -tTEMPLATE: a new string with each byte that names a variable replaced by its value (one level
/// only). size receives the bytes allocated, for xfree.
char* expand_template(const run_state& rs, const char* templ, std::size_t& size);

}  // namespace kestrom
