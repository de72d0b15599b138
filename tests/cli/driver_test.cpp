// The command line as a user meets it: arguments in order, standard input, messages and status.
#include <gtest/gtest.h>

#include "harness.hpp"

namespace kestrom_test {
namespace {

const std::string summary_one_unchanged =
    "1 file(s) processed, 1 errors\n0 occurrences found, 0 replaced\n";

TEST(Driver, FiltersStandardInput) {
    // The matching itself is the stream matcher's unit tests' and fuzzer's.
    const std::string warn_x = "Warning: invalid flag -x (use -h for help)\n";
    const std::string twice = "2 file(s) processed, 2 errors\n0 occurrences found, 0 replaced\n";
    // A candidate longer than the window, then a pattern added between two inputs: what the
    // matcher works out from the patterns must follow them.
    const std::string far = std::string("b").append(5000, 'x');
    // clang-format off
    check_rows({
        {{}, "", "hello\n", "hello\n", "", 1},
        {{"-efoo", "bar"}, "", "a foo b", "a bar b", "", 0},
        {{"-efoo", "-v"}, "", "foo", "-v", "", 0},      // the replacement, whatever it looks like
        {{"-efoo", "@list"}, "", "foo", "@list", "", 0},
        {{"-efoo"}, "", "foo", "foo", "", 1},           // a trailing search is dropped
        {{""}, "", "abc", "abc", "", 1},
        {{"-x"}, "", "a", "a", warn_x, 1},
        {{"-sx"}, "", "a", "a", "", 1},
        {{"-xs"}, "", "a", "a", warn_x, 1},
        {{"-v", "-efoo", "bar"}, "", "foo", "bar",
         "stdin ok\n1 file(s) processed, 0 errors\n1 occurrences found, 1 replaced\n", 0},
        {{"-v", "-", "-"}, "", "abc", "abc",
         "stdin unchanged\nstdin Warning: cannot process stdin twice\n" + twice, 2},
        {{"-s", "-v", "-", "-"}, "", "abc", "abc", "stdin unchanged\nstdin \n" + twice, 2},
        {{"-vv", "-efoo", "bar"}, "", "foo", "bar", "", 0},
        {{"-v", "-N", "-eabc", "X"}, "", "abcabc", "abcabc",
         "stdin unchanged\n1 file(s) processed, 1 errors\n2 occurrences found, 0 replaced\n", 1},
        {{"-i", "-eabc", "X"}, "", "xaBcx", "xXx", "", 0},
        {{"-efoo", "bar", "-i"}, "", "foo", "foo", "", 1},
        {{"-r", "-eabc", "xyz"}, "", "abc xyz", "abc abc", "", 0},
        {{"-n", "-ea*b", "X"}, "", "a*b aab", "X aab", "", 0},
        {{"-e#65$42\\0x43", "[&]"}, "", "ABC", "[ABC]", "", 0},
        {{"-m", "-eab", "&\\t"}, "", "ab", "&\\t", "", 0},
        {{"-ea*c", "<&>", "-e?z", "-"}, "", "xabcz yz", "x<abc>z -", "", 0},
        {{"-eb", "#0"}, "", "abc", std::string("a\0c", 3), "", 0},
        {{"--v"}, "", "abc", "abc", "stdin unchanged\n" + summary_one_unchanged, 1},
        // After "--", "-v" is a file; in "-e foo f" the search is the empty rest of -e.
        {{"-c", "--", "-v"}, "", "", "", "can't read '-v': \nNo such file or directory\n", 1},
        {{"-v", "-e", "foo", "f"}, "foo", "", "", "f unchanged\n" + summary_one_unchanged, 1,
         {}, "foo"},
        {{"-c", "-ea*foo", "X", "f", "-eb*bar", "Y", "-"}, "a1foo", far + "b2bar" + far,
         std::string("X").append(far).append("Y").append(far), "", 0},
        {{"-c", "-eabc", "X", "f", "-eab", "Y", "-"}, "abc", "ab abc", "XY Yc", "", 0},
        {{"-c", "-b", "-ea*foo", "X", "f", "-eb*bar", "Y", "-"}, "a1foo", "b2bar\nb2foo",
         "X\nY\nb2foo\n", "", 0},
    });
    // clang-format on
}

TEST(Driver, ExitStatusIsCappedNotWrapped) {
    // Capped below what xargs and the shells read as "cannot run", "not found" or a signal.
    temp_dir dir;
    const std::string f = dir.write("f", "x");
    for (const auto& [files, status] : {std::pair{124, 124}, {125, 125}, {300, 125}})
        EXPECT_EQ(run(std::vector<std::string>(static_cast<std::size_t>(files), f)).status, status);
}

}  // namespace
}  // namespace kestrom_test
