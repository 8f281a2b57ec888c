"""Run-length masks: the COCO counts codec, the Mask class, IoU, matching, merge, bbox and the
dense conversions, checked against worked examples and dense numpy computations."""

import numpy as np
import pytest
from hypothesis import given, strategies as st
from hypothesis.extra import numpy as hnp
from numpy.lib.stride_tricks import as_strided

import vestrim
from vestrim import (
    Mask,
    mask_area,
    mask_decode,
    mask_encode,
    mask_iou,
    mask_iou_matrix,
    mask_merge,
    mask_to_bbox,
    match_masks,
)

MAX_RUN = 2**32 - 1


def dense(mask):
    """The (h, w) boolean image of a Mask, expanded independently of the extension."""
    h, w = mask.size
    flat = np.repeat(np.arange(len(mask.counts)) % 2, mask.counts).astype(bool)
    return flat.reshape(w, h).T


@st.composite
def masks_of_size(draw, h, w):
    """Run lists covering h * w pixels, with zero-length runs anywhere (repeated cut points)."""
    n = h * w
    cuts = sorted(draw(st.lists(st.integers(0, n), max_size=10)))
    bounds = [0, *cuts, n]
    return Mask((h, w), [b - a for a, b in zip(bounds, bounds[1:])])


@st.composite
def mask_sets(draw, min_size=1, max_size=4):
    h, w = draw(st.integers(0, 6)), draw(st.integers(0, 6))
    return draw(st.lists(masks_of_size(h, w), min_size=min_size, max_size=max_size))


# ---------------------------------------------------------------------------------------------
# Compressed counts codec


@pytest.mark.parametrize(
    "runs, text",
    [
        ([0, 5, 3, 2], "053M"),  # a negative delta from the fourth run on
        ([3, 1, 2, 6], "3125"),
        ([2, 2, 2, 2, 2], "22200"),
        ([6], "6"),
        ([40], "X1"),
        ([100000], "PeQ3"),
        ([], ""),
    ],
)
def test_counts_string_examples(runs, text):
    size = (1, sum(runs)) if runs else (0, 0)
    assert Mask(size, runs).to_coco() == text
    assert Mask.from_coco(size, text).counts == runs
    assert Mask.from_coco(size, text.encode()).counts == runs


@pytest.mark.parametrize(
    "text, size, message",
    [
        ("P", (1, 1), "truncated RLE counts string"),
        ("6p", (2, 3), "invalid byte 0x70 in RLE counts string"),
        ("6 ", (2, 3), "invalid byte 0x20 in RLE counts string"),
        ("~", (2, 3), "invalid byte 0x7e in RLE counts string"),
        ("M", (1, 1), "RLE counts string decodes to an out-of-range run length (-3)"),  # no delta
        ("000M", (1, 1), "RLE counts string decodes to an out-of-range run length (-3)"),
        ("PPPPPP4", (1, 1), "RLE counts string decodes to an out-of-range run length (4294967296)"),
        ("P" * 12 + "@", (1, 1), "RLE counts string has an oversized signed run-length group"),
        ("P" * 13, (1, 1), "truncated RLE counts string"),
        ("P" * 13 + "0", (1, 1), "RLE counts string has an oversized run-length group"),
        ("", (2, 3), "RLE counts cover 0 pixels, expected 6 (2 * 3)"),
        ("6", (2, 2), "RLE counts cover 6 pixels, expected 4 (2 * 2)"),
        ("", (2**32, 2**32), "mask dimensions too large: 4294967296 * 4294967296 overflows"),
        ("\u00e9", (1, 1), "invalid byte 0xc3 in RLE counts string"),  # UTF-8, not ASCII
    ],
)
def test_counts_string_errors(text, size, message):
    with pytest.raises(ValueError) as info:
        Mask.from_coco(size, text)
    assert str(info.value) == message
    assert getattr(info.value, "__notes__", None) is None


def test_thirteen_groups_with_value_zero():
    assert Mask.from_coco((0, 0), "P" * 12 + "0").counts == [0]


@pytest.mark.parametrize(
    "counts, error, message",
    [
        (b"\xff", ValueError, "RLE counts bytes must be valid ASCII"),
        ("\ud800", TypeError, "Can't extract `str` to `Vec`"),  # not encodable as UTF-8
        ([-1, 7], OverflowError, "out of range integral type conversion attempted"),
        ([2**32], OverflowError, "out of range integral type conversion attempted"),
        ([1.0], TypeError, None),
        (None, TypeError, None),
    ],
)
def test_counts_value_errors(counts, error, message):
    with pytest.raises(error) as info:
        Mask.from_coco((1, 1), counts)
    if message is not None:
        assert str(info.value) == message


