#include "match/fast/dictionary.hpp"

#include <algorithm>
#include <cstring>

#include "util/alloc.hpp"
#include "util/byte_search.hpp"

namespace kestrom {

namespace {

using state_id = literal_automaton::state_id;
constexpr state_id ROOT = literal_automaton::ROOT;

/// When the start filter is used at the root: while it pays. Where it passes over fewer than
/// PAYS bytes a call on average over CALLS calls, the automaton's own steps are cheaper, and it
/// rests for the next BACKOFF bytes, twice as many each time it does not pay again, up to
/// BACKOFF_MAX. Beside the interleaved streams, which step several times as fast as one walk from
/// the root, it must also pass over SHARE times the bytes stepped between its calls. Places count
/// every byte of the input from the pass's first.
class filter_budget {
  public:
    explicit filter_budget(bool useful) : useful_(useful) {}

    bool in_use(std::size_t at) const { return useful_ && at >= from_; }

    /// Notes a call of the filter from at that passed over passed bytes.
    void note_call(std::size_t at, std::size_t passed, bool streams) {
        if (calls_ == 0) round_ = at;
        passed_ += passed;
        if (++calls_ < CALLS) return;
        const std::size_t now = at + passed;
        const std::size_t stepped = now - round_ - passed_;
        if (passed_ < CALLS * PAYS || (streams && passed_ < SHARE * stepped)) {
            from_ = now + backoff_;
            backoff_ = std::min(2 * backoff_, BACKOFF_MAX);
        } else {
            backoff_ = BACKOFF;
        }
        calls_ = 0;
        passed_ = 0;
    }

  private:
    static constexpr unsigned CALLS = 32;
    static constexpr std::size_t PAYS = 8;
    static constexpr std::size_t SHARE = 4;
    static constexpr std::size_t BACKOFF = 65536;
    static constexpr std::size_t BACKOFF_MAX = std::size_t{4} << 20;
    bool useful_;
    std::size_t from_ = 0;  // where the filter is used again
    std::size_t backoff_ = BACKOFF;
    unsigned calls_ = 0;
    std::size_t passed_ = 0;
    std::size_t round_ = 0;  // where the calls counted began
};

/// The earliest completion seen while earlier starts were alive, in buf's places.
struct pending_text {
    bool on = false;
    std::size_t start = 0;
    std::size_t end = 0;
    replacement* repl = nullptr;
};

/// One pass's state. The input is read into buf; the bytes from the first not yet written on
/// stay there.
class dictionary_walk {
  public:
    dictionary_walk(pass_output& out, byte_reader& in, const literal_automaton& automaton,
                    const start_filter& starts, bool fold, simd_tier tier,
                    dictionary_memory& memory)
        : out_(out),
          in_(in),
          a_(automaton),
          starts_(starts),
          tier_(tier),
          streams_(automaton.streams_usable()),
          min_span_(automaton.streams_min_span()),
          trace_(streams_ ? memory.trace() : nullptr),
          buf_(memory.buffer()),
          budget_(starts.useful) {
        a_.make_pass_tables(key_table(fold), tables_);
    }

    int run();

  private:
    static constexpr std::size_t CAPACITY = dictionary_memory::CAPACITY;
    static constexpr std::size_t FAILED = ~std::size_t{0};

    bool refill();
    std::size_t follow_streams_from(std::size_t from, std::size_t span);
    bool take(std::size_t start, std::size_t end, replacement* repl);
    bool keep_earliest(std::size_t start, std::size_t end, replacement* repl);

