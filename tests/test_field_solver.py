"""The coupled field module: its surface, hxm_solve_3d against the NumPy
reference, the history dict, and every failure path."""
import inspect
import math
import threading

import numpy as np
import pytest

from field_reference import p_k_for, reference_relax
from support import assert_bitwise_equal

MODULE = "tavro_kiln.core._hxm_field_solver"
DEFAULTS = (None, None, 66.0, 1.192e-15, 1.192e-15, 1.192e-15, 3.977e-24, 500, False, 10, 1e-08)
MODULE_DOC = (
    "\nHXM COUPLED FIELD SOLVER v1.1  (dimensionless, numerically stable)\n"
    "Solves the ORBEX \u03c8-\u03c4 field equations anchored at k=66.\n\n"
    "Key design: all computation in DIMENSIONLESS units (\u03c8' = \u03c8/P_k) so\n"
    "parameters that span 150 orders of magnitude never appear as raw floats\n"
    "in arithmetic \u2014 only as O(1) ratios. Damped gradient descent (not explicit\n"
    "Euler) gives unconditional stability at any k-scale.\n"
)
HISTORY_KEYS = ["steps", "max_delta", "mean_energy", "early_exit_step", "iterations_completed",
                "max_delta_final", "energy_final", "stability_score", "settled_k"]


def test_module_surface(hxm):
    assert [n for n in vars(hxm) if not n.startswith("__")] == ["np", "hxm_solve_3d", "query_to_k"]
    assert hxm.np is np and hxm.__doc__ == MODULE_DOC
    f = hxm.hxm_solve_3d
    assert (f.__name__, f.__qualname__, f.__module__) == ("hxm_solve_3d", "hxm_solve_3d", MODULE)
    assert f.__defaults__ == DEFAULTS and f.__kwdefaults__ is None
    assert f.__doc__ == ("\n    Solve the HXM \u03c8-\u03c4 coupled field equations.\n"
                         "    Returns (psi_final, tau_final, history_dict_or_None).\n    ")
    assert str(inspect.signature(f)) == (
        "(psi_init, tau_init, phi_ext=None, bc_type=None, k_scale=66.0, dx=1.192e-15, "
        "dy=1.192e-15, dz=1.192e-15, dt=3.977e-24, iterations=500, return_history=False, "
        "history_stride=10, convergence_tol=1e-08)")
    q = hxm.query_to_k
    assert q.__doc__ == "Map a text query to the HXM k-scale anchor."
    assert q.__annotations__ == {"query": "str", "return": "float"}
    assert (q.__module__, q.__qualname__, q.__defaults__) == (MODULE, "query_to_k", None)


def random_field_case(rng):
    shape = tuple(int(rng.choice([0, 1, 2, 3, 4, 5, 6, 9, 11])) for _ in range(3))
    if rng.random() < 0.7:
        shape = tuple(int(rng.integers(3, 10)) for _ in range(3))
    k_scale = float(rng.choice([66.0, 90.0, 120.0, 200.0, rng.uniform(40.0, 250.0)]))
    P_k = p_k_for(k_scale)
    psi = P_k * rng.uniform(0.5, 1.5, shape)
    tau = rng.choice([0.0, 1e-9, 5e-10, 1e-3, 1.0]) * rng.uniform(0.0, 2.0, shape)
    phi = rng.uniform(-1e12, 1e12, shape) if rng.random() < 0.6 else None
    flags = rng.choice([0.0, 0.0, 0.0, 1.0, 0.5, 2.0, np.nan], shape) if rng.random() < 0.6 else None
    return dict(psi_init=psi, tau_init=tau, phi_ext=phi, bc_type=flags, k_scale=k_scale,
                iterations=int(rng.integers(-2, 30)), return_history=True,
                history_stride=int(rng.integers(1, 6)),
                convergence_tol=float(rng.choice([0.0, -1.0, 1e-8, 1e10, 1e25]))), P_k


