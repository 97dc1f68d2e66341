"""tcad_solve_3d: results against the NumPy reference, input layouts and
dtypes, the run dict, and concurrency."""
import threading

import numpy as np
import pytest

from heat_reference import reference_solve
from support import assert_bitwise_equal


def random_case(rng):
    shape = tuple(int(rng.choice([0, 1, 2, 3, 4, 5, 7, 9])) for _ in range(3))
    if rng.random() < 0.6:
        shape = tuple(int(rng.integers(3, 9)) for _ in range(3))
    T = rng.uniform(250.0, 450.0, shape)
    case = dict(
        T_init=T,
        Q_heat=rng.uniform(-1e3, 1e3, shape) if rng.random() < 0.7 else None,
        bc_type=rng.choice([-1, 0, 0, 0, 1, 2, 3], shape).astype(np.int32) if rng.random() < 0.7 else None,
        k_thermal=rng.uniform(1.0, 400.0, shape) if rng.random() < 0.5 else float(rng.uniform(1, 400)),
        cp=rng.uniform(100.0, 1000.0, shape) if rng.random() < 0.5 else float(rng.uniform(100, 1000)),
        dx=float(rng.uniform(2e-4, 2e-3)),
        dy=float(rng.uniform(2e-4, 2e-3)),
        dz=float(rng.uniform(2e-4, 2e-3)),
        dt=float(rng.uniform(1e-8, 2e-6)),
        iterations=int(rng.integers(0, 40)),
        return_history=True,
        history_stride=int(rng.integers(1, 8)),
        convergence_tol=float(rng.choice([0.0, -1.0, 1e-4, 1e-2, 1.0])),
    )
    if rng.random() < 0.1 and T.size:
        T.flat[int(rng.integers(T.size))] = np.nan
    return case


def run_reference(case):
    shape = case["T_init"].shape
    Q = case["Q_heat"] if case["Q_heat"] is not None else 0.0
    bc = case["bc_type"] if case["bc_type"] is not None else np.zeros(shape, np.int32)
    k = case["k_thermal"] if case["k_thermal"] is not None else 148.0
    cp = case["cp"] if case["cp"] is not None else 710.0
    return reference_solve(case["T_init"], k, cp, Q, bc, case["dx"], case["dy"], case["dz"],
                           case["dt"], case["iterations"], case["history_stride"],
                           case["convergence_tol"])


def check_against_reference(case):
    field, info = pytest.importorskip("tavro_kiln.core._tavro_core").tcad_solve_3d(**case)
    T, samples, (early, completed, delta) = run_reference(case)
    assert_bitwise_equal(field, T)
    assert field.flags.c_contiguous and field.shape == case["T_init"].shape[:3]
    assert list(info) == ["steps", "T_max", "T_min", "early_exit_step", "iterations_completed", "max_delta"]
    assert info["steps"].dtype == np.asarray(0).dtype
    assert np.array_equal(info["steps"], samples[:, 0].astype(int))
    assert_bitwise_equal(info["T_max"], samples[:, 1])
    assert_bitwise_equal(info["T_min"], samples[:, 2])
    assert (info["early_exit_step"], info["iterations_completed"]) == (early, completed)
    assert type(info["early_exit_step"]) is int and type(info["iterations_completed"]) is int
    assert type(info["max_delta"]) is float
    assert np.float64(info["max_delta"]).tobytes() == np.float64(delta).tobytes()


def test_random_grids_match_reference_bit_for_bit():
    rng = np.random.default_rng(20261207)
    for _ in range(150):
        check_against_reference(random_case(rng))


def test_worked_example(core):
    T = np.full((3, 3, 3), 300.0)
    T[1, 1, 1] = 400.0
    field, info = core.tcad_solve_3d(T, iterations=1, return_history=True)
    assert field[1, 1, 1] == 399.9462986592807
    assert np.count_nonzero(field == 300.0) == 26
    assert info["T_max"][0] == 399.9462986592807 and info["T_min"][0] == 300.0
    assert info["max_delta"] == 0.053701340719271684


