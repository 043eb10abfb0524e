"""Whole synthetic runs through the reader: decoded points, calibration
choice, triple-quadrupole runs, polarity codes, side files and failing
scans, each compared with what the run writer predicted on its own."""

from __future__ import annotations

import pytest

import karvel
from datafolder.calibration import Calibration, f32
from datafolder.run import Fault, RunBuilder, cut_tail, overwrite
from datafolder.synth import STANDARD_CALIBRATION, STANDARD_DX, STANDARD_X0
from runs import assert_spectrum_matches, mz_centroid, profile, tof_centroid


def read_all(run):
    reader = karvel.RawReader(str(run.path))
    return reader, [reader.read_spectrum(i) for i in range(reader.scan_count)]


def assert_run_matches(run):
    reader, spectra = read_all(run)
    assert reader.scan_index() == run.scan_index
    assert len(spectra) == len(run.spectra)
    for spectrum, expected in zip(spectra, run.spectra):
        assert_spectrum_matches(spectrum, expected)
    return reader


def sources(reader):
    return [r["calibration_source"] for r in reader.scan_index()["records"]]


@pytest.mark.parametrize("stride", [284, 220, 216])
def test_time_of_flight_run_decodes_every_encoding(tmp_path, stride):
    builder = RunBuilder(stride=stride)
    builder.add_scan(1.0, profile=profile(encoding="lzf"))
    builder.add_scan(1.01, profile=profile(7.5e4, encoding="run_length"))
    builder.add_scan(1.02, ms_level=2, target_mz=412.25, collision_energy=20.0, centroid=tof_centroid())
    builder.add_scan(1.03, ms_level=2, target_mz=300.5, collision_energy=35.0, centroid=mz_centroid())
    builder.add_scan(1.04, profile=profile(3.0e5, points=2000, encoding="run_length"), ion_polarity=1)
    run = builder.build(tmp_path / "tof.d")
    reader = assert_run_matches(run)
    assert [s.scan_mode for s in run.spectra] == ["profile", "profile", "centroid", "centroid", "profile"]
    assert sources(reader) == ["mass_cal_record"] * 5


def test_empty_profile_falls_through_to_the_centroid_block(tmp_path):
    builder = RunBuilder(stride=284)
    builder.add_scan(1.0, profile=profile(points=0), centroid=tof_centroid(4))
    builder.add_scan(1.01, profile=profile(points=0))
    run = builder.build(tmp_path / "empty.d")
    _, spectra = read_all(run)
    assert spectra[0].scan_mode == "centroid" and len(spectra[0]) == 4
    assert spectra[1].scan_mode == "profile" and len(spectra[1]) == 0
    assert_run_matches(run)


def test_per_scan_masks_are_recovered_from_default_entries(tmp_path):
    other = Calibration(a=4.7e-4, t0=11.0, range_min=15000.0, range_max=90000.0,
                        coefficients=(2.0e-3, -1.0e-8, 4.0e-17, 0.0, 0.0, 0.0), flags=0b1011)
    builder = RunBuilder(stride=220)
    builder.add_default_calibration(2, other)
    builder.add_scan(1.0, profile=profile(), calibration_id=2)
    builder.add_scan(1.01, profile=profile(), calibration_id=1)
    # A record whose polynomial is all zero needs no default entry.
    builder.add_scan(1.02, profile=profile(), calibration_id=7,
                     mass_cal=Calibration(a=4.9e-4, t0=10.0))
    run = builder.build(tmp_path / "masks.d")
    reader = assert_run_matches(run)
    assert sources(reader) == ["mass_cal_record"] * 3


def test_run_without_mass_cal_file_uses_defaults(tmp_path):
    builder = RunBuilder(stride=284, write_mass_cal=False)
    builder.add_scan(1.0, profile=profile())
    builder.add_scan(1.01, ms_level=2, centroid=tof_centroid())
    run = builder.build(tmp_path / "defaults.d")
    reader = assert_run_matches(run)
    assert sources(reader) == ["default_mass_cal"] * 2


def test_wrong_record_count_discards_the_mass_cal_file(tmp_path):
    builder = RunBuilder(stride=284)
    builder.mass_cal_record_delta = -1
    builder.add_scan(1.0, profile=profile(), mass_cal=Calibration(a=5.0e-4, t0=1.0))
    builder.add_scan(1.01, profile=profile())
    run = builder.build(tmp_path / "count.d")
    reader = assert_run_matches(run)
    assert sources(reader) == ["default_mass_cal"] * 2


