"""Running tasks on a pool of processes (or any ``concurrent.futures.Executor``): submitting
them, collecting their outcomes in this thread as they finish, dropping what is not needed after
a failure, and starting a local pool cheaply.

Imports no other vestrim module: what runs in the workers is passed in as top-level functions.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any, Callable, Optional, Sequence

if TYPE_CHECKING:  # imported where used: a serial run has no use for it (nor for its threading)
    import concurrent.futures

__all__ = ["run_tasks", "local_pool"]


def run_tasks(executor: concurrent.futures.Executor,
              tasks: Sequence[tuple[int, Callable[..., Any], tuple]],
              finished: Callable[[int, Any, Optional[Exception]], None], *,
              failed: Optional[Callable[[Any, Optional[Exception]], bool]] = None) -> None:
    """Submit every task ``(k, function, args)``, in the order given (``function`` a top-level
    function, so that it pickles by reference), and call ``finished(k, result,
    error)`` in this thread as each one ends (``error`` the exception it raised, else None).
    Once ``failed(result, error)`` holds for task k, the tasks with a larger k that have not
    started yet are dropped (whoever wants the first failure in k order has no use for them)."""
    import concurrent.futures
    futures = {executor.submit(function, *args): k for k, function, args in tasks}
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
    import concurrent.futures
    import multiprocessing
    import sys
    import threading
    context = None
    if sys.platform.startswith("linux") and threading.active_count() == 1:
        context = multiprocessing.get_context("fork")
    return concurrent.futures.ProcessPoolExecutor(max_workers=workers, mp_context=context)
