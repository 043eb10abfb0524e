"""Threads under stress: many streams consumed from several threads and
dropped at random points, one reader called from several threads at once,
and an interpreter that exits while streams are still running."""

import queue
import random
import sys
import threading
import time

import pytest

import karvel
from datafolder.run import RunBuilder

from runs import thread_count, wait_for, mz_centroid, profile, run_python, tof_centroid

THREADS = 4


@pytest.fixture(scope="module")
def run(tmp_path_factory):
    builder = RunBuilder()
    for i in range(30):
        if i % 3 == 0:
            builder.add_scan(1.0 + i / 100, profile=profile(1.0e4 + i, points=2000,
                                                          encoding="lzf" if i % 2 else "run_length"))
        elif i % 3 == 1:
            builder.add_scan(1.0 + i / 100, ms_level=2, target_mz=400.5, collision_energy=20.0,
                             centroid=tof_centroid(4 + i % 5))
        else:
            builder.add_scan(1.0 + i / 100, centroid=mz_centroid(3 + i % 4))
    return builder.build(tmp_path_factory.mktemp("threads") / "run.d")


@pytest.fixture
def fast_switching():
    previous = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    yield
    sys.setswitchinterval(previous)


def run_threads(target, count=THREADS):
    """Runs target(k) on count threads; re-raises the first failure."""
    errors = []

    def guarded(k):
        try:
            target(k)
        except BaseException as error:  # noqa: BLE001 - reported below
            errors.append(error)

    threads = [threading.Thread(target=guarded, args=(k,)) for k in range(count)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(timeout=300)
        assert not thread.is_alive(), "a thread did not finish"
    if errors:
        raise errors[0]


def test_streams_dropped_at_random_points_from_several_threads(run, fast_switching):
    expected = [(s.native_id, len(s.mz)) for s in run.spectra]
    baseline = thread_count()
    handoff = queue.Queue()

    def consume(it, stop, seen):
        for _ in range(stop):
            spectrum = next(it, None)
            if spectrum is None:
                break
            seen.append((spectrum.native_id, len(spectrum)))

    def stress(k):
        rng = random.Random(k)
        for round_number in range(60):
            it = karvel.iter_spectra(str(run.path))
            stop = rng.choice([0, 1, rng.randrange(len(expected) + 1), len(expected) + 1])
            seen = []
            if round_number % 5 == 0:
                # Made on one thread, consumed on another.
                handoff.put(it)
                it = handoff.get()
            consume(it, stop, seen)
            assert seen == expected[: len(seen)]
            assert len(seen) == min(stop, len(expected))
            del it

    run_threads(stress)
    assert wait_for(lambda: thread_count() == baseline), "stream workers kept running"


def test_one_reader_called_from_several_threads(run, fast_switching):
    reader = karvel.RawReader(str(run.path))
    reference = {
        "scan_index": reader.scan_index(),
        "run_info": reader.run_info(),
        "device_info": reader.device_info(),
        "spectra": [(s.native_id, s.mz, s.intensity) for s in map(reader.read_spectrum, range(reader.scan_count))],
    }
    chromatograms = reader.read_chromatograms()

    def hammer(k):
        rng = random.Random(100 + k)
        for _ in range(60):
            position = rng.randrange(reader.scan_count)
            spectrum = reader.read_spectrum(position)
            assert (spectrum.native_id, spectrum.mz, spectrum.intensity) == reference["spectra"][position]
            assert reader.scan_index() == reference["scan_index"]
            assert reader.run_info() == reference["run_info"]
            assert reader.device_info() == reference["device_info"]
            if k == 0 and rng.random() < 0.2:
                # Needs the reader exclusively: may only meet a conflict, never
                # a wrong result.
                try:
                    assert reader.read_chromatograms() == chromatograms
                except RuntimeError as error:
                    assert str(error) in ("Already borrowed", "Already mutably borrowed")

    run_threads(hammer)


def test_interpreter_exits_cleanly_with_streams_running(run):
    code = f"""
        import threading, time
        import karvel
        path = {str(run.path)!r}
        # Never consumed, half consumed, and one being consumed on a daemon
        # thread that is still waiting in __next__ when the interpreter ends.
        idle = [karvel.iter_spectra(path) for _ in range(5)]
        started = [karvel.iter_spectra(path) for _ in range(5)]
        for it in started:
            next(it)
            next(it)

        def forever():
            while True:
                for spectrum in karvel.iter_spectra(path):
                    len(spectrum)

        for _ in range(3):
            threading.Thread(target=forever, daemon=True).start()
        time.sleep(0.3)
        print("leaving")
    """
    for _ in range(3):
        result = run_python(code, timeout=120)
        assert result.returncode == 0, result.stderr
        assert result.stdout.strip() == "leaving"
        assert result.stderr == ""
