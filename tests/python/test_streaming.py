"""iter_spectra / SpectrumIter: spectra streamed from a worker thread, the
end and error rules, cancellation by dropping the iterator, and access
conflicts while a thread waits."""

import gc
import os
import threading

import pytest

import karvel
from datafolder.run import Fault, RunBuilder, cut_tail
from datafolder.sample import build_sample

from runs import thread_count, wait_for, SANITIZED, assert_spectrum_matches, build_small_run, profile, run_python


@pytest.fixture(scope="module")
def sample(tmp_path_factory):
    return build_sample(tmp_path_factory.mktemp("sample") / "sample.d")


def test_streams_every_spectrum_then_ends_for_good(sample):
    it = karvel.iter_spectra(str(sample.path))
    assert type(it) is karvel.SpectrumIter
    assert iter(it) is it
    spectra = list(it)
    assert len(spectra) == len(sample.spectra)
    for spectrum, expected in zip(spectra, sample.spectra):
        assert type(spectrum) is karvel.Spectrum
        assert_spectrum_matches(spectrum, expected)
    for _ in range(3):
        with pytest.raises(StopIteration):
            next(it)


def test_keyword_argument_and_argument_errors(tmp_path):
    run = build_small_run(tmp_path)
    assert len(list(karvel.iter_spectra(path=str(run.path)))) == 4
    for args in [(), (b"x",), (1,), ("a", "b")]:
        with pytest.raises(TypeError):
            karvel.iter_spectra(*args)
    with pytest.raises(TypeError, match="'path'"):
        karvel.iter_spectra(b"x")


def test_open_failure_at_first_next(tmp_path):
    it = karvel.iter_spectra(str(tmp_path / "nowhere.d"))
    with pytest.raises(RuntimeError) as error:
        next(it)
    assert str(error.value) == "parse error: AcqData directory not found"
    with pytest.raises(StopIteration):
        next(it)
    acq = tmp_path / "bad.d" / "AcqData"
    acq.mkdir(parents=True)
    (acq / "MSScan.bin").write_bytes(bytes(91))
    with pytest.raises(RuntimeError, match="^parse error: MSScan.bin too small for header$"):
        next(karvel.iter_spectra(str(tmp_path / "bad.d")))


def test_error_item_after_good_spectra(tmp_path):
    builder = RunBuilder()
    for i in range(5):
        fault = Fault(transform=cut_tail(9)) if i == 3 else None
        builder.add_scan(1.0 + i / 100, profile=profile(1.0e4 + i), profile_fault=fault)
    run = builder.build(tmp_path / "run.d")
    it = karvel.iter_spectra(str(run.path))
    for i in range(3):
        assert_spectrum_matches(next(it), run.spectra[i])
    with pytest.raises(RuntimeError, match=r"^vendor parser error: scanId=4: profile block: parse error: "):
        next(it)
    assert list(it) == []


def test_spectra_outlive_the_iterator(tmp_path):
    run = build_small_run(tmp_path)
    it = karvel.iter_spectra(str(run.path))
    first = next(it)
    del it
    gc.collect()
    assert_spectrum_matches(first, run.spectra[0])


def long_run(tmp_path, scans=120):
    builder = RunBuilder()
    for i in range(scans):
        builder.add_scan(1.0 + i / 1000, profile=profile(1.0e4 + i, points=3000))
    return builder.build(tmp_path / "long.d")


def test_dropping_the_iterator_stops_the_worker(tmp_path):
    run = long_run(tmp_path)
    baseline = thread_count()
    for _ in range(25):
        it = karvel.iter_spectra(str(run.path))
        next(it)
        del it
    assert wait_for(lambda: thread_count() == baseline), "stream workers kept running"
    # Never consumed at all: the worker blocks on its first send until the
    # iterator goes away.
    iterators = [karvel.iter_spectra(str(run.path)) for _ in range(10)]
    assert wait_for(lambda: thread_count() == baseline + 10)
    del iterators
    assert wait_for(lambda: thread_count() == baseline)


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


