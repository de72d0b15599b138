// Interactive confirmation of a found text.
#pragma once

#include "match/stream.hpp"

namespace kestrom {

enum confirm_answer { ANSWER_YES, ANSWER_NO, ANSWER_QUIT };

/// Shows the found text (window->start up to window->scan) in context and asks whether to
/// replace it with repl. May read look-ahead bytes into the window at window->end.
confirm_answer confirm_match(run_state& rs, byte_reader& in, unsigned char* window, int window_size,
                             match_window& w, const replacement& repl);

}  // namespace kestrom
