"""2D box IoU and the accepted forms of box inputs."""

import math

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

from vestrim import _core_testing as core
from vestrim import iou, iou_matrix


@pytest.mark.parametrize(
    "a, b, kwargs, expected",
    [
        ((0, 0, 2, 2), (1, 1, 3, 3), {}, 1 / 7),
        ((0, 0, 1, 1), (0, 0, 1, 1), {}, 1.0),
        ((0, 0, 1, 1), (1, 0, 2, 1), {}, 0.0),  # edges touch
        ((0, 0, 0, 0), (0, 0, 0, 0), {}, 0.0),  # union 0
        ((2, 2, 0, 0), (0, 0, 2, 2), {}, 0.0),  # inverted box has area 0
        ((0, 0, 2, 2), (1, 1, 2, 2), {"box_format": "xywh"}, 1 / 7),
        ([0, 0, 2, 2], np.array([1.0, 1.0, 3.0, 3.0]), {}, 1 / 7),
        ((0, 0, 2, 2), (math.nan, 0, 2, 2), {}, 0.0),  # NaN extent counts as 0
    ],
)
def test_iou_values(a, b, kwargs, expected):
    assert iou(a, b, **kwargs) == expected


def test_infinite_coordinates_give_nan_union():
    # inf - inf in the union is NaN, which is not <= 0, so inter / union is returned.
    assert math.isnan(iou((-math.inf, 0, math.inf, 1), (-math.inf, 0, math.inf, 1)))


def test_empty_sets():
    assert iou_matrix([], [(0, 0, 1, 1)]) == []
    assert iou_matrix([(0, 0, 1, 1)], []) == [[]]
    assert iou_matrix(np.zeros((0, 4)), np.zeros((2, 4))) == []


def boxes_strategy(max_size=6):
    coord = st.floats(-10, 10, allow_nan=False).map(lambda v: round(v, 2))
    return st.lists(st.tuples(coord, coord, coord, coord), max_size=max_size)


@settings(max_examples=60, deadline=None)
@given(boxes_strategy(), boxes_strategy(), st.sampled_from(["xyxy", "xywh"]))
def test_every_input_form_gives_the_same_matrix(a, b, fmt):
    expected = [[iou(x, y, box_format=fmt) for y in b] for x in a]
    arr_a = np.array(a, dtype=np.float64).reshape(-1, 4)
    arr_b = np.array(b, dtype=np.float64).reshape(-1, 4)
    forms = [
        (a, b),
        (arr_a, arr_b),                                   # zero-copy when xyxy
        (np.asfortranarray(arr_a), np.asfortranarray(arr_b)),
        (np.repeat(arr_a, 2, axis=0)[::2], np.repeat(arr_b, 2, axis=0)[::2]),  # strided rows
        ([list(x) for x in a], tuple(np.array(y) for y in b)),
    ]
    for fa, fb in forms:
        assert iou_matrix(fa, fb, box_format=fmt) == expected


def awkward_boxes(rng, n):
    """Boxes on a coarse grid (so that equal edges, touching and identical boxes occur) with some
    inverted, zero-area, signed-zero, infinite and NaN coordinates mixed in."""
    boxes = rng.integers(0, 6, (n, 4)).astype(np.float64)
    special = np.array([math.nan, math.inf, -math.inf, -0.0, 0.0, 1e300, -1e-300])
    mask = rng.random((n, 4)) < 0.08
    boxes[mask] = rng.choice(special, mask.sum())
    return boxes


@pytest.mark.parametrize("kernel", ["auto", "sse2", "scalar"])
@pytest.mark.parametrize("n_a, n_b", [(7, 0), (0, 5), (1, 1), (9, 3), (6, 7), (5, 130), (4, 257)])
def test_matrix_kernels_equal_the_scalar_formula_bit_for_bit(kernel, n_a, n_b):
    rng = np.random.default_rng(n_a * 1000 + n_b)
    a, b = awkward_boxes(rng, n_a), awkward_boxes(rng, n_b)
    expected = np.array([[iou(x, y) for y in b] for x in a], dtype=np.float64).reshape(n_a, n_b)
    got = np.array(core.iou_matrix(a, b, kernel), dtype=np.float64).reshape(n_a, n_b)
    assert np.array_equal(got.view(np.int64), expected.view(np.int64))


