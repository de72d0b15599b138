#include "match/stream.hpp"

#include <cstring>

#include "match/confirm.hpp"
#include "match/emitter.hpp"
#include "match/fast/pass.hpp"
#include "match/line.hpp"
#include "match/walk.hpp"
#include "util/ascii.hpp"
#include "util/byte_search.hpp"

namespace kestrom {

namespace {

/// Which bytes the root list accepts (after case folding). A byte that no root node accepts can
/// only be written out unchanged when no candidate is pending, so such runs leave as blocks.
struct start_bytes {
    bool any = false;  ///< '?' or '*' at the root: every byte may start a found text
    int single = -1;   ///< the only starting byte, when there is exactly one
    bool table[256] = {};

    start_bytes(trie_node* root, bool fold) {
        int count = 0;
        const key_table keys(fold);
        for (int b = 0; b < 256; ++b) {
            trie_node* n = find_child(root, keys.of[b]);
            if (n == nullptr) continue;
            if (n->code == CODE_ANYCHAR || n->code == CODE_ANYSTR) any = true;
            table[b] = true;
            single = b;
            ++count;
        }
        if (count != 1) single = -1;
    }

    /// Length of the leading run of p[0..n) that cannot start a found text.
    std::size_t skip(const unsigned char* p, std::size_t n) const {
        if (n == 0 || table[p[0]]) return 0;  // dense finds: no call for an empty run
        if (single >= 0) {
            const void* hit = std::memchr(p, single, n);
            return hit == nullptr
                       ? n
                       : static_cast<std::size_t>(static_cast<const unsigned char*>(hit) - p);
        }
        std::size_t i = 0;
        while (i < n && !table[p[i]])
            ++i;
        return i;
    }
};

/// Copies the rest of in to out; false when a write failed.
bool copy_rest(byte_reader& in, byte_writer& out) {
    while (in.fill()) {
        if (!out.write(in.buffered(), in.buffered_size())) return false;
        in.consume(in.buffered_size());
    }
    return true;
}

}  // namespace

int run_engine(run_state& rs, byte_reader& in, byte_writer& out) {
    return rs.opts.text_mode ? line_replace(rs, in, out) : stream_replace(rs, in, out);
}

int stream_replace(run_state& rs, byte_reader& in, byte_writer& out) {
    return stream_replace(rs, in, out, rs.window_buf, WINDOW_SIZE);
}

namespace {

/// The walk of one pass: the window, where it stands in it, and where the walk stands in the
/// trie.
class plain_walk {
  public:
    plain_walk(run_state& rs, byte_reader& in, byte_writer& out, unsigned char* window,
               int window_size, bool skip_runs)
        : rs_(rs),
          in_(in),
          out_(out),
          window_(window),
          window_size_(window_size),
          fold_(!rs.opts.case_sensitive),  // nothing changes it during a pass
          root_(rs.patterns.root),
          starts_(root_, fold_),
          // The plain walk (skip_runs off) is what the fast paths are checked against.
          tables_(skip_runs ? rs.patterns.update_index() : nullptr),
          skip_runs_(skip_runs && !starts_.any),
          cur_list_(root_) {}

    int run() {
        const int c = in_.get();
        if (c == byte_reader::END) return RESULT_UNCHANGED;
        window_[0] = static_cast<unsigned char>(c);
        w_.start = 0;
        w_.scan = 1;
        w_.end = 1;
        b_ = static_cast<unsigned char>(c);
        for (;;) {
            const int r = take_byte();
            if (r != GO_ON) return r;
            const int n = next_byte();
            if (n != GO_ON) return n;
        }
    }

  private:
    /// What a step gives when the walk goes on; any other value is the pass's result.
    static constexpr int GO_ON = -1;

    int take_byte();
    int answer(const replacement& found);
    int next_byte();
    int skip_starts();
    bool window_full();

