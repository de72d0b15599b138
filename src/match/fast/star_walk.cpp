#include "match/fast/star_walk.hpp"

#include <cstring>

#include "match/fast/literal_gap.hpp"
#include "match/walk.hpp"
#include "util/alloc.hpp"
#include "util/ascii.hpp"

namespace kestrom {

namespace {

/// Where a walk stands between two bytes: the list the next lookup starts at, and the fallback.
struct walk_state {
    trie_node* list;
    trie_node* fallback;
    bool operator==(const walk_state&) const = default;
};

/// The state after a walk from the root takes each byte, when that walk goes on with a fallback;
/// {null, null} when it ends, fails or has no fallback (so it can meet no recorded state).
struct root_step_table {
    walk_state after[256];

    root_step_table(trie_node* root, bool fold) {
        trie_node* last = root;
        while (last != nullptr && last->next != nullptr)
            last = last->next;
        const bool star_last = last != nullptr && last->code == CODE_ANYSTR;
        const key_table keys(fold);
        for (int v = 0; v < 256; ++v) {
            after[v] = walk_state{nullptr, nullptr};
            trie_node* n = find_child(root, keys.of[v]);
            if (n == nullptr || n->repl != nullptr || !star_last || last->repl != nullptr) continue;
            after[v] = walk_state{n->child, n};
        }
    }
};

/// Which bytes a star takes when it stands in its own list right after taking a byte: the bytes
/// for which the list offers nothing but the star, so that the walk stays where it is.
struct star_bytes {
    trie_node* star = nullptr;
    bool fold = false;
    bool only[256] = {};

    void build(trie_node* s, bool folded) {
        star = s;
        fold = folded;
        const key_table keys(folded);
        for (int v = 0; v < 256; ++v)
            only[v] = s->repl == nullptr && find_child(s->child, keys.of[v]) == s;
    }
};

/// The tables of the last few stars met, so that alternating between stars does not rebuild.
class star_table_cache {
  public:
    const star_bytes& get(trie_node* star, bool fold) {
        for (star_bytes& t : tables_) {
            if (t.star == star && t.fold == fold) return t;
        }
        star_bytes& t = tables_[next_];
        next_ = (next_ + 1) % SIZE;
        t.build(star, fold);
        return t;
    }

  private:
    static constexpr int SIZE = 4;
    star_bytes tables_[SIZE];
    int next_ = 0;
};

/// The walk's state. It gives the same output, result and counts as the plain walk, with these
/// differences in how it gets there:
///  - the window is twice as large, so that a candidate given up at the window's limit moves its
///    bytes only once per window rather than once per byte; the limit of a candidate is its
///    length (window_size bytes, as in the walk, where a candidate is given up when it fills the
///    window);
///  - a walk with a fallback records its state at each position. Such a walk never fails, so
///    from the state recorded at a position it takes every byte up to the last recorded position
///    without ending, and stands there in the last recorded state. A later walk (a re-scan after
///    a candidate was given up or found) that reaches a recorded state at the same position would
///    repeat that: it goes on from the last recorded position at once. This turns the re-scan of
///    up to a window per byte under a leading star into a few lookups;
///  - once a candidate has been given up at the window's limit, starts too far before a literal
///    that every found text holds leave unchanged in bulk (see literal_gap);
///  - inside a star, see take_star_run; fresh starts that cannot begin a found text, see
///    start_filter.
class walk {
  public:
    walk(pass_output& out, byte_reader& in, const walk_plan& plan)
        : out_(out),
          in_(in),
          plan_(plan),
          root_(plan.root),
          skip_runs_(plan.starts->useful),
          capacity_(2 * plan.window_size),
          bytes_(static_cast<std::size_t>(capacity_)),
          states_(static_cast<std::size_t>(capacity_) + 1),
          window_(bytes_.data()),
          recorded_(states_.data()),
          cur_list_(plan.root),
          root_steps_(plan.root, plan.fold),
          gaps_(*plan.required, plan.fold, plan.window_size, plan.tier) {}

    int run();

  private:
    /// What next_byte gives when the walk has its next byte in b_; any other value is the pass's
    /// result.
    static constexpr int GOT_BYTE = -1;
    /// What from_window gives when bytes left the window at once: it is looked at again.
    static constexpr int AGAIN = -2;

    bool take_byte();
    void record_state();
    int next_byte();
    int from_window();
    int restart_empty();
    bool star_run();
    void take_star_run(const star_bytes& only);
    void shift_window();

