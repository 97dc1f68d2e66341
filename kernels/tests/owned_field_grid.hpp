// Test-side owner of the buffers behind a FieldGrid, the two field kernels
// by name, and bitwise comparison of doubles.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <ostream>
#include <vector>

#include "kernel_paths.hpp"
#include "tavro/field_kernel.hpp"

namespace tavro::testing {

using FieldKernelFn = RunSummary (*)(FieldGrid&, std::int32_t, double*, std::int32_t, double);

using NamedFieldKernel = KernelPath<FieldKernelFn>;

inline std::vector<NamedFieldKernel> field_kernel_paths() {
    return kernel_paths<FieldKernelFn>(&relax_fields, &relax_fields_reference);
}

struct OwnedFieldGrid {
    std::int32_t nx, ny, nz;
    double P_k;
    std::vector<double> psi, tau, phi, bc;
    // phi and bc handed to the kernel as absent (their arrays must then be
    // all 0.0, and hold no flag of 1.0).
    bool phi_absent = false, bc_absent = false;

    // Negative extents hold no cells, as in the kernel.
    OwnedFieldGrid(std::int32_t nx_, std::int32_t ny_, std::int32_t nz_, double P_k_ = 1e32,
                   double psi_fill = 1e32, double tau_fill = 0.0)
        : nx(nx_), ny(ny_), nz(nz_), P_k(P_k_) {
        const std::size_t cells = extent(nx) * extent(ny) * extent(nz);
        psi.assign(cells, psi_fill);
        tau.assign(cells, tau_fill);
        phi.assign(cells, 0.0);
        bc.assign(cells, 0.0);
    }

    std::size_t cells() const { return psi.size(); }
    std::size_t at(int i0, int i1, int i2) const {
        return (static_cast<std::size_t>(i0) * extent(ny) + static_cast<std::size_t>(i1)) *
                   extent(nz) +
               static_cast<std::size_t>(i2);
    }
    FieldGrid view() {
        return {psi.data(), tau.data(), phi_absent ? nullptr : phi.data(),
                bc_absent ? nullptr : bc.data(), nx, ny, nz, P_k};
    }

    static std::size_t extent(std::int32_t n) { return n > 0 ? static_cast<std::size_t>(n) : 0; }
};

inline std::uint64_t bits(double v) {
    std::uint64_t b;
    std::memcpy(&b, &v, sizeof b);
    return b;
}

// Same bits; with `any_nan_matches`, any two NaNs count as the same too.
inline bool same_value(double a, double b, bool any_nan_matches = false) {
    return bits(a) == bits(b) || (any_nan_matches && a != a && b != b);
}

// Index of the first element that is not the same value, or -1.
inline long first_difference(const std::vector<double>& a, const std::vector<double>& b,
                             bool any_nan_matches = false) {
    if (a.size() != b.size()) return 0;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (!same_value(a[i], b[i], any_nan_matches)) return static_cast<long>(i);
    }
    return -1;
}

}  // namespace tavro::testing
