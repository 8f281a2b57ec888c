"""Oriented 3D box IoU, its matrix and matching by 3D IoU."""

import math

import numpy as np
import pytest

import vestrim
from vestrim import _vestrim

PI = math.pi
UNIT = (0.0, 0.0, 0.0, 1.0, 1.0, 1.0, 0.0)
CUBE2 = (0.0, 0.0, 0.0, 2.0, 2.0, 2.0, 0.0)
SLAB = (0.0, 0.0, 0.0, 4.0, 2.0, 1.0, 0.0)


# --- an independent reference -----------------------------------------------------------------
# Footprint overlap as the convex hull of (corners of a inside b) + (corners of b inside a) +
# (edge crossings), rather than by clipping.


def _footprint(box):
    x, _, z, l, w, _, yaw = box
    along = np.array([math.cos(yaw), -math.sin(yaw)])
    across = np.array([math.sin(yaw), math.cos(yaw)])
    centre = np.array([x, z])
    return [centre + sl * l / 2 * along + sw * w / 2 * across for sl, sw in ((1, 1), (1, -1), (-1, -1), (-1, 1))]


def _cross(o, a, b):
    return (a[0] - o[0]) * (b[1] - o[1]) - (a[1] - o[1]) * (b[0] - o[0])


def _inside(p, poly):
    signs = [_cross(poly[i], poly[(i + 1) % 4], p) for i in range(4)]
    return all(s >= -1e-12 for s in signs) or all(s <= 1e-12 for s in signs)


def _crossing(p1, p2, q1, q2):
    d1, d2 = p2 - p1, q2 - q1
    den = d1[0] * d2[1] - d1[1] * d2[0]
    if den == 0:
        return None
    t = ((q1[0] - p1[0]) * d2[1] - (q1[1] - p1[1]) * d2[0]) / den
    u = ((q1[0] - p1[0]) * d1[1] - (q1[1] - p1[1]) * d1[0]) / den
    if 0 <= t <= 1 and 0 <= u <= 1:
        return p1 + t * d1
    return None


def reference_iou_3d(a, b):
    fa, fb = _footprint(a), _footprint(b)
    pts = [p for p in fa if _inside(p, fb)] + [p for p in fb if _inside(p, fa)]
    for i in range(4):
        for j in range(4):
            c = _crossing(fa[i], fa[(i + 1) % 4], fb[j], fb[(j + 1) % 4])
            if c is not None:
                pts.append(c)
    area = 0.0
    if len(pts) >= 3:
        pts = np.array(pts)
        centre = pts.mean(axis=0)
        pts = pts[np.argsort(np.arctan2(pts[:, 1] - centre[1], pts[:, 0] - centre[0]))]
        xs, zs = pts[:, 0], pts[:, 1]
        area = abs(0.5 * np.sum(xs * np.roll(zs, -1) - np.roll(xs, -1) * zs))
    top = min(a[1] + a[5] / 2, b[1] + b[5] / 2)
    bottom = max(a[1] - a[5] / 2, b[1] - b[5] / 2)
    inter = area * max(top - bottom, 0.0)
    union = a[3] * a[4] * a[5] + b[3] * b[4] * b[5] - inter
    return inter / union if union > 0 else 0.0


def random_boxes(rng, n):
    return np.column_stack([
        rng.uniform(-2, 2, n), rng.uniform(-1, 1, n), rng.uniform(-2, 2, n),
        rng.uniform(0.5, 3, n), rng.uniform(0.5, 3, n), rng.uniform(0.5, 3, n),
        rng.uniform(-PI, PI, n),
    ])


# --- pair IoU ---------------------------------------------------------------------------------


