"""Chip workflow numerics on the conduction engine: the same discretisation
solved directly by SciPy, closed-form columns (thin active layers on
insulated faces, a convective face), the decay of a sine mode, transient
consistency, k(T), threads and executors."""
import math
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest

from conduction_reference import conductance_matrix, direct_steady, direct_step
from tavro_kiln.chip import (Block, ChipModel, ChipSolveError, Layer, Stack, build_grid, run_many,
                             steady_state, transient)
from tavro_kiln.chip._conduction import Engine
from tavro_kiln.core import thermal_conductivity

NO_MATERIAL = 0xFFFF
TABLE = np.array([[148.0, 148.0, 148.0, 1.65e6], [400.0, 400.0, 400.0, 3.45e6],
                  [4.0, 4.0, 4.0, 2.5e6], [1.0, 2.0, 30.0, 1.0e6]])  # the last is anisotropic


def random_model(seed):
    """A small model with uneven spacing, mixed and anisotropic materials,
    cells without material above a smaller footprint, and every kind of face."""
    rng = np.random.default_rng(seed)
    nx, ny, nz = rng.integers(2, 8, 3)
    edges = [np.concatenate([[0.0], np.cumsum(rng.uniform(lo, 2.0, n))]) * 1e-3
             for n, lo in ((nx, 0.3), (ny, 0.3), (nz, 0.001))]
    material = rng.integers(0, len(TABLE), (nx, ny, nz)).astype(np.uint16)
    material[: nx // 2, :, -1] = NO_MATERIAL
    faces = []
    for face in range(6):
        size = (ny * nz, nx * nz, nx * ny)[face // 2]
        h = (np.zeros(size), rng.uniform(0, 5e3, size), np.full(size, np.inf))[face % 3]
        faces.append((h, rng.uniform(290.0, 330.0, size)))
    present = np.flatnonzero(material.ravel() != NO_MATERIAL)
    cells = rng.choice(present, 12).astype(np.int64)
    blocks = (np.arange(12) % 3).astype(np.int32)
    weights = np.array([1.0 / np.sum(blocks == b) for b in blocks])
    engine = Engine(*edges, material, TABLE, np.zeros(len(TABLE), bool), faces, cells, blocks, weights, 3)
    A, boundary, capacity = conductance_matrix(*edges, material, TABLE, faces)
    return engine, (nx, ny, nz), material, A, boundary, capacity, (cells, blocks, weights)


@pytest.mark.parametrize("seed", range(6))
def test_engine_matches_a_direct_sparse_solve(seed):
    engine, shape, material, A, boundary, capacity, (cells, blocks, weights) = random_model(seed)
    watts = np.array([2.0, 0.5, 7.0])
    power = np.zeros(A.shape[0])
    np.add.at(power, cells, weights * watts[blocks])
    present = material.ravel() != NO_MATERIAL
    tight = dict(tol_kelvin=1e-12, tol_watts=1e-13)

    T = np.full(shape, np.nan)
    assert engine.steady(watts, T, **tight)["status"] == "ok"
    exact = direct_steady(A, boundary, power)
    assert np.abs(T.ravel()[present] - exact[present]).max() < 1e-9 * np.abs(exact).max()
    assert np.isnan(T.ravel()[~present]).all()

    start = np.random.default_rng(seed).uniform(290.0, 340.0, shape)
    for dt in (1e-4, 3.0):
        T = start.copy()
        engine.step(watts, T, dt, scheme="euler", **tight)
        exact = direct_step(A, boundary, capacity, power, np.where(present, start.ravel(), 0.0), dt)
        assert np.abs(T.ravel()[present] - exact[present]).max() < 1e-9 * np.abs(exact).max()


def one_block_stack(active_thickness, sink=1000.0, die=10e-3, cells=4, ambient=300.0):
    layers = [Layer("active", "silicon", active_thickness, cells, True), Layer("base", "copper", 1e-3, 4)]
    return Stack(layers=layers, ambient=ambient, sink_conductance=sink, nx=4, ny=4), \
        [Block("die", die, die, 0.0, 0.0)]


@pytest.mark.parametrize("active_thickness", [300e-6, 1e-6, 0.5e-6])
def test_uniform_die_column_is_series_resistances_with_insulated_faces(active_thickness):
    """1 W over a 10 x 10 mm die: the sink drops 10 K, the copper 0.025 K,
    and the active layer's parabola the rest; nothing leaves but the top."""
    stack, blocks = one_block_stack(active_thickness)
    run = steady_state(stack, blocks, [1.0], tol=1e-12, tol_watts=1e-12)
    k_si = thermal_conductivity(300.0)
    area = 1e-4
    top = 300.0 + 1.0 / (1000.0 * area)
    copper_bottom = top + 1e-3 / (400.0 * area)
    z = (run.grid.z_edges[:-1] + run.grid.z_edges[1:]) / 2
    in_copper = z > active_thickness
    expected = np.where(in_copper, top + (1e-3 + active_thickness - z) / (400.0 * area),
                        copper_bottom + (active_thickness ** 2 - z ** 2) / (2 * k_si * area * active_thickness))
    # Exact in the copper; in the heated layer to its cells' error, q dz^2 / (8 k) at most.
    dz = active_thickness / 4
    assert np.abs(run.temperature - expected)[:, :, in_copper].max() < 1e-9
    assert np.abs(run.temperature - expected).max() < dz / (8 * k_si * area * active_thickness) * dz + 1e-9
    assert run.heat_out_W == pytest.approx(1.0, rel=1e-9)
    peak = copper_bottom + active_thickness / (2 * k_si * area)  # at the insulated bottom face
    assert run.temperature.max() == pytest.approx(peak, abs=active_thickness / (k_si * area) / 8)
    if active_thickness == 1e-6:
        assert f"{run.temperature.max():.3f}" == "310.025"


def test_grid_layout_and_sources():
    stack, _ = one_block_stack(200e-6)
    stack.sink_conductance, stack.sink_resistance = None, 2.0
    blocks = [Block("left", 4e-3, 2e-3, 0.0, 0.0), Block("right", 3.3e-3, 1.7e-3, 5e-3, 8e-3)]
    stack.die_width = stack.die_height = 10e-3
    grid = build_grid(stack, blocks)
    assert grid.shape == (4, 4, 8) and grid.active == slice(0, 4)
    cell, block, weight = grid.sources()
    assert np.bincount(block, weight) == pytest.approx([1.0, 1.0])
    assert (cell % 8 < 4).all()  # only the active layer is heated
    volume = np.multiply.outer(np.multiply.outer(grid.widths(0), grid.widths(1)), grid.widths(2))
    assert (grid.power_density([3.0, 1.5]) * volume).sum() == pytest.approx(4.5)
    h, ambient = grid.faces[5]
    assert h == pytest.approx(1.0 / (2.0 * 1e-4)) and grid.faces[:5] == [None] * 5


def sine_mode_error(cells, steps, scheme="tr-bdf2", length=1e-3, amplitude=10.0):
    """Largest error after the lowest mode of a slab held at 300 K on both
    faces has decayed to about a third, against T = A sin(pi z / L) e^(-alpha pi^2 t / L^2)."""
    k, rho_c = 100.0, 1.0e6
    edges = np.linspace(0.0, length, cells + 1)
    z = (edges[:-1] + edges[1:]) / 2
    faces = [None] * 4 + [(np.array([np.inf]), np.array([300.0]))] * 2
    engine = Engine([0.0, 1e-3], [0.0, 1e-3], edges, np.zeros((1, 1, cells), np.uint16),
                    np.array([[k, k, k, rho_c]]), np.zeros(1, bool), faces,
                    np.zeros(0, np.int64), np.zeros(0, np.int32), np.zeros(0), 0)
    rate = k / rho_c * math.pi ** 2 / length ** 2
    t_end = 1.0 / rate
    T = (300.0 + amplitude * np.sin(math.pi * z / length)).reshape(1, 1, cells)
    engine.step(np.zeros(0), T, t_end / steps, steps=steps, scheme=scheme, tol_kelvin=1e-12)
    exact = 300.0 + amplitude * np.sin(math.pi * z / length) * math.exp(-rate * t_end)
    return np.abs(T.ravel() - exact).max()


def test_sine_mode_converges_at_second_order_in_time_and_space():
    # Time: fine cells, the step halved; backward Euler is first order.
    tr = [sine_mode_error(400, n) for n in (4, 8, 16)]
    euler = [sine_mode_error(400, n, "euler") for n in (8, 16)]
    assert all(3.5 < a / b < 4.5 for a, b in zip(tr, tr[1:]))
    assert 1.8 < euler[0] / euler[1] < 2.2
    # Space: small steps, the cells halved.
    space = [sine_mode_error(n, 400) for n in (10, 20)]
    assert 3.5 < space[0] / space[1] < 4.5


def small_stack(**changes):
    layers = [Layer("die", "silicon", 200e-6, 2, True), Layer("tim", "tim", 30e-6),
              Layer("spreader", "copper", 400e-6)]
    return Stack(layers=layers, ambient=310.0, nx=8, ny=4, **changes)


BLOCKS = [Block("left", 2e-3, 1e-3, 0.0, 0.0), Block("right", 1.5e-3, 1e-3, 2.5e-3, 0.0)]


def test_transients_hold_a_steady_state_reach_one_and_match_stepping_by_hand():
    stack = small_stack(sink_conductance=5e4)
    start = steady_state(stack, BLOCKS, [3.0, 1.5], tol=1e-12)
    for scheme in ("tr-bdf2", "euler"):
        held = transient(stack, BLOCKS, [[3.0, 1.5]], 0.5, start=start.temperature, scheme=scheme, tol=1e-12)
        assert np.abs(held.temperature - start.temperature).max() < 1e-9
    hotter = steady_state(stack, BLOCKS, [6.0, 1.5], tol=1e-12)
    reached = transient(stack, BLOCKS, [[6.0, 1.5]] * 3, 100.0, start=start.temperature, scheme="euler",
                        tol=1e-12)
    assert np.abs(reached.temperature - hotter.temperature).max() < 1e-8
    # The step-by-step object does what a transient run does.
    trace = [[3.0, 1.5], [6.0, 1.5], [0.0, 0.0]]
    run = transient(stack, BLOCKS, trace, 1e-3, dt=4e-4)
    model = ChipModel(stack, BLOCKS)
    for row in trace:
        model.step(row, 1e-3 / 3, steps=3)
    assert run.steps == 9 and np.array_equal(model.temperature, run.temperature)
    peak, mean = model.block_temperatures()
    assert (peak >= mean).all() and peak.shape == (2,)


def test_temperature_dependent_silicon_and_where_it_stops_being_physical():
    stack = small_stack(sink_conductance=5e4)
    constant = steady_state(stack, BLOCKS, [3.0, 1.5], tol=1e-10)
    varying = steady_state(stack, BLOCKS, [3.0, 1.5], tol=1e-10, temperature_dependent=True)
    assert constant.converged and varying.converged
    assert varying.heat_out_W == pytest.approx(4.5, rel=1e-8)
    # Silicon conducts less when hotter (ambient 310 K > 300 K), so the die runs hotter.
    assert varying.temperature.max() > constant.temperature.max() + 1e-4
    with pytest.raises(ChipSolveError, match=r"not physical at \d+\.\d K in layer 'die'"):
        steady_state(small_stack(sink_conductance=10.0), BLOCKS, [3e3, 0.0], temperature_dependent=True)


def test_results_do_not_depend_on_threads_or_executors():
    stack = small_stack()
    stack.nx, stack.ny = 24, 12
    one = [steady_state(stack, BLOCKS, [3.0, 1.5], threads=t).temperature for t in (1, 2, 3)]
    assert np.array_equal(one[0], one[1]) and np.array_equal(one[0], one[2])
    steps = [transient(stack, BLOCKS, [[3.0, 1.5]], 1e-2, threads=t).temperature for t in (1, 2)]
    assert np.array_equal(steps[0], steps[1])
    configs = [dict(stack=small_stack(), blocks=BLOCKS, watts=[w, 1.0], tol=1e-7) for w in (1.0, 4.0)]
    single = [steady_state(**c).temperature for c in configs]
    pooled = run_many(configs, max_workers=2)
    with ThreadPoolExecutor(2) as executor:
        submitted = run_many([dict(c, kind="steady") for c in configs], executor=executor)
    for a, b, c in zip(single, pooled, submitted):
        assert np.array_equal(a, b.temperature) and np.array_equal(a, c.temperature)
    with pytest.raises(ValueError, match="unknown kind"):
        run_many([dict(configs[0], kind="sideways")])


@pytest.mark.parametrize("call, words", [
    (lambda: steady_state(small_stack(), BLOCKS, [1.0]), "1 powers for 2 blocks"),
    (lambda: steady_state(small_stack(), BLOCKS, [1.0, 2.0, 3.0]), "3 powers for 2 blocks"),
    (lambda: transient(small_stack(), BLOCKS, [[1.0, 2.0, 3.0]], 1e-3), "3 powers for 2 blocks"),
    (lambda: transient(small_stack(), BLOCKS, [1.0, 2.0], 1e-3), "one row of block powers per interval"),
    (lambda: steady_state(small_stack(), BLOCKS, [np.nan, 1.0]), "finite"),
    (lambda: ChipModel(small_stack(), BLOCKS).step([1.0, 1.0], 0.0), "positive number of seconds"),
    (lambda: ChipModel(small_stack(), BLOCKS).step([1.0, 1.0], 1.0, scheme="rk4"), "scheme"),
])
def test_mismatched_or_bad_powers_and_steps_raise(call, words):
    with pytest.raises(ValueError, match=words):
        call()


def test_a_rise_too_large_to_represent_is_refused():
    with pytest.raises(ChipSolveError, match="too high"):
        steady_state(small_stack(), BLOCKS, [1e300, 1e300])


@pytest.mark.parametrize("conductance", [1e3, 1e16, 1e20, math.inf])
def test_heat_balance_holds_up_to_an_ideal_sink(conductance):
    run = steady_state(small_stack(sink_conductance=conductance), BLOCKS, [2.0, 1.0])
    assert run.converged and run.heat_out_W == pytest.approx(3.0, rel=1e-9)
