// The replacement emitter: writes what one found text is replaced with.
#pragma once

#include <cstddef>

#include "run_state.hpp"

namespace kestrom {

/// Writes the replacement text for the found text to out, through the replacement language when
/// replace_meta is on, verbatim otherwise. Counts replaced_count on every call. Returns 0 when
/// every byte was written, 1 when a write failed.
int emit_replacement(run_state& rs, const unsigned char* found, std::size_t found_len,
                     const char* text, std::size_t text_len, byte_writer& out);
/// The same with the text of a record, written at once when no byte of it is an operator.
int emit_record(run_state& rs, const unsigned char* found, std::size_t found_len, replacement& repl,
                byte_writer& out);
inline int emit_replacement(run_state& rs, const unsigned char* found, std::size_t found_len,
                            replacement& repl, byte_writer& out) {
    if (repl.operators != 1) return emit_record(rs, found, found_len, repl, out);
    ++rs.count.replaced_count;
    return out.write(repl.text, repl.length) ? 0 : 1;
}

/// The result of a pass whose output is flushed now: result, or RESULT_WRITE_ERROR when the
/// flush failed.
inline int finish_pass(byte_writer& out, int result) {
    return out.flush() ? result : RESULT_WRITE_ERROR;
}

}  // namespace kestrom
