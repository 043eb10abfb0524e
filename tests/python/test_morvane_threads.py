"""morvane under threads and in loops: one run shared by several threads,
streams that outlive their run or the interpreter, the interpreter lock
released during long calls, and no growth of allocations."""

import sys
import threading

import pyarrow as pa
import pytest

import morvane
from datafolder.run import RunBuilder
from datafolder.sample import build_sample

from runs import SANITIZED, allocation_growth, profile, run_python


@pytest.fixture(scope="module")
def long_run(tmp_path_factory):
    builder = RunBuilder()
    for i in range(150):
        builder.add_scan(1.0 + i / 1000, ms_level=1 + i % 3 // 2, profile=profile(1.0e4 + i, points=4000))
    return builder.build(tmp_path_factory.mktemp("long") / "long.d")


def test_recycled_arrays_hold_each_spectrum_own_values(tmp_path):
    # Profiles of changing length (8 KiB to 160 KiB of m/z), LZF and
    # run-length: spectra dropped as the loop goes hand their memory on to
    # later ones, kept ones stay as they were.
    builder = RunBuilder()
    for i in range(40):
        points = (1000, 20_000, 3000, 12_000)[i % 4] + i
        builder.add_scan(1.0 + i / 100, profile=profile(1.0e4 + i, points=points,
                                                        encoding=("lzf", "run_length")[i // 4 % 2]))
    built = builder.build(tmp_path / "varying.d")
    with morvane.open(built.path) as run:
        expected = [(run[i].mz.tobytes(), run[i].intensity.tobytes()) for i in range(len(run))]
        for threads in (1, 2, 3):
            kept = []
            for s in run.spectra(threads=threads):
                assert (s.mz.tobytes(), s.intensity.tobytes()) == expected[s.index]
                if s.index % 5 == 0:
                    kept.append(s)
            assert [(s.mz.tobytes(), s.intensity.tobytes()) for s in kept] == expected[::5]


def test_one_run_shared_by_threads(long_run):
    run = morvane.open(long_run.path)
    expected_xic = run.xic(450.0, da=50.0)[1].tolist()
    results, errors = {}, []

    def work(key):
        try:
            order = [s.index for s in run.spectra(threads=2)]
            results[key] = (order, run.xic(450.0, da=50.0)[1].tolist(), run[key].mz.tobytes())
        except BaseException as error:  # noqa: BLE001 - reported below
            errors.append(error)

    threads = [threading.Thread(target=work, args=(k,)) for k in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert not errors
    for key, (order, xic, mz) in results.items():
        assert order == list(range(len(run)))
        assert xic == expected_xic
        assert mz == run[key].mz.tobytes()


def test_streams_outlive_a_closed_run(long_run):
    run = morvane.open(long_run.path)
    stream = run.spectra(threads=2)
    peaks = run.peaks()
    next(stream)
    run.close()
    assert sum(1 for _ in stream) == len(long_run.spectra) - 1
    assert pa.table(peaks).num_rows == sum(len(s.mz) for s in long_run.spectra)


def test_xic_releases_the_interpreter_lock(long_run):
    run = morvane.open(long_run.path)
    ticks = [0]
    stop = threading.Event()

    def count():
        while not stop.is_set():
            ticks[0] += 1

    # With a long switch interval the counting thread gets the lock during
    # a call only when the call releases it.
    interval = sys.getswitchinterval()
    sys.setswitchinterval(0.25)
    counter = threading.Thread(target=count)
    counter.start()
    try:
        progressed = []
        for call in (lambda: run.xic(450.0, da=50.0, threads=1),
                     lambda: run.xic(450.0, ppm=5.0, ms_level=[1, 2], threads=2)):
            for _ in range(10):
                before = ticks[0]
                call()
                if ticks[0] > before:
                    progressed.append(True)
                    break
            else:
                progressed.append(False)
    finally:
        stop.set()
        counter.join()
        sys.setswitchinterval(interval)
    assert all(progressed), progressed


def test_interpreter_exit_with_streams_running(long_run):
    result = run_python(f"""
        import morvane
        run = morvane.open({str(long_run.path)!r})
        streams = [run.spectra(threads=2) for _ in range(3)]
        next(streams[0])
        peaks = run.peaks()
        print("exiting")
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "exiting"


@pytest.mark.skipif(SANITIZED, reason="allocation counts differ under AddressSanitizer")
def test_calls_do_not_leak(tmp_path):
    sample = build_sample(tmp_path / "sample.d")
    run = morvane.open(sample.path)

    def failing_open():
        with pytest.raises(FileNotFoundError):
            morvane.open(tmp_path / "missing.d")

    calls = {
        "open": lambda: morvane.open(sample.path).close(),
        "spectrum arrays": lambda: (run[3].mz, run[3].intensity),
        "scans": lambda: morvane.open(sample.path).scans.rt,
        "spectra": lambda: [s.mz for s in run.spectra(threads=2)],
        "dropped stream": lambda: next(run.spectra(threads=2)),
        "peaks": lambda: pa.table(run.peaks(metadata=True)),
        "xic": lambda: run.xic(445.12, ppm=10),
        "tic": run.tic,
        "failing open": failing_open,
    }
    grown = {name: allocation_growth(call, rounds=100, warmup=10) for name, call in calls.items()}
    assert all(blocks < 100 for blocks in grown.values()), grown
