// Byte reader shared by the libFuzzer targets: turns fuzzer bytes into small
// integers and doubles, favouring values that stress floating-point code
// (NaN, infinities, signed zeros, subnormals, huge and tiny magnitudes).
// Reads past the end yield zeros, so every input decodes to some case.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <vector>

#include "tavro/simd_isa.hpp"

namespace tavro::fuzz {

class Input {
public:
    Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    std::uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }
    int below(int n) { return static_cast<int>(byte() % n); }
    bool flag() { return (byte() & 1) != 0; }

    // A double drawn around `centre` with scale `scale`, or a special value,
    // or a raw bit pattern.
    double value(double centre, double scale) {
        switch (below(8)) {
            case 0: return special();
            case 1: {
                std::uint64_t bits = 0;
                for (int i = 0; i < 8; ++i) bits = (bits << 8) | byte();
                double d;
                std::memcpy(&d, &bits, sizeof d);
                return d;
            }
            default: {
                const auto raw = static_cast<std::int16_t>((byte() << 8) | byte());
                return centre + scale * (static_cast<double>(raw) / 4096.0);
            }
        }
    }

    double special() {
        constexpr double inf = std::numeric_limits<double>::infinity();
        const double table[] = {
            nan(), inf, -inf, 0.0, -0.0,
            std::numeric_limits<double>::denorm_min(), -std::numeric_limits<double>::denorm_min(),
            std::numeric_limits<double>::min(), std::numeric_limits<double>::max(),
            -std::numeric_limits<double>::max(), 1.0e300, -1.0e300, 1.0e-300, 1.0, -1.0,
            1.0e-9, 1.0e9, 0.5, 2.0};
        return table[below(sizeof table / sizeof table[0])];
    }

    // NaN as the hardware makes it (0/0): one NaN pattern on input.
    static double nan() {
        volatile double zero = 0.0;
        return zero / zero;
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

// Equal bits, or both NaN (NaN payloads may differ between two builds).
inline bool same(double a, double b) {
    if (std::isnan(a) && std::isnan(b)) return true;
    return std::memcmp(&a, &b, sizeof a) == 0;
}

// Extents -1..8 each (a negative one holds no cells) and their cell count.
struct Extents {
    std::int32_t nx, ny, nz;
    std::size_t cells;
};

inline Extents read_extents(Input& in) {
    Extents e;
    e.nx = in.below(10) - 1;
    e.ny = in.below(10) - 1;
    e.nz = in.below(10) - 1;
    e.cells = (e.nx > 0 && e.ny > 0 && e.nz > 0) ? static_cast<std::size_t>(e.nx) *
                                                       static_cast<std::size_t>(e.ny) *
                                                       static_cast<std::size_t>(e.nz)
                                                 : 0;
    return e;
}

// A per-cell field: one value everywhere, or a value per cell.
inline std::vector<double> read_field(Input& in, std::size_t n, double centre, double scale) {
    std::vector<double> f(n);
    if (in.flag()) {
        const double v = in.value(centre, scale);
        for (double& x : f) x = v;
    } else {
        for (double& x : f) x = in.value(centre, scale);
    }
    return f;
}

[[noreturn]] inline void mismatch(const char* kernel, const char* what, std::size_t index,
                                  double optimised, double reference) {
    std::fprintf(stderr, "%s mismatch: %s[%zu]: optimised %.17g, reference %.17g\n", kernel, what,
                 index, optimised, reference);
    std::abort();
}

// The instruction sets the optimised kernels are checked on: every one this
// build has and this CPU runs.
inline std::vector<Isa> available_isas() {
    std::vector<Isa> isas;
    for (int i = 0; i < kIsaCount; ++i) {
        if (isa_available(static_cast<Isa>(i))) isas.push_back(static_cast<Isa>(i));
    }
    return isas;
}

}  // namespace tavro::fuzz
