"""evaluate_many on a real Dask cluster: two worker processes on this machine. The `dask` extra
is part of the test extra, so a missing install fails here instead of skipping."""

import faulthandler
import os

import pytest

if "ASAN_OPTIONS" in os.environ:  # worker processes under the sanitizers: too slow to be useful
    pytest.skip("not run under the sanitizers", allow_module_level=True)

import distributed  # noqa: E402

import vestrim  # noqa: E402
from test_parallel import fingerprint, jobs, serial_reference  # noqa: E402


@pytest.fixture
def watchdog():
    # A cluster that hangs must fail the run (with every thread's stack), not stall it.
    faulthandler.dump_traceback_later(300, exit=True)
    yield
    faulthandler.cancel_dump_traceback_later()


def test_local_cluster_gives_the_serial_results(watchdog):
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as cluster, \
            distributed.Client(cluster) as client:
        calls = []
        results = vestrim.evaluate_many(jobs(), executor=client.get_executor(),
                                        progress=lambda done, total: calls.append(done))
        # Both workers took part: each job ran where the scheduler put it.
        assert len(client.scheduler_info()["workers"]) == 2
    assert fingerprint(results) == serial_reference()
    assert calls == list(range(1, 7))
