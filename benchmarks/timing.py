"""Shared timing helpers for the benchmark scripts: best of several runs."""
import time


def best_seconds(function, repeat=5):
    best = float("inf")
    for _ in range(repeat):
        start = time.perf_counter()
        function()
        best = min(best, time.perf_counter() - start)
    return best


def cpu_line():
    """The CPU's model and vector extensions, and the load, to print beside every figure."""
    import os

    model, flags = "?", set()
    try:
        with open("/proc/cpuinfo") as handle:
            for line in handle:
                if line.startswith("model name") and model == "?":
                    model = line.split(":", 1)[1].strip()
                if line.startswith("flags"):
                    flags = set(line.split(":", 1)[1].split())
    except OSError:
        pass
    vectors = ", ".join(f for f in ("avx2", "fma", "avx512f") if f in flags) or "none listed"
    try:
        load = " ".join(f"{x:.2f}" for x in os.getloadavg())
    except OSError:
        load = "?"
    return f"CPU: {model} ({vectors}); {os.cpu_count()} cores; load average {load}"
