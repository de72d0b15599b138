// The SIMD tiers of the byte searches, chosen once from what the processor can run; tests force
// the narrower ones.
#pragma once

namespace kestrom {

/// The widths of the compares a search may use. Each tier can also run the narrower ones; a
/// build without SSE2 (another processor) has the scalar code only.
enum class simd_tier : unsigned char { SCALAR, SSE2, AVX2 };

/// The widest tier this build and processor can run; the processor is asked once.
simd_tier best_simd_tier();

/// A tier no wider than both a and b.
constexpr simd_tier narrower(simd_tier a, simd_tier b) {
    return a < b ? a : b;
}

}  // namespace kestrom
