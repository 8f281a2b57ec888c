"""The streaming Accumulator used from several Python threads at once.

Conversions of an update run Python code (an element's __float__ / __index__); elements here yield
the interpreter lock there (time.sleep(0)), so other threads run while an update holds the
accumulator. Every colliding call must fail with the documented RuntimeError, and the final state
must equal the accepted frames folded in the order they were accepted."""

import random
import threading
import time

import pytest

import vestrim
from vestrim import Accumulator

THREADS = 4
CALLS_PER_THREAD = 40


class Yielding:
    """A number that lets other threads run while it is converted. The last element of a frame
    records the frame as accepted: once its conversion returns, the update runs to completion
    without executing Python code, so no other update can slip in between."""

    def __init__(self, value, accepted=None, tag=None):
        self.value, self.accepted, self.tag = value, accepted, tag

    def _convert(self):
        time.sleep(0)
        if self.accepted is not None:
            self.accepted.append(self.tag)

    def __float__(self):
        self._convert()
        return float(self.value)

    def __index__(self):
        self._convert()
        return int(self.value)


def make_frame(rng, tag, accepted, similarity):
    """One random frame; the last element converted (pred boxes, or the last similarity value)
    records `tag` when the conversion succeeds."""
    n, m = rng.randint(0, 3), rng.randint(1, 3)
    gt = [rng.randint(1, 5) for _ in range(n)]
    pred = [Yielding(rng.randint(10, 14)) for _ in range(m)]
    if similarity:
        rows = [[Yielding(round(rng.random(), 2)) for _ in range(m)] for _ in range(n)]
        last_row = rows[-1] if rows else None
        if last_row is None:  # no rows: the last pred id records instead
            pred[-1] = Yielding(pred[-1].value, accepted, tag)
        else:
            last_row[-1] = Yielding(last_row[-1].value, accepted, tag)
        plain = ([int(p.value) for p in pred], [[float(v.value) for v in r] for r in rows])
        return (gt, pred, rows), plain
    gt_boxes = [tuple(Yielding(v) for v in box(rng)) for _ in range(n)]
    pred_boxes = [box(rng) for _ in range(m)]
    last = pred_boxes[-1]
    pred_boxes[-1] = (*last[:3], Yielding(last[3], accepted, tag))
    plain = (
        [tuple(float(v.value) for v in b) for b in gt_boxes],
        [int(p.value) for p in pred],
        [tuple(float(getattr(v, "value", v)) for v in b) for b in pred_boxes],
    )
    return (gt, gt_boxes, pred, pred_boxes), plain


def box(rng):
    x, y = rng.randint(0, 4), rng.randint(0, 4)
    return (float(x), float(y), float(x + rng.randint(1, 3)), float(y + rng.randint(1, 3)))


def snapshot(result):
    c, i = result.clear, result.identity
    return (c.num_frames, c.num_matches, c.num_misses, c.num_false_positives, c.num_switches, c.motp,
            c.frag, c.mt, c.pt, c.ml, i.idtp, i.idfp, i.idfn)


@pytest.mark.parametrize("seed", [0, 1, 2])
def test_threads_share_one_accumulator(seed):
    acc = Accumulator(iou_threshold=0.3)
    accepted = []  # tags in the order their frames were folded in
    frames = {}
    errors, outcomes = [], []
    start = threading.Barrier(THREADS)

    def worker(k):
        rng = random.Random(seed * 100 + k)
        start.wait()
        for call in range(CALLS_PER_THREAD):
            kind = rng.choice(["update", "similarity", "compute", "num_frames", "repr"])
            try:
                if kind in ("update", "similarity"):
                    tag = (k, call)
                    args, plain = make_frame(rng, tag, accepted, kind == "similarity")
                    frames[tag] = (kind, args[0], plain)
                    if kind == "update":
                        acc.update(*args)
                    else:
                        acc.update_from_similarity(*args)
                    outcomes.append(("ok", kind))
                elif kind == "compute":
                    acc.compute()
                    outcomes.append(("ok", kind))
                elif kind == "num_frames":
                    acc.num_frames
                    outcomes.append(("ok", kind))
                else:
                    repr(acc)
                    outcomes.append(("ok", kind))
            except RuntimeError as e:
                outcomes.append((str(e), kind))
            except BaseException as e:  # anything else is a failure of the test
                errors.append(e)

    threads = [threading.Thread(target=worker, args=(k,)) for k in range(THREADS)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not errors

    refused = [(message, kind) for message, kind in outcomes if message != "ok"]
    for message, kind in refused:
        expected = "Already borrowed" if kind in ("update", "similarity") else "Already mutably borrowed"
        assert message == expected
    assert refused, "the threads never collided; the test does not exercise anything"
    updates_ok = sum(1 for message, kind in outcomes if message == "ok" and kind in ("update", "similarity"))
    assert acc.num_frames == updates_ok == len(accepted)

    # Replay the accepted frames in their order on a fresh accumulator.
    replay = Accumulator(iou_threshold=0.3)
    for tag in accepted:
        kind, gt, plain = frames[tag]
        if kind == "update":
            replay.update(gt, *plain)
        else:
            replay.update_from_similarity(gt, *plain)
    assert snapshot(acc.compute()) == snapshot(replay.compute())


def test_readers_run_together_and_block_writers_only_while_reading():
    # compute, num_frames and repr never run Python code while holding the accumulator, so with
    # plain inputs readers and writers never collide; the final state is every frame.
    acc = Accumulator()
    start = threading.Barrier(THREADS)
    failures = []

    def worker(k):
        start.wait()
        try:
            for t in range(50):
                if k % 2:
                    acc.update([t], [(0, 0, 1, 1)], [t], [(0, 0, 1, 1)])
                else:
                    acc.compute(), acc.num_frames, repr(acc)
        except BaseException as e:
            failures.append(e)

    threads = [threading.Thread(target=worker, args=(k,)) for k in range(THREADS)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not failures
    assert acc.num_frames == 50 * (THREADS // 2)
    assert acc.compute().clear.num_matches == 50 * (THREADS // 2)


def test_separate_accumulators_do_not_interfere():
    accs = [Accumulator() for _ in range(THREADS)]

    def worker(k):
        for t in range(30):
            accs[k].update([Yielding(k)], [(0, 0, 1, 1)], [k], [(0, 0, 1, Yielding(1))])

    threads = [threading.Thread(target=worker, args=(k,)) for k in range(THREADS)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert [a.num_frames for a in accs] == [30] * THREADS
    assert all(a.compute().clear.num_matches == 30 for a in accs)
