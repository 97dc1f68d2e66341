"""A hot spot on a small silicon die, end to end: material table, heat
diffusion with history and early exit, reliability at the peak, a text
query mapped to a k-scale, the coupled field solver at that scale, and a
PNG of the result."""
import sys
import time

import numpy as np

from tavro_kiln.core import _hxm_field_solver as hxm
from tavro_kiln.core import _tavro_core as core

AMBIENT = 300.0
CHUNK = 250  # steps per call, so long runs can report progress


def make_die(size):
    nx = ny = size
    nz = max(4, size // 4)
    T = np.full((nx, ny, nz), AMBIENT)
    Q = np.zeros_like(T)
    spot = max(1, size // 10)
    cx, cy = nx // 2, ny // 3
    Q[cx - spot:cx + spot, cy - spot:cy + spot, nz - 3:nz - 1] = 4000.0  # K/s, near the top face
    return T, Q


def simulate(T, Q, steps, dt, dx):
    """Runs in chunks of CHUNK steps, printing progress; returns the final
    field and the sampled history (steps, T_max, T_min) and the summary."""
    steps_done, history, summary = 0, [], None
    while steps_done < steps:
        n = min(CHUNK, steps - steps_done)
        T, info = core.tcad_solve_3d(T, Q_heat=Q, dx=dx, dy=dx, dz=dx, dt=dt, iterations=n,
                                     return_history=True, history_stride=5, convergence_tol=1e-5)
        done = info["iterations_completed"]
        written = (done - 1) // 5 + 1 if done else 0
        history.append(np.column_stack([info["steps"][:written] + steps_done,
                                        info["T_max"][:written], info["T_min"][:written]]))
        steps_done += done
        summary = info
        # One line rewritten in place on a terminal, a line per chunk elsewhere.
        print(f"\r  step {steps_done:6d}/{steps}  T_max {info['T_max'][written - 1]:9.4f} K",
              end="" if sys.stdout.isatty() else "\n", flush=True)
        if info["early_exit_step"] >= 0:
            break
    if sys.stdout.isatty():
        print()
    return T, np.concatenate(history), steps_done, summary


def save_plot(field, history, out):
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        print("matplotlib is not installed (pip install matplotlib): no picture written")
        return False
    fig, (left, right) = plt.subplots(1, 2, figsize=(11, 4.5))
    top = field[:, :, field.shape[2] - 2].T
    image = left.imshow(top, origin="lower", cmap="inferno")
    left.set_title("temperature just below the top face (K)")
    left.set_xlabel("x cell")
    left.set_ylabel("y cell")
    fig.colorbar(image, ax=left)
    right.plot(history[:, 0], history[:, 1], label="T_max")
    right.plot(history[:, 0], history[:, 2], label="T_min")
    right.set_xlabel("step")
    right.set_ylabel("K")
    right.set_title("field extremes")
    right.legend()
    fig.tight_layout()
    fig.savefig(out, dpi=100)
    plt.close(fig)
    return True


def run_demo(size=64, steps=2000, out="tavro_kiln_demo.png"):
    print("Silicon at 300 K:")
    for key, value in core.get_material_properties().items():
        print(f"  {key:22} {value}")

    T, Q = make_die(size)
    dx, dt = 1e-3, 1e-3  # 1 mm cells, 1 ms steps: stable, since a/dx^2 is about 0.09
    print(f"Heat diffusion on a {T.shape[0]}x{T.shape[1]}x{T.shape[2]} die, "
          f"up to {steps} steps of {dt * 1e3:g} ms:")
    start = time.perf_counter()
    field, history, done, info = simulate(T, Q, steps, dt, dx)
    elapsed = time.perf_counter() - start
    peak = float(field.max())
    early = "converged" if info["early_exit_step"] >= 0 else "did not converge"
    print(f"  {done} steps in {elapsed:.2f} s ({early}); last max delta {info['max_delta']:.3e} K")
    print(f"  peak temperature {peak:.3f} K (ambient {AMBIENT} K)")
    print(f"  MTTF at peak {core.mttf(peak):.6g}, at ambient {core.mttf(AMBIENT):.6g} "
          f"(ratio {core.mttf(peak) / core.mttf(AMBIENT):.4f})")
    print(f"  Arrhenius degradation after t = 1 at peak {core.arrhenius_degradation(peak, 1.0):.6g}, "
          f"at ambient {core.arrhenius_degradation(AMBIENT, 1.0):.6g}")

    query = "electromagnetic radiation from a dark energy vacuum"
    k_scale = hxm.query_to_k(query)
    psi = np.full((16, 16, 16), 4.0 ** (66.0 - k_scale) * 1e32)
    tau = np.full(psi.shape, 1e-9)
    _, _, field_info = hxm.hxm_solve_3d(psi, tau, k_scale=k_scale, iterations=200,
                                        return_history=True)
    print(f"query_to_k({query!r}) = {k_scale}")
    print(f"  hxm_solve_3d at that k-scale: {field_info['iterations_completed']} sweeps, "
          f"early exit {field_info['early_exit_step']}, "
          f"stability score {field_info['stability_score']}")

    if save_plot(field, history, out):
        print(f"Picture written to {out}")
    return 0


if __name__ == "__main__":
    sys.exit(run_demo())