def check_case(hxm, case, P_k):
    psi, tau, history = hxm.hxm_solve_3d(**case)
    shape = case["psi_init"].shape
    phi = case["phi_ext"] if case["phi_ext"] is not None else np.zeros(shape)
    flags = case["bc_type"] if case["bc_type"] is not None else np.zeros(shape)
    exp_psi, exp_tau, records, (early, done, md, ef) = reference_relax(
        case["psi_init"], case["tau_init"], phi, flags, P_k, case["iterations"],
        case["history_stride"], case["convergence_tol"])
    assert_bitwise_equal(psi, exp_psi)
    assert_bitwise_equal(tau, exp_tau)
    assert list(history) == HISTORY_KEYS
    assert np.array_equal(history["steps"], records[:, 0].astype(int))
    assert_bitwise_equal(history["max_delta"], records[:, 1])
    assert_bitwise_equal(history["mean_energy"], records[:, 2])
    assert (history["early_exit_step"], history["iterations_completed"]) == (early, done)
    assert_bitwise_equal(np.float64(history["max_delta_final"]), np.float64(md))
    assert_bitwise_equal(np.float64(history["energy_final"]), np.float64(ef))
    score = 1.0 - early / case["iterations"] if early >= 0 else 0.0
    assert history["stability_score"] == score and history["settled_k"] == case["k_scale"]
    assert [type(history[k]) for k in HISTORY_KEYS[3:]] == [int, int, float, float, float, float]


def test_random_grids_match_reference_bit_for_bit(hxm):
    rng = np.random.default_rng(66)
    for _ in range(120):
        check_case(hxm, *random_field_case(rng))


def test_three_cube_example(hxm):
    psi = np.full((3, 3, 3), 1e32)
    out_psi, out_tau, history = hxm.hxm_solve_3d(psi, np.zeros((3, 3, 3)), iterations=1,
                                                 return_history=True)
    assert out_psi[1, 1, 1] == 1e32
    rise = ((1e32 * -7e-10) / 1.000000001) * -0.05  # G_tau's only non-zero term
    assert out_tau[1, 1, 1] == 0.0 + rise and history["max_delta_final"] == rise


def test_defaults_and_history_shape(hxm):
    rng = np.random.default_rng(1)
    psi, tau = 1e32 * rng.uniform(0.9, 1.1, (4, 5, 6)), rng.uniform(0, 1, (4, 5, 6))
    out = hxm.hxm_solve_3d(psi, tau)
    assert out[2] is None and out[0].shape == (4, 5, 6)
    _, _, history = hxm.hxm_solve_3d(psi, tau, return_history=[0], convergence_tol=0.0)
    assert history["steps"].tolist() == list(range(0, 500, 10))
    assert history["max_delta"].base is history["mean_energy"].base is not None
    assert history["stability_score"] == 0.0 and history["energy_final"] == 0.0


def test_iterations_zero_or_negative(hxm):
    psi = np.array([1.2345678901234567e31, 3e32, 7.0, -1.0, 0.0]).repeat(6)[:27].reshape(3, 3, 3)
    tau = np.linspace(0, 1, 27).reshape(3, 3, 3)
    for iterations in (0, -3):
        out_psi, out_tau, h = hxm.hxm_solve_3d(psi, tau, k_scale=90.0, iterations=iterations,
                                               return_history=True)
        P_k = p_k_for(90.0)
        assert_bitwise_equal(out_psi, (psi / P_k) * P_k)
        assert_bitwise_equal(out_tau, tau)
        assert [len(h[k]) for k in HISTORY_KEYS[:3]] == [0, 0, 0]
        assert [h[k] for k in HISTORY_KEYS[3:]] == [-1, 0, 0.0, 0.0, 0.0, 90.0]


def test_stability_score_and_settled_k(hxm):
    psi = np.full((2, 2, 2), 1e32)
    _, _, h = hxm.hxm_solve_3d(psi, psi, k_scale=66, return_history=True)
    assert (h["early_exit_step"], h["iterations_completed"], h["stability_score"]) == (0, 1, 1.0)
    assert h["settled_k"] == 66.0 and type(h["settled_k"]) is float


