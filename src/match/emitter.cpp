#include "match/emitter.hpp"

namespace kestrom {

// Placeholder until the replacement language lands: the text is written as stored.
int emit_replacement(run_state& rs, const unsigned char* /*found*/, std::size_t /*found_len*/,
                     const char* text, std::size_t text_len, byte_writer& out) {
    ++rs.count.replaced_count;
    return out.write(text, text_len) ? 0 : 1;
}

}  // namespace kestrom
