// Registers a few pattern pairs taken from the input and runs the rest through line mode, checking
// the lookup against a plain recursive one that follows the documented order of alternatives.
//
// Input layout: one flag byte, one byte whose low two bits give the number of pairs (0 to 3), then
// each pair as search NUL replacement NUL, then the records (any bytes).
//
// Flag bits: 1 link mode, 2 case folding, 4 search patterns compiled (off: literal),
// 8 replacements decoded, 16 records end in NUL (off: line feed), 32 output records end in NUL,
// 64 the lookup remembers what failed from its first step (off: only for costly records),
// 128 line mode reads through a buffer of a few bytes, so that records cross its end.

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "match/emitter.hpp"
#include "match/line.hpp"
#include "pattern/escape.hpp"
#include "pattern/register.hpp"
#include "pattern/trie.hpp"
#include "run_state.hpp"
#include "util/alloc.hpp"
#include "util/ascii.hpp"
#include "util/byte_stream.hpp"

namespace {

using namespace kestrom;

constexpr std::size_t MAX_INPUT = 2048;
/// The reference tries every division of a record; past this many steps it gives up.
constexpr long MAX_REFERENCE_STEPS = 200000;

struct reference {
    bool fold;
    long steps = 0;

    /// A star ending the list matches an empty rest; the empty pattern only an empty record.
    replacement* at_end(trie_node* list, bool empty_record) {
        if (list == nullptr) return nullptr;
        trie_node* last = list;
        for (trie_node* n = list; n != nullptr; n = n->next) {
            if (n->code == CODE_EMPTY && empty_record) return n->repl;
            last = n;
        }
        return last->code == CODE_ANYSTR ? last->repl : nullptr;
    }

    /// Depth first: the exact byte, then '?', then '*', as find_child offers them.
    replacement* match(trie_node* list, const unsigned char* rest) {
        if (++steps > MAX_REFERENCE_STEPS || list == nullptr) return nullptr;
        if (*rest == 0) return at_end(list, true);
        const unsigned char b = fold ? ascii_toupper(*rest) : *rest;
        for (trie_node* n = find_child(list, b); n != nullptr; n = find_child(n->next, b)) {
            if (n->code == CODE_ANYSTR && n->repl != nullptr) return n->repl;
            replacement* r;
            if (rest[1] == 0) {
                r = n->repl != nullptr ? n->repl : at_end(n->child, false);
            } else {
                r = match(n->child, rest + 1);
            }
            if (r != nullptr) return r;
        }
        return nullptr;
    }
};

std::string content_of(int fd) {
    std::string s;
    char buf[4096];
    ssize_t n;
    off_t at = 0;
    while ((n = ::pread(fd, buf, sizeof buf, at)) > 0) {
        s.append(buf, static_cast<std::size_t>(n));
        at += n;
    }
    return s;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > MAX_INPUT) return -1;  // keeps it out of the corpus
    if (size < 2) return 0;
    run_state rs;
    const unsigned flags = data[0];
    rs.opts.link_re = (flags & 1) != 0;
    rs.opts.case_sensitive = (flags & 2) == 0;
    rs.opts.search_meta = (flags & 4) != 0;
    rs.opts.replace_meta = (flags & 8) != 0;
    rs.opts.in_term = (flags & 16) != 0 ? 0 : '\n';
    rs.opts.out_term = (flags & 32) != 0 ? 0 : '\n';
    const int pairs = data[1] & 3;

    const unsigned char* p = data + 2;
    const unsigned char* const end = data + size;
    for (int k = 0; k < pairs; ++k) {
        const auto* search_end = static_cast<const unsigned char*>(std::memchr(p, 0, end - p));
        if (search_end == nullptr) return 0;
        const auto* repl_end =
            static_cast<const unsigned char*>(std::memchr(search_end + 1, 0, end - search_end - 1));
        if (repl_end == nullptr) return 0;
        char* search = xstrndup(reinterpret_cast<const char*>(p), search_end - p);
        char* repl =
            xstrndup(reinterpret_cast<const char*>(search_end + 1), repl_end - search_end - 1);
        register_pair(rs.patterns, rs.opts, search, repl);
        xfree(search, static_cast<std::size_t>(search_end - p) + 1);
        xfree(repl, static_cast<std::size_t>(repl_end - search_end));
        p = repl_end + 1;
    }

    const int in_fd = memfd_create("line-fuzz-in", 0);
    const int out_fd = memfd_create("line-fuzz-out", 0);
    const int expected_fd = memfd_create("line-fuzz-expected", 0);
    if (in_fd < 0 || out_fd < 0 || expected_fd < 0) std::abort();
    const std::size_t text_len = static_cast<std::size_t>(end - p);
    if (::write(in_fd, p, text_len) != static_cast<ssize_t>(text_len)) std::abort();

    // The expected output, record by record, with the reference lookup.
    bool comparable = true;
    {
        ::lseek(in_fd, 0, SEEK_SET);
        byte_reader in(in_fd);
        byte_writer expected(expected_fd);
        dyn_str* ds = dyn_str_from(nullptr);
        line_search scratch = (flags & 64) != 0 ? line_search(0, 1) : line_search();
        while (read_record(ds, in, rs.opts.in_term) != nullptr) {
            if (ds->capacity <= ds->size || ds->data[ds->size] != 0) std::abort();
            reference ref{!rs.opts.case_sensitive};
            replacement* want = ref.match(rs.patterns.root, ds->data);
            if (ref.steps > MAX_REFERENCE_STEPS) {
                comparable = false;
                break;
            }
            if (match_line(rs.patterns.root, ds->data, ref.fold, scratch) != want) std::abort();
            if (want != nullptr) {
                emit_replacement(rs, ds->data, ds->size, want->text, want->length, expected);
            } else {
                expected.write(ds->data, ds->size);
            }
            expected.put(rs.opts.out_term);
        }
        dyn_str_free(ds);
        if (!expected.flush()) std::abort();
    }

    ::lseek(in_fd, 0, SEEK_SET);
    rs.count = counters{};
    {
        byte_reader in(in_fd, (flags & 128) != 0 ? 1 + size % 7 : STREAM_BUFFER_SIZE);
        byte_writer out(out_fd);
        const int result = line_replace(rs, in, out);
        if (result != (rs.count.found_count > 0 ? RESULT_CHANGED : RESULT_UNCHANGED)) std::abort();
    }
    if (comparable && content_of(out_fd) != content_of(expected_fd)) std::abort();
    ::close(in_fd);
    ::close(out_fd);
    ::close(expected_fd);
    return 0;
}
