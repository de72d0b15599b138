// Runs the real binary as a subprocess: argv, standard input and a working directory in, standard
// output, standard error and the exit status out.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace kestrom_test {

struct run_result {
    std::string out;
    std::string err;
    int status = -1;      ///< exit status, or 128 + n when ended by signal n
    long max_rss_kb = 0;  ///< the most memory the process held, in KiB
};

struct run_options {
    std::string input{};             ///< bytes on standard input
    bool stdin_pipe = false;         ///< standard input is a pipe kept open (background::stdin_fd)
    std::string cwd{};               ///< working directory, also of the paths below; empty: ours
    std::string stdout_path{};       ///< standard output goes to this file (e.g. /dev/full) if set
    bool stdout_append = false;      ///< that file is appended to, not truncated
    std::string stdin_path{};        ///< standard input comes from this file if set (not input)
    long long fsize_limit = -1;      ///< RLIMIT_FSIZE for the child, in bytes, when >= 0
    long long memory_limit = -1;     ///< RLIMIT_AS for the child, in bytes, when >= 0
    std::vector<std::string> env{};  ///< extra environment variables, "NAME=value"
    int uid = -1;                    ///< user (and group) id to run as, when >= 0
    bool stdout_pty = false;         ///< standard output is a pseudo-terminal (raw, no CR added)
    /// The program name the child sees; empty: the binary's path (not wrapped).
    std::string argv0{};
};

/// A kestrom started in the background.
struct background {
    int pid = -1;
    int stdin_fd = -1;     ///< the open end of the standard-input pipe, with stdin_pipe
    int pty_fd = -1;       ///< the master side of the standard-output terminal, with stdout_pty
    int out_fd = -1;       ///< the in-memory file that receives standard output, if any
    int err_fd = -1;       ///< the in-memory file that receives standard error
    std::string err_path;  ///< a path that reads what it wrote to standard error so far
};

background start(const std::vector<std::string>& args, const run_options& opts = {});
/// Waits for it and collects what it wrote.
run_result finish(background& b);
/// start and finish.
run_result run(const std::vector<std::string>& args, const run_options& opts = {});

/// Options that preload the fault injector (fault_preload.cpp): the at-th call of call fails with
/// action (an errno name), is cut short (SHORT) or stops the process (STOP). For fsync, the
/// write-back is asked to sync.
run_options fault(const std::string& call, long at, const std::string& action);

/// One row of a table of runs. Each runs in a fresh working directory that holds "f" (with the
/// row's f), "in" (with its input, which is also on standard input), an empty file "empty", a
/// FIFO "fifo" and a directory "d"; no recovery file is ever left there.
struct cli_row {
    std::vector<std::string> args;
    std::string f, input, out, err;
    int status;
    run_options opts{};                    ///< the rest of the options: input and cwd are the row's
    std::optional<std::string> f_after{};  ///< what "f" holds afterwards, when that is checked
};
void check_rows(const std::vector<cli_row>& rows);

/// A fresh temporary directory, removed with everything in it when the object goes.
class temp_dir {
  public:
    temp_dir();
    ~temp_dir();
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }
    /// Writes a file below the directory; returns its path.
    std::string write(const std::string& name, const std::string& content, int mode = 0644) const;

  private:
    std::string path_;
};

std::string read_file(const std::string& path);
/// Every occurrence of from replaced by to, left to right, without overlaps.
std::string replace_all(const std::string& s, const std::string& from, const std::string& to);
/// The recovery files that a rewrite of dir/name left beside it (.name.kestrom-XXXXXX).
std::vector<std::string> recovery_files(const std::string& dir, const std::string& name = "f");

/// The binary runs under another program (KESTROM_TEST_WRAPPER, e.g. valgrind), which takes no
/// preloaded faults and no memory limit.
bool wrapped();
/// The binary as a shell command's first words: under the wrapper, if any, and quoted.
std::string binary_command();

}  // namespace kestrom_test
