"""tcad_solve_3d's failure paths: what each bad input raises, in which order,
and that every native buffer is released on every exit."""
import gc

import numpy as np
import pytest

GRID = np.full((4, 4, 4), 300.0)


class ShapeOnly:
    """An object whose shape says whatever the test wants."""

    def __init__(self, shape, flat=()):
        self.shape = shape
        self.flat = list(flat)


@pytest.mark.parametrize(
    "kwargs, error, text",
    [
        (dict(dx="1"), TypeError, None),
        (dict(dt=None), TypeError, None),
        (dict(convergence_tol=[1.0]), TypeError, None),
        (dict(iterations=2**31), OverflowError, None),
        (dict(iterations=-(2**31) - 1), OverflowError, None),
        (dict(iterations=float("nan")), ValueError, None),
        (dict(iterations=float("inf")), OverflowError, None),
        (dict(iterations="10"), TypeError, None),
        (dict(history_stride=b"1"), TypeError, None),
        (dict(history_stride=2**40), OverflowError, None),
        (dict(history_stride=0), ValueError, "history_stride"),
        (dict(history_stride=-3), ValueError, "history_stride"),
        (dict(return_history=np.ones(3)), ValueError, None),
        (dict(T_init=[[[1.0]]]), AttributeError, None),
        (dict(T_init=np.zeros((3, 3))), IndexError, None),
        (dict(T_init=ShapeOnly((2**31, 1, 1))), OverflowError, None),
        (dict(T_init=ShapeOnly((65536, 65536, 2))), ValueError, "2147483647"),
        (dict(T_init=ShapeOnly((3, -1, 3))), ValueError, "negative"),
        (dict(k_thermal=np.ones((4, 4))), ValueError, "incorrect number of dimensions: 2; expected 3"),
        (dict(cp=np.array(700.0)), ValueError, "dimensions: 0; expected 3"),
        (dict(cp=np.float32(700.0)), ValueError, "dimensions: 0; expected 3"),
        (dict(k_thermal=np.int64(150)), ValueError, "dimensions: 0; expected 3"),
        (dict(k_thermal="abc"), ValueError, None),
        (dict(k_thermal=10**400), OverflowError, None),
        (dict(Q_heat=[0.0] * 64), AttributeError, None),
        (dict(bc_type=[0] * 64), AttributeError, None),
        (dict(Q_heat=np.zeros(63)), IndexError, None),
        (dict(k_thermal=np.ones((4, 4, 3))), IndexError, None),
        (dict(Q_heat=np.array(["1"] * 64, dtype=object)), TypeError, None),
        (dict(bc_type=np.full(64, np.nan)), ValueError, "NaN"),
        (dict(bc_type=np.full(64, np.inf)), OverflowError, None),
        (dict(bc_type=np.full(64, 2**31)), OverflowError, None),
        (dict(bc_type=np.full(64, 3e9, dtype=np.float32)), OverflowError, None),
        (dict(bc_type=np.array([0] * 63 + [2**40], dtype=object)), OverflowError, None),
        (dict(bc_type=np.array(["1"] * 64, dtype=object)), TypeError, None),
    ],
)
def test_failure_table(core, kwargs, error, text):
    kwargs = {"T_init": GRID, **kwargs}
    with pytest.raises(error) as raised:
        core.tcad_solve_3d(**kwargs)
    if text is not None:
        assert text in str(raised.value)


def test_negative_slot_count_with_history_is_a_history_allocation_failure(core):
    with pytest.raises(MemoryError, match="^Failed to allocate history$"):
        core.tcad_solve_3d(GRID, iterations=-5, return_history=True)
    # Without history the same call simply runs no step.
    assert np.array_equal(core.tcad_solve_3d(GRID, iterations=-5)[0], GRID)
    # A stride wider than the deficit rounds to zero slots: a valid, empty history.
    assert core.tcad_solve_3d(GRID, iterations=-5, history_stride=10, return_history=True)[1]["steps"].size == 0


def test_first_failing_element_wins_in_cell_then_field_order(core):
    T = np.array([300.0] * 64, dtype=object).reshape(4, 4, 4)
    T.flat[10] = "bad"
    Q = np.zeros(64, dtype=object)
    Q[5] = None
    # Q fails at cell 5, before T's failure at cell 10.
    with pytest.raises(TypeError, match="NoneType"):
        core.tcad_solve_3d(T, Q)
    # A list without `flat` fails at cell 0, after T's cell 0 converted.
    with pytest.raises(AttributeError):
        core.tcad_solve_3d(T, [0.0] * 64)
    T.flat[0] = "first"
    with pytest.raises(TypeError, match="str"):
        core.tcad_solve_3d(T, [0.0] * 64)
    # bc_type's out-of-range value at cell 3 precedes a bad T at cell 10.
    bc = np.zeros(64)
    bc[3] = 1e12
    T.flat[0] = 1.0
    with pytest.raises(OverflowError):
        core.tcad_solve_3d(T, bc_type=bc)


