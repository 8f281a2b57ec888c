"""Module surface: registration order, argument binding, conversion notes, reference safety."""

import importlib
import importlib.util
import struct
import subprocess
import sys
import types

import pytest

import vestrim
from vestrim import _vestrim

EXPECTED_ORDER = [
    "__version__", "version", "is_debug_build", "iou", "iou_matrix", "iou_3d", "iou_3d_matrix",
    "match_boxes", "match_boxes_3d", "match_masks", "mask_area", "mask_iou", "mask_iou_matrix",
    "mask_decode", "mask_encode", "mask_merge", "mask_to_bbox", "Mask", "compute_clear",
    "compute_clear_from_similarity", "compute_quorvantix_switch_events", "compute_identity",
    "compute_identity_from_similarity", "compute_hota", "compute_hota_from_similarity", "evaluate",
    "Accumulator", "AccumulatorResult", "Matching", "ClearMetrics", "QuorvantixSwitchEvents",
    "IdentityMetrics", "HotaMetrics", "EvaluationResult",
]


def test_all_follows_registration_order():
    # Every registered name appears in its fixed relative order.
    assert _vestrim.__all__ == [n for n in EXPECTED_ORDER if n in _vestrim.__all__]
    assert _vestrim.__all__[:4] == ["__version__", "version", "is_debug_build", "iou"]
    for name in _vestrim.__all__:
        assert getattr(vestrim, name) is getattr(_vestrim, name)
    assert "InternalError" not in _vestrim.__all__


def test_version_and_debug_flag():
    assert _vestrim.__version__ == "0.3.0" == _vestrim.version() == vestrim.__version__
    assert _vestrim.is_debug_build() is False
    with pytest.raises(TypeError):
        _vestrim.version(1)
    assert _vestrim.__doc__ == "The `vestrim._vestrim` extension module."
    assert _vestrim.is_debug_build.__doc__.startswith("Whether the extension was compiled with debug")


def test_internal_error_is_not_an_exception_subclass():
    assert issubclass(_vestrim.InternalError, BaseException)
    assert not issubclass(_vestrim.InternalError, Exception)


def test_import_does_not_import_numpy():
    code = "import sys, vestrim; vestrim.iou_matrix([(0, 0, 1, 1)], [(0, 0, 1, 1)]); print('numpy' in sys.modules)"
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout.strip() == "False"


def test_text_signatures():
    assert _vestrim.iou.__text_signature__ == '(box_a, box_b, box_format="xyxy")'
    assert _vestrim.iou_matrix.__doc__.startswith("Pairwise IoU matrix between two sets of boxes.")


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: _vestrim.iou([0, 0, 1, 1]), "iou() missing 1 required positional argument: 'box_b'"),
        (lambda: _vestrim.iou(), "iou() missing 2 required positional arguments: 'box_a' and 'box_b'"),
        (lambda: _vestrim.iou(1, 2, 3, 4), "iou() takes from 2 to 3 positional arguments but 4 were given"),
        (lambda: _vestrim.iou((0, 0, 1, 1), box_a=(0, 0, 1, 1)), "iou() got multiple values for argument 'box_a'"),
        (lambda: _vestrim.iou((0, 0, 1, 1), (0, 0, 1, 1), fmt="xyxy"),
         "iou() got an unexpected keyword argument 'fmt'"),
    ],
)
def test_binding_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


def test_binding_errors_of_larger_signatures():
    if not hasattr(_vestrim, "compute_clear"):
        pytest.skip("compute_clear not built")
    with pytest.raises(TypeError, match=r"^compute_clear\(\) got an unexpected keyword argument 'threshold'$"):
        _vestrim.compute_clear(gt_ids=[], gt_boxes=[], pred_ids=[], pred_boxes=[], threshold=0.5)
    with pytest.raises(TypeError) as info:
        _vestrim.compute_clear()
    assert str(info.value) == (
        "compute_clear() missing 4 required positional arguments: "
        "'gt_ids', 'gt_boxes', 'pred_ids' and 'pred_boxes'")
    with pytest.raises(TypeError) as info:
        _vestrim.compute_clear([], [], [], [], 0.5, "xyxy", 1)
    assert str(info.value) == "compute_clear() takes from 4 to 6 positional arguments but 7 were given"


