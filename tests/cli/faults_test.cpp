// Every system call of an in-place rewrite failing at every moment: whatever fails, each file is
// wholly old, wholly new, or mixed with its whole new content beside it, every failure that
// leaves it less than new is reported, and a file left wholly old is not called incomplete.
// KESTROM_FAULTS_FULL=1 (make faults) runs every size, error and moment; make test runs a sample.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "harness.hpp"

namespace kestrom_test {
namespace {

const bool full = std::getenv("KESTROM_FAULTS_FULL") != nullptr;

struct fault_call {
    std::string name;
    bool refuse_kernel_copy;  ///< the head is copied through pread and pwrite
};

const fault_call every_call[] = {{"read", false},
                                 {"write", false},
                                 {"lseek", false},
                                 {"ftruncate", false},
                                 {"close", false},
                                 {"open", false},
                                 {"openat", false},
                                 {"linkat", false},
                                 {"unlinkat", false},
                                 {"fsync", false},
                                 {"flock", false},
                                 {"fstat", false},
                                 {"copy_file_range", false},
                                 {"pread", false},
                                 {"pwrite", false},
                                 {"pread", true},
                                 {"pwrite", true},
                                 {"read", true}};

/// Rewrites a file holding old with args (the file's path last) while the call of fc fails at
/// each of its uses in turn, with each action, and checks what is left; returns how many runs.
/// head_copy says that the run copies a head from the file.
int fail_everywhere(const std::string& old, const std::vector<std::string>& args,
                    const std::string& want, const fault_call& fc,
                    const std::vector<std::string>& actions, bool head_copy) {
    const std::string& call = fc.name;
    auto with_plan = [&](long k, const std::string& action) {
        run_options o = fault(call, k, action);
        if (fc.refuse_kernel_copy) o.env.push_back("KFAULT_REFUSE=1");
        return o;
    };
    temp_dir dir;
    const std::string f = dir.write("f", old);
    std::vector<std::string> with_file = args;
    with_file.push_back(f);
    // A clean run counts the calls, and its result is exact.
    run_options counting = with_plan(0, "EIO");
    counting.env.push_back("KFAULT_COUNT=" + dir.file("count"));
    run_result clean = run(with_file, counting);
    EXPECT_EQ(clean.status, 0) << call << clean.err;
    EXPECT_TRUE(read_file(f) == want) << call;
    const long n = std::atol(read_file(dir.file("count")).c_str());
    // The copy of a head runs only when there is one.
    if (head_copy && (call == "copy_file_range" || fc.refuse_kernel_copy)) {
        EXPECT_GT(n, 0) << call << " never called";
    }
    int scenarios = 0;
    for (const std::string& action : actions) {
        for (long k = 1; k <= n; ++k) {
            if (!full && k != 1 && k != n && k != (n + 1) / 2) continue;
            dir.write("f", old);
            run_result r = run(with_file, with_plan(k, action));
            const std::string got = read_file(f);
            const std::vector<std::string> kept = recovery_files(dir.path());
            std::string where = call + (fc.refuse_kernel_copy ? " (no kernel copy)" : "") + " #" +
                                std::to_string(k) + " " + action + " size " +
                                std::to_string(old.size()) + ",";
            for (const std::string& a : args)
                where += " '" + a + "'";
            where += ": " + r.err;
            ++scenarios;
            if (r.status == 0) {
                EXPECT_TRUE(got == want) << where;
                // Only a temporary file that could not be removed is worth a word.
                EXPECT_EQ(r.err.empty(), kept.empty()) << where;
            } else {
                EXPECT_NE(r.err, "") << where;
            }
            if (action == "SHORT" && (call == "read" || call == "write" || call == "pread" ||
                                      call == "pwrite" || call == "copy_file_range")) {
                EXPECT_EQ(r.status, 0) << where;  // a short count is no failure
            }
            // A mixed file has its new content beside it; a file not known to be whole (a failed
            // close or flush) may have it too.
            if (got != old && got != want) {
                EXPECT_EQ(kept.size(), 1u) << where;
            }
            // A file that is wholly old needs no mending and is not called so.
            if (got == old) {
                EXPECT_TRUE(kept.empty()) << where;
                EXPECT_EQ(r.err.find("incomplete"), std::string::npos) << where;
            }
            EXPECT_LE(kept.size(), 1u) << where;
            for (const std::string& k2 : kept) {
                EXPECT_TRUE(read_file(k2) == want) << where;
                std::filesystem::remove(k2);
            }
            if (::testing::Test::HasFailure()) return scenarios;
        }
    }
    return scenarios;
}

TEST(Faults, EveryFailureLeavesAWholeFile) {
    if (wrapped()) GTEST_SKIP() << "no preloaded faults under a wrapper";
    const std::vector<int> sizes =
        full ? std::vector<int>{1, 65535, 65536, 65537, 200000} : std::vector<int>{65537};
    const std::vector<std::string> actions =
        full ? std::vector<std::string>{"EIO", "ENOSPC", "EFBIG", "EINTR", "SHORT"}
             : std::vector<std::string>{"EIO", "SHORT"};
    // Where the first found text lies: at the start, or after a head that the write-back keeps.
    const std::vector<int> leads = full ? std::vector<int>{0, 1} : std::vector<int>{1};
    int scenarios = 0;
    for (int size : sizes) {
        for (int lead_half : leads) {
            for (const char* to : {"xy", "", "x"}) {  // growing, shrinking, equal
                const int lead = lead_half * size / 2;
                std::string old;
                for (int i = 0; i < size; ++i)
                    old += i < lead || (i - lead) % 2 ? 'b' : 'a';
                const std::string want = replace_all(old, "a", to);
                for (const fault_call& fc : every_call) {
                    scenarios += fail_everywhere(old, {"-ea", to}, want, fc, actions, lead > 0);
                    if (HasFailure()) return;
                }
            }
        }
    }
    std::printf("%d fault scenarios\n", scenarios);
}

TEST(Faults, LineModePassedTwiceLeavesAWholeFile) {
    if (wrapped()) GTEST_SKIP() << "no preloaded faults under a wrapper";
    // Carriage returns that line mode drops long before the first found line: the file is read
    // twice, the second time from its start again.
    std::string old;
    while (old.size() < 100000)
        old += "line\r\n";
    const std::string want = replace_all(old, "\r", "") + "x\nline\n";
    old += "a\r\nline\r\n";
    const std::vector<std::string> actions =
        full ? std::vector<std::string>{"EIO", "EINTR", "SHORT"} : std::vector<std::string>{"EIO"};
    int scenarios = 0;
    for (const fault_call& fc : every_call) {
        scenarios += fail_everywhere(old, {"-b", "-ea", "x"}, want, fc, actions, true);
        if (HasFailure()) return;
    }
    std::printf("%d fault scenarios\n", scenarios);
}

TEST(Faults, ExhaustedMemoryEndsWithOneMessage) {
    if (wrapped()) GTEST_SKIP() << "no memory limit under a wrapper";
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the address sanitizer needs more address space than any useful limit";
#endif
    // Some four million trie nodes: a thousand long searches that part at their first bytes.
    temp_dir dir;
    std::string patterns;
    for (int i = 0; i < 1000; ++i) {
        const std::string n = std::to_string(i);
        patterns.append("/").append(n).append(4000, 'a').append("/x/\n");
    }
    std::string pats = "-f";
    pats += dir.write("pats", patterns);
    run_result r = run({pats}, {.input = "data", .memory_limit = 64 << 20});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err.rfind("FATAL: malloc(", 0), 0u) << r.err;
    EXPECT_NE(r.err.find(") failed! total="), std::string::npos) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
}

TEST(Faults, KilledAtRandomMomentsOverManyFiles) {
    // SIGKILL cannot be caught: what must hold is that no content, old or new, exists nowhere.
    // SIGTERM is caught: every file is old or new and nothing is left beside it.
    std::mt19937 rng(12345);
    const std::string old(3 << 20, 'a'), want(3 << 20, 'b');
    for (int round = 0; round < (full ? 60 : 6); ++round) {
        const int sig = round % 2 ? SIGTERM : SIGKILL;
        temp_dir dir;
        const std::vector<std::string> names = {"f0", "f1", "f2", "f3", "f4", "f5"};
        std::vector<std::string> args{"-ea", "b"};
        for (const std::string& name : names)
            args.push_back(dir.write(name, old));
        background b = start(args);
        std::this_thread::sleep_for(std::chrono::microseconds(rng() % 150000));
        ::kill(b.pid, sig);
        finish(b);
        for (const std::string& name : names) {
            const std::string got = read_file(dir.file(name));
            const std::vector<std::string> kept = recovery_files(dir.path(), name);
            const std::string where = name + ", round " + std::to_string(round);
            if (got != old && got != want) {
                ASSERT_EQ(kept.size(), 1u) << where;
            }
            if (sig == SIGTERM) {
                EXPECT_TRUE(got == old || got == want) << where;
                EXPECT_TRUE(kept.empty()) << where;
            }
            for (const std::string& k : kept)
                EXPECT_TRUE(read_file(k) == want) << where;
        }
    }
}

/// Writes size bytes of chunk after chunk of text without any find through kestrom; returns the
/// most memory it held (which counts what this process held when it started it).
long stream_through(long long size, const std::string& chunk) {
    run_options o{.stdin_pipe = true, .stdout_path = "/dev/null"};
    background b = start({"-efoo", "bar", "-e[0-9]x?z", "y"}, o);
    for (long long left = size; left > 0;) {
        const auto n = static_cast<std::size_t>(std::min<long long>(left, chunk.size()));
        if (::write(b.stdin_fd, chunk.data(), n) != static_cast<ssize_t>(n)) break;
        left -= static_cast<long long>(n);
    }
    ::close(b.stdin_fd);
    b.stdin_fd = -1;
    run_result r = finish(b);
    EXPECT_EQ(r.status, 1) << r.err;
    return r.max_rss_kb;
}

TEST(Faults, LargeInputsInBoundedMemory) {
    if (wrapped()) GTEST_SKIP() << "too slow under a wrapper";
    // 100,000 pairs from a pattern file, as many from an argument file, and a 100 KiB argument.
    temp_dir dir;
    std::string patterns, arguments;
    for (int i = 0; i < 100000; ++i) {
        const std::string n = std::to_string(i);
        patterns.append("/p").append(n).append("./P").append(n).append("/\n");
        arguments.append("-ea").append(n).append(". 'A").append(n).append("'\n");
    }
    std::string pats = "-f", args = "@";
    pats += dir.write("pats", patterns);
    args += dir.write("args", arguments);
    std::string long_search = "-e", input = "p7. a99999. ";
    long_search.append(4000, 'l');  // a found text must fit in the window
    input.append(4000, 'l').append(" p99999.");
    const std::string long_replacement(100 << 10, 'L');
    run_result r = run({pats, args, long_search, long_replacement}, {.input = input});
    EXPECT_EQ(r.out, "P7 A99999 " + long_replacement + " P99999");
    EXPECT_EQ(r.status, 0) << r.err;
    // Memory does not grow with the input: 1 GiB (make faults: 8 GiB) holds no more than 64 MiB.
    std::string chunk;
    while (chunk.size() < (1 << 20))
        chunk += "the quick brown fox jumps over the lazy dog\n";
    const long small = stream_through(64LL << 20, chunk);
    const long large = stream_through(full ? 8LL << 30 : 1LL << 30, chunk);
    EXPECT_LE(large, small + 1024) << small << " KiB for 64 MiB";
}

}  // namespace
}  // namespace kestrom_test