@pytest.mark.parametrize("shape", [(0, 4, 4), (4, 0, 4), (4, 4, 0), (65536, 65536, 0),
                                   (65536, 0, 65536, 7)])
def test_zero_cell_grid_reads_no_elements(core, shape):
    T = ShapeOnly(shape)
    field, info = core.tcad_solve_3d(T, Q_heat=[1, 2], bc_type="no flat", iterations=3,
                                     return_history=True)
    assert field.shape == shape[:3] and field.size == 0
    assert info["T_max"].tolist() == [-1e10] * 3 and info["T_min"].tolist() == [1e10] * 3
    # k_thermal is still resolved.
    with pytest.raises(ValueError, match="expected 3"):
        core.tcad_solve_3d(T, k_thermal=np.ones(3))


def test_zero_cell_shape_numpy_cannot_describe_passes_numpy_error(core):
    with pytest.raises(ValueError, match="array is too big"):
        core.tcad_solve_3d(ShapeOnly((0, 2**31 - 1, 2**31 - 1)))


def test_conversions_run_in_parameter_order_before_any_array_work(core):
    with pytest.raises(TypeError):  # dt converts before the missing shape is noticed
        core.tcad_solve_3d(object(), dt="x")
    with pytest.raises(OverflowError):  # iterations before history_stride
        core.tcad_solve_3d(GRID, iterations=2**31, history_stride="x")


@pytest.mark.parametrize("site", ["grid_T", "grid_k", "grid_cp", "grid_Q", "grid_bc"])
def test_grid_allocation_failure(core, fail_allocation, site):
    fail_allocation(site)
    with pytest.raises(MemoryError, match="^Failed to allocate TCAD grid$"):
        # Reported before k is resolved.
        core.tcad_solve_3d(GRID, GRID, GRID, k_thermal=np.ones((2, 2)), cp=GRID)


@pytest.mark.parametrize("site", ["grid_k", "grid_cp", "grid_Q", "grid_bc"])
def test_inputs_given_as_one_value_need_no_buffer(core, fail_allocation, site):
    fail_allocation(site)
    field, _ = core.tcad_solve_3d(GRID, k_thermal=150, cp=np.float64(700.0), iterations=1)
    assert field.shape == GRID.shape


def test_history_allocation_failure(core, fail_allocation):
    fail_allocation("history")
    with pytest.raises(MemoryError, match="^Failed to allocate history$"):
        core.tcad_solve_3d(GRID, return_history=True)
    assert core.tcad_solve_3d(GRID)[1] is None  # not needed, not obtained


def test_scratch_allocation_failure_returns_initial_field(core, fail_allocation):
    T = np.random.default_rng(0).uniform(250, 350, (5, 5, 5))
    fail_allocation("scratch")
    field, info = core.tcad_solve_3d(T, iterations=10, return_history=True)
    assert np.array_equal(field, T)
    assert info["iterations_completed"] == 0 and info["early_exit_step"] == -1
    assert info["T_max"].tolist() == [0.0] * 10


@pytest.mark.parametrize(
    "site, kwargs",
    [
        ("", dict(return_history=True)),
        ("", dict(k_thermal=np.ones((2, 2)))),
        ("", dict(Q_heat=np.array([None] * 32768, dtype=object).reshape(32, 32, 32))),
        ("", dict(bc_type=np.full((32, 32, 32), np.nan))),
        ("grid_T", {}), ("grid_cp", dict(cp=np.ones((32, 32, 32)))),
        ("grid_bc", dict(bc_type=np.zeros((32, 32, 32)))),
        ("history", dict(return_history=True)),
        ("scratch", dict(return_history=True)),
    ],
)
def test_no_native_memory_is_kept(core, fail_allocation, native_heap, site, kwargs):
    fail_allocation(site)
    T = np.full((32, 32, 32), 300.0)  # 1.4 MB of native buffers per call

    def call():
        try:
            core.tcad_solve_3d(T, iterations=2, **kwargs)
        except (ValueError, TypeError, MemoryError):
            pass

    for _ in range(5):
        call()
    gc.collect()
    before = native_heap()
    for _ in range(60):
        call()
    gc.collect()
    assert native_heap() - before < 1_000_000
