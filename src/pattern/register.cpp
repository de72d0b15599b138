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

void register_pair(trie& t, const settings& opts, char* search, char* replacement_text) {
    if (opts.swap_pairs) std::swap(search, replacement_text);
    if (!opts.case_sensitive) str_upper(search);
    std::size_t repl_len =
        opts.replace_meta ? unescape(replacement_text) : std::strlen(replacement_text);
    replacement* record = t.record_new(replacement_text, repl_len);
    auto* bytes = reinterpret_cast<unsigned char*>(search);
    if (opts.search_meta) {
        std::size_t n = unescape(search);
        compile_re(t, &t.root, bytes, n, record, opts.link_re);
    } else {
        add_literal(t, &t.root, bytes, std::strlen(search), record);
    }
}

}  // namespace kestrom