@pytest.mark.parametrize("a, b, expected", [
    (CUBE2, CUBE2, 1.0),
    (CUBE2, (0, 0, 0, 2, 2, 2, PI / 4), 1 / math.sqrt(2)),
    (UNIT, (0.5, 0, 0, 1, 1, 1, 0), 1 / 3),
    (UNIT, (0, 0.5, 0, 1, 1, 1, 0), 1 / 3),
    (UNIT, (0, 0, 0.5, 1, 1, 1, 0), 1 / 3),
    (SLAB, (0, 0, 0, 4, 2, 1, PI / 2), 1 / 3),
    (SLAB, (0, 0, 0, 2, 4, 1, PI / 2), 1.0),
    (SLAB, (0, 0, 0, 4, 2, 1, PI), 1.0),
    (UNIT, (5, 0, 5, 1, 1, 1, 0.3), 0.0),      # apart in the ground plane
    (UNIT, (0, 2, 0, 1, 1, 1, 0), 0.0),        # stacked, a gap between
    (UNIT, (0, 1, 0, 1, 1, 1, 0), 0.0),        # stacked, faces touch
    (UNIT, (1, 0, 0, 1, 1, 1, 0), 0.0),        # footprints share an edge
    ((0, 0, 0, 0, 1, 1, 0), (0, 0, 0, 0, 1, 1, 0), 0.0),  # zero length: union 0
    ((0, 0, 0, 1, 0, 1, 0), (0, 0, 0, 1, 0, 1, 0), 0.0),
    ((0, 0, 0, 1, 1, 0, 0), (0, 0, 0, 1, 1, 0, 0), 0.0),
    # Negative length, positive width: the footprint is built counter-clockwise and kept, so the
    # overlap still counts (8 inside a 64 box whose own volume is -8).
    ((0, 0, 0, -2, 2, 2, 0), (0, 0, 0, 4, 4, 4, 0), 8 / 48),
])
def test_worked_examples(a, b, expected):
    assert _vestrim.iou_3d(a, b) == pytest.approx(expected, rel=1e-12, abs=1e-15)
    assert _vestrim.iou_3d(b, a) == pytest.approx(expected, rel=1e-12, abs=1e-15)


def test_nan_rules():
    # A NaN centre height makes min/max take the other box's extent.
    assert _vestrim.iou_3d((0, math.nan, 0, 2, 2, 2, 0), CUBE2) == pytest.approx(1.0)
    # A NaN yaw leaves no footprint overlap; the union stays finite.
    assert _vestrim.iou_3d((0, 0, 0, 2, 2, 2, math.nan), CUBE2) == 0.0
    # A NaN extent makes the union NaN.
    assert math.isnan(_vestrim.iou_3d((0, 0, 0, 2, 2, math.nan, 0), CUBE2))


def test_matches_reference_and_is_symmetric():
    rng = np.random.default_rng(7)
    a, b = random_boxes(rng, 400), random_boxes(rng, 400)
    got = [_vestrim.iou_3d(p, q) for p, q in zip(a, b)]
    swapped = [_vestrim.iou_3d(q, p) for p, q in zip(a, b)]
    want = [reference_iou_3d(p, q) for p, q in zip(a, b)]
    assert sum(v > 0 for v in want) > 150  # the sample really exercises overlaps
    assert got == pytest.approx(want, rel=1e-9, abs=1e-12)
    assert swapped == pytest.approx(got, rel=1e-12, abs=1e-15)


def test_accepts_any_sequence_of_seven():
    box = [0.5, 0, 0, 1, 1, 1, 0]
    for form in (box, tuple(box), np.array(box), np.array(box, dtype=np.float32)):
        assert _vestrim.iou_3d(UNIT, form) == pytest.approx(1 / 3)
    assert _vestrim.iou_3d(box_b=UNIT, box_a=box) == pytest.approx(1 / 3)


@pytest.mark.parametrize("a, b, exc, message, param", [
    ((1, 2, 3, 4, 5, 6), UNIT, ValueError, "expected a sequence of length 7 (got 6)", "box_a"),
    (UNIT, UNIT + (0,), ValueError, "expected a sequence of length 7 (got 8)", "box_b"),
    (3, UNIT, TypeError, "'int' object is not an instance of 'Sequence'", "box_a"),
    (UNIT, None, TypeError, "'None' is not an instance of 'Sequence'", "box_b"),
    (UNIT, (0, 0, 0, 1, 1, "1", 0), TypeError, None, "box_b"),
])
def test_pair_conversion_errors(a, b, exc, message, param):
    with pytest.raises(exc) as info:
        _vestrim.iou_3d(a, b)
    if message is not None:
        assert str(info.value) == message
    assert info.value.__notes__ == [f"while processing '{param}'"]