@given(st.lists(st.integers(0, MAX_RUN), max_size=12))
def test_counts_string_round_trip(runs):
    size = (1, sum(runs)) if runs else (0, 0)
    mask = Mask(size, runs)
    assert Mask.from_coco(size, mask.to_coco()).counts == runs


# ---------------------------------------------------------------------------------------------
# The Mask class and mask conversions


def test_mask_class():
    m = Mask((2, 3), [1, 2, 3])
    assert (m.size, m.counts, m.area(), m.to_coco()) == ((2, 3), [1, 2, 3], 2, "123")
    assert repr(m) == "Mask(size=(2, 3), area=2)"
    assert m.counts is not m.counts
    assert Mask(counts=[6], size=[2, 3]).counts == [6]
    assert Mask.from_coco(counts=[6], size=(2, 3)).counts == [6]
    assert Mask.__doc__.startswith("A run-length-encoded")
    assert Mask.__text_signature__ == "(size, counts)"
    with pytest.raises(AttributeError):
        m.counts = [6]
    with pytest.raises(TypeError):
        type("Sub", (Mask,), {})


@pytest.mark.parametrize(
    "size, counts, error, message, param",
    [
        ((2, 3), [1, 2, 4], ValueError, "RLE counts cover 7 pixels, expected 6 (2 * 3)", None),
        ((2, 3, 4), [24], ValueError, "expected a sequence of length 2 (got 3)", "size"),
        ((-1, 3), [], OverflowError, None, "size"),
        ((2, 3), "6", TypeError, "Can't extract `str` to `Vec`", "counts"),
        ((2, 3), [2**32], OverflowError, "out of range integral type conversion attempted", "counts"),
    ],
)
def test_mask_constructor_errors(size, counts, error, message, param):
    with pytest.raises(error) as info:
        Mask(size, counts)
    if message is not None:
        assert str(info.value) == message
    notes = getattr(info.value, "__notes__", None)
    assert notes == ([f"while processing '{param}'"] if param else None)


@pytest.mark.parametrize(
    "value, error, message",
    [
        ({"counts": "6"}, KeyError, None),
        ({"size": [2, 3]}, KeyError, None),
        ({"size": [2, 3, 4]}, ValueError, "expected a sequence of length 2 (got 3)"),  # before counts
        ({"size": [2, 3], "counts": [1, 2]}, ValueError, "RLE counts cover 3 pixels, expected 6 (2 * 3)"),
        (None, TypeError, None),
    ],
)
def test_mask_mapping_errors_carry_no_note(value, error, message):
    with pytest.raises(error) as info:
        mask_area(value)
    if message is not None:
        assert str(info.value) == message
    assert getattr(info.value, "__notes__", None) is None


def test_mask_mappings_accept_every_counts_form():
    for counts in ("135", b"135", [1, 3, 5], (1, 3, 5)):
        assert mask_area({"size": (3, 3), "counts": counts}) == 3


def test_mask_arguments_are_copied():
    m = Mask((2, 2), [1, 2, 1])
    merged = mask_merge([m])
    assert merged is not m and merged.counts == m.counts


# ---------------------------------------------------------------------------------------------
# IoU


def test_iou_examples():
    small = Mask((3, 3), [4, 1, 4])
    large = Mask((3, 3), [1, 7, 1])
    empty = Mask((3, 3), [9])
    assert mask_iou(small, small) == 1.0
    assert mask_iou(empty, empty) == 0.0
    assert mask_iou(small, large) == 1 / 7
    assert mask_iou(small, large, is_crowd=True) == 1.0
    assert mask_iou(large, small, is_crowd=np.bool_(True)) == 1 / 7
    assert mask_iou({"size": [0, 4], "counts": []}, Mask((0, 4), [0])) == 0.0


def test_iou_walks_past_coinciding_zero_length_runs():
    # Both masks stand on a zero-length run after the first pixel; the rest of the image counts.
    a = Mask((5, 1), [1, 0, 1, 2, 1])
    b = Mask((5, 1), [1, 0, 2, 1, 1])
    assert mask_iou(a, a) == 1.0
    assert mask_iou(a, b) == 0.5
    assert mask_iou_matrix([a, b], [a]) == [[1.0], [0.5]]


def test_iou_errors():
    with pytest.raises(ValueError, match=r"^mask size mismatch: \(2, 2\) vs \(2, 3\)$"):
        mask_iou(Mask((2, 2), [4]), Mask((2, 3), [6]))
    with pytest.raises(TypeError) as info:
        mask_iou(Mask((1, 1), [1]), None, is_crowd=1)  # the flag is converted first
    assert info.value.__notes__ == ["while processing 'is_crowd'"]


