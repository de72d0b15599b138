#include "match/line.hpp"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <utility>
#include <vector>

#include "pattern/register.hpp"
#include "test_io.hpp"

namespace kestrom {
namespace {

using namespace std::string_literals;
using test::mem_file;

struct line_case {
    std::vector<std::pair<std::string, std::string>> pairs;  ///< registered as on the command line
    std::string input, out;
    const char* opts = "";  ///< '0' NUL-terminated input, 'z' NUL after output
};

TEST(LineMatcher, ReplacesWholeRecords) {
    // The fuzzer proves the lookup, case folding included, against a plain recursive one.
    // clang-format off
    const line_case cases[] = {
        {{{"abc", "X"}}, "abc\nabcd\nxabc\n", "X\nabcd\nxabc\n"},
        {{{"xyz", "P"}, {"x*", "Q"}}, "xy\nxyq\nxyzz\nxyz\n", "Q\nQ\nQ\nP\n"},
        {{{"abc", "X"}, {"a?", "Y"}}, "ab\n", "Y\n"},
        {{{"a*", "[&]"}}, "ab\nb\na", "[ab]\nb\n[a]\n"},
        {{{"abc", "X"}}, "abc\r\nab\rc\r\n", "X\nab\rc\n"},
        {{{"", "E"}}, "abc\n\x1a", "abc\nE\n"},
        {{{"*q", "Y"}, {"", "E"}}, "xqz\n\nq\n", "xqz\nE\nY\n"},
        {{{"abc", "X"}}, "abc\x1a", "X\n"},
        {{{"ab", "[&]"}}, "ab\0cd\nab\0\n"s, "[ab\0cd]\n[ab\0]\n"s},
        {{{"a", "X"}}, "a\0b\0"s, "X\nb\n", "0"},
        {{{"a", "X"}}, "a\0b\n\0"s, "X\0b\n\0"s, "0z"},
    };
    // clang-format on
    for (const line_case& c : cases) {
        run_state rs;
        const std::string opts = c.opts;
        if (opts.find('0') != std::string::npos) rs.opts.in_term = 0;
        if (opts.find('z') != std::string::npos) rs.opts.out_term = 0;
        for (auto [search, repl] : c.pairs)
            register_pair(rs.patterns, rs.opts, search.data(), repl.data());
        mem_file in_file(c.input), out_file;
        byte_reader in(in_file.fd());
        byte_writer out(out_file.fd());
        EXPECT_EQ(line_replace(rs, in, out), 0) << c.input;
        EXPECT_EQ(out_file.content(), c.out) << c.input;
    }
}

TEST(LineMatcher, ManyStarsOverALongRecordFinish) {
    // Without remembering the lookups that failed, this tries some 10^17 ways to place the stars.
    run_state rs;
    std::string search = "*a*a*a*a*a*b", repl = "X";
    register_pair(rs.patterns, rs.opts, search.data(), repl.data());
    const std::string a(10000, 'a'), ab = a + "b";
    EXPECT_EQ(match_line(rs.patterns.root, reinterpret_cast<const unsigned char*>(a.c_str()), 0),
              nullptr);
    EXPECT_NE(match_line(rs.patterns.root, reinterpret_cast<const unsigned char*>(ab.c_str()), 0),
              nullptr);
}

TEST(LineMatcher, FastRouteAgreesWithFullLookups) {
    // Records cut anywhere by tiny buffers, CR-LF and Ctrl-Z ends, NUL bytes, empty records and
    // literals holding a terminator: the fast route must write what full lookups do.
    const std::vector<std::vector<std::pair<std::string, std::string>>> sets = {
        {{"*abc*", "X"}},
        {{"abc", "X"}, {"a*c", "[&]"}},
        {{"*ab?c", "Y"}, {"", "E"}},
        {{"*b\rc*", "R"}},
        {{"*c\nb*", "N"}},
        {{"*a*b*c*", "S"}, {"*cab", "T"}},
        {{"*abc*", "X"}, {"?", "Q"}},
    };
    const std::string alphabet = "aabbcAC\r\n\n\x1a"s + '\0';
    std::mt19937 rng(5);
    for (int round = 0; round < 300; ++round) {
        std::string input;
        for (std::size_t n = rng() % 200; n > 0; --n)
            input += alphabet[rng() % alphabet.size()];
        for (const auto& pairs : sets) {
            const unsigned mode = rng();
            std::string outs[2];
            int results[2];
            std::uint64_t found[2];
            for (int fast = 0; fast < 2; ++fast) {
                run_state rs;
                // Each SIMD tier's search for the required literal in turn.
                rs.tier = narrower(best_simd_tier(), static_cast<simd_tier>(round % 3));
                rs.opts.case_sensitive = (mode & 1) != 0;
                if ((mode & 2) != 0) rs.opts.in_term = 0;
                if ((mode & 4) != 0) rs.opts.out_term = 0;
                for (auto [search, repl] : pairs)
                    register_pair(rs.patterns, rs.opts, search.data(), repl.data());
                static constexpr std::size_t capacities[] = {1, 2, 3, 7, 64, 4096};
                mem_file in_file(input), out_file;
                byte_reader in(in_file.fd(), capacities[(mode >> 3) % 6]);
                byte_writer out(out_file.fd());
                results[fast] = line_replace(rs, in, out, fast != 0);
                outs[fast] = out_file.content();
                found[fast] = rs.count.found_count;
            }
            ASSERT_EQ(outs[1], outs[0]) << pairs[0].first << " mode " << (mode & 63);
            ASSERT_EQ(results[1], results[0]);
            ASSERT_EQ(found[1], found[0]);
        }
    }
}

TEST(LineMatcher, StarRunsAgreeWithStepByStepLookups) {
    // A lookup that remembers from its first step takes a star's bytes one at a time; the
    // ordinary one lets a star run over the bytes its list offers nothing else for.
    const std::vector<std::vector<std::string>> sets = {
        {"*abc*"},         {"*a?c*"},       {"*ab*c"},          {"*[ab]x*"},
        {"*a*b*c", "x*y"}, {"*AB*", "*by"}, {"*aXbYc*", "*q?"}, {"*abcdefg", "*ABC*"},
    };
    const std::string alphabet = "abcxyABXYq";
    std::mt19937 rng(9);
    for (const auto& patterns : sets) {
        for (const bool fold : {false, true}) {
            run_state rs;
            rs.opts.case_sensitive = !fold;
            for (std::string search : patterns) {
                std::string repl = search;
                register_pair(rs.patterns, rs.opts, search.data(), repl.data());
            }
            line_search runs, steps(0, 1);
            for (int round = 0; round < 500; ++round) {
                std::string record;
                for (std::size_t n = rng() % 40; n > 0; --n)
                    record += alphabet[rng() % alphabet.size()];
                const auto* text = reinterpret_cast<const unsigned char*>(record.data());
                ASSERT_EQ(runs.find(rs.patterns.root, text, record.size(), fold),
                          steps.find(rs.patterns.root, text, record.size(), fold))
                    << patterns[0] << " " << record << " fold " << fold;
            }
        }
    }
}

}  // namespace
}  // namespace kestrom
