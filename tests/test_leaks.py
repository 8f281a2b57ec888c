"""Every public entry point called many times, on success and on each error path: Python
allocations (tracemalloc), the resident size and the reference counts of the arguments must not
grow."""

import gc
import os
import sys
import tracemalloc

import numpy as np
import pytest

import vestrim
from vestrim import Accumulator, Mask, _native, _vestrim

BOX = (0.0, 0.0, 2.0, 2.0)
BOXES = [(0.0, 0.0, 2.0, 2.0), (1.0, 1.0, 3.0, 3.0), [5, 5, 6, 6]]
ARRAY = np.array(BOXES, dtype=np.float64)
STRIDED = np.asfortranarray(ARRAY)
WIDE = np.zeros((2, 5))
BOX3D = (0.0, 0.0, 0.0, 2.0, 1.0, 1.0, 0.3)
BOXES3D = [BOX3D, (0.5, 0.0, 0.0, 2.0, 1.0, 1.0, 0.0)]
ARRAY3D = np.array(BOXES3D)
M = Mask((3, 3), [1, 4, 4])
M2 = Mask((3, 3), [4, 1, 4])
OTHER = Mask((2, 2), [0, 4])
COCO = M.to_coco()
DICT_STR = {"size": [3, 3], "counts": COCO}
DICT_BYTES = {"size": (3, 3), "counts": COCO.encode()}
DICT_LIST = {"size": [3, 3], "counts": [1, 4, 4]}
BAD_DICTS = [{"counts": "6"}, {"size": [3]}, {"size": [2, 3]}, {"size": [2, 3], "counts": "P"},
             {"size": [2, 3], "counts": b"\xff"}, {"size": [2, 3], "counts": [7]}, {"size": [2, 3], "counts": 3.5}]
BITMAP = np.array([[0, 7, 1], [0, 0, 1]], dtype=np.uint8)
GT_IDS = [[1, 2], [1, 2], [2]]
GT_BOXES = [BOXES[:2], ARRAY[:2], [BOX]]
PRED_IDS = [[7, 8], [8], []]
PRED_BOXES = [[BOX, BOXES[2]], ARRAY[1:2], []]
SIM = [[[0.9, 0.1], [0.2, 0.6]], np.array([[0.3], [0.8]]), [[]]]
NAN_SIM = [[[float("nan")]]]
INF_SIM = [[[float("inf")]]]
STR = "xywh"


class Raises:
    def __float__(self):
        raise ArithmeticError("no float")

    __index__ = __float__


RAISES = Raises()

E = (TypeError, ValueError, OverflowError, KeyError, ArithmeticError, MemoryError)

