// libFuzzer target: tavro::tcad_kernel against tavro::tcad_kernel_reference.
// The input bytes decode into a small grid (extents -1..8), cell codes,
// T/k/cp/Q fields (per cell or uniform, with NaN, infinities, signed zeros,
// subnormals and huge values), spacings, dt and step controls. Both kernels
// run on copies of the same case, the optimised one on every instruction
// set this machine has; any difference in the final field, the
// summary or the history aborts. Uniform inputs may be handed over as one
// value.
//   Build and run: tools/fuzz.sh   (or see fuzz/CMakeLists.txt)
#include <cstdint>
#include <cstdio>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "fuzz_input.hpp"
#include "tavro/heat_kernel.hpp"

namespace {

using tavro::fuzz::Input;
using tavro::fuzz::same;

[[noreturn]] void mismatch(const char* what, std::size_t index, double a, double b) {
    tavro::fuzz::mismatch("heat kernel", what, index, a, b);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Input in(data, size);
    const tavro::fuzz::Extents extents = tavro::fuzz::read_extents(in);
    const std::int32_t nx = extents.nx, ny = extents.ny, nz = extents.nz;
    const std::size_t n = extents.cells;

    std::vector<std::int32_t> bc(n, 0);
    const int codes_kind = in.below(3);
    for (std::int32_t& c : bc) c = codes_kind == 0 ? 0 : codes_kind == 1 ? in.below(5) - 1 : in.below(8) == 0;

    const std::vector<double> T0 = tavro::fuzz::read_field(in, n, 300.0, 50.0);
    const std::vector<double> k = tavro::fuzz::read_field(in, n, 150.0, 100.0);
    const std::vector<double> cp = tavro::fuzz::read_field(in, n, 700.0, 300.0);
    const std::vector<double> Q = tavro::fuzz::read_field(in, n, 0.0, 1.0e3);

    double dx = in.value(1.0e-3, 1.0e-3);
    double dy = dx, dz = dx;
    if (in.flag()) {
        dy = in.value(1.0e-3, 1.0e-3);
        dz = in.value(1.0e-3, 1.0e-3);
    }
    const double dt = in.value(1.0e-6, 1.0e-6);
    const std::int32_t iterations = in.below(8) - 1;
    const bool with_history = in.below(4) != 0;
    const std::int32_t stride = in.below(5) - 1;
    double tol = 0.0;
    switch (in.below(4)) {
        case 0: break;
        case 1: tol = in.special(); break;
        default: tol = in.value(1.0e-3, 1.0e-3); break;
    }

    // Inputs the same in every cell may go to the kernels as one value (or
    // as absent: a source of 0.0, codes of 0).
    const int as_values = in.below(16);
    auto uniform = [](const auto& values) {
        for (const auto& v : values) {
            if (std::memcmp(&v, &values[0], sizeof v) != 0) return false;
        }
        return !values.empty();
    };
    const bool k_value = (as_values & 1) && uniform(k);
    const bool cp_value = (as_values & 2) && uniform(cp);
    const bool Q_absent = (as_values & 4) && uniform(Q) && std::signbit(Q[0]) == 0 && Q[0] == 0.0;
    const bool bc_absent = (as_values & 8) && uniform(bc) && bc[0] == 0;

    const std::size_t slots = static_cast<std::size_t>(iterations > 0 ? iterations : 0) + 2;
    std::vector<double> hist_ref(3 * slots, 12345.0);
    std::vector<double> T_ref = T0;

    auto grid_for = [&](std::vector<double>& T) {
        tavro::TcadGrid g;
        g.T = T.data();
        g.k = k_value ? nullptr : k.data();
        g.cp = cp_value ? nullptr : cp.data();
        g.Q = Q_absent ? nullptr : Q.data();
        g.bc = bc_absent ? nullptr : bc.data();
        g.k_uniform = k_value ? k[0] : 0.0;
        g.cp_uniform = cp_value ? cp[0] : 0.0;
        g.nx = nx;
        g.ny = ny;
        g.nz = nz;
        g.dx = dx;
        g.dy = dy;
        g.dz = dz;
        g.dt = dt;
        return g;
    };
    tavro::TcadGrid g_ref = grid_for(T_ref);
    const tavro::TcadSummary s_ref = tavro::tcad_kernel_reference(
        g_ref, iterations, with_history ? hist_ref.data() : nullptr, stride, tol);

    for (const tavro::Isa isa : tavro::fuzz::available_isas()) {
        const tavro::IsaCapScope cap(isa);
        std::vector<double> hist_opt(3 * slots, 12345.0);
        std::vector<double> T_opt = T0;
        tavro::TcadGrid g_opt = grid_for(T_opt);
        const tavro::TcadSummary s_opt = tavro::tcad_kernel(
            g_opt, iterations, with_history ? hist_opt.data() : nullptr, stride, tol);

        for (std::size_t c = 0; c < n; ++c)
            if (!same(T_opt[c], T_ref[c])) mismatch("T", c, T_opt[c], T_ref[c]);
        if (s_opt.iterations_completed != s_ref.iterations_completed)
            mismatch("iterations_completed", 0, s_opt.iterations_completed, s_ref.iterations_completed);
        if (s_opt.early_exit_step != s_ref.early_exit_step)
            mismatch("early_exit_step", 0, s_opt.early_exit_step, s_ref.early_exit_step);
        if (!same(s_opt.max_delta, s_ref.max_delta)) mismatch("max_delta", 0, s_opt.max_delta, s_ref.max_delta);
        for (std::size_t i = 0; i < hist_opt.size(); ++i)
            if (!same(hist_opt[i], hist_ref[i])) mismatch("history", i, hist_opt[i], hist_ref[i]);
    }
    return 0;
}
