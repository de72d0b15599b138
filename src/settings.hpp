// The settings and counters of a run. Option letters change the settings as the arguments are
// processed; they are never reset between files.
#pragma once

#include <cstdint>

namespace kestrom {

struct settings {
    bool options_on = true;      ///< arguments beginning with '-' are option groups
    bool replace_meta = true;    ///< replacements are escape-decoded and interpreted
    bool search_meta = true;     ///< search strings are escape-decoded and compiled as patterns
    bool auto_reply_yes = true;  ///< in automatic mode a found text is replaced (off: left as is)
    bool automatic = true;       ///< replace without asking
    bool case_sensitive = true;  ///< off: searches are folded to upper case, and so are input bytes
    bool overwrite = true;       ///< on: results go back into the file; off: to standard output
    bool text_mode = false;      ///< line mode instead of byte-stream mode
    bool link_re = false;        ///< compile search patterns in link mode
    bool swap_pairs = false;     ///< exchange search and replacement of each pair
    bool silent = false;         ///< suppress error messages
    bool verbose = false;        ///< progress and summary messages on stderr
    unsigned char in_term = '\n';   ///< byte that ends an input line in line mode
    unsigned char out_term = '\n';  ///< byte written after each output line in line mode
};

/// 64-bit inside: a large input with a one-byte pattern outgrows 32 bits.
struct counters {
    std::int64_t files_processed = 0;  ///< named files and standard-input attempts
    std::int64_t error_sum = 0;        ///< sum of the per-file results
    std::int64_t found_count = 0;      ///< occurrences found
    std::int64_t replaced_count = 0;   ///< replacements emitted
};

/// Per-file results, also the summands of the exit status.
enum : int {
    RESULT_CHANGED = 0,      ///< at least one replacement was written
    RESULT_UNCHANGED = 1,    ///< nothing replaced, or the input was not processed
    RESULT_WRITE_ERROR = 2,  ///< a write to the output failed (or the input could not be read)
};

}  // namespace kestrom
