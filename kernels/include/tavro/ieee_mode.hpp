// IEEE arithmetic whatever the calling thread's floating-point mode carries.
// A library built with fast-math may leave flush-to-zero and
// denormals-are-zero set on a thread, or another rounding mode, or
// unmasked exception traps; every result here is specified for plain IEEE
// double arithmetic with round-to-nearest and no traps. IeeeModeScope puts
// the thread in that mode for its lifetime and the caller's mode back when
// it ends. Reading the control register is cheap; it is written only when
// the mode differs, so ordinary callers pay almost nothing.
#pragma once

#include <cstdint>

#if defined(__x86_64__) || defined(_M_X64) || defined(__i386__) || defined(_M_IX86)
#include <immintrin.h>
#define TAVRO_IEEE_MODE_X86 1
#elif defined(__aarch64__) && (defined(__GNUC__) || defined(__clang__))
#define TAVRO_IEEE_MODE_AARCH64 1
#else
#include <cfenv>
#endif

namespace tavro {

class IeeeModeScope {
public:
    IeeeModeScope() noexcept : saved_(read()) {
        const Register wanted = (saved_ & ~kModeBits) | kIeeeMode;
        changed_ = wanted != saved_;
        if (changed_) write(wanted);
    }
    ~IeeeModeScope() {
        if (changed_) write(saved_);
    }
    IeeeModeScope(const IeeeModeScope&) = delete;
    IeeeModeScope& operator=(const IeeeModeScope&) = delete;

private:
#if defined(TAVRO_IEEE_MODE_X86)
    // MXCSR: flush-to-zero (bit 15), denormals-are-zero (bit 6), rounding
    // (bits 13-14, 0 = nearest) and the six exception masks (bits 7-12, all
    // set: no trap). The status flags the run raises are dropped with the
    // caller's register restored.
    using Register = std::uint32_t;
    static constexpr Register kModeBits = 0xFFC0;
    static constexpr Register kIeeeMode = 0x1F80;
    static Register read() { return _mm_getcsr(); }
    static void write(Register value) { _mm_setcsr(value); }
#elif defined(TAVRO_IEEE_MODE_AARCH64)
    // FPCR: flush-to-zero (FZ, bit 24), rounding (RMode, bits 22-23, 0 =
    // nearest), default NaN (DN, bit 25), the alternate handling bits (AH,
    // FIZ: bits 0-1) and the trap enables (bits 8-12, 15), all cleared.
    using Register = std::uint64_t;
    static constexpr Register kModeBits = (Register{0xF} << 22) | 0x9F03;
    static constexpr Register kIeeeMode = 0;
    static Register read() {
        Register value;
        __asm__ __volatile__("mrs %0, fpcr" : "=r"(value));
        return value;
    }
    static void write(Register value) { __asm__ __volatile__("msr fpcr, %0" : : "r"(value)); }
#else
    // Elsewhere only the rounding mode can be asked for portably.
    using Register = int;
    static constexpr Register kModeBits = ~0;
    static constexpr Register kIeeeMode = FE_TONEAREST;
    static Register read() { return std::fegetround(); }
    static void write(Register value) { std::fesetround(value); }
#endif

    Register saved_;
    bool changed_;
};

}  // namespace tavro
