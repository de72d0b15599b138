#include "harness.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <utility>

namespace kestrom_test {

namespace {

void redirect(const std::string& path, int flags, int target) {
    int fd = open(path.c_str(), flags, 0644);
    if (fd < 0 || dup2(fd, target) < 0) _exit(126);
    close(fd);
}

std::string fd_path(int fd) {
    return "/proc/self/fd/" + std::to_string(fd);
}

}  // namespace

background start(const std::vector<std::string>& args, const run_options& opts) {
    // Every descriptor made here closes on exec: the child keeps only the ones it moves to 0-2.
    background b;
    const bool out_to_memory = opts.stdout_path.empty() && !opts.stdout_pty;
    b.out_fd = out_to_memory ? memfd_create("out", MFD_CLOEXEC) : -1;
    b.err_fd = memfd_create("err", MFD_CLOEXEC);
    b.err_path = fd_path(b.err_fd);
    int in[2] = {-1, -1};
    if (opts.stdin_pipe) {
        if (pipe2(in, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    } else {
        in[0] = memfd_create("in", MFD_CLOEXEC);
        if (write(in[0], opts.input.data(), opts.input.size()) < 0) throw std::runtime_error("in");
        lseek(in[0], 0, SEEK_SET);
    }
    int pty_slave = -1;
    if (opts.stdout_pty) {
        b.pty_fd = open("/dev/ptmx", O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (b.pty_fd < 0 || grantpt(b.pty_fd) != 0 || unlockpt(b.pty_fd) != 0) {
            throw std::runtime_error("pty");
        }
        pty_slave = open(ptsname(b.pty_fd), O_RDWR | O_NOCTTY | O_CLOEXEC);
        struct termios raw;
        if (pty_slave < 0 || tcgetattr(pty_slave, &raw) != 0) throw std::runtime_error("pty");
        cfmakeraw(&raw);
        tcsetattr(pty_slave, TCSANOW, &raw);
    }
    pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork");
    if (pid == 0) {
        if (!opts.cwd.empty() && chdir(opts.cwd.c_str()) != 0) _exit(126);
        if (opts.stdin_path.empty()) {
            dup2(in[0], 0);
        } else {
            redirect(opts.stdin_path, O_RDONLY, 0);
        }
        if (opts.stdout_path.empty()) {
            dup2(opts.stdout_pty ? pty_slave : b.out_fd, 1);
        } else {
            redirect(opts.stdout_path,
                     O_WRONLY | O_CREAT | (opts.stdout_append ? O_APPEND : O_TRUNC), 1);
        }
        dup2(b.err_fd, 2);
        for (auto [resource, limit] :
             {std::pair{RLIMIT_FSIZE, opts.fsize_limit}, std::pair{RLIMIT_AS, opts.memory_limit}}) {
            const struct rlimit lim = {static_cast<rlim_t>(limit), static_cast<rlim_t>(limit)};
            if (limit >= 0) setrlimit(resource, &lim);
        }
        signal(SIGPIPE, SIG_DFL);
        std::vector<std::string> env = opts.env;
        for (std::string& e : env)
            putenv(e.data());
        if (opts.uid >= 0 && (setgid(static_cast<gid_t>(opts.uid)) != 0 ||
                              setuid(static_cast<uid_t>(opts.uid)) != 0)) {
            _exit(126);
        }
        // KESTROM_TEST_WRAPPER runs the binary under another program (valgrind), split at blanks.
        std::vector<std::string> copy;
        if (const char* wrapper = std::getenv("KESTROM_TEST_WRAPPER")) {
            std::istringstream words(wrapper);
            for (std::string w; words >> w;)
                copy.push_back(w);
        }
        copy.push_back(KESTROM_BINARY);
        copy.insert(copy.end(), args.begin(), args.end());
        std::string bin = copy.front();
        if (!opts.argv0.empty() && copy.size() == args.size() + 1) copy.front() = opts.argv0;
        std::vector<char*> argv;
        for (auto& a : copy)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        execvp(bin.c_str(), argv.data());
        _exit(127);
    }
    close(in[0]);
    if (pty_slave >= 0) close(pty_slave);
    b.pid = pid;
    b.stdin_fd = in[1];
    return b;
}

run_result finish(background& b) {
    run_result r;
    if (b.pty_fd >= 0) {
        // Read until the child's side is closed (EIO), so that a full terminal never blocks it.
        char buf[4096];
        ssize_t n;
        while ((n = read(b.pty_fd, buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR)) {
            if (n > 0) r.out.append(buf, static_cast<std::size_t>(n));
        }
        close(b.pty_fd);
    }
    int status = 0;
    struct rusage usage {};
    wait4(b.pid, &status, 0, &usage);
    r.max_rss_kb = usage.ru_maxrss;
    r.status = WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
    if (b.out_fd >= 0) r.out = read_file(fd_path(b.out_fd));
    r.err = read_file(b.err_path);
    for (int fd : {b.stdin_fd, b.out_fd, b.err_fd})
        close(fd);
    return r;
}

run_result run(const std::vector<std::string>& args, const run_options& opts) {
    background b = start(args, opts);
    return finish(b);
}

run_options fault(const std::string& call, long at, const std::string& action) {
    run_options o;
    o.env = {"LD_PRELOAD=" FAULT_PRELOAD, "KFAULT_CALL=" + call, "KFAULT_AT=" + std::to_string(at),
             "KFAULT_ACTION=" + action, "ASAN_OPTIONS=verify_asan_link_order=0"};
    if (call == "fsync") o.env.push_back("KESTROM_FSYNC=1");  // else the write-back never syncs
    return o;
}

temp_dir::temp_dir() {
    char tmpl[] = "/tmp/kestrom-test-XXXXXX";
    if (mkdtemp(tmpl) == nullptr) throw std::runtime_error("mkdtemp");
    path_ = tmpl;
}

temp_dir::~temp_dir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::string temp_dir::write(const std::string& name, const std::string& content, int mode) const {
    std::string p = file(name);
    std::ofstream(p, std::ios::binary | std::ios::trunc) << content;
    chmod(p.c_str(), static_cast<mode_t>(mode));
    return p;
}

void check_rows(const std::vector<cli_row>& rows) {
    for (const cli_row& row : rows) {
        temp_dir dir;
        dir.write("f", row.f);
        dir.write("in", row.input);
        dir.write("empty", "");
        ASSERT_EQ(::mkfifo(dir.file("fifo").c_str(), 0600), 0);
        ASSERT_EQ(::mkdir(dir.file("d").c_str(), 0700), 0);
        run_options o = row.opts;
        o.input = row.input;
        o.cwd = dir.path();
        run_result r = run(row.args, o);
        const std::string where = "row " + std::to_string(&row - rows.data());
        EXPECT_EQ(r.out, row.out) << where;
        EXPECT_EQ(r.err, row.err) << where;
        EXPECT_EQ(r.status, row.status) << where;
        const std::string f_after = read_file(dir.file("f"));
        EXPECT_EQ(f_after, row.f_after.value_or(f_after)) << where;
        EXPECT_TRUE(recovery_files(dir.path()).empty()) << where;
    }
}

std::string read_file(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(f), {}};
}

std::string replace_all(const std::string& s, const std::string& from, const std::string& to) {
    std::string out;
    std::size_t pos = 0, hit;
    for (; (hit = s.find(from, pos)) != std::string::npos; pos = hit + from.size())
        out.append(s, pos, hit - pos).append(to);
    return out.append(s, pos, std::string::npos);
}

std::vector<std::string> recovery_files(const std::string& dir, const std::string& name) {
    std::vector<std::string> found;
    for (const auto& e : std::filesystem::directory_iterator(dir)) {
        if (e.path().filename().string().rfind("." + name + ".kestrom-", 0) == 0)
            found.push_back(e.path());
    }
    return found;
}

bool wrapped() {
    return std::getenv("KESTROM_TEST_WRAPPER") != nullptr;
}

std::string binary_command() {
    const char* wrapper = std::getenv("KESTROM_TEST_WRAPPER");
    return (wrapper != nullptr ? std::string(wrapper) + " '" : std::string("'")) + KESTROM_BINARY +
           "'";
}

}  // namespace kestrom_test