# (name, callable, positional args, keyword args, expected exception or None)
CASES = [
    ("version", _vestrim.version, (), {}, None),
    ("version/arg", _vestrim.version, (1,), {}, TypeError),
    ("is_debug_build", _vestrim.is_debug_build, (), {}, None),
    ("iou", vestrim.iou, (BOX, BOXES[1]), {}, None),
    ("iou/xywh", vestrim.iou, (BOX, BOXES[2]), {"box_format": STR}, None),
    ("iou/missing", vestrim.iou, (BOX,), {}, TypeError),
    ("iou/keyword", vestrim.iou, (BOX, BOX), {"fmt": STR}, TypeError),
    ("iou/twice", vestrim.iou, (BOX, BOX), {"box_a": BOX}, TypeError),
    ("iou/too many", vestrim.iou, (BOX, BOX, STR, STR), {}, TypeError),
    ("iou/length", vestrim.iou, (BOX, BOX[:3]), {}, ValueError),
    ("iou/element", vestrim.iou, (BOX, (0, 0, 1, RAISES)), {}, ArithmeticError),
    ("iou/format", vestrim.iou, (BOX, BOX), {"box_format": "XYXY"}, ValueError),
    ("iou/format type", vestrim.iou, (BOX, BOX), {"box_format": None}, TypeError),
    ("iou_matrix", vestrim.iou_matrix, (BOXES, ARRAY), {}, None),
    ("iou_matrix/strided xywh", vestrim.iou_matrix, (STRIDED, BOXES), {"box_format": STR}, None),
    ("iou_matrix/shape", vestrim.iou_matrix, (WIDE, BOXES), {}, ValueError),
    ("iou_matrix/set", vestrim.iou_matrix, (BOXES, [BOX, None]), {}, TypeError),
    ("iou_matrix/str", vestrim.iou_matrix, (STR, BOXES), {}, TypeError),
    ("iou_3d", vestrim.iou_3d, BOXES3D, {}, None),
    ("iou_3d/length", vestrim.iou_3d, (BOX3D, BOX), {}, ValueError),
    ("iou_3d/element", vestrim.iou_3d, (BOX3D, (0, 0, 0, 1, 1, 1, RAISES)), {}, ArithmeticError),
    ("iou_3d_matrix", vestrim.iou_3d_matrix, (BOXES3D, ARRAY3D), {}, None),
    ("iou_3d_matrix/shape", vestrim.iou_3d_matrix, (ARRAY, BOXES3D), {}, ValueError),
    ("iou_3d_matrix/set", vestrim.iou_3d_matrix, (BOXES3D, 5), {}, TypeError),
    ("match_boxes", vestrim.match_boxes, (BOXES, ARRAY), {}, None),
    ("match_boxes/greedy", vestrim.match_boxes, (ARRAY, BOXES), {"method": "greedy", "iou_threshold": 0.1}, None),
    ("match_boxes/method", vestrim.match_boxes, (BOXES, BOXES), {"method": "best"}, ValueError),
    ("match_boxes/threshold", vestrim.match_boxes, (BOXES, BOXES), {"iou_threshold": None}, TypeError),
    ("match_boxes_3d", vestrim.match_boxes_3d, (BOXES3D, BOXES3D), {"method": "greedy"}, None),
    ("match_boxes_3d/method", vestrim.match_boxes_3d, (BOXES3D, BOXES3D), {"method": 1}, TypeError),
    ("match_masks", vestrim.match_masks, ([M, DICT_STR], [M2, DICT_LIST]), {}, None),
    ("match_masks/method", vestrim.match_masks, ([M], [M2]), {"method": "x"}, ValueError),
    ("match_masks/size", vestrim.match_masks, ([M], [OTHER]), {}, ValueError),
    ("match_masks/mask", vestrim.match_masks, ([M], [BAD_DICTS[0]]), {}, KeyError),
    ("mask_area", vestrim.mask_area, (M,), {}, None),
    ("mask_area/str", vestrim.mask_area, (DICT_STR,), {}, None),
    ("mask_area/bytes", vestrim.mask_area, (DICT_BYTES,), {}, None),
    ("mask_area/list", vestrim.mask_area, (DICT_LIST,), {}, None),
    *[(f"mask_area/bad {i}", vestrim.mask_area, (d,), {}, E) for i, d in enumerate(BAD_DICTS)],
    ("mask_area/none", vestrim.mask_area, (None,), {}, TypeError),
    ("mask_iou", vestrim.mask_iou, (M, DICT_STR), {}, None),
    ("mask_iou/crowd", vestrim.mask_iou, (M, M2), {"is_crowd": np.bool_(True)}, None),
    ("mask_iou/size", vestrim.mask_iou, (M, OTHER), {}, ValueError),
    ("mask_iou/crowd type", vestrim.mask_iou, (M, M2), {"is_crowd": 1}, TypeError),
    ("mask_iou_matrix", vestrim.mask_iou_matrix, ([M, M2], [M2, DICT_BYTES]), {"is_crowd": [True, False]}, None),
    ("mask_iou_matrix/crowd length", vestrim.mask_iou_matrix, ([M], [M2]), {"is_crowd": [True, True]}, ValueError),
    ("mask_iou_matrix/element", vestrim.mask_iou_matrix, ([M], [M2, BAD_DICTS[3]]), {}, ValueError),
    ("mask_decode", vestrim.mask_decode, (DICT_STR,), {}, None),
    ("mask_decode/bad", vestrim.mask_decode, (BAD_DICTS[2],), {}, KeyError),
    ("mask_encode", vestrim.mask_encode, (BITMAP,), {}, None),
    ("mask_encode/view", vestrim.mask_encode, (BITMAP[::-1, ::2],), {}, None),
    ("mask_encode/dtype", vestrim.mask_encode, (ARRAY,), {}, TypeError),
    ("mask_encode/list", vestrim.mask_encode, ([[0, 1]],), {}, TypeError),
    ("mask_merge", vestrim.mask_merge, ([M, M2, DICT_STR],), {}, None),
    ("mask_merge/intersect", vestrim.mask_merge, ([M, M2],), {"intersect": True}, None),
    ("mask_merge/empty", vestrim.mask_merge, ([],), {}, None),
    ("mask_merge/size", vestrim.mask_merge, ([M, OTHER],), {}, ValueError),
    ("mask_merge/flag", vestrim.mask_merge, ([M],), {"intersect": 0}, TypeError),
    ("mask_to_bbox", vestrim.mask_to_bbox, (M,), {"box_format": STR}, None),
    ("mask_to_bbox/format", vestrim.mask_to_bbox, (M,), {"box_format": "XYXY"}, ValueError),
    ("Mask", Mask, ((3, 3), [1, 4, 4]), {}, None),
    ("Mask/cover", Mask, ((3, 3), [1, 4]), {}, ValueError),
    ("Mask/overflow", Mask, ((2**40, 2**40), []), {}, ValueError),
    ("Mask/run", Mask, ((3, 3), [1, 2**32, 4]), {}, OverflowError),
    ("Mask/str", Mask, ((3, 3), COCO), {}, TypeError),
    ("Mask/keyword", Mask, ((3, 3),), {"count": [9]}, TypeError),
    ("Mask.from_coco", Mask.from_coco, ((3, 3), COCO), {}, None),
    ("Mask.from_coco/bytes", Mask.from_coco, ((3, 3), COCO.encode()), {}, None),
    ("Mask.from_coco/list", Mask.from_coco, ((3, 3), (1, 4, 4)), {}, None),
    ("Mask.from_coco/invalid", Mask.from_coco, ((3, 3), "14:p"), {}, ValueError),
    ("Mask.from_coco/utf8", Mask.from_coco, ((3, 3), b"\xc3("), {}, ValueError),
    ("Mask.from_coco/surrogate", Mask.from_coco, ((3, 3), "\ud800"), {}, TypeError),
    ("Mask.area", Mask.area, (M,), {}, None),
    ("Mask.to_coco", Mask.to_coco, (M,), {}, None),
    ("Mask.repr", repr, (M,), {}, None),
    ("Mask.size", lambda m: m.size, (M,), {}, None),
    ("Mask.counts", lambda m: m.counts, (M,), {}, None),
    ("compute_clear", vestrim.compute_clear, (GT_IDS, GT_BOXES, PRED_IDS, PRED_BOXES), {}, None),
    ("compute_clear/frames", vestrim.compute_clear, (GT_IDS, GT_BOXES, PRED_IDS[:2], PRED_BOXES), {}, ValueError),
    ("compute_clear/boxes", vestrim.compute_clear, (GT_IDS, GT_BOXES[:2], PRED_IDS, PRED_BOXES), {}, ValueError),
    ("compute_clear/length", vestrim.compute_clear, (GT_IDS, PRED_BOXES, PRED_IDS, PRED_BOXES), {}, ValueError),
    ("compute_clear/shape", vestrim.compute_clear, ([[1, 2]], [WIDE], [[]], [[]]), {}, ValueError),
    ("compute_clear/id", vestrim.compute_clear, ([[1.0]], [[BOX]], [[]], [[]]), {}, TypeError),
    ("compute_clear/id range", vestrim.compute_clear, ([[2**63]], [[BOX]], [[]], [[]]), {}, OverflowError),
    ("compute_clear/format", vestrim.compute_clear, (GT_IDS, GT_BOXES, PRED_IDS, PRED_BOXES), {"box_format": "x"}, ValueError),
    ("compute_clear_from_similarity", vestrim.compute_clear_from_similarity, (GT_IDS, PRED_IDS, SIM), {}, None),
    ("compute_clear_from_similarity/rows", vestrim.compute_clear_from_similarity, (GT_IDS, PRED_IDS, SIM[::-1]), {}, ValueError),
    ("compute_clear_from_similarity/frames", vestrim.compute_clear_from_similarity, (GT_IDS, PRED_IDS, SIM[:2]), {}, ValueError),
    ("compute_clear_from_similarity/value", vestrim.compute_clear_from_similarity, ([[1]], [[1]], [[[RAISES]]]), {}, ArithmeticError),
    ("compute_clear_from_similarity/inf", vestrim.compute_clear_from_similarity, ([[1]], [[1]], INF_SIM), {}, BaseException),
    ("compute_quorvantix_switch_events", vestrim.compute_quorvantix_switch_events, (GT_IDS, PRED_IDS, SIM), {}, None),
    ("compute_quorvantix_switch_events/cols", vestrim.compute_quorvantix_switch_events, ([[1]], [[1, 2]], [[[0.5]]]), {}, ValueError),
    ("compute_identity", vestrim.compute_identity, (GT_IDS, GT_BOXES, PRED_IDS, PRED_BOXES), {"iou_threshold": 0.2}, None),
    ("compute_identity/length", vestrim.compute_identity, ([[1]], [[]], [[]], [[]]), {}, ValueError),
    ("compute_identity_from_similarity", vestrim.compute_identity_from_similarity, (GT_IDS, PRED_IDS, SIM), {}, None),
    ("compute_identity_from_similarity/nan", vestrim.compute_identity_from_similarity, ([[1]], [[1]], NAN_SIM), {}, None),
    ("compute_identity_from_similarity/ids", vestrim.compute_identity_from_similarity, (GT_IDS, [[RAISES]], SIM), {}, ArithmeticError),
    ("compute_hota", vestrim.compute_hota, (GT_IDS, GT_BOXES, PRED_IDS, PRED_BOXES), {"box_format": STR}, None),
    ("compute_hota/boxes", vestrim.compute_hota, (GT_IDS, [[BOX], "ab"], PRED_IDS, PRED_BOXES), {}, TypeError),
    ("compute_hota_from_similarity", vestrim.compute_hota_from_similarity, (GT_IDS, PRED_IDS, SIM), {}, None),
    ("compute_hota_from_similarity/nan", vestrim.compute_hota_from_similarity, ([[1]], [[1]], NAN_SIM), {}, BaseException),
    ("compute_hota_from_similarity/str", vestrim.compute_hota_from_similarity, ("ab", PRED_IDS, SIM), {}, TypeError),
    ("evaluate", vestrim.evaluate, (GT_IDS, GT_BOXES, PRED_IDS, PRED_BOXES), {}, None),
    ("evaluate/frames", vestrim.evaluate, (GT_IDS[:1], GT_BOXES, PRED_IDS, PRED_BOXES), {}, ValueError),
    ("Accumulator", Accumulator, (0.3,), {"box_format": STR}, None),
    ("Accumulator/format", Accumulator, (), {"box_format": "XYWH"}, ValueError),
    ("Accumulator/threshold", Accumulator, ("0.5",), {}, TypeError),
]