def test_spacings_and_step_are_converted_but_unused(hxm):
    rng = np.random.default_rng(2)
    psi, tau = 1e32 * rng.uniform(0.9, 1.1, (4, 4, 4)), rng.uniform(0, 1, (4, 4, 4))
    a = hxm.hxm_solve_3d(psi, tau, iterations=5)
    b = hxm.hxm_solve_3d(psi, tau, None, None, 66.0, -1.0, math.inf, math.nan, 1e300, 5)
    for x, y in zip(a[:2], b[:2]):
        assert_bitwise_equal(x, y)
    with pytest.raises(TypeError):
        hxm.hxm_solve_3d(psi, tau, dz="x")


def test_shapes_lists_and_leading_values(hxm):
    rng = np.random.default_rng(3)
    psi4 = 1e32 * rng.uniform(0.9, 1.1, (3, 4, 5, 2))
    n = 60
    tau = list(rng.uniform(0, 1, n + 7))
    phi = rng.uniform(-1, 1, (2, n))
    flags = np.zeros(n + 1)
    out_psi, out_tau, _ = hxm.hxm_solve_3d(psi4, tau, phi, flags, iterations=4)
    P_k = 1e32
    exp_psi, exp_tau, _, _ = reference_relax(psi4.ravel()[:n].reshape(3, 4, 5),
                                             np.array(tau[:n]).reshape(3, 4, 5),
                                             phi.ravel()[:n].reshape(3, 4, 5),
                                             flags[:n].reshape(3, 4, 5), P_k, 4, 10, 1e-8)
    assert out_psi.shape == (3, 4, 5)
    assert_bitwise_equal(out_psi, exp_psi)
    assert_bitwise_equal(out_tau, exp_tau)
    fortran = np.asfortranarray(psi4[..., 0])
    a = hxm.hxm_solve_3d(fortran, fortran[::-1], iterations=3)
    b = hxm.hxm_solve_3d(fortran.copy(), fortran[::-1].copy(), iterations=3)
    assert_bitwise_equal(a[0], b[0])


@pytest.mark.parametrize(
    "kwargs, error, text",
    [
        (dict(k_scale="66"), TypeError, None),
        (dict(iterations=10.0), TypeError, None),
        (dict(iterations=2**31), OverflowError, None),
        (dict(history_stride=-(2**31) - 1), OverflowError, None),
        (dict(history_stride=0), ValueError, "history_stride"),
        (dict(convergence_tol=None), TypeError, None),
        (dict(return_history=np.ones(2)), ValueError, None),
        (dict(psi_init=np.zeros((3, 3))), IndexError, None),
        (dict(psi_init=[["a"]]), ValueError, None),
        (dict(tau_init=object()), TypeError, None),
        (dict(tau_init=np.zeros(26)), IndexError, "26"),
        (dict(phi_ext=np.zeros(5)), IndexError, "5"),
        (dict(bc_type=[1.0] * 20), IndexError, "20"),
        (dict(bc_type={"a": 1}), TypeError, None),
        (dict(iterations=2**31 - 1, history_stride=1, return_history=True), ValueError, "limit"),
    ],
)
def test_failures(hxm, kwargs, error, text):
    args = {"psi_init": np.ones((3, 3, 3)), "tau_init": np.ones((3, 3, 3)), **kwargs}
    with pytest.raises(error) as raised:
        hxm.hxm_solve_3d(**args)
    if text is not None:
        assert text in str(raised.value)


def test_first_short_array_in_cell_order_raises(hxm):
    grid = np.ones((3, 3, 3))
    with pytest.raises(IndexError, match="index 4 is out of bounds"):
        hxm.hxm_solve_3d(grid, np.ones(10), np.ones(4), np.ones(4))
    with pytest.raises(IndexError, match="index 0 is out of bounds"):
        hxm.hxm_solve_3d(np.ones((3, 3, 3, 0)), np.ones(0), np.ones(4))


