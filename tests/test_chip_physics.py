"""Chip workflow numerics: the grid's units, the stability limit, the face
correction at interfaces, and the analytic cases of docs/chip_validation.md
at small sizes."""
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest

from tavro_kiln.chip import (Block, Layer, Stack, build_grid, run_many, stability_limit, steady_state,
                             transient)
from tavro_kiln.chip import validation
from tavro_kiln.chip.conduction import ConductionModel
from tavro_kiln.chip.outputs.write import heat_out
from tavro_kiln.chip.stability import choose_time_step
from tavro_kiln.core import specific_heat, tcad_solve_3d, thermal_conductivity


def small_stack(**changes):
    layers = [Layer("die", "silicon", 200e-6, 2, True), Layer("tim", "tim", 30e-6),
              Layer("spreader", "copper", 400e-6)]
    return Stack(layers=layers, ambient=310.0, nx=8, ny=4, **changes)


BLOCKS = [Block("left", 2e-3, 1e-3, 0.0, 0.0), Block("right", 1.5e-3, 1e-3, 2.5e-3, 0.0)]


def test_grid_units_and_layout():
    stack = small_stack(sink_resistance=2.0)
    grid = build_grid(stack, BLOCKS, [3.0, 1.5])
    m = grid.model
    dx, dy, dz = m.spacing
    assert (dx, dy, dz) == pytest.approx((4e-3 / 8, 1e-3 / 4, 100e-6))
    volume = dx * dy * dz
    assert m.power.sum() * volume == pytest.approx(4.5, rel=1e-12)  # W in, W out
    for b, watts in zip(grid.blocks, [3.0, 1.5]):
        assert m.power[b.i, b.j, grid.active].sum() * volume == pytest.approx(watts, rel=1e-12)
    # Silicon at the ambient from the package's own models; rho*c per grid volume.
    die = (slice(1, -1), slice(1, -1), grid.active)
    assert np.all(m.conductivity[2][die] == thermal_conductivity(310.0))
    assert np.all(m.capacity[die] == 2329.0 * specific_heat(310.0))
    # The TIM is one cell standing for 30 um of a 100 um dz: k*s sideways, k/s across.
    (tim, tim_z, scale), (copper, copper_z, copper_scale) = grid.layers[1], grid.layers[2]
    assert scale == pytest.approx(0.3) and tim_z.stop - tim_z.start == 1
    assert m.conductivity[0][4, 2, tim_z.start] == pytest.approx(4.0 * 0.3)
    assert m.conductivity[2][4, 2, tim_z.start] == pytest.approx(4.0 / 0.3)
    assert m.capacity[4, 2, copper_z.start] == pytest.approx(8960.0 * 385.0 * copper_scale)
    # Heat sink: one cell of conductivity h*dz, h = 1 / (R A), under the held ambient plane.
    h = 1.0 / (2.0 * 4e-3 * 1e-3)
    assert m.conductivity[2][4, 2, grid.sink_z] == pytest.approx(h * dz)
    assert np.all(np.isinf(m.conductivity[2][1:-1, 1:-1, -1]))
    assert np.all(m.held[0]) and np.all(m.held[:, :, 0]) and np.all(m.held[:, :, -1])
    assert not m.held[1:-1, 1:-1, 1:-1].any()
    assert np.all(m.temperature == 310.0)


def uniform_model(shape=(6, 7, 8), spacing=(1e-4, 2e-4, 5e-5), k=148.0, rho_c=1.6e6):
    held = np.ones(shape, bool)
    held[1:-1, 1:-1, 1:-1] = False
    T = np.full(shape, 300.0)
    return ConductionModel(spacing, T, held, tuple(np.full(shape, k) for _ in range(3)),
                           np.full(shape, rho_c), np.zeros(shape))


