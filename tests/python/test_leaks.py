"""Every call of the module, on success and on failure paths, looped: the
interpreter's count of allocated blocks must not grow, and neither must the
resident memory of the process."""

import gc
import os

import pytest

import karvel

from datafolder.sample import build_sample
from runs import SANITIZED, allocation_growth, build_small_run

SPECTRUM_PROPERTIES = [name for name, value in vars(karvel.Spectrum).items()
                       if type(value).__name__ == "getset_descriptor"]


def expect_error(error_type, function, *args, **kwargs):
    def call():
        with pytest.raises(error_type):
            function(*args, **kwargs)
    return call


@pytest.fixture(scope="module")
def paths(tmp_path_factory):
    base = tmp_path_factory.mktemp("leaks")
    good = build_small_run(base, 284, "good.d").path
    bad = base / "bad.d" / "AcqData"
    bad.mkdir(parents=True)
    (bad / "MSScan.bin").write_bytes(bytes(100))
    return {"good": str(good), "bad": str(bad.parent), "missing": str(base / "missing.d")}


def test_reader_calls(paths):
    reader = karvel.RawReader(paths["good"])
    calls = {
        "construct": lambda: karvel.RawReader(paths["good"]),
        "repr": lambda: repr(reader),
        "scan_count": lambda: reader.scan_count,
        "scan_index": reader.scan_index,
        "device_info": reader.device_info,
        "run_info": reader.run_info,
        "read_chromatograms": reader.read_chromatograms,
        "read_spectrum": lambda: reader.read_spectrum(1),
    }
    for name, call in calls.items():
        assert allocation_growth(call, rounds=50 if name == "construct" else 200) < 20, name


def test_spectrum_calls(paths):
    spectrum = karvel.RawReader(paths["good"]).read_spectrum(1)
    for name in SPECTRUM_PROPERTIES:
        assert allocation_growth(lambda: getattr(spectrum, name)) < 20, name
    assert allocation_growth(lambda: (repr(spectrum), len(spectrum))) < 20


def test_failure_paths(paths):
    reader = karvel.RawReader(paths["good"])
    calls = {
        "missing folder": expect_error(RuntimeError, karvel.RawReader, paths["missing"]),
        "bad table": expect_error(RuntimeError, karvel.RawReader, paths["bad"]),
        "bytes path": expect_error(TypeError, karvel.RawReader, b"x"),
        "null byte": expect_error(ValueError, karvel.RawReader, "x\0"),
        "out of range": expect_error(RuntimeError, reader.read_spectrum, 99),
        "negative": expect_error(OverflowError, reader.read_spectrum, -1),
        "not an int": expect_error(TypeError, reader.read_spectrum, "1"),
        "no constructor": expect_error(TypeError, karvel.Spectrum),
        "read only": expect_error(AttributeError, setattr, reader.read_spectrum(0), "mz", []),
    }
    for name, call in calls.items():
        assert allocation_growth(call) < 20, name


def test_streaming_calls(paths):
    def consume():
        assert len(list(karvel.iter_spectra(paths["good"]))) == 4

    def abandon():
        it = karvel.iter_spectra(paths["good"])
        next(it)

    def fail():
        it = karvel.iter_spectra(paths["missing"])
        with pytest.raises(RuntimeError):
            next(it)
        assert list(it) == []

    for name, call in {"consume": consume, "abandon": abandon, "fail": fail}.items():
        assert allocation_growth(call, rounds=50) < 20, name


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


@pytest.mark.skipif(SANITIZED, reason="resident size is meaningless under AddressSanitizer")
def test_whole_api_in_a_loop_keeps_resident_memory_flat(tmp_path):
    # Memory the C++ side allocates is invisible to getallocatedblocks: a
    # leaked reader, record or stream would show here, in whole megabytes.
    path = str(build_sample(tmp_path / "sample.d").path)

    def everything():
        reader = karvel.RawReader(path)
        for position in range(reader.scan_count):
            spectrum = reader.read_spectrum(position)
            spectrum.mz, spectrum.intensity, spectrum.precursor, spectrum.extra
        reader.scan_index(), reader.run_info(), reader.device_info(), reader.read_chromatograms()
        for spectrum in karvel.iter_spectra(path):
            spectrum.mz
        it = karvel.iter_spectra(path)
        next(it)
        del it
        with pytest.raises(RuntimeError):
            karvel.RawReader(path + "-missing")

    for _ in range(5):
        everything()
    gc.collect()
    before = resident_bytes()
    for _ in range(30):
        everything()
    gc.collect()
    assert resident_bytes() - before < 24 * 2**20
