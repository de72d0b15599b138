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

/// Where the walk stands, and what each step reads: a value that run keeps in registers, where
/// members would be loaded again after every byte stored in the window (which might alias
/// them). The helpers are inlined into run.
struct cursor {
    byte_reader* in;
    pass_output* out;
    unsigned char* window;
    walk_state* recorded;  ///< the walk state recorded at each position of the window
    const list_index* tables;
    trie_node* root;
    bool stars;
    bool fold;
    bool skip_runs;
    int window_size;
    int capacity;
    int start;  ///< first byte of the current candidate
    int scan;   ///< one past the last byte taken for matching
    int end;    ///< one past the last byte stored
    trie_node* cur_list;
    trie_node* fallback = nullptr;
    // recorded[lo..hi] are states of one walk, which reached hi without ending; on_record says
    // whether the current walk is that walk (and so extends the record as it goes).
    int record_lo = 0;
    int record_hi = -1;
    bool on_record = false;
    unsigned char b = 0;  ///< the byte the walk takes next
    // Whether a candidate was given up at the window's limit since the last found text: only
    // then are fresh starts tested against the literal, so that dense finds pay nothing for it.
    bool far = false;
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
///  - once a candidate has been given up at the window's limit, or always where walks are short
///    (see restart_in_buffer), starts too far before a literal that every found text holds leave
///    unchanged in bulk (see literal_gap);
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
          root_steps_(plan.root, plan.fold),
          gaps_(*plan.required, plan.fold, gap_limit(plan), plan.tier),
          in_buffer_(shorter_than_window(plan)) {}

    int run();

  private:
    /// Whether walks are short enough for the literal to be looked for before every fresh start:
    /// bounded (no star) and shorter than the window's limit. A single byte is left to the start
    /// filter, which finds its rarest byte as fast and leaves the bytes between in one piece.
    static bool shorter_than_window(const walk_plan& plan) {
        return plan.required->length > 1 && plan.required->span > 0 &&
               plan.required->span < static_cast<std::size_t>(plan.window_size);
    }
    /// The literal gap's limit: one more than the longest found text.
    static int gap_limit(const walk_plan& plan) {
        return shorter_than_window(plan) ? static_cast<int>(plan.required->span) + 1
                                         : plan.window_size;
    }

    /// What next_byte gives when the walk has its next byte in c.b; any other value is the pass's
    /// result.
    static constexpr int GOT_BYTE = -1;
    /// What from_window gives when bytes left the window at once: it is looked at again.
    static constexpr int AGAIN = -2;

    bool take_byte(cursor& c);
    void record_state(cursor& c);
    template <bool IN_BUFFER>
    int steps(cursor c);
    template <bool IN_BUFFER>
    int next_byte(cursor& c);
    int from_window(cursor& c);
    int restart_empty(cursor& c);
    int restart_in_buffer(cursor& c);
    int walk_in_buffer(cursor& c, std::size_t& held);
    bool star_run(cursor& c);
    /// The candidate's start and end, and the record's end, after take_star_run.
    struct span {
        int start, end, record_hi;
    };
    span take_star_run(cursor c, const star_bytes& only);
    void shift_window(cursor& c);

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
    root_step_table root_steps_;
    star_table_cache star_cache_;
    literal_gap gaps_;
    // Where walks are short (no star, none as long as the window's limit), the literal lies close
    // to every found text: fresh starts are always tested against it, and walked over the input's
    // buffer (see restart_in_buffer).
    const bool in_buffer_;
};

int walk::run() {
    const int first = in_.get();
    if (first == byte_reader::END) return RESULT_UNCHANGED;
    cursor c{&in_,      &out_,       window_,    recorded_,  plan_.tables,
             root_,     plan_.stars, plan_.fold, skip_runs_, plan_.window_size,
             capacity_, 0,           1,          1,          root_};
    c.b = static_cast<unsigned char>(first);
    c.window[0] = c.b;
    return in_buffer_ ? steps<true>(c) : steps<false>(c);
}

/// The walk from byte to byte; IN_BUFFER as in_buffer_, a loop of its own so that the other
/// tries' loop keeps its registers.
template <bool IN_BUFFER>
[[gnu::noinline]] int walk::steps(cursor c) {
    for (;;) {
        if (!take_byte(c)) return RESULT_WRITE_ERROR;
        const int r = next_byte<IN_BUFFER>(c);
        if (r != GOT_BYTE) return r;
    }
}

