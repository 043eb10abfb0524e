"""morvane.open and Run: random access, the scan table, lookups, metadata,
errors and pickling, checked against karvel and the run writer."""

import os
import pickle
from pathlib import Path

import numpy as np
import pytest

import karvel
import morvane
from datafolder.run import Fault, RunBuilder, cut_tail
from datafolder.sample import build_sample

from runs import ALL_STRIDES, build_small_run, profile, tof_centroid


@pytest.fixture(scope="module")
def sample(tmp_path_factory):
    return build_sample(tmp_path_factory.mktemp("sample") / "sample.d")


def assert_same_as_karvel(spectrum, reference):
    assert spectrum.index == reference.index
    assert spectrum.scan_id == reference.scan_number
    assert spectrum.native_id == reference.native_id
    assert spectrum.ms_level == reference.ms_level
    assert spectrum.rt == reference.retention_time_sec
    assert spectrum.polarity == reference.polarity
    assert spectrum.mode == reference.scan_mode
    assert spectrum.tic == reference.total_ion_current or np.isnan(reference.total_ion_current)
    assert spectrum.base_peak_mz == reference.base_peak_mz
    assert spectrum.base_peak_intensity == reference.base_peak_intensity
    precursor = reference.precursor or {}
    assert spectrum.precursor_mz == precursor.get("target_mz")
    assert spectrum.collision_energy == precursor.get("collision_energy")
    assert len(spectrum) == len(reference)
    # Bit for bit: m/z as stored, intensity before widening.
    assert spectrum.mz.tobytes() == np.array(reference.mz, dtype=np.float64).tobytes()
    assert spectrum.intensity.tobytes() == np.array(reference.intensity, dtype=np.float32).tobytes()


@pytest.mark.parametrize("stride", ALL_STRIDES)
def test_every_spectrum_equals_karvel(tmp_path, stride):
    built = build_small_run(tmp_path, stride)
    reader = karvel.RawReader(str(built.path))
    with morvane.open(built.path) as run:
        assert len(run) == reader.scan_count
        for i in range(len(run)):
            assert_same_as_karvel(run[i], reader.read_spectrum(i))
        assert_same_as_karvel(run[-1], reader.read_spectrum(len(run) - 1))
        assert run.info == reader.run_info()
        assert run.device == reader.device_info()


def test_arrays_are_cached_read_only_views(sample):
    run = morvane.open(sample.path)
    spectrum = run[0]
    mz, intensity = spectrum.mz, spectrum.intensity
    assert spectrum.mz is mz and spectrum.intensity is intensity
    assert np.shares_memory(spectrum.mz, mz)
    assert (mz.dtype, intensity.dtype) == (np.float64, np.float32)
    assert not mz.flags.writeable and not intensity.flags.writeable
    with pytest.raises(ValueError):
        mz[0] = 1.0
    with pytest.raises(ValueError):
        mz.setflags(write=True)  # the owner refuses writable views
    view = mz[10:20]
    del spectrum, mz
    run.close()
    assert view.tolist() == sample.spectra[0].mz[10:20]  # alive as long as a view is


def test_scan_table_columns(sample):
    run = morvane.open(sample.path)
    table = run.scans
    assert table.columns == ("index", "scan_id", "ms_level", "rt", "polarity", "tic", "base_peak_mz",
                             "base_peak_intensity", "precursor_mz", "collision_energy", "points")
    assert table.num_rows == len(run) and table.shape == (len(run), len(table.columns))
    records = karvel.RawReader(str(sample.path)).scan_index()["records"]
    assert table.index.tolist() == list(range(len(run)))
    assert table["scan_id"].tolist() == [r["scan_id"] for r in records]
    assert table.ms_level.tolist() == [r["ms_level"] for r in records]
    assert table.rt.tolist() == [r["retention_time_min"] * 60.0 for r in records]
    assert table.polarity.tolist() == [{0: 1, 1: -1}.get(r["ion_polarity"], 0) for r in records]
    for i, expected in enumerate(sample.spectra):
        spectrum = run[i]
        assert same_or_nan(table.precursor_mz[i], spectrum.precursor_mz)
        assert same_or_nan(table.collision_energy[i], spectrum.collision_energy)
        assert same_or_nan(table.tic[i], expected.reported_total_ion_current)
        assert table.points[i] == len(spectrum)
    with pytest.raises(AttributeError):
        table.nonexistent