@pytest.mark.parametrize("shape", [(0, 3, 3), (65536, 65536, 0), (65536, 0, 65536, 2)])
def test_zero_cell_grids_run(hxm, shape):
    psi = np.zeros(shape)
    out_psi, out_tau, h = hxm.hxm_solve_3d(psi, [], [], [], iterations=2, convergence_tol=1.0,
                                           return_history=True)
    assert out_psi.shape == out_tau.shape == shape[:3] and out_psi.size == 0
    assert (h["early_exit_step"], h["iterations_completed"]) == (0, 1)
    assert math.isnan(h["energy_final"]) and math.isnan(h["mean_energy"][0])


@pytest.mark.parametrize("site", ["field_phi", "field_bc"])
def test_absent_inputs_need_no_buffer(hxm, fail_allocation, site):
    fail_allocation(site)
    out_psi, _, _ = hxm.hxm_solve_3d(np.ones((3, 3, 3)), np.ones((3, 3, 3)), iterations=1)
    assert out_psi.shape == (3, 3, 3)


@pytest.mark.parametrize("site", ["field_psi", "field_tau", "field_phi", "field_bc"])
def test_grid_allocation_failure(hxm, fail_allocation, site):
    fail_allocation(site)
    with pytest.raises(MemoryError, match="^HXM grid allocation failed$"):
        hxm.hxm_solve_3d(np.ones((3, 3, 3)), np.ones((3, 3, 3)), np.ones(2), np.ones(2))


def test_history_allocation_failure(hxm, fail_allocation):
    fail_allocation("field_history")
    with pytest.raises(MemoryError, match="^HXM history allocation failed$"):
        hxm.hxm_solve_3d(np.ones((3, 3, 3)), np.ones((3, 3, 3)), return_history=True)


def test_scratch_failure_returns_input_fields(hxm, fail_allocation):
    rng = np.random.default_rng(4)
    psi, tau = 1e32 * rng.uniform(0.9, 1.1, (5, 5, 5)), rng.uniform(0, 1, (5, 5, 5))
    fail_allocation("field_scratch")
    out_psi, out_tau, h = hxm.hxm_solve_3d(psi, tau, return_history=True)
    assert np.array_equal(out_psi, psi) and np.array_equal(out_tau, tau)
    assert h["iterations_completed"] == 0 and h["max_delta"].tolist() == [0.0] * 50


def test_no_native_memory_is_kept(hxm, fail_allocation, native_heap):
    grid = np.ones((24, 24, 24))
    calls = [("", dict(return_history=True)), ("", dict(phi_ext=np.ones(3))),
             ("field_bc", dict(bc_type=grid)), ("field_history", dict(return_history=True)),
             ("field_scratch", dict(return_history=True))]
    for site, kwargs in calls:
        fail_allocation(site)
        for _ in range(3):
            try:
                hxm.hxm_solve_3d(grid, grid, iterations=2, **kwargs)
            except (IndexError, MemoryError):
                pass
        before = native_heap()
        for _ in range(40):
            try:
                hxm.hxm_solve_3d(grid, grid, iterations=2, **kwargs)
            except (IndexError, MemoryError):
                pass
        assert native_heap() - before < 1_000_000, site


def test_inputs_unmodified_and_threads_agree(hxm):
    rng = np.random.default_rng(5)
    cases = [(1e32 * rng.uniform(0.9, 1.1, (24, 24, 24)), rng.uniform(0, 1, (24, 24, 24)))
             for _ in range(2)]
    copies = [(p.copy(), t.copy()) for p, t in cases]
    expected = [hxm.hxm_solve_3d(p, t, iterations=60, convergence_tol=0.0) for p, t in cases]
    results = [None, None]

    def run(i):
        results[i] = hxm.hxm_solve_3d(*cases[i], iterations=60, convergence_tol=0.0)

    threads = [threading.Thread(target=run, args=(i,)) for i in range(2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for (psi, tau, _), (e_psi, e_tau, _) in zip(results, expected):
        assert_bitwise_equal(psi, e_psi)
        assert_bitwise_equal(tau, e_tau)
    assert all(np.array_equal(a, b) for pair, orig in zip(cases, copies) for a, b in zip(pair, orig))