def test_unusable_records_fall_back_or_leave_scans_uncalibrated(tmp_path):
    unmatched = Calibration(a=4.8e-4, t0=12.5, range_min=20000.0, range_max=80000.0,
                            coefficients=(9.9e-3, 0.0, 0.0, 0.0, 0.0, 0.0), flags=0b1)
    builder = RunBuilder(stride=216)
    builder.add_scan(1.0, profile=profile(), mass_cal=unmatched)             # falls back to id 1
    builder.add_scan(1.01, centroid=mz_centroid(), mass_cal=[1.0] * 9)       # nine values
    builder.add_scan(1.02, centroid=mz_centroid(), mass_cal=unmatched, calibration_id=5)  # no entry
    run = builder.build(tmp_path / "fallback.d")
    reader = assert_run_matches(run)
    assert sources(reader) == ["default_mass_cal", "default_mass_cal", None]


def test_uncalibrated_profile_scan_fails_the_reader(tmp_path):
    builder = RunBuilder(stride=284)
    builder.add_scan(1.0, profile=profile())
    builder.add_scan(1.01, profile=profile(), calibration_id=5, mass_cal=None)
    run = builder.build(tmp_path / "nocal.d")
    scan_id = run.records[1].scan_id
    with pytest.raises(RuntimeError) as failure:
        karvel.RawReader(str(run.path))
    assert str(failure.value) == (f"vendor parser error: scanId={scan_id}: profile block: parse error: "
                                  "profile block has no mass calibration")


@pytest.mark.parametrize("stride", [196, 186])
def test_triple_quadrupole_run_with_mrm_channels(tmp_path, stride):
    builder = RunBuilder(stride=stride)
    builder.add_scan(1.0, centroid=mz_centroid(), mrm_channel_id=3)
    builder.add_scan(1.01, ms_level=2, centroid=mz_centroid(2, 300.0), mrm_channel_id=7)
    builder.add_scan(1.02, ms_level=2, centroid=mz_centroid(1, 120.0), ion_polarity=1)
    run = builder.build(tmp_path / "qqq.d")
    reader = assert_run_matches(run)
    spectrum = reader.read_spectrum(1)
    assert spectrum.analyzer == "tqms"
    assert spectrum.precursor["precursor_native_id"] == "mrm_channel=7"
    assert spectrum.precursor["target_mz"] is None
    assert spectrum.extra["karvel.mrm_channel_id"] == "7"
    assert sources(reader) == [None, None, None]
    assert reader.run_info()["instrument"] == {"accession": "MS:1003526",
                                               "name": "6410A Triple Quadrupole LC/MS"}


def test_triple_quadrupole_profile_and_flight_time_blocks_fail(tmp_path):
    builder = RunBuilder(stride=196, device=None)
    builder.add_scan(1.0, centroid=mz_centroid())
    builder.add_scan(1.01, centroid=tof_centroid(3))  # flight times need a calibration
    run = builder.build(tmp_path / "qqq.d")
    with pytest.raises(RuntimeError, match="centroid block: parse error: Q-TOF centroid block has no "
                                           "mass calibration$"):
        karvel.RawReader(str(run.path))
    assert [type(item).__name__ for item in _drain(run)] == ["Spectrum", "RuntimeError"]


def _drain(run):
    items = []
    stream = karvel.iter_spectra(str(run.path))
    while True:
        try:
            items.append(next(stream))
        except StopIteration:
            return items
        except RuntimeError as error:
            items.append(error)


def test_unknown_polarity_codes_leave_polarity_unset(tmp_path):
    builder = RunBuilder(stride=220)
    for i, code in enumerate([0, 1, 3, -2]):
        builder.add_scan(1.0 + i / 100, centroid=mz_centroid(), ion_polarity=code)
    run = builder.build(tmp_path / "polarity.d")
    _, spectra = read_all(run)
    assert [s.polarity for s in spectra] == ["positive", "negative", None, None]
    assert [s.extra.get("karvel.ion_polarity") for s in spectra] == [None, None, "3", "-2"]
    assert_run_matches(run)


@pytest.mark.parametrize("damage", ["missing", "malformed", "invalid_utf8"])
def test_side_files_degrade_without_failing(tmp_path, damage):
    builder = RunBuilder(stride=284)
    builder.add_scan(1.0, profile=profile())
    if damage == "missing":
        builder.omit("Devices.xml", "Contents.xml")
    elif damage == "malformed":
        builder.set_devices_xml("<Devices><Device><Name>QTOF</Name>", None)
        builder.set_contents_xml("<!DOCTYPE x><Contents><AcquiredTime>x</AcquiredTime></Contents>", None)
    else:
        builder.set_devices_xml(b"<Devices><Device><Name>Q\xff</Name></Device></Devices>", None)
        builder.set_contents_xml(b"<C><AcquiredTime>\xfe</AcquiredTime></C>", None)
    run = builder.build(tmp_path / "side.d")
    reader = assert_run_matches(run)
    assert reader.device_info() is None
    info = reader.run_info()
    assert info["start_timestamp"] is None
    assert info["instrument"] == {"accession": "MS:1000461", "name": "Agilent Q-TOF"}
    assert list(info["extra"]) == ["karvel.msscan_header_size", "karvel.msscan_stride"]


