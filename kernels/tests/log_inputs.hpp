// Families of inputs for holding a logarithm against the platform's log,
// shared by the kernel tests, tools/log_check and the vector log benchmark.
// Each family stresses a different piece of the vector log: its reduction,
// its table boundaries, its rounding certificate or its fallback.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <random>

namespace tavro::testing {

enum class LogInputs {
    uniform_bits,        // any 64-bit pattern: negatives, NaNs, subnormals too
    positive_normals,    // uniform exponent and mantissa over positive normals
    near_one,            // within 2^20 ULPs of 1, and 1 +- 2^-e for every e
    near_powers_of_two,  // within 2^16 ULPs of a power of two
    table_boundaries,    // within 2^10 ULPs of a sub-interval boundary of the table
    one_plus_tau,        // 1 + tau, tau uniform in [1e-9, 2)
    one_plus_log_tau,    // 1 + tau, tau log-uniform in [1e-9, 1e3)
    huge_and_tiny,       // the top and bottom 80 binades, subnormals included
};

inline constexpr LogInputs kAllLogInputs[] = {
    LogInputs::uniform_bits,  LogInputs::positive_normals, LogInputs::near_one,
    LogInputs::near_powers_of_two, LogInputs::table_boundaries, LogInputs::one_plus_tau,
    LogInputs::one_plus_log_tau, LogInputs::huge_and_tiny};

inline const char* log_inputs_name(LogInputs family) {
    switch (family) {
        case LogInputs::uniform_bits: return "uniform_bits";
        case LogInputs::positive_normals: return "positive_normals";
        case LogInputs::near_one: return "near_one";
        case LogInputs::near_powers_of_two: return "near_powers_of_two";
        case LogInputs::table_boundaries: return "table_boundaries";
        case LogInputs::one_plus_tau: return "one_plus_tau";
        case LogInputs::one_plus_log_tau: return "one_plus_log_tau";
        case LogInputs::huge_and_tiny: return "huge_and_tiny";
    }
    return "?";
}

inline std::uint64_t bits_of(double x) {
    std::uint64_t b;
    std::memcpy(&b, &x, sizeof b);
    return b;
}

inline double double_of(std::uint64_t b) {
    double x;
    std::memcpy(&x, &b, sizeof x);
    return x;
}

// Bit pattern of the first z of the table's sub-intervals: z in
// [0.6875, 1.375) in 128 steps of 2^45 patterns (log_table.hpp).
inline constexpr std::uint64_t kFirstSubInterval = 0x3FE6000000000000ULL;

// Fills out[0..count) with inputs of one family, drawn from rng.
inline void fill_log_inputs(LogInputs family, std::mt19937_64& rng, double* out,
                            std::size_t count) {
    // A signed offset in [-span, span] from the top bits of one draw.
    auto offset = [&rng](std::int64_t span) {
        return static_cast<std::int64_t>(rng() % static_cast<std::uint64_t>(2 * span + 1)) - span;
    };
    auto uniform01 = [&rng]() { return static_cast<double>(rng() >> 11) * 0x1p-53; };
    const std::uint64_t one = bits_of(1.0);
    for (std::size_t i = 0; i < count; ++i) {
        double x = 0.0;
        switch (family) {
            case LogInputs::uniform_bits:
                x = double_of(rng());
                break;
            case LogInputs::positive_normals:
                x = double_of(0x0010000000000000ULL + rng() % 0x7FE0000000000000ULL);
                break;
            case LogInputs::near_one:
                if (rng() & 1) {
                    x = double_of(one + static_cast<std::uint64_t>(offset(1 << 20)));
                } else {
                    const double step = std::ldexp(1.0 + uniform01(), -static_cast<int>(rng() % 53));
                    x = (rng() & 1) ? 1.0 + step : 1.0 - step / 2;
                }
                break;
            case LogInputs::near_powers_of_two: {
                const std::uint64_t power = (1 + rng() % 2046) << 52;
                x = double_of(power + static_cast<std::uint64_t>(offset(1 << 16)));
                break;
            }
            case LogInputs::table_boundaries: {
                // Exponents kept off the ends so the pattern stays a positive normal.
                const std::uint64_t boundary = kFirstSubInterval + ((rng() % 128) << 45);
                const std::int64_t k = static_cast<std::int64_t>(rng() % 2040) - 1018;
                x = double_of(boundary + (static_cast<std::uint64_t>(k) << 52) +
                              static_cast<std::uint64_t>(offset(1 << 10)));
                break;
            }
            case LogInputs::one_plus_tau:
                x = 1.0 + (1e-9 + uniform01() * (2.0 - 1e-9));
                break;
            case LogInputs::one_plus_log_tau:
                x = 1.0 + std::pow(10.0, -9.0 + 12.0 * uniform01());
                break;
            case LogInputs::huge_and_tiny: {
                const std::uint64_t span = 80ULL << 52;
                const std::uint64_t low = rng() % span;  // subnormals and the lowest normals
                x = double_of((rng() & 1) ? low : 0x7FF0000000000000ULL - 1 - low);
                break;
            }
        }
        out[i] = x;
    }
}

}  // namespace tavro::testing
