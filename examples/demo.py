"""A short tour: every function of both modules, called once."""
import numpy as np

from tavro_kiln.core import _hxm_field_solver as hxm
from tavro_kiln.core import _tavro_core as core


def main():
    print("Silicon at 300 K:", core.get_material_properties())
    for T in (300.0, 400.0, 1000.0):
        print(f"T = {T:6.1f} K  k = {core.thermal_conductivity(T)!r:>20} W/(m K)"
              f"  cp = {core.specific_heat(T)!r:>10} J/(kg K)"
              f"  alpha = {core.thermal_diffusivity(T)!r} m^2/s")
    print("MTTF at 350 K:", core.mttf(350.0))
    print("Arrhenius degradation at 400 K after t = 1:", core.arrhenius_degradation(400.0, 1.0))

    T = np.full((16, 16, 16), 300.0)
    T[8, 8, 8] = 400.0
    bc = np.zeros(T.shape, dtype=np.int32)
    bc[8, 8, 8] = 1  # a held hot spot
    field, info = core.tcad_solve_3d(T, bc_type=bc, iterations=500, return_history=True,
                                     history_stride=100, convergence_tol=1e-9)
    print("Heat diffusion from a held 400 K cell, sampled every 100 steps:")
    for step, hi, lo in zip(info["steps"], info["T_max"], info["T_min"]):
        print(f"  step {step:4d}: T_max = {hi:.6f}  T_min = {lo:.6f}")
    print(f"  iterations completed: {info['iterations_completed']}, "
          f"early exit step: {info['early_exit_step']}, last max delta: {info['max_delta']:.3e}")
    print(f"  neighbour of the hot spot now at {field[8, 8, 9]:.6f} K")

    for query in ("dark matter", "novel bridge between quark and photon", "hello world"):
        print(f"query_to_k({query!r}) = {hxm.query_to_k(query)!r}")
    k_scale = hxm.query_to_k("electromagnetic radiation")
    P_k = 4.0 ** (66.0 - k_scale) * 1e32
    rng = np.random.default_rng(0)
    psi = P_k * rng.uniform(0.999, 1.001, (12, 12, 12))
    tau = np.full(psi.shape, 1e-9)
    psi_final, tau_final, history = hxm.hxm_solve_3d(psi, tau, k_scale=k_scale, iterations=50,
                                                     return_history=True, history_stride=10)
    print(f"hxm_solve_3d at k = {k_scale}: sweeps {history['iterations_completed']}, "
          f"early exit {history['early_exit_step']}, stability {history['stability_score']}")
    print("  max update per sampled sweep:", history["max_delta"])


if __name__ == "__main__":
    main()
