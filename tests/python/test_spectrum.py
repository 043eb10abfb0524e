"""Spectrum objects from RawReader.read_spectrum: every property against the
values the run writer computed, representation, copies and index rules."""

import gc

import pytest

import karvel
from datafolder.run import RunBuilder
from datafolder.sample import build_sample

from runs import QUADRUPOLE_STRIDES, assert_spectrum_matches, build_small_run, mz_centroid


@pytest.fixture(scope="module")
def sample(tmp_path_factory):
    return build_sample(tmp_path_factory.mktemp("sample") / "sample.d")


def test_every_spectrum_of_the_sample_run(sample):
    reader = karvel.RawReader(str(sample.path))
    assert reader.scan_count == len(sample.spectra)
    modes = set()
    for i, expected in enumerate(sample.spectra):
        spectrum = reader.read_spectrum(i)
        assert_spectrum_matches(spectrum, expected)
        modes.add(spectrum.scan_mode)
        assert all(type(v) is float for v in spectrum.mz + spectrum.intensity)
    assert modes == {"profile", "centroid"}


def test_repr_and_len(sample):
    reader = karvel.RawReader(str(sample.path))
    for i in (0, 1, len(sample.spectra) - 1):
        spectrum = reader.read_spectrum(i)
        expected = sample.spectra[i]
        assert len(spectrum) == len(expected.mz)
        assert repr(spectrum) == f"Spectrum({len(expected.mz)} peaks, RT {expected.retention_time_sec:.2f}s)"


@pytest.mark.parametrize("stride", [284, 196])
def test_spectrum_without_peaks(tmp_path, stride):
    builder = RunBuilder(stride)
    builder.add_scan(0.0)
    builder.add_scan(0.5, centroid=mz_centroid())
    run = builder.build(tmp_path / "run.d")
    spectrum = karvel.RawReader(str(run.path)).read_spectrum(0)
    assert len(spectrum) == 0 and spectrum.mz == [] and spectrum.intensity == []
    assert repr(spectrum) == "Spectrum(0 peaks, RT 0.00s)"
    assert_spectrum_matches(spectrum, run.spectra[0])
    if stride in QUADRUPOLE_STRIDES:
        # Nothing reported and nothing to sum: the sum of no values.
        assert str(spectrum.total_ion_current) == "-0.0"
        assert spectrum.base_peak_mz is None and spectrum.base_peak_intensity is None
        assert spectrum.reported_total_ion_current is None


def test_effective_values_come_from_the_peaks_when_nothing_is_reported(tmp_path):
    run = build_small_run(tmp_path, 196)
    spectrum = karvel.RawReader(str(run.path)).read_spectrum(2)
    assert spectrum.reported_base_peak_mz is None and spectrum.reported_total_ion_current is None
    best = max(range(len(spectrum)), key=lambda i: (spectrum.intensity[i], -i))
    assert spectrum.base_peak_mz == spectrum.mz[best]
    assert spectrum.base_peak_intensity == spectrum.intensity[best]
    assert spectrum.total_ion_current == sum(spectrum.intensity)


def test_extra_is_ordered_by_key(tmp_path):
    run = build_small_run(tmp_path, 186)
    extra = karvel.RawReader(str(run.path)).read_spectrum(0).extra
    assert list(extra) == sorted(extra, key=str.encode)
    assert all(type(k) is str and type(v) is str for k, v in extra.items())


def test_results_are_copies(tmp_path):
    reader = karvel.RawReader(str(build_small_run(tmp_path).path))
    spectrum = reader.read_spectrum(0)
    first = spectrum.mz
    assert first == spectrum.mz and first is not spectrum.mz
    first.clear()
    spectrum.extra.clear()
    assert spectrum.mz and spectrum.extra
    assert reader.read_spectrum(0) is not spectrum


def test_spectrum_outlives_its_reader(tmp_path):
    run = build_small_run(tmp_path)
    reader = karvel.RawReader(str(run.path))
    spectrum = reader.read_spectrum(1)
    del reader
    gc.collect()
    assert_spectrum_matches(spectrum, run.spectra[1])


def test_read_spectrum_arguments(tmp_path):
    reader = karvel.RawReader(str(build_small_run(tmp_path).path))
    assert reader.read_spectrum(scan_index=3).index == 3
    assert reader.read_spectrum(True).index == 1
    with pytest.raises(RuntimeError) as error:
        reader.read_spectrum(4)
    assert str(error.value) == "scan 4 out of range"
    with pytest.raises(RuntimeError, match="^scan 18446744073709551615 out of range$"):
        reader.read_spectrum(2**64 - 1)
    with pytest.raises(OverflowError):
        reader.read_spectrum(-1)
    with pytest.raises(OverflowError):
        reader.read_spectrum(2**64)
    with pytest.raises(TypeError, match="scan_index"):
        reader.read_spectrum("0")
    with pytest.raises(TypeError):
        reader.read_spectrum(1.0)
    with pytest.raises(TypeError):
        reader.read_spectrum()
    with pytest.raises(TypeError):
        reader.read_spectrum(0, 1)
    with pytest.raises(TypeError):
        reader.read_spectrum(index=0)
