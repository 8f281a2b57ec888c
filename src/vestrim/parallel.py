"""Evaluating many sequences at once: serially, on a local process pool, or on any
``concurrent.futures.Executor`` (a thread pool, a process pool, a Dask cluster's executor).

Each job is evaluated exactly as it would be on its own, and the results come back in input
order whatever order the jobs finish in, so a parallel run equals a serial one.
"""

from __future__ import annotations

import concurrent.futures
import os
from typing import Any, Callable, Iterable, Optional

from .pool import local_pool, run_tasks

__all__ = ["evaluate_many"]


def _evaluate_arrays(gt_ids, gt_boxes, pred_ids, pred_boxes):
    from . import _vestrim
    return _vestrim.evaluate(gt_ids, gt_boxes, pred_ids, pred_boxes)


def _evaluate_files(gt_file, pred_file):
    from .datasets.motchallenge import load_sequence
    seq = load_sequence(gt_file, pred_file)
    return _evaluate_arrays(seq.gt_ids, seq.gt_boxes, seq.pred_ids, seq.pred_boxes)


def _evaluate_protocol(gt_file, pred_file, protocol):
    from .benchmark import evaluate_benchmark
    result = evaluate_benchmark(gt_file, [pred_file], protocol=protocol)
    per_class = [(t.class_name, t.sequences[0]) for t in result.trackers]
    return per_class[0][1] if len(per_class) == 1 else dict(per_class)


def _is_path(value) -> bool:
    return isinstance(value, (str, os.PathLike))


def _plan(job, index: int):
    """(function, args, name) of one job; TypeError for anything that is not a job. The
    functions are top-level, of plain arguments, so that they pickle by reference."""
    if isinstance(job, tuple) and len(job) in (2, 3) and all(_is_path(p) for p in job[:2]):
        files = tuple(os.fspath(p) for p in job[:2])
        name = f"{files[1]} against {files[0]}"  # the tracker's file and the sequence's
        if len(job) == 2:
            return _evaluate_files, files, name
        if not isinstance(job[2], str):
            raise TypeError(f"job {index}: the protocol must be a str, got "
                            f"{type(job[2]).__name__}")
        return _evaluate_protocol, files + (job[2],), name
    if all(hasattr(job, a) for a in ("gt_ids", "gt_boxes", "pred_ids", "pred_boxes")):
        args = (job.gt_ids, job.gt_boxes, job.pred_ids, job.pred_boxes)
        label = getattr(job, "name", None)
        return _evaluate_arrays, args, label if isinstance(label, str) else f"job {index}"
    raise TypeError(f"job {index}: expected a loaded sequence or a (gt_file, pred_file) or "
                    f"(gt_file, pred_file, protocol) tuple, got {type(job).__name__}")


def evaluate_many(jobs: Iterable[Any], *, workers: Optional[int] = None,
                  executor: Optional[concurrent.futures.Executor] = None,
                  progress: Optional[Callable[[int, int], None]] = None) -> list:
    """Evaluate many sequences; returns one result per job, in input order.

    A job is a loaded sequence (what ``vestrim.mot.load_sequence`` or
    ``vestrim.load_benchmark`` returns), evaluated with ``vestrim.evaluate`` into an
    ``EvaluationResult``; a tuple ``(gt_file, pred_file)``, loaded by the worker with
    ``load_sequence`` and evaluated likewise; or ``(gt_file, pred_file, protocol)``, scored as
    ``vestrim.evaluate_benchmark(gt_file, [pred_file], protocol=protocol)`` scores it: its
    ``SequenceResult`` (metrics and ``Count``), or a dict of them by class name when the protocol
    scores several classes. Files are cheaper to ship to workers than loaded arrays.

    With neither ``workers`` nor ``executor`` the jobs run one after another in this process;
    ``workers=N`` runs them on a local pool of N processes; ``executor`` on any
    ``concurrent.futures.Executor`` (for a Dask cluster, ``distributed.Client(...)
    .get_executor()``), which is left running. Results equal those of a serial run whatever the
    scheduling. ``progress(done, total)`` is called in this thread each time a job finishes.

    When jobs fail, every job still runs; then the failure of the first failed job in input
    order is raised, with its own type and the note ``while evaluating NAME`` (``PRED against
    GT`` for a tuple job, naming both files; the sequence's name, else ``job K`` with K its
    index).
    """
    if workers is not None and executor is not None:
        raise TypeError("evaluate_many() takes workers or executor, not both")
    if workers is not None:
        if isinstance(workers, bool) or not isinstance(workers, int):
            raise TypeError(f"workers must be an int, got {type(workers).__name__}")
        if workers < 1:
            raise ValueError(f"workers must be at least 1, got {workers}")
    if executor is not None and not isinstance(executor, concurrent.futures.Executor):
        raise TypeError(f"executor must be a concurrent.futures.Executor, got "
                        f"{type(executor).__name__}")
    plans = [_plan(job, k) for k, job in enumerate(jobs)]
    total = len(plans)
    results: list = [None] * total
    errors: list = [None] * total

    def finished(done: int) -> None:
        if progress is not None:
            progress(done, total)

    if executor is None and workers is None:
        for k, (function, args, _) in enumerate(plans):
            try:
                results[k] = function(*args)
            except Exception as e:  # reported after every job has run
                errors[k] = e
            finished(k + 1)
    elif executor is not None:
        _run_on(executor, plans, results, errors, finished)
    elif workers is not None:
        with local_pool(min(workers, max(total, 1))) as pool:
            _run_on(pool, plans, results, errors, finished)

    for k, error in enumerate(errors):
        if error is not None:
            error.add_note(f"while evaluating {plans[k][2]}")
            raise error
    return results


def _run_on(executor, plans, results, errors, finished) -> None:
    done = 0

    def record(k: int, result: Any, error: Optional[Exception]) -> None:
        nonlocal done
        results[k], errors[k], done = result, error, done + 1
        finished(done)
    run_tasks(executor, [(k, function, args) for k, (function, args, _) in enumerate(plans)],
              record)
