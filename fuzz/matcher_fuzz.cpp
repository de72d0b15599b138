// Registers a few pattern pairs taken from the input and streams the rest through the matcher.
//
// Input layout: one flag byte, one byte whose low two bits give the number of pairs (0 to 3), then
// each pair as search NUL replacement NUL, then the text to filter (any bytes). Input that ends
// early registers the pairs it holds and filters nothing.
//
// Flag bits: 1 link mode, 2 case folding, 4 search patterns compiled (off: literal),
// 8 replacements decoded, 16 found texts replaced (off: left as they are), 32 a tiny window
// (4 to 19 bytes, from the upper bits of the pair-count byte) instead of the real one, 64 the
// pass folds case the other way than the pairs were registered, 128 the pairs after the first
// are compiled in the other mode (plain and link mode mixed in one trie).
//
// With the real window, upper six bits s of the pair-count byte of 56 or more stretch the text: its
// first byte is repeated to a run of WINDOW_SIZE - 60 + s bytes, followed by the rest of the text,
// so that candidates meet the window's limit around what completes them. (Rarely: the plain walk
// re-scans up to a window per byte there.) With the real window, an odd s also keeps the automaton
// of a plain trie from making dense rows, as for a huge trie.
//
// The text goes through twice, with the fast paths of the automatic pass and with the plain
// per-byte walk; both must agree byte for byte, in result and in counts. The pairs also go into a
// second trie as a pattern file registers them, its literals held back and inserted sorted: both
// tries must be the same.

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "match/stream.hpp"
#include "pattern/escape.hpp"
#include "pattern/register.hpp"
#include "pattern/trie.hpp"
#include "pattern/trie_dump.hpp"
#include "run_state.hpp"
#include "util/alloc.hpp"
#include "util/byte_stream.hpp"

namespace {

using namespace kestrom;

// Keeps every run small.
constexpr std::size_t MAX_INPUT = 4096;

/// A NUL-terminated copy of text in counted memory.
char* copy_of(const unsigned char* text, std::size_t length) {
    return xstrndup(reinterpret_cast<const char*>(text), length);
}

/// The whole content of fd.
bool same_content(int fd, const unsigned char* expected, std::size_t size) {
    unsigned char buf[4096];
    std::size_t at = 0;
    for (;;) {
        const ssize_t n = ::pread(fd, buf, sizeof buf, static_cast<off_t>(at));
        if (n < 0) return false;
        if (n == 0) return at == size;
        if (at + static_cast<std::size_t>(n) > size) return false;
        if (std::memcmp(buf, expected + at, static_cast<std::size_t>(n)) != 0) return false;
        at += static_cast<std::size_t>(n);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > MAX_INPUT) return -1;  // keeps it out of the corpus
    if (size < 2) return 0;
    run_state rs, batched;
    literal_batch batch(batched.patterns);
    const unsigned flags = data[0];
    for (run_state* s : {&rs, &batched}) {
        s->opts.link_re = (flags & 1) != 0;
        s->opts.case_sensitive = (flags & 2) == 0;
        s->opts.search_meta = (flags & 4) != 0;
        s->opts.replace_meta = (flags & 8) != 0;
        s->opts.auto_reply_yes = (flags & 16) != 0;
    }
    const int pairs = data[1] & 3;

    const unsigned char* p = data + 2;
    const unsigned char* const end = data + size;
    for (int k = 0; k < pairs; ++k) {
        const auto* search_end = static_cast<const unsigned char*>(std::memchr(p, 0, end - p));
        if (search_end == nullptr) return 0;
        const auto* repl_end =
            static_cast<const unsigned char*>(std::memchr(search_end + 1, 0, end - search_end - 1));
        if (repl_end == nullptr) return 0;
        const std::size_t search_len = search_end - p;
        const std::size_t repl_len = repl_end - search_end - 1;
        if (k == 1 && (flags & 128) != 0) batched.opts.link_re = rs.opts.link_re = !rs.opts.link_re;
        for (run_state* s : {&rs, &batched}) {
            char* search = copy_of(p, search_len);
            char* repl = copy_of(search_end + 1, repl_len);
            register_pair(s->patterns, s->opts, search, repl, s == &batched ? &batch : nullptr);
            xfree(search, search_len + 1);
            xfree(repl, repl_len + 1);
        }
        p = repl_end + 1;
    }
    batch.flush();
    if (dump_trie(rs.patterns.root) != dump_trie(batched.patterns.root)) std::abort();

    if ((flags & 64) != 0) rs.opts.case_sensitive = !rs.opts.case_sensitive;
    const int window_size = (flags & 32) != 0 ? 4 + ((data[1] >> 2) & 15) : WINDOW_SIZE;
    const int in_fd = memfd_create("matcher-fuzz-in", 0);
    const int out_fd = memfd_create("matcher-fuzz-out", 0);
    const int plain_fd = memfd_create("matcher-fuzz-plain", 0);
    if (in_fd < 0 || out_fd < 0 || plain_fd < 0) std::abort();
    std::vector<unsigned char, counted_allocator<unsigned char>> text(p, end);
    const unsigned stretch = data[1] >> 2;
    if ((flags & 32) == 0 && stretch >= 56 && !text.empty()) {
        std::vector<unsigned char, counted_allocator<unsigned char>> run(
            static_cast<std::size_t>(WINDOW_SIZE) - 60 + stretch, text[0]);
        run.insert(run.end(), text.begin() + 1, text.end());
        text = run;
    }
    if ((flags & 32) == 0 && (stretch & 1) != 0)
        rs.patterns.automaton_dense_budget = rs.patterns.automaton_row_budget = 0;
    p = text.data();
    const std::size_t text_len = text.size();
    if (::write(in_fd, p, text_len) != static_cast<ssize_t>(text_len)) std::abort();

    auto pass = [&](int out, bool skip_runs) {
        ::lseek(in_fd, 0, SEEK_SET);
        byte_reader reader(in_fd);
        byte_writer writer(out);
        int r = stream_replace(rs, reader, writer, rs.window_buf, window_size, skip_runs);
        if (!writer.flush()) std::abort();
        return r;
    };
    const int result = pass(out_fd, true);
    const counters fast = rs.count;
    rs.count = counters{};
    const int plain_result = pass(plain_fd, false);

    // Writes to memory cannot fail, and a pass that replaced nothing copies its input unchanged.
    if (result != RESULT_CHANGED && result != RESULT_UNCHANGED) std::abort();
    if (result == RESULT_UNCHANGED && !same_content(out_fd, p, text_len)) std::abort();
    if (fast.replaced_count > fast.found_count) std::abort();
    // The fast path changes nothing that can be seen.
    if (plain_result != result || rs.count.found_count != fast.found_count ||
        rs.count.replaced_count != fast.replaced_count) {
        std::abort();
    }
    const off_t out_size = ::lseek(out_fd, 0, SEEK_END);
    const off_t plain_size = ::lseek(plain_fd, 0, SEEK_END);
    if (out_size != plain_size) std::abort();
    for (off_t at = 0; at < out_size; at += 4096) {
        unsigned char a[4096], b[4096];
        const ssize_t na = ::pread(out_fd, a, sizeof a, at);
        const ssize_t nb = ::pread(plain_fd, b, sizeof b, at);
        if (na != nb || na <= 0 || std::memcmp(a, b, static_cast<std::size_t>(na)) != 0)
            std::abort();
    }
    ::close(in_fd);
    ::close(out_fd);
    ::close(plain_fd);
    return 0;
}
