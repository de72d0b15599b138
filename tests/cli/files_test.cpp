// Named files as a user sees them: rewritten in place or copied to standard output, the messages,
// and above all that no file is ever lost or half-written.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <string>
#include <thread>

#include "harness.hpp"

namespace kestrom_test {
namespace {

struct stat stat_of(const std::string& path) {
    struct stat st {};
    EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
    return st;
}

/// Every occurrence of from replaced by to, left to right, without overlaps.
std::string replace_all(const std::string& s, const std::string& from, const std::string& to) {
    std::string out;
    std::size_t pos = 0, hit;
    while ((hit = s.find(from, pos)) != std::string::npos) {
        out.append(s, pos, hit - pos).append(to);
        pos = hit + from.size();
    }
    return out.append(s, pos, std::string::npos);
}

TEST(Files, RewriteKeepsInodeLinksAndModeThroughASymlink) {
    temp_dir dir;
    std::string f = dir.write("data", "one foo two foo", 0640);
    ASSERT_EQ(::link(f.c_str(), dir.file("second").c_str()), 0);
    ASSERT_EQ(::symlink("data", dir.file("alias").c_str()), 0);
    struct stat before = stat_of(f);

    run_result r = run({"-efoo", "barbaz", dir.file("alias")});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err + r.out, "");
    struct stat after = stat_of(f);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(after.st_nlink, 2u);
    EXPECT_EQ(after.st_mode, before.st_mode);
    EXPECT_EQ(read_file(dir.file("second")), "one barbaz two barbaz");
    struct stat link_st {};
    ASSERT_EQ(::lstat(dir.file("alias").c_str(), &link_st), 0);
    EXPECT_TRUE(S_ISLNK(link_st.st_mode));
}

TEST(Files, GrowthAndShrinkageAcrossManyPiecesAreExact) {
    std::string content;
    for (int i = 0; content.size() < 300000; ++i) {
        content += (i % 7 == 0) ? "ab" : "xyz";
        content += static_cast<char>(i % 256);
    }
    for (const char* repl : {"<grown>", "", "BA"}) {
        temp_dir dir;
        std::string f = dir.write("big", content);
        run_result r = run({"-n", "-m", "-eab", repl, f});
        EXPECT_EQ(r.status, 0) << repl << r.err;
        EXPECT_EQ(read_file(f), replace_all(content, "ab", repl)) << repl;
    }
}

TEST(Files, UnchangedFileIsNotWritten) {
    temp_dir dir;
    std::string f = dir.write("quiet", "nothing to see");
    struct timeval old_times[2] = {{1000000000, 0}, {1000000000, 0}};
    ASSERT_EQ(::utimes(f.c_str(), old_times), 0);
    run_result r = run({"-efoo", "bar", f});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(read_file(f), "nothing to see");
    EXPECT_EQ(stat_of(f).st_mtime, 1000000000);
}

TEST(Files, MessagesAndResults) {
    // "@D" stands for the directory, "@F" for a file holding foo.
    struct message_case {
        std::vector<std::string> args;
        std::string out, err;
        int status;
    };
    const std::string summary = "1 file(s) processed, 1 errors\n0 occurrences found, 0 replaced\n";
    const std::string missing = "'@D/missing': \nNo such file or directory\n";
    // clang-format off
    const message_case cases[] = {
        {{"-v", "-efoo", "bar", "@F"}, "",
         "@F ok\n1 file(s) processed, 0 errors\n1 occurrences found, 1 replaced\n", 0},
        {{"-v", "-efoo", "bar", "@D/empty"}, "", "@D/empty unchanged\n" + summary, 1},
        {{"-c", "-efoo", "bar", "@F"}, "bar\n", "", 0},
        {{"-efoo", "bar", "@D/missing"}, "", "can't write " + missing, 1},
        {{"-c", "@D/missing"}, "", "can't read " + missing, 1},
        {{"-s", "@D/missing"}, "", "", 1},
        {{"-sv", "-efoo", "bar", "@D/missing", "@F"}, "",
         "@D/missing @F ok\n2 file(s) processed, 1 errors\n1 occurrences found, 1 replaced\n", 1},
        {{"@D"}, "", "", 1},
        {{"-v", "@D"}, "", "@D directory, skipping\n" + summary, 1},
        {{"@F", "-efoo", "bar"}, "", "", 1},  // a pair given after a file does not apply to it
        {{"@F", "-v"}, "", summary, 1},       // verbose counts at the end only
    };
    // clang-format on
    for (const message_case& c : cases) {
        temp_dir dir;
        std::string f = dir.write("f", "foo\n");
        dir.write("empty", "");
        auto expand = [&](const std::string& s) {
            return replace_all(replace_all(s, "@F", f), "@D", dir.path());
        };
        std::vector<std::string> args;
        for (const std::string& a : c.args)
            args.push_back(expand(a));
        run_result r = run(args);
        EXPECT_EQ(r.out, expand(c.out)) << c.args.back();
        EXPECT_EQ(r.err, expand(c.err)) << c.args.back();
        EXPECT_EQ(r.status, c.status) << c.args.back();
    }
}

TEST(Files, ReadOnlyFileIsReportedUnlessCopied) {
    if (::geteuid() == 0) GTEST_SKIP() << "permissions do not bind root";
    temp_dir dir;
    std::string f = dir.write("ro", "foo", 0444);
    run_result r = run({"-efoo", "bar", f});
    EXPECT_EQ(r.err, "can't write '" + f + "': \nPermission denied\n");
    EXPECT_EQ(r.status, 1);
    r = run({"-c", "-efoo", "bar", f});
    EXPECT_EQ(r.out, "bar");
    EXPECT_EQ(r.status, 0);
}

TEST(Files, FailuresAreReportedAndLeaveTheFile) {
    temp_dir dir;
    const std::string content(40000, 'a');
    const std::string f = dir.write("f", content);
    run_options full;
    full.stdout_path = "/dev/full";
    run_options limited;
    limited.fsize_limit = 60000;  // the temporary file cannot grow to 80000 bytes
    run_options piped_full = full;
    piped_full.input = "foo";
    // This file opens for update but every read of it fails.
    const std::string unreadable = "/proc/self/clear_refs";
    const bool have_unreadable = ::access(unreadable.c_str(), R_OK | W_OK) == 0;
    struct failure_case {
        std::vector<std::string> args;
        run_options opts;
        std::string err;
    };
    const std::string read_error = "can't read '" + unreadable + "': \nInvalid argument\n";
    const failure_case cases[] = {
        {{"-c", "-ea", "b", f}, full, "can't write stdout\n"},
        {{"-efoo", "bar"}, piped_full, "can't write stdout: No space left on device\n"},
        {{"-ea", "aa", f}, limited, "can't write tmpfile\n"},
        {{"-e", "X", unreadable}, {}, read_error},
        {{"-c", "-e", "X", unreadable}, {}, read_error},
        {{"-b", "-c", "-ea*", "b", f}, full, "can't write stdout\n"},
        {{"-b", "-e", "X", unreadable}, {}, read_error},
    };
    for (const failure_case& c : cases) {
        if (c.args.back() == unreadable && !have_unreadable) continue;
        run_result r = run(c.args, c.opts);
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.status, 2) << c.err;
        EXPECT_EQ(read_file(f), content) << c.err;
    }
}

