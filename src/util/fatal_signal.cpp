#include "util/fatal_signal.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "util/byte_stream.hpp"

namespace kestrom {

namespace {
// The only process-wide mutable state of the program: what the signal handler needs.
volatile std::sig_atomic_t caught_signal = 0;
volatile std::sig_atomic_t quiet = 0;
volatile std::sig_atomic_t waiting = 0;  // an io_wait value
byte_writer* volatile flush_target = nullptr;
// A file that the exit must remove: a temporary file with a visible name.
volatile int cleanup_dir = -1;
char cleanup_name[256];

void write_all(int fd, const unsigned char* data, std::size_t size) {
    while (size > 0) {
        ssize_t n = ::write(fd, data, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        data += n;
        size -= static_cast<std::size_t>(n);
    }
}

// Async-signal-safe: builds the message by hand, writes with write(2), ends with _exit.
[[noreturn]] void finish(int signal_number, bool flush) {
    run_exit_cleanup();
    if (!quiet) {
        char msg[48] = "signal ";
        std::size_t len = 7;
        char digits[12];
        int nd = 0;
        int v = signal_number;
        do {
            digits[nd++] = static_cast<char>('0' + v % 10);
            v /= 10;
        } while (v > 0 && nd < 11);
        while (nd > 0)
            msg[len++] = digits[--nd];
        const char tail[] = " received, exit\n";
        for (std::size_t i = 0; i + 1 < sizeof tail; ++i)
            msg[len++] = tail[i];
        write_all(2, reinterpret_cast<const unsigned char*>(msg), len);
    }
    byte_writer* out = flush_target;
    if (flush && out != nullptr) write_all(out->fd(), out->pending_data(), out->pending_size());
    ::_exit(128 + signal_number);
}

void block_all_signals() {
    sigset_t all;
    sigfillset(&all);
    sigprocmask(SIG_BLOCK, &all, nullptr);
}
}  // namespace

void on_signal(int signal_number) {
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(signal_number, &ignore, nullptr);
    int saved_errno = errno;
    // The first signal is the one reported; later ones only end the process sooner.
    if (caught_signal == 0) caught_signal = signal_number;
    if (waiting == static_cast<int>(io_wait::reading)) finish(caught_signal, true);
    if (waiting == static_cast<int>(io_wait::writing)) finish(caught_signal, false);
    errno = saved_errno;
}

void install_fatal_signal_handlers() {
    static const int fatal[] = {SIGHUP, SIGINT, SIGQUIT, SIGTERM};
    struct sigaction sa {};
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    // One fatal signal at a time: a second one must not interleave with the first one's exit.
    for (int s : fatal)
        sigaddset(&sa.sa_mask, s);
    sa.sa_flags = 0;  // no SA_RESTART: a blocked read returns EINTR
    for (int s : fatal)
        sigaction(s, &sa, nullptr);
}

int pending_fatal_signal() {
    return caught_signal;
}

void exit_on_fatal_signal() {
    block_all_signals();
    waiting = 0;
    finish(caught_signal, true);
}

void set_fatal_signal_silent(bool silent) {
    quiet = silent ? 1 : 0;
}
void set_fatal_signal_output(byte_writer* output) {
    flush_target = output;
}

void set_fatal_signal_cleanup(int dir_fd, const char* name) {
    cleanup_dir = -1;  // the handler never sees a half-copied name
    std::size_t n = std::strlen(name);
    if (n >= sizeof cleanup_name) return;
    std::memcpy(cleanup_name, name, n + 1);
    cleanup_dir = dir_fd;
}
void clear_fatal_signal_cleanup() {
    cleanup_dir = -1;
}
void run_exit_cleanup() {
    if (cleanup_dir >= 0) ::unlinkat(cleanup_dir, cleanup_name, 0);
    cleanup_dir = -1;
}

io_wait_scope::io_wait_scope(io_wait kind) {
    waiting = static_cast<int>(kind);
    // A signal that came just before the mark would otherwise wait for the next check.
    if (caught_signal != 0) exit_on_fatal_signal();
}
io_wait_scope::~io_wait_scope() {
    waiting = static_cast<int>(io_wait::none);
}

}  // namespace kestrom
