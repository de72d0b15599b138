// Everything one run shares: settings, counters, the pattern trie and the matcher's window. The
// driver owns one and hands it down; tests build fresh ones.
#pragma once

#include <cstddef>

#include "pattern/trie.hpp"
#include "settings.hpp"
#include "term/term.hpp"
#include "util/byte_stream.hpp"
#include "util/simd_tier.hpp"

namespace kestrom {

/// Bytes of the stream matcher's window of re-scannable input.
inline constexpr int WINDOW_SIZE = 4096;
/// Bytes of one token of an argument file.
inline constexpr int TOKEN_MAX = 255;

struct arg_source;
class filtered_files;
struct pass_cache;

struct run_state {
    settings opts;
    counters count;
    trie patterns;
    bool stdin_used = false;         ///< standard input has been consumed (at most once a run)
    char* pending_search = nullptr;  ///< owned search waiting for its replacement, or null
    std::size_t pending_size = 0;    ///< bytes allocated for pending_search
    const char* progname = "kestrom";
    bool fsync_writeback = false;  ///< the write-back reaches the disk before it is trusted
    term_state term;               ///< terminal attributes of the screens and the display
    byte_writer std_out{1};        ///< standard output, shared by every pass that writes to it
    /// Standard input for the answers of the interactive mode, one byte per read, so that nothing
    /// after an answer is taken from a later reader; once it has ended it stays ended.
    byte_reader answers{0, 1};
    /// The stream matcher's window; the pattern-file reader needs two bytes more.
    unsigned char window_buf[WINDOW_SIZE + 2] = {};
    /// Template variables of -d by byte value: null, or an owned non-empty string.
    char* template_vars[256] = {};
    /// The token of an argument file being processed, valid until the next one is read.
    char token_buf[TOKEN_MAX + 1] = {};
    /// The widest SIMD tier the fast paths use: the processor's best, narrower in tests.
    simd_tier tier = best_simd_tier();
    arg_source* arg_sources = nullptr;  ///< argument files being read, innermost first
    int arg_depth = 0;                  ///< how many of them
    /// The files rewritten in place so far (owned by the driver); null: no file is remembered.
    filtered_files* filtered = nullptr;
    /// What the automatic pass derives from the trie and keeps for the next pass (owned, freed by
    /// free_pass_cache), so that a run over many small files builds it once.
    pass_cache* fast_cache = nullptr;
    void (*free_pass_cache)(pass_cache*) = nullptr;
    /// The buffers of the reader and the writer of a file rewritten in place, taken at the first
    /// such file and kept for the next: a run over many small files would otherwise take and
    /// give them back for each.
    unsigned char* file_read_buffer = nullptr;   ///< READ_BUFFER_SIZE bytes
    unsigned char* file_write_buffer = nullptr;  ///< STREAM_BUFFER_SIZE bytes

    run_state() = default;
    ~run_state();
    run_state(const run_state&) = delete;
    run_state& operator=(const run_state&) = delete;
};

}  // namespace kestrom