def test_defaults(core):
    rng = np.random.default_rng(1)
    T = rng.uniform(290, 310, (5, 6, 7))
    field, info = core.tcad_solve_3d(T)
    assert info is None
    expected, _, _ = reference_solve(T, 148.0, 710.0, 0.0, np.zeros(T.shape), 0.001, 0.001, 0.001,
                                     1e-6, 100)
    assert_bitwise_equal(field, expected)


def test_history_layout(core):
    T = np.random.default_rng(2).uniform(0, 1, (4, 4, 4))
    _, info = core.tcad_solve_3d(T, iterations=10, history_stride=4, return_history=True)
    assert info["steps"].tolist() == [0, 4, 8]
    # The two extremes are strided views of one sample array.
    assert info["T_max"].base is info["T_min"].base is not None
    assert info["T_max"].strides == (24,)
    _, info = core.tcad_solve_3d(T, iterations=3, history_stride=100, return_history=True)
    assert info["steps"].tolist() == [0]
    _, info = core.tcad_solve_3d(T, iterations=0, return_history=True)
    assert [len(info[k]) for k in ("steps", "T_max", "T_min")] == [0, 0, 0]
    assert (info["early_exit_step"], info["iterations_completed"], info["max_delta"]) == (-1, 0, 0.0)


def test_early_exit_keeps_full_length_with_zeros_after_last_sample(core):
    T = np.full((3, 3, 3), 300.0)
    _, info = core.tcad_solve_3d(T, iterations=20, history_stride=3, return_history=True,
                                 convergence_tol=1e-9)
    assert (info["early_exit_step"], info["iterations_completed"]) == (0, 1)
    assert len(info["steps"]) == 7
    assert info["T_max"][1:].tolist() == [0.0] * 6 and info["steps"][1:].tolist() == [0] * 6
    field, info = core.tcad_solve_3d(T, iterations=20, convergence_tol=1e-9)
    assert info is None


def test_iterations_zero_returns_copy_of_initial_field(core):
    T = np.arange(60, dtype=np.int64).reshape(3, 4, 5)
    field, info = core.tcad_solve_3d(T, iterations=0)
    assert field.dtype == np.float64 and np.array_equal(field, T) and info is None
    field, _ = core.tcad_solve_3d(T, iterations=-7)
    assert np.array_equal(field, T)


def layouts(base):
    """The same logical values in different memory layouts."""
    yield "C", base.copy()
    yield "Fortran", np.asfortranarray(base)
    big = np.zeros(tuple(2 * n for n in base.shape), base.dtype)
    big[1::2, ::2, 1::2] = base
    yield "strided view", big[1::2, ::2, 1::2]
    yield "reversed view", base[::-1, ::-1, ::-1].copy()[::-1, ::-1, ::-1]
    yield "byte-swapped", base.astype(base.dtype.newbyteorder())
    yield "transposed copy", np.ascontiguousarray(base.transpose(2, 1, 0)).transpose(2, 1, 0)


def test_input_layouts_give_identical_results(core):
    rng = np.random.default_rng(3)
    shape = (6, 5, 7)
    T, k, cp, Q = (rng.uniform(lo, hi, shape) for lo, hi in
                   ((250, 400), (10, 300), (300, 900), (-1e3, 1e3)))
    bc = rng.choice([0, 0, 1, 2, 3], shape).astype(np.int64)
    expected = core.tcad_solve_3d(T, Q, bc, k, cp, iterations=15)[0]
    for arrays in zip(*(layouts(a) for a in (T, Q, bc, k, cp))):
        names = {name for name, _ in arrays}
        field, _ = core.tcad_solve_3d(*(a for _, a in arrays), iterations=15)
        assert_bitwise_equal(field, expected), names


