"""Call overhead of the scalar functions against a builtin of the same shape
(math.fabs: one float in, one float out), measured in the same run."""
import math
import timeit

from tavro_kiln.core import _tavro_core as core

NUMBER = 2_000_000


def best_ns(statement, namespace):
    runs = timeit.repeat(statement, globals=namespace, number=NUMBER, repeat=7)
    return min(runs) / NUMBER * 1e9


def main():
    baseline = best_ns("f(300.0)", {"f": math.fabs})
    print(f"math.fabs(300.0)                       {baseline:6.1f} ns  (baseline)")
    cases = [
        ("thermal_conductivity(300.0)", "f(300.0)", core.thermal_conductivity),
        ("thermal_conductivity(300)", "f(300)", core.thermal_conductivity),
        ("thermal_conductivity(T=300.0)", "f(T=300.0)", core.thermal_conductivity),
        ("thermal_diffusivity(300.0)", "f(300.0)", core.thermal_diffusivity),
        ("mttf(300.0)", "f(300.0)", core.mttf),
        ("arrhenius_degradation(300.0, 1.0)", "f(300.0, 1.0)", core.arrhenius_degradation),
    ]
    for label, statement, function in cases:
        ns = best_ns(statement, {"f": function})
        print(f"{label:38} {ns:6.1f} ns  ratio {ns / baseline:4.2f}")


if __name__ == "__main__":
    main()