def test_iou_matrix_edges():
    m = Mask((2, 2), [1, 2, 1])
    other = Mask((3, 3), [9])
    assert mask_iou_matrix([], [m]) == []
    assert mask_iou_matrix([m, other], []) == [[], []]  # no size checks without pairs
    with pytest.raises(ValueError, match=r"^is_crowd must have one entry per mask in the second set, got 1 for 2$"):
        mask_iou_matrix([m], [m, m], is_crowd=[True])
    with pytest.raises(ValueError, match="mask size mismatch"):
        mask_iou_matrix([m], [m, other])


@given(mask_sets(min_size=2, max_size=2), st.booleans())
def test_iou_and_area_agree_with_dense(pair, is_crowd):
    a, b = pair
    da, db = dense(a), dense(b)
    inter = int(np.count_nonzero(da & db))
    denominator = int(np.count_nonzero(da)) if is_crowd else int(np.count_nonzero(da | db))
    expected = inter / denominator if inter else 0.0
    assert mask_area(a) == a.area() == np.count_nonzero(da)
    assert mask_iou(a, b, is_crowd) == expected


@given(mask_sets(max_size=3), mask_sets(max_size=3), st.data())
def test_iou_matrix_agrees_with_pairwise_iou(masks_a, masks_b, data):
    masks_b = [Mask(masks_a[0].size, m.counts) for m in masks_b if m.size == masks_a[0].size] or masks_a
    crowd = data.draw(st.lists(st.booleans(), min_size=len(masks_b), max_size=len(masks_b)))
    assert mask_iou_matrix(masks_a, masks_b, crowd) == [
        [mask_iou(a, b, c) for b, c in zip(masks_b, crowd)] for a in masks_a
    ]


# ---------------------------------------------------------------------------------------------
# Matching


def test_match_masks():
    left = Mask((2, 2), [0, 2, 2])
    right = Mask((2, 2), [2, 2])
    half = Mask((2, 2), [0, 1, 3])
    result = match_masks([right, left], [left, half, right])
    assert result.matches == [(0, 2), (1, 0)]
    assert result.scores == [1.0, 1.0]
    assert result.unmatched_b == [1]
    assert match_masks([left], [right], iou_threshold=0.1, method="greedy").matches == []
    empty = match_masks([], [left, right])
    assert (empty.matches, empty.unmatched_a, empty.unmatched_b) == ([], [], [0, 1])


def test_match_masks_error_order():
    with pytest.raises(ValueError, match="^unknown method"):
        match_masks([None], [None], method="Greedy")  # the method is checked before any mask
    with pytest.raises(TypeError) as info:
        match_masks("masks", [])
    assert info.value.__notes__ == ["while processing 'masks_a'"]
    with pytest.raises(ValueError, match=r"mask size mismatch: \(2, 2\) vs \(1, 4\)"):
        match_masks([Mask((2, 2), [4])], [Mask((1, 4), [4])])


# ---------------------------------------------------------------------------------------------
# Merge, bounding box, dense conversion


@pytest.mark.parametrize(
    "size, counts, xyxy, xywh",
    [
        ((2, 2), [0, 4], (0.0, 0.0, 2.0, 2.0), (0.0, 0.0, 2.0, 2.0)),
        ((3, 3), [4, 1, 4], (1.0, 1.0, 2.0, 2.0), (1.0, 1.0, 1.0, 1.0)),
        ((3, 3), [2, 2, 5], (0.0, 0.0, 2.0, 3.0), (0.0, 0.0, 2.0, 3.0)),  # crosses a column
        ((3, 3), [9, 0], (0.0, 0.0, 0.0, 0.0), (0.0, 0.0, 0.0, 0.0)),
    ],
)
def test_bbox_examples(size, counts, xyxy, xywh):
    assert mask_to_bbox(Mask(size, counts)) == xyxy
    assert mask_to_bbox(Mask(size, counts), box_format="xywh") == xywh


def test_bbox_format_checked_after_the_mask():
    with pytest.raises(ValueError, match='^unknown box_format "XYXY", expected "xyxy" or "xywh"$'):
        mask_to_bbox(Mask((1, 1), [1]), "XYXY")
    with pytest.raises(TypeError, match="not subscriptable"):
        mask_to_bbox(None, "bad")


@given(mask_sets(max_size=1))
def test_bbox_agrees_with_dense(masks):
    image = dense(masks[0])
    rows, cols = np.nonzero(image)
    expected = (cols.min(), rows.min(), cols.max() + 1, rows.max() + 1) if rows.size else (0, 0, 0, 0)
    assert mask_to_bbox(masks[0]) == tuple(float(v) for v in expected)


