// The parsers a user feeds directly, on any bytes: escape decoding, set parsing and the
// replacement language. The first byte chooses the parser; the rest is its text.
//
//   0 escape decoding: decodes in place; the result is never longer than the text.
//   1 set parsing: "!" followed by the text holds exactly the bytes the text does not.
//   2 replacement language: a found text and a replacement (split at the first NUL); with the
//     language switched off the replacement comes out as it is.

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "match/emitter.hpp"
#include "pattern/char_set.hpp"
#include "pattern/escape.hpp"
#include "run_state.hpp"
#include "util/alloc.hpp"
#include "util/byte_stream.hpp"

namespace {

using namespace kestrom;

constexpr std::size_t MAX_INPUT = 4096;

void check(bool condition) {
    if (!condition) std::abort();
}

void fuzz_escapes(const unsigned char* text, std::size_t size) {
    char* copy = xstrndup(reinterpret_cast<const char*>(text), size);
    const std::size_t visible = std::strlen(copy);
    check(unescape(copy) <= visible);
    xfree(copy, size + 1);
}

void fuzz_sets(const unsigned char* text, std::size_t size) {
    char_set plain;
    parse_set(plain, text, size);
    // A leading '!' complements only the first item; compare with an item that has no comma.
    if (std::memchr(text, ',', size) != nullptr || (size > 0 && (text[0] == '-' || text[0] == '!')))
        return;
    unsigned char negated[MAX_INPUT + 1];
    negated[0] = '!';
    std::memcpy(negated + 1, text, size);
    char_set complement;
    parse_set(complement, negated, size + 1);
    for (int b = 0; b < 256; ++b) {
        const auto byte = static_cast<unsigned char>(b);
        check(set_contains(byte, plain) != set_contains(byte, complement));
    }
}

void fuzz_emitter(const unsigned char* data, std::size_t size) {
    if (size == 0) return;
    const bool meta = data[0] & 1;
    ++data;
    --size;
    const auto* split = static_cast<const unsigned char*>(std::memchr(data, 0, size));
    const std::size_t found_len = split != nullptr ? static_cast<std::size_t>(split - data) : size;
    const std::size_t text_len = split != nullptr ? size - found_len - 1 : 0;
    const char* text = reinterpret_cast<const char*>(data) + found_len + (split != nullptr);
    char* owned = xstrndup(text, text_len);  // the record's text ends with a NUL

    run_state rs;
    rs.opts.replace_meta = meta;
    const int fd = memfd_create("parsers-fuzz", 0);
    check(fd >= 0);
    {
        byte_writer out(fd);
        check(emit_replacement(rs, data, found_len, owned, text_len, out) == 0);
        check(out.flush());
    }
    if (!meta) {
        const off_t written = lseek(fd, 0, SEEK_CUR);
        check(written == static_cast<off_t>(text_len));
        char back[MAX_INPUT];
        check(pread(fd, back, text_len, 0) == static_cast<ssize_t>(text_len));
        check(std::memcmp(back, owned, text_len) == 0);
    }
    close(fd);
    xfree(owned, text_len + 1);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0 || size > MAX_INPUT) return 0;
    switch (data[0] % 3) {
        case 0:
            fuzz_escapes(data + 1, size - 1);
            break;
        case 1:
            fuzz_sets(data + 1, size - 1);
            break;
        default:
            fuzz_emitter(data + 1, size - 1);
            break;
    }
    return 0;
}
