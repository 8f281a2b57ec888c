"""The assignment solver must return exactly SciPy's pairs, ties included."""
import math

import numpy as np
import pytest
from scipy.optimize import linear_sum_assignment

from assignment_reference import assign
from vestrim import _core_testing as core


def scipy_pairs(m, maximize):
    rows, cols = linear_sum_assignment(m, maximize=maximize)
    return rows.tolist(), cols.tolist()


def random_matrix(rng, kind, shape):
    if kind == "uniform":
        return rng.random(shape)
    if kind == "ties":
        return rng.integers(0, 4, shape).astype(np.float64)
    if kind == "binary":
        return rng.integers(0, 2, shape).astype(np.float64)
    if kind == "constant":
        return np.full(shape, 1.5)
    if kind == "wide-range":
        return rng.standard_normal(shape) * 10.0 ** rng.integers(-3, 6, shape)
    raise AssertionError(kind)


KINDS = ["uniform", "ties", "binary", "constant", "wide-range"]


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("maximize", [False, True])
def test_agrees_with_scipy_on_random_matrices(kind, maximize):
    rng = np.random.default_rng([KINDS.index(kind), maximize])
    for _ in range(300):
        shape = tuple(rng.integers(1, 25, 2))
        m = random_matrix(rng, kind, shape)
        expected = scipy_pairs(m, maximize)
        assert core.lsap_solve(m, maximize) == expected, m
        # The scalar scan and the vector scan pick the same pairs.
        assert core.lsap_solve(m, maximize, True) == expected, m


@pytest.mark.parametrize("shape", [(60, 60), (40, 130), (130, 40), (97, 101), (20, 600), (600, 20)])
@pytest.mark.parametrize("kind", ["uniform", "ties"])
def test_agrees_with_scipy_on_larger_matrices(shape, kind):
    rng = np.random.default_rng(shape[0] * 1000 + shape[1])
    m = random_matrix(rng, kind, shape)
    for maximize in (False, True):
        expected = scipy_pairs(m, maximize)
        assert core.lsap_solve(m, maximize) == expected
        assert core.lsap_solve(m, maximize, True) == expected


@pytest.mark.parametrize("shape", [(0, 0), (0, 3), (3, 0)])
@pytest.mark.parametrize("maximize", [False, True])
def test_empty_shapes(shape, maximize):
    assert core.lsap_solve(np.zeros(shape), maximize) == ([], [])


@pytest.mark.parametrize(
    "matrix, maximize, expected",
    [
        ([[7.0]], False, ([0], [0])),
        ([[5.0, 5.0, 5.0]], False, ([0], [0])),
        ([[5.0], [5.0], [5.0]], True, ([0], [0])),
        ([[1.0, 2.0], [2.0, 4.0]], False, ([0, 1], [1, 0])),
        ([[0.9, 0.8], [0.8, 0.1]], True, ([0, 1], [1, 0])),
        ([[2.0] * 4] * 4, True, ([0, 1, 2, 3], [0, 1, 2, 3])),
    ],
)
def test_small_cases(matrix, maximize, expected):
    assert core.lsap_solve(matrix, maximize) == expected


def test_tall_matrix_leaves_a_row_out_and_keeps_rows_ascending():
    m = np.array([[1.0, 9.0], [5.0, 5.0], [9.0, 1.0]])
    rows, cols = core.lsap_solve(m)
    assert rows == [0, 2] and cols == [0, 1]


@pytest.mark.parametrize("bad", [math.nan, math.inf, -math.inf])
@pytest.mark.parametrize("shape, where", [((3, 4), (2, 3)), ((4, 3), (0, 0)), ((5, 2), (4, 1))])
@pytest.mark.parametrize("maximize", [False, True])
def test_non_finite_entry_is_invalid(bad, shape, where, maximize):
    # Even an entry in a row or column that an optimum would never use.
    m = np.zeros(shape)
    m[where] = bad
    with pytest.raises(ValueError, match="^Invalid$"):
        core.lsap_solve(m, maximize)


def test_overflowing_path_length_is_infeasible():
    # The second row's search reaches a path length of -inf: finite entries, no finite answer.
    m = [[-1.7e308, -1.7e308], [-1.7e308, 0.0]]
    with pytest.raises(ValueError, match="^Infeasible$"):
        core.lsap_solve(m)