    pass_output& out_;
    byte_reader& in_;
    const walk_plan& plan_;
    trie_node* const root_;
    const bool skip_runs_;
    const int capacity_;
    counted_array<unsigned char> bytes_;
    counted_array<walk_state> states_;
    unsigned char* const window_;
    walk_state* const recorded_;  ///< the walk state recorded at each position of the window
    int start_ = 0;               ///< first byte of the current candidate
    int scan_ = 1;                ///< one past the last byte taken for matching
    int end_ = 1;                 ///< one past the last byte stored
    trie_node* cur_list_;
    trie_node* fallback_ = nullptr;
    // recorded_[lo..hi] are states of one walk, which reached hi without ending; on_record says
    // whether the current walk is that walk (and so extends the record as it goes).
    int record_lo_ = 0;
    int record_hi_ = -1;
    bool on_record_ = false;
    unsigned char b_ = 0;  ///< the byte the walk takes next
    root_step_table root_steps_;
    star_table_cache star_cache_;
    literal_gap gaps_;
    // Whether a candidate was given up at the window's limit since the last found text: only
    // then are fresh starts tested against the literal, so that dense finds pay nothing for it.
    bool far_ = false;
};

int walk::run() {
    const int c = in_.get();
    if (c == byte_reader::END) return RESULT_UNCHANGED;
    b_ = static_cast<unsigned char>(c);
    window_[0] = b_;
    for (;;) {
        if (!take_byte()) return RESULT_WRITE_ERROR;
        const int r = next_byte();
        if (r != GOT_BYTE) return r;
    }
}

/// The walk takes b_; a found text is answered at once. False when a write failed.
bool walk::take_byte() {
    bool taken;
    replacement* found = walk_step(plan_.tables, plan_.stars, plan_.fold ? ascii_toupper(b_) : b_,
                                   cur_list_, fallback_, taken);
    if (!taken) {
        if (!out_.out().put(window_[start_])) return false;
        ++start_;
        scan_ = start_;
        cur_list_ = root_;
    }
    if (found != nullptr) {
        if (!out_.take(window_ + start_, static_cast<std::size_t>(scan_ - start_), *found)) {
            return false;
        }
        cur_list_ = root_;
        start_ = scan_;
        fallback_ = nullptr;
        on_record_ = false;
        far_ = false;
    } else if (fallback_ != nullptr) {
        record_state();
    }
    return true;
}

/// A walk with a fallback records its state, or goes on from where the record shows it would.
void walk::record_state() {
    const walk_state now{cur_list_, fallback_};
    if (on_record_) {
        recorded_[scan_] = now;  // the record's walk took one more byte
        record_hi_ = scan_;
    } else if (scan_ < record_hi_) {
        if (scan_ >= record_lo_ && recorded_[scan_] == now) {
            // The recorded walk went on from here without ending: so would this one.
            scan_ = record_hi_;
            cur_list_ = recorded_[scan_].list;
            fallback_ = recorded_[scan_].fallback;
            on_record_ = true;
        }
    } else if (scan_ == record_hi_ && recorded_[scan_] == now) {
        on_record_ = true;
    } else {
        // A walk past the record, in a state of its own: it starts a new record.
        record_lo_ = record_hi_ = scan_;
        recorded_[scan_] = now;
        on_record_ = true;
    }
}

/// The next byte for the walk: from the window when bytes wait there, else from the input.
int walk::next_byte() {
    for (;;) {
        if (scan_ < end_) {
            const int r = from_window();
            if (r != AGAIN) return r;
            continue;
        }
        if (start_ == end_) {
            const int r = restart_empty();
            if (r != GOT_BYTE) return r;
        }
        if (!star_run()) return RESULT_WRITE_ERROR;
        const int c = in_.get();
        if (c == byte_reader::END) {
            if (!out_.write(window_ + start_, static_cast<std::size_t>(end_ - start_))) {
                return RESULT_WRITE_ERROR;
            }
            return out_.finish();
        }
        if (end_ == capacity_) shift_window();
        b_ = static_cast<unsigned char>(c);
        window_[end_++] = b_;
        scan_ = end_;
        if (end_ - start_ < plan_.window_size) return GOT_BYTE;
        // The candidate is as long as the window: give it up like a failed one, and re-scan the
        // rest of it, the byte just stored included.
        if (!out_.out().put(window_[start_])) return RESULT_WRITE_ERROR;
        ++start_;
        scan_ = start_;
        cur_list_ = root_;
        fallback_ = nullptr;
        on_record_ = false;
        far_ = true;
    }
}

/// The next byte from the window: GOT_BYTE; AGAIN when fresh starts left at once; or
/// RESULT_WRITE_ERROR when a write failed.
int walk::from_window() {
    if (far_ && gaps_.usable() && scan_ == start_) {
        // A fresh walk too far before the required literal: see literal_gap.
        const auto known = static_cast<std::size_t>(end_ - start_);
        const std::size_t run = gaps_.gap(in_.offset() - known, window_ + start_, known,
                                          in_.buffered(), in_.buffered_size());
        if (run > 0) {
            const std::size_t here = std::min(run, known);
            if (!out_.write(window_ + start_, here)) return RESULT_WRITE_ERROR;
            start_ += static_cast<int>(here);
            scan_ = start_;
            if (run > here) {
                // Past the window, into the input: the window is left empty.
                if (!out_.write(in_.buffered(), run - here)) return RESULT_WRITE_ERROR;
                in_.consume(run - here);
            }
            return AGAIN;
        }
    }
    if (skip_runs_ && scan_ == start_) {
        // A fresh walk from the root over re-scanned bytes: those that cannot start a found text
        // would each restart at once, so they leave together.
        const std::size_t run =
            plan_.starts->skip(window_ + scan_, static_cast<std::size_t>(end_ - scan_),
                               in_.buffered(), in_.buffered_size());
        if (run > 0) {
            if (!out_.write(window_ + start_, run)) return RESULT_WRITE_ERROR;
            start_ += static_cast<int>(run);
            scan_ = start_;
            return AGAIN;
        }
    }
    b_ = window_[scan_++];
    return GOT_BYTE;
}

/// Nothing pending: the window restarts empty, and bytes that cannot start a found text leave in
/// runs. GOT_BYTE when the walk goes on to read a byte, else the pass's result.
int walk::restart_empty() {
    start_ = scan_ = end_ = 0;
    record_lo_ = 0;
    record_hi_ = -1;
    const bool gap_test = far_ && gaps_.usable();
    while (skip_runs_ || gap_test) {
        if (in_.buffered_size() == 0 && !in_.fill()) return out_.finish();
        std::size_t run =
            gap_test ? gaps_.gap(in_.offset(), nullptr, 0, in_.buffered(), in_.buffered_size()) : 0;
        if (run == 0 && skip_runs_) run = plan_.starts->skip(in_.buffered(), in_.buffered_size());
        if (run == 0) break;
        if (!out_.write(in_.buffered(), run)) return RESULT_WRITE_ERROR;
        in_.consume(run);
    }
    return GOT_BYTE;
}

/// Inside a star that has just taken a byte: see take_star_run. False when a write failed.
bool walk::star_run() {
    if (fallback_ == nullptr || fallback_->code != CODE_ANYSTR || cur_list_ != fallback_->child) {
        return true;
    }
    const star_bytes& only = star_cache_.get(fallback_, plan_.fold);
    const int kept = start_;
    take_star_run(only);
    scan_ = end_;
    return start_ == kept || out_.write(window_ + kept, static_cast<std::size_t>(start_ - kept));
}

/// Takes input bytes in bulk while the walk stands inside a star, at the newest byte (the star's
/// list as cur_list, the star as fallback, and the state recorded at end). Each byte the star
/// alone takes leaves the walk where it is; it is stored and its state recorded. When the
/// candidate reaches the window's limit, the walk gives it up and re-scans from one byte
/// further on; that is done here only when the re-scan meets the record after one byte (so it
/// goes on from the newest byte at once, as the walk would) and the required literal does not let
/// the new start be passed over (the caller does that). Stops at the first byte that needs
/// more, at the end of the buffered input or of the storage; the bytes given up are those from
/// the old start to the new one, for the caller to write.
void walk::take_star_run(const star_bytes& only) {
    if (in_.buffered_size() == 0 && !in_.fill()) return;  // the caller meets the end
    const walk_state inside = recorded_[end_];
    const unsigned char* p = in_.buffered();
    std::size_t n = in_.buffered_size();
    if (n > static_cast<std::size_t>(capacity_ - end_))
        n = static_cast<std::size_t>(capacity_ - end_);
    int start = start_;
    int end = end_;
    std::size_t i = 0;
    for (; i < n; ++i) {
        const unsigned char v = p[i];
        if (!only.only[v]) break;
        if (end + 1 - start == plan_.window_size) {
            const int next = start + 1;
            const walk_state& s = root_steps_.after[window_[next]];
            if (s.fallback == nullptr || next + 1 < record_lo_ || next + 1 > end ||
                !(recorded_[next + 1] == s)) {
                break;
            }
            if (gaps_.usable()) {
                const auto known = static_cast<std::size_t>(end - next);
                if (gaps_.gap(in_.offset() + i - known, window_ + next, known, p + i,
                              in_.buffered_size() - i) > 0) {
                    break;
                }
            }
            start = next;
        }
        window_[end++] = v;
        recorded_[end] = inside;
    }
    start_ = start;
    end_ = end;
    record_hi_ = end;
    in_.consume(i);
}

/// Moves the pending bytes, and the record beside them, to the front of the window.
void walk::shift_window() {
    const int shift = start_;
    std::memmove(window_, window_ + shift, static_cast<std::size_t>(end_ - shift));
    if (record_hi_ >= shift) {
        const int lo = record_lo_ > shift ? record_lo_ : shift;
        std::memmove(recorded_ + (lo - shift), recorded_ + lo,
                     static_cast<std::size_t>(record_hi_ - lo + 1) * sizeof(walk_state));
        record_lo_ = lo - shift;
        record_hi_ -= shift;
    } else {
        record_lo_ = 0;
        record_hi_ = -1;
    }
    start_ = 0;
    scan_ -= shift;
    end_ -= shift;
}

}  // namespace

int star_walk_pass(pass_output& out, byte_reader& in, const walk_plan& plan) {
    walk w(out, in, plan);
    return w.run();
}

}  // namespace kestrom
