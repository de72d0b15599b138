// What every automatic pass writes: the bytes that leave unchanged, and each found text answered
// as the settings say, without asking.
#pragma once

#include <cstddef>

#include "match/emitter.hpp"
#include "run_state.hpp"
#include "util/byte_stream.hpp"

namespace kestrom {

/// The output of one automatic pass and its result so far.
class pass_output {
  public:
    pass_output(run_state& rs, byte_writer& out)
        : rs_(rs), out_(out), replace_(rs.opts.auto_reply_yes) {}

    byte_writer& out() { return out_; }

    /// Writes n bytes that leave unchanged; false when the write failed.
    bool write(const unsigned char* p, std::size_t n) { return out_.write(p, n); }

    /// Counts the found text of n bytes and writes its replacement, or the text itself when found
    /// texts are left as they are; false when a write failed.
    bool take(const unsigned char* text, std::size_t n, replacement& repl) {
        count_found();
        return answer(text, n, repl);
    }
    /// take in two steps, for a pass that writes the bytes before the found text in between.
    void count_found() { ++rs_.count.found_count; }
    bool answer(const unsigned char* text, std::size_t n, replacement& repl) {
        if (!replace_) return out_.write(text, n);
        if (emit_replacement(rs_, text, n, repl, out_) != 0) return false;
        result_ = RESULT_CHANGED;
        return true;
    }

    /// The pass's result once the output is flushed.
    int finish() { return finish_pass(out_, result_); }

  private:
    run_state& rs_;
    byte_writer& out_;
    bool replace_;
    int result_ = RESULT_UNCHANGED;
};

}  // namespace kestrom
