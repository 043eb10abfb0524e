"""Local worker processes for a batch of conversions.

Workers are started with "spawn" (the extensions keep threads, which a
forked child would lack), so they are this process's own children. When
the batch stops early (KeyboardInterrupt, or a stop signal the command
turns into an exception) the queued runs are cancelled, the workers are
terminated (killed if they do not end within a few seconds) and waited for,
and the temporary files and unpacked runs they leave are removed: a worker
that gets a stop signal itself exits at once, without a traceback. A worker
also ends at once when its parent ends without stopping it (killed with
SIGKILL, say): the kernel sends it SIGKILL, so no worker goes on converting
the batch, re-parented, holding the caller's standard output and error.
"""

from __future__ import annotations

import concurrent.futures
import ctypes
import logging
import multiprocessing
import os
import signal
import sys
from collections.abc import Callable, Iterator
from typing import Any

from ._archives import remove_stale_unpacked
from ._atomic import remove_stale_temporaries

STOP_SIGNALS = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)
_GRACE_SECONDS = 5.0


def _exit_at_once(signum: int, _frame: object) -> None:
    os._exit(128 + signum)


class _Format(logging.Formatter):
    def format(self, record: logging.LogRecord) -> str:
        return f"karvel: {record.levelname.lower()}: {record.getMessage()}"


# prctl(2) option: the signal this process gets when its parent ends.
_PR_SET_PDEATHSIG = 1


def die_with_parent(parent: int) -> None:
    """Asks the kernel to kill this process when its parent ends, and ends
    it now when the parent has already ended (it did so before the request
    was made). Without prctl (not Linux) the stop signals alone apply."""
    try:
        libc = ctypes.CDLL(None, use_errno=True)
        prctl = libc.prctl
    except (OSError, AttributeError):
        return
    prctl.argtypes = [ctypes.c_int, ctypes.c_ulong, ctypes.c_ulong, ctypes.c_ulong, ctypes.c_ulong]
    prctl.restype = ctypes.c_int
    if prctl(_PR_SET_PDEATHSIG, signal.SIGKILL, 0, 0, 0) != 0:
        return
    if os.getppid() != parent:
        os._exit(128 + signal.SIGKILL)


def start_worker(log_level: int | None, parent: int | None = None) -> None:
    """Runs first in every worker: it dies with `parent` (the process that
    started it); stop signals end it at once; the reader's records go to
    standard error from the level the parent shows."""
    if parent is not None:
        die_with_parent(parent)
    for number in STOP_SIGNALS:
        signal.signal(number, _exit_at_once)
    if log_level is None:
        return
    from ._logging import keep_reader_records
    logger = logging.getLogger("karvel")
    handler = logging.StreamHandler(sys.stderr)
    handler.setFormatter(_Format())
    logger.addHandler(handler)
    logger.setLevel(log_level)
    keep_reader_records(log_level)


def shown_log_level() -> int | None:
    """The level of the "karvel" logger when something in this process
    shows its records (a handler on it or above), else None."""
    logger: logging.Logger | None = logging.getLogger("karvel")
    while logger is not None:
        if logger.handlers:
            return logging.getLogger("karvel").getEffectiveLevel()
        logger = logger.parent if logger.propagate else None
    return None


def start_resource_tracker() -> None:
    """Starts multiprocessing's resource tracker ignoring SIGHUP (it ignores
    SIGINT and SIGTERM itself): a hang-up sent to the whole process group
    would otherwise end it, and its restart would print warnings."""
    from multiprocessing import resource_tracker
    try:
        previous = signal.signal(signal.SIGHUP, signal.SIG_IGN)
    except ValueError:  # not the main thread
        resource_tracker.ensure_running()
        return
    try:
        resource_tracker.ensure_running()
    finally:
        signal.signal(signal.SIGHUP, previous)


def in_processes(workers: int, items: list[Any], task: Callable[[Any], Any], out_dir: str,
                 collect: Callable[[dict[Any, int], Callable[..., Iterator[Any]]], Any]) -> Any:
    """collect(futures, as_completed) over task(item) for each item on
    `workers` processes; stops everything when interrupted."""
    context = multiprocessing.get_context("spawn")
    start_resource_tracker()
    pool = concurrent.futures.ProcessPoolExecutor(max_workers=workers, mp_context=context,
                                                  initializer=start_worker,
                                                  initargs=(shown_log_level(), os.getpid()))
    try:
        futures = {pool.submit(task, item): i for i, item in enumerate(items)}
        result = collect(futures, concurrent.futures.as_completed)
    except BaseException:
        stop(pool)
        remove_leftovers(out_dir)
        raise
    pool.shutdown(wait=True)
    remove_leftovers(out_dir)
    return result


def remove_leftovers(out_dir: str) -> None:
    """What workers that ended abruptly left: temporary outputs in out_dir
    and unpacked runs in the temporary folder."""
    remove_stale_temporaries(out_dir)
    remove_stale_unpacked()


def stop(pool: concurrent.futures.ProcessPoolExecutor) -> None:
    """Cancels the queued tasks, ends the workers and waits for them."""
    # The pool keeps its processes in a private mapping; a copy taken before
    # terminating them is the only way to wait for each.
    processes = list((getattr(pool, "_processes", None) or {}).values())
    pool.terminate_workers()
    for process in processes:
        process.join(_GRACE_SECONDS)
        if process.is_alive():
            process.kill()
            process.join()
