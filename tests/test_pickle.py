"""Pickling and copying of every result class and the Accumulator, and rebuilding from hostile
pickles."""

import concurrent.futures
import copy
import math
import pickle
import struct

import numpy as np
import pytest

import vestrim
from vestrim import _native
from test_streaming import CLEAR_FIELDS, HOTA_FIELDS, IDENTITY_FIELDS, random_sequence

FIELDS = {
    vestrim.ClearMetrics: CLEAR_FIELDS,
    vestrim.IdentityMetrics: IDENTITY_FIELDS,
    vestrim.HotaMetrics: HOTA_FIELDS,
    vestrim.EvaluationResult: ["clear", "identity", "hota"],
    vestrim.AccumulatorResult: ["clear", "identity"],
    vestrim.Matching: ["matches", "scores", "unmatched_a", "unmatched_b"],
    vestrim.QuorvantixSwitchEvents: ["num_transfer", "num_ascend", "num_migrate"],
    vestrim.Mask: ["size", "counts"],
}
PROTOCOLS = range(2, pickle.HIGHEST_PROTOCOL + 1)


def bits(value):
    """A value with every float replaced by its bit pattern, so NaN and -0.0 compare exactly."""
    if isinstance(value, float):
        return ("float", struct.pack("<d", value))
    if isinstance(value, (list, tuple)):
        return (type(value).__name__, [bits(v) for v in value])
    if type(value) in FIELDS:
        return (type(value).__name__, [bits(getattr(value, f)) for f in FIELDS[type(value)]])
    return value


def assert_same(a, b):
    assert type(a) is type(b)
    assert bits(a) == bits(b)


def sample_results():
    seq = random_sequence(3)
    ids = [[1, 2], [1, 2], [2]]
    sim = [[[0.9, 0.1], [0.2, 0.8]], [[0.3, 0.9], [0.9, 0.2]], [[0.9, 0.0]]]
    acc = vestrim.Accumulator()
    acc.update_from_similarity([1], [5], [[0.7]])
    return [
        vestrim.evaluate(*seq),
        acc.compute(),
        vestrim.match_boxes([(0, 0, 1, 1), (5, 5, 6, 6), (9, 9, 10, 10)], [(5, 5, 6, 6), (0, 0, 1, 1)]),
        vestrim.compute_quorvantix_switch_events(ids, [[5, 6], [5, 6], [5, 6]], sim),
        vestrim.Mask((3, 3), [4, 1, 4]),
        # A run longer than 2^32 - 1 pixels is held as several runs joined by zero-length runs.
        vestrim.Mask((70000, 70000), [0, 4294967295, 0, 605032705]),
        vestrim.compute_hota([[]], [[]], [[]], [[]]),
    ]


# Results no computation gives: extreme and non-finite values in every float field.
EXTREMES = [float("nan"), float("inf"), -float("inf"), -0.0, 5e-324, 1.7976931348623157e308]


def extreme_results():
    clear = _native.rebuild_clear_metrics(
        *EXTREMES[:2], 3, 2**64 - 1, 2**64 - 2, 0, 1, 7, 1, 1, 1, 0, *EXTREMES[2:], 0.25,
        [1.0, 0.5, 0.0], 2**63)
    identity = _native.rebuild_identity_metrics(math.nan, -0.0, math.inf, 0, 9, 2**64 - 1, 1, 2**64 - 1, 0)
    hota = _native.rebuild_hota_metrics(*EXTREMES[:4], *[[EXTREMES[k % 6]] * 19 for k in range(10)], 1, 2, 3)
    return [clear, identity, hota, _native.rebuild_evaluation_result(clear, identity, hota)]


@pytest.mark.parametrize("protocol", PROTOCOLS)
def test_round_trip_keeps_every_attribute(protocol):
    for result in sample_results() + extreme_results():
        assert_same(pickle.loads(pickle.dumps(result, protocol)), result)


def test_copies_and_members():
    for result in sample_results() + extreme_results():
        assert_same(copy.copy(result), result)
        assert_same(copy.deepcopy(result), result)
    r = sample_results()[0]
    restored = pickle.loads(pickle.dumps(r))
    assert restored.hota is restored.hota  # members stay the stored objects
    assert repr(restored) == repr(r)
    # Combined results are plain frozen dataclasses and pickle as such.
    combined = vestrim.combine([r, r])
    assert pickle.loads(pickle.dumps(combined)) == combined


def _evaluate_in_worker(seed):
    return vestrim.evaluate(*random_sequence(seed))


def test_results_come_back_from_worker_processes():
    with concurrent.futures.ProcessPoolExecutor(max_workers=2) as pool:
        results = list(pool.map(_evaluate_in_worker, [1, 2]))
    for seed, result in zip([1, 2], results):
        assert_same(result, vestrim.evaluate(*random_sequence(seed)))


