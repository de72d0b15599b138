#include "match/confirm.hpp"

#include <cstdio>

#include "term/term.hpp"

namespace kestrom {

namespace {

constexpr int ROW_BYTES = 16;

constexpr char HEADER[] =
    "OFFSET                         Hex                                Ascii\n"
    "------- ------------------------------------------------   ----------------\n";
static_assert(sizeof HEADER - 1 == 72 + 76);

/// The screen of one question; every attribute switch happens where the reader of the dump
/// expects it, so that the found text stands out in bold in both columns.
class dump_writer {
  public:
    dump_writer(run_state& rs, const unsigned char* window, const match_window& w)
        : term_(rs.term),
          err_(rs.term.term_stream != nullptr ? rs.term.term_stream : stderr),
          window_(window),
          w_(w) {}

    void offset(int index) {
        std::fprintf(err_, "%07llX ", static_cast<unsigned long long>(w_.base_offset + index));
    }

    void hex(int p) {
        if (p == w_.start) term_bold(term_);
        if (p == w_.scan) term_reset(term_);
        std::fprintf(err_, "%02X ", window_[p]);
    }

    /// The gap and the character part of the row from q to p, with the attribute switches that
    /// close its hex part. Returns whether p lies inside the found text.
    bool row_end(int q, int p) {
        const bool inside = w_.start <= p && p < w_.scan;
        if (inside && q < w_.start) {
            term_reset(term_);
        } else if (w_.scan <= p + 1 && w_.start < q && q < w_.scan) {
            term_bold(term_);
        }
        std::fputs("   ", err_);
        for (int r = q; r <= p; ++r) {
            if (r == w_.start) term_bold(term_);
            if (r == w_.scan) term_reset(term_);
            std::fputc(printable(window_[r]), err_);
        }
        return inside;
    }

    void text(const char* s) { std::fputs(s, err_); }

    void prompt(const replacement& repl) {
        std::fputs("--> '", err_);
        for (std::size_t i = 0; i < repl.length; ++i)
            std::fputc(printable(static_cast<unsigned char>(repl.text[i])), err_);
        std::fputs("' (y/n/a/q) ? ", err_);
    }

  private:
    term_state& term_;
    std::FILE* err_;
    const unsigned char* window_;
    const match_window& w_;
};

}  // namespace

unsigned char printable(unsigned char b) {
    return (b >= 32 && b <= 126) || b >= 161 ? b : '.';
}

confirm_answer confirm_match(run_state& rs, byte_reader& in, unsigned char* window, int window_size,
                             match_window& w, const replacement& repl) {
    const int from = w.start >= CONTEXT_BYTES ? w.start - CONTEXT_BYTES : 0;
    // Read ahead for the context after the found text, leaving the window's last place free for
    // the matcher's next byte; a read error ends the look-ahead and shows at the end of the pass.
    while (w.end - w.scan < CONTEXT_BYTES && w.end < window_size - 1) {
        const int c = in.get();
        if (c == byte_reader::END) break;
        window[w.end++] = static_cast<unsigned char>(c);
    }
    const int to = w.end - w.scan <= CONTEXT_BYTES ? w.end : w.scan + CONTEXT_BYTES;

    dump_writer dump(rs, window, w);
    term_clear(rs.term);
    dump.text(HEADER);
    dump.offset(from);
    for (int p = from; p < to; ++p) {
        dump.hex(p);
        if ((p - from + 1) % ROW_BYTES == 0) {
            const bool inside = dump.row_end(p - (ROW_BYTES - 1), p);
            dump.text("\n");
            dump.offset(p + 1);
            if (inside) term_bold(rs.term);
        }
    }
    const int last_row = (to - from) % ROW_BYTES;
    if (last_row > 0) {
        for (int i = last_row; i < ROW_BYTES; ++i)
            dump.text("   ");
        dump.row_end(to - last_row, to - 1);
        dump.text("\n");
    }
    dump.prompt(repl);

    // Answers share standard input with the pass when that is its input.
    byte_reader& answers = in.fd() == 0 ? in : rs.answers;
    for (;;) {
        switch (answers.get()) {
            case 'y':
                dump.text("Yes\n");
                return ANSWER_YES;
            case 'a':
                dump.text("Auto Yes\n");
                rs.opts.automatic = !rs.opts.automatic;
                return ANSWER_YES;
            case 'n':
            case byte_reader::END:
                dump.text("No\n");
                return ANSWER_NO;
            case 'q':
                dump.text("No, Quit\n");
                return ANSWER_QUIT;
            default:
                break;  // anything else, a line end too, is skipped
        }
    }
}

}  // namespace kestrom
