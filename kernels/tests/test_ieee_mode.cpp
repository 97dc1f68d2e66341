// The kernels give their IEEE results whatever floating-point mode the
// calling thread carries (flush-to-zero, denormals-are-zero, another
// rounding mode, unmasked traps), and leave the caller's mode as it was.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "owned_field_grid.hpp"
#include "owned_grid.hpp"
#include "tavro/field_kernel.hpp"
#include "tavro/heat_kernel.hpp"
#include "tavro/ieee_mode.hpp"

#if defined(__x86_64__) || defined(_M_X64) || defined(__i386__) || defined(_M_IX86)
#include <immintrin.h>
#define TAVRO_TEST_HOSTILE_MODE 1
#elif defined(__aarch64__) && (defined(__GNUC__) || defined(__clang__))
#define TAVRO_TEST_HOSTILE_MODE 1
#endif

namespace tavro::testing {
namespace {

#ifdef TAVRO_TEST_HOSTILE_MODE
#if defined(__aarch64__)
using ModeRegister = std::uint64_t;
ModeRegister read_mode() {
    ModeRegister value;
    __asm__ __volatile__("mrs %0, fpcr" : "=r"(value));
    return value;
}
void write_mode(ModeRegister value) { __asm__ __volatile__("msr fpcr, %0" : : "r"(value)); }
// Flush-to-zero, rounding toward zero, default NaN.
constexpr ModeRegister kHostile = (ModeRegister{1} << 24) | (ModeRegister{3} << 22) |
                                  (ModeRegister{1} << 25);
#else
using ModeRegister = std::uint32_t;
ModeRegister read_mode() { return _mm_getcsr(); }
void write_mode(ModeRegister value) { _mm_setcsr(value); }
// Flush-to-zero, denormals-are-zero, rounding toward zero, and traps on
// invalid operations and division by zero unmasked.
constexpr ModeRegister kHostile = 0x8000 | 0x0040 | 0x6000 | (0x1F80 & ~0x0280u);
#endif

// Runs `body` with the thread in the hostile mode; returns the mode found
// after it, the thread's own mode restored.
template <class Body>
ModeRegister in_hostile_mode(Body&& body) {
    const ModeRegister own = read_mode();
    write_mode(kHostile);
    body();
    const ModeRegister after = read_mode();
    write_mode(own);
    return after;
}

// Subnormal temperatures and sources, so that flushing would show.
OwnedGrid subnormal_heat_grid() {
    OwnedGrid g(6, 5, 9, 1e-310);
    for (std::size_t c = 0; c < g.cells(); ++c) {
        g.T[c] = 1e-310 * static_cast<double>(c % 7);
        g.Q[c] = -3e-308 * static_cast<double>(c % 3);
    }
    return g;
}

TEST(IeeeMode, HeatKernelIgnoresTheCallersMode) {
    OwnedGrid expected = subnormal_heat_grid();
    TcadGrid view = expected.view();
    const TcadSummary want = tcad_kernel_reference(view, 7, nullptr, 1, 0.0);
    for (auto kernel : {&tcad_kernel, &tcad_kernel_reference}) {
        OwnedGrid g = subnormal_heat_grid();
        TcadGrid run_view = g.view();
        TcadSummary got;
        const ModeRegister after = in_hostile_mode([&] { got = kernel(run_view, 7, nullptr, 1, 0.0); });
        EXPECT_EQ(after, kHostile) << "the caller's mode must be put back";
        EXPECT_EQ(bits(got.max_delta), bits(want.max_delta));
        EXPECT_EQ(first_difference(g.T, expected.T), -1);
    }
}

TEST(IeeeMode, FieldKernelIgnoresTheCallersMode) {
    auto grid = [] {
        OwnedFieldGrid g(5, 6, 7, 1e-300, 1e-300, 3e-309);
        for (std::size_t c = 0; c < g.cells(); ++c) g.tau[c] = 4e-310 * static_cast<double>(c % 5);
        return g;
    };
    OwnedFieldGrid expected = grid();
    FieldGrid view = expected.view();
    const RunSummary want = relax_fields_reference(view, 5, nullptr, 1, 0.0);
    for (auto kernel : {&relax_fields, &relax_fields_reference}) {
        OwnedFieldGrid g = grid();
        FieldGrid run_view = g.view();
        RunSummary got;
        const ModeRegister after = in_hostile_mode([&] { got = kernel(run_view, 5, nullptr, 1, 0.0); });
        EXPECT_EQ(after, kHostile);
        EXPECT_EQ(bits(got.max_delta_final), bits(want.max_delta_final));
        EXPECT_EQ(first_difference(g.psi, expected.psi), -1);
        EXPECT_EQ(first_difference(g.tau, expected.tau), -1);
    }
}

TEST(IeeeMode, ScopesNestAndTouchNothingInTheIeeeMode) {
    const ModeRegister own = read_mode();
    {
        const IeeeModeScope outer;
        const ModeRegister ieee = read_mode();
        {
            const IeeeModeScope inner;
            EXPECT_EQ(read_mode(), ieee);
        }
        EXPECT_EQ(read_mode(), ieee);
    }
    EXPECT_EQ(read_mode(), own);
}
#endif

}  // namespace
}  // namespace tavro::testing
