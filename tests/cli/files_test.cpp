// Named files as a user sees them: rewritten in place or copied to standard output, the messages,
// and above all that no file is ever lost or half-written.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <tuple>

#include "harness.hpp"

namespace kestrom_test {
namespace {

struct stat stat_of(const std::string& path) {
    struct stat st {};
    EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
    return st;
}

TEST(Files, RewriteKeepsInodeLinksAndModeThroughASymlinkAndLeavesUnchangedFiles) {
    temp_dir dir;
    const std::string f = dir.write("data", "one foo two foo", 0640);
    const std::string quiet = dir.write("quiet", "nothing to see");
    ASSERT_EQ(::link(f.c_str(), dir.file("second").c_str()), 0);
    ASSERT_EQ(::symlink("data", dir.file("alias").c_str()), 0);
    const struct timeval old_times[2] = {{1000000000, 0}, {1000000000, 0}};
    ASSERT_EQ(::utimes(quiet.c_str(), old_times), 0);
    struct stat before = stat_of(f);
    run_result r = run({"-efoo", "barbaz", dir.file("alias"), quiet});
    EXPECT_EQ(r.status, 1);  // one changed, one unchanged
    EXPECT_EQ(r.err + r.out, "");
    struct stat after = stat_of(f);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(after.st_nlink, 2u);
    EXPECT_EQ(after.st_mode, before.st_mode);
    EXPECT_EQ(read_file(dir.file("second")), "one barbaz two barbaz");
    EXPECT_TRUE(std::filesystem::is_symlink(dir.file("alias")));
    EXPECT_EQ(read_file(quiet), "nothing to see");
    EXPECT_EQ(stat_of(quiet).st_mtime, 1000000000);
}

/// old with the byte at each offset set to c.
std::string with_bytes(std::string old, std::initializer_list<std::size_t> offsets, char c) {
    for (std::size_t at : offsets)
        old[at] = c;
    return old;
}

TEST(Files, OnlyTheChangedPartIsWrittenAndAFileWithoutAFindIsOnlyRead) {
    const std::string plain(300000, 'b');
    std::string lines, crlf;
    for (int i = 0; i < 20000; ++i) {
        lines += "line\n";
        crlf += "line\r\n";
    }
    std::vector<std::string> many;  // enough literals for the pass that reads into its own buffer
    for (const char* word : {"q1", "q2", "q3", "q4", "q5", "q6", "q7", "q8", "a"}) {
        many.push_back(std::string("-e") + word);
        many.push_back("x");
    }
    struct row {
        const char* what;
        std::string old;
        std::vector<std::string> args;
        std::string want;
        int status;
        long most_writes;  ///< writes of the whole run, at offsets too: the new part, not all
    };
    const row rows[] = {
        {"no find", plain, {"-ea", "x"}, plain, 1, 0},
        {"no find in line mode", lines, {"-b", "-ea", "x"}, lines, 1, 0},
        // Line mode's output differs from these files before any replacement.
        {"no find in line mode, CR-LF ends", crlf, {"-b", "-ea", "x"}, crlf, 1, 0},
        {"no find in line mode, no last line end",
         lines + "line",
         {"-b", "-ea", "x"},
         lines + "line",
         1,
         0},
        {"first byte",
         with_bytes(plain, {0}, 'a'),
         {"-ea", "x"},
         with_bytes(plain, {0}, 'x'),
         0,
         10},
        {"late, same length",
         with_bytes(plain, {299990}, 'a'),
         {"-ea", "x"},
         with_bytes(plain, {299990}, 'x'),
         0,
         2},
        {"late, growing",
         with_bytes(plain, {299990}, 'a'),
         {"-ea", "xyz"},
         with_bytes(plain, {299990}, 'x').insert(299991, "yz"),
         0,
         3},
        {"late, shrinking",
         with_bytes(plain, {299990}, 'a'),
         {"-ea", ""},
         std::string(plain).erase(299990, 1),
         0,
         2},
        {"at the end of the first read",
         with_bytes(plain, {131071, 131072}, 'a'),
         {"-ea", "x"},
         with_bytes(plain, {131071, 131072}, 'x'),
         0,
         6},
        {"late, many patterns", with_bytes(plain, {200000}, 'a'), many,
         with_bytes(plain, {200000}, 'x'), 0, 4},
        // Every byte written is the file's own: the write-back still touches the file.
        {"replaced by itself",
         with_bytes(plain, {299990}, 'a'),
         {"-ea", "a"},
         with_bytes(plain, {299990}, 'a'),
         0,
         1},
        {"only the end cut off", plain + "aaa", {"-ea", ""}, plain, 0, 0},
        // Line mode drops carriage returns before any replacement: they are written too.
        {"line mode",
         crlf + "a\r\n",
         {"-b", "-ea", "x"},
         replace_all(crlf, "\r", "") + "x\n",
         0,
         4},
        {"line mode, an early find",
         "a\r\n" + crlf,
         {"-b", "-ea", "x"},
         "x\n" + replace_all(crlf, "\r", ""),
         0,
         4},
        {"line mode, no last line end", lines + "a", {"-b", "-ea", "x"}, lines + "x\n", 0, 3},
    };
    for (const row& c : rows) {
        temp_dir dir;
        const std::string f = dir.write("f", c.old);
        const struct timeval long_ago[2] = {{1000000000, 0}, {1000000000, 0}};
        ASSERT_EQ(::utimes(f.c_str(), long_ago), 0);
        const struct stat before = stat_of(f);
        std::vector<std::string> args = c.args;
        args.push_back(f);
        run_options counting;
        if (!wrapped()) {
            counting = fault("write,pwrite", 0, "EIO");
            counting.env.push_back("KFAULT_COUNT=" + dir.file("count"));
        }
        run_result r = run(args, counting);
        EXPECT_EQ(r.status, c.status) << c.what << r.err;
        EXPECT_TRUE(read_file(f) == c.want) << c.what;
        const struct stat after = stat_of(f);
        EXPECT_EQ(after.st_ino, before.st_ino) << c.what;
        EXPECT_EQ(after.st_mtime != 1000000000, c.status == 0) << c.what;
        if (!wrapped()) {
            const long writes = std::atol(read_file(dir.file("count")).c_str());
            EXPECT_LE(writes, c.most_writes) << c.what;
        }
        EXPECT_TRUE(recovery_files(dir.path()).empty()) << c.what;
    }
}

TEST(Files, MessagesAndResults) {
    const std::string summary = "1 file(s) processed, 1 errors\n0 occurrences found, 0 replaced\n";
    const std::string missing = "'missing': \nNo such file or directory\n", foo = "foo\n";
    const std::string special = " not a regular file, skipping\n" + summary;
    // Appending to the file being read would feed the output back for ever.
    const run_options into_f{.stdout_path = "f", .stdout_append = true};
    const run_options from_and_into_f{.stdout_path = "f", .stdout_append = true, .stdin_path = "f"};
    const std::string same = "input file is output file\n";
    // Failures leave the file; the last has no room for a temporary file of 80000 bytes.
    const run_options full{.stdout_path = "/dev/full"}, limited{.fsize_limit = 60000};
    const std::string big(40000, 'a'), no_space = "No space left on device\n";
    std::string crlf;
    for (int i = 0; i < 20000; ++i)
        crlf += "line\r\n";
    // clang-format off
    std::vector<cli_row> rows = {
        {{"-v", "-efoo", "bar", "f"}, foo, "", "",
         "f ok\n1 file(s) processed, 0 errors\n1 occurrences found, 1 replaced\n", 0, {}, "bar\n"},
        {{"-v", "-efoo", "bar", "empty"}, foo, "", "", "empty unchanged\n" + summary, 1},
        {{"-c", "-efoo", "bar", "f"}, foo, "", "bar\n", "", 0, {}, foo},
        {{"-efoo", "bar", "missing"}, foo, "", "", "can't write " + missing, 1},
        {{"-c", "missing"}, foo, "", "", "can't read " + missing, 1},
        {{"-s", "missing"}, foo, "", "", "", 1},
        {{"-sv", "-efoo", "bar", "missing", "f"}, foo, "", "",
         "missing f ok\n2 file(s) processed, 1 errors\n1 occurrences found, 1 replaced\n", 1},
        {{"d"}, foo, "", "", "", 1},
        {{"-v", "d"}, foo, "", "", "d directory, skipping\n" + summary, 1},
        {{"-v", "-efoo", "bar", "fifo"}, foo, "", "", "fifo" + special, 1},
        {{"-v", "-e", "x", "/dev/null"}, foo, "", "", "/dev/null" + special, 1},
        {{"-e", "x", "fifo", "/dev/null"}, foo, "", "", "", 2},
        {{"f", "-efoo", "bar"}, foo, "", "", "", 1},  // a pair after a file does not apply to it
        {{"f", "-v"}, foo, "", "", summary, 1},       // verbose counts at the end only
        {{"-c", "-efoo", "bar", "f"}, foo, "", "", "can't read 'f': \n" + same, 1, into_f, foo},
        {{"-efoo", "bar"}, foo, "x", "", "can't read stdin: " + same, 1, from_and_into_f, foo},
        {{"-c", "-ea", "b", "f"}, big, "", "", "can't write stdout\n", 2, full},
        {{"-efoo", "bar"}, big, "foo", "", "can't write stdout: " + no_space, 2, full},
        {{"-b", "-c", "-ea*", "b", "f"}, big, "", "", "can't write stdout\n", 2, full},
        {{"-ea", "aa", "f"}, big, "", "", "can't write tmpfile\n", 2, limited, big},
        // Line mode passes twice over a file whose output differs long before its first
        // replacement; what the first pass found is not counted.
        {{"-v", "-b", "-efoo", "bar", "f"}, crlf + "foo\r\nfoo\r\n", "", "",
         "f ok\n1 file(s) processed, 0 errors\n2 occurrences found, 2 replaced\n", 0, {},
         replace_all(crlf, "\r", "") + "bar\nbar\n"},
    };
    // clang-format on
    if (!wrapped()) {
        // No temporary file, beside the file or anywhere: the file is not filtered, and what the
        // pass found before it needed one is not counted.
        run_options no_temp = fault("openat", 1, "EIO");
        no_temp.env.push_back("TMPDIR=/nonexistent");
        rows.push_back({{"-v", "-efoo", "bar", "f", "in"},
                        "x foo y foo\n",
                        foo,
                        "",
                        "f tmpfile(): No such file or directory\nin ok\n"
                        "2 file(s) processed, 1 errors\n1 occurrences found, 1 replaced\n",
                        1,
                        no_temp,
                        "x foo y foo\n"});
    }
    // This file opens for update but every read of it fails.
    const std::string unreadable = "/proc/self/clear_refs";
    if (::access(unreadable.c_str(), R_OK | W_OK) == 0) {
        const std::string error = "can't read '" + unreadable + "': \nInvalid argument\n";
        rows.push_back({{"-e", "X", unreadable}, foo, "", "", error, 2});
        rows.push_back({{"-c", "-e", "X", unreadable}, foo, "", "", error, 2});
        rows.push_back({{"-b", "-e", "X", unreadable}, foo, "", "", error, 2});
    }
    check_rows(rows);
}

TEST(Files, FifoIsReadWithCopyRoute) {
    temp_dir dir;
    const std::string fifo = dir.file("fifo");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    background b = start({"-c", "-efoo", "bar", fifo});
    int fd = ::open(fifo.c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::write(fd, "a foo", 5), 5);
    ::close(fd);
    run_result r = finish(b);
    EXPECT_EQ(r.out, "a bar");
    EXPECT_EQ(r.status, 0);
}

TEST(Files, TreeThroughXargsInOneBatch) {
    // Most files hold no find: the sum of results passes 255 in one batch, which must not make
    // xargs give up; every file is processed and xargs reports the unchanged ones with 123.
    temp_dir dir;
    for (int i = 0; i < 400; ++i)
        dir.write(std::to_string(i), i % 7 == 0 ? "size_t n;" : "int n;");
    const std::string command = "cd '" + dir.path() + "' && printf '%s\\0' * | xargs -0 " +
                                binary_command() + " -esize_t usize_t";
    int status = std::system(command.c_str());
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 123);
    for (int i = 0; i < 400; ++i)
        EXPECT_EQ(read_file(dir.file(std::to_string(i))), i % 7 == 0 ? "usize_t n;" : "int n;");
}

TEST(Files, ReadOnlyFileIsReportedReadOnlyDirectoryFallsBack) {
    // Root ignores the modes; an unprivileged user meets them.
    temp_dir dir;
    const std::string ro = dir.write("ro", "foo", 0444), f = dir.write("f", "a foo", 0666);
    ASSERT_EQ(::chmod(dir.path().c_str(), 0555), 0);
    const run_options o{.uid = ::geteuid() == 0 ? 65534 : -1};
    run_result r = run({"-efoo", "bar", ro}, o);
    EXPECT_EQ(r.err, "can't write '" + ro + "': \nPermission denied\n");
    EXPECT_EQ(r.status, 1);
    r = run({"-c", "-efoo", "bar", ro}, o);
    EXPECT_EQ(r.out + r.err, "bar");
    EXPECT_EQ(r.status, 0);
    r = run({"-efoo", "bar", f}, o);
    ::chmod(dir.path().c_str(), 0700);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(read_file(f), "a bar");
    EXPECT_EQ(read_file(ro), "foo");
}

TEST(Files, FullFilesystemKeepsTheOldContentOrFallsBack) {
    // Files on a small filesystem, mounted in a private namespace where one can be had. Where the
    // directory has no room for a copy of the file, the temporary file goes to /tmp: a shrinking
    // rewrite works. A grown content that the disk cannot take makes the append fail: the file is
    // cut back to its old content, the failure is reported, and nothing is left beside it.
    temp_dir dir;
    const std::string mnt = dir.file("small"), f = mnt + "/f";
    ASSERT_EQ(::mkdir(mnt.c_str(), 0755), 0);
    auto cases = [&] {
        if (::unshare(CLONE_NEWNS) != 0 ||
            ::mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            ::mount("none", mnt.c_str(), "tmpfs", 0, "size=128k") != 0) {
            std::exit(0);  // nothing to check here
        }
        for (auto [size, to, status] :
             {std::tuple{80000, "abab", 2}, {50000, "aba", 2}, {100000, "a", 0}}) {
            const std::string content = replace_all(std::string(size / 2, 'a'), "a", "ab");
            std::ofstream(f, std::ios::binary) << content;
            run_result r = run({"-eab", to, f});
            const std::string want = status == 0 ? replace_all(content, "ab", to) : content;
            const std::string err = status == 0 ? "" : "filesync(): No space left on device\n";
            if (r.status != status || r.err != err || read_file(f) != want ||
                !recovery_files(mnt).empty()) {
                std::fprintf(stderr, "%d: status %d, err '%s'\n", size, r.status, r.err.c_str());
                std::exit(1);
            }
        }
        std::exit(0);
    };
    EXPECT_EXIT(cases(), ::testing::ExitedWithCode(0), "");
}

TEST(Files, InterruptedWriteBackLosesNothing) {
    if (wrapped()) GTEST_SKIP() << "no preloaded faults under a wrapper";
    // The second write into the file stops the process, which is then killed (the file may be
    // mixed, but its whole new content waits beside it, readable by its owner only) or terminated
    // (the write-back ends first, nothing is left beside it); or that write fails, which is
    // reported even when silent.
    const std::string old = replace_all(std::string(100000, 'f'), "f", "foo");
    struct interrupt_case {
        const char *to, *action;
        int signal, status;
        std::string err;  // "@F" the file, "@K" its recovery file
    };
    const interrupt_case cases[] = {
        {"bar", "STOP", SIGKILL, 137, ""},
        {"fooo", "STOP", SIGKILL, 137, ""},
        {"fo", "STOP", SIGKILL, 137, ""},
        {"bar", "STOP", SIGTERM, 143, "signal 15 received, exit\n"},
        {"bar", "EIO", 0, 2, "'@F' is incomplete; its new content is in '@K'\n"},
    };
    for (const interrupt_case& c : cases) {
        temp_dir dir;
        const std::string f = dir.write("f", old), want = replace_all(old, "foo", c.to);
        run_options o = fault("pwrite", 2, c.action);
        o.env.push_back("KFAULT_FILE=" + f);
        std::vector<std::string> args = {"-efoo", c.to, f};
        if (c.signal == 0) args.insert(args.begin(), "-s");
        background b = start(args, o);
        int status = 0;
        if (c.signal != 0) {
            ASSERT_EQ(::waitpid(b.pid, &status, WUNTRACED), b.pid);
            ASSERT_TRUE(WIFSTOPPED(status));
            ::kill(b.pid, c.signal);
            ::kill(b.pid, SIGCONT);
        }
        run_result r = finish(b);
        const std::string where = std::string(c.to) + " " + c.action;
        const std::vector<std::string> kept = recovery_files(dir.path());
        ASSERT_EQ(kept.size(), c.signal == SIGTERM ? 0u : 1u) << where;
        const std::string whole = kept.empty() ? f : kept[0];  // what holds the new content
        EXPECT_EQ(r.status, c.status) << where;
        EXPECT_EQ(r.err, replace_all(replace_all(c.err, "@F", f), "@K", whole)) << where;
        EXPECT_TRUE(read_file(whole) == want) << where;
        EXPECT_EQ(stat_of(whole).st_mode & 0777, kept.empty() ? 0644u : 0600u) << where;
    }
}

TEST(Files, TheRecoveryFileIsNamedByItsResolvedDirectory) {
    if (wrapped()) GTEST_SKIP() << "no preloaded faults under a wrapper";
    // However the file is reached, its new content is left beside the file itself, and the
    // message names that place with every symbolic link resolved.
    struct reached {
        const char *name, *cwd;  // cwd below the test's directory
    };
    const reached cases[] = {{"real/f", ""},        {"f", "real"}, {"./f", "real"},
                             {"link/f", ""},        {"alias", ""}, {"../alias", "real"},
                             {"link/../real/f", ""}};
    for (const reached& c : cases) {
        temp_dir dir;
        ASSERT_EQ(::mkdir(dir.file("real").c_str(), 0755), 0);
        const std::string old = replace_all(std::string(100000, 'f'), "f", "foo");
        const std::string f = dir.write("real/f", old);
        ASSERT_EQ(::symlink("real", dir.file("link").c_str()), 0);
        ASSERT_EQ(::symlink("real/f", dir.file("alias").c_str()), 0);
        run_options o = fault("pwrite", 2, "EIO");
        o.env.push_back("KFAULT_FILE=" + f);
        o.cwd = dir.file(c.cwd);
        run_result r = run({"-efoo", "bar", c.name}, o);
        const std::string real_dir = std::filesystem::canonical(dir.file("real")).string();
        const std::vector<std::string> kept = recovery_files(real_dir);
        ASSERT_EQ(kept.size(), 1u) << c.name;
        EXPECT_EQ(r.err, "filesync(): Input/output error\n'" + std::string(c.name) +
                             "' is incomplete; its new content is in '" + kept[0] + "'\n")
            << c.name;
        EXPECT_TRUE(read_file(kept[0]) == replace_all(old, "foo", "bar")) << c.name;
    }
}

TEST(Files, AFailedWriteBackSaysWhatItLeft) {
    if (wrapped()) GTEST_SKIP() << "no preloaded faults under a wrapper";
    // The k-th write into the file fails having written nothing. Before any byte of the head is
    // written the file is wholly old (an appended tail is cut off again): reported, nothing kept
    // beside it. Once it has been cut short, it is mixed: its new content stays beside it.
    const std::string old = replace_all(std::string(100000, 'f'), "f", "foo");
    struct failed_write {
        const char* to;
        int write;
        bool mixed;
    };
    const failed_write cases[] = {{"bar", 1, false},
                                  {"fooo", 1, false},
                                  {"fooo", 2, false},
                                  {"fo", 1, true},
                                  {"bar", 2, true}};
    for (const failed_write& c : cases) {
        temp_dir dir;
        const std::string f = dir.write("f", old), want = replace_all(old, "foo", c.to);
        run_options o = fault("pwrite", c.write, "EIO");
        o.env.push_back("KFAULT_FILE=" + f);
        run_result r = run({"-efoo", c.to, f}, o);
        const std::string where = std::string(c.to) + " #" + std::to_string(c.write);
        const std::vector<std::string> kept = recovery_files(dir.path());
        std::string err = "filesync(): Input/output error\n";
        if (c.mixed && kept.size() == 1) {
            err += "'" + f + "' is incomplete; its new content is in '" + kept[0] + "'\n";
        }
        EXPECT_EQ(r.status, 2) << where;
        EXPECT_EQ(r.err, err) << where;
        ASSERT_EQ(kept.size(), c.mixed ? 1u : 0u) << where;
        EXPECT_TRUE(read_file(c.mixed ? kept[0] : f) == (c.mixed ? want : old)) << where;
    }
}

TEST(Files, WithoutAnonymousFilesTheNamedTemporaryGoesOnExit) {
    // A filesystem without anonymous files: the temporary file is named from the start, and a
    // caught signal while the input is filtered (every byte a find: the slowest way through)
    // removes it and leaves the file as it was; so does a normal end.
    if (wrapped()) GTEST_SKIP() << "no preloaded faults under a wrapper";
    temp_dir dir;
    const std::string old(32 << 20, 'a'), f = dir.write("f", old);
    const run_options o = fault("openat", 1, "EOPNOTSUPP");
    background b = start({"-ea", "bb", f}, o);
    for (int i = 0; i < 5000 && recovery_files(dir.path()).empty(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_EQ(recovery_files(dir.path()).size(), 1u);
    ::kill(b.pid, SIGTERM);
    run_result r = finish(b);
    EXPECT_EQ(r.status, 143);
    EXPECT_EQ(r.err, "signal 15 received, exit\n");
    EXPECT_TRUE(read_file(f) == old);
    EXPECT_TRUE(recovery_files(dir.path()).empty());
    dir.write("f", "a");
    EXPECT_EQ(run({"-ea", "bb", f}, o).status, 0);
    EXPECT_EQ(read_file(f), "bb");
    EXPECT_TRUE(recovery_files(dir.path()).empty());
}

/// Waits until the process has been in a system call (its number and first argument, as
/// /proc/PID/syscall shows them: "0 0x0 ") for a while, also when a slow wrapper such as valgrind
/// runs it.
void wait_for_call(int pid, const std::string& call) {
    int seen = 0;
    for (int i = 0; i < 2000 && seen < 3; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        const std::string now = read_file("/proc/" + std::to_string(pid) + "/syscall");
        seen = now.rfind(call, 0) == 0 ? seen + 1 : 0;
    }
}

/// Waits until the process is waiting to read standard input, so that all it was given has been
/// taken.
void wait_for_blocked_read(int pid) {
    wait_for_call(pid, std::to_string(SYS_read) + " 0x0 ");
}

/// Waits until the process is waiting for a file lock.
void wait_for_lock(int pid) {
    wait_for_call(pid, std::to_string(SYS_flock) + " ");
}

TEST(Files, TerminationWhileWaitingForInput) {
    for (int sig : {SIGTERM, SIGINT, SIGHUP}) {
        background b = start({sig == SIGHUP ? "-s" : "-v", "-efoo", "bar"}, {.stdin_pipe = true});
        // What was filtered already comes out, though the input never ends.
        ASSERT_EQ(::write(b.stdin_fd, "a foo ", 6), 6);
        wait_for_blocked_read(b.pid);
        ::kill(b.pid, sig);
        run_result r = finish(b);
        EXPECT_EQ(r.status, 128 + sig);
        std::string expected = "stdin signal " + std::to_string(sig) + " received, exit\n";
        EXPECT_EQ(r.err, sig == SIGHUP ? "" : expected);
        EXPECT_EQ(r.out, "a bar ");
    }
}

TEST(Files, ConcurrentRunsOnOneFileKeepEveryReplacement) {
    // Each run replaces its own word, growing, shrinking or keeping the length; whatever order
    // they end up in, every replacement of every run is in the file.
    const std::vector<std::pair<std::string, std::string>> pairs = {
        {"w0", "W0+"}, {"w1", "1"}, {"w2", "W2"}, {"w3", "WWW3"}};
    std::string old;
    for (int i = 0; i < 20000; ++i)
        old += "w0 w1 w2 w3 " + std::to_string(i) + "\n";
    const int rounds = wrapped() ? 2 : 50;
    for (std::size_t runs : {2u, 4u}) {
        std::string expected = old;
        for (std::size_t i = 0; i < runs; ++i)
            expected = replace_all(expected, pairs[i].first, pairs[i].second);
        for (int round = 0; round < rounds; ++round) {
            temp_dir dir;
            const std::string f = dir.write("f", old);
            std::vector<background> started;
            for (std::size_t i = 0; i < runs; ++i)
                started.push_back(start({"-e" + pairs[i].first, pairs[i].second, f}));
            const std::string where =
                std::to_string(runs) + " runs, round " + std::to_string(round);
            for (background& b : started) {
                run_result r = finish(b);
                EXPECT_EQ(r.status, 0) << where << ": " << r.err;
            }
            ASSERT_TRUE(read_file(f) == expected) << where;
            ASSERT_TRUE(recovery_files(dir.path()).empty()) << where;
        }
    }
}

TEST(Files, ASecondRunWaitsForTheFirstOrEndsOnASignal) {
    // The first run holds the file while it waits for an answer. A run that waits for it filters
    // its result afterwards; one ended meanwhile leaves the file and nothing beside it.
    temp_dir dir;
    const std::string f = dir.write("f", "one foo\n");
    background first = start({"-a", "-efoo", "bar", f}, {.stdin_pipe = true});
    wait_for_blocked_read(first.pid);
    background waiting = start({"-ebar", "baz", f});
    background ended = start({"-ebar", "qux", f});
    wait_for_lock(waiting.pid);
    wait_for_lock(ended.pid);
    ::kill(ended.pid, SIGTERM);
    run_result r = finish(ended);
    EXPECT_EQ(r.status, 143);
    EXPECT_EQ(r.err, "signal 15 received, exit\n");
    EXPECT_EQ(read_file(f), "one foo\n");
    EXPECT_TRUE(recovery_files(dir.path()).empty());
    ASSERT_EQ(::write(first.stdin_fd, "y", 1), 1);
    ::close(first.stdin_fd);
    first.stdin_fd = -1;
    EXPECT_EQ(finish(first).status, 0);
    r = finish(waiting);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(read_file(f), "one baz\n");
}

TEST(Files, ARunThatEndsJustBeforeTheLockIsTakenIsNoChange) {
    // The second run has looked at the file and stops just before it asks for the lock; the
    // first runs from start to end meanwhile. The lock then comes at once, and the second run
    // filters the first one's result instead of calling it a change by another writer.
    if (wrapped()) GTEST_SKIP() << "no preloaded faults under a wrapper";
    temp_dir dir;
    const std::string f = dir.write("f", "alpha gamma\n");
    background late = start({"-egamma", "GAMMA", f}, fault("flock", 1, "STOP"));
    int status = 0;
    ASSERT_EQ(::waitpid(late.pid, &status, WUNTRACED), late.pid);
    ASSERT_TRUE(WIFSTOPPED(status));
    EXPECT_EQ(run({"-ealpha", "ALPHA", f}).status, 0);
    ::kill(late.pid, SIGCONT);
    run_result r = finish(late);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(read_file(f), "ALPHA GAMMA\n");
}

TEST(Files, AnotherRunsVisibleTemporaryFileIsNotRewrittenUnderIt) {
    // A run over a tree may find another run's temporary file by its name while that run copies
    // it back (here stopped at its second write into the file). It waits, and then finds the file
    // gone; the other run's file gets its whole new content.
    if (wrapped()) GTEST_SKIP() << "no preloaded faults under a wrapper";
    temp_dir dir;
    const std::string old = replace_all(std::string(100000, 'f'), "f", "foo");
    const std::string f = dir.write("f", old);
    run_options o = fault("pwrite", 2, "STOP");
    o.env.push_back("KFAULT_FILE=" + f);
    background copying = start({"-efoo", "bar", f}, o);
    int status = 0;
    ASSERT_EQ(::waitpid(copying.pid, &status, WUNTRACED), copying.pid);
    ASSERT_TRUE(WIFSTOPPED(status));
    const std::vector<std::string> kept = recovery_files(dir.path());
    ASSERT_EQ(kept.size(), 1u);
    background finder = start({"-ebar", "XXX", kept[0]});
    wait_for_lock(finder.pid);
    ::kill(copying.pid, SIGCONT);
    EXPECT_EQ(finish(copying).status, 0);
    run_result r = finish(finder);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "can't write '" + kept[0] + "': \nNo such file or directory\n");
    EXPECT_TRUE(read_file(f) == replace_all(old, "foo", "bar"));
    EXPECT_TRUE(recovery_files(dir.path()).empty());
}

TEST(Files, AFileChangedDuringThePassIsLeftAsItIs) {
    // Another program writes while the run waits for an answer: a line appended would be cut off,
    // or overwritten by a longer result, and a file renamed over the name (as sed -i does) would
    // lose our result to an unnamed inode, if the file were written back.
    struct change_case {
        const char* to;
        bool silent, by_rename;
    };
    const change_case cases[] = {
        {"AL", false, false}, {"ALPHABET", true, false}, {"AL", false, true}};
    for (const change_case& c : cases) {
        temp_dir dir;
        const std::string f = dir.write("f", "one alpha\n");
        std::vector<std::string> args = {"-a", "-ealpha", c.to, f};
        if (c.silent) args.insert(args.begin(), "-s");
        background b = start(args, {.stdin_pipe = true});
        wait_for_blocked_read(b.pid);
        if (c.by_rename) {
            ASSERT_EQ(::rename(dir.write("g", "one alpha\nAPPENDED\n").c_str(), f.c_str()), 0);
        } else {
            std::ofstream(f, std::ios::app) << "APPENDED\n";
        }
        ASSERT_EQ(::write(b.stdin_fd, "y", 1), 1);
        run_result r = finish(b);
        const std::string where = std::string(c.to) + (c.by_rename ? " renamed" : " appended");
        const std::string message = "'" + f + "' changed while it was being read; left as it is\n";
        EXPECT_EQ(r.status, 2) << where;
        const bool said =
            r.err.size() >= message.size() &&
            r.err.compare(r.err.size() - message.size(), message.size(), message) == 0;
        EXPECT_EQ(said, !c.silent) << where << ": " << r.err;
        EXPECT_EQ(read_file(f), "one alpha\nAPPENDED\n") << where;
        EXPECT_TRUE(recovery_files(dir.path()).empty()) << where;
    }
}

TEST(Files, AFileIsFilteredOnceWhateverItsNames) {
    // b is a hard link of a and s a symbolic link to it; -c reads every name, as cat does.
    const std::string summary_ok =
        " file(s) processed, 0 errors\n1 occurrences found, 1 replaced\n";
    struct names_case {
        std::vector<std::string> args;
        std::string out, err;
        int status;
        std::string after;
    };
    // clang-format off
    const names_case cases[] = {
        {{"-v", "-efoo", "foobar", "a", "b", "s", "a"}, "",
         "a ok\nb same file as 'a' ok\ns same file as 'a' ok\na same file as 'a' ok\n4" +
             summary_ok, 0, "foobar\n"},
        {{"-efoo", "foobar", "b", "a"}, "", "", 0, "foobar\n"},
        {{"-v", "-ex", "y", "a", "b"}, "",
         "a unchanged\nb same file as 'a' unchanged\n2 file(s) processed, 2 errors\n"
         "0 occurrences found, 0 replaced\n", 2, "foo\n"},
        {{"-c", "-efoo", "foobar", "a", "b"}, "foobar\nfoobar\n", "", 0, "foo\n"},
    };
    // clang-format on
    for (const names_case& c : cases) {
        temp_dir dir;
        dir.write("a", "foo\n");
        ASSERT_EQ(::link(dir.file("a").c_str(), dir.file("b").c_str()), 0);
        ASSERT_EQ(::symlink("a", dir.file("s").c_str()), 0);
        run_result r = run(c.args, {.cwd = dir.path()});
        const std::string where = c.args[c.args.size() - 1] + " " + c.args[0];
        EXPECT_EQ(r.out, c.out) << where;
        EXPECT_EQ(r.err, c.err) << where;
        EXPECT_EQ(r.status, c.status) << where;
        EXPECT_EQ(read_file(dir.file("b")), c.after) << where;
    }
}

}  // namespace
}  // namespace kestrom_test
