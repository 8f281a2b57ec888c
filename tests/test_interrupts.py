"""A signal arriving while a long call runs ends that call with the exception its handler raises
(KeyboardInterrupt for Ctrl-C), and an interrupted Accumulator.update leaves the accumulator as it
was. The signal comes from an interval timer, handled like Ctrl-C, armed from inside the call (while
its first argument converts); the profiler tells a call that raised from one that returned and had
the interrupt raised after it."""

import pickle
import signal
import sys

import numpy as np
import pytest

import vestrim
from vestrim import _native

pytestmark = pytest.mark.skipif(not hasattr(signal, "setitimer"), reason="needs interval timers")


class ArmsAlarm:
    """An id whose conversion arms SIGALRM to fire a few milliseconds later."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        signal.setitimer(signal.ITIMER_REAL, 0.005)
        return self.value


def armed(ids):
    return [ArmsAlarm(ids[0]), *ids[1:]]


def how_it_ends(call, name):
    """Runs `call` with SIGALRM handled like Ctrl-C; returns how the C function `name` ended."""
    ends = []

    def profile(frame, event, arg):
        if event in ("c_return", "c_exception") and getattr(arg, "__name__", None) == name:
            ends.append(event)

    previous_handler, previous_profile = signal.signal(signal.SIGALRM, signal.default_int_handler), sys.getprofile()
    sys.setprofile(profile)
    try:
        with pytest.raises(KeyboardInterrupt):
            call()
    finally:
        sys.setprofile(previous_profile)
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous_handler)
    return ends


rng = np.random.default_rng(0)


def crowded_boxes(n):
    xy = rng.uniform(0, 100, (n, 2))
    boxes = np.hstack([xy, xy + rng.uniform(10, 120, (n, 2))])
    return boxes, boxes + rng.uniform(-5, 5, boxes.shape)


def long_similarity_sequence(function=vestrim.compute_hota_from_similarity):
    # Each frame's optimal matchings take a sizeable fraction of a second.
    ids = list(range(1000))
    sim = rng.random((1000, 1000))
    return lambda: function([armed(ids)] + [ids] * 3, [ids] * 4, [sim] * 4)


def long_box_sequence(function=vestrim.evaluate):
    gt, pred = crowded_boxes(1000)
    ids = list(range(1000))
    return lambda: function([armed(ids)] + [ids] * 7, [gt] * 8, [ids] * 8, [pred] * 8)


def long_event_log():
    gt, pred = crowded_boxes(1000)
    ids = list(range(1000))
    return lambda: vestrim._native.frame_events([armed(ids)] + [ids] * 7, [gt] * 8, [ids] * 8, [pred] * 8)


@pytest.mark.parametrize(
    "name, make",
    [("compute_hota_from_similarity", long_similarity_sequence), ("evaluate", long_box_sequence),
     ("frame_events", long_event_log)],
)
def test_signal_ends_a_long_call(name, make):
    assert how_it_ends(make(), name) == ["c_exception"]


@pytest.mark.parametrize("threads", ["1", "2"])
@pytest.mark.parametrize("name, make", [("evaluate", long_box_sequence),
                                        ("evaluate_from_similarity", long_similarity_sequence)])
def test_signal_ends_a_native_evaluation(monkeypatch, threads, name, make):
    # Without the interpreter lock and on several threads: the waiting caller polls, the others stop.
    monkeypatch.setenv("VESTRIM_THREADS", threads)
    assert how_it_ends(make(getattr(_native, name)), name) == ["c_exception"]


def test_interrupted_update_leaves_the_accumulator_unchanged():
    acc = vestrim.Accumulator()
    acc.update([1, 2], [(0, 0, 10, 10), (20, 20, 30, 30)], [7, 8], [(0, 0, 10, 10), (50, 50, 60, 60)])
    before = pickle.dumps(acc)
    gt, pred = crowded_boxes(2000)  # one frame whose matching takes a sizeable fraction of a second
    ids = list(range(2000))
    assert how_it_ends(lambda: acc.update(armed(ids), gt, ids, pred), "update") == ["c_exception"]
    assert pickle.dumps(acc) == before
    # A million pairs above the threshold, each a new one for the identity matching.
    similar = np.full((1000, 1000), 0.75)
    ids = list(range(1000))
    assert how_it_ends(lambda: acc.update_from_similarity(armed(ids), ids, similar),
                       "update_from_similarity") == ["c_exception"]
    assert pickle.dumps(acc) == before
    acc.update([1], [(0, 0, 10, 10)], [7], [(0, 0, 10, 10)])
    assert acc.compute().clear.num_switches == 0 and acc.num_frames == 2


def test_signal_ends_a_long_argument_conversion():
    # The signal arrives at the first value; a million values later a sentinel would see the
    # conversion still going.
    import os
    reached = []

    class Signals:
        def __float__(self):
            os.kill(os.getpid(), signal.SIGALRM)
            return 0.5

    class Sentinel:
        def __float__(self):
            reached.append(True)
            return 0.5

    row = [Signals()] + [0.5] * 2**20 + [Sentinel()]
    call = lambda: vestrim.compute_clear_from_similarity([[1]], [list(range(len(row)))], [[row]])  # noqa: E731
    assert how_it_ends(call, "compute_clear_from_similarity") == ["c_exception"]
    assert not reached
