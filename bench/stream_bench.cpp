// Throughput of the stream matcher over in-memory input, in bytes per second, and the cost of
// registering many pairs.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <memory>
#include <random>
#include <string>
#include <vector>

#include "match/stream.hpp"
#include "pattern/register.hpp"
#include "pattern/trie.hpp"

namespace {

using namespace kestrom;

constexpr std::size_t INPUT_SIZE = 16 << 20;

/// An in-memory file holding the input, read afresh for every iteration.
class input_file {
  public:
    explicit input_file(const std::string& content) : fd_(memfd_create("bench", 0)) {
        if (::write(fd_, content.data(), content.size()) != static_cast<ssize_t>(content.size()))
            fd_ = -1;
    }
    ~input_file() { ::close(fd_); }
    int fd() const { return fd_; }

  private:
    int fd_;
};

/// A lower-case word of 4 to 9 letters.
std::string word(std::mt19937& rng) {
    std::string w;
    for (std::size_t k = 4 + rng() % 6; k > 0; --k)
        w += static_cast<char>('a' + rng() % 26);
    return w;
}

/// Lines of words drawn from a vocabulary of 20,000 random words.
std::string text(unsigned seed) {
    std::mt19937 rng(seed);
    std::vector<std::string> vocabulary;
    for (int k = 0; k < 20000; ++k)
        vocabulary.push_back(word(rng));
    std::string s;
    while (s.size() < INPUT_SIZE) {
        s += vocabulary[rng() % vocabulary.size()];
        s += rng() % 12 == 0 ? '\n' : ' ';
    }
    return s;
}

/// Random bytes with an 8-byte sequence every 64 KiB or so.
std::string binary() {
    std::mt19937 rng(9);
    std::string s;
    while (s.size() < INPUT_SIZE) {
        s += static_cast<char>(rng() % 8 == 0 ? 0 : rng());
        if (rng() % 65536 == 0)
            s += std::string(
                "\x7f"
                "ELF\x02\x01\x01\x00",
                8);
    }
    return s;
}

void run(benchmark::State& state, run_state& rs, const std::string& input) {
    input_file in_file(input);
    int null_fd = ::open("/dev/null", O_WRONLY);
    for (auto _ : state) {
        ::lseek(in_file.fd(), 0, SEEK_SET);
        byte_reader in(in_file.fd());
        byte_writer out(null_fd);
        benchmark::DoNotOptimize(stream_replace(rs, in, out));
    }
    ::close(null_fd);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(input.size()));
}

void add(run_state& rs, std::string search, std::string repl) {
    register_pair(rs.patterns, rs.opts, search.data(), repl.data());
}

void BM_NoFind(benchmark::State& state) {
    run_state rs;
    add(rs, "zebra!", "horse");
    run(state, rs, text(1));
}
BENCHMARK(BM_NoFind);

void BM_OneLiteral(benchmark::State& state) {
    run_state rs;
    std::mt19937 rng(1);  // the same vocabulary as the text: the word occurs
    add(rs, word(rng), "X");
    run(state, rs, text(1));
}
BENCHMARK(BM_OneLiteral);

/// Literal pairs, each word to its own replacement; a tenth of them from the text's vocabulary.
void BM_Literals(benchmark::State& state) {
    auto rs = std::make_unique<run_state>();
    std::mt19937 vocabulary(1);
    std::mt19937 other(2);
    for (std::int64_t k = 0; k < state.range(0); ++k) {
        std::string w = k % 10 == 0 ? word(vocabulary) : word(other);
        add(*rs, w, "<" + w + ">");
    }
    run(state, *rs, text(1));
}
BENCHMARK(BM_Literals)->Arg(100)->Arg(1000)->Arg(10000)->Arg(100000);

void BM_CaseInsensitive(benchmark::State& state) {
    run_state rs;
    rs.opts.case_sensitive = false;
    std::mt19937 rng(1);
    for (int k = 0; k < 10; ++k)
        add(rs, word(rng), "X");
    run(state, rs, text(1));
}
BENCHMARK(BM_CaseInsensitive);

/// Wildcard patterns over the text, by name.
void BM_Wildcard(benchmark::State& state, const char* search) {
    run_state rs;
    add(rs, search, "X");
    run(state, rs, text(1));
}
BENCHMARK_CAPTURE(BM_Wildcard, two_any_then_word, "??ing");
BENCHMARK_CAPTURE(BM_Wildcard, set_led, "[a-z]e[a-z]ing");
BENCHMARK_CAPTURE(BM_Wildcard, star_between, "q*k");
BENCHMARK_CAPTURE(BM_Wildcard, leading_star_never_found, "*zebra!");
BENCHMARK_CAPTURE(BM_Wildcard, star_after_letter_never_found, "a*zebra!");

void BM_Binary(benchmark::State& state) {
    run_state rs;
    add(rs, "$7fELF$02$01$01#000", "PATCHED!");
    run(state, rs, binary());
}
BENCHMARK(BM_Binary);

/// Registers a million literal pairs into a fresh trie per iteration.
void BM_Register1M(benchmark::State& state) {
    std::mt19937 rng(4);
    std::vector<std::string> words;
    for (int k = 0; k < 1000000; ++k)
        words.push_back(word(rng) + word(rng));
    for (auto _ : state) {
        auto rs = std::make_unique<run_state>();
        rs->opts.search_meta = false;
        for (const std::string& w : words)
            add(*rs, w, w);
        benchmark::DoNotOptimize(rs->patterns.root);
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * 1000000);
}
BENCHMARK(BM_Register1M)->Unit(benchmark::kMillisecond)->Iterations(1);

void BM_CompileSetProduct(benchmark::State& state) {
    for (auto _ : state) {
        auto rs = std::make_unique<run_state>();
        add(*rs, "[!][!][!]x", "X");
        benchmark::DoNotOptimize(rs->patterns.root);
    }
}
BENCHMARK(BM_CompileSetProduct)->Unit(benchmark::kMillisecond)->Iterations(1);

}  // namespace
