// Where the stream matcher stands in its window of re-scannable input, shared by the walk and the
// confirmation screen that shows the window.
#pragma once

#include <cstdint>

namespace kestrom {

/// Positions of one pass in the window.
struct match_window {
    int start = 0;                  ///< first byte of the current candidate
    int scan = 0;                   ///< one past the last byte taken for matching
    int end = 0;                    ///< one past the last byte stored
    std::uint64_t base_offset = 0;  ///< input offset of window[0]
};

}  // namespace kestrom