def fresh_update(*args):
    acc = Accumulator()
    acc.update(*args)
    acc.update_from_similarity([1, 2], [3], [[0.5], [0.75]])
    return acc.compute(), acc.num_frames, repr(acc)


ACC = Accumulator()
ACC.update([1, 2], BOXES[:2], [3], [BOX])

CASES += [
    ("Accumulator.update", fresh_update, ([1, 2], ARRAY[:2], [3], [BOX]), {}, None),
    ("Accumulator.update/length", ACC.update, ([1, 2], [BOX], [3], [BOX]), {}, ValueError),
    ("Accumulator.update/pred length", ACC.update, ([1], [BOX], [3], []), {}, ValueError),
    ("Accumulator.update/shape", ACC.update, ([1, 2], WIDE, [], []), {}, ValueError),
    ("Accumulator.update/ids", ACC.update, ([RAISES], [BOX], [], []), {}, ArithmeticError),
    ("Accumulator.update/missing", ACC.update, ([1], [BOX]), {}, TypeError),
    ("Accumulator.update_from_similarity/rows", ACC.update_from_similarity, ([1, 2], [3], [[0.5]]), {}, ValueError),
    ("Accumulator.update_from_similarity/cols", ACC.update_from_similarity, ([1], [3], [[0.5, 1]]), {}, ValueError),
    ("Accumulator.update_from_similarity/value", ACC.update_from_similarity, ([1], [3], [[RAISES]]), {}, ArithmeticError),
    ("Accumulator.compute", ACC.compute, (), {}, None),
    ("Accumulator.num_frames", lambda a: a.num_frames, (ACC,), {}, None),
    ("Accumulator.repr", repr, (ACC,), {}, None),
]


