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
#include <cstdlib>
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
std::string replace_all(std::string s, const std::string& from, const std::string& to) {
    std::string out;
    std::size_t pos = 0, hit;
    while ((hit = s.find(from, pos)) != std::string::npos) {
        out.append(s, pos, hit - pos);
        out += to;
        pos = hit + from.size();
    }
    out.append(s, pos, std::string::npos);
    return out;
}

TEST(Files, RewriteKeepsInodeLinksAndModeThroughASymlink) {
    temp_dir dir;
    std::string f = dir.write("data", "one foo two foo", 0640);
    ASSERT_EQ(::link(f.c_str(), dir.file("second").c_str()), 0);
    ASSERT_EQ(::symlink("data", dir.file("alias").c_str()), 0);
    struct stat before = stat_of(f);

    run_result r = run({"-efoo", "barbaz", dir.file("alias")});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, "");
    struct stat after = stat_of(f);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(after.st_nlink, 2u);
    EXPECT_EQ(after.st_mode, before.st_mode);
    EXPECT_EQ(read_file(dir.file("second")), "one barbaz two barbaz");
    struct stat link_st {};
    ASSERT_EQ(::lstat(dir.file("alias").c_str(), &link_st), 0);
    EXPECT_TRUE(S_ISLNK(link_st.st_mode)) << "the symlink stays a symlink";
}

TEST(Files, GrowthAndShrinkageAcrossManyPiecesAreExact) {
    struct size_case {
        const char* name;
        std::string search, repl;
    };
    const size_case cases[] = {
        {"grow", "ab", "<grown>"},
        {"shrink", "ab", ""},
        {"same_length", "ab", "BA"},
    };
    std::string content;
    for (int i = 0; content.size() < 300000; ++i) {
        content += (i % 7 == 0) ? "ab" : "xyz";
        content += static_cast<char>(i % 256);
    }
    for (const size_case& c : cases) {
        temp_dir dir;
        std::string f = dir.write("big", content);
        run_result r = run({"-n", "-m", "-e" + c.search, c.repl, f});
        EXPECT_EQ(r.status, 0) << c.name << r.err;
        EXPECT_EQ(read_file(f), replace_all(content, c.search, c.repl)) << c.name;
    }
}

TEST(Files, UnchangedFileIsNotWritten) {
    temp_dir dir;
    std::string f = dir.write("quiet", "nothing to see");
    struct timeval old_times[2] = {{1000000000, 0}, {1000000000, 0}};
    ASSERT_EQ(::utimes(f.c_str(), old_times), 0);
    run_result r = run({"-v", "-efoo", "bar", f});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err,
              f + " unchanged\n1 file(s) processed, 1 errors\n0 occurrences found, 0 replaced\n");
    EXPECT_EQ(read_file(f), "nothing to see");
    EXPECT_EQ(stat_of(f).st_mtime, 1000000000);
}

