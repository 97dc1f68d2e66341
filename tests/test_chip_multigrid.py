"""The steady state's multigrid: the lagged parts it hands the solver, the
transfers between grids, and the V-cycles against the single-grid
relaxation on small stacks of awkward shapes."""
import numpy as np
import pytest

from tavro_kiln.chip import Block, Layer, Stack, build_grid, steady_state
from tavro_kiln.chip.conduction import correction_heat, couple_faces, face_couplings
from tavro_kiln.chip.outputs.write import heat_out
from tavro_kiln.chip.steady import relax
from tavro_kiln.chip.transfer import axis_transfer, prolong, restrict

LAYERS = [Layer("die", "silicon", 200e-6, 2, True), Layer("tim", "tim", 30e-6),
          Layer("spreader", "copper", 400e-6, 3)]
BLOCKS = [Block("left", 2e-3, 1e-3, 0.0, 0.0), Block("right", 1.5e-3, 1e-3, 2.5e-3, 0.0)]


def stack(nx, ny, **changes):
    return Stack(layers=list(LAYERS), ambient=310.0, nx=nx, ny=ny, **changes)


def test_correction_covers_every_lagged_face():
    model = build_grid(stack(9, 5), BLOCKS, [3.0, 1.5]).model
    faces = couple_faces(model)
    T = 310.0 + np.random.default_rng(0).random(model.shape)
    expected = np.zeros(model.shape)
    free = ~model.held
    for axis, g in enumerate(face_couplings(model)):
        own = faces.own / model.spacing[axis] ** 2
        t, e, f, o = (np.moveaxis(a, axis, 0) for a in (T, expected, free, own))
        g = np.moveaxis(g, axis, 0)
        e[:-1] += np.where(f[:-1], (g - o[:-1]) * (t[1:] - t[:-1]), 0.0)
        e[1:] += np.where(f[1:], (g - o[1:]) * (t[:-1] - t[1:]), 0.0)
    assert np.allclose(correction_heat(faces, T), expected, rtol=1e-12, atol=1e-9 * np.abs(expected).max())


@pytest.mark.parametrize("fine, coarse", [(8, 4), (7, 4), (5, 3), (3, 2), (2, 1), (1, 1)])
def test_restriction_keeps_watts_and_interpolation_keeps_lines(fine, coarse):
    x, y = axis_transfer(fine, coarse), axis_transfer(fine + 1, coarse)
    heat = np.random.default_rng(1).random((fine, fine + 1, 3))
    coarse_heat = restrict(heat, x, y)
    # W per m^3 of cell: a coarse cell is fine/coarse times as wide along each axis.
    assert coarse_heat.sum() * (fine / coarse) * ((fine + 1) / coarse) == pytest.approx(heat.sum(), rel=1e-12)
    width = fine / coarse  # each coarse cell's share of every fine cell, by position
    overlap = np.array([[max(0.0, min(i + 1, (k + 1) * width) - max(i, k * width)) for i in range(fine)]
                        for k in range(coarse)])
    assert np.allclose(restrict(heat, x, axis_transfer(fine + 1, fine + 1)),
                       np.einsum("ki,ijz->kjz", overlap, heat) / width)
    # A line through the coarse centres comes back as the same line, flat beyond them.
    centres = (np.arange(coarse) + 0.5) * width
    line = np.broadcast_to((2.0 * centres + 1.0)[:, None, None], (coarse, 1, 2))
    fine_centres = np.clip(np.arange(fine) + 0.5, centres[0], centres[-1])
    assert np.allclose(prolong(line, x, axis_transfer(1, 1))[:, 0, 0], 2.0 * fine_centres + 1.0)


@pytest.mark.parametrize("nx, ny, changes", [
    (12, 12, {}),
    (37, 9, {}),  # odd sizes, cells four times longer one way
    (10, 6, {"padding_conductivity": 0.0}),
])
def test_cycles_match_the_single_grid_relaxation(nx, ny, changes):
    run = steady_state(stack(nx, ny, **changes), BLOCKS, [3.0, 1.5], tol=1e-9)
    grid = build_grid(stack(nx, ny, **changes), BLOCKS, [3.0, 1.5])
    reference = relax(grid.model, tol=1e-12).temperature
    assert run.converged and run.cycles <= 12
    assert np.abs(run.temperature - reference).max() < 1e-7 * (reference.max() - 310.0)
    assert heat_out(run) == pytest.approx(4.5, rel=1e-6)


def test_weak_heat_sink_converges():
    # Nearly all of the heat's way out is a weak sink and the insulated sides,
    # the mode the coarse grids must get right; the single grid takes minutes.
    run = steady_state(stack(20, 10, sink_conductance=10.0), BLOCKS, [3.0, 1.5], tol=1e-9)
    assert run.converged and run.cycles <= 12
    assert heat_out(run) == pytest.approx(4.5, rel=1e-6)


def test_no_power_stays_at_the_ambient():
    run = steady_state(stack(6, 4), BLOCKS, [0.0, 0.0])
    assert run.converged and np.abs(run.temperature - 310.0).max() < 1e-9