# ---------------------------------------------------------------------------------------------
# Accumulator

def similarity_frames(seed, frames=30):
    """Frames with ids repeated within a frame, empty sides and NaN similarities."""
    rng = np.random.default_rng(seed)
    out = []
    for _ in range(frames):
        gt = [int(x) for x in rng.integers(0, 6, rng.integers(0, 5))]
        pred = [int(x) for x in rng.integers(10, 17, rng.integers(0, 5))]
        sim = rng.uniform(0, 1, (len(gt), len(pred)))
        sim[rng.random(sim.shape) < 0.05] = np.nan
        out.append((gt, pred, sim.tolist()))
    return out


@pytest.mark.parametrize("seed", range(6))
def test_restored_accumulator_continues_exactly(seed):
    frames = similarity_frames(seed)
    original = vestrim.Accumulator(iou_threshold=0.4, box_format="xywh")
    for frame in frames[:15]:
        original.update_from_similarity(*frame)
    restored = pickle.loads(pickle.dumps(original))
    assert pickle.dumps(restored) == pickle.dumps(original)  # equal states, equal bytes
    copied = copy.deepcopy(original)
    for acc in (original, restored, copied):
        for frame in frames[15:]:
            acc.update_from_similarity(*frame)
        acc.update([1], [(0, 0, 10, 10)], [12], [(1, 0, 10, 10)])  # the box format travels too
    expected = original.compute()
    for acc in (restored, copied):
        assert acc.num_frames == original.num_frames
        assert_same(acc.compute(), expected)
        assert pickle.dumps(acc) == pickle.dumps(original)


def accumulator_state(seed=0):
    acc = vestrim.Accumulator(0.5)
    for frame in similarity_frames(seed, frames=8):
        acc.update_from_similarity(*frame)
    return _native.reduce(acc)[1]


def check_usable_or_refused(box_format, state):
    try:
        acc = _native.rebuild_accumulator(box_format, state)
    except ValueError as e:
        assert str(e).startswith("cannot rebuild Accumulator: accumulator state: ")
        return
    acc.update_from_similarity([1, 2, 3], [10, 11], [[0.9, 0.1], [0.6, 0.7], [0.2, 0.55]])
    acc.compute()


def test_damaged_accumulator_states_are_refused_or_usable():
    box_format, state = accumulator_state()
    for n in range(len(state)):
        with pytest.raises(ValueError, match="cannot rebuild Accumulator"):
            _native.rebuild_accumulator(box_format, state[:n])
    with pytest.raises(ValueError, match="trailing bytes"):
        _native.rebuild_accumulator(box_format, state + b"\0")
    # Any single damaged byte either fails the checks or leaves an accumulator that works.
    for k in range(len(state)):
        for flip in (0x01, 0x80, 0xFF):
            damaged = bytearray(state)
            damaged[k] ^= flip
            check_usable_or_refused(box_format, bytes(damaged))


def one_id_state(count, identity_id=1):
    """A module-convention state of gt id 1 seen `count` times unmatched (Identity's gt id given)."""
    never = 2**64 - 1
    return (struct.pack("<4sIdB6QdQQQ", b"VACC", 1, 0.5, 0, 1, count, 0, 0, count, 0, 0.0, 0, 0, 1)
            + struct.pack("<qIIIBqQQ", 1, count, 0, 0, 0, 0, never, never)
            + struct.pack("<QQqQQQ", 1, 1, identity_id, count, 0, 0))


def test_restore_refuses_wrapping_counters_and_disagreeing_ids():
    acc = vestrim.Accumulator(0.5)
    acc.update_from_similarity([1], [], [[]])
    assert _native.reduce(acc)[1][1] == one_id_state(1)  # the layout written here is the real one
    for state in (one_id_state(2**32 - 1), one_id_state(1, identity_id=2)):
        with pytest.raises(ValueError, match="cannot rebuild Accumulator: accumulator state: "):
            _native.rebuild_accumulator("xyxy", state)


@pytest.mark.parametrize("args, error, message", [
    (("xyxy",), TypeError, "expected 2 fields, got 1"),
    (("cxcy", b""), ValueError, 'unknown box_format "cxcy"'),
    ((1, b""), TypeError, "field 'box_format' must be a str, not 'int'"),
    (("xyxy", "VACC"), TypeError, "field 'state' must be bytes, not 'str'"),
    (("xyxy", b"VACC\x02\0\0\0"), ValueError, "unsupported version 2"),
    (("xyxy", b"pickle"), ValueError, "not an accumulator state"),
    (("xyxy", b"VACC\x01\0\0\0" + bytes(8) + b"\x01"), ValueError, "another CLEAR convention"),
])
def test_accumulator_rebuild_errors(args, error, message):
    with pytest.raises(error, match=message):
        _native.rebuild_accumulator(*args)


