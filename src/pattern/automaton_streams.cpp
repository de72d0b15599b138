// The automaton's interleaved streams: a long span of input cut into several streams that are
// stepped side by side, so that the loads of one stream's step overlap those of the others.
#include <algorithm>

#include "pattern/automaton.hpp"

namespace kestrom {

namespace {

static_assert(literal_automaton::STREAMS_MAX_SPAN >= 2 * 4 * 256,
              "the widest span holds two of the narrowest");

/// What the streams over dense rows read: the rows, the class of each input byte, and how many
/// bytes each stream but the first warms up over.
struct dense_walk {
    const std::uint32_t* rows;
    const std::uint32_t* class_of;
    std::size_t warm;
};

/// Follows the n bytes at p through dense rows in four streams, and writes in after[k] the
/// offset of the row after byte k. The first stream starts from the row at off, the others from
/// the root warm bytes before their stream: at least the deepest state's depth, which makes their
/// state there exact. Needs n >= 4 * warm.
void follow_four(const dense_walk& w, const unsigned char* p, std::size_t n, std::uint32_t off,
                 std::uint32_t* after) {
    const std::uint32_t* const rows = w.rows;
    const std::uint32_t* const class_of = w.class_of;
    const std::size_t m = n / 4;
    std::uint32_t o0 = off, o1 = 0, o2 = 0, o3 = 0;
    const unsigned char* const q0 = p;
    const unsigned char* const q1 = p + m;
    const unsigned char* const q2 = p + 2 * m;
    const unsigned char* const q3 = p + 3 * m;
    for (std::size_t k = m - w.warm; k < m; ++k) {
        o1 = rows[o1 + class_of[q0[k]]];
        o2 = rows[o2 + class_of[q1[k]]];
        o3 = rows[o3 + class_of[q2[k]]];
    }
    std::uint32_t* const a0 = after;
    std::uint32_t* const a1 = after + m;
    std::uint32_t* const a2 = after + 2 * m;
    std::uint32_t* const a3 = after + 3 * m;
    for (std::size_t k = 0; k < m; ++k) {
        o0 = rows[o0 + class_of[q0[k]]];
        o1 = rows[o1 + class_of[q1[k]]];
        o2 = rows[o2 + class_of[q2[k]]];
        o3 = rows[o3 + class_of[q3[k]]];
        a0[k] = o0;
        a1[k] = o1;
        a2[k] = o2;
        a3[k] = o3;
    }
    // The last stream takes what the division left.
    for (std::size_t k = 4 * m; k < n; ++k) {
        o3 = rows[o3 + class_of[p[k]]];
        after[k] = o3;
    }
}

/// follow_four over a wide span: STREAMS streams of STREAM_BYTES each.
template <std::size_t STREAMS, std::size_t STREAM_BYTES>
void follow_wide(const dense_walk& w, const unsigned char* p, std::uint32_t off,
                 std::uint32_t* after) {
    static_assert(STREAM_BYTES >= 256, "a stream warms up within the one before");
    const std::uint32_t* const rows = w.rows;
    const std::uint32_t* const class_of = w.class_of;
    constexpr std::size_t M = STREAM_BYTES;
    std::uint32_t o[STREAMS] = {off};
    for (std::size_t k = M - w.warm; k < M; ++k) {
#pragma GCC unroll 16
        for (std::size_t j = 1; j < STREAMS; ++j)
            o[j] = rows[o[j] + class_of[p[(j - 1) * M + k]]];
    }
    for (std::size_t k = 0; k < M; ++k) {
#pragma GCC unroll 16
        for (std::size_t j = 0; j < STREAMS; ++j) {
            o[j] = rows[o[j] + class_of[p[j * M + k]]];
            after[j * M + k] = o[j];
        }
    }
}

}  // namespace

void literal_automaton::follow_streams(const unsigned char* p, std::size_t n, state_id from,
                                       const pass_tables& t, std::uint32_t* trace) const {
    if (dense_.empty()) {
        follow_sparse(p, n, from, t, trace);
    } else {
        follow_dense(p, n, from, t, trace);
    }
}

void literal_automaton::follow_dense(const unsigned char* p, std::size_t n, state_id from,
                                     const pass_tables& t, std::uint32_t* trace) const {
    static_assert(STREAMS == 4, "follow_four is written out for four streams");
    static_assert(WIDE_STREAM_BYTES >= MAX_WARM, "a stream warms up within the one before");
    const dense_walk w{dense_.data(), t.class_of, max_depth_};
    if (n == STREAMS_MAX_SPAN) {
        follow_wide<WIDE_STREAMS, WIDE_STREAM_BYTES>(w, p, dense_offset_of(from), trace);
    } else {
        follow_four(w, p, n, dense_offset_of(from), trace);
    }
}

/// Takes each stream's bytes, at its own pace: at a state without a row, it asks for the state's
/// node and lets the other streams take their turns before it reads it. Notes the state after
/// each byte in trace when NOTE is set.
template <bool NOTE>
void literal_automaton::step_streams(const stepper& steps, const unsigned char* key_of,
                                     const unsigned char* p,
                                     sparse_stream (&streams)[SPARSE_STREAMS],
                                     std::uint32_t* trace) {
    std::size_t live = 0;
    for (sparse_stream& l : streams) {
        l.asked = false;
        live += l.at < l.end;
    }
    while (live > 0) {
        for (sparse_stream& l : streams) {
            if (l.at == l.end) continue;
            if (l.asked) {
                // Without a jump on whether the node has the key: where it has not, the state
                // noted is its link's, until the byte is taken.
                const bool took = steps.node_step(l.s, key_of[p[l.at]]);
                if (NOTE) trace[l.at] = l.s;
                l.at += took;
            }
            // Steps through rows, which are near, up to a state without one.
            while (l.at < l.end && steps.has_row(l.s)) {
                l.s = steps.row_step(l.s, key_of[p[l.at]]);
                if (NOTE) trace[l.at] = l.s;
                ++l.at;
            }
            l.asked = l.at < l.end;
            if (l.asked) {
                steps.prefetch(l.s);
            } else {
                --live;
            }
        }
    }
}

/// The streams over an automaton without dense rows, whose steps wait on loads from tables too
/// large for the cache: SPARSE_STREAMS streams, and trace[k] is the state after byte k, marked
/// where a walk completes. A stream but the first starts from the root up to SPARSE_WARM bytes
/// early (no more than the deepest state's depth). That reaches its exact first state unless a
/// deeper walk is alive there, so each is checked against the state that the stream before ends
/// in; where they differ, the stream is stepped again from that state up to where its states
/// meet those noted, which are the same from there on.
void literal_automaton::follow_sparse(const unsigned char* p, std::size_t n, state_id from,
                                      const pass_tables& t, std::uint32_t* trace) const {
    static_assert(SPARSE_STREAMS * SPARSE_WARM <= STREAMS * 256,
                  "the shortest span that is streamed gives each stream its warm-up");
    const stepper steps = this->steps();
    const std::size_t m = n / SPARSE_STREAMS;
    const std::size_t early = std::min(max_depth_, SPARSE_WARM);
    sparse_stream streams[SPARSE_STREAMS];
    for (std::size_t j = 0; j < SPARSE_STREAMS; ++j)
        streams[j] = sparse_stream{ROOT, false, j == 0 ? 0 : j * m - early, j * m};
    step_streams<false>(steps, t.key_of, p, streams, trace);
    state_id entry[SPARSE_STREAMS];
    for (std::size_t j = 0; j < SPARSE_STREAMS; ++j) {
        // The last stream takes what the division left.
        entry[j] = j == 0 ? from : streams[j].s;
        streams[j] =
            sparse_stream{entry[j], false, j * m, j + 1 == SPARSE_STREAMS ? n : (j + 1) * m};
    }
    step_streams<true>(steps, t.key_of, p, streams, trace);
    for (std::size_t j = 1; j < SPARSE_STREAMS; ++j) {
        state_id s = trace[j * m - 1];
        if (s == entry[j]) continue;
        for (std::size_t k = j * m; k < streams[j].end; ++k) {
            s = steps.step(s, t.key_of[p[k]]);
            if (trace[k] == s) break;
            trace[k] = s;
        }
    }
}

}  // namespace kestrom
