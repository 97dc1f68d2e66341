"""Known-answer cases for the chip layer: each builds a model, runs it
and returns the largest difference from the analytic solution. The tests
run them small; docs/chip_validation.py runs them as grid sequences."""
import math

import numpy as np

from tavro_kiln.chip.conduction import ConductionModel, couple_faces, heat_into_held
from tavro_kiln.chip.grid import build_grid
from tavro_kiln.chip.inputs.floorplan import Block
from tavro_kiln.chip.inputs.stack import Layer, Stack
from tavro_kiln.chip.simulate import steady_state
from tavro_kiln.chip.steady import relax
from tavro_kiln.chip.transient import advance
from tavro_kiln.core import tcad_solve_3d

SILICON_K, SILICON_RHO_C = 148.0, 2329.0 * 710.0


def cube(n, length, k, rho_c):
    """An n^3 box of one material whose outer cells are held; cell centres
    at i * length / (n - 1), so the held centres sit on the faces."""
    shape = (n, n, n)
    held = np.ones(shape, bool)
    held[1:-1, 1:-1, 1:-1] = False
    h = length / (n - 1)
    conductivity = tuple(np.full(shape, k) for _ in range(3))
    return shape, h, held, conductivity, np.full(shape, rho_c)


def heated_slab_error(n=9, length=1e-3, q=1e12, T0=300.0, tol=1e-10):
    """Uniform heating q (W/m^3) between held faces x = 0 and x = L:
    T = T0 + q x (L - x) / (2 k), the other faces held at that profile.
    Returns (largest error K, largest rise K)."""
    shape, h, held, conductivity, capacity = cube(n, length, SILICON_K, SILICON_RHO_C)
    x = np.arange(n) * h
    exact = np.broadcast_to((T0 + q * x * (length - x) / (2 * SILICON_K))[:, None, None], shape).copy()
    T = np.where(held, exact, T0)
    model = ConductionModel((h, h, h), T, held, conductivity, capacity, np.full(shape, q))
    run = relax(model, tol=tol)
    return float(np.abs(run.temperature - exact).max()), float(exact.max() - T0)


def sine_mode_error(n, length=1e-3, amplitude=10.0, T0=300.0, decay=0.5):
    """Lowest sine mode in a cube with held faces, run explicitly until it
    has decayed to ``decay`` of its amplitude; returns (largest error K,
    steps, time step s) against T0 + A sin sin sin exp(-3 pi^2 alpha t / L^2)."""
    shape, h, held, conductivity, capacity = cube(n, length, SILICON_K, SILICON_RHO_C)
    x = np.arange(n) * h
    s = np.sin(np.pi * x / length)
    mode = s[:, None, None] * s[None, :, None] * s[None, None, :]
    alpha = SILICON_K / SILICON_RHO_C
    rate = 3 * np.pi ** 2 * alpha / length ** 2
    t_end = math.log(1.0 / decay) / rate
    model = ConductionModel((h, h, h), T0 + amplitude * mode, held, conductivity, capacity,
                            np.zeros(shape))
    T, steps, dt = advance(model, model.temperature, t_end)
    exact = T0 + amplitude * mode * math.exp(-rate * t_end)
    return float(np.abs(T - exact).max()), steps, dt


def two_layer_column(cells=20, split=10, dz=1e-5, k_low=148.0, k_high=5.0, T_bottom=300.0,
                     T_top=400.0):
    """1-D column: ``split`` cells of conductivity k_low over the rest at
    k_high, held at T_bottom and T_top beyond the ends (insulated sides)."""
    n = cells + 2
    shape = (3, 3, n)
    held = np.ones(shape, bool)
    held[1, 1, 1:-1] = False
    k = np.zeros(shape)
    k[1, 1, 1:split + 1] = k_low
    k[1, 1, split + 1:-1] = k_high
    kz = k.copy()
    kz[1, 1, 0] = kz[1, 1, -1] = np.inf  # the held values act at the end faces
    T = np.full(shape, T_bottom)
    T[:, :, -1] = T_top
    model = ConductionModel((dz, dz, dz), T, held, (k, k, kz), np.full(shape, SILICON_RHO_C),
                            np.zeros(shape))
    # Series resistances from face to face; cell centres at (i - 1/2) dz.
    z = (np.arange(1, n - 1) - 0.5) * dz
    interface = split * dz
    r_low, r_high = interface / k_low, (cells - split) * dz / k_high
    flux = (T_top - T_bottom) / (r_low + r_high)
    exact = np.where(z < interface, T_bottom + flux * z / k_low,
                     T_bottom + flux * r_low + flux * (z - interface) / k_high)
    return model, exact