def test_leading_elements_of_larger_arrays_are_used(core):
    rng = np.random.default_rng(4)
    T4 = rng.uniform(250, 400, (4, 5, 6, 3))
    cells = 4 * 5 * 6
    T = T4.ravel()[:cells].reshape(4, 5, 6)
    Q = rng.uniform(-10, 10, cells + 17)
    k = rng.uniform(10, 300, (5, 6, 7))
    bc = rng.choice([0, 1], (2, cells))
    field, _ = core.tcad_solve_3d(T4, Q, bc, k, iterations=5)
    expected, _, _ = reference_solve(T, k.ravel()[:cells].reshape(T.shape), 710.0,
                                     Q[:cells].reshape(T.shape), bc.ravel()[:cells].reshape(T.shape),
                                     0.001, 0.001, 0.001, 1e-6, 5)
    assert field.shape == (4, 5, 6)
    assert_bitwise_equal(field, expected)
    # Fortran-ordered and sliced larger arrays: still row-major leading elements.
    k_f = np.asfortranarray(k)[:, ::-1]
    field, _ = core.tcad_solve_3d(T, k_thermal=k_f, iterations=5)
    expected, _, _ = reference_solve(T, k_f.ravel()[:cells].reshape(T.shape), 710.0, 0.0,
                                     np.zeros(T.shape), 0.001, 0.001, 0.001, 1e-6, 5)
    assert_bitwise_equal(field, expected)


@pytest.mark.parametrize("dtype", [np.int8, np.uint16, np.int32, np.int64, np.uint64, np.float16,
                                   np.float32, np.float64, np.longdouble, bool, object])
def test_dtypes_convert_like_elementwise_float(core, dtype):
    rng = np.random.default_rng(5)
    values = rng.integers(0, 100, (4, 5, 3)).astype(dtype)
    field, _ = core.tcad_solve_3d(values, values, values, values, np.full(values.shape, 500, dtype=object),
                                  iterations=3)
    as_float = np.array([float(v) for v in values.flat]).reshape(values.shape)
    bc = np.array([int(v) for v in values.flat]).reshape(values.shape)
    with np.errstate(all="ignore"):
        expected, _, _ = reference_solve(as_float, as_float, 500.0, as_float, bc, 0.001, 0.001,
                                         0.001, 1e-6, 3)
    assert_bitwise_equal(field, expected)


def test_bc_codes_truncate_toward_zero(core):
    T = np.full((3, 3, 3), 300.0)
    T[1, 1, 1] = 400.0
    moved = {}
    for code in (1.9, 2.5, 0.7, -0.9, 3.2, np.float32(1.5), np.float16(2.9)):
        bc = np.zeros((3, 3, 3), dtype=type(code) if not isinstance(code, float) else float)
        bc[1, 1, 1] = code
        moved[float(code)] = core.tcad_solve_3d(T, bc_type=bc, iterations=1)[0][1, 1, 1] != 400.0
    assert moved == {1.9: False, 2.5: False, 0.7: True, -0.9: True, 3.2: True,
                     1.5: False, float(np.float16(2.9)): False}


@pytest.mark.parametrize("k", [150, 150.0, np.float64(150.0), True, [[[150.0] * 3] * 3] * 3])
def test_scalar_and_nested_list_materials(core, k):
    T = np.random.default_rng(6).uniform(250, 350, (3, 3, 3))
    expected = core.tcad_solve_3d(T, k_thermal=np.full((3, 3, 3), float(np.asarray(k).flat[0])),
                                  iterations=4)[0]
    assert_bitwise_equal(core.tcad_solve_3d(T, k_thermal=k, iterations=4)[0], expected)


def test_objects_with_shape_and_flat_are_accepted(core):
    class GridLike:
        def __init__(self, array):
            self.shape = list(array.shape)
            self.flat = list(array.ravel())

    T = np.random.default_rng(7).uniform(250, 350, (4, 3, 5))
    expected = core.tcad_solve_3d(T, T, iterations=3)[0]
    assert_bitwise_equal(core.tcad_solve_3d(GridLike(T), GridLike(T), iterations=3)[0], expected)