@pytest.mark.skipif(SANITIZED, reason="resident size is meaningless under AddressSanitizer")
def test_abandoned_streams_do_not_accumulate_memory(tmp_path):
    run = long_run(tmp_path, scans=60)
    baseline = thread_count()

    def churn(times):
        for _ in range(times):
            it = karvel.iter_spectra(str(run.path))
            next(it)
            next(it)
            del it
        assert wait_for(lambda: thread_count() == baseline)

    churn(20)
    before = resident_bytes()
    churn(100)
    assert resident_bytes() - before < 32 * 2**20


def test_iterators_in_parallel_threads(sample):
    results = {}

    def consume(key):
        results[key] = [s.native_id for s in karvel.iter_spectra(str(sample.path))]

    threads = [threading.Thread(target=consume, args=(k,)) for k in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    expected = [s.native_id for s in sample.spectra]
    assert all(results[k] == expected for k in range(4))


def test_waiting_thread_lets_others_run_and_holds_the_iterator(tmp_path):
    # MSScan.bin is a named pipe: the worker blocks while opening the run
    # until the test writes the scan table into it.
    run = build_small_run(tmp_path)
    table_path = run.acq / "MSScan.bin"
    table = table_path.read_bytes()
    table_path.unlink()
    os.mkfifo(table_path)
    it = karvel.iter_spectra(str(run.path))
    received = []
    waiter = threading.Thread(target=lambda: received.append(next(it)))
    waiter.start()
    try:
        def waiting():
            try:
                iter(it)
            except RuntimeError as error:
                assert str(error) == "Already mutably borrowed"
                return True
            return False

        # This thread runs Python code while the other one waits in __next__.
        assert wait_for(waiting)
        with pytest.raises(RuntimeError, match="^Already borrowed$"):
            next(it)
        assert not received
    finally:
        with open(table_path, "wb") as pipe:
            pipe.write(table)
        waiter.join(timeout=30)
    assert not waiter.is_alive()
    assert_spectrum_matches(received[0], run.spectra[0])
    assert iter(it) is it
    assert len(list(it)) == 3


@pytest.mark.skipif(SANITIZED, reason="AddressSanitizer reserves the address space")
def test_thread_that_cannot_start(tmp_path):
    # With the address space capped just above its current size, the worker's
    # stack cannot be mapped.
    result = run_python("""
        import resource, karvel
        def address_space():
            for line in open("/proc/self/status"):
                if line.startswith("VmSize:"):
                    return int(line.split()[1]) * 1024
        resource.setrlimit(resource.RLIMIT_AS, (address_space() + 2 * 2**20, resource.RLIM_INFINITY))
        try:
            karvel.iter_spectra("/nowhere")
        except Exception as error:
            print(type(error).__name__, error)
        resource.setrlimit(resource.RLIMIT_AS, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))
        try:
            next(karvel.iter_spectra("/nowhere"))
        except RuntimeError as error:
            print(error)
    """)
    assert result.returncode == 0, result.stderr
    failure, recovered = result.stdout.splitlines()
    assert failure.startswith("RuntimeError failed to spawn thread")
    assert recovered == "parse error: AcqData directory not found"


def test_iterator_inherited_by_a_forked_child_raises(tmp_path):
    # The child has the iterator but not its worker thread: next() raises at
    # once instead of waiting forever, and dropping it does not block. The
    # parent's stream goes on unharmed.
    run = build_small_run(tmp_path)
    result = run_python(f"""
        import os, time, warnings, karvel
        it = karvel.iter_spectra({str(run.path)!r})
        next(it)
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", DeprecationWarning)  # fork() with threads running
            child = os.fork()
        if child == 0:
            try:
                next(it)
                print("child: no error", flush=True)
            except RuntimeError as error:
                print("child:", error, flush=True)
            del it
            os._exit(0)
        deadline = time.monotonic() + 30
        while os.waitpid(child, os.WNOHANG) == (0, 0):
            if time.monotonic() > deadline:
                os.kill(child, 9)
                os.waitpid(child, 0)
                print("child hung", flush=True)
                break
            time.sleep(0.05)
        print("parent:", len(list(it)))
    """)
    assert result.returncode == 0, result.stderr
    child, parent = result.stdout.splitlines()
    assert child.startswith("child: SpectrumIter cannot be used in a process forked after iter_spectra")
    assert "call iter_spectra again" in child
    assert parent == "parent: 3"
