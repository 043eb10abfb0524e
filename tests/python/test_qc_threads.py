"""The quality-control pass on the library's worker pool: threads=1 works
in the calling thread alone, more threads add that many workers and no
other thread, and a signal handler that raises stops the pass early."""

from __future__ import annotations

import os
import signal
import sys
import threading
import time
from pathlib import Path

import pytest

pytest.importorskip("pyarrow")

import morvane.qc as qc  # noqa: E402

REPO = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(REPO / "bench"))

import rundata  # noqa: E402

# Profile scans of 100,000 points: about a second for a pass on one thread.
SLOW = rundata.RunParams(name="qc-slow", kind="profile", scans=200, points=100_000, encoding="lzf")


@pytest.fixture(scope="module")
def slow_run(tmp_path_factory) -> Path:
    return rundata.generate(SLOW, tmp_path_factory.mktemp("qc-slow"), log=lambda *_: None).path


def threads_now() -> int:
    return len(os.listdir("/proc/self/task"))


@pytest.mark.skipif(not os.path.isdir("/proc/self/task"), reason="counts threads through /proc")
@pytest.mark.parametrize("threads, extra", [(1, 0), (2, 2)])
def test_the_pass_runs_on_the_calling_thread_and_the_pool_workers_only(slow_run, threads, extra):
    # A watcher samples the process's threads while the pass holds no
    # interpreter lock; besides the caller and the watcher there are only
    # the pool's workers (none for threads=1).
    before = threads_now()
    seen: list[int] = []
    done = threading.Event()

    def watch() -> None:
        while not done.is_set():
            seen.append(threads_now())
            time.sleep(0.002)

    watcher = threading.Thread(target=watch)
    watcher.start()
    try:
        m = qc.metrics(slow_run, threads=threads)
    finally:
        done.set()
        watcher.join()
    assert m.scans.num_rows == SLOW.scans
    assert len(seen) > 5
    assert max(seen) <= before + 1 + extra, (before, max(seen))


@pytest.mark.parametrize("threads", [1, 2])
def test_a_raising_signal_handler_stops_the_pass(slow_run, threads):
    started = time.perf_counter()
    qc.metrics(slow_run, threads=threads)
    whole = time.perf_counter() - started

    def interrupt(signum, frame):
        raise KeyboardInterrupt

    previous = signal.signal(signal.SIGALRM, interrupt)
    try:
        signal.setitimer(signal.ITIMER_REAL, min(0.05, whole / 10))
        with pytest.raises(KeyboardInterrupt):
            qc.metrics(slow_run, threads=threads)
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    # The run still gives its metrics afterwards: nothing was left behind.
    assert qc.metrics(slow_run, threads=threads).scans.num_rows == SLOW.scans
