// Patterns from -p, pattern files and templates, arguments from argument files, and the screens,
// as a user meets them. In the tables "f" is the pattern or argument file.
#include <gtest/gtest.h>

#include "harness.hpp"

namespace kestrom_test {
namespace {

const std::string twice = "Warning: cannot process stdin twice\n";

TEST(Sources, PatternsFromEverySource) {
    const std::string a = std::string(4095, 'a');
    const std::string cut = "Warning: pattern over 4096 bytes in 'f', rest of it ignored\n";
    // clang-format off
    check_rows({
        {{"-p/abc/xyz/any remark"}, "", "abc", "xyz", "", 0},
        {{"-p/abc/xyz", "-p/abc", "-p"}, "", "abc", "abc", "", 1},
        {{"-p,a/b,c,"}, "", "a/b", "c", "", 0},
        {{"-p/a#47b/[&]/"}, "", "a/b", "[a/b]", "", 0},  // decoded after the split
        {{"-i", "-p/ab/X/"}, "", "aB", "X", "", 0},
        {{"-ff"}, "/cat/dog/ first\n|a b|c d|\n", "cat a b", "dog c d", "", 0},
        {{"-ff"}, "/x/y/\r\n/u/v/", "xu", "yv", "", 0},
        {{"-ff"}, "/x/y/\n\n/u/v/\nZ\n", "x /u/v/", "y Z", "", 0},
        {{"-ff"}, " a b \n", "a", "b", "", 0},
        {{"-ff"}, "/x/y/\n/u/v", "xu", "yu", "", 0},
        {{"-ff"}, std::string("/a\0b/X/\n", 8), "ab", "Xb", "", 0},
        {{"-ff"}, "/" + a + "/y/\n/b/c/\n", a + "b", "yc", "", 0},  // 4096 bytes of pair
        {{"-ff"}, "/a" + a + "/y/\n/b/c/\n", "b", "b", cut, 1},
        {{"-s", "-ff"}, "/b/c/\n/aa" + a + "/x/\n", "b", "c", "", 0},
        {{"-f", "-c", "f"}, "cat", "/cat/dog/\n", "dog", "", 0},
        {{"-f", "-f", "-v"}, "", "/a/b/\n", "", twice, 0},
        {{"-s", "-fmissing"}, "", "abc", "abc", "cannot open 'missing', skipping ...\n", 1},
        {{"-f."}, "", "abc", "abc", "can't read '.': Is a directory\n", 1},
        {{"-dAfoo", "-tA-A", "bar"}, "", "foo-foo A-A", "bar A-A", "", 0},
        {{"-dAfoo", "-dA", "-tA-A", "x"}, "", "foo-foo A-A", "foo-foo x", "", 0},
        {{"-dAfoo", "-dBA", "-tB", "x"}, "", "A foo", "x foo", "", 0},
        {{"-tA", "x", "-dAfoo"}, "", "A foo", "x foo", "", 0},
        {{"-d?a b", "-d", "-tx?", "Y"}, "", "xa b", "Y", "", 0},
    });
    // clang-format on
}

TEST(Sources, ArgumentFiles) {
    const std::string a = std::string(253, 'a'), b = std::string(45, 'b');
    // clang-format off
    check_rows({
        {{"@f"}, "-p/a/b/ # -ex y\n-c in", "ax", "bx", "", 0},
        {{"@f"}, "\"-ehello world\" `X Y` -c in", "hello world", "X Y", "", 0},
        {{"@f"}, "-e" + a + b + " -c in", a, b, "", 0},  // cut into 255 and 45 bytes
        {{"@f"}, "'-e" + a + "' X -c in", a, "X", "", 0},  // 255 quoted bytes keep the quote
        {{"@f"}, "-c in -ex y in", "x", "xy", "", 1},
        {{"-c", "@", "f"}, "x", "-ex y", "y", "", 0},  // depth first
        {{"-c", "--", "@f"}, "in", "x", "x", "", 1},
        {{"-s", "@missing"}, "", "abc", "abc", "Warning: cannot open missing\n", 1},
        {{"@", "@"}, "x", "-c f", "x", twice, 1},
        {{"@f", "-ex", "y", "-c", "in"}, "@f", "x", "y", "Warning: cannot open f\n", 0},
        {{"@."}, "", "abc", "abc", "can't read '.': Is a directory\n", 1},
    });
    // clang-format on
}

TEST(Screens, ByteExactRedirectedAndOnATerminal) {
    // The screens as users know them, "kestrom" standing for the program's base name.
    const std::string help = read_file(KESTROM_GOLDEN "/help.txt");
    const std::string grammar = read_file(KESTROM_GOLDEN "/grammar.txt");
    const std::string version = "kestrom, ver. 1.10, jul 2021\n";
    const std::string on_terminal = "\033[2J\033[H\033[1m\033[m";
    struct screen_case {
        std::vector<std::string> args;
        std::string argv0, out;
        bool sequences;  // the clear, bold and reset sequences on stderr when on a terminal
    };
    // clang-format off
    const screen_case cases[] = {
        {{"-h"}, "", help, true},
        {{"-vh", "-efoo", "bar"}, "", help, true},
        {{"-hh"}, "", version, false},
        {{"-hhv"}, "/usr/local/bin/name", version, false},
        {{"-gh"}, "", grammar, true},
        {{"-", "-g"}, "", "abc" + grammar, true},
        {{"-h"}, "/opt/x/my-tool", help, true},
    };
    // clang-format on
    for (const screen_case& c : cases) {
        if (wrapped() && !c.argv0.empty()) continue;  // a wrapper passes on the binary's path
        // The banner and the syntax line show the base name of the program's path.
        std::string name = c.argv0.empty() ? "kestrom" : c.argv0.substr(c.argv0.rfind('/') + 1);
        const std::string out = replace_all(c.out, "kestrom", name);
        for (bool pty : {false, true}) {
            run_result r = run(c.args, {.input = "abc", .stdout_pty = pty, .argv0 = c.argv0});
            std::string where = c.args.back() + (pty ? " on a terminal" : " redirected");
            EXPECT_EQ(r.out, out) << where;
            EXPECT_EQ(r.err, pty && c.sequences ? on_terminal : "") << where;
            EXPECT_EQ(r.status, 1) << where;
        }
    }
}

}  // namespace
}  // namespace kestrom_test