class Explodes:
    def __float__(self):
        raise RuntimeError("boom")

    def __index__(self):
        raise RuntimeError("boom")


@pytest.mark.parametrize(
    "kwargs, exc, param",
    [
        (dict(box_a=None, box_b=(0, 0, 1, 1)), TypeError, "box_a"),
        (dict(box_a=(0, 0, 1, 1), box_b=(0, 0, 1)), ValueError, "box_b"),
        (dict(box_a=(0, 0, 1, 1), box_b=(0, 0, 1, Explodes())), RuntimeError, "box_b"),
        (dict(box_a=(0, 0, 1, 1), box_b=(0, 0, 1, 1), box_format=None), TypeError, "box_format"),
    ],
)
def test_conversion_failures_carry_a_note(kwargs, exc, param):
    with pytest.raises(exc) as info:
        _vestrim.iou(**kwargs)
    assert info.value.__notes__ == [f"while processing '{param}'"]


def test_failing_calls_leak_no_references():
    bad_box = [0, 0, 1]
    bad_set = [(0, 0, 1, 1), (0, 0, 1)]
    fmt = "nope"
    before = [sys.getrefcount(o) for o in (bad_box, bad_set, fmt)]
    for _ in range(3000):
        for call in (lambda: _vestrim.iou(bad_box, bad_box),
                     lambda: _vestrim.iou_matrix(bad_set, bad_set),
                     lambda: _vestrim.iou_matrix([], [], box_format=fmt)):
            with pytest.raises((TypeError, ValueError)):
                call()
    assert [sys.getrefcount(o) for o in (bad_box, bad_set, fmt)] == before


def id_and_similarity_forms(seed):
    """One similarity sequence as plain lists and as NumPy arrays in several layouts."""
    import numpy as np

    rng = np.random.default_rng(seed)
    gt_ids, pred_ids, sims = [], [], []
    for t in range(12):
        n, m = int(rng.integers(0, 5)), int(rng.integers(0, 5))
        gt_ids.append(rng.integers(-3, 6, n).tolist())
        pred_ids.append(rng.integers(2**62, 2**62 + 6, m).tolist())
        s = np.round(rng.random((n, m)), 2)
        s[s < 0.3] = 0.0
        if t == 5 and n and m:
            s[0, 0] = np.nan
        sims.append(s)
    as_lists = (gt_ids, pred_ids, [s.tolist() for s in sims])
    ids = lambda frames, layout: [layout(np.array(f, dtype=np.int64)) for f in frames]
    forms = {
        "lists": as_lists,
        "contiguous": (ids(gt_ids, lambda a: a), ids(pred_ids, lambda a: a), sims),
        "strided and Fortran": (ids(gt_ids, lambda a: np.repeat(a, 2)[::2]), ids(pred_ids, lambda a: a[::-1][::-1]),
                                [np.asfortranarray(s) for s in sims]),
        "big-endian": (ids(gt_ids, lambda a: a.astype(">i8")), ids(pred_ids, lambda a: a.astype(">i8")),
                       [s.astype(">f8") for s in sims]),
        "rows as arrays": ([np.array(f, dtype=np.int32) for f in gt_ids], tuple(pred_ids),
                           [[row.copy() for row in s] for s in sims]),
        "column views": (gt_ids, pred_ids, [np.repeat(s, 2, axis=1)[:, ::2] for s in sims]),
        # Arrays read in place between frames that are copied.
        "arrays and lists": (gt_ids, pred_ids, [s if t % 3 else s.tolist() for t, s in enumerate(sims)]),
        "arrays and strided": (gt_ids, pred_ids, [s if t % 2 else np.asfortranarray(s) for t, s in enumerate(sims)]),
    }
    return forms


