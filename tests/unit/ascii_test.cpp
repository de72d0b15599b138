#include "util/ascii.hpp"

#include <gtest/gtest.h>

#include <cstdint>

namespace kestrom {
namespace {

TEST(Ascii, EightBytesUpperCasedAtOnce) {
    // Each byte value at each place, beside neighbours that could carry into it.
    for (int v = 0; v < 256; ++v) {
        for (unsigned place = 0; place < 8; ++place) {
            for (const std::uint64_t around :
                 {std::uint64_t{0}, ~std::uint64_t{0}, std::uint64_t{0x7a7a7a7a7a7a7a7a},
                  std::uint64_t{0x6060606060606060}}) {
                std::uint64_t word = around & ~(std::uint64_t{0xff} << (8 * place));
                word |= static_cast<std::uint64_t>(v) << (8 * place);
                std::uint64_t want = 0;
                for (unsigned k = 0; k < 8; ++k)
                    want |=
                        std::uint64_t{ascii_toupper(static_cast<unsigned char>(word >> (8 * k)))}
                        << (8 * k);
                ASSERT_EQ(ascii_toupper_bytes(word), want) << v << " at " << place;
            }
        }
    }
}

}  // namespace
}  // namespace kestrom
