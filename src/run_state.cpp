#include "run_state.hpp"

#include "util/alloc.hpp"

namespace kestrom {

run_state::~run_state() {
    std_out.flush();
    xfree(pending_search, pending_size);
}

}  // namespace kestrom