def same_or_nan(value, expected):
    return np.isnan(value) if expected is None else value == expected


def test_lookups(sample):
    run = morvane.open(sample.path)
    last = run[len(run) - 1]
    assert run.by_scan_id(last.scan_id).index == last.index
    assert run.by_native_id(last.native_id).index == last.index
    for missing in (lambda: run.by_scan_id(10**9), lambda: run.by_native_id("scanId=999999"),
                    lambda: run.by_native_id("scan=1"), lambda: run[len(run)], lambda: run[-len(run) - 1]):
        with pytest.raises((KeyError, IndexError)):
            missing()
    with pytest.raises(KeyError):
        run["0"]  # a string is a native id
    with pytest.raises(TypeError):
        run[1.5]
    rt = run.scans.rt
    window = run.rt_slice(rt[3], rt[7])
    assert window == range(3, 8)
    assert run.rt_slice(-10.0, -1.0) == range(0)


@pytest.mark.parametrize("kind", [str, os.fsencode, Path])
def test_path_kinds_and_pickling(sample, kind):
    run = morvane.open(kind(str(sample.path)))
    assert run.path == str(sample.path)
    clone = pickle.loads(pickle.dumps(run))
    assert clone.path == run.path and len(clone) == len(run)
    assert clone[5].mz.tobytes() == run[5].mz.tobytes()


def test_open_errors(tmp_path):
    (tmp_path / "file.d").write_bytes(b"")
    (tmp_path / "empty.d").mkdir()
    bad = tmp_path / "bad.d" / "AcqData"
    bad.mkdir(parents=True)
    (bad / "MSScan.bin").write_bytes(bytes(91))
    cases = [
        (tmp_path / "absent.d", FileNotFoundError, None),
        (tmp_path / "file.d", NotADirectoryError, None),
        (tmp_path / "empty.d", morvane.FormatError, "parse error: AcqData directory not found"),
        (tmp_path / "bad.d", morvane.FormatError, "parse error: MSScan.bin too small for header"),
    ]
    for path, error, message in cases:
        with pytest.raises(error) as raised:
            morvane.open(path)
        if message:
            assert str(raised.value) == message
    assert issubclass(morvane.FormatError, ValueError)
    with pytest.raises(TypeError):
        morvane.open(42)


def test_undecodable_spectrum_and_closed_run(tmp_path):
    builder = RunBuilder()
    builder.add_scan(1.0, profile=profile())
    builder.add_scan(1.01, profile=profile(), profile_fault=Fault(transform=cut_tail(9)))
    built = builder.build(tmp_path / "run.d")
    with pytest.raises(RuntimeError) as reference:
        karvel.RawReader(str(built.path))
    run = morvane.open(built.path)
    with pytest.raises(morvane.FormatError) as raised:
        run[1]
    # The same failure, without the record model's layer name karvel shows.
    assert "vendor parser error: " + str(raised.value) == str(reference.value)
    first = run[0]
    with run:
        pass
    assert run.closed
    with pytest.raises(ValueError, match="closed"):
        run[0]
    assert len(first.mz) == 400


def test_centroid_mode_takes_the_centroid_block(tmp_path):
    builder = RunBuilder()
    builder.add_scan(1.0, profile=profile(), centroid=tof_centroid(5))
    run = morvane.open(builder.build(tmp_path / "run.d").path)
    auto = run.spectrum(0)
    centroid = run.spectrum(0, mode="centroid")
    assert (auto.mode, len(auto)) == ("profile", 400)
    assert (centroid.mode, len(centroid)) == ("centroid", 5)
    assert [len(s) for s in run.spectra(mode="centroid")] == [5]
    with pytest.raises(ValueError):
        run.spectrum(0, mode="vendor")
