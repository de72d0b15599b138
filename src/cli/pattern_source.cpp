#include "cli/pattern_source.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "file/process.hpp"
#include "pattern/register.hpp"
#include "util/alloc.hpp"

namespace kestrom {

namespace {

/// Search and replacement of a pattern-file line together hold at most this many bytes.
constexpr std::size_t PATTERN_TEXT_MAX = WINDOW_SIZE;

enum class field_end { delimiter, end_of_input, over_limit };

/// Stores the bytes of one field at buf[at...] until the delimiter, which is consumed and not
/// stored. Once at reaches limit the next byte must be the delimiter; any other is consumed too.
field_end read_field(byte_reader& in, int delimiter, unsigned char* buf, std::size_t& at,
                     std::size_t limit) {
    for (;;) {
        int c = in.get();
        if (c == byte_reader::END) return field_end::end_of_input;
        if (c == delimiter) return field_end::delimiter;
        if (at == limit) return field_end::over_limit;
        buf[at++] = static_cast<unsigned char>(c);
    }
}

}  // namespace

void parse_pattern_arg(run_state& rs, char* text) {
    if (text[0] == '\0') return;
    char* first = std::strchr(text + 1, text[0]);
    if (first == nullptr) return;
    char* second = std::strchr(first + 1, text[0]);
    if (second == nullptr) return;
    *first = '\0';
    *second = '\0';
    register_pair(rs.patterns, rs.opts, text + 1, first + 1);
}

namespace {
bool read_patterns(run_state& rs, byte_reader& in, literal_batch& batch) {
    // The window is free while patterns are read: search, NUL, replacement, NUL.
    unsigned char* buf = rs.window_buf;
    static_assert(sizeof rs.window_buf >= PATTERN_TEXT_MAX + 2);
    for (;;) {
        int delimiter = in.get();
        if (delimiter == byte_reader::END) return true;
        std::size_t at = 0;
        field_end e = read_field(in, delimiter, buf, at, PATTERN_TEXT_MAX);
        if (e != field_end::delimiter) return e == field_end::end_of_input;
        const std::size_t search_length = at;
        buf[at++] = '\0';
        // The replacement may fill what the search left of the limit.
        e = read_field(in, delimiter, buf, at, PATTERN_TEXT_MAX + 1);
        if (e != field_end::delimiter) return e == field_end::end_of_input;
        buf[at] = '\0';
        int c;
        do {
            c = in.get();  // the remark
        } while (c != '\n' && c != byte_reader::END);
        auto* search = reinterpret_cast<char*>(buf);
        register_pair(rs.patterns, rs.opts, search, search + search_length + 1, &batch);
    }
}
}  // namespace

bool read_pattern_file(run_state& rs, byte_reader& in) {
    literal_batch batch(rs.patterns);
    const bool whole = read_patterns(rs, in, batch);
    batch.flush();
    return whole;
}

void read_pattern_source(run_state& rs, const char* name) {
    bool whole = true;
    int read_error = 0;
    if (name[0] == '\0') {
        // The warnings here are written even when silent: patterns the user meant are not read.
        if (rs.stdin_used) {
            std::fputs("Warning: cannot process stdin twice\n", stderr);
            return;
        }
        byte_reader in(0);
        whole = read_pattern_file(rs, in);
        read_error = in.error_code();
        rs.stdin_used = true;
        name = "stdin";
    } else {
        int fd = open_file(name, O_RDONLY);
        if (fd < 0) {
            std::fprintf(stderr, "cannot open '%s', skipping ...\n", name);
            return;
        }
        {
            byte_reader in(fd);
            whole = read_pattern_file(rs, in);
            read_error = in.error_code();
        }
        ::close(fd);
    }
    if (rs.opts.silent) return;
    // Patterns after either point are lost: say so rather than go on as if the file were whole.
    if (read_error != 0) {
        std::fprintf(stderr, "can't read '%s': %s\n", name, std::strerror(read_error));
    } else if (!whole) {
        std::fprintf(stderr, "Warning: pattern over %zu bytes in '%s', rest of it ignored\n",
                     PATTERN_TEXT_MAX, name);
    }
}

void set_template_var(run_state& rs, unsigned char x, const char* value) {
    if (x == 0) return;
    char*& var = rs.template_vars[x];
    if (var != nullptr) xfree(var, std::strlen(var) + 1);
    var = value[0] == '\0' ? nullptr : xstrdup(value);
}

char* expand_template(const run_state& rs, const char* templ, std::size_t& size) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(templ);
    size = 1;
    for (const unsigned char* b = bytes; *b != 0; ++b) {
        const char* value = rs.template_vars[*b];
        size += value != nullptr ? std::strlen(value) : 1;
    }
    auto* out = static_cast<char*>(xmalloc(size));
    char* at = out;
    for (const unsigned char* b = bytes; *b != 0; ++b) {
        if (const char* value = rs.template_vars[*b]; value != nullptr) {
            std::size_t n = std::strlen(value);
            std::memcpy(at, value, n);
            at += n;
        } else {
            *at++ = static_cast<char>(*b);
        }
    }
    *at = '\0';
    return out;
}

}  // namespace kestrom
