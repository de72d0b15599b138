// Runs the real binary as a subprocess: argv, standard input and a working directory in, standard
// output, standard error and the exit status out.
#pragma once

#include <sys/resource.h>

#include <string>
#include <vector>

namespace kestrom_test {

struct run_result {
    std::string out;
    std::string err;
    int status = -1;  ///< exit status, or 128 + n when ended by signal n
};

struct run_options {
    std::string input;           ///< bytes on standard input
    bool stdin_closed = false;   ///< standard input at end without a pipe (/dev/null)
    std::string cwd;             ///< working directory; empty: the current one
    std::string stdout_path;     ///< standard output goes to this file (e.g. /dev/full) if set
    long long fsize_limit = -1;  ///< RLIMIT_FSIZE for the child, in bytes, when >= 0
};

/// Runs kestrom with args (argv[1] onwards).
run_result run(const std::vector<std::string>& args, const run_options& opts = {});

/// A kestrom started in the background: standard input a pipe that stays open, standard output
/// and standard error into files.
struct background {
    int pid = -1;
    int stdin_fd = -1;
    std::string out_path, err_path;
};
background start(const std::vector<std::string>& args, const std::string& dir);
/// Waits for it; the status as in run_result, and its standard error.
run_result finish(background& b);
/// Shorthand: the arguments with input on standard input.
run_result run_with(const std::vector<std::string>& args, const std::string& input);

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
std::string binary_path();

}  // namespace kestrom_test
