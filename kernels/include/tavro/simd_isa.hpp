// Which vector instruction set the kernels sweep with. Each optimised kernel
// is built once per instruction set this build supports and picks one at
// run time: the widest that both the build and the CPU have, unless a cap
// says otherwise. Every path stores the same bits; the cap exists so that
// tests and debugging can run the narrower ones on a machine that would
// never pick them.
#pragma once

#include <cstdint>

namespace tavro {

// Ordered by width: a cap admits every set up to its own rank.
enum class Isa : std::uint8_t {
    scalar = 0,  // one double at a time, every platform
    neon = 1,    // 2 lanes, aarch64
    avx2 = 2,    // 4 lanes, x86-64 with AVX2 and FMA
    avx512 = 3,  // 8 lanes, x86-64 with AVX-512F
};

inline constexpr int kIsaCount = 4;

const char* isa_name(Isa isa) noexcept;

// Parses "scalar", "neon", "avx2" or "avx512"; false for anything else.
bool isa_from_name(const char* name, Isa* out) noexcept;

// True when this build has the set's sweeps and this CPU can run them.
bool isa_available(Isa isa) noexcept;

// The widest available set no wider than `cap`; scalar at the least.
Isa widest_available(Isa cap) noexcept;

// The set the kernels use now: the widest available one, capped by the
// environment variable TAVRO_KILN_MAX_ISA (read once per process; an unknown
// value is ignored) and by the innermost IsaCapScope of this thread.
Isa active_isa() noexcept;

// The value of TAVRO_KILN_MAX_ISA when it is set but names no set (so that
// a caller can warn about it), else nullptr.
const char* unknown_isa_cap() noexcept;

// While alive, caps the sets this thread's kernel runs may use. Scopes nest;
// the innermost wins. For tests that hold every path against the reference.
class IsaCapScope {
public:
    explicit IsaCapScope(Isa cap) noexcept;
    ~IsaCapScope();
    IsaCapScope(const IsaCapScope&) = delete;
    IsaCapScope& operator=(const IsaCapScope&) = delete;

private:
    Isa previous_;
    bool previous_set_;
};

}  // namespace tavro
