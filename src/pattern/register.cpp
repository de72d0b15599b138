#include "pattern/register.hpp"

#include <cstring>
#include <utility>

#include "pattern/compiler.hpp"
#include "pattern/escape.hpp"
#include "util/ascii.hpp"

namespace kestrom {

void str_upper(char* text) {
    for (; *text != '\0'; ++text) {
        *text = static_cast<char>(ascii_toupper(static_cast<unsigned char>(*text)));
    }
}

void register_pair(trie& t, const settings& opts, char* search, char* replacement_text,
                   literal_batch* batch) {
    if (opts.swap_pairs) std::swap(search, replacement_text);
    if (!opts.case_sensitive) str_upper(search);
    std::size_t repl_len =
        opts.replace_meta ? unescape(replacement_text) : std::strlen(replacement_text);
    replacement* record = t.record_new(replacement_text, repl_len);
    auto* bytes = reinterpret_cast<unsigned char*>(search);
    // Link mode's lists may be shared on purpose: its literals go in as they come.
    if (batch != nullptr && opts.link_re) {
        batch->flush();
        batch = nullptr;
    }
    if (opts.search_meta) {
        std::size_t n = unescape(search);
        if (batch != nullptr && batch->add_pattern(bytes, n, record)) return;
        if (batch != nullptr) batch->flush();
        compile_re(t, &t.root, bytes, n, record, opts.link_re);
    } else {
        const std::size_t n = std::strlen(search);
        if (batch != nullptr && n > 0) {
            batch->add(bytes, n, record);
            return;
        }
        if (batch != nullptr) batch->flush();
        add_literal(t, &t.root, bytes, n, record);
    }
}

}  // namespace kestrom
