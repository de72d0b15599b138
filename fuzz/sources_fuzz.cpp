// Reads the input as a pattern file and as an argument file, through a reader whose buffer is as
// small as the first byte says (1 to 16 bytes), so that every look-ahead crosses refills.
//
// The pattern file registers its pairs literally (the compiler has its own fuzzer); the argument
// file is only split into tokens, which must each fit the token buffer, and the reading must end.

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "cli/arg_file.hpp"
#include "cli/pattern_source.hpp"
#include "run_state.hpp"
#include "util/byte_stream.hpp"

namespace {

using namespace kestrom;

constexpr std::size_t MAX_INPUT = 16384;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1 || size > MAX_INPUT) return 0;
    const std::size_t capacity = 1 + (data[0] & 15);
    int fd = memfd_create("sources-fuzz", 0);
    if (fd < 0 || ::write(fd, data + 1, size - 1) != static_cast<ssize_t>(size - 1)) abort();

    {
        run_state rs;
        rs.opts.search_meta = false;
        ::lseek(fd, 0, SEEK_SET);
        byte_reader in(fd, capacity);
        (void)read_pattern_file(rs, in);
    }
    {
        run_state rs;
        ::lseek(fd, 0, SEEK_SET);
        byte_reader in(fd, capacity);
        std::size_t tokens = 0;
        while (const char* token = read_arg_token(in, rs.token_buf)) {
            if (std::strlen(token) > TOKEN_MAX) abort();
            // Every token takes at least one byte of the input.
            if (++tokens > size) abort();
        }
    }
    ::close(fd);
    return 0;
}