TEST(Files, MessagesAndResults) {
    struct message_case {
        const char* name;
        std::vector<std::string>
            args;  // "@D" stands for the directory, "@F" for a file holding foo
        std::string out, err;
        int status;
    };
    const message_case cases[] = {
        {"verbose_ok",
         {"-v", "-efoo", "bar", "@F"},
         "",
         "@F ok\n1 file(s) processed, 0 errors\n1 occurrences found, 1 replaced\n",
         0},
        {"copy_route_to_stdout", {"-c", "-efoo", "bar", "@F"}, "bar\n", "", 0},
        {"missing_overwrite",
         {"-efoo", "bar", "@D/missing"},
         "",
         "can't write '@D/missing': \nNo such file or directory\n",
         1},
        {"missing_copy",
         {"-c", "-efoo", "bar", "@D/missing"},
         "",
         "can't read '@D/missing': \nNo such file or directory\n",
         1},
        {"missing_silent", {"-s", "-efoo", "bar", "@D/missing"}, "", "", 1},
        {"missing_silent_verbose",
         {"-sv", "-efoo", "bar", "@D/missing", "@F"},
         "",
         "@D/missing @F ok\n2 file(s) processed, 1 errors\n1 occurrences found, 1 replaced\n",
         1},
        {"directory_quiet", {"-efoo", "bar", "@D"}, "", "", 1},
        {"directory_verbose",
         {"-v", "@D"},
         "",
         "@D directory, skipping\n1 file(s) processed, 1 errors\n0 occurrences found, 0 replaced\n",
         1},
        {"empty_file", {"-efoo", "bar", "@D/empty"}, "", "", 1},
        {"pattern_after_file_not_applied", {"@F", "-efoo", "bar"}, "", "", 1},
        {"file_then_summary_after_verbose",
         {"@F", "-v"},
         "",
         "1 file(s) processed, 1 errors\n0 occurrences found, 0 replaced\n",
         1},
    };
    for (const message_case& c : cases) {
        temp_dir dir;
        std::string f = dir.write("f", "foo\n");
        dir.write("empty", "");
        auto expand = [&](std::string s) {
            s = replace_all(s, "@F", f);
            return replace_all(s, "@D", dir.path());
        };
        std::vector<std::string> args;
        for (const std::string& a : c.args)
            args.push_back(expand(a));
        run_options o;
        o.stdin_closed = true;
        run_result r = run(args, o);
        EXPECT_EQ(r.out, expand(c.out)) << c.name;
        EXPECT_EQ(r.err, expand(c.err)) << c.name;
        EXPECT_EQ(r.status, c.status) << c.name;
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

TEST(Files, FullOutputIsAWriteError) {
    temp_dir dir;
    std::string f = dir.write("f", "foo");
    run_options o;
    o.stdout_path = "/dev/full";
    o.stdin_closed = true;
    run_result r = run({"-c", "-efoo", "bar", f}, o);
    EXPECT_EQ(r.err, "can't write stdout\n");
    EXPECT_EQ(r.status, 2);

    o.stdin_closed = false;
    o.input = "foo";
    r = run({"-efoo", "bar"}, o);
    EXPECT_EQ(r.err, "can't write stdout: No space left on device\n");
    EXPECT_EQ(r.status, 2);
}

TEST(Files, ReadErrorLeavesTheFileAndIsReported) {
    // This file opens for update but every read of it fails.
    const std::string f = "/proc/self/clear_refs";
    int fd = ::open(f.c_str(), O_RDWR);
    if (fd < 0) GTEST_SKIP() << "needs a file that opens for update and cannot be read";
    ::close(fd);
    run_result r = run({"-e", "X", f});
    EXPECT_EQ(r.err, "can't read '" + f + "': \nInvalid argument\n");
    EXPECT_EQ(r.status, 2);
    r = run({"-c", "-e", "X", f});
    EXPECT_EQ(r.err, "can't read '" + f + "': \nInvalid argument\n");
    EXPECT_EQ(r.status, 2);
}

TEST(Files, FileSizeLimitFailsTheTemporaryFileAndKeepsTheOld) {
    temp_dir dir;
    std::string content(40000, 'a');
    std::string f = dir.write("f", content);
    run_options o;
    o.stdin_closed = true;
    o.fsize_limit = 60000;
    run_result r = run({"-ea", "aa", f}, o);
    EXPECT_EQ(r.err, "can't write tmpfile\n");
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(read_file(f), content);
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
            { std::ofstream(f, std::ios::binary) << content; }
            run_options o;
            o.stdin_closed = true;
            run_result r = run({"-eab", "abab", f}, o);
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
    std::string content(64 << 20, 'a');  // every byte a find: the slowest way through
    std::string f = dir.write("big", content);
    content.clear();
    background b = start({"-ea", "bb", f}, dir.path());
    ASSERT_TRUE(wait_for_progress(b.pid, f));
    ::kill(b.pid, SIGTERM);
    run_result r = finish(b);
    EXPECT_EQ(r.status, 143);
    EXPECT_EQ(r.err, "signal 15 received, exit\n");
    struct stat st = stat_of(f);
    EXPECT_EQ(st.st_size, 64 << 20);
    std::string after = read_file(f);
    EXPECT_EQ(after.find_first_not_of('a'), std::string::npos);
}

TEST(Files, TerminationWhileWaitingForInput) {
    struct signal_case {
        int sig;
        std::vector<std::string> extra;
        std::string err;
    };
    const signal_case cases[] = {
        {SIGTERM, {}, "signal 15 received, exit\n"},
        {SIGINT, {}, "signal 2 received, exit\n"},
        {SIGHUP, {"-s"}, ""},
    };
    for (const signal_case& c : cases) {
        temp_dir dir;
        std::vector<std::string> args = c.extra;
        args.push_back("-efoo");
        args.push_back("bar");
        background b = start(args, dir.path());
        // Something already filtered must come out, though the input never ends.
        ASSERT_EQ(::write(b.stdin_fd, "a foo ", 6), 6);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        ::kill(b.pid, c.sig);
        run_result r = finish(b);
        EXPECT_EQ(r.status, 128 + c.sig);
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.out, "a bar ");
    }
}

}  // namespace
}  // namespace kestrom_test