def test_inputs_are_never_modified(core):
    rng = np.random.default_rng(8)
    arrays = [rng.uniform(1, 500, (5, 5, 5)) for _ in range(4)] + [np.zeros((5, 5, 5), np.int32)]
    copies = [a.copy() for a in arrays]
    for a in arrays:
        a.flags.writeable = False
    core.tcad_solve_3d(*arrays, iterations=5, return_history=True)
    assert all(np.array_equal(a, c) for a, c in zip(arrays, copies))


def test_two_threads_match_sequential_runs_while_python_keeps_running(core):
    rng = np.random.default_rng(9)
    cases = [rng.uniform(250, 400, (40, 40, 40)) for _ in range(2)]
    expected = [core.tcad_solve_3d(T, iterations=150, return_history=True) for T in cases]
    results, ticks, done = [None, None], [0], threading.Event()

    def tick():
        while not done.is_set():
            ticks[0] += 1

    def solve(i):
        results[i] = core.tcad_solve_3d(cases[i], iterations=150, return_history=True)

    ticker = threading.Thread(target=tick)
    ticker.start()
    workers = [threading.Thread(target=solve, args=(i,)) for i in range(2)]
    start = ticks[0]
    for w in workers:
        w.start()
    for w in workers:
        w.join()
    done.set()
    ticker.join()
    assert ticks[0] > start  # the interpreter ran other Python code meanwhile
    for (field, info), (exp_field, exp_info) in zip(results, expected):
        assert_bitwise_equal(field, exp_field)
        assert_bitwise_equal(info["T_max"], exp_info["T_max"])
        assert info["max_delta"] == exp_info["max_delta"]


def test_ndarray_subclasses_read_through_their_own_flat(core, tmp_path):
    rng = np.random.default_rng(10)
    T = rng.uniform(250, 350, (5, 4, 6))
    mapped = np.memmap(tmp_path / "T.bin", dtype=np.float64, mode="w+", shape=T.shape)
    mapped[:] = T
    expected = core.tcad_solve_3d(T, iterations=4)[0]
    assert_bitwise_equal(core.tcad_solve_3d(mapped, iterations=4)[0], expected)
    # A masked array brings its own `flat`, read element by element.
    masked = np.ma.masked_array(T, mask=np.zeros(T.shape, bool))
    assert_bitwise_equal(core.tcad_solve_3d(masked, iterations=4)[0], expected)


def test_unreached_history_slots_are_zero_and_cheap(core):
    T = np.full((3, 3, 3), 300.0)
    # Ten million slots are requested, but only the first is ever written.
    _, info = core.tcad_solve_3d(T, iterations=10_000_000, return_history=True,
                                 convergence_tol=1.0)
    assert info["iterations_completed"] == 1
    assert info["T_max"][0] == 300.0 and info["T_max"][1:1000].max() == 0.0
    assert len(info["T_min"]) == 10_000_000


def test_array_likes_are_read_the_way_python_reads_them(core):
    class FlatAnswer:
        def __getitem__(self, index):
            return 7.0

    class OwnFlat(np.ndarray):
        def __getattribute__(self, name):
            return FlatAnswer() if name == "flat" else super().__getattribute__(name)

    field, _ = core.tcad_solve_3d(np.zeros((3, 3, 3)).view(OwnFlat), iterations=0)
    assert (field == 7.0).all()

    class MappingShape:
        shape = {0: 2, 1: 3, 2: 4}
        flat = np.arange(24.0).flat

    field, _ = core.tcad_solve_3d(MappingShape(), iterations=0)
    assert field.shape == (2, 3, 4) and field[1, 2, 3] == 23.0


def test_extremes_come_from_the_interior_when_every_face_is_nan(core):
    T = np.full((3, 3, 16), np.nan)
    _, info = core.tcad_solve_3d(T, iterations=1, return_history=True)
    assert (info["T_max"][0], info["T_min"][0]) == (-1e10, 1e10)
    T[1, 1, 1] = 300.0
    bc = np.zeros(T.shape, np.int32)
    bc[1, 1, 1] = 1
    _, info = core.tcad_solve_3d(T, bc_type=bc, iterations=1, return_history=True)
    assert (info["T_max"][0], info["T_min"][0]) == (300.0, 300.0)