def test_stability_limit_is_the_explicit_one():
    model = uniform_model()
    dx, dy, dz = model.spacing
    expected = 1.6e6 / (2 * 148.0 * (1 / dx ** 2 + 1 / dy ** 2 + 1 / dz ** 2))
    assert stability_limit(model) == pytest.approx(expected, rel=1e-12)
    assert choose_time_step(model) == pytest.approx(0.9 * expected)
    with pytest.raises(ValueError, match="above the stability limit"):
        choose_time_step(model, 1.01 * expected)
    # Next to a much better conductor a face carries twice the cell's own k.
    model.conductivity[2][:, :, 4:] = 1e6
    model.faces = None
    assert stability_limit(model) < 0.55 * expected
    # The limit is real: a checkerboard decays below it and grows above it (a
    # box of 7 free cells a side is a few per cent more tolerant than the bound).
    shape = (9, 9, 9)
    checker = np.indices(shape).sum(axis=0) % 2 * 1.0
    cube = uniform_model(shape, (1e-4,) * 3)
    limit = stability_limit(cube)
    for factor, grows in ((0.98, False), (1.1, True)):
        out, _ = tcad_solve_3d(300.0 + checker, None, cube.held.astype(np.int32), 148.0, 1.6e6 / 2329.0,
                               1e-4, 1e-4, 1e-4, dt=factor * limit, iterations=400)
        assert (np.abs(out[1:-1, 1:-1, 1:-1] - 300.0).max() > 1.0) == grows


def test_face_correction_gives_series_resistance():
    plain, corrected = validation.two_layer_errors()
    assert plain > 10.0  # the solver alone ignores the conductivity contrast
    assert corrected < 1e-9


def test_steady_heated_slab_matches_the_parabola():
    error, rise = validation.heated_slab_error(n=9)
    assert rise > 100.0 and error < 1e-9 * rise


def test_transient_sine_mode_converges_at_second_order():
    coarse, _, dt_coarse = validation.sine_mode_error(9)
    fine, _, dt_fine = validation.sine_mode_error(17)
    assert dt_fine == pytest.approx(dt_coarse / 4, rel=0.05)  # the step follows h^2
    assert 1.8 < np.log2(coarse / fine) < 2.2


def test_padding_leaks_little_and_the_1d_answer_holds():
    difference, leak, one_dimensional = validation.padding_errors(1e-3, nx=8)
    assert difference < 0.05 and leak < 2e-3 and one_dimensional < 0.02


def test_steady_state_balances_power_and_follows_k_of_t():
    stack = small_stack(sink_conductance=5e4)
    constant = steady_state(stack, BLOCKS, [3.0, 1.5], tol=1e-8)
    varying = steady_state(stack, BLOCKS, [3.0, 1.5], tol=1e-8, temperature_dependent=True)
    for run in (constant, varying):
        assert run.converged and heat_out(run) == pytest.approx(4.5, rel=1e-4)
    # Silicon conducts less when hotter, so the die runs hotter.
    assert varying.temperature.max() > constant.temperature.max() + 1e-3
    hottest = np.unravel_index(np.argmax(varying.temperature), varying.temperature.shape)
    assert varying.grid.model.conductivity[2][hottest] == pytest.approx(
        thermal_conductivity(varying.temperature[hottest]), abs=1e-3)


def test_many_runs_on_any_executor_match_single_runs():
    configs = [dict(stack=small_stack(), blocks=BLOCKS, watts=[w, 1.0], tol=1e-7) for w in (1.0, 4.0)]
    single = [steady_state(**c).temperature for c in configs]
    pooled = run_many(configs, max_workers=2)
    with ThreadPoolExecutor(2) as executor:
        submitted = run_many([dict(c, kind="steady") for c in configs], executor=executor)
    for a, b, c in zip(single, pooled, submitted):
        assert np.array_equal(a, b.temperature) and np.array_equal(a, c.temperature)
    with pytest.raises(ValueError, match="unknown kind"):
        run_many([dict(configs[0], kind="sideways")])


def test_transient_from_a_steady_state_stays_there_and_then_heats():
    stack = small_stack(sink_conductance=5e4)
    start = steady_state(stack, BLOCKS, [3.0, 1.5], tol=1e-10)
    held = transient(stack, BLOCKS, [[3.0, 1.5]], 2e-4, start=start.temperature)
    assert np.abs(held.temperature - start.temperature).max() < 1e-6
    hotter = transient(stack, BLOCKS, [[3.0, 1.5], [6.0, 1.5]], 2e-4, start=start.temperature)
    assert len(hotter.intervals) == 2 and hotter.time_step <= stability_limit(hotter.grid.model)
    left = hotter.grid.blocks[0]
    first, second = (active[left.i, left.j].max() for _, active in hotter.intervals)
    assert second > first + 0.01  # only the doubled block's power changed
