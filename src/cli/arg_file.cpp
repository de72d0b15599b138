#include "cli/arg_file.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <new>

#include "cli/driver.hpp"
#include "file/process.hpp"
#include "util/alloc.hpp"
#include "util/ascii.hpp"

namespace kestrom {

/// One open argument file; the innermost is read first.
struct arg_source {
    /// Argument files are small, and a deep nest holds one buffer for each level.
    static constexpr std::size_t BUFFER_SIZE = 1024;

    arg_source(int fd, const char* path, bool own, arg_source* outer_source)
        : in(fd, BUFFER_SIZE), name(xstrdup(path)), owns_fd(own), outer(outer_source) {}
    ~arg_source() { xfree(name, std::strlen(name) + 1); }
    arg_source(const arg_source&) = delete;
    arg_source& operator=(const arg_source&) = delete;

    byte_reader in;
    char* name;    ///< for messages; "stdin" for standard input
    bool owns_fd;  ///< closed at the end (standard input never is)
    arg_source* outer;
};

namespace {

/// The next byte without taking it, or END.
int peek(byte_reader& in) {
    return in.buffered_size() > 0 || in.fill() ? *in.buffered() : byte_reader::END;
}

bool is_quote(int c) {
    return c == '"' || c == '\'' || c == '`';
}

void push_source(run_state& rs, int fd, const char* name, bool own) {
    void* place = xmalloc(sizeof(arg_source));
    rs.arg_sources = new (place) arg_source(fd, name, own, rs.arg_sources);
    ++rs.arg_depth;
}

/// Closes the innermost source (never standard input) and reports a read error that ended it.
void pop_source(run_state& rs) {
    arg_source* s = rs.arg_sources;
    if (s->in.failed() && !rs.opts.silent) {
        std::fprintf(stderr, "can't read '%s': %s\n", s->name, std::strerror(s->in.error_code()));
    }
    if (s->owns_fd) ::close(s->in.fd());
    rs.arg_sources = s->outer;
    --rs.arg_depth;
    s->~arg_source();
    xfree(s, sizeof(arg_source));
}

}  // namespace

char* read_arg_token(byte_reader& in, char* token_buf) {
    int c;
    for (;;) {
        c = in.get();
        if (c == byte_reader::END) return nullptr;
        if (ascii_isspace(static_cast<unsigned char>(c))) continue;
        if (c != '#') break;
        do {
            c = in.get();
        } while (c != '\n' && c != byte_reader::END);
    }
    int n = 0;
    const int quote = is_quote(c) ? c : -1;
    if (quote < 0) token_buf[n++] = static_cast<char>(c);
    // The byte after the last one that fits stays in the stream for the next token.
    while (n < TOKEN_MAX && (c = peek(in)) != byte_reader::END) {
        in.consume(1);
        if (c == quote || (quote < 0 && ascii_isspace(static_cast<unsigned char>(c)))) break;
        token_buf[n++] = static_cast<char>(c);
    }
    // A quoted token of exactly the maximum keeps its closing quote, which would otherwise open
    // a new quoted token that swallows the arguments after it.
    if (n == TOKEN_MAX && quote >= 0 && peek(in) == quote) in.consume(1);
    token_buf[n] = '\0';
    return token_buf;
}

void process_arg_file(run_state& rs, const char* arg) {
    const char* path = arg + 1;
    if (path[0] == '\0') {
        // The warnings here are written even when silent: arguments the user meant are not read.
        if (rs.stdin_used) {
            std::fputs("Warning: cannot process stdin twice\n", stderr);
            return;
        }
        rs.stdin_used = true;
        push_source(rs, 0, "stdin", false);
    } else {
        int fd = rs.arg_depth < ARG_FILE_DEPTH_MAX ? open_file(path, O_RDONLY) : -1;
        if (fd < 0) {
            std::fprintf(stderr, "Warning: cannot open %s\n", path);
            return;
        }
        push_source(rs, fd, path, true);
    }
    // A reference met while reading an argument file only stacks its source: the loop below,
    // already running, reads it next, and the call stack stays flat however deep the nest.
    if (rs.arg_depth > 1) return;
    while (rs.arg_sources != nullptr) {
        char* token = read_arg_token(rs.arg_sources->in, rs.token_buf);
        if (token == nullptr) {
            pop_source(rs);
        } else {
            process_arg(rs, token);
        }
    }
}

}  // namespace kestrom
