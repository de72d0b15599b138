// Throughput of the stream matcher over in-memory input, in bytes per second.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <random>
#include <string>
#include <vector>

#include "match/stream.hpp"
#include "pattern/trie.hpp"

namespace {

using namespace kestrom;

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

std::string text(std::size_t size, unsigned seed) {
    static const char words[][8] = {"the ",  "quick ", "brown ", "fox ", "jumps ",
                                    "over ", "lazy ",  "dog ",   "and ", "cat\n"};
    std::mt19937 rng(seed);
    std::string s;
    while (s.size() < size)
        s += words[rng() % 10];
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

void BM_NoMatch(benchmark::State& state) {
    run_state rs;
    add(rs, "zebra", "horse");
    run(state, rs, text(16 << 20, 1));
}
BENCHMARK(BM_NoMatch);

void BM_SparseMatches(benchmark::State& state) {
    run_state rs;
    add(rs, "fox", "wolf");
    run(state, rs, text(16 << 20, 2));
}
BENCHMARK(BM_SparseMatches);

void BM_EveryByteFound(benchmark::State& state) {
    run_state rs;
    add(rs, "x", "y");
    run(state, rs, std::string(16 << 20, 'x'));
}
BENCHMARK(BM_EveryByteFound);

void BM_Dictionary1000(benchmark::State& state) {
    run_state rs;
    std::mt19937 rng(3);
    for (int i = 0; i < 1000; ++i) {
        std::string w;
        for (int k = 0; k < 6; ++k)
            w += static_cast<char>('a' + rng() % 26);
        add(rs, w, "<" + w + ">");
    }
    add(rs, "lazy", "idle");
    run(state, rs, text(16 << 20, 4));
}
BENCHMARK(BM_Dictionary1000);

void BM_WildcardPattern(benchmark::State& state) {
    run_state rs;
    add(rs, "q*k", "Q");
    add(rs, "d?g", "D");
    run(state, rs, text(16 << 20, 5));
}
BENCHMARK(BM_WildcardPattern);

}  // namespace
