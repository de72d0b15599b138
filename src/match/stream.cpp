#include "match/stream.hpp"

#include <cstring>

#include "match/confirm.hpp"
#include "match/emitter.hpp"
#include "match/fast/pass.hpp"
#include "match/line.hpp"
#include "match/walk.hpp"
#include "util/ascii.hpp"

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
        for (int b = 0; b < 256; ++b) {
            unsigned char key =
                fold ? ascii_toupper(static_cast<unsigned char>(b)) : static_cast<unsigned char>(b);
            trie_node* n = find_child(root, key);
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

int stream_replace(run_state& rs, byte_reader& in, byte_writer& out, unsigned char* window,
                   int window_size, bool skip_runs) {
    // Without a display nothing shows the window, so a pass free to lay it out its own way runs.
    if (skip_runs && (rs.opts.automatic || rs.stdin_used)) {
        return automatic_pass(rs, in, out, window_size);
    }
    const bool fold = !rs.opts.case_sensitive;  // nothing changes it during a pass
    trie_node* const root = rs.patterns.root;
    const start_bytes starts(root, fold);
    // The plain walk (skip_runs off) is what the fast paths are checked against.
    const list_index* const tables = skip_runs ? rs.patterns.update_index() : nullptr;
    skip_runs = skip_runs && !starts.any;

    int c = in.get();
    if (c == byte_reader::END) return RESULT_UNCHANGED;

    match_window w;
    window[0] = static_cast<unsigned char>(c);
    w.start = 0;
    w.scan = 1;
    w.end = 1;
    trie_node* cur_list = root;
    trie_node* fallback = nullptr;
    int result = RESULT_UNCHANGED;
    unsigned char b = static_cast<unsigned char>(c);

    for (;;) {
        bool taken;
        replacement* found =
            walk_step(tables, true, fold ? ascii_toupper(b) : b, cur_list, fallback, taken);
        if (!taken) {
            // Restart one byte further on; the rest of the candidate is re-scanned.
            if (!out.put(window[w.start])) return RESULT_WRITE_ERROR;
            ++w.start;
            w.scan = w.start;
            cur_list = root;
        }

        if (found != nullptr) {
            ++rs.count.found_count;
            confirm_answer answer;
            if (rs.opts.automatic || rs.stdin_used) {
                answer = rs.opts.auto_reply_yes ? ANSWER_YES : ANSWER_NO;
            } else {
                answer = confirm_match(rs, in, window, window_size, w, *found);
            }
            const unsigned char* text = window + w.start;
            const std::size_t len = static_cast<std::size_t>(w.scan - w.start);
            if (answer == ANSWER_YES) {
                if (emit_replacement(rs, text, len, found->text, found->length, out) != 0) {
                    return RESULT_WRITE_ERROR;
                }
                result = RESULT_CHANGED;
            } else if (answer == ANSWER_NO) {
                if (!out.write(text, len)) return RESULT_WRITE_ERROR;
            } else {
                if (!out.write(text, static_cast<std::size_t>(w.end - w.start))) {
                    return RESULT_WRITE_ERROR;
                }
                if (!copy_rest(in, out)) return RESULT_WRITE_ERROR;
                return finish_pass(out, result);
            }
            cur_list = root;
            w.start = w.scan;
            fallback = nullptr;
        }

        // Take the next byte: from the window when bytes wait there, else from the input.
        for (;;) {
            if (w.scan < w.end) {
                b = window[w.scan++];
                break;
            }
            if (skip_runs && w.start == w.end && (rs.opts.automatic || rs.stdin_used)) {
                // Nothing pending and no display needs the context: bytes that cannot start a
                // found text leave in runs. The window restarts empty, which changes no output.
                w.base_offset += static_cast<std::uint64_t>(w.end);
                w.start = w.scan = w.end = 0;
                for (;;) {
                    if (in.buffered_size() == 0 && !in.fill()) return finish_pass(out, result);
                    std::size_t run = starts.skip(in.buffered(), in.buffered_size());
                    if (run > 0) {
                        if (!out.write(in.buffered(), run)) return RESULT_WRITE_ERROR;
                        in.consume(run);
                        w.base_offset += run;
                    }
                    if (in.buffered_size() > 0) break;
                }
            }
            c = in.get();
            if (c == byte_reader::END) {
                // The pending candidate leaves unchanged, whatever the walk's state.
                if (!out.write(window + w.start, static_cast<std::size_t>(w.end - w.start))) {
                    return RESULT_WRITE_ERROR;
                }
                return finish_pass(out, result);
            }
            b = static_cast<unsigned char>(c);
            window[w.end++] = b;
            w.scan = w.end;
            if (w.end < window_size) break;

            // The window is full.
            bool gave_up = false;
            if (w.start == 0) {
                // The candidate fills the whole window: give it up like a failed one.
                if (!out.put(window[0])) return RESULT_WRITE_ERROR;
                w.start = 1;
                w.scan = 1;
                cur_list = root;
                fallback = nullptr;
                gave_up = true;
            }
            std::memmove(window, window + w.start, static_cast<std::size_t>(w.end - w.start));
            w.base_offset += static_cast<std::uint64_t>(w.start);
            w.scan -= w.start;
            w.end -= w.start;
            w.start = 0;
            if (!gave_up) break;  // the stored byte is looked up where the walk stood
        }
    }
}

}  // namespace kestrom
