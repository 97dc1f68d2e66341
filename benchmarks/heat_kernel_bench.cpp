// Time per cell and step of the heat-diffusion kernels on a 64^3 grid, for
// the reference and the optimised kernel, with the material the same in
// every cell (the solver's scalar defaults) and varying per cell.
//
// Build and run (from the repository root):
//   cmake -S benchmarks -B build/bench -G Ninja && cmake --build build/bench
//   build/bench/heat_kernel_bench
// per_cell_step is CPU time per cell and step; a summary with the speed-ups
// follows the table. Add --benchmark_repetitions=5 for steadier numbers.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include <unistd.h>

#include "tavro/heat_kernel.hpp"

namespace {

constexpr std::int32_t kExtent = 64;
constexpr std::int32_t kStepsPerRun = 100;  // the solver's default `iterations`

using Kernel = tavro::TcadSummary (*)(tavro::TcadGrid&, std::int32_t, double*, std::int32_t,
                                      double);

struct BenchGrid {
    std::vector<double> T, k, cp, Q;
    std::vector<std::int32_t> bc;
    tavro::TcadGrid grid;

    explicit BenchGrid(bool per_cell_material) {
        const std::size_t n = static_cast<std::size_t>(kExtent) * kExtent * kExtent;
        T.assign(n, 300.0);
        k.assign(n, 148.0);
        cp.assign(n, 710.0);
        Q.assign(n, 0.0);
        bc.assign(n, 0);
        for (std::size_t c = 0; c < n; ++c) {
            const std::size_t i = c / (kExtent * kExtent), j = c / kExtent % kExtent,
                              kk = c % kExtent;
            if (i >= 24 && i < 40 && j >= 24 && j < 40 && kk >= 24 && kk < 40) {
                T[c] = 400.0;  // a hot block that keeps the field moving
                Q[c] = 50.0;
            }
            if (per_cell_material) {
                k[c] = 140.0 + static_cast<double>(c % 17);
                cp[c] = 700.0 + static_cast<double>(c % 13);
            }
        }
        grid.T = T.data();
        grid.k = k.data();
        grid.cp = cp.data();
        grid.Q = Q.data();
        grid.bc = bc.data();
        grid.nx = grid.ny = grid.nz = kExtent;
        grid.dx = grid.dy = grid.dz = 0.001;
        grid.dt = 1e-6;
    }
};

void run_kernel(benchmark::State& state, Kernel kernel, bool per_cell_material) {
    BenchGrid bench(per_cell_material);
    std::vector<double> history(3 * kStepsPerRun);
    for (auto _ : state) {
        const tavro::TcadSummary s = kernel(bench.grid, kStepsPerRun, history.data(), 1, 0.0);
        benchmark::DoNotOptimize(s);
        benchmark::ClobberMemory();
    }
    const double cell_steps = static_cast<double>(bench.T.size()) * kStepsPerRun;
    // An inverted rate of cell-steps: seconds per cell-step, shown as "...ns".
    state.counters["per_cell_step"] = benchmark::Counter(
        cell_steps, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

BENCHMARK_CAPTURE(run_kernel, reference/uniform_material, &tavro::tcad_kernel_reference, false)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(run_kernel, optimised/uniform_material, &tavro::tcad_kernel, false)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(run_kernel, reference/per_cell_material, &tavro::tcad_kernel_reference, true)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(run_kernel, optimised/per_cell_material, &tavro::tcad_kernel, true)
    ->Unit(benchmark::kMillisecond);

// Console output plus, at the end, reference time over optimised time for
// each material case.
class SpeedupReporter : public benchmark::ConsoleReporter {
public:
    SpeedupReporter() : ConsoleReporter(isatty(fileno(stdout)) ? OO_Defaults : OO_Tabular) {}

    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            // With repetitions the median stands for the benchmark.
            if (run.run_type == Run::RT_Aggregate && run.aggregate_name != "median") continue;
            const auto counter = run.counters.find("per_cell_step");
            if (counter != run.counters.end()) {
                ns_per_cell_step_[run.run_name.str()] = counter->second * 1e9;
            }
        }
    }

    void print_speedups() const {
        for (const char* material : {"uniform_material", "per_cell_material"}) {
            const auto ref = ns_per_cell_step_.find(std::string("run_kernel/reference/") + material);
            const auto opt = ns_per_cell_step_.find(std::string("run_kernel/optimised/") + material);
            if (ref == ns_per_cell_step_.end() || opt == ns_per_cell_step_.end()) continue;
            std::printf("%-18s reference %.3f ns, optimised %.3f ns per cell-step: %.1fx\n", material,
                        ref->second, opt->second, ref->second / opt->second);
        }
    }

private:
    std::map<std::string, double> ns_per_cell_step_;
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    SpeedupReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.print_speedups();
    benchmark::Shutdown();
    return 0;
}
