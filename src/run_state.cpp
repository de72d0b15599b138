#include "run_state.hpp"

#include <cstring>

#include "util/alloc.hpp"

namespace kestrom {

run_state::~run_state() {
    std_out.flush();
    if (fast_cache != nullptr) free_pass_cache(fast_cache);
    xfree(file_read_buffer, READ_BUFFER_SIZE);
    xfree(file_write_buffer, STREAM_BUFFER_SIZE);
    xfree(pending_search, pending_size);
    for (char* value : template_vars) {
        if (value != nullptr) xfree(value, std::strlen(value) + 1);
    }
}

}  // namespace kestrom
