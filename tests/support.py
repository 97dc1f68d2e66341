"""Helpers shared by the test modules: bitwise comparison, the native-heap
probe, and the vector paths this machine runs."""
import ctypes
import math
import os
import platform
import struct

import numpy as np


def float_bits(x):
    return struct.pack("<d", x)


def assert_same_float(actual, expected):
    """Equal to the last bit, NaN payloads aside and the sign of zero included."""
    assert type(actual) is float
    if math.isnan(expected):
        assert math.isnan(actual), actual
    else:
        assert float_bits(actual) == float_bits(expected), (actual, expected)


def assert_bitwise_equal(actual, expected):
    """Same shape, same bits; NaNs only need to sit in the same places."""
    actual, expected = np.asarray(actual), np.asarray(expected)
    assert actual.shape == expected.shape
    assert actual.dtype == expected.dtype == np.float64
    nan_a, nan_e = np.isnan(actual), np.isnan(expected)
    assert np.array_equal(nan_a, nan_e), "NaNs differ"
    same = actual[~nan_a].view(np.uint64) == expected[~nan_e].view(np.uint64)
    assert same.all(), f"{(~same).sum()} values differ"


class _MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in
                ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks",
                 "uordblks", "fordblks", "keepcost")]


def _heap_probe():
    """glibc's mallinfo2 (2.33 and newer), or the reason there is none."""
    try:
        libc = ctypes.CDLL(None)  # raises on Windows
        mallinfo2 = libc.mallinfo2  # absent from older glibc, musl and macOS
    except (OSError, TypeError, AttributeError) as error:
        return None, f"no mallinfo2 in this C library ({type(error).__name__})"
    if os.environ.get("TAVRO_KILN_TEST_NO_MALLINFO2"):  # to try the fallback on glibc
        return None, "mallinfo2 hidden by TAVRO_KILN_TEST_NO_MALLINFO2"
    mallinfo2.restype = _MallInfo2
    return mallinfo2, ""


def native_heap_bytes():
    """Bytes the C heap has handed out and not taken back, or None where the
    platform's C library cannot tell."""
    probe, _ = _heap_probe()
    if probe is None:
        return None
    info = probe()
    return info.uordblks + info.hblkhd


def native_heap_unavailable():
    """Why native_heap_bytes() is None here ('' when it works)."""
    return _heap_probe()[1]


def simd_paths():
    """The kernels' vector paths this machine runs, widest first. Where the
    CPU cannot be asked, every path of the architecture (a path the CPU lacks
    falls back to the next narrower one, so it is merely run twice)."""
    machine = platform.machine().lower()
    if machine in ("aarch64", "arm64"):
        return ["neon", "scalar"]
    if machine not in ("x86_64", "amd64"):
        return ["scalar"]
    try:
        with open("/proc/cpuinfo") as info:
            flags = next(set(line.split(":", 1)[1].split()) for line in info
                         if line.startswith("flags"))
    except (OSError, StopIteration):
        return ["avx512", "avx2", "scalar"]
    paths = []
    if {"avx512f", "avx2", "fma"} <= flags:
        paths.append("avx512")
    if {"avx2", "fma"} <= flags:
        paths.append("avx2")
    return paths + ["scalar"]


def active_simd_paths():
    """The paths this test run can reach: those no wider than the cap in
    TAVRO_KILN_MAX_ISA, widest first."""
    order = ["scalar", "neon", "avx2", "avx512"]
    cap = os.environ.get("TAVRO_KILN_MAX_ISA")
    paths = simd_paths()
    if cap in order:
        paths = [p for p in paths if order.index(p) <= order.index(cap)]
    return paths or ["scalar"]


class _FloatModeUnavailable(Exception):
    pass


def _fenv_access():
    """(libc, fenv buffer size, byte offset of the control register, the
    bits that flush subnormals and round toward zero, the status bits it
    also holds) for glibc on x86-64 (MXCSR) and aarch64 (FPCR)."""
    machine = platform.machine().lower()
    try:
        libc = ctypes.CDLL(None)
        libc.fegetenv, libc.fesetenv  # noqa: B018 (probe)
    except (OSError, TypeError, AttributeError) as error:
        raise _FloatModeUnavailable(f"no fegetenv/fesetenv here ({type(error).__name__})")
    if machine in ("x86_64", "amd64"):
        # fenv_t: the x87 environment (28 bytes), then MXCSR. FTZ, DAZ,
        # rounding toward zero; its low six bits are status flags.
        return libc, 32, 28, 0x8000 | 0x0040 | 0x6000, 0x3F
    if machine in ("aarch64", "arm64"):
        # fenv_t: FPCR, then FPSR. FZ and rounding toward zero.
        return libc, 8, 0, (1 << 24) | (3 << 22), 0
    raise _FloatModeUnavailable(f"no known control register layout for {machine}")


def hostile_float_mode_unavailable():
    """Why hostile_float_mode() cannot run here ('' when it can)."""
    if not platform.libc_ver()[0] == "glibc":
        return "needs glibc's fenv_t layout"
    try:
        _fenv_access()
    except _FloatModeUnavailable as error:
        return str(error)
    return ""


class hostile_float_mode:
    """Context in which this thread flushes subnormals to zero (and treats
    subnormal inputs as zero on x86) and rounds toward zero, as a library
    built with fast-math can leave it. `.register()` reads the control
    register inside the context."""

    def __enter__(self):
        self._libc, size, self._offset, bits, self._status = _fenv_access()
        self._saved = ctypes.create_string_buffer(size)
        if self._libc.fegetenv(self._saved) != 0:
            raise OSError("fegetenv failed")
        changed = ctypes.create_string_buffer(self._saved.raw, size)
        self.mode = (self._read(changed) | bits) & ~self._status
        self._write(changed, self.mode)
        if self._libc.fesetenv(changed) != 0:
            raise OSError("fesetenv failed")
        return self

    def register(self):
        now = ctypes.create_string_buffer(len(self._saved))
        self._libc.fegetenv(now)
        return self._read(now) & ~self._status

    def __exit__(self, *exc):
        self._libc.fesetenv(self._saved)
        return False

    def _read(self, buffer):
        return int.from_bytes(buffer.raw[self._offset:self._offset + 4], "little")

    def _write(self, buffer, value):
        ctypes.memmove(ctypes.addressof(buffer) + self._offset, value.to_bytes(4, "little"), 4)
