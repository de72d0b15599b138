// Throughput of line mode over in-memory input, in bytes per second.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <random>
#include <string>

#include "match/line.hpp"
#include "pattern/register.hpp"
#include "pattern/trie.hpp"

namespace {

using namespace kestrom;

void run_lines(benchmark::State& state, run_state& rs, const std::string& input) {
    int in_fd = memfd_create("bench-lines", 0);
    if (::write(in_fd, input.data(), input.size()) != static_cast<ssize_t>(input.size())) {
        state.SkipWithError("cannot write the input");
        return;
    }
    int null_fd = ::open("/dev/null", O_WRONLY);
    rs.opts.text_mode = true;
    for (auto _ : state) {
        ::lseek(in_fd, 0, SEEK_SET);
        byte_reader in(in_fd);
        byte_writer out(null_fd);
        benchmark::DoNotOptimize(line_replace(rs, in, out));
    }
    ::close(null_fd);
    ::close(in_fd);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(input.size()));
}

void add_pair(run_state& rs, std::string search, std::string repl) {
    register_pair(rs.patterns, rs.opts, search.data(), repl.data());
}

/// Lines of two to eight random words.
std::string lines(std::size_t size, unsigned seed) {
    static const char* const words[] = {"the",  "quick", "brown", "fox", "jumps",
                                        "over", "lazy",  "dog",   "and", "cat"};
    std::mt19937 rng(seed);
    std::string s;
    while (s.size() < size) {
        const unsigned n = 2 + rng() % 7;
        for (unsigned i = 0; i < n; ++i) {
            s += words[rng() % 10];
            s += i + 1 < n ? ' ' : '\n';
        }
    }
    return s;
}

void BM_LinesDictionary(benchmark::State& state) {
    run_state rs;
    const std::string text = lines(16 << 20, 7);
    // A thousand of the input's own lines as patterns, and one with a trailing star.
    std::size_t at = 0;
    for (int i = 0; i < 1000; ++i) {
        const std::size_t eol = text.find('\n', at);
        add_pair(rs, text.substr(at, eol - at), "<&>");
        at = eol + 1;
    }
    add_pair(rs, "the quick*", "Q");
    run_lines(state, rs, text);
}
BENCHMARK(BM_LinesDictionary);

void BM_Base64LinesWithALiteral(benchmark::State& state) {
    // Lines of 76 random base64 characters; about one in four thousand holds "abc".
    static const char digits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    run_state rs;
    add_pair(rs, "*abc*", "X");
    std::mt19937 rng(3);
    std::string text;
    while (text.size() < (16u << 20)) {
        for (int i = 0; i < 76; ++i)
            text += digits[rng() % 64];
        text += '\n';
    }
    run_lines(state, rs, text);
}
BENCHMARK(BM_Base64LinesWithALiteral);

void BM_RecordWithoutLineFeed(benchmark::State& state) {
    run_state rs;
    add_pair(rs, "*foo*", "F");
    run_lines(state, rs, std::string(64 << 20, 'x'));
}
BENCHMARK(BM_RecordWithoutLineFeed);

void BM_ManyStarsOverLongRecords(benchmark::State& state) {
    run_state rs;
    add_pair(rs, "*a*a*a*a*a*b", "X");
    std::string text;
    for (int i = 0; i < 10; ++i)
        text += std::string(10000, 'a') + "\n";
    run_lines(state, rs, text);
}
BENCHMARK(BM_ManyStarsOverLongRecords);

void BM_StarsOverAMinifiedRecord(benchmark::State& state) {
    // One 4 MiB line where "foo" and "bar" come again and again and "baz" never does.
    run_state rs;
    add_pair(rs, "*foo*bar*baz*", "X");
    static const char* const words[] = {"foo ", "bar ", "qux ", "lorem ", "{", "};"};
    std::mt19937 rng(11);
    std::string text;
    while (text.size() < (4u << 20))
        text += words[rng() % 6];
    run_lines(state, rs, text + "\n");
}
BENCHMARK(BM_StarsOverAMinifiedRecord);

}  // namespace