def test_device_and_acquisition_time(tmp_path):
    builder = RunBuilder(stride=284)
    builder.add_scan(1.0, profile=profile())
    run = builder.build(tmp_path / "meta.d")
    reader = karvel.RawReader(str(run.path))
    assert reader.device_info() == run.device_info == {"name": "QTOF", "model": "G6530B"}
    info = reader.run_info()
    assert info["start_timestamp"] == "2019-03-04T10:22:13.1234567-05:00"
    assert info["instrument"] == {"accession": "MS:1002787", "name": "6530B Q-TOF LC/MS"}
    assert info["extra"]["karvel.device_model"] == "G6530B"


@pytest.mark.parametrize("fault, message", [
    (Fault(transform=cut_tail(3)), "parse error: LZF: "),
    (Fault(uncompressed_byte_count=10), "parse error: UncompressedByteCount 10 too short for 400 points"),
    (Fault(offset=1 << 40), "parse error: read_bytes: requested"),
    (Fault(transform=overwrite(0, b"\x00" * 16)), "parse error: "),
])
def test_a_failing_block_fails_only_its_own_scan(tmp_path, fault, message):
    builder = RunBuilder(stride=284)
    builder.add_scan(1.0, profile=profile())
    builder.add_scan(1.01, profile=profile(), profile_fault=fault)
    builder.add_scan(1.02, ms_level=2, centroid=tof_centroid())
    run = builder.build(tmp_path / "fault.d")
    scan_id = run.records[1].scan_id
    with pytest.raises(RuntimeError) as failure:
        karvel.RawReader(str(run.path))
    prefix = f"vendor parser error: scanId={scan_id}: profile block: "
    assert str(failure.value).startswith(prefix + message), str(failure.value)
    items = _drain(run)
    assert [type(item).__name__ for item in items] == ["Spectrum", "RuntimeError"]
    assert str(items[1]) == str(failure.value)


def test_missing_data_file_is_an_io_error_of_that_scan(tmp_path):
    builder = RunBuilder(stride=284)
    builder.add_scan(1.0, ms_level=2, centroid=tof_centroid())
    builder.omit("MSPeak.bin")
    run = builder.build(tmp_path / "nopeak.d")
    with pytest.raises(RuntimeError) as failure:
        karvel.RawReader(str(run.path))
    assert str(failure.value).startswith(
        f"vendor parser error: scanId={run.records[0].scan_id}: centroid block: I/O error: No such file")


def test_chromatograms_follow_ms1_spectra(tmp_path):
    builder = RunBuilder(stride=284)
    builder.add_scan(1.0, profile=profile())
    builder.add_scan(1.01, ms_level=2, centroid=tof_centroid())
    builder.add_scan(1.02, profile=profile(9.0e4, encoding="run_length"), tic=123.5,
                     base_peak_mz=456.0, base_peak_intensity=789.0)
    run = builder.build(tmp_path / "chrom.d")
    reader = karvel.RawReader(str(run.path))
    tic, bpc = reader.read_chromatograms()
    ms1 = [s for s in run.spectra if s.ms_level == 1]
    assert tic["id"] == "TIC" and bpc["id"] == "BPC"
    assert tic["time_sec"] == bpc["time_sec"] == [f32(s.retention_time_sec) for s in ms1]
    assert tic["intensity"] == [f32(s.total_ion_current) for s in ms1]
    assert bpc["intensity"] == [f32(s.base_peak[1]) for s in ms1]
    assert tic["intensity"][1] == 123.5 and bpc["intensity"][1] == 789.0


def test_sample_run_matches_its_writer(tmp_path):
    from datafolder.sample import build_sample
    run = build_sample(tmp_path / "sample.d")
    assert_run_matches(run)


def test_profile_axis_positions(tmp_path):
    builder = RunBuilder(stride=284, calibration=Calibration(a=1.0, t0=0.0))
    builder.add_scan(1.0, profile=profile(points=8))
    run = builder.build(tmp_path / "axis.d")
    spectrum = karvel.RawReader(str(run.path)).read_spectrum(0)
    assert spectrum.mz == [(STANDARD_X0 + i * STANDARD_DX) ** 2 for i in range(8)]
