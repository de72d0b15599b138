// The command line as a user meets it: arguments in order, standard input, messages and status.
#include <gtest/gtest.h>

#include "harness.hpp"

namespace kestrom_test {
namespace {

struct filter_case {
    const char* name;
    std::vector<std::string> args;
    std::string input;
    std::string out;
    std::string err;
    int status;
};

class Filter : public ::testing::TestWithParam<filter_case> {};

TEST_P(Filter, FiltersStandardInput) {
    const filter_case& c = GetParam();
    run_result r = run_with(c.args, c.input);
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(r.status, c.status);
}

INSTANTIATE_TEST_SUITE_P(
    Driver, Filter,
    ::testing::Values(
        filter_case{"no_arguments_copy_input", {}, "hello\n", "hello\n", "", 1},
        filter_case{"pair_replaces", {"-efoo", "bar"}, "a foo b", "a bar b", "", 0},
        filter_case{"pair_without_find", {"-efoo", "bar"}, "nothing", "nothing", "", 1},
        filter_case{"shorter_pattern_wins", {"-eab", "X", "-eabc", "Y"}, "abcabd", "XcXd", "", 0},
        filter_case{"restart_rescans", {"-eaab", "X"}, "aaab", "aX", "", 0},
        filter_case{"replacement_looks_like_option", {"-efoo", "-v"}, "foo", "-v", "", 0},
        filter_case{"replacement_looks_like_argfile", {"-efoo", "@list"}, "foo", "@list", "", 0},
        filter_case{"empty_search_then_x", {"-e", "x"}, "abc", "abc", "", 1},
        filter_case{"trailing_pair_dropped", {"-efoo"}, "foo", "foo", "", 1},
        filter_case{"empty_argument_ignored", {""}, "abc", "abc", "", 1},
        filter_case{"invalid_flag_warns",
                    {"-x"},
                    "a",
                    "a",
                    "Warning: invalid flag -x (use -h for help)\n",
                    1},
        filter_case{"silent_before_invalid_flag", {"-sx"}, "a", "a", "", 1},
        filter_case{"invalid_flag_before_silent",
                    {"-xs"},
                    "a",
                    "a",
                    "Warning: invalid flag -x (use -h for help)\n",
                    1},
        filter_case{"verbose_stdin_ok",
                    {"-v", "-efoo", "bar"},
                    "foo",
                    "bar",
                    "stdin ok\n1 file(s) processed, 0 errors\n1 occurrences found, 1 replaced\n",
                    0},
        filter_case{"verbose_stdin_twice",
                    {"-v", "-", "-"},
                    "abc",
                    "abc",
                    "stdin unchanged\nstdin Warning: cannot process stdin twice\n"
                    "2 file(s) processed, 2 errors\n0 occurrences found, 0 replaced\n",
                    2},
        filter_case{"silent_verbose_stdin_twice",
                    {"-s", "-v", "-", "-"},
                    "abc",
                    "abc",
                    "stdin unchanged\nstdin \n"
                    "2 file(s) processed, 2 errors\n0 occurrences found, 0 replaced\n",
                    2},
        filter_case{"verbose_toggled_twice", {"-vv", "-efoo", "bar"}, "foo", "bar", "", 0},
        filter_case{
            "no_reply_counts_but_keeps",
            {"-v", "-N", "-eabc", "X"},
            "abcabc",
            "abcabc",
            "stdin unchanged\n1 file(s) processed, 1 errors\n2 occurrences found, 0 replaced\n",
            1},
        filter_case{"case_fold_before_pair", {"-i", "-eabc", "X"}, "xaBcx", "xXx", "", 0},
        filter_case{"case_fold_after_pair", {"-efoo", "bar", "-i"}, "foo", "foo", "", 1},
        filter_case{"swap_pairs", {"-r", "-eabc", "xyz"}, "abc xyz", "abc abc", "", 0},
        filter_case{"literal_search", {"-n", "-ea*b", "X"}, "a*b aab", "X aab", "", 0},
        filter_case{"escapes_and_found_text", {"-e#65$42\\0x43", "[&]"}, "ABC", "[ABC]", "", 0},
        filter_case{"literal_replacement", {"-m", "-eab", "&\\t"}, "ab", "&\\t", "", 0},
        filter_case{"wildcards", {"-ea*c", "<&>", "-e?z", "-"}, "xabcz yz", "x<abc>z -", "", 0},
        filter_case{
            "replacement_decoded_nul", {"-eb", "#0"}, "abc", std::string("a\0c", 3), "", 0}),
    [](const ::testing::TestParamInfo<filter_case>& info) { return info.param.name; });

TEST(Driver, FileNamedAfterDashDashIsAFile) {
    temp_dir dir;
    dir.write("-v", "foo");
    run_options o;
    o.cwd = dir.path();
    run_result r = run({"-efoo", "bar", "--", "-v"}, o);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(read_file(dir.file("-v")), "bar");
}

TEST(Driver, EmptySearchOfDashEPairsTheNextArgument) {
    // "-e foo bar": the search is the empty rest of -e, foo its replacement, bar a file.
    temp_dir dir;
    dir.write("bar", "foo");
    run_options o;
    o.cwd = dir.path();
    o.stdin_closed = true;
    run_result r = run({"-v", "-e", "foo", "bar"}, o);
    EXPECT_EQ(r.err,
              "bar unchanged\n1 file(s) processed, 1 errors\n0 occurrences found, 0 replaced\n");
    EXPECT_EQ(read_file(dir.file("bar")), "foo");
}

TEST(Driver, DashDashStillReadsLettersOfItsGroup) {
    run_result r = run_with({"--v"}, "abc");
    EXPECT_EQ(r.out, "abc");
    EXPECT_EQ(r.err,
              "stdin unchanged\n1 file(s) processed, 1 errors\n0 occurrences found, 0 replaced\n");
}

TEST(Driver, ExitStatusIsCappedNotWrapped) {
    temp_dir dir;
    std::vector<std::string> args;
    for (int i = 0; i < 300; ++i) {
        std::string name = "f";
        name += std::to_string(i);
        args.push_back(dir.write(name, "x"));
    }
    run_result r = run(args);
    EXPECT_EQ(r.status, 255);
}

}  // namespace
}  // namespace kestrom_test
