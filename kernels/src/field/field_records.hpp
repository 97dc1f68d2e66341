// Records shared by the field kernel's sweeps and its driver.
#pragma once

#include <cstdint>

namespace tavro::field {

// The leading products every free cell shares. Each is the leftmost factor
// of its chain, so forming it once leaves the order of operations intact.
struct Coefficients {
    double P_k;
    double linear;     // P_k * 1e-26
    double cubic;      // P_k * c3 * P_k * P_k
    double quadratic;  // P_k * 5e-27, of the energy
};

// One sweep: what it reads, where it writes, what it has summed so far.
struct Sweep {
    const double* psi;
    const double* tau;
    double* psi_next;
    double* tau_next;
    const double* phi;
    const double* bc;
    std::int64_t nx, ny, nz;
    Coefficients k;
    bool interior_fixed;  // some cell off the faces has the flag 1.0
    double max_delta;
    double energy;
};

// Sweeps every cell off the faces once; needs nx, ny, nz >= 3.
using InteriorFn = void (*)(Sweep&);

}  // namespace tavro::field