/// The walk takes c.b; a found text is answered at once. False when a write failed.
[[gnu::always_inline]] inline bool walk::take_byte(cursor& c) {
    bool taken;
    replacement* found = walk_step(c.tables, c.stars, c.fold ? ascii_toupper(c.b) : c.b, c.cur_list,
                                   c.fallback, taken);
    if (!taken) {
        if (!c.out->out().put(c.window[c.start])) return false;
        ++c.start;
        c.scan = c.start;
        c.cur_list = c.root;
    }
    if (found != nullptr) {
        if (!c.out->take(c.window + c.start, static_cast<std::size_t>(c.scan - c.start), *found)) {
            return false;
        }
        c.cur_list = c.root;
        c.start = c.scan;
        c.fallback = nullptr;
        c.on_record = false;
        c.far = false;
    } else if (c.fallback != nullptr) {
        record_state(c);
    }
    return true;
}

/// A walk with a fallback records its state, or goes on from where the record shows it would.
[[gnu::always_inline]] inline void walk::record_state(cursor& c) {
    const walk_state now{c.cur_list, c.fallback};
    if (c.on_record) {
        c.recorded[c.scan] = now;  // the record's walk took one more byte
        c.record_hi = c.scan;
    } else if (c.scan < c.record_hi) {
        if (c.scan >= c.record_lo && c.recorded[c.scan] == now) {
            // The recorded walk went on from here without ending: so would this one.
            c.scan = c.record_hi;
            c.cur_list = c.recorded[c.scan].list;
            c.fallback = c.recorded[c.scan].fallback;
            c.on_record = true;
        }
    } else if (c.scan == c.record_hi && c.recorded[c.scan] == now) {
        c.on_record = true;
    } else {
        // A walk past the record, in a state of its own: it starts a new record.
        c.record_lo = c.record_hi = c.scan;
        c.recorded[c.scan] = now;
        c.on_record = true;
    }
}

/// The next byte for the walk: from the window when bytes wait there, else from the input.
template <bool IN_BUFFER>
[[gnu::always_inline]] inline int walk::next_byte(cursor& c) {
    for (;;) {
        if (c.scan < c.end) {
            const int r = from_window(c);
            if (r != AGAIN) return r;
            continue;
        }
        if (c.start == c.end) {
            const int r = IN_BUFFER ? restart_in_buffer(c) : restart_empty(c);
            if (r != GOT_BYTE) return r;
        }
        if (!star_run(c)) return RESULT_WRITE_ERROR;
        const int got = c.in->get();
        if (got == byte_reader::END) {
            if (!c.out->write(c.window + c.start, static_cast<std::size_t>(c.end - c.start))) {
                return RESULT_WRITE_ERROR;
            }
            return c.out->finish();
        }
        if (c.end == c.capacity) shift_window(c);
        c.b = static_cast<unsigned char>(got);
        c.window[c.end++] = c.b;
        c.scan = c.end;
        if (c.end - c.start < c.window_size) return GOT_BYTE;
        // The candidate is as long as the window: give it up like a failed one, and re-scan the
        // rest of it, the byte just stored included.
        if (!c.out->out().put(c.window[c.start])) return RESULT_WRITE_ERROR;
        ++c.start;
        c.scan = c.start;
        c.cur_list = c.root;
        c.fallback = nullptr;
        c.on_record = false;
        c.far = true;
    }
}