/// A file on a small filesystem that cannot hold its grown content: the append fails, the file is
/// cut back to its old content and the failure is reported. Needs a private mount namespace.
TEST(Files, FullFilesystemDuringGrowthKeepsTheOldContent) {
    temp_dir dir;
    std::string mnt = dir.file("small");
    ASSERT_EQ(::mkdir(mnt.c_str(), 0755), 0);
    EXPECT_EXIT(
        {
            if (::unshare(CLONE_NEWNS) != 0 ||
                ::mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
                ::mount("none", mnt.c_str(), "tmpfs", 0, "size=128k") != 0) {
                std::exit(3);  // no private mounts here: nothing to check
            }
            std::string content;
            for (int i = 0; i < 80000; ++i)
                content += (i % 2) ? 'a' : 'b';
            std::string f = mnt + "/f";
            std::ofstream(f, std::ios::binary) << content;
            run_result r = run({"-eab", "abab", f});
            bool ok = r.status == 2 && r.err == "filesync(): No space left on device\n" &&
                      read_file(f) == content;
            if (!ok) std::fprintf(stderr, "status %d, err '%s'\n", r.status, r.err.c_str());
            std::exit(ok ? 0 : 1);
        },
        [](int status) {
            return WIFEXITED(status) && (WEXITSTATUS(status) == 0 || WEXITSTATUS(status) == 3);
        },
        "");
}

/// Waits until the process has read something of the file at path.
bool wait_for_progress(int pid, const std::string& path) {
    const std::string proc = "/proc/" + std::to_string(pid);
    for (int i = 0; i < 5000; ++i) {
        for (int fd = 3; fd < 16; ++fd) {
            char target[4096];
            std::string link = proc + "/fd/" + std::to_string(fd);
            ssize_t n = ::readlink(link.c_str(), target, sizeof target);
            if (n <= 0 || std::string(target, static_cast<std::size_t>(n)) != path) continue;
            std::ifstream info(proc + "/fdinfo/" + std::to_string(fd));
            std::string key;
            long long pos = 0;
            if (info >> key >> pos && key == "pos:" && pos > 0) return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
}

TEST(Files, TerminationDuringInPlaceFilterLeavesTheFile) {
    temp_dir dir;
    const std::size_t size = 32 << 20;  // every byte a find: the slowest way through
    std::string f = dir.write("big", std::string(size, 'a'));
    background b = start({"-ea", "bb", f});
    ASSERT_TRUE(wait_for_progress(b.pid, f));
    ::kill(b.pid, SIGTERM);
    run_result r = finish(b);
    EXPECT_EQ(r.status, 143);
    EXPECT_EQ(r.err, "signal 15 received, exit\n");
    EXPECT_EQ(read_file(f), std::string(size, 'a'));
}

TEST(Files, TerminationWhileWaitingForInput) {
    for (int sig : {SIGTERM, SIGINT, SIGHUP}) {
        run_options o;
        o.stdin_pipe = true;
        background b = start({sig == SIGHUP ? "-s" : "-v", "-efoo", "bar"}, o);
        // What was filtered already comes out, though the input never ends.
        ASSERT_EQ(::write(b.stdin_fd, "a foo ", 6), 6);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        ::kill(b.pid, sig);
        run_result r = finish(b);
        EXPECT_EQ(r.status, 128 + sig);
        std::string expected = "stdin signal " + std::to_string(sig) + " received, exit\n";
        EXPECT_EQ(r.err, sig == SIGHUP ? "" : expected);
        EXPECT_EQ(r.out, "a bar ");
    }
}

}  // namespace
}  // namespace kestrom_test
