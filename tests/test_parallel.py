"""evaluate_many: results in input order equal to serial evaluation, whatever the executor and the
order jobs finish in; failures re-raised in input order with the job's name."""

import concurrent.futures
import os
import random
import threading

import pytest

import vestrim
from vestrim import mot

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
EXAMPLES = os.path.join(ROOT, "examples")
NAMES = ("synth-01", "synth-02", "synth-03")
PAIRS = [(os.path.join(EXAMPLES, "gt", n, "gt", "gt.txt"), os.path.join(EXAMPLES, "pred", n + ".txt"))
         for n in NAMES]
MOT17 = [(os.path.join(EXAMPLES, "mot17", "gt", s, "gt", "gt.txt"),
          os.path.join(EXAMPLES, "mot17", "trackers", "beta", s + ".txt"), "mot17")
         for s in ("SYN-01", "SYN-02")]


def fingerprint(value):
    """Every public attribute, recursively, as plain data (results have no __eq__)."""
    if isinstance(value, (int, float, str, type(None))):
        return repr(value)  # NaN-safe
    if isinstance(value, (list, tuple)):
        return [fingerprint(v) for v in value]
    if isinstance(value, dict):
        return {k: fingerprint(v) for k, v in value.items()}
    return {a: fingerprint(getattr(value, a)) for a in dir(value)
            if not a.startswith("_") and not callable(getattr(value, a))}


class ShuffledExecutor(concurrent.futures.Executor):
    """Runs the jobs in a seeded random order on one thread, once `expected` are submitted."""

    def __init__(self, expected, seed=0):
        self.expected, self.seed, self.pending = expected, seed, []
        self.submitted, self.order = [], []

    def submit(self, fn, *args):
        future = concurrent.futures.Future()
        self.submitted.append(args)
        self.pending.append((future, fn, args))
        if len(self.pending) == self.expected:
            threading.Thread(target=self._drain).start()
        return future

    def _drain(self):
        random.Random(self.seed).shuffle(self.pending)
        for future, fn, args in self.pending:
            self.order.append(args)
            try:
                future.set_result(fn(*args))
            except Exception as e:
                future.set_exception(e)


def jobs():
    loaded = mot.load_sequence(*PAIRS[0])
    return [PAIRS[1], loaded, MOT17[0], PAIRS[2], MOT17[1], PAIRS[0]]


def serial_reference():
    out = []
    for job in jobs():
        if isinstance(job, mot.Sequence):
            out.append(vestrim.evaluate(job.gt_ids, job.gt_boxes, job.pred_ids, job.pred_boxes))
        elif len(job) == 2:
            seq = mot.load_sequence(*job)
            out.append(vestrim.evaluate(seq.gt_ids, seq.gt_boxes, seq.pred_ids, seq.pred_boxes))
        else:
            [tracker] = vestrim.evaluate_benchmark(job[0], [job[1]], protocol=job[2]).trackers
            out.append(tracker.sequences[0])
    return fingerprint(out)


@pytest.mark.parametrize("how", ["serial", "threads", "shuffled-0", "shuffled-1",
                                 "processes"])
def test_results_in_input_order_equal_serial(how):
    calls = []
    progress = lambda done, total: calls.append((done, total))
    kwargs = {}
    if how == "threads":
        kwargs["executor"] = concurrent.futures.ThreadPoolExecutor(2)
    elif how.startswith("shuffled"):
        kwargs["executor"] = executor = ShuffledExecutor(6, seed=int(how[-1]))
    elif how == "processes":
        kwargs["workers"] = 2
    results = vestrim.evaluate_many(jobs(), progress=progress, **kwargs)
    assert fingerprint(results) == serial_reference()
    assert isinstance(results[1], vestrim.EvaluationResult)
    assert isinstance(results[2], vestrim.SequenceResult) and results[2].count.num_gt > 0
    assert calls == [(k, 6) for k in range(1, 7)]
    if how.startswith("shuffled"):
        assert executor.order != executor.submitted  # really out of order


def test_first_failure_in_input_order_is_raised_after_all_jobs(tmp_path):
    bad = tmp_path / "bad.txt"
    bad.write_text("1,1,0,0,1,1\nx\n")
    dup = tmp_path / "dup.txt"
    dup.write_text("1,1,0,0,1,1\n1,1,0,0,1,1\n")
    broken = mot.Sequence([[1]], [[(0, 0, 1, 1)]], [[1, 2]], [[(0, 0, 1, 1)]])
    all_jobs = [PAIRS[0], (str(bad), PAIRS[0][1]), broken, (str(dup), PAIRS[0][1])]
    for seed in range(3):  # the later failure may well finish first
        executor = ShuffledExecutor(len(all_jobs), seed)
        calls = []
        with pytest.raises(mot.MotFormatError) as info:
            vestrim.evaluate_many(all_jobs, executor=executor,
                                  progress=lambda d, t: calls.append(d))
        assert info.value.line == 2 and str(bad) in str(info.value)
        assert info.value.__notes__ == [f"while evaluating {PAIRS[0][1]} against {bad}"]
        assert len(calls) == len(executor.order) == 4
    with pytest.raises(ValueError) as info:
        vestrim.evaluate_many([PAIRS[0], broken])
    assert info.value.__notes__[-1] == "while evaluating job 1"


def test_failures_come_back_from_worker_processes(tmp_path):
    bad = tmp_path / "bad.txt"
    bad.write_text("1,1,0,0,1,1\n1,2,0,0,1,inf\n")
    with pytest.raises(mot.MotFormatError) as info:
        vestrim.evaluate_many([(bad, bad), (PAIRS[0][0], bad)], workers=2)
    assert (info.value.path, info.value.line) == (str(bad), 2)
    assert info.value.message == "height must be finite, got 'inf'"
    assert info.value.__notes__ == [f"while evaluating {bad} against {bad}"]


@pytest.mark.parametrize("kwargs, error, message", [
    ({"workers": 2, "executor": "pool"}, TypeError, "workers or executor, not both"),
    ({"workers": 0}, ValueError, "workers must be at least 1, got 0"),
    ({"workers": 1.5}, TypeError, "workers must be an int"),
    ({"executor": "pool"}, TypeError, "executor must be a concurrent.futures.Executor"),
])
def test_bad_arguments(kwargs, error, message):
    with pytest.raises(error, match=message):
        vestrim.evaluate_many(PAIRS, **kwargs)


def test_bad_jobs_fail_before_anything_runs():
    calls = []
    with pytest.raises(TypeError, match=r"job 1: expected a loaded sequence .* got list"):
        vestrim.evaluate_many([PAIRS[0], list(PAIRS[0])], progress=lambda *a: calls.append(a))
    assert calls == [] and vestrim.evaluate_many([]) == []