/// The next byte from the window: GOT_BYTE; AGAIN when fresh starts left at once; or
/// RESULT_WRITE_ERROR when a write failed.
[[gnu::always_inline]] inline int walk::from_window(cursor& c) {
    if (c.far && gaps_.usable() && c.scan == c.start) {
        // A fresh walk too far before the required literal: see literal_gap.
        const auto known = static_cast<std::size_t>(c.end - c.start);
        const std::size_t run = gaps_.gap(c.in->offset() - known, c.window + c.start, known,
                                          c.in->buffered(), c.in->buffered_size());
        if (run > 0) {
            const std::size_t here = std::min(run, known);
            if (!c.out->write(c.window + c.start, here)) return RESULT_WRITE_ERROR;
            c.start += static_cast<int>(here);
            c.scan = c.start;
            if (run > here) {
                // Past the window, into the input: the window is left empty.
                if (!c.out->write(c.in->buffered(), run - here)) return RESULT_WRITE_ERROR;
                c.in->consume(run - here);
            }
            return AGAIN;
        }
    }
    if (c.skip_runs && c.scan == c.start) {
        // A fresh walk from the root over re-scanned bytes: those that cannot start a found text
        // would each restart at once, so they leave together.
        const std::size_t run =
            plan_.starts->skip(c.window + c.scan, static_cast<std::size_t>(c.end - c.scan),
                               c.in->buffered(), c.in->buffered_size());
        if (run > 0) {
            if (!c.out->write(c.window + c.start, run)) return RESULT_WRITE_ERROR;
            c.start += static_cast<int>(run);
            c.scan = c.start;
            return AGAIN;
        }
    }
    c.b = c.window[c.scan++];
    return GOT_BYTE;
}

/// Nothing pending: the window restarts empty, and bytes that cannot start a found text leave in
/// runs. GOT_BYTE when the walk goes on to read a byte, else the pass's result.
[[gnu::always_inline]] inline int walk::restart_empty(cursor& c) {
    c.start = c.scan = c.end = 0;
    c.record_lo = 0;
    c.record_hi = -1;
    const bool gap_test = c.far && gaps_.usable();
    while (c.skip_runs || gap_test) {
        if (c.in->buffered_size() == 0 && !c.in->fill()) return c.out->finish();
        std::size_t run = gap_test ? gaps_.gap(c.in->offset(), nullptr, 0, c.in->buffered(),
                                               c.in->buffered_size())
                                   : 0;
        if (run == 0 && c.skip_runs)
            run = plan_.starts->skip(c.in->buffered(), c.in->buffered_size());
        if (run == 0) break;
        if (!c.out->write(c.in->buffered(), run)) return RESULT_WRITE_ERROR;
        c.in->consume(run);
    }
    return GOT_BYTE;
}

/// restart_empty where walks are short (see walk_in_buffer): the literal is looked for before
/// every start, the start filter tests the starts that its occurrence serves, and the others are
/// walked over the buffer. The bytes taken from the buffer that leave unchanged are written
/// together, so that a run past many failed starts is one write (and a long one needs no copy).
[[gnu::noinline]] int walk::restart_in_buffer(cursor& c) {
    c.start = c.scan = c.end = 0;
    c.record_lo = 0;
    c.record_hi = -1;
    std::size_t held = 0;  // the last bytes taken, written yet
    auto write_held = [&] {
        const bool ok = held == 0 || c.out->write(c.in->buffered() - held, held);
        held = 0;
        return ok;
    };
    for (;;) {
        if (c.in->buffered_size() == 0) {
            if (!write_held()) return RESULT_WRITE_ERROR;
            if (!c.in->fill()) return c.out->finish();
        }
        const unsigned char* const p = c.in->buffered();
        const std::size_t size = c.in->buffered_size();
        std::size_t run = gaps_.gap(c.in->offset(), nullptr, 0, p, size);
        if (run == 0 && c.skip_runs) {
            // Starts past the occurrence found wait for the next search, not for the filter.
            const std::size_t starts = std::min(size, gaps_.served(c.in->offset()));
            run = plan_.starts->skip(p, starts, p + starts, size - starts);
        }
        if (run == 0) {
            const int r = walk_in_buffer(c, held);
            if (r == AGAIN) continue;
            if (r != GOT_BYTE) return r;
            return write_held() ? GOT_BYTE : RESULT_WRITE_ERROR;
        }
        held += run;
        c.in->consume(run);
    }
}