def test_iou_is_symmetric_and_bounded():
    rng = np.random.default_rng(0)
    xy = rng.uniform(0, 10, (40, 2))
    wh = rng.uniform(0, 5, (40, 2))
    boxes = np.hstack([xy, xy + wh])
    m = np.array(iou_matrix(boxes, boxes))
    assert np.array_equal(m, m.T)
    assert ((m >= 0) & (m <= 1)).all()
    assert (np.diag(m) == 1.0).all()


def test_non_float64_arrays_are_read_row_by_row():
    ints = np.array([[0, 0, 2, 2]], dtype=np.int64)
    f32 = np.array([[1, 1, 3, 3]], dtype=np.float32)
    assert iou_matrix(ints, f32) == [[1 / 7]]


def test_array_views_read_what_they_show():
    base = np.array([[9, 9, 9, 9, 9], [0, 0, 2, 2, 9], [1, 1, 3, 3, 9]], dtype=np.float64)
    view = base[1:, :4]  # non-contiguous rows
    assert iou_matrix(view, view[::-1]) == [[1 / 7, 1.0], [1.0, 1 / 7]]
    # Byte-swapped data is not native float64: it is converted element by element.
    swapped = np.array([[0, 0, 2, 2]], dtype=">f8")
    assert iou_matrix(swapped, [(1, 1, 3, 3)]) == [[1 / 7]]


@pytest.mark.parametrize(
    "boxes, exc, message",
    [
        (np.zeros((2, 5)), ValueError, "boxes array must have shape (N, 4), got [2, 5]"),
        (np.zeros((3, 3)), ValueError, "boxes array must have shape (N, 4), got [3, 3]"),
    ],
)
def test_array_shape_errors(boxes, exc, message):
    with pytest.raises(exc) as info:
        iou_matrix(boxes, [])
    assert str(info.value) == message


@pytest.mark.parametrize(
    "boxes, list_error",
    [
        ([(0, 0, 1)], "ValueError: expected a sequence of length 4 (got 3)"),
        ("abcd", "TypeError: Can't extract `str` to `Vec`"),
        ([None], "TypeError: 'None' is not an instance of 'Sequence'"),
        (5, "TypeError: 'int' object is not an instance of 'Sequence'"),
        ([(0, 0, 1, "x")], "TypeError: must be real number, not str"),
    ],
)
def test_box_set_errors_name_both_variants(boxes, list_error):
    with pytest.raises(TypeError) as info:
        iou_matrix(boxes, [])
    text = str(info.value)
    lines = text.split("\n")
    assert lines[0] == "failed to extract enum PyBoxes ('Array | List')"
    assert lines[1].startswith(
        "- variant Array (Array): TypeError: failed to extract field PyBoxes::Array.0, caused by TypeError: ")
    assert lines[1].endswith("is not an instance of 'ndarray'")
    assert lines[2] == ("- variant List (List): TypeError: failed to extract field PyBoxes::List.0, caused by "
                        + list_error)
    assert info.value.__notes__ == ["while processing 'boxes_a'"]


def test_wrong_arrays_name_ndarray_mismatch():
    with pytest.raises(TypeError) as info:
        iou_matrix(np.zeros((2, 2, 4)), [])
    assert "caused by TypeError: 'ndarray' object is not an instance of 'ndarray'" in str(info.value)


def test_box_format_errors():
    with pytest.raises(ValueError) as info:
        iou((0, 0, 1, 1), (0, 0, 1, 1), box_format="XYXY")
    assert str(info.value) == 'unknown box_format "XYXY", expected "xyxy" or "xywh"'
    with pytest.raises(ValueError) as info:
        iou_matrix([], [], box_format='a"\\\n\x01')
    assert str(info.value) == 'unknown box_format "a\\"\\\\\\n\\u{1}", expected "xyxy" or "xywh"'


def test_list_mutated_during_conversion_is_safe():
    boxes = [(0, 0, 1, 1)] * 3

    class Clears:
        def __float__(self):
            boxes.clear()
            return 1.0

    boxes.insert(1, (0, 0, Clears(), 1))
    result = iou_matrix(boxes, [(0, 0, 1, 1)])
    assert len(result) == 2
