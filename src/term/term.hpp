// Terminal attributes: the few ANSI sequences that the screens and the interactive display use.
// Nothing here reads from the terminal or asks about its state.
#pragma once

#include <cstdio>

namespace kestrom {

/// Where the sequences go and the attribute byte they leave behind.
struct term_state {
    bool term_on = true;               ///< sequences are written only while this is set
    std::FILE* term_stream = nullptr;  ///< destination; null means standard error
    unsigned char term_attr = 7;       ///< bits 0-2 foreground, 3 bold, 4-6 background, 7 blink
};

/// Erases the display and moves the cursor home.
void term_clear(term_state& t);
/// Switches bold on.
void term_bold(term_state& t);
/// Back to the plain attributes (white on black, not bold).
void term_reset(term_state& t);

}  // namespace kestrom
