"""Where morvane's C++ core meets Python: which exception a failure becomes
(karvel's texts without the record model's layer names),
thread counts the core refuses, and the skipped list a stream hands back."""

import errno

import numpy as np
import pytest

import karvel
import morvane
from morvane import _native

from export_runs import damaged_run
from runs import build_small_run


@pytest.fixture
def small(tmp_path):
    return build_small_run(tmp_path)


def test_unreadable_blocks_keep_their_os_error(small):
    # Scan 1 has only a centroid block; without MSPeak.bin it cannot be read.
    (small.path / "AcqData" / "MSPeak.bin").unlink()
    with pytest.raises(RuntimeError) as reference:
        karvel.RawReader(str(small.path))
    run = morvane.open(small.path)
    failures = [
        lambda: run[1],
        lambda: list(run.spectra(indices=[1])),
        lambda: run.xic(200.0, ppm=10, ms_level=2),
    ]
    # karvel's text, less its layer names: the OSError says what the rest did.
    expected = str(reference.value).removeprefix("vendor parser error: ").replace(
        "I/O error: No such file or directory (os error 2)", "No such file or directory")
    for fail in failures:
        with pytest.raises(FileNotFoundError) as raised:
            fail()
        assert raised.value.errno == errno.ENOENT
        assert raised.value.strerror == expected
        assert raised.value.filename == str(small.path / "AcqData" / "MSPeak.bin")
    # The profile of scan 0 still decodes; undecodable data stays a FormatError.
    assert len(run.spectrum(0)) > 0


def test_undecodable_data_is_a_format_error_with_karvels_text(tmp_path):
    path = damaged_run(tmp_path / "damaged.d")
    with pytest.raises(RuntimeError) as reference:
        karvel.RawReader(str(path))
    with morvane.open(path) as run:
        calls = [
            ("one spectrum", lambda: run[2]),
            ("stream", lambda: list(run.spectra(threads=2))),
            ("xic", lambda: run.xic(445.0, ppm=10)),
            ("mzML", lambda: run.to_mzml(tmp_path / "out.mzML")),
        ]
        for name, call in calls:
            with pytest.raises(morvane.FormatError) as raised:
                call()
            assert "vendor parser error: " + str(raised.value) == str(reference.value), name


@pytest.mark.parametrize("call", [
    lambda handle, everything: handle.spectra(everything, False, False, 0),
    lambda handle, everything: handle.peaks(everything, False, False, False, 0),
    lambda handle, everything: handle.xic(everything, np.array([100.0]), np.array([200.0]), 0),
    lambda handle, everything: handle.chromatograms(0),
    lambda handle, everything: _native.MzmlWriter(handle, "unused.mzML", everything, threads=0),
], ids=["spectra", "peaks", "xic", "chromatograms", "MzmlWriter"])
def test_zero_threads_is_refused_by_the_core(small, call):
    with morvane.open(small.path) as run:
        everything = np.arange(len(run), dtype=np.uint32)
        with pytest.raises(ValueError, match="threads must be at least 1"):
            call(run._handle, everything)


def test_skipped_is_the_list_of_the_latest_stream(tmp_path):
    path = damaged_run(tmp_path / "damaged.d")
    with morvane.open(path) as run:
        first = run.spectra(errors="skip")
        assert run.skipped is first.skipped and run.skipped == []
        assert [s.index for s in first] == [0, 1, 3]
        assert [index for index, _ in run.skipped] == [2]
        second = run.spectra(errors="skip", indices=[0, 2, 2])
        assert run.skipped is second.skipped and run.skipped == []
        list(second)
        assert [index for index, _ in run.skipped] == [2, 2]
        assert [index for index, _ in first.skipped] == [2], "an earlier stream keeps its own list"
        list(run.spectra(indices=[0, 1]))
        assert run.skipped == []


def test_the_writer_takes_a_run_handle_only(small):
    with morvane.open(small.path) as run:
        with pytest.raises(TypeError, match="expected a morvane run"):
            _native.MzmlWriter(run, "unused.mzML", np.arange(len(run), dtype=np.uint32))
