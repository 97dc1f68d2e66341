// Time per cell and step of the heat-diffusion kernels, the reference and
// the optimised one, in three cases:
//   uniform_32, uniform_128  k and cp the same in every cell, no source
//                            (the solver's scalar defaults), 32^3 and 128^3;
//   per_cell_64              k, cp, Q and boundary codes varying per cell, 64^3.
// Each run takes 100 steps (the solver's default) with a history sample
// after every step, and no early exit.
//
// Beside them, a copy of one field per case measures the memory bandwidth
// of that size in the same run. A plain sweep must move 16 bytes per cell
// and step (read T, write the new T), plus 8 each for k, cp and Q and 4 for
// the codes where they vary per cell; that over the copy bandwidth is the
// time one sweep per step would take if only memory bounded it. The
// optimised kernel sweeps several steps per pass over memory, so it can
// beat that bound.
//
// Build and run (from the repository root):
//   cmake -S benchmarks -B build/bench -G Ninja && cmake --build build/bench
//   build/bench/heat_kernel_bench
// per_cell_step is CPU time per cell and step; a summary with the speed-ups
// and the memory bounds follows the table. Add --benchmark_repetitions=5
// for steadier numbers (the summary then uses the medians).
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <string>

#include <unistd.h>

#include "tavro/allocation.hpp"
#include "tavro/heat_kernel.hpp"

namespace {

constexpr std::int32_t kStepsPerRun = 100;  // the solver's default `iterations`

struct Case {
    const char* name;
    std::int32_t extent;
    bool per_cell;
    bool one_cp = false;  // cp given as one value while k varies (the solver's default cp)
};
constexpr Case kCases[] = {
    {"uniform_32", 32, false},
    {"uniform_128", 128, false},
    {"per_cell_64", 64, true},
    {"k_cells_64", 64, true, true},
};

// Bytes a plain sweep moves per cell and step: T in and out, and the
// per-cell inputs it reads when they vary.
double sweep_bytes(const Case& c) {
    return c.per_cell ? 16.0 + (c.one_cp ? 2 : 3) * 8.0 + 4.0 : 16.0;
}

using Kernel = tavro::TcadSummary (*)(tavro::TcadGrid&, std::int32_t, double*, std::int32_t,
                                      double);

struct Release {
    void operator()(void* p) const { tavro::release_bytes(p); }
};
template <class T>
using Buffer = std::unique_ptr<T[], Release>;

// Buffers obtained the way the solver's entry point obtains its own.
template <class T>
Buffer<T> buffer(std::size_t n) {
    T* p = tavro::allocate_array<T>(n, tavro::AllocSite::none);
    if (p == nullptr) std::abort();
    return Buffer<T>(p);
}

struct BenchGrid {
    std::size_t cells;
    Buffer<double> T, k, cp, Q;
    Buffer<std::int32_t> bc;
    tavro::TcadGrid grid;