    run_state& rs_;
    byte_reader& in_;
    byte_writer& out_;
    unsigned char* const window_;
    const int window_size_;
    const bool fold_;
    trie_node* const root_;
    const start_bytes starts_;
    const list_index* const tables_;
    const bool skip_runs_;
    match_window w_;
    trie_node* cur_list_;
    trie_node* fallback_ = nullptr;
    unsigned char b_ = 0;  ///< the byte the walk takes next
    int result_ = RESULT_UNCHANGED;
};

/// The walk takes b_; a found text is answered.
int plain_walk::take_byte() {
    bool taken;
    replacement* found =
        walk_step(tables_, true, fold_ ? ascii_toupper(b_) : b_, cur_list_, fallback_, taken);
    if (!taken) {
        // Restart one byte further on; the rest of the candidate is re-scanned.
        if (!out_.put(window_[w_.start])) return RESULT_WRITE_ERROR;
        ++w_.start;
        w_.scan = w_.start;
        cur_list_ = root_;
    }
    if (found == nullptr) return GO_ON;
    const int r = answer(*found);
    if (r != GO_ON) return r;
    cur_list_ = root_;
    w_.start = w_.scan;
    fallback_ = nullptr;
    return GO_ON;
}

/// Replaces the found text, leaves it, or (on quit) copies the rest of the input unchanged.
int plain_walk::answer(const replacement& found) {
    ++rs_.count.found_count;
    confirm_answer answer;
    if (rs_.opts.automatic || rs_.stdin_used) {
        answer = rs_.opts.auto_reply_yes ? ANSWER_YES : ANSWER_NO;
    } else {
        answer = confirm_match(rs_, in_, window_, window_size_, w_, found);
    }
    const unsigned char* text = window_ + w_.start;
    const std::size_t len = static_cast<std::size_t>(w_.scan - w_.start);
    if (answer == ANSWER_YES) {
        if (emit_replacement(rs_, text, len, found.text, found.length, out_) != 0) {
            return RESULT_WRITE_ERROR;
        }
        result_ = RESULT_CHANGED;
    } else if (answer == ANSWER_NO) {
        if (!out_.write(text, len)) return RESULT_WRITE_ERROR;
    } else {
        if (!out_.write(text, static_cast<std::size_t>(w_.end - w_.start))) {
            return RESULT_WRITE_ERROR;
        }
        if (!copy_rest(in_, out_)) return RESULT_WRITE_ERROR;
        return finish_pass(out_, result_);
    }
    return GO_ON;
}

/// Takes the next byte: from the window when bytes wait there, else from the input.
int plain_walk::next_byte() {
    for (;;) {
        if (w_.scan < w_.end) {
            b_ = window_[w_.scan++];
            return GO_ON;
        }
        if (skip_runs_ && w_.start == w_.end && (rs_.opts.automatic || rs_.stdin_used)) {
            const int r = skip_starts();
            if (r != GO_ON) return r;
        }
        const int c = in_.get();
        if (c == byte_reader::END) {
            // The pending candidate leaves unchanged, whatever the walk's state.
            if (!out_.write(window_ + w_.start, static_cast<std::size_t>(w_.end - w_.start))) {
                return RESULT_WRITE_ERROR;
            }
            return finish_pass(out_, result_);
        }
        b_ = static_cast<unsigned char>(c);
        window_[w_.end++] = b_;
        w_.scan = w_.end;
        if (w_.end < window_size_) return GO_ON;
        if (w_.start == 0 && !out_.put(window_[0])) return RESULT_WRITE_ERROR;
        // The stored byte is looked up where the walk stood, unless the candidate was given up.
        if (!window_full()) return GO_ON;
    }
}

/// Nothing pending and no display needs the context: bytes that cannot start a found text
/// leave in runs. The window restarts empty, which changes no output.
int plain_walk::skip_starts() {
    w_.base_offset += static_cast<std::uint64_t>(w_.end);
    w_.start = w_.scan = w_.end = 0;
    for (;;) {
        if (in_.buffered_size() == 0 && !in_.fill()) return finish_pass(out_, result_);
        std::size_t run = starts_.skip(in_.buffered(), in_.buffered_size());
        if (run > 0) {
            if (!out_.write(in_.buffered(), run)) return RESULT_WRITE_ERROR;
            in_.consume(run);
            w_.base_offset += run;
        }
        if (in_.buffered_size() > 0) return GO_ON;
    }
}

/// The window is full: its pending bytes move to the front. A candidate that fills the whole
/// window is given up like a failed one (its first byte was written); says whether it was.
bool plain_walk::window_full() {
    bool gave_up = false;
    if (w_.start == 0) {
        w_.start = 1;
        w_.scan = 1;
        cur_list_ = root_;
        fallback_ = nullptr;
        gave_up = true;
    }
    std::memmove(window_, window_ + w_.start, static_cast<std::size_t>(w_.end - w_.start));
    w_.base_offset += static_cast<std::uint64_t>(w_.start);
    w_.scan -= w_.start;
    w_.end -= w_.start;
    w_.start = 0;
    return gave_up;
}

}  // namespace

int stream_replace(run_state& rs, byte_reader& in, byte_writer& out, unsigned char* window,
                   int window_size, bool skip_runs) {
    // Without a display nothing shows the window, so a pass free to lay it out its own way runs.
    if (skip_runs && (rs.opts.automatic || rs.stdin_used)) {
        return automatic_pass(rs, in, out, window_size);
    }
    plain_walk walk(rs, in, out, window, window_size, skip_runs);
    return walk.run();
}

}  // namespace kestrom
