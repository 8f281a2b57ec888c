"""Running tasks on a pool of processes (or any ``concurrent.futures.Executor``): submitting
them, collecting their outcomes in this thread as they finish, dropping what is not needed after
a failure, and starting a local pool cheaply.

Imports no other vestrim module: what runs in the workers is passed in as top-level functions.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any, Callable, Optional, Sequence

if TYPE_CHECKING:  # imported where used: a serial run has no use for it (nor for its threading)
    import concurrent.futures

__all__ = ["run_tasks", "local_pool", "usable_cores"]


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


def usable_cores() -> int:
    """The cores this process may run on (its CPU affinity), at least 1."""
    import os
    try:
        return max(1, len(os.sched_getaffinity(0)))
    except (AttributeError, OSError):  # no affinity on this platform
        return os.cpu_count() or 1


def _end_with_parent(parent: int) -> None:
    """Worker start-up: the worker is killed when the process that started it ends, however it
    ends (a signal, a crash), instead of living on reparented; SIGTERM and SIGHUP end it as by
    default whatever the parent made of them. Linux only."""
    import ctypes
    import os
    import signal
    signal.signal(signal.SIGTERM, signal.SIG_DFL)
    signal.signal(signal.SIGHUP, signal.SIG_DFL)
    try:
        libc = ctypes.CDLL(None, use_errno=True)
        pr_set_pdeathsig = 1
        libc.prctl(pr_set_pdeathsig, signal.SIGKILL, 0, 0, 0)
    except (OSError, AttributeError):
        return
    if os.getppid() != parent:  # the parent ended before the request was made
        os._exit(1)


def _exit_pool(pool, exc_type, exc, tb):
    """Leaving a local pool's block: the workers end at once when the code using it was
    interrupted (Ctrl-C, or a signal the command line turns into an exception) instead of
    finishing their current task."""
    import concurrent.futures
    if exc_type is not None and not issubclass(exc_type, Exception):
        processes = getattr(pool, "_processes", None) or {}
        for process in list(processes.values()):
            process.terminate()
        pool.shutdown(wait=True, cancel_futures=True)
        return False
    return concurrent.futures.ProcessPoolExecutor.__exit__(pool, exc_type, exc, tb)


_local_pool_type: Optional[type] = None


def _pool_type() -> type:
    """The process pool type whose blocks end with ``_exit_pool``, made on first use:
    concurrent.futures is imported only by runs that use a pool."""
    global _local_pool_type
    if _local_pool_type is None:
        import concurrent.futures
        _local_pool_type = type("LocalPool", (concurrent.futures.ProcessPoolExecutor,),
                                {"__exit__": _exit_pool, "__module__": __name__})
    return _local_pool_type


def local_pool(workers: int) -> concurrent.futures.ProcessPoolExecutor:
    """A pool of ``workers`` processes on this machine, but never more than it has usable cores
    (more would only share the same cores and multiply memory). Use it as a context manager: a
    KeyboardInterrupt or SystemExit leaving the block ends the workers at once. A worker ends
    too when the process that started it ends (on Linux).

    On Linux, when no other Python thread runs, the workers are forked: each starts in a few
    milliseconds with NumPy and vestrim already imported, where a spawned or forkserver worker
    would import them again (about 0.2 s of CPU each), often longer than the work it is given.
    Forking is safe then: the pool forks all its workers before starting its own management
    thread, and the only other threads of the process can be OpenBLAS's, which that library
    stops and restarts around fork itself. Elsewhere, or with other threads running (where a
    forked child could inherit a lock held by one of them), Python's default start method.
    """
    import multiprocessing
    import os
    import sys
    import threading
    context = None
    if sys.platform.startswith("linux") and threading.active_count() == 1:
        context = multiprocessing.get_context("fork")
    workers = min(workers, usable_cores())
    pool = _pool_type()
    if sys.platform.startswith("linux"):
        return pool(max_workers=workers, mp_context=context, initializer=_start_worker,
                    initargs=(workers, os.getpid()))
    return pool(max_workers=workers, mp_context=context, initializer=_share_cores,
                initargs=(workers,))


def _share_cores(workers: int) -> None:
    # Each worker's native evaluation then uses its share of the cores, not all of them.
    import os
    os.environ["VESTRIM_WORKER_PROCESSES"] = str(workers)


def _start_worker(workers: int, parent: int) -> None:
    _share_cores(workers)
    _end_with_parent(parent)
