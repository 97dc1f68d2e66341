// The allocation helpers and their failure hook.
#include <gtest/gtest.h>

#include <cstdint>
#include <thread>

#include "tavro/allocation.hpp"

namespace {

using tavro::AllocSite;

TEST(Allocation, ZeroCountIsAValidBuffer) {
    double* p = tavro::allocate_array<double>(0, AllocSite::grid_T);
    EXPECT_NE(p, nullptr);
    tavro::release_bytes(p);
}

TEST(Allocation, ByteCountOverflowFails) {
    EXPECT_EQ(tavro::allocate_array<double>(SIZE_MAX / 4, AllocSite::grid_T), nullptr);
}

TEST(Allocation, LargeBuffersAreUsable) {
    const std::size_t count = std::size_t{1} << 21;  // 16 MiB: the huge-page path
    auto* p = tavro::allocate_array<double>(count, AllocSite::scratch);
    ASSERT_NE(p, nullptr);
    p[0] = 1.0;
    p[count - 1] = 2.0;
    EXPECT_EQ(p[0] + p[count - 1], 3.0);
    tavro::release_bytes(p);
}

TEST(Allocation, FailingScopeHitsOnlyItsSiteThreadAndLifetime) {
    {
        const tavro::FailingAllocationScope outer(AllocSite::history);
        EXPECT_EQ(tavro::allocate_array<double>(3, AllocSite::history), nullptr);
        double* other = tavro::allocate_array<double>(3, AllocSite::grid_k);
        EXPECT_NE(other, nullptr);
        tavro::release_bytes(other);
        {
            const tavro::FailingAllocationScope inner(AllocSite::scratch);
            EXPECT_TRUE(tavro::allocation_should_fail(AllocSite::scratch));
            EXPECT_FALSE(tavro::allocation_should_fail(AllocSite::history));
        }
        EXPECT_TRUE(tavro::allocation_should_fail(AllocSite::history));
        bool other_thread_fails = true;
        std::thread([&] { other_thread_fails = tavro::allocation_should_fail(AllocSite::history); })
            .join();
        EXPECT_FALSE(other_thread_fails);
    }
    EXPECT_FALSE(tavro::allocation_should_fail(AllocSite::history));
}

TEST(Allocation, SiteNames) {
    EXPECT_EQ(tavro::alloc_site_from_name("grid_bc"), AllocSite::grid_bc);
    EXPECT_EQ(tavro::alloc_site_from_name("scratch"), AllocSite::scratch);
    EXPECT_EQ(tavro::alloc_site_from_name("nonsense"), AllocSite::none);
    EXPECT_EQ(tavro::alloc_site_from_name(""), AllocSite::none);
    EXPECT_EQ(tavro::alloc_site_from_name(nullptr), AllocSite::none);
    EXPECT_FALSE(tavro::allocation_should_fail(AllocSite::none));
}

}  // namespace