@pytest.mark.parametrize("shape", [(4, 6), (6, 4)])
@pytest.mark.parametrize("maximize", [False, True])
def test_callers_matrix_is_not_modified(shape, maximize):
    m = np.random.default_rng(5).random(shape)
    before = m.copy()
    core.lsap_solve(m, maximize)
    assert np.array_equal(m, before)


def test_list_and_array_inputs_agree():
    m = np.random.default_rng(9).integers(0, 3, (7, 9)).astype(np.float64)
    assert core.lsap_solve(m.tolist(), True) == core.lsap_solve(m, True) == scipy_pairs(m, True)


# --- forbidden cells ---------------------------------------------------------------------------

@pytest.mark.parametrize("kind", ["uniform", "ties", "binary"])
def test_lexicographic_reference_is_the_scipy_algorithm(kind):
    # With every cell allowed the test reference must be exactly SciPy's solver.
    rng = np.random.default_rng(KINDS.index(kind))
    for _ in range(100):
        m = random_matrix(rng, kind, tuple(rng.integers(1, 7, 2)))
        for maximize in (False, True):
            rows, cols = assign(m.tolist(), np.ones(m.shape, bool).tolist(), maximize)
            assert (rows, cols) == scipy_pairs(m, maximize)


@pytest.mark.parametrize("kind", ["uniform", "ties", "binary"])
@pytest.mark.parametrize("density", [0.3, 0.7])
def test_solve_with_forbidden(kind, density):
    rng = np.random.default_rng([KINDS.index(kind), int(density * 10)])
    for _ in range(200):
        m = random_matrix(rng, kind, tuple(rng.integers(1, 14, 2)))
        allowed = rng.random(m.shape) < density
        maximize = bool(rng.integers(0, 2))
        pairs = core.lsap_solve_with_forbidden(m, allowed.astype(float), maximize)
        assert pairs == assign(m.tolist(), allowed.tolist(), maximize), (m, allowed)
        # Where no forbidden cell is needed, a large penalty gives the very same pairs.
        if all(allowed[r, c] for r, c in zip(*pairs)):
            penalised = np.where(allowed, m, -1e18 if maximize else 1e18)
            assert core.lsap_solve(penalised, maximize) == pairs


def test_forbidden_cells_never_absorb_allowed_values():
    # Row 0 has to take a forbidden cell; a penalty of 1e18 would round row 1's choice away.
    m = np.array([[0.0, 0.0], [1.0, 0.5]])
    allowed = np.array([[0.0, 0.0], [1.0, 1.0]])
    assert core.lsap_solve(np.where(allowed > 0, m, -1e18), True) == ([0, 1], [0, 1])
    assert core.lsap_solve_with_forbidden(m, allowed, True) == ([0, 1], [1, 0])


@pytest.mark.parametrize("shape", [(12, 45), (45, 12), (30, 70), (70, 33)])
@pytest.mark.parametrize("density", ["frame-like", 0.3])
def test_solve_with_forbidden_on_wide_rows(shape, density):
    # Frame-like rows hold a few allowed cells each and some rows none; tied values throughout.
    rng = np.random.default_rng([shape[0], shape[1], density == 0.3])
    for _ in range(3):
        m = rng.integers(0, 3, shape) / 4.0
        allowed = rng.random(shape) < (3 / max(shape) if density == "frame-like" else density)
        allowed[rng.random(shape[0]) < 0.2] = False
        for maximize in (False, True):
            expected = assign(m.tolist(), allowed.tolist(), maximize)
            for portable in (False, True):
                assert core.lsap_solve_with_forbidden(m, allowed.astype(float), maximize, portable) == expected


def test_forbidden_kernels_agree_when_sums_overflow():
    # Path lengths overflow to infinities and NaN: both kernels still apply one and the same rule.
    rng = np.random.default_rng(17)
    for _ in range(300):
        shape = tuple(rng.integers(1, 40, 2))
        m = rng.choice([-1.7e308, 1.7e308], shape) * rng.random(shape)
        allowed = (rng.random(shape) < 0.6).astype(float)
        outcomes = []
        for portable in (False, True):
            try:
                outcomes.append(core.lsap_solve_with_forbidden(m, allowed, True, portable))
            except ValueError as e:
                outcomes.append(str(e))
        assert outcomes[0] == outcomes[1], (m, allowed)
