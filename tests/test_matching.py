"""Pair matching: Hungarian and greedy, the threshold, the Matching result and match_boxes' errors."""
import math

import numpy as np
import pytest
from scipy.optimize import linear_sum_assignment

import vestrim
from vestrim import _core_testing as core
from vestrim import _vestrim


def reference(m, method, threshold):
    """Hungarian through SciPy, greedy written out; `m` is an (na, nb) array."""
    na, nb = m.shape
    if method == "hungarian":
        rows, cols = linear_sum_assignment(m, maximize=True) if na and nb else ([], [])
        pairs = [(i, j) for i, j in zip(rows, cols) if m[i, j] >= threshold]
    else:
        candidates = sorted(
            ((-m[i, j], i, j) for i in range(na) for j in range(nb) if m[i, j] >= threshold)
        )
        used_a, used_b, pairs = set(), set(), []
        for _, i, j in candidates:
            if i not in used_a and j not in used_b:
                used_a.add(i)
                used_b.add(j)
                pairs.append((i, j))
        pairs.sort()
    matched_a = {i for i, _ in pairs}
    matched_b = {j for _, j in pairs}
    return (
        [(int(i), int(j)) for i, j in pairs],
        [float(m[i, j]) for i, j in pairs],
        [i for i in range(na) if i not in matched_a],
        [j for j in range(nb) if j not in matched_b],
    )


def as_tuple(result):
    return (result.matches, result.scores, result.unmatched_a, result.unmatched_b)


@pytest.mark.parametrize(
    "method, expected",
    [
        ("greedy", ([(0, 0)], [0.9], [1], [1])),
        ("hungarian", ([(0, 1), (1, 0)], [0.8, 0.8], [], [])),
    ],
)
def test_worked_example(method, expected):
    assert core.match_iou([[0.9, 0.8], [0.8, 0.0]], method, 0.5) == expected


@pytest.mark.parametrize(
    "matrix, expected",
    [
        # Equal IoUs are taken by smaller a_index first, then smaller b_index.
        ([[0.5, 0.5], [0.5, 0.5]], [(0, 0), (1, 1)]),
        ([[0.0, 0.7, 0.7], [0.7, 0.7, 0.0]], [(0, 1), (1, 0)]),
        ([[0.6, 0.6, 0.9], [0.6, 0.9, 0.6]], [(0, 2), (1, 1)]),
    ],
)
def test_greedy_tie_order(matrix, expected):
    assert core.match_iou(matrix, "greedy", 0.5)[0] == expected


@pytest.mark.parametrize("method", ["hungarian", "greedy"])
def test_threshold_is_inclusive_and_nan_never_passes(method):
    m = [[0.5, 0.2], [0.2, 0.25]]
    assert core.match_iou(m, method, 0.5)[0] == [(0, 0)]
    assert core.match_iou(m, method, 0.0)[0] == [(0, 0), (1, 1)]
    assert core.match_iou(m, method, math.nan) == ([], [], [0, 1], [0, 1])


def test_hungarian_matches_zero_iou_pairs_at_zero_threshold():
    assert core.match_iou([[0.0, 0.0], [0.0, 0.0], [0.0, 0.0]], "hungarian", 0.0) == (
        [(0, 0), (1, 1)], [0.0, 0.0], [2], [])


def test_nan_iou_fails_hungarian_and_is_dropped_by_greedy():
    m = [[math.nan, 0.9], [0.8, 0.1]]
    with pytest.raises(RuntimeError, match="^finite IoU matrix is always solvable: Invalid$"):
        core.match_iou(m, "hungarian", 0.5)
    assert core.match_iou(m, "greedy", 0.5)[0] == [(0, 1), (1, 0)]


@pytest.mark.parametrize("method", ["hungarian", "greedy"])
@pytest.mark.parametrize("threshold", [0.0, 0.3, 0.5])
def test_matrix_matching_agrees_with_reference(method, threshold):
    rng = np.random.default_rng([int(threshold * 10), method == "greedy"])
    for _ in range(200):
        na, nb = rng.integers(0, 9, 2)
        m = rng.integers(0, 5, (na, nb)) / 4.0 if rng.random() < 0.5 else rng.random((na, nb))
        assert core.match_iou(m, method, threshold) == reference(m, method, threshold)


@pytest.mark.parametrize("method", ["hungarian", "greedy"])
def test_match_boxes_agrees_with_reference_on_its_iou_matrix(method):
    rng = np.random.default_rng(7 if method == "greedy" else 8)
    for _ in range(100):
        na, nb = rng.integers(0, 7, 2)
        # Small integer boxes: many equal IoUs.
        a = np.sort(rng.integers(0, 5, (na, 2, 2)), axis=1).transpose(0, 2, 1).reshape(na, 4)
        b = np.sort(rng.integers(0, 5, (nb, 2, 2)), axis=1).transpose(0, 2, 1).reshape(nb, 4)
        a = a[:, [0, 2, 1, 3]].astype(np.float64)
        b = b[:, [0, 2, 1, 3]].astype(np.float64)
        threshold = float(rng.choice([0.0, 0.25, 0.5]))
        got = vestrim.match_boxes(a, b, iou_threshold=threshold, method=method)
        matrix = np.array(_vestrim.iou_matrix(a, b), dtype=np.float64).reshape(na, nb)
        assert as_tuple(got) == reference(matrix, method, threshold)