/// A fresh walk where walks are short (no star, so no fallback, and shorter than the window's
/// limit), over the input's buffer itself: it completes or fails within the bytes buffered, as
/// the walk through the window would. A failed start's byte joins the held bytes (see
/// restart_empty); a found text leaves at once, after them. AGAIN when the walk ended; GOT_BYTE
/// when the buffer ends first (nothing is taken, the window's walk goes on from this start);
/// RESULT_WRITE_ERROR when a write failed.
[[gnu::always_inline]] inline int walk::walk_in_buffer(cursor& c, std::size_t& held) {
    const unsigned char* const p = c.in->buffered();
    const std::size_t n = c.in->buffered_size();
    trie_node* list = c.root;
    trie_node* fallback = nullptr;
    for (std::size_t k = 0; k < n; ++k) {
        bool taken;
        replacement* found = walk_step(c.tables, c.stars, c.fold ? ascii_toupper(p[k]) : p[k], list,
                                       fallback, taken);
        if (!taken) {
            ++held;
            c.in->consume(1);
            return AGAIN;
        }
        if (found != nullptr) {
            if (held > 0 && !c.out->write(p - held, held)) return RESULT_WRITE_ERROR;
            held = 0;
            if (!c.out->take(p, k + 1, *found)) return RESULT_WRITE_ERROR;
            c.in->consume(k + 1);
            return AGAIN;
        }
    }
    return GOT_BYTE;
}

/// Inside a star that has just taken a byte: see take_star_run. False when a write failed.
[[gnu::always_inline]] inline bool walk::star_run(cursor& c) {
    if (c.fallback == nullptr || c.fallback->code != CODE_ANYSTR ||
        c.cur_list != c.fallback->child) {
        return true;
    }
    const star_bytes& only = star_cache_.get(c.fallback, c.fold);
    const int kept = c.start;
    const span after = take_star_run(c, only);
    c.start = after.start;
    c.end = after.end;
    c.record_hi = after.record_hi;
    c.scan = c.end;
    return c.start == kept ||
           c.out->write(c.window + kept, static_cast<std::size_t>(c.start - kept));
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
// Out of line, on a copy of the cursor, so that its loop has the registers to itself.
[[gnu::noinline]] walk::span walk::take_star_run(cursor c, const star_bytes& only) {
    byte_reader& in = *c.in;
    if (in.buffered_size() == 0 && !in.fill())
        return {c.start, c.end, c.record_hi};  // the caller meets the end
    unsigned char* const window = c.window;
    walk_state* const recorded = c.recorded;
    const int window_size = c.window_size;
    const int record_lo = c.record_lo;
    const walk_state inside = recorded[c.end];
    const unsigned char* p = in.buffered();
    std::size_t n = in.buffered_size();
    if (n > static_cast<std::size_t>(c.capacity - c.end))
        n = static_cast<std::size_t>(c.capacity - c.end);
    int start = c.start;
    int end = c.end;
    std::size_t i = 0;
    for (; i < n; ++i) {
        const unsigned char v = p[i];
        if (!only.only[v]) break;
        if (end + 1 - start == window_size) {
            const int next = start + 1;
            const walk_state& s = root_steps_.after[window[next]];
            if (s.fallback == nullptr || next + 1 < record_lo || next + 1 > end ||
                !(recorded[next + 1] == s)) {
                break;
            }
            if (gaps_.usable()) {
                const auto known = static_cast<std::size_t>(end - next);
                if (gaps_.gap(in.offset() + i - known, window + next, known, p + i,
                              in.buffered_size() - i) > 0) {
                    break;
                }
            }
            start = next;
        }
        window[end++] = v;
        recorded[end] = inside;
    }
    in.consume(i);
    return {start, end, end};
}

/// Moves the pending bytes, and the record beside them, to the front of the window.
[[gnu::always_inline]] inline void walk::shift_window(cursor& c) {
    const int shift = c.start;
    std::memmove(window_, c.window + shift, static_cast<std::size_t>(c.end - shift));
    if (c.record_hi >= shift) {
        const int lo = c.record_lo > shift ? c.record_lo : shift;
        std::memmove(c.recorded + (lo - shift), c.recorded + lo,
                     static_cast<std::size_t>(c.record_hi - lo + 1) * sizeof(walk_state));
        c.record_lo = lo - shift;
        c.record_hi -= shift;
    } else {
        c.record_lo = 0;
        c.record_hi = -1;
    }
    c.start = 0;
    c.scan -= shift;
    c.end -= shift;
}

}  // namespace

int star_walk_pass(pass_output& out, byte_reader& in, const walk_plan& plan) {
    walk w(out, in, plan);
    return w.run();
}

}  // namespace kestrom