class Reenters:
    """An element whose conversion calls back into the accumulator being updated."""

    def __init__(self, action):
        self.action = action

    def __float__(self):
        self.action()
        return 0.5


REENTER_COMPUTE = Reenters(ACC.compute)
REENTER_UPDATE = Reenters(lambda: ACC.update([], [], [], []))
CASES += [
    ("Accumulator/reentrant compute", ACC.update_from_similarity, ([1], [3], [[REENTER_COMPUTE]]), {}, RuntimeError),
    ("Accumulator/reentrant update", ACC.update_from_similarity, ([1], [3], [[REENTER_UPDATE]]), {}, RuntimeError),
]

# Result objects: every attribute, and the repr.
RESULTS = {
    "Matching": vestrim.match_boxes(BOXES, BOXES),
    "ClearMetrics": vestrim.compute_clear(GT_IDS, GT_BOXES, PRED_IDS, PRED_BOXES),
    "IdentityMetrics": vestrim.compute_identity(GT_IDS, GT_BOXES, PRED_IDS, PRED_BOXES),
    "HotaMetrics": vestrim.compute_hota(GT_IDS, GT_BOXES, PRED_IDS, PRED_BOXES),
    "EvaluationResult": vestrim.evaluate(GT_IDS, GT_BOXES, PRED_IDS, PRED_BOXES),
    "AccumulatorResult": ACC.compute(),
    "QuorvantixSwitchEvents": vestrim.compute_quorvantix_switch_events(GT_IDS, PRED_IDS, SIM),
}