def solver_alone(model):
    """Steady state of tcad_solve_3d on its own for two_layer_column: it
    cannot insulate the sides, so they are held at its own 1-D answer (the
    straight line between the ends, whatever the conductivities)."""
    T = model.temperature.copy()
    n = T.shape[2]
    line = T[1, 1, 0] + (T[1, 1, -1] - T[1, 1, 0]) * np.arange(n) / (n - 1)
    T[:, :, :] = line
    k = model.conductivity[0]
    dz = model.spacing[2]
    field, _ = tcad_solve_3d(T, None, model.held.astype(np.int32), np.where(model.held, 1.0, k),
                             SILICON_RHO_C / 2329.0, *model.spacing,
                             dt=0.15 * dz * dz * SILICON_RHO_C / k.max(), iterations=200_000,
                             convergence_tol=1e-13)
    return field[1, 1, 1:-1]


def two_layer_errors(**kwargs):
    """(error of the solver on its own, error with the face correction), K,
    at the steady state of two_layer_column."""
    model, exact = two_layer_column(**kwargs)
    corrected = relax(model, tol=1e-12).temperature
    return (float(np.abs(solver_alone(model) - exact).max()),
            float(np.abs(corrected[1, 1, 1:-1] - exact).max()))


def uniform_die_stack(padding_conductivity, nx=16, sink=5e4):
    """The example's kind of stack with one block covering the die."""
    layers = [Layer("die", "silicon", 300e-6, 4, True), Layer("tim", "tim", 25e-6),
              Layer("spreader", "copper", 1e-3)]
    return Stack(layers=layers, sink_conductance=sink, padding_conductivity=padding_conductivity,
                 nx=nx, ny=nx), [Block("die", 8e-3, 8e-3, 0.0, 0.0)]


def one_dimensional_answer(grid, stack, watts):
    """Cell-centre temperatures of the die, TIM and spreader when no heat
    leaves through the sides or the bottom: the active layer's uniform
    source gives a parabola over it, the layers above carry all the heat in
    series, and the sink drops P / (h A)."""
    area = grid.die_width * grid.die_height
    flux = watts / area
    edges = [0.0]
    profile = []
    for layer, _, _ in grid.layers:
        edges.append(edges[-1] + layer.thickness)
    surface = stack.ambient + flux / stack.sink_conductance  # the spreader's top face
    for (layer, zs, _), bottom, upper in zip(grid.layers, edges[:-1], edges[1:]):
        material = stack.materials[layer.material]
        k = material.conductivity(stack.ambient) if callable(material.conductivity) else material.conductivity
        count = zs.stop - zs.start
        centres = bottom + (np.arange(count) + 0.5) * layer.thickness / count
        profile.append((layer, k, bottom, upper, centres))
    # Walk down from the top: T at each layer's upper face, then inside.
    temperatures = {}
    T_face = surface
    for layer, k, bottom, upper, centres in reversed(profile):
        if layer.active:
            q = flux / (upper - bottom)
            # Heat through height z above the bottom is q z (no heat leaves below).
            T = T_face + q * ((upper - bottom) ** 2 - (centres - bottom) ** 2) / (2 * k)
            T_face = T_face + q * (upper - bottom) ** 2 / (2 * k)
        else:
            T = T_face + flux * (upper - centres) / k
            T_face = T_face + flux * (upper - bottom) / k
        temperatures[layer.name] = T
    return temperatures


def padding_errors(padding_conductivity, nx=16, watts=30.0, tol=1e-9):
    """Steady die-stack temperatures with insulation of the given
    conductivity: (largest difference from the same grid with perfect
    insulation K, share of the power leaving through the padding,
    largest difference of the perfectly insulated grid from the 1-D answer K)."""
    results = []
    for k_pad in (padding_conductivity, 0.0):
        stack, blocks = uniform_die_stack(k_pad, nx)
        run = steady_state(stack, blocks, [watts], tol=tol)
        results.append(run)
    padded, insulated = results
    grid = insulated.grid
    leak = heat_into_held(padded.grid.model, padded.temperature)
    leak[:, :, -1] = 0.0  # the ambient plane above the sink is the way out, not a leak
    volume = float(np.prod(grid.model.spacing))
    expected = one_dimensional_answer(grid, uniform_die_stack(0.0, nx)[0], watts)
    column = insulated.temperature[1:-1, 1:-1, :]
    worst = 0.0
    for layer, zs, _ in grid.layers:
        worst = max(worst, float(np.abs(column[:, :, zs] - expected[layer.name]).max()))
    difference = float(np.abs(padded.temperature - insulated.temperature)[~grid.model.held].max())
    return difference, float(leak.sum() * volume / watts), worst


def transient_lag_error(chunk, nx=16, duration=2e-3):
    """Largest difference (K) after ``duration`` of heating the uniform die
    stack from ambient between correcting every ``chunk`` steps and every
    step (the conservative explicit scheme itself)."""
    stack, blocks = uniform_die_stack(1e-3, nx)
    grid = build_grid(stack, blocks, [30.0])
    couple_faces(grid.model)
    T0 = grid.model.temperature
    exact, _, _ = advance(grid.model, T0, duration, chunk=1)
    lagged, steps, dt = advance(grid.model, T0, duration, chunk=chunk)
    return float(np.abs(lagged - exact).max()), float((exact - T0).max()), steps
