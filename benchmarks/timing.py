"""Shared timing helpers for the benchmark scripts: best of several runs."""
import time


def best_seconds(function, repeat=5):
    best = float("inf")
    for _ in range(repeat):
        start = time.perf_counter()
        function()
        best = min(best, time.perf_counter() - start)
    return best
