"""Masks and NumPy arrays: mask_encode over every memory layout, mask_to_array, and the refusal of
outputs that cannot be built."""

import subprocess
import sys

import numpy as np
import pytest
from hypothesis import given, strategies as st
from numpy.lib.stride_tricks import as_strided

from vestrim import Mask, mask_decode, mask_encode, mask_to_array

MAX_RUN = 2**32 - 1


def reference_runs(bitmap):
    """COCO runs of a small bitmap, computed with numpy: column-major, background first."""
    flat = (np.asarray(bitmap) != 0).T.ravel()
    changes = np.flatnonzero(flat[1:] != flat[:-1]) + 1
    bounds = [0, *changes.tolist(), flat.size]
    runs = np.diff(bounds).tolist() if flat.size else [0]
    return [0, *runs] if flat.size and flat[0] else runs


def random_bitmap(rng, h, w):
    """Noise of a random density, or a filled rectangle (long runs across whole blocks)."""
    if rng.random() < 0.5:
        bitmap = np.zeros((h, w), np.uint8)
        r0, r1 = sorted(rng.integers(0, h + 1, 2))
        c0, c1 = sorted(rng.integers(0, w + 1, 2))
        bitmap[r0:r1, c0:c1] = rng.integers(1, 256)
        return bitmap
    return (rng.random((h, w)) < rng.random()) * rng.integers(0, 256, (h, w)).astype(np.uint8)


# Heights around the 8- and 64-row groups of the C-order reader, widths around its 16-column
# vectors and 64-column strips.
SHAPES = [(1, 16), (1, 1), (7, 17), (8, 64), (63, 65), (64, 80), (65, 130), (130, 79), (200, 3),
          (3, 300), (129, 16), (16, 40), (70, 117)]


@pytest.mark.parametrize("h, w", SHAPES)
def test_encode_is_the_same_for_every_layout(h, w):
    rng = np.random.default_rng(h * 1000 + w)
    for _ in range(20):
        bitmap = random_bitmap(rng, h, w)
        expected = reference_runs(bitmap)
        padded = np.zeros((2 * h, w + 7), np.uint8)
        padded[::2, 3 : 3 + w] = bitmap
        as_bool = bitmap != 0
        views = {
            "C": bitmap,
            "F": np.asfortranarray(bitmap),
            "rows strided": padded[::2, 3 : 3 + w],
            "rows reversed": np.ascontiguousarray(bitmap[::-1])[::-1],
            "both strided": np.ascontiguousarray(np.repeat(bitmap, 2, axis=1))[:, ::2],
            "bool viewed": as_bool.view(np.uint8),
            "bool viewed, F": np.asfortranarray(as_bool).view(np.uint8),
        }
        for name, view in views.items():
            mask = mask_encode(view)
            assert (mask.size, mask.counts) == ((h, w), expected), name


def test_c_order_encode_of_more_than_four_billion_pixels():
    # Every row is the same 65536 bytes of foreground: one run longer than a count can hold.
    h, w = 65537, 65536
    bitmap = as_strided(np.ones(w, np.uint8), shape=(h, w), strides=(0, 1), writeable=False)
    n = h * w
    assert mask_encode(bitmap).counts == [0, MAX_RUN, 0, n - MAX_RUN]


@st.composite
def mask_stacks(draw):
    h, w = draw(st.integers(0, 40)), draw(st.integers(0, 40))
    masks = []
    for _ in range(draw(st.integers(1, 3))):
        cuts = sorted(draw(st.lists(st.integers(0, h * w), max_size=12)))
        bounds = [0, *cuts, h * w]
        masks.append(Mask((h, w), [b - a for a, b in zip(bounds, bounds[1:])]))
    return masks


@given(mask_stacks())
def test_mask_to_array_matches_mask_decode(masks):
    h, w = masks[0].size
    decoded = [np.array(mask_decode(m), dtype=bool).reshape(h, w) for m in masks]
    for order in ("F", "C"):
        single = mask_to_array(masks[0], order=order)
        assert single.dtype == np.bool_ and single.shape == (h, w)
        assert single.flags[f"{order}_CONTIGUOUS"] and single.flags.writeable
        assert np.array_equal(single, decoded[0])
        stack = mask_to_array(masks, order)
        assert stack.dtype == np.bool_ and stack.shape == (len(masks), h, w)
        assert all(stack[i].flags[f"{order}_CONTIGUOUS"] for i in range(len(masks)))
        assert np.array_equal(stack, np.array(decoded).reshape(len(masks), h, w))
    assert mask_to_array(masks[0]).flags.f_contiguous  # column-major by default
    assert np.array_equal(mask_to_array(tuple(masks)), mask_to_array(masks))


