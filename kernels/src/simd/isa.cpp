// The one place that asks the CPU what it can run.
#include "tavro/simd_isa.hpp"

#include <cstdlib>
#include <cstring>

#include "simd/build_isas.hpp"

#if TAVRO_SIMD_HAVE_AVX2 || TAVRO_SIMD_HAVE_AVX512
#if !defined(__GNUC__)
#error "x86 vector sweeps need GCC or clang for CPU detection"
#endif
#endif

namespace tavro {
namespace {

constexpr const char* kNames[kIsaCount] = {"scalar", "neon", "avx2", "avx512"};

// The AVX2 sweeps may use FMA where an algorithm asks for it explicitly
// (never by contraction), so that set requires both.
bool cpu_runs(Isa isa) {
    switch (isa) {
        case Isa::scalar:
            return true;
        case Isa::neon:
            return TAVRO_SIMD_HAVE_NEON != 0;  // part of every aarch64 CPU
        case Isa::avx2:
#if TAVRO_SIMD_HAVE_AVX2
            __builtin_cpu_init();
            return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
#else
            return false;
#endif
        case Isa::avx512:
#if TAVRO_SIMD_HAVE_AVX512
            __builtin_cpu_init();
            return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx2") &&
                   __builtin_cpu_supports("fma");
#else
            return false;
#endif
    }
    return false;
}

struct Availability {
    bool available[kIsaCount];

    Availability() {
        for (int i = 0; i < kIsaCount; ++i) available[i] = cpu_runs(static_cast<Isa>(i));
    }
};

const Availability& availability() {
    static const Availability answer;
    return answer;
}

struct EnvironmentCap {
    bool set = false;
    Isa cap = Isa::avx512;
    const char* unknown = nullptr;

    EnvironmentCap() {
        const char* value = std::getenv("TAVRO_KILN_MAX_ISA");
        if (value == nullptr || *value == '\0') return;
        set = isa_from_name(value, &cap);
        if (!set) unknown = value;
    }
};

const EnvironmentCap& environment_cap() {
    static const EnvironmentCap cap;
    return cap;
}

thread_local bool scope_set = false;
thread_local Isa scope_cap = Isa::avx512;

}  // namespace

const char* isa_name(Isa isa) noexcept {
    const int index = static_cast<int>(isa);
    return index >= 0 && index < kIsaCount ? kNames[index] : "unknown";
}

bool isa_from_name(const char* name, Isa* out) noexcept {
    if (name == nullptr) return false;
    for (int i = 0; i < kIsaCount; ++i) {
        if (std::strcmp(name, kNames[i]) == 0) {
            *out = static_cast<Isa>(i);
            return true;
        }
    }
    return false;
}

bool isa_available(Isa isa) noexcept {
    const int index = static_cast<int>(isa);
    return index >= 0 && index < kIsaCount && availability().available[index];
}

Isa widest_available(Isa cap) noexcept {
    for (int i = static_cast<int>(cap); i > 0; --i) {
        if (availability().available[i]) return static_cast<Isa>(i);
    }
    return Isa::scalar;
}

Isa active_isa() noexcept {
    Isa cap = Isa::avx512;
    const EnvironmentCap& env = environment_cap();
    if (env.set) cap = env.cap;
    if (scope_set && scope_cap < cap) cap = scope_cap;
    return widest_available(cap);
}

const char* unknown_isa_cap() noexcept { return environment_cap().unknown; }

IsaCapScope::IsaCapScope(Isa cap) noexcept : previous_(scope_cap), previous_set_(scope_set) {
    scope_cap = cap;
    scope_set = true;
}

IsaCapScope::~IsaCapScope() {
    scope_cap = previous_;
    scope_set = previous_set_;
}

}  // namespace tavro
