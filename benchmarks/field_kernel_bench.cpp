// Time per cell and sweep of the coupled field kernels on a 64^3 grid, for
// the reference and the optimised kernel, in two regimes: tau above its
// floor everywhere (every free cell calls the logarithm) and tau held at the
// floor (no cell does). The scale is k = 200 (P_k about 2e-49), where the
// fields stay finite for the whole run.
//
// Build and run (from the repository root):
//   cmake -S benchmarks -B build/bench -G Ninja && cmake --build build/bench
//   build/bench/field_kernel_bench
// per_cell_sweep is CPU time per cell and sweep; a summary with the
// speed-ups follows the table. Add --benchmark_repetitions=5 for steadier numbers.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include <unistd.h>

#include "tavro/field_kernel.hpp"
#include "tavro/simd_isa.hpp"
#include "../kernels/src/vector_log/vector_log.hpp"

namespace {

constexpr std::int32_t kExtent = 64;
constexpr std::int32_t kSweepsPerRun = 100;
constexpr std::int32_t kHistoryStride = 10;  // the solver's default

using Kernel = tavro::RunSummary (*)(tavro::FieldGrid&, std::int32_t, double*, std::int32_t,
                                     double);

struct BenchGrid {
    std::vector<double> psi_start, tau_start;
    std::vector<double> psi, tau, phi, bc;
    tavro::FieldGrid grid;

    explicit BenchGrid(bool tau_on_floor) {
        const std::size_t n = static_cast<std::size_t>(kExtent) * kExtent * kExtent;
        const double P_k = std::pow(4.0, 66.0 - 200.0) * 1e32;
        psi_start.resize(n);
        tau_start.resize(n);
        phi.resize(n);
        bc.assign(n, 0.0);
        for (std::size_t c = 0; c < n; ++c) {
            const double x = static_cast<double>(c % 97) / 97.0;
            const double y = static_cast<double>(c % 89) / 89.0;
            psi_start[c] = P_k * (0.5 + x);
            tau_start[c] = tau_on_floor ? 1e-9 : 0.1 + y;
            phi[c] = tau_on_floor ? 0.0 : 1e11 * (x - 0.5);
        }
        psi = psi_start;
        tau = tau_start;
        grid = {psi.data(), tau.data(), phi.data(), bc.data(), kExtent, kExtent, kExtent, P_k};
    }
    BenchGrid(const BenchGrid&) = delete;
    BenchGrid& operator=(const BenchGrid&) = delete;

    // Back to the starting fields, in the same buffers.
    void restore() {
        psi.assign(psi_start.begin(), psi_start.end());
        tau.assign(tau_start.begin(), tau_start.end());
    }
};

void run_kernel(benchmark::State& state, Kernel kernel, bool tau_on_floor, tavro::Isa isa) {
    const tavro::IsaCapScope cap(isa);
    BenchGrid bench(tau_on_floor);
    std::vector<double> history(3 * (kSweepsPerRun / kHistoryStride));
    for (auto _ : state) {
        // Every run starts from the same fields, outside the timing.
        state.PauseTiming();
        bench.restore();
        state.ResumeTiming();
        const tavro::RunSummary s =
            kernel(bench.grid, kSweepsPerRun, history.data(), kHistoryStride, 0.0);
        benchmark::DoNotOptimize(s);
        benchmark::ClobberMemory();
    }
    const double cell_sweeps = static_cast<double>(bench.psi.size()) * kSweepsPerRun;
    // An inverted rate of cell-sweeps: seconds per cell-sweep, shown as "...ns".
    state.counters["per_cell_sweep"] = benchmark::Counter(
        cell_sweeps, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

// The reference, and the optimised kernel on every instruction set this
// machine has, in both regimes.
void register_kernels() {
    for (const char* regime : {"tau_above_floor", "tau_on_floor"}) {
        const bool on_floor = std::string(regime) == "tau_on_floor";
        benchmark::RegisterBenchmark((std::string("run_kernel/reference/") + regime).c_str(),
                                     run_kernel, &tavro::relax_fields_reference, on_floor,
                                     tavro::Isa::scalar)
            ->Unit(benchmark::kMillisecond);
        for (int i = tavro::kIsaCount - 1; i >= 0; --i) {
            const auto isa = static_cast<tavro::Isa>(i);
            if (!tavro::isa_available(isa)) continue;
            const std::string name =
                std::string("run_kernel/optimised_") + tavro::isa_name(isa) + "/" + regime;
            benchmark::RegisterBenchmark(name.c_str(), run_kernel, &tavro::relax_fields, on_floor,
                                         isa)
                ->Unit(benchmark::kMillisecond);
        }
    }
}

// How many of the grid's logarithms (one per cell above the floor) the
// vector log leaves to the scalar log.
void print_fallback_rates() {
    BenchGrid bench(false);
    std::vector<double> x(bench.tau_start.size()), y(x.size());
    for (std::size_t c = 0; c < x.size(); ++c) x[c] = bench.tau_start[c] + 1.0;
    if (tavro::log_tile_avx2_available()) {
        std::printf("vector log fallback rate on this grid's 1 + tau: avx2 %.2f%%",
                    100.0 * static_cast<double>(tavro::log_tile_avx2(x.data(), y.data(), x.size())) /
                        static_cast<double>(x.size()));
        if (tavro::log_tile_avx512_available()) {
            std::printf(", avx512 %.2f%%",
                        100.0 *
                            static_cast<double>(tavro::log_tile_avx512(x.data(), y.data(), x.size())) /
                            static_cast<double>(x.size()));
        }
        std::printf("\n");
    }
}

// Console output plus, at the end, reference time over optimised time for
// each regime.
class SpeedupReporter : public benchmark::ConsoleReporter {
public:
    SpeedupReporter() : ConsoleReporter(isatty(fileno(stdout)) ? OO_Defaults : OO_Tabular) {}

    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            // With repetitions the median stands for the benchmark.
            if (run.run_type == Run::RT_Aggregate && run.aggregate_name != "median") continue;
            const auto counter = run.counters.find("per_cell_sweep");
            if (counter != run.counters.end()) {
                ns_per_cell_sweep_[run.run_name.str()] = counter->second * 1e9;
            }
        }
    }

    void print_speedups() const {
        for (const char* regime : {"tau_above_floor", "tau_on_floor"}) {
            const auto ref = ns_per_cell_sweep_.find(std::string("run_kernel/reference/") + regime);
            if (ref == ns_per_cell_sweep_.end()) continue;
            for (int i = tavro::kIsaCount - 1; i >= 0; --i) {
                const char* isa = tavro::isa_name(static_cast<tavro::Isa>(i));
                const auto opt = ns_per_cell_sweep_.find(std::string("run_kernel/optimised_") +
                                                         isa + "/" + regime);
                if (opt == ns_per_cell_sweep_.end()) continue;
                std::printf("%-16s reference %.3f ns, optimised (%s) %.3f ns per cell-sweep: %.2fx\n",
                            regime, ref->second, isa, opt->second, ref->second / opt->second);
            }
        }
    }

private:
    std::map<std::string, double> ns_per_cell_sweep_;
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    register_kernels();
    SpeedupReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.print_speedups();
    print_fallback_rates();
    benchmark::Shutdown();
    return 0;
}