def test_match_boxes_examples():
    same = vestrim.match_boxes([(0, 0, 2, 2)], [(0, 0, 2, 2)])
    assert (same.matches, same.scores) == ([(0, 0)], [1.0])
    # IoU 1/4 as corners; as xywh the second box becomes (1, 1, 3, 3) and the IoU 1/7.
    a, b = [(0, 0, 2, 2)], [(1, 1, 2, 2)]
    assert vestrim.match_boxes(a, b, 0.2, "greedy").scores == [0.25]
    assert vestrim.match_boxes(a, b, 0.2, "greedy", "xywh").matches == []
    assert vestrim.match_boxes(a, b, 0.1, "greedy", "xywh").scores == [1 / 7]
    disjoint = [(0, 0, 1, 1), (5, 5, 6, 6)], [(10, 10, 11, 11), (20, 20, 21, 21), (30, 30, 31, 31)]
    for method in ("hungarian", "greedy"):
        assert as_tuple(vestrim.match_boxes(*disjoint, method=method)) == ([], [], [0, 1], [0, 1, 2])
        zero = vestrim.match_boxes(*disjoint, iou_threshold=0.0, method=method)
        assert (zero.matches, zero.scores) == ([(0, 0), (1, 1)], [0.0, 0.0])


def test_infinite_boxes_make_a_nan_iou_an_internal_error():
    # inf - inf in the union gives a NaN IoU, which the solver rejects.
    box = [(0.0, 0.0, math.inf, math.inf)]
    with pytest.raises(BaseException, match="^finite IoU matrix is always solvable: Invalid$") as info:
        vestrim.match_boxes(box, box, method="hungarian")
    assert not isinstance(info.value, Exception)
    assert vestrim.match_boxes(box, box, method="greedy").matches == []


@pytest.mark.parametrize(
    "method, message",
    [
        ("Greedy", 'unknown method "Greedy", expected "hungarian" or "greedy"'),
        ("Hungarian", 'unknown method "Hungarian", expected "hungarian" or "greedy"'),
        (" greedy", 'unknown method " greedy", expected "hungarian" or "greedy"'),
        ('a"b\\c\td\n\r\0\x07é', 'unknown method "a\\"b\\\\c\\td\\n\\r\\0\\u{7}é", '
                                 'expected "hungarian" or "greedy"'),
    ],
)
def test_unknown_method_message(method, message):
    with pytest.raises(ValueError) as info:
        vestrim.match_boxes([], [], method=method)
    assert str(info.value) == message


def test_method_is_checked_after_conversion_and_before_boxes():
    bad_shape = np.zeros((2, 5))
    # The method is parsed before the box format and before the array shapes are examined ...
    with pytest.raises(ValueError, match="^unknown method"):
        vestrim.match_boxes(bad_shape, [], method="x", box_format="bad")
    with pytest.raises(ValueError, match="^unknown box_format"):
        vestrim.match_boxes(bad_shape, [], box_format="bad")
    with pytest.raises(ValueError, match=r"^boxes array must have shape \(N, 4\), got \[2, 5\]$"):
        vestrim.match_boxes(bad_shape, [])
    # ... but after every argument has been converted.
    with pytest.raises(TypeError) as info:
        vestrim.match_boxes([], [], iou_threshold=None, method="x")
    assert info.value.__notes__ == ["while processing 'iou_threshold'"]
    with pytest.raises(TypeError) as info:
        vestrim.match_boxes([], [], method=3)
    assert info.value.__notes__ == ["while processing 'method'"]


def test_arguments_by_position_and_keyword():
    a, b = [(0, 0, 2, 2), (0, 0, 1, 1)], [(0, 0, 1, 1)]
    by_position = vestrim.match_boxes(a, b, 0.2, "greedy", "xyxy")
    by_keyword = vestrim.match_boxes(box_format="xyxy", method="greedy", iou_threshold=0.2, boxes_b=b, boxes_a=a)
    assert as_tuple(by_position) == as_tuple(by_keyword) == ([(1, 0)], [1.0], [0], [])
    with pytest.raises(TypeError, match=r"^match_boxes\(\) missing 1 required positional argument: 'boxes_b'$"):
        vestrim.match_boxes(a)


def test_matching_class():
    result = vestrim.match_boxes([(0, 0, 1, 1), (0, 0, 2, 2), (5, 5, 6, 6)], [(0, 0, 1, 1), (0, 0, 2, 2)])
    assert repr(result) == "Matching(matches=2 pairs, unmatched_a=1, unmatched_b=0)"
    assert repr(vestrim.match_boxes([], [])) == "Matching(matches=0 pairs, unmatched_a=0, unmatched_b=0)"
    assert result.matches is not result.matches
    with pytest.raises(AttributeError):
        result.matches = []
    with pytest.raises(TypeError):
        _vestrim.Matching()
    assert _vestrim.Matching.__doc__ == "The result of matching two sets of boxes."
    assert _vestrim.Matching.matches.__doc__ == "Matched `(a_index, b_index)` pairs, ordered by `a_index`."
    assert _vestrim.Matching.scores.__doc__ == "IoU score for each matched pair, parallel to `matches`."
    assert _vestrim.Matching.unmatched_a.__doc__ == "Indices of `boxes_a` that were not matched."
    assert _vestrim.Matching.unmatched_b.__doc__ == "Indices of `boxes_b` that were not matched."


def test_docstring():
    assert _vestrim.match_boxes.__doc__ == (
        "Match two sets of boxes.\n\n"
        '`method` is either `"hungarian"` (optimal, maximises total IoU) or\n'
        '`"greedy"` (assign highest-IoU pairs first). Only pairs with IoU at or above\n'
        '`iou_threshold` are kept. `box_format` is `"xyxy"` (default) or `"xywh"`.'
    )
    assert _vestrim.match_boxes.__text_signature__ == (
        '(boxes_a, boxes_b, iou_threshold=0.5, method="hungarian", box_format="xyxy")'
    )