# --- matrix -----------------------------------------------------------------------------------


def test_matrix_equals_pairwise_values():
    rng = np.random.default_rng(11)
    a, b = random_boxes(rng, 9), random_boxes(rng, 6)
    m = _vestrim.iou_3d_matrix(a, b)
    assert m == [[_vestrim.iou_3d(p, q) for q in b] for p in a]
    assert _vestrim.iou_3d_matrix(a.tolist(), [tuple(q) for q in b]) == m
    assert vestrim.iou_3d_matrix is _vestrim.iou_3d_matrix


def test_matrix_reads_strided_arrays_like_contiguous_copies():
    rng = np.random.default_rng(3)
    a, b = random_boxes(rng, 8), random_boxes(rng, 5)
    want = _vestrim.iou_3d_matrix(a, b)
    transposed = np.ascontiguousarray(a.T).T              # (8, 7) view with column-major strides
    assert not transposed.flags.c_contiguous
    stepped = np.repeat(a, 2, axis=0)[::2]                 # row stride 14 elements
    wide = np.zeros((8, 9)); wide[:, 1:8] = a              # row stride 9, column offset
    fortran = np.asfortranarray(b)
    for arr_a in (transposed, stepped, wide[:, 1:8]):
        assert _vestrim.iou_3d_matrix(arr_a, fortran) == want
    single = a[2:3]  # one row: contiguous whatever its row stride
    assert _vestrim.iou_3d_matrix(a[2::100], b) == _vestrim.iou_3d_matrix(single, b) == [want[2]]
    raw = np.zeros(8 * 7 * 8 + 1, dtype=np.uint8)
    misaligned = np.frombuffer(raw.data, dtype=np.float64, count=8 * 7, offset=1).reshape(8, 7)
    misaligned[...] = a
    assert not misaligned.flags.aligned
    assert _vestrim.iou_3d_matrix(misaligned, fortran) == want
    ints = np.array([[0, 0, 0, 2, 2, 2, 0], [1, 0, 0, 2, 2, 2, 0]], dtype=np.int64)
    assert _vestrim.iou_3d_matrix(ints, ints) == _vestrim.iou_3d_matrix(ints.astype(np.float64), ints.tolist())


def test_matrix_does_not_write_its_inputs():
    rng = np.random.default_rng(5)
    a = random_boxes(rng, 4)
    before = a.copy()
    assert len(_vestrim.iou_3d_matrix(a, a)) == 4
    assert np.array_equal(a, before)


@pytest.mark.parametrize("a, b, expected", [
    ([], [UNIT], []),
    ([UNIT, CUBE2], [], [[], []]),
    (np.zeros((0, 7)), np.zeros((2, 7)), []),
    (np.zeros((2, 7)), np.zeros((0, 7)), [[], []]),
])
def test_matrix_empty_sets(a, b, expected):
    assert _vestrim.iou_3d_matrix(a, b) == expected


ENUM_HEAD = "failed to extract enum PyBoxes3d ('Array | List')"
ARRAY_LINE = ("- variant Array (Array): TypeError: failed to extract field PyBoxes3d::Array.0, caused by "
              "TypeError: '{}' object is not an instance of 'ndarray'")
LIST_LINE = "- variant List (List): TypeError: failed to extract field PyBoxes3d::List.0, caused by {}"


@pytest.mark.parametrize("bad, type_name, cause", [
    ([UNIT, (1, 2, 3, 4, 5, 6)], "list", "ValueError: expected a sequence of length 7 (got 6)"),
    (5, "int", "TypeError: 'int' object is not an instance of 'Sequence'"),
    ("boxes", "str", "TypeError: Can't extract `str` to `Vec`"),
    ([UNIT, None], "list", "TypeError: 'None' is not an instance of 'Sequence'"),
])
def test_box_set_conversion_errors(bad, type_name, cause):
    with pytest.raises(TypeError) as info:
        _vestrim.iou_3d_matrix([UNIT], bad)
    assert str(info.value) == "\n".join([ENUM_HEAD, ARRAY_LINE.format(type_name), LIST_LINE.format(cause)])
    assert info.value.__notes__ == ["while processing 'boxes_b'"]


