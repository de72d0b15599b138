#include "match/confirm.hpp"

namespace kestrom {

// Placeholder until interactive mode lands: the driver refuses -a, so nothing asks yet.
confirm_answer confirm_match(run_state&, byte_reader&, unsigned char*, int, match_window&,
                             const replacement&) {
    return ANSWER_YES;
}

}  // namespace kestrom
