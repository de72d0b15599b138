// Interactive confirmation of a found text: a dump of its surroundings on the terminal, with the
// found text in bold, and a one-letter answer from standard input.
#pragma once

#include "match/match_window.hpp"
#include "run_state.hpp"
#include "util/byte_stream.hpp"

namespace kestrom {

enum confirm_answer { ANSWER_YES, ANSWER_NO, ANSWER_QUIT };

/// The most bytes shown before the found text, and the most shown after it.
inline constexpr int CONTEXT_BYTES = 128;

/// The byte shown for b in the character column and in the prompt: b itself when it prints
/// (32 to 126, 161 to 255), '.' otherwise.
unsigned char printable(unsigned char b);

/// Shows the found text (window from w.start up to w.scan) in context on the terminal and asks
/// whether to replace it with repl. It may read up to CONTEXT_BYTES bytes after the found text
/// from in into the window at w.end, never filling the window's last place; it changes nothing
/// else of w. The answer comes from in itself when in is standard input, otherwise from
/// rs.answers; 'a' also switches rs.opts.automatic on.
confirm_answer confirm_match(run_state& rs, byte_reader& in, unsigned char* window, int window_size,
                             match_window& w, const replacement& repl);

}  // namespace kestrom
