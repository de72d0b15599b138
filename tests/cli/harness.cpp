#include "harness.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace kestrom_test {

std::string binary_path() {
    return KESTROM_BINARY;
}

namespace {
/// In a forked child: becomes kestrom with args.
[[noreturn]] void exec_kestrom(const std::vector<std::string>& args) {
    signal(SIGPIPE, SIG_DFL);
    std::vector<char*> argv;
    std::string bin = binary_path();
    argv.push_back(bin.data());
    std::vector<std::string> copy = args;
    for (auto& a : copy)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    execv(bin.c_str(), argv.data());
    _exit(127);
}
}  // namespace

run_result run(const std::vector<std::string>& args, const run_options& opts) {
    int in_pipe[2], out_pipe[2], err_pipe[2];
    if (pipe(in_pipe) || pipe(out_pipe) || pipe(err_pipe)) throw std::runtime_error("pipe");
    pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork");
    if (pid == 0) {
        if (opts.stdin_closed) {
            int null_fd = open("/dev/null", O_RDONLY);
            dup2(null_fd, 0);
        } else {
            dup2(in_pipe[0], 0);
        }
        if (!opts.stdout_path.empty()) {
            int fd = open(opts.stdout_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(fd, 1);
        } else {
            dup2(out_pipe[1], 1);
        }
        dup2(err_pipe[1], 2);
        for (int fd : {in_pipe[0], in_pipe[1], out_pipe[0], out_pipe[1], err_pipe[0], err_pipe[1]})
            close(fd);
        if (!opts.cwd.empty() && chdir(opts.cwd.c_str()) != 0) _exit(126);
        if (opts.fsize_limit >= 0) {
            struct rlimit lim {
                static_cast<rlim_t>(opts.fsize_limit), static_cast<rlim_t>(opts.fsize_limit)
            };
            setrlimit(RLIMIT_FSIZE, &lim);
        }
        exec_kestrom(args);
    }
    close(in_pipe[0]);
    close(out_pipe[1]);
    close(err_pipe[1]);

    run_result result;
    std::size_t written = 0;
    int in_fd = in_pipe[1];
    if (opts.input.empty()) {
        close(in_fd);
        in_fd = -1;
    }
    signal(SIGPIPE, SIG_IGN);
    int open_outputs = 2;
    bool out_open = true, err_open = true;
    while (open_outputs > 0 || in_fd >= 0) {
        struct pollfd fds[3];
        int n = 0;
        int out_idx = -1, err_idx = -1, in_idx = -1;
        if (out_open) {
            fds[n] = {out_pipe[0], POLLIN, 0};
            out_idx = n++;
        }
        if (err_open) {
            fds[n] = {err_pipe[0], POLLIN, 0};
            err_idx = n++;
        }
        if (in_fd >= 0) {
            fds[n] = {in_fd, POLLOUT, 0};
            in_idx = n++;
        }
        if (poll(fds, static_cast<nfds_t>(n), -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        char buf[65536];
        auto drain = [&](int idx, int fd, std::string& dest, bool& open_flag) {
            if (idx < 0 || fds[idx].revents == 0) return;
            ssize_t r = read(fd, buf, sizeof buf);
            if (r > 0) {
                dest.append(buf, static_cast<std::size_t>(r));
            } else {
                open_flag = false;
                --open_outputs;
            }
        };
        drain(out_idx, out_pipe[0], result.out, out_open);
        drain(err_idx, err_pipe[0], result.err, err_open);
        if (in_idx >= 0 && fds[in_idx].revents != 0) {
            ssize_t w = write(in_fd, opts.input.data() + written, opts.input.size() - written);
            if (w > 0) written += static_cast<std::size_t>(w);
            if (w < 0 || written == opts.input.size()) {
                close(in_fd);
                in_fd = -1;
            }
        }
    }
    close(out_pipe[0]);
    close(err_pipe[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    if (WIFEXITED(status)) result.status = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) result.status = 128 + WTERMSIG(status);
    return result;
}

background start(const std::vector<std::string>& args, const std::string& dir) {
    background b;
    b.out_path = dir + "/.stdout";
    b.err_path = dir + "/.stderr";
    int in_pipe[2];
    if (pipe(in_pipe) != 0) throw std::runtime_error("pipe");
    pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork");
    if (pid == 0) {
        dup2(in_pipe[0], 0);
        close(in_pipe[0]);
        close(in_pipe[1]);
        int out = open(b.out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int err = open(b.err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(out, 1);
        dup2(err, 2);
        close(out);
        close(err);
        exec_kestrom(args);
    }
    close(in_pipe[0]);
    b.pid = pid;
    b.stdin_fd = in_pipe[1];
    return b;
}

run_result finish(background& b) {
    run_result r;
    int status = 0;
    waitpid(b.pid, &status, 0);
    if (b.stdin_fd >= 0) close(b.stdin_fd);
    if (WIFEXITED(status)) r.status = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) r.status = 128 + WTERMSIG(status);
    r.out = read_file(b.out_path);
    r.err = read_file(b.err_path);
    return r;
}

run_result run_with(const std::vector<std::string>& args, const std::string& input) {
    run_options o;
    o.input = input;
    return run(args, o);
}

temp_dir::temp_dir() {
    char tmpl[] = "/tmp/kestrom-test-XXXXXX";
    if (mkdtemp(tmpl) == nullptr) throw std::runtime_error("mkdtemp");
    path_ = tmpl;
}

temp_dir::~temp_dir() {
    std::string cmd = "chmod -R u+rwx '" + path_ + "' 2>/dev/null; rm -rf '" + path_ + "'";
    int ignored = std::system(cmd.c_str());
    (void)ignored;
}

std::string temp_dir::write(const std::string& name, const std::string& content, int mode) const {
    std::string p = file(name);
    {
        std::ofstream f(p, std::ios::binary | std::ios::trunc);
        f.write(content.data(), static_cast<std::streamsize>(content.size()));
    }
    chmod(p.c_str(), static_cast<mode_t>(mode));
    return p;
}

std::string read_file(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

}  // namespace kestrom_test