def read_all(obj):
    return [getattr(obj, name) for name in dir(type(obj)) if not name.startswith("_")] + [repr(obj)]


CASES += [(f"{name} attributes", read_all, (obj,), {}, None) for name, obj in RESULTS.items()]

# Event logs and track tables: the columns built, and a failure after the sequence converted.
CASES += [
    ("_native.frame_events", _native.frame_events, (GT_IDS, GT_BOXES, PRED_IDS, PRED_BOXES), {}, None),
    ("_native.frame_events bad numbers", _native.frame_events_from_similarity, (GT_IDS, PRED_IDS, SIM),
     {"frame_numbers": [1]}, ValueError),
    ("_native.track_table", _native.track_table, (GT_IDS, GT_BOXES, PRED_IDS, PRED_BOXES), {}, None),
    ("_native.track_table bad convention", _native.track_table_from_similarity, (GT_IDS, PRED_IDS, SIM),
     {"convention": "x"}, ValueError),
]
CASES += [
    (f"{name}()", type(obj), (), {}, TypeError) for name, obj in RESULTS.items()
]


def flatten(obj, depth=3):
    """The argument objects whose reference counts are checked: containers down to `depth`."""
    out = [obj]
    if depth and isinstance(obj, (list, tuple)):
        for item in obj:
            out += flatten(item, depth - 1)
    elif depth and isinstance(obj, dict):
        for value in obj.values():
            out += flatten(value, depth - 1)
    return out


def call(fn, args, kwargs, exc):
    if exc is None:
        fn(*args, **kwargs)
        return
    try:
        fn(*args, **kwargs)
    except exc:
        return
    raise AssertionError("expected an exception")


def under_address_sanitizer():
    with open("/proc/self/maps") as f:
        return "libasan" in f.read()


UNDER_ASAN = under_address_sanitizer()


def resident_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


