"""Evaluating many sequences at once: serially, on a local process pool, or on any
``concurrent.futures.Executor`` (a thread pool, a process pool, a Dask cluster's executor).

Each job is evaluated exactly as it would be on its own, and the results come back in input
order whatever order the jobs finish in, so a parallel run equals a serial one.
"""

from __future__ import annotations

import concurrent.futures
import os
from typing import Any, Callable, Iterable, Optional, Sequence

__all__ = ["evaluate_many"]


def _evaluate_arrays(gt_ids, gt_boxes, pred_ids, pred_boxes):
    from . import _vestrim
    return _vestrim.evaluate(gt_ids, gt_boxes, pred_ids, pred_boxes)


def _evaluate_files(gt_file, pred_file):
    from .mot import load_sequence
    seq = load_sequence(gt_file, pred_file)
    return _evaluate_arrays(seq.gt_ids, seq.gt_boxes, seq.pred_ids, seq.pred_boxes)


def _evaluate_protocol(gt_file, pred_file, protocol):
    from .benchmark import evaluate_benchmark
    result = evaluate_benchmark(gt_file, [pred_file], protocol=protocol)
    per_class = [(t.class_name, t.sequences[0]) for t in result.trackers]
    return per_class[0][1] if len(per_class) == 1 else dict(per_class)


def _score_benchmark_task(*args):
    from .benchmark import score_task
    return score_task(*args)


# Job kinds: what runs in the worker, on which arguments. Top-level functions of plain arguments
# so that they pickle by reference.
_RUNNERS: dict[str, Callable[..., Any]] = {
    "arrays": _evaluate_arrays, "files": _evaluate_files, "protocol": _evaluate_protocol,
    "benchmark": _score_benchmark_task}


def _run(kind: str, args: tuple):
    return _RUNNERS[kind](*args)


def _is_path(value) -> bool:
    return isinstance(value, (str, os.PathLike))


def _plan(job, index: int):
    """(kind, args, name) of one job; TypeError for anything that is not a job."""
    if isinstance(job, tuple) and len(job) in (2, 3) and all(_is_path(p) for p in job[:2]):
        files = tuple(os.fspath(p) for p in job[:2])
        if len(job) == 2:
            return "files", files, files[0]
        if not isinstance(job[2], str):
            raise TypeError(f"job {index}: the protocol must be a str, got "
                            f"{type(job[2]).__name__}")
        return "protocol", files + (job[2],), files[0]
    if all(hasattr(job, a) for a in ("gt_ids", "gt_boxes", "pred_ids", "pred_boxes")):
        args = (job.gt_ids, job.gt_boxes, job.pred_ids, job.pred_boxes)
        name = getattr(job, "name", None)
        return "arrays", args, name if isinstance(name, str) else f"job {index}"
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
    order is raised, with its own type and the note ``while evaluating NAME`` (the GT file of a
    tuple job, the sequence's name, else ``job K`` with K its index).
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
        for k, (kind, args, _) in enumerate(plans):
            try:
                results[k] = _run(kind, args)
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
    run_tasks(executor, [(k, kind, args) for k, (kind, args, _) in enumerate(plans)], record)


def run_tasks(executor: concurrent.futures.Executor, tasks: Sequence[tuple[int, str, tuple]],
              finished: Callable[[int, Any, Optional[Exception]], None], *,
              failed: Optional[Callable[[Any, Optional[Exception]], bool]] = None) -> None:
    """Submit every task ``(k, kind, args)``, in the order given, and call ``finished(k, result,
    error)`` in this thread as each one ends (``error`` the exception it raised, else None).
    Once ``failed(result, error)`` holds for task k, the tasks with a larger k that have not
    started yet are dropped (whoever wants the first failure in k order has no use for them)."""
    futures = {executor.submit(_run, kind, args): k for k, kind, args in tasks}
    first_failure: Optional[int] = None
    try:
        for future in concurrent.futures.as_completed(futures):
            if future.cancelled():
                continue
            k = futures[future]
            try:
                result, error = future.result(), None
            except Exception as e:  # reported by the caller
                result, error = None, e
            if failed is not None and (first_failure is None or k < first_failure) and \
                    failed(result, error):
                first_failure = k
                for other, j in futures.items():
                    if j > k:
                        other.cancel()
            finished(k, result, error)
    except BaseException:
        # Interrupted (or the callback failed): drop what has not started.
        for future in futures:
            future.cancel()
        raise


def local_pool(workers: int) -> concurrent.futures.ProcessPoolExecutor:
    """A pool of ``workers`` processes on this machine.

    On Linux, when no other Python thread runs, the workers are forked: each starts in a few
    milliseconds with NumPy and vestrim already imported, where a spawned or forkserver worker
    would import them again (about 0.2 s of CPU each), often longer than the work it is given.
    Forking is safe then: the pool forks all its workers before starting its own management
    thread, and the only other threads of the process can be OpenBLAS's, which that library
    stops and restarts around fork itself. Elsewhere, or with other threads running (where a
    forked child could inherit a lock held by one of them), Python's default start method.
    """
    import multiprocessing
    import sys
    import threading
    context = None
    if sys.platform.startswith("linux") and threading.active_count() == 1:
        context = multiprocessing.get_context("fork")
    return concurrent.futures.ProcessPoolExecutor(max_workers=workers, mp_context=context,
                                                  initializer=_share_cores, initargs=(workers,))


def _share_cores(workers: int) -> None:
    # Each worker's native evaluation then uses its share of the cores, not all of them.
    import os
    os.environ["VESTRIM_WORKER_PROCESSES"] = str(workers)
