#include "util/byte_search.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace kestrom {
namespace {

/// Every tier this machine can run.
std::vector<simd_tier> tiers() {
    std::vector<simd_tier> all;
    for (simd_tier t : {simd_tier::SCALAR, simd_tier::SSE2, simd_tier::AVX2}) {
        if (t <= best_simd_tier()) all.push_back(t);
    }
    return all;
}

TEST(ByteSearch, NodeKeySearchAtEveryCountAndPlace) {
    // Sixteen keys are compared at once, the last sixteen or fewer without a jump on the outcome.
    unsigned char keys[64 + 15];
    for (std::uint32_t count = 0; count <= 64; ++count) {
        for (std::uint32_t place = 0; place <= count; ++place) {
            std::fill(std::begin(keys), std::end(keys), 'k');  // the key past the end too
            for (std::uint32_t e = 0; e < count; ++e)
                keys[e] = static_cast<unsigned char>(e == place ? 'k' : e);
            EXPECT_EQ(find_key(keys, count, 'k'), place) << count << " keys";
        }
    }
}

TEST(ByteSearch, PairFinderFindsTheLeftmostPlaceAtEveryTier) {
    struct row {
        std::string run;  // as the finder takes it: keys (upper case) when folded
        bool fold;
        std::string found;  // how the run stands in the input
        std::string decoy;  // a near miss before it, whose rare pair passes
    };
    const row rows[] = {
        {"q", false, "q", "Q"},
        {"zq", false, "zq", "zQ"},
        {"needle", false, "needle", "needlE"},
        {std::string("\0\xff", 2), false, std::string("\0\xff", 2), std::string("\0\xfe", 2)},
        {"ZQ", true, "zQ", "Z_"},
        {"NEEDLE", true, "nEeDlE", "nEeDlX"},
        {"A1[", true, "a1[", "a1{"},  // '[' and '{' differ by a case bit but are no letters
    };
    for (const row& r : rows) {
        for (simd_tier tier : tiers()) {
            const pair_finder finder(reinterpret_cast<const unsigned char*>(r.run.data()),
                                     r.run.size(), r.fold, tier);
            // Around the places where the vector loops hand over to narrower ones.
            for (std::size_t at : {0, 1, 15, 16, 31, 32, 63, 64, 65, 100, 127, 200}) {
                std::string input(at, '.');
                input.replace(at / 2, std::min(r.decoy.size(), at - at / 2),
                              r.decoy.substr(0, at - at / 2));
                input += r.found + std::string(at % 7, '.');
                const auto* p = reinterpret_cast<const unsigned char*>(input.data());
                EXPECT_EQ(finder.find(p, input.size()), at)
                    << r.run << " at " << at << ", tier " << static_cast<int>(tier);
                EXPECT_EQ(finder.find(p, input.size() - 1 - at % 7), input.size() - 1 - at % 7)
                    << r.run << " cut short at " << at;
            }
        }
    }
}

TEST(ByteSearch, ListAtLeastAgreesAtEveryTier) {
    std::mt19937 rng(5);
    for (int round = 0; round < 200; ++round) {
        const std::size_t n = rng() % 70;
        std::vector<std::uint32_t> v(n);
        const std::uint32_t at_least = round % 2 == 0 ? 1u << 31 : 1000;
        for (std::uint32_t& x : v)
            x = rng() % 3 == 0 ? at_least + rng() % 5 : rng() % at_least;
        std::vector<std::uint32_t> want;
        for (std::size_t k = 0; k < n; ++k) {
            if (v[k] >= at_least) want.push_back(static_cast<std::uint32_t>(k));
        }
        for (simd_tier tier : tiers()) {
            std::vector<std::uint32_t> got(n + 7);
            got.resize(list_at_least(v.data(), n, at_least, got.data(), tier));
            EXPECT_EQ(got, want) << "round " << round << ", tier " << static_cast<int>(tier);
        }
    }
}

}  // namespace
}  // namespace kestrom