@pytest.mark.parametrize("name, fn, args, kwargs, exc", CASES, ids=[c[0] for c in CASES])
def test_no_growth(name, fn, args, kwargs, exc):
    # Shared immutable values (small ints, floats, strings) change counts through unrelated code.
    shared = (int, float, str, bytes, type(None))
    objects = [o for a in (*args, *kwargs.values()) for o in flatten(a) if not isinstance(o, shared)]
    objects += [Mask, Accumulator, vestrim.ClearMetrics, vestrim.HotaMetrics, vestrim.Matching]
    growth = []
    tracemalloc.start()
    try:
        # Warm up while tracing: the interpreter's free lists then hold traced blocks only.
        for _ in range(200):
            call(fn, args, kwargs, exc)
        counts = [sys.getrefcount(o) for o in objects]
        for _ in range(4):
            before = tracemalloc.get_traced_memory()[0]
            for _ in range(100):
                call(fn, args, kwargs, exc)
            growth.append(tracemalloc.get_traced_memory()[0] - before)
    finally:
        tracemalloc.stop()
    assert [sys.getrefcount(o) for o in objects] == counts
    # The interpreter's own caches add a little now and then; one object leaked per call would
    # keep at least 1600 bytes in every batch of 100 calls. Under ASan (PYTHONMALLOC=malloc) the
    # interpreter's method cache, keyed by the address of each attribute-name string, keeps filling
    # for thousands of calls, so only the reference counts are checked there.
    if not UNDER_ASAN:
        assert min(growth) < 1000, f"Python allocations kept per batch of 100 calls: {growth}"


# Larger inputs for the resident-size check: leaked C++ buffers would add up to megabytes here.
RNG = np.random.default_rng(5)
BIG_FRAMES = 60
BIG_GT = [list(range(40)) for _ in range(BIG_FRAMES)]
BIG_BOXES = [np.sort(RNG.uniform(0, 100, (40, 4)), axis=1) for _ in range(BIG_FRAMES)]
BIG_SIM = [RNG.uniform(0, 1, (40, 40)) for _ in range(BIG_FRAMES)]
BIG_MASKS = [vestrim.mask_encode((RNG.uniform(size=(120, 120)) > 0.5).astype(np.uint8)) for _ in range(3)]
BIG_BITMAP = (RNG.uniform(size=(300, 300)) > 0.5).astype(np.uint8)


def big_accumulate():
    acc = Accumulator()
    for gt, boxes in zip(BIG_GT[:10], BIG_BOXES):
        acc.update(gt, boxes, gt, boxes)
    acc.compute()


BIG_CALLS = [
    lambda: vestrim.evaluate(BIG_GT, BIG_BOXES, BIG_GT, BIG_BOXES[::-1]),
    lambda: vestrim.compute_quorvantix_switch_events(BIG_GT, BIG_GT, BIG_SIM),
    lambda: vestrim.compute_clear_from_similarity(BIG_GT, BIG_GT, BIG_SIM[:-1]),  # error after conversion
    lambda: vestrim.mask_iou_matrix(BIG_MASKS, BIG_MASKS),
    lambda: vestrim.match_masks(BIG_MASKS, BIG_MASKS),
    lambda: vestrim.mask_merge(BIG_MASKS).to_coco(),
    lambda: vestrim.mask_encode(BIG_BITMAP),
    lambda: vestrim.mask_decode(BIG_MASKS[0]),
    lambda: vestrim.iou_3d_matrix(np.tile(ARRAY3D, (30, 1)), np.tile(ARRAY3D, (30, 1))),
    big_accumulate,
    lambda: _native.frame_events_from_similarity(BIG_GT, BIG_GT, BIG_SIM),
    lambda: _native.track_table(BIG_GT, BIG_BOXES, BIG_GT, BIG_BOXES[::-1]),
]


@pytest.mark.skipif(UNDER_ASAN, reason="ASan keeps freed memory in quarantine; it checks leaks itself")
def test_resident_size_stays_flat():
    def run_all():
        for big in BIG_CALLS:
            try:
                big()
            except ValueError:
                pass

    for _ in range(3):
        run_all()
    gc.collect()
    before = resident_bytes()
    for _ in range(25):
        run_all()
    gc.collect()
    growth = resident_bytes() - before
    assert growth < 4 << 20, f"resident size grew by {growth >> 10} KiB"
