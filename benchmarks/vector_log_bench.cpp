// Time per value of the natural logarithm over 10^6 inputs: the platform's
// scalar log in a plain loop (what the field kernel does today) against the
// vector tiles for AVX2 and AVX-512, fallbacks to the scalar log included.
// Two kinds of input: 1 + tau with tau uniform in [1e-9, 2) (the field
// kernel's argument) and positive normals with uniform exponent and mantissa.
// Each value goes through a tile of kLogTileCells into an L1-resident buffer,
// as in the intended use.
//
// Build and run (from the repository root):
//   cmake -S benchmarks -B build/bench -G Ninja && cmake --build build/bench
//   build/bench/vector_log_bench --benchmark_repetitions=5
// per_value is CPU time per logarithm and fallback the share of values sent
// to the scalar log; the CPU and a summary of ratios against the scalar loop
// (the fastest of the repetitions) follow the table. On a shared machine add
// --benchmark_enable_random_interleaving=true.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdio>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include <unistd.h>

#include "../kernels/src/vector_log/vector_log.hpp"
#include "../kernels/tests/log_inputs.hpp"

namespace {

using tavro::testing::LogInputs;

constexpr std::size_t kValues = 1000000;

const std::vector<double>& inputs(LogInputs family) {
    static std::map<LogInputs, std::vector<double>> cache;
    std::vector<double>& x = cache[family];
    if (x.empty()) {
        std::mt19937_64 rng(42);
        x.resize(kValues);
        tavro::testing::fill_log_inputs(family, rng, x.data(), x.size());
    }
    return x;
}

// The baseline: libm's log value by value.
std::size_t scalar_loop(const double* x, double* y, std::size_t n) noexcept {
    for (std::size_t i = 0; i < n; ++i) y[i] = std::log(x[i]);
    return n;
}

using LogTileFn = std::size_t (*)(const double*, double*, std::size_t) noexcept;

void run_logs(benchmark::State& state, LogTileFn tile, bool (*available)() noexcept,
              LogInputs family) {
    if (available && !available()) {
        state.SkipWithError("not available on this CPU or platform");
        return;
    }
    const std::vector<double>& x = inputs(family);
    alignas(64) double y[tavro::kLogTileCells];
    std::size_t redone = 0;
    for (auto _ : state) {
        redone = 0;
        for (std::size_t first = 0; first < kValues; first += tavro::kLogTileCells) {
            const std::size_t n = std::min(tavro::kLogTileCells, kValues - first);
            redone += tile(x.data() + first, y, n);
            benchmark::DoNotOptimize(y);
            benchmark::ClobberMemory();
        }
    }
    // An inverted rate of values: seconds per value, shown as "...ns".
    state.counters["per_value"] = benchmark::Counter(
        kValues, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
    state.counters["fallback"] = static_cast<double>(redone) / kValues;
}

constexpr bool (*kAlways)() noexcept = nullptr;

// With repetitions, the fastest one stands for the benchmark: on a shared
// machine other work only ever adds time.
double fastest(const std::vector<double>& v) { return *std::min_element(v.begin(), v.end()); }

// run_logs/<path>/<inputs>: each path on each input family.
void register_logs() {
    struct Path {
        const char* name;
        LogTileFn tile;
        bool (*available)() noexcept;
    };
    const Path paths[] = {{"scalar", &scalar_loop, kAlways},
                          {"avx2", &tavro::log_tile_avx2, &tavro::log_tile_avx2_available},
                          {"avx512", &tavro::log_tile_avx512, &tavro::log_tile_avx512_available}};
    const std::pair<const char*, LogInputs> families[] = {
        {"one_plus_tau", LogInputs::one_plus_tau}, {"uniform_exponent", LogInputs::positive_normals}};
    for (const auto& [family_name, family] : families) {
        for (const Path& path : paths) {
            const std::string name = std::string("run_logs/") + path.name + "/" + family_name;
            benchmark::RegisterBenchmark(name.c_str(), run_logs, path.tile, path.available, family)
                ->Unit(benchmark::kMillisecond)
                ->ComputeStatistics("min", fastest);
        }
    }
}

// The CPU's model name and which of the flags that matter here it has.
std::string cpu_description() {
    std::ifstream cpuinfo("/proc/cpuinfo");
    std::string line, model = "unknown CPU", flags;
    while (std::getline(cpuinfo, line)) {
        const auto colon = line.find(':');
        if (colon == std::string::npos) continue;
        const std::string key = line.substr(0, line.find_last_not_of(" \t", colon - 1) + 1);
        if (key == "model name" && model == "unknown CPU") model = line.substr(colon + 2);
        if (key == "flags" && flags.empty()) flags = " " + line.substr(colon + 1) + " ";
    }
    std::ostringstream out;
    out << model << " (";
    const char* sep = "";
    for (const char* flag : {"avx2", "fma", "avx512f"}) {
        const bool has = flags.find(std::string(" ") + flag + " ") != std::string::npos;
        out << sep << flag << (has ? "" : ": no");
        sep = ", ";
    }
    out << ")";
    return out.str();
}

// Console output plus, at the end, each vector path's time per value over
// the scalar loop's, for each kind of input.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    RatioReporter() : ConsoleReporter(isatty(fileno(stdout)) ? OO_Defaults : OO_Tabular) {}

    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            // With repetitions the fastest stands for the benchmark.
            if (run.run_type == Run::RT_Aggregate && run.aggregate_name != "min") continue;
            const auto per_value = run.counters.find("per_value");
            const auto fallback = run.counters.find("fallback");
            if (per_value == run.counters.end()) continue;  // skipped: no counters
            results_[run.run_name.str()] = {per_value->second * 1e9, fallback->second};
        }
    }

    void print_ratios() const {
        std::printf("CPU: %s\n", cpu_description().c_str());
        for (const char* inputs : {"one_plus_tau", "uniform_exponent"}) {
            const auto scalar = results_.find(std::string("run_logs/scalar/") + inputs);
            if (scalar == results_.end()) continue;
            for (const char* path : {"avx2", "avx512"}) {
                const auto vec = results_.find(std::string("run_logs/") + path + "/" + inputs);
                if (vec == results_.end()) continue;
                std::printf("%-16s %-6s %.3f ns per value (fallback %.2f%%), scalar log %.3f ns: "
                            "%.2fx\n",
                            inputs, path, vec->second.ns, 100 * vec->second.fallback,
                            scalar->second.ns, scalar->second.ns / vec->second.ns);
            }
        }
    }

private:
    struct Result {
        double ns;
        double fallback;
    };
    std::map<std::string, Result> results_;
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    register_logs();
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.print_ratios();
    benchmark::Shutdown();
    return 0;
}