def test_mask_to_array_keeps_pixels_past_a_run_boundary():
    # Zero-length runs between full runs and a row-major tile edge inside a run.
    mask = Mask((17, 20), [5, 0, 0, 100, 0, 235])
    assert np.array_equal(mask_to_array(mask, "C"), np.array(mask_decode(mask), dtype=bool))


M = Mask((2, 3), [1, 2, 3])


@pytest.mark.parametrize(
    "args, kwargs, error, message, note",
    [
        (({"size": [2, 3], "counts": [6]},), {}, TypeError,
         "expected a Mask or a sequence of Masks, got 'dict'", "masks"),
        (("01",), {}, TypeError, "expected a Mask or a sequence of Masks, got 'str'", "masks"),
        ((None,), {}, TypeError, "expected a Mask or a sequence of Masks, got 'NoneType'", "masks"),
        (([M, 3],), {}, TypeError, "expected a Mask at index 1, got 'int'", "masks"),
        ((M,), {"order": None}, TypeError, "'None' is not an instance of 'str'", "order"),
        ((M, "c"), {}, ValueError, "order must be \"F\" or \"C\", got 'c'", None),
        (([M, Mask((3, 2), [6])],), {}, ValueError, "mask size mismatch: (2, 3) vs (3, 2)", None),
        (([],), {}, ValueError, "mask_to_array() needs at least one mask to stack", None),
        ((M, "F", 1), {}, TypeError,
         "mask_to_array() takes from 1 to 2 positional arguments but 3 were given", None),
        ((), {"masks": M, "orders": "F"}, TypeError,
         "mask_to_array() got an unexpected keyword argument 'orders'", None),
    ],
)
def test_mask_to_array_errors(args, kwargs, error, message, note):
    with pytest.raises(error) as info:
        mask_to_array(*args, **kwargs)
    assert str(info.value) == message
    assert getattr(info.value, "__notes__", None) == ([f"while processing '{note}'"] if note else None)


def huge_mask(side):
    """A (side, side) all-background mask, built from few runs."""
    n = side * side
    return Mask((side, side), [MAX_RUN, 0] * (n // MAX_RUN) + [n % MAX_RUN])


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda m: mask_decode(m), r"decoding a \(16777216, 16777216\) mask needs \d+ bytes"),
        (lambda m: mask_to_array(m), r"decoding a \(16777216, 16777216\) mask needs 281474976710656 bytes"),
        (lambda m: mask_to_array([m] * 2**15, order="C"),
         r"decoding a stack of 32768 \(16777216, 16777216\) masks covers 9223372036854775808 pixels, "
         r"more than 2\^63 - 1"),
        (lambda m: mask_to_array(Mask((0, 2**64 - 1), [])),
         r"decoding a \(0, 18446744073709551615\) mask gives an array side of more than 2\^63 - 1"),
    ],
)
def test_outputs_that_cannot_be_built_are_refused_at_once(call, message):
    with pytest.raises(MemoryError, match=message):
        call(huge_mask(2**24))


ENCODE_UNDER_MEMORY_LIMIT = """
import resource, numpy as np, vestrim
from numpy.lib.stride_tricks import as_strided
used = next(int(line.split()[1]) for line in open("/proc/self/status") if line.startswith("VmSize:"))
limit = used * 1024 + 2**30
if limit > 2**33:
    print("skip: address space already large")
else:
    resource.setrlimit(resource.RLIMIT_AS, (limit, resource.getrlimit(resource.RLIMIT_AS)[1]))
    # 2^62 pixels of background: even the shortest run list takes over 8 GB.
    bitmap = as_strided(np.zeros(1, np.uint8), shape=(2**31, 2**31), strides=(0, 0))
    try:
        vestrim.mask_encode(bitmap)
    except MemoryError as error:
        print(error)
"""


def test_encode_whose_run_list_cannot_fit_is_refused_at_once():
    proc = subprocess.run([sys.executable, "-c", ENCODE_UNDER_MEMORY_LIMIT], capture_output=True,
                          text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr
    if proc.stdout.startswith("skip"):
        pytest.skip(proc.stdout.strip())  # under the sanitizer's huge address space
    runs = 2 * -(-(2**62) // MAX_RUN) - 1
    assert proc.stdout.startswith(
        f"encoding a (2147483648, 2147483648) mask needs {4 * runs} bytes, more than the ")