@pytest.mark.parametrize("a, b, message", [
    (np.zeros((0, 5)), [], "3D boxes array must have shape (N, 7), got [0, 5]"),
    (np.zeros((3, 5)), np.zeros((2, 4)), "3D boxes array must have shape (N, 7), got [3, 5]"),
    ([UNIT], np.zeros((2, 4)), "3D boxes array must have shape (N, 7), got [2, 4]"),
])
def test_matrix_shape_errors(a, b, message):
    with pytest.raises(ValueError) as info:
        _vestrim.iou_3d_matrix(a, b)
    assert str(info.value) == message


def test_conversion_errors_come_before_shape_errors():
    with pytest.raises(TypeError) as info:
        _vestrim.iou_3d_matrix(np.zeros((3, 5)), [(1, 2)])
    assert info.value.__notes__ == ["while processing 'boxes_b'"]


# --- matching ---------------------------------------------------------------------------------


def test_match_boxes_3d_methods():
    a = [CUBE2, (10, 0, 0, 2, 2, 2, 0), (0, 0, 0.5, 2, 2, 2, 0)]
    b = np.array([(0, 0, 0.4, 2, 2, 2, 0), (20, 0, 0, 1, 1, 1, 0)], dtype=np.float64)
    for method in ("hungarian", "greedy"):
        m = _vestrim.match_boxes_3d(a, b, method=method)
        assert isinstance(m, _vestrim.Matching)
        assert m.matches == [(2, 0)]  # b0 is closer to a2 than to a0
        assert m.scores == [_vestrim.iou_3d(a[2], b[0])]
        assert m.unmatched_a == [0, 1] and m.unmatched_b == [1]
    loose = _vestrim.match_boxes_3d(a, b, 0.0)
    assert len(loose.matches) == 2 and repr(loose) == "Matching(matches=2 pairs, unmatched_a=1, unmatched_b=0)"
    assert _vestrim.match_boxes_3d(a, b, 1.1).matches == []
    for method in ("hungarian", "greedy"):
        empty = _vestrim.match_boxes_3d([], b, 0.0, method)
        assert empty.matches == [] and empty.unmatched_a == [] and empty.unmatched_b == [0, 1]


def test_hungarian_maximises_total_iou():
    # 2x2x2 cubes along x: IoU is about [[0.905, 0.778], [0.778, 0.538]]. Greedy takes the best pair
    # and is left with one below the threshold; Hungarian takes the larger total and keeps both.
    a = [CUBE2, (0.35, 0, 0, 2, 2, 2, 0)]
    b = [(0.1, 0, 0, 2, 2, 2, 0), (-0.25, 0, 0, 2, 2, 2, 0)]
    greedy = _vestrim.match_boxes_3d(a, b, 0.6, "greedy")
    assert greedy.matches == [(0, 0)] and greedy.unmatched_a == [1] and greedy.unmatched_b == [1]
    hungarian = _vestrim.match_boxes_3d(a, b, 0.6, "hungarian")
    assert hungarian.matches == [(0, 1), (1, 0)]
    assert hungarian.scores == [_vestrim.iou_3d(a[0], b[1]), _vestrim.iou_3d(a[1], b[0])]


@pytest.mark.parametrize("kwargs, exc, message, note", [
    ({"method": "Greedy", "boxes_a": np.zeros((2, 5))}, ValueError,
     'unknown method "Greedy", expected "hungarian" or "greedy"', None),
    ({"iou_threshold": None}, TypeError, None, "while processing 'iou_threshold'"),
    ({"boxes_b": np.zeros((1, 6))}, ValueError, "3D boxes array must have shape (N, 7), got [1, 6]", None),
])
def test_match_boxes_3d_errors(kwargs, exc, message, note):
    args = {"boxes_a": [UNIT], "boxes_b": [UNIT]} | kwargs
    with pytest.raises(exc) as info:
        _vestrim.match_boxes_3d(**args)
    if message is not None:
        assert str(info.value) == message
    assert getattr(info.value, "__notes__", [None]) == [note]