# ---------------------------------------------------------------------------------------------
# Hostile pickles

def reduced(result):
    rebuild, fields = _native.reduce(result)
    return rebuild, list(fields)


def replaced(result, index, value):
    rebuild, fields = reduced(result)
    fields[index] = value
    return rebuild, fields


def hostile_cases():
    r = sample_results()[0]
    matching = sample_results()[2]
    alphas = HOTA_FIELDS.index("hota_tp_alphas")
    mask = vestrim.Mask((3, 3), [4, 1, 4])
    rebuild, fields = reduced(r.clear)
    yield (rebuild, fields[:-1]), TypeError, "cannot rebuild ClearMetrics: expected 19 fields, got 18"
    yield (rebuild, fields + [0]), TypeError, "expected 19 fields, got 20"
    yield replaced(r.clear, 0, "0.5"), TypeError, "field 'mota' must be a float, not 'str'"
    yield replaced(r.clear, 2, 3.0), TypeError, "field 'num_frames' must be an int, not 'float'"
    yield replaced(r.clear, 2, True), TypeError, "field 'num_frames' must be an int, not 'bool'"
    yield replaced(r.clear, 3, 2**64), ValueError, "field 'num_gt' is out of range"
    yield replaced(r.clear, 3, -1), ValueError, "field 'num_gt' is out of range"
    yield replaced(r.clear, 17, tuple(r.clear.track_ratios)), TypeError, "field 'track_ratios' must be a list"
    yield replaced(r.clear, 17, [1]), TypeError, "field 'track_ratios' must be a float, not 'int'"
    yield replaced(r.clear, 17, [math.nan] * len(r.clear.track_ratios)), ValueError, "track_ratios must lie in"
    yield replaced(r.clear, 17, []), ValueError, "mt \\+ pt \\+ ml must equal"
    yield replaced(r.clear, 4, r.clear.num_matches + 1), ValueError, "num_matches \\+ num_misses must equal num_gt"
    yield replaced(r.clear, 7, 2**64 - 1), ValueError, "num_switches exceeds num_matches"
    yield replaced(r.identity, 3, r.identity.idtp + 1), ValueError, "idtp \\+ idfn must equal num_gt"
    yield replaced(r.hota, alphas, [1.0] * 18), ValueError, "hota_tp_alphas holds 18 values, expected 19"
    yield replaced(r.hota, 4, [0.5] * 10**5), ValueError, "alphas holds 100000 values, expected 19"
    yield replaced(r.hota, 4, None), TypeError, "field 'alphas' must be a list, not 'NoneType'"
    yield replaced(matching, 1, [0.5]), ValueError, "scores must be parallel to matches"
    yield replaced(matching, 0, [(0, 1), (0, 0)]), ValueError, "each index of boxes_a once"
    yield replaced(matching, 0, [(0, 1), (1, 1)]), ValueError, "each index of boxes_b once"
    yield replaced(matching, 2, [2**40]), ValueError, "each index of boxes_a once"
    yield replaced(matching, 0, [(0, 1, 2), (1, 0)]), TypeError, "list of \\(int, int\\) pairs"
    yield replaced(r, 0, r.identity), TypeError, "field 'clear' must be ClearMetrics, not 'IdentityMetrics'"
    yield replaced(r, 2, vestrim.combine([r]).hota), TypeError, "field 'hota' must be HotaMetrics"
    yield (reduced(r)[0], [r.clear, r.identity]), TypeError, "EvaluationResult: expected 3 fields, got 2"
    yield replaced(mask, 2, b"5"), ValueError, "cannot rebuild Mask"
    yield replaced(mask, 2, "414"), TypeError, "field 'counts' must be bytes, not 'str'"
    yield replaced(mask, 0, 2**62), ValueError, "cannot rebuild Mask"


@pytest.mark.parametrize("case", list(hostile_cases()), ids=lambda c: c[2][:40])
def test_hostile_fields_raise_cleanly(case):
    (rebuild, fields), error, message = case
    with pytest.raises(error, match=message):
        rebuild(*fields)
    # The same through pickle itself: a crafted stream names our rebuilder with bad fields.
    with pytest.raises(error, match=message):
        pickle.loads(pickle.dumps(_Crafted(rebuild, fields)))


class _Crafted:
    def __init__(self, rebuild, fields):
        self.reduction = (rebuild, tuple(fields))

    def __reduce__(self):
        return self.reduction


def test_reduce_refuses_foreign_objects():
    with pytest.raises(TypeError, match="cannot pickle 'dict' object"):
        _native.reduce({})