@pytest.mark.parametrize("seed", range(3))
def test_every_id_and_similarity_form_gives_the_same_metrics(seed):
    forms = id_and_similarity_forms(seed)
    def results(gt_ids, pred_ids, sims):
        acc = vestrim.Accumulator()
        for frame in zip(gt_ids, pred_ids, sims):
            acc.update_from_similarity(*frame)
        return [repr(vestrim.compute_clear_from_similarity(gt_ids, pred_ids, sims, 0.5)),
                repr(vestrim.compute_identity_from_similarity(gt_ids, pred_ids, sims, 0.5)),
                vestrim.compute_clear_from_similarity(gt_ids, pred_ids, sims, 0.5).track_ratios,
                repr(acc.compute())]
    expected = results(*forms.pop("lists"))
    for name, form in forms.items():
        assert results(*form) == expected, name


@pytest.mark.parametrize(
    "similarity, message",
    [
        ("rows", "frame 0: similarity has 2 rows, expected 3 (len(gt_ids[0]))"),
        ("cols", "frame 0: similarity row 0 has 2 columns, expected 1 (len(pred_ids[0]))"),
    ],
)
def test_similarity_arrays_are_checked_like_lists(similarity, message):
    import numpy as np

    sims = [np.zeros((2, 1))] if similarity == "rows" else [np.zeros((3, 2))]
    with pytest.raises(ValueError) as info:
        vestrim.compute_clear_from_similarity([[1, 2, 3]], [np.array([7], dtype=np.int64)], sims)
    assert str(info.value) == message


def dynamic_exports(path):
    """Names of the symbols an ELF64 little-endian shared object defines in its dynamic table with
    global, weak or unique binding (what `nm -D --defined-only` lists)."""
    with open(path, "rb") as f:
        data = f.read()
    if data[:6] != b"\x7fELF\x02\x01":
        pytest.skip("not an ELF64 little-endian object")
    shoff = struct.unpack_from("<Q", data, 0x28)[0]
    shentsize, shnum = struct.unpack_from("<HH", data, 0x3A)
    # (type, offset, size, link, entry size) of every section
    sections = [struct.unpack_from("<4xI16xQQI12xQ", data, shoff + i * shentsize) for i in range(shnum)]
    names = set()
    for kind, offset, size, link, entsize in sections:
        if kind != 11:  # SHT_DYNSYM
            continue
        strings = sections[link][1]
        for sym in range(offset + entsize, offset + size, entsize):  # entry 0 is the null symbol
            name, info, _, section = struct.unpack_from("<IBBH", data, sym)
            if section != 0 and info >> 4 != 0:  # defined, not local
                names.add(data[strings + name : data.index(b"\0", strings + name)].decode())
    return names


@pytest.mark.parametrize("module", ["_vestrim", "_native", "_core_testing"])
def test_modules_export_only_their_init_function(module):
    path = importlib.import_module(f"vestrim.{module}").__file__
    assert dynamic_exports(path) == {f"PyInit_{module}"}


@pytest.mark.parametrize("module", ["_vestrim", "_native"])
def test_modules_use_multi_phase_initialisation(module):
    # A second, independent module object gets its names only when executed.
    spec = importlib.util.find_spec(f"vestrim.{module}")
    fresh = importlib.util.module_from_spec(spec)
    assert fresh is not importlib.import_module(f"vestrim.{module}") and not hasattr(fresh, "evaluate")
    spec.loader.exec_module(fresh)
    assert fresh.evaluate([[1]], [[(0, 0, 1, 1)]], [[2]], [[(0, 0, 1, 1)]])


@pytest.mark.parametrize(
    "result, names",
    [
        (lambda: vestrim.evaluate([], [], [], []), ["clear", "identity", "hota"]),
        (lambda: vestrim.Accumulator().compute(), ["clear", "identity"]),
    ],
)
def test_nested_results_are_read_only_members(result, names):
    r = result()
    for name in names:
        assert type(vars(type(r))[name]) is types.MemberDescriptorType
        assert getattr(r, name) is getattr(r, name)
        with pytest.raises(AttributeError):
            setattr(r, name, None)
