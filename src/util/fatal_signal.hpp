// The fatal signals (SIGHUP, SIGINT, SIGQUIT, SIGTERM) end the run with status 128 + n. The handler
// only records the signal; the main flow notices it at its next read or write and ends there, so
// buffered output is flushed from a consistent state. A read or write that blocks (a terminal, a
// pipe) is marked, and a signal that arrives during it ends the process from the handler itself,
// with async-signal-safe calls only.
#pragma once

#include <csignal>

namespace kestrom {

class byte_writer;

/// The handler installed for the fatal signals.
void on_signal(int signal_number);

/// Installs on_signal for SIGHUP, SIGINT, SIGQUIT and SIGTERM, in that order, without SA_RESTART.
void install_fatal_signal_handlers();

/// The number of a fatal signal received and not yet acted upon, or 0.
int pending_fatal_signal();

/// Ends the process for the pending signal: the message unless silent, the registered output
/// flushed, status 128 + the signal number.
[[noreturn]] void exit_on_fatal_signal();

/// Ends the process when a fatal signal is pending; otherwise returns at once.
inline void check_fatal_signal() {
    if (pending_fatal_signal() != 0) exit_on_fatal_signal();
}

/// What the exit path must know: whether the message is suppressed, and which buffered output
/// (standard output) to flush.
void set_fatal_signal_silent(bool silent);
void set_fatal_signal_output(byte_writer* output);

/// A file (a name within the directory dir_fd) that a fatal-signal exit removes, until cleared.
void set_fatal_signal_cleanup(int dir_fd, const char* name);
void clear_fatal_signal_cleanup();
/// Removes that file now (async-signal-safe); for every exit that does not go through main.
void run_exit_cleanup();

/// Marks a system call that may block, so that a signal arriving meanwhile ends the process at
/// once. While a read waits, the registered output is idle and is flushed; while a write waits it
/// is not touched.
enum class io_wait { none, reading, writing };
class io_wait_scope {
  public:
    explicit io_wait_scope(io_wait kind);
    ~io_wait_scope();
    io_wait_scope(const io_wait_scope&) = delete;
    io_wait_scope& operator=(const io_wait_scope&) = delete;
};

}  // namespace kestrom
