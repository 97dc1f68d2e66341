// libFuzzer target: tavro::relax_fields against tavro::relax_fields_reference.
// The input bytes decode into a small grid (extents -1..8), bc values (1.0
// fixes a cell; near misses, NaN and others do not), psi/tau/phi fields (per
// cell or uniform, with NaN, infinities, signed zeros, subnormals and huge
// values), P_k and step controls. Both kernels run on copies of the same
// case; any difference in psi, tau, the summary or the history aborts.
//   Build and run: tools/fuzz.sh   (or see fuzz/CMakeLists.txt)
#include <cstdint>
#include <cstdio>
#include <cmath>
#include <cstdlib>
#include <vector>

#include "fuzz_input.hpp"
#include "tavro/field_kernel.hpp"

namespace {

using tavro::fuzz::Input;
using tavro::fuzz::same;

[[noreturn]] void mismatch(const char* what, std::size_t index, double a, double b) {
    tavro::fuzz::mismatch("field kernel", what, index, a, b);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Input in(data, size);
    const tavro::fuzz::Extents extents = tavro::fuzz::read_extents(in);
    const std::int32_t nx = extents.nx, ny = extents.ny, nz = extents.nz;
    const std::size_t n = extents.cells;

    std::vector<double> bc(n, 0.0);
    const int codes_kind = in.below(3);
    for (double& c : bc) {
        if (codes_kind == 1) c = in.below(4) == 0 ? 1.0 : 0.0;
        if (codes_kind == 2) c = in.below(3) == 0 ? in.value(1.0, 1.0e-15) : 1.0;
    }

    const double P_k = in.value(1.0e26, 1.0e26);
    const std::vector<double> psi0 = tavro::fuzz::read_field(in, n, P_k, P_k);
    const std::vector<double> tau0 = tavro::fuzz::read_field(in, n, 0.0, 1.0);
    const std::vector<double> phi = tavro::fuzz::read_field(in, n, 0.0, 1.0);

    const std::int32_t iterations = in.below(8) - 1;
    const bool with_history = in.below(4) != 0;
    const std::int32_t stride = in.below(5) - 1;
    double tol = 0.0;
    switch (in.below(4)) {
        case 0: break;
        case 1: tol = in.special(); break;
        default: tol = in.value(1.0e-3, 1.0e-3); break;
    }

    // phi of 0.0 everywhere and flags that fix no cell may go to the kernels
    // as absent.
    const int absent = in.below(4);
    auto all_zero = [](const std::vector<double>& values) {
        for (double v : values) {
            if (v != 0.0 || std::signbit(v)) return false;
        }
        return true;
    };
    const bool phi_absent = (absent & 1) && all_zero(phi);
    const bool bc_absent = (absent & 2) && all_zero(bc);

    const std::size_t records = static_cast<std::size_t>(iterations > 0 ? iterations : 0) + 2;
    std::vector<double> hist_ref(3 * records, 12345.0);
    std::vector<double> psi_ref = psi0, tau_ref = tau0;

    auto grid_for = [&](std::vector<double>& psi, std::vector<double>& tau) {
        tavro::FieldGrid g;
        g.psi = psi.data();
        g.tau = tau.data();
        g.phi = phi_absent ? nullptr : phi.data();
        g.bc = bc_absent ? nullptr : bc.data();
        g.nx = nx;
        g.ny = ny;
        g.nz = nz;
        g.P_k = P_k;
        return g;
    };
    tavro::FieldGrid g_ref = grid_for(psi_ref, tau_ref);
    const tavro::RunSummary s_ref = tavro::relax_fields_reference(
        g_ref, iterations, with_history ? hist_ref.data() : nullptr, stride, tol);

    for (const tavro::Isa isa : tavro::fuzz::available_isas()) {
        const tavro::IsaCapScope cap(isa);
        std::vector<double> hist_opt(3 * records, 12345.0);
        std::vector<double> psi_opt = psi0, tau_opt = tau0;
        tavro::FieldGrid g_opt = grid_for(psi_opt, tau_opt);
        const tavro::RunSummary s_opt = tavro::relax_fields(
            g_opt, iterations, with_history ? hist_opt.data() : nullptr, stride, tol);

        for (std::size_t c = 0; c < n; ++c) {
            if (!same(psi_opt[c], psi_ref[c])) mismatch("psi", c, psi_opt[c], psi_ref[c]);
            if (!same(tau_opt[c], tau_ref[c])) mismatch("tau", c, tau_opt[c], tau_ref[c]);
        }
        if (s_opt.iterations_completed != s_ref.iterations_completed)
            mismatch("iterations_completed", 0, s_opt.iterations_completed, s_ref.iterations_completed);
        if (s_opt.early_exit_step != s_ref.early_exit_step)
            mismatch("early_exit_step", 0, s_opt.early_exit_step, s_ref.early_exit_step);
        if (!same(s_opt.max_delta_final, s_ref.max_delta_final))
            mismatch("max_delta_final", 0, s_opt.max_delta_final, s_ref.max_delta_final);
        if (!same(s_opt.energy_final, s_ref.energy_final))
            mismatch("energy_final", 0, s_opt.energy_final, s_ref.energy_final);
        for (std::size_t i = 0; i < hist_opt.size(); ++i)
            if (!same(hist_opt[i], hist_ref[i])) mismatch("history", i, hist_opt[i], hist_ref[i]);
    }
    return 0;
}
