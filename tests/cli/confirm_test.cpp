// Interactive mode as a user meets it: the dump on standard error, answers on standard input.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "harness.hpp"

namespace kestrom_test {
namespace {

const std::string CLEAR = "\033[2J\033[H", BOLD = "\033[1m", RESET = "\033[m";
const std::string HEADER =
    "OFFSET                         Hex                                Ascii\n"
    "------- ------------------------------------------------   ----------------\n";

/// The prompts and echoed answers of every question in err, each from "--> " on.
std::string questions(const std::string& err) {
    std::string out;
    for (std::size_t at = err.find("--> "); at != std::string::npos; at = err.find("--> ", at)) {
        std::size_t next = err.find(CLEAR, at);
        out += err.substr(at, next == std::string::npos ? std::string::npos : next - at);
        at = next;
    }
    return out;
}

TEST(Confirm, DumpLayout) {
    const std::string gap = "   ", top = CLEAR + HEADER;
    // clang-format off
    check_rows({
        {{"-a", "-c", "-eworld", "Earth", "f"}, "Hello, world!\n", "y", "Hello, Earth!\n",
         top + "0000000 48 65 6C 6C 6F 2C 20 " + BOLD + "77 6F 72 6C 64 " + RESET + "21 0A " +
             gap + gap + gap + "Hello, " + BOLD + "world" + RESET + "!.\n" +
             "--> 'Earth' (y/n/a/q) ? Yes\n", 0},
        // The found text runs into the next row: bold is off for the first row's gap, back on
        // for its line break and the next row.
        {{"-a", "-c", "-eefgh", "\\n", "f"}, "0123456789abcdefghij", "y", "0123456789abcd\nij",
         top + "0000000 30 31 32 33 34 35 36 37 38 39 61 62 63 64 " + BOLD + "65 66 " + RESET +
             gap + "0123456789abcd" + BOLD + "ef\n0000010 " + BOLD + "67 68 " + RESET +
             "69 6A " + std::string(36, ' ') + BOLD + gap + "gh" + RESET + "ij\n" +
             "--> '.' (y/n/a/q) ? Yes\n", 0},
        // A whole row ending with the found text: the next offset, the prompt, all still bold.
        {{"-a", "-c", "-eZ", "", "f"}, "0123456789abcdeZ", "y", "0123456789abcde",
         top + "0000000 30 31 32 33 34 35 36 37 38 39 61 62 63 64 65 " + BOLD + "5A " + RESET +
             gap + "0123456789abcde" + BOLD + "Z\n0000010 " + BOLD +
             "--> '' (y/n/a/q) ? Yes\n", 0},
    });
    // clang-format on
    // 128 bytes before the found text; near the window's end the look-ahead stops short (93
    // bytes after, a last row of 15) and no byte read ahead is lost.
    temp_dir dir;
    const std::string xs(4000, 'x'), dots(500, '.');
    run_result r = run({"-a", "-c", "-eab", "X", dir.write("f", xs + "ab" + dots)}, {.input = "y"});
    EXPECT_EQ(r.out, xs + "X" + dots);
    EXPECT_EQ(r.err.substr(CLEAR.size() + HEADER.size(), 8), "0000F20 ");
    EXPECT_NE(r.err.find("\n0000FF0 2E 2E 2E 2E 2E 2E 2E 2E 2E 2E 2E 2E 2E 2E 2E       " +
                         std::string(15, '.') + "\n--> "),
              std::string::npos);
}

TEST(Confirm, Answers) {
    // Two files, "ab ab" and "ab": a quit ends only its own file, and 'a' carries over.
    const std::string ask = "--> 'X' (y/n/a/q) ? ", yes = ask + "Yes\n", no = ask + "No\n";
    struct answer_case {
        std::vector<std::string> args;
        std::string answers, out, asked;
        int status;
    };
    // clang-format off
    const answer_case cases[] = {
        {{}, "yny", "X abX", yes + no + yes, 0},
        {{}, "x\nY\ny\nnn", "X abab", yes + no + no, 1},
        {{}, "", "ab abab", no + no + no, 2},
        {{}, "nq", "ab abab", no + ask + "No, Quit\n" + no, 2},
        {{}, "a", "X XX", ask + "Auto Yes\n", 0},
        {{"-N"}, "a", "X abab", ask + "Auto Yes\n", 1},
        {{"-b", "-e*", "Y"}, "", "Y\nX\n", "", 0},  // line mode never asks
    };
    // clang-format on
    for (const answer_case& c : cases) {
        temp_dir dir;
        std::vector<std::string> args = {"-a", "-c", "-eab", "X"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        args.push_back(dir.write("1", "ab ab"));
        args.push_back(dir.write("2", "ab"));
        run_result r = run(args, {.input = c.answers});
        EXPECT_EQ(r.out, c.out) << c.answers;
        EXPECT_EQ(questions(r.err), c.asked) << c.answers;
        EXPECT_EQ(r.status, c.status) << c.answers;
    }
}

TEST(Confirm, StandardInputHoldsTextThenAnswers) {
    // The look-ahead takes up to 128 bytes after the found text; the answer comes next.
    const std::string dots(128, '.');
    EXPECT_EQ(run({"-a", "-eab", "X"}, {.input = "ab" + dots + "y"}).out, "X" + dots);
}

TEST(Confirm, SignalWhileAskingLeavesTheFile) {
    temp_dir dir;
    std::string f = dir.write("f", "one foo two");
    background b = start({"-a", "-efoo", "bar", f}, {.stdin_pipe = true});  // no answer comes
    for (int i = 0; i < 5000 && read_file(b.err_path).find("? ") == std::string::npos; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ::kill(b.pid, SIGINT);
    run_result r = finish(b);
    EXPECT_EQ(r.status, 130);
    EXPECT_EQ(questions(r.err), "--> 'bar' (y/n/a/q) ? signal 2 received, exit\n");
    EXPECT_EQ(read_file(f), "one foo two");
}

}  // namespace
}  // namespace kestrom_test