def test_merge_examples():
    full, empty = Mask((2, 2), [0, 4]), Mask((2, 2), [4, 0])
    assert mask_merge([full, empty]).counts == [0, 4]
    assert mask_merge([full, empty], intersect=True).counts == [4]
    assert mask_merge([]).size == (0, 0) and mask_merge([]).counts == []
    with pytest.raises(ValueError, match=r"^mask size mismatch: \(2, 2\) vs \(2, 3\)$"):
        mask_merge([full, Mask((2, 3), [6])])
    with pytest.raises(TypeError) as info:
        mask_merge([full], intersect=1)
    assert info.value.__notes__ == ["while processing 'intersect'"]


def test_merge_of_more_than_four_billion_pixels_splits_long_runs():
    h, w = 65536, 65537
    n = h * w
    head = Mask((h, w), [0, MAX_RUN, n - MAX_RUN])  # foreground, then background
    tail = Mask((h, w), [MAX_RUN, n - MAX_RUN])  # background, then foreground
    nothing = mask_merge([head, tail], intersect=True)
    assert nothing.counts == [MAX_RUN, 0, n - MAX_RUN]
    assert nothing.area() == 0
    everything = mask_merge([head, tail])
    assert everything.counts == [0, MAX_RUN, 0, n - MAX_RUN]
    assert everything.area() == n
    assert mask_to_bbox(everything) == (0.0, 0.0, float(w), float(h))


@given(mask_sets(max_size=4), st.booleans())
def test_merge_agrees_with_dense(masks, intersect):
    images = [dense(m) for m in masks]
    expected = np.logical_and.reduce(images) if intersect else np.logical_or.reduce(images)
    merged = mask_merge(masks, intersect=np.bool_(intersect))
    assert merged.size == masks[0].size
    assert np.array_equal(dense(merged), expected)


def test_decode_and_encode_examples():
    assert mask_decode(Mask((2, 2), [0, 4])) == [[1, 1], [1, 1]]
    assert mask_decode(Mask((2, 3), [1, 2, 3])) == [[0, 1, 0], [1, 0, 0]]
    assert mask_decode(Mask((0, 3), [])) == []
    assert mask_decode(Mask((2, 0), [0])) == [[], []]
    bitmap = np.array([[0, 7], [0, 0]], dtype=np.uint8)
    encoded = mask_encode(bitmap)
    assert (encoded.size, encoded.counts) == ((2, 2), [2, 1, 1])
    assert mask_encode(np.zeros((0, 4), np.uint8)).counts == [0]
    assert mask_encode(np.ones((2, 2), np.uint8)).counts == [0, 4]


@pytest.mark.parametrize(
    "bitmap, name",
    [
        ([[0, 1]], "list"),
        (np.zeros((2, 2)), "ndarray"),
        (np.zeros((2, 2, 1), np.uint8), "ndarray"),
    ],
)
def test_encode_refuses_anything_but_2d_uint8_arrays(bitmap, name):
    with pytest.raises(TypeError) as info:
        mask_encode(bitmap)
    assert str(info.value) == f"'{name}' object is not an instance of 'ndarray'"
    assert info.value.__notes__ == ["while processing 'bitmap'"]


@given(hnp.arrays(np.uint8, hnp.array_shapes(min_dims=2, max_dims=2, min_side=0, max_side=12),
                  elements=st.sampled_from([0, 0, 1, 255])))
def test_encode_decode_agree_with_the_bitmap_and_its_views(bitmap):
    for view in (bitmap, bitmap.T, bitmap[::-1], bitmap[:, ::-2], np.asfortranarray(bitmap)):
        mask = mask_encode(view)
        assert mask.size == view.shape
        assert np.array_equal(np.array(mask_decode(mask), dtype=bool).reshape(view.shape), view != 0)
        assert np.array_equal(dense(mask), view != 0)


@pytest.mark.parametrize("value", [0, 1])
def test_encode_of_more_than_four_billion_pixels(value):
    # Every column is the same 65536 bytes: a read-only strided view over a small buffer.
    h, w = 65536, 65537
    column = np.full(h, value, dtype=np.uint8)
    bitmap = as_strided(column, shape=(h, w), strides=(1, 0), writeable=False)
    mask = mask_encode(bitmap)
    n = h * w
    assert mask.counts == ([MAX_RUN, 0, n - MAX_RUN] if value == 0 else [0, MAX_RUN, 0, n - MAX_RUN])


def test_registration_order():
    names = vestrim._vestrim.__all__
    i = names.index("match_masks")
    assert names[i : i + 9] == [
        "match_masks", "mask_area", "mask_iou", "mask_iou_matrix", "mask_decode",
        "mask_encode", "mask_merge", "mask_to_bbox", "Mask",
    ]