    explicit BenchGrid(const Case& c)
        : cells(static_cast<std::size_t>(c.extent) * c.extent * c.extent),
          T(buffer<double>(cells)),
          k(buffer<double>(cells)),
          cp(buffer<double>(cells)),
          Q(buffer<double>(cells)),
          bc(buffer<std::int32_t>(cells)) {
        const std::size_t n = static_cast<std::size_t>(c.extent);
        const std::size_t lo = n * 3 / 8, hi = n * 5 / 8;
        for (std::size_t cell = 0; cell < cells; ++cell) {
            const std::size_t i = cell / (n * n), j = cell / n % n, kk = cell % n;
            const bool hot = i >= lo && i < hi && j >= lo && j < hi && kk >= lo && kk < hi;
            T[cell] = hot ? 400.0 : 300.0;  // a hot block that keeps the field moving
            k[cell] = 148.0;
            cp[cell] = 710.0;
            Q[cell] = 0.0;
            bc[cell] = 0;
            if (c.per_cell) {
                k[cell] = 140.0 + static_cast<double>(cell % 17);
                cp[cell] = 700.0 + static_cast<double>(cell % 13);
                Q[cell] = hot ? 50.0 + static_cast<double>(cell % 5) : 0.0;
                if ((i + j + kk) % 29 == 0) bc[cell] = 1 + static_cast<std::int32_t>(cell % 2);
            }
        }
        grid.T = T.get();
        grid.k = k.get();
        grid.cp = c.one_cp ? nullptr : cp.get();
        grid.cp_uniform = 710.0;
        grid.Q = Q.get();
        grid.bc = bc.get();
        grid.nx = grid.ny = grid.nz = c.extent;
        grid.dx = grid.dy = grid.dz = 0.001;
        grid.dt = 1e-6;
    }
};

void run_kernel(benchmark::State& state, Kernel kernel, Case c) {
    BenchGrid bench(c);
    auto history = buffer<double>(3 * kStepsPerRun);
    for (auto _ : state) {
        const tavro::TcadSummary s = kernel(bench.grid, kStepsPerRun, history.get(), 1, 0.0);
        benchmark::DoNotOptimize(s);
        benchmark::ClobberMemory();
    }
    const double cell_steps = static_cast<double>(bench.cells) * kStepsPerRun;
    // An inverted rate of cell-steps: seconds per cell-step, shown as "...ns".
    state.counters["per_cell_step"] = benchmark::Counter(
        cell_steps, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

// Copies one field of the case's size into another, both obtained like the
// kernels' buffers; counts the bytes read and written.
void copy_field(benchmark::State& state, Case c) {
    const std::size_t cells = static_cast<std::size_t>(c.extent) * c.extent * c.extent;
    auto from = buffer<double>(cells), to = buffer<double>(cells);
    for (std::size_t cell = 0; cell < cells; ++cell) from[cell] = to[cell] = 1.0;
    for (auto _ : state) {
        std::memcpy(to.get(), from.get(), cells * sizeof(double));
        benchmark::ClobberMemory();
        from.swap(to);
    }
    state.counters["copy_bandwidth"] = benchmark::Counter(
        2.0 * static_cast<double>(cells * sizeof(double)),
        benchmark::Counter::kIsIterationInvariantRate, benchmark::Counter::OneK::kIs1024);
}

// Console output plus, at the end, one line per case: both kernels' time per
// cell-step, the speed-up, and the memory bound of a plain sweep.
class SummaryReporter : public benchmark::ConsoleReporter {
public:
    SummaryReporter() : ConsoleReporter(isatty(fileno(stdout)) ? OO_Defaults : OO_Tabular) {}

    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            // With repetitions the median stands for the benchmark.
            if (run.run_type == Run::RT_Aggregate && run.aggregate_name != "median") continue;
            for (const char* name : {"per_cell_step", "copy_bandwidth"}) {
                const auto counter = run.counters.find(name);
                if (counter != run.counters.end()) values_[run.run_name.str()] = counter->second;
            }
        }
    }

    void print_summary() const {
        std::printf("\n%-12s %13s %13s %9s %12s %11s %13s\n", "case", "reference ns",
                    "optimised ns", "speed-up", "copy GiB/s", "sweep bytes", "memory-bound ns");
        for (const Case& c : kCases) {
            const double ref = value(std::string("reference/") + c.name) * 1e9;
            const double opt = value(std::string("optimised/") + c.name) * 1e9;
            const double bandwidth = value(std::string("copy/") + c.name);  // bytes per second
            if (ref <= 0 || opt <= 0) continue;
            const double bound = bandwidth > 0 ? sweep_bytes(c) / bandwidth * 1e9 : 0.0;
            std::printf("%-12s %13.3f %13.3f %8.1fx %12.1f %11.0f %13.3f\n", c.name, ref, opt,
                        ref / opt, bandwidth / (1024.0 * 1024.0 * 1024.0), sweep_bytes(c), bound);
        }
        std::printf("(per cell and step; memory-bound = sweep bytes / copy bandwidth of a field "
                    "of that size, for one pass over memory per step)\n");
    }

private:
    double value(const std::string& name) const {
        const auto it = values_.find(name);
        return it == values_.end() ? 0.0 : it->second;
    }

    std::map<std::string, double> values_;
};

}  // namespace

int main(int argc, char** argv) {
    for (const Case& c : kCases) {
        benchmark::RegisterBenchmark((std::string("reference/") + c.name).c_str(), run_kernel,
                                     &tavro::tcad_kernel_reference, c)
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark((std::string("optimised/") + c.name).c_str(), run_kernel,
                                     &tavro::tcad_kernel, c)
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark((std::string("copy/") + c.name).c_str(), copy_field, c)
            ->Unit(benchmark::kMicrosecond);
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    SummaryReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.print_summary();
    benchmark::Shutdown();
    return 0;
}
