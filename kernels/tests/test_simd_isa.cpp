// Choosing the instruction set: names, the cap, and nested test scopes.
#include <gtest/gtest.h>

#include "tavro/simd_isa.hpp"

namespace tavro::testing {
namespace {

TEST(SimdIsa, NamesRoundTripAndUnknownNamesAreRefused) {
    for (int i = 0; i < kIsaCount; ++i) {
        Isa parsed = Isa::scalar;
        ASSERT_TRUE(isa_from_name(isa_name(static_cast<Isa>(i)), &parsed));
        EXPECT_EQ(parsed, static_cast<Isa>(i));
    }
    Isa untouched = Isa::avx2;
    for (const char* bad : {"", "AVX2", "avx-512", "sse2", "avx2 "}) {
        EXPECT_FALSE(isa_from_name(bad, &untouched)) << bad;
    }
    EXPECT_FALSE(isa_from_name(nullptr, &untouched));
    EXPECT_EQ(untouched, Isa::avx2);
}

TEST(SimdIsa, CapsPickTheWidestAvailableSetNoWiderThanTheCap) {
    EXPECT_TRUE(isa_available(Isa::scalar));
    for (int cap = 0; cap < kIsaCount; ++cap) {
        const Isa chosen = widest_available(static_cast<Isa>(cap));
        EXPECT_TRUE(isa_available(chosen));
        EXPECT_LE(static_cast<int>(chosen), cap);
        for (int wider = static_cast<int>(chosen) + 1; wider <= cap; ++wider) {
            EXPECT_FALSE(isa_available(static_cast<Isa>(wider)));
        }
    }
}

TEST(SimdIsa, ScopesNestAndRestore) {
    const Isa outside = active_isa();
    {
        const IsaCapScope narrow(Isa::scalar);
        EXPECT_EQ(active_isa(), Isa::scalar);
        {
            const IsaCapScope wide(Isa::avx512);
            EXPECT_EQ(active_isa(), outside);
        }
        EXPECT_EQ(active_isa(), Isa::scalar);
    }
    EXPECT_EQ(active_isa(), outside);
}

}  // namespace
}  // namespace tavro::testing
