#include "term/term.hpp"

namespace kestrom {

namespace {

/// One unformatted write of the sequence; a failing terminal is not worth a message.
void send(const term_state& t, const char* sequence, std::size_t length) {
    if (!t.term_on) return;
    std::FILE* stream = t.term_stream != nullptr ? t.term_stream : stderr;
    (void)std::fwrite(sequence, 1, length, stream);
}

}  // namespace

void term_clear(term_state& t) {
    send(t, "\033[2J\033[H", 7);
}

void term_bold(term_state& t) {
    t.term_attr |= 8;
    send(t, "\033[1m", 4);
}

void term_reset(term_state& t) {
    t.term_attr = 7;
    send(t, "\033[m", 3);
}

}  // namespace kestrom