    pass_output& out_;
    byte_reader& in_;
    const literal_automaton& a_;
    const start_filter& starts_;
    simd_tier tier_;
    literal_automaton::pass_tables tables_;
    bool streams_;
    std::size_t min_span_;
    /// The trace after each byte of the streams, then the places of the completions among them.
    std::uint32_t* trace_;
    unsigned char* buf_;
    std::size_t len_ = 0;
    std::size_t done_ = 0;     // bytes before it are written
    std::size_t i_ = 0;        // next byte to feed (see run)
    std::size_t shifted_ = 0;  // bytes moved out of buf so far
    state_id s_ = ROOT;
    pending_text pending_;
    bool at_end_ = false;
    filter_budget budget_;
};

/// Answers a found text and moves past it; false when a write failed.
inline bool dictionary_walk::take(std::size_t start, std::size_t end, replacement* repl) {
    out_.count_found();
    if (!out_.out().write_padded(buf_ + done_, start - done_)) return false;
    if (!out_.answer(buf_ + start, end - start, *repl)) return false;
    done_ = end;
    return true;
}

/// Makes a completion the pending one unless one that started no later is; says whether.
inline bool dictionary_walk::keep_earliest(std::size_t start, std::size_t end, replacement* repl) {
    if (pending_.on && start >= pending_.start) return false;
    pending_ = pending_text{true, start, end, repl};
    return true;
}

int dictionary_walk::run() {
    // The place, state and length in locals, which the compiler keeps in registers across the
    // filter's calls; the members hold them for the helpers that read them.
    std::size_t i = i_;
    state_id s = s_;
    std::size_t len = len_;
    for (;;) {
        if (i == len) {
            // A completion still waits only behind an earlier start that is alive.
            if (at_end_)
                return out_.write(buf_ + done_, len - done_) ? out_.finish() : RESULT_WRITE_ERROR;
            i_ = i;
            s_ = s;
            if (!refill()) return RESULT_WRITE_ERROR;
            i = i_;
            len = len_;
            continue;
        }
        const bool filter = budget_.in_use(shifted_ + i);
        if (filter && s == ROOT && !pending_.on) {
            const std::size_t passed = starts_.skip(buf_ + i, len - i);
            budget_.note_call(shifted_ + i, passed, streams_);
            i += passed;
            if (i == len) continue;
        }
        if (!pending_.on && streams_ && !filter && len - i >= min_span_) {
            s_ = s;
            i = follow_streams_from(i, std::min(len - i, literal_automaton::STREAMS_MAX_SPAN));
            if (i == FAILED) return RESULT_WRITE_ERROR;
            s = s_;
            continue;
        }
        if (!pending_.on && a_.has_row(s)) {
            // With the filter in use, the rows stop at the root for it.
            i += a_.run_rows(s, buf_ + i, len - i, filter, tables_);
            if (i == len) continue;
        }
        s = a_.step(s, tables_.key_of[buf_[i]]);
        ++i;
        if (literal_automaton::completes(s)) {
            const state_id c = a_.completed(s);
            keep_earliest(i - a_.depth(c), i, a_.record(c));
        }
        if (!pending_.on || i - a_.depth(s) < pending_.start) continue;
        // No start before the pending one is alive: it is the walk's next found text.
        if (!take(pending_.start, pending_.end, pending_.repl)) return RESULT_WRITE_ERROR;
        i = done_;
        s = ROOT;
        pending_.on = false;
    }
}

/// Keeps what a walk may still need, writes the rest, and reads on; false when a write failed.
bool dictionary_walk::refill() {
    const std::size_t live = i_ - a_.depth(s_);
    const std::size_t keep = pending_.on && pending_.start < live ? pending_.start : live;
    if (keep > done_) {
        if (!out_.write(buf_ + done_, keep - done_)) return false;
        done_ = keep;
    }
    if (done_ > 0) {
        std::memmove(buf_, buf_ + done_, len_ - done_);
        len_ -= done_;
        i_ -= done_;
        pending_.start -= pending_.on ? done_ : 0;
        pending_.end -= pending_.on ? done_ : 0;
        shifted_ += done_;
        done_ = 0;
    }
    const std::size_t n = in_.read(buf_ + len_, CAPACITY - len_);
    if (n == 0) {
        at_end_ = true;
    } else {
        len_ += n;
    }
    return true;
}

/// Follows the span bytes from `from` (where no completion is pending) through the streams, then
/// goes over the completions noted, in order, as the steps from byte to byte would: the earliest
/// start alive after the last found text decides whether a pending completion is taken. The
/// streams never restart after a found text, so a completion that started before its end is
/// passed over, and the completions after a pending one that is taken are looked at again.
/// Returns where it stopped (s_ and any pending completion hold there), or FAILED when a write
/// failed.
std::size_t dictionary_walk::follow_streams_from(std::size_t from, std::size_t span) {
    std::uint32_t* const trace = trace_;
    a_.follow_streams(buf_ + from, span, s_, tables_, trace);
    std::uint32_t* const completions = trace + literal_automaton::STREAMS_MAX_SPAN;
    const std::size_t count = list_at_least(trace, span, a_.trace_completes(), completions, tier_);
    std::size_t pending_at = 0;
    for (std::size_t j = 0;; ++j) {
        // Past the last completion, the state after the last byte.
        const std::size_t at = j < count ? completions[j] : span - 1;
        const std::size_t end = from + at + 1;
        std::size_t depth;
        replacement* record;
        if (j < count && !pending_.on && a_.deepest_completes(trace[at], depth, record) &&
            depth <= end - done_) {
            // Most often the deepest walk alive completes there: its found text is taken.
            if (!take(end - depth, end, record)) return FAILED;
            continue;
        }
        // The deepest walk alive there that started at or after the last found text's end.
        state_id y = a_.state_of_trace(trace[at]);
        while (a_.depth(y) > end - done_)
            y = a_.fail(y);
        const state_id c = j < count ? a_.completed(y) : ROOT;
        if (c != ROOT && keep_earliest(end - a_.depth(c), end, a_.record(c))) pending_at = j;
        if (pending_.on && end - a_.depth(y) >= pending_.start) {
            if (!take(pending_.start, pending_.end, pending_.repl)) return FAILED;
            pending_.on = false;
            j = pending_at;
            continue;
        }
        if (j == count) {
            s_ = y;
            return from + span;
        }
    }
}

}  // namespace

dictionary_memory::~dictionary_memory() {
    xfree(buffer_, BUFFER_SIZE);
    xfree(trace_, TRACE_SIZE * sizeof *trace_);
}

unsigned char* dictionary_memory::buffer() {
    if (buffer_ == nullptr) buffer_ = static_cast<unsigned char*>(xmalloc(BUFFER_SIZE));
    return buffer_;
}

std::uint32_t* dictionary_memory::trace() {
    if (trace_ == nullptr) {
        trace_ = static_cast<std::uint32_t*>(xmalloc(TRACE_SIZE * sizeof *trace_));
    }
    return trace_;
}

int dictionary_pass(pass_output& out, byte_reader& in, const literal_automaton& automaton,
                    const start_filter& starts, bool fold, simd_tier tier,
                    dictionary_memory& memory) {
    if (in.buffered_size() == 0 && !in.fill()) return RESULT_UNCHANGED;  // nothing to flush
    dictionary_walk walk(out, in, automaton, starts, fold, tier, memory);
    return walk.run();
}

}  // namespace kestrom
