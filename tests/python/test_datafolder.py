"""Checks of the synthetic data folder writer itself (no karvel needed)."""

import random
import struct
from pathlib import Path

import pytest

from datafolder import lzf, msscan
from datafolder.calibration import Calibration, CalibrationError, integer_power, int_to_f32
from datafolder.msmasscal import msmasscal_bytes
from datafolder.profile import lzf_block, run_length_block
from datafolder.run import Centroid, Fault, Profile, RunBuilder
from datafolder.synth import STANDARD_CALIBRATION, random_profile


def lzf_decompress(stream: bytes) -> bytes:
    out = bytearray()
    i = 0
    while i < len(stream):
        ctrl = stream[i]
        i += 1
        if ctrl < 32:
            out += stream[i:i + ctrl + 1]
            assert len(stream[i:i + ctrl + 1]) == ctrl + 1, "literal run leaves the stream"
            i += ctrl + 1
            continue
        length = ctrl >> 5
        if length == 7:
            length += stream[i]
            i += 1
        distance = ((ctrl & 31) << 8) + stream[i]
        i += 1
        source = len(out) - distance - 1
        assert source >= 0, "reference before the start"
        for k in range(length + 2):
            out.append(out[source + k])
    return bytes(out)


def run_length_decode(stream: bytes, point_count: int) -> list[int]:
    marker, stored_start = struct.unpack_from("<Ii", stream, 0)
    assert marker == 0x9002FF00 and stored_start <= 0
    values = [0] * point_count
    point, width, pos = -stored_start, 4, 8
    formats = {1: "<b", 2: "<h", 4: "<i", 8: "<q"}
    widths = []
    while pos < len(stream):
        item = struct.unpack_from(formats[width], stream, pos)[0]
        widths.append(width)
        pos += width
        if item >= 0:
            values[point] = item
            point += 1
        else:
            n = -item - 1
            point += n >> 2
            width = 1 << (n & 3)
            assert point <= point_count
    return values, set(widths)


@pytest.mark.parametrize("data", [
    b"",
    b"a",
    b"abcabcabcabcabcabcabc",
    bytes(5000),
    bytes(range(256)) * 40,
    bytes(random.Random(3).randrange(4) for _ in range(20000)),
    b"xy" * 3000 + bytes(random.Random(4).randrange(256) for _ in range(9000)) + b"xy" * 300,
])
def test_lzf_streams_decompress_to_their_input(data):
    assert lzf_decompress(lzf.compress(data)) == data
    assert lzf_decompress(lzf.compress(data, literal_only=True)) == data


def test_lzf_uses_long_and_overlapping_references():
    stream = lzf.compress(bytes(1000))
    assert len(stream) < 20
    assert stream[2] >> 5 == 7 and stream[3] == 255  # extended length after one literal
    assert stream[4] == 0  # distance 0: overlaps the bytes it produces


def test_run_length_blocks_decode_back_with_every_width():
    intensities = [0] * 50 + [5, 9, 0, 100] + [0] * 40 + [300, 20000] + [0] * 500 \
        + [70000, 1 << 33, 12] + [0] * 7000 + [3]
    block = run_length_block(1000.0, 0.5, intensities)
    assert struct.unpack_from("<dd", block.data) == (1000.0, 0.5)
    values, widths = run_length_decode(block.data[16:], len(intensities))
    assert values == intensities
    assert widths == {1, 2, 4, 8}
    assert run_length_block(1000.0, 0.5, [0] * 9).data[16:] == struct.pack("<Ii", 0x9002FF00, 0)


def test_realistic_profile_round_trips_through_both_encodings():
    intensities = random_profile(random.Random(7), 4000, 12)
    packed = lzf_block(20000.0, 2.5, intensities)
    raw = lzf_decompress(packed.data)
    assert len(raw) == packed.uncompressed_byte_count == 16 + 4 * 4000
    assert list(struct.unpack_from("<4000i", raw, 16)) == intensities
    assert len(packed.data) < len(raw) // 4
    values, _ = run_length_decode(run_length_block(20000.0, 2.5, intensities).data[16:], 4000)
    assert values == intensities


@pytest.mark.parametrize("stride", msscan.STRIDES)
def test_scan_records_land_at_their_offsets(stride):
    records = [msscan.ScanRecord(scan_id=10 + i, retention_time_min=0.5 * i, ms_level=1 + i % 2,
                                 ion_polarity=-1, mrm_channel_id=7, calibration_id=-3,
                                 blocks=[msscan.ParamBlock(1, 4096 * i, 77, 9, 52)])
               for i in range(3)]
    data = msscan.msscan_bytes(records, stride, header_size=100)
    assert struct.unpack_from("<I", data, 0)[0] == 257 and struct.unpack_from("<I", data, 88)[0] == 100
    assert len(data) == 100 + 3 * stride
    assert msscan.inferred_stride(data) == stride
    second = 100 + stride
    assert struct.unpack_from("<Id", data, second)[0] == 11
    assert struct.unpack_from("<d", data, second + 12)[0] == 0.5
    block_at = second + msscan.BLOCK_OFFSETS[stride][0]
    if stride == 186:
        assert struct.unpack_from("<HQIII", data, block_at) == (1, 4096, 77, 9, 52)
        assert struct.unpack_from("<h", data, second + 62)[0] == -1
    else:
        assert struct.unpack_from("<iQIII", data, block_at) == (1, 4096, 77, 9, 52)
        assert struct.unpack_from("<i", data, second + 64)[0] == -1
    row = msscan.expected_record(records[1], stride, "mass_cal_record")
    tof = stride in msscan.TIME_OF_FLIGHT_STRIDES
    assert row["calibration_id"] == (-3 if tof else None)
    assert row["mrm_channel_id"] == (None if tof else 7)
    assert row["calibration_source"] == ("mass_cal_record" if tof else None)
    assert row["profile_params"]["uncompressed_byte_count"] == 52


def test_calibration_evaluates_in_the_prescribed_order():
    calibration = Calibration(2e-4, 3.0, 100.0, 200.0, (0.5, -1e-3, 0, 0, 0, 0), flags=0b1010)
    assert calibration.terms == ((1, 0.5), (3, -1e-3))
    t = 250.0  # above the range: the polynomial uses 200
    q = (2e-4 * (t - 3.0)) * (2e-4 * (t - 3.0))
    assert calibration.mz(t) == q - (-0.0 + 0.5 * 200.0 + -1e-3 * (200.0 * (200.0 * 200.0)))
    assert integer_power(float("nan"), 0) == 1.0
    with pytest.raises(CalibrationError):
        Calibration(1.0, 0.0, 0.0, 1.0, (0.0, 5.0, 0, 0, 0, 0), flags=1)
    assert int_to_f32((1 << 60) + (1 << 36) + 1) == float((1 << 60) + (1 << 37))


def test_mass_cal_records_keep_faulty_counts():
    data = msmasscal_bytes([[1.0, 2.0], [3.0]], counts={1: 11})
    assert len(data) == 72 + 2 * 84
    assert struct.unpack_from("<Idd", data, 72) == (2, 1.0, 2.0)
    assert struct.unpack_from("<I", data, 72 + 84)[0] == 11


def test_built_run_predicts_spectra_and_calibration_sources(tmp_path):
    builder = RunBuilder(stride=220)
    intensities = random_profile(random.Random(1), 2000, 6)
    builder.add_scan(0.1, profile=Profile(20000.0, 2.5, intensities, encoding="run_length"))
    builder.add_scan(0.2, ms_level=2, target_mz=400.0, mass_cal=[1.0] * 10,
                     centroid=Centroid([30000.0, 40000.0], [10.5, 20.25]))
    builder.add_scan(0.3, calibration_id=9, mass_cal=None, ion_polarity=1,
                     profile=Profile(20000.0, 2.5, intensities), profile_fault=Fault(byte_count=10**6))
    run = builder.build(tmp_path / "run.d")
    first, second, third = run.spectra
    assert first.scan_mode == "profile" and first.calibration_source == "mass_cal_record"
    assert first.mz[0] == STANDARD_CALIBRATION.mz(20000.0)
    assert first.intensity == [float(v) for v in intensities]
    assert second.calibration_source == "default_mass_cal"  # record values match no default entry
    assert second.mz == [STANDARD_CALIBRATION.mz(30000.0), STANDARD_CALIBRATION.mz(40000.0)]
    assert second.precursor["target_mz"] == 400.0
    assert third.fails and third.calibration_source is None and third.error == "profile block has no mass calibration"
    assert run.scan_index["records"][2]["profile_params"]["byte_count"] == 10**6
    assert (run.acq / "MSScan.bin").stat().st_size == 92 + 3 * 220


def test_triple_quadrupole_runs_have_no_calibrations(tmp_path):
    builder = RunBuilder(stride=186)
    builder.add_scan(0.1, ms_level=2, mrm_channel_id=4, ion_polarity=-1,
                     centroid=Centroid([150.0], [7.0], format_id=3))
    builder.add_scan(0.2, centroid=Centroid([30000.0], [7.0], format_id=2))
    run = builder.build(tmp_path / "qqq.d")
    assert not (run.acq / "MSMassCal.bin").exists() and not (run.acq / "DefaultMassCal.xml").exists()
    assert run.spectra[0].precursor["precursor_native_id"] == "mrm_channel=4"
    assert run.spectra[0].extra["karvel.mrm_channel_id"] == "4"
    assert run.spectra[1].error == "Q-TOF centroid block has no mass calibration"
    assert run.instrument == ("MS:1003526", "6410A Triple Quadrupole LC/MS") and run.analyzer == "tqms"


def test_committed_sample_run_matches_its_generator(tmp_path):
    from datafolder.sample import SAMPLE_FILES, build_sample
    committed = Path(__file__).resolve().parents[2] / "examples" / "sample.d" / "AcqData"
    run = build_sample(tmp_path / "sample.d")
    for name in SAMPLE_FILES:
        assert (run.acq / name).read_bytes() == (committed / name).read_bytes(), name
    assert len(run.spectra) == 40 and not any(s.fails for s in run.spectra)
    assert {s.scan_mode for s in run.spectra} == {"profile", "centroid"}


def test_default_mass_cal_xml_reads_back_exactly():
    import xml.etree.ElementTree as ET
    from datafolder.xmlfiles import DefaultCalibrationSpec, default_mass_cal_xml, with_bom
    root = ET.fromstring(with_bom(default_mass_cal_xml(
        [DefaultCalibrationSpec.of(3, STANDARD_CALIBRATION)])).lstrip("\ufeff"))
    entry = root.find(".//DefaultCalibration")
    assert entry.get("DefaultCalibrationID") == "3"
    traditional, polynomial = entry.findall("Step")
    values = [float(v.text) for step in (traditional, polynomial) for v in step.find("Values")]
    assert values == STANDARD_CALIBRATION.coefficient_list()
    assert polynomial.findtext("ValueUseFlags") == "7" and polynomial.findtext("NumberOfCoefficients") == "8"


def test_damaged_files_change_the_predictions(tmp_path):
    from datafolder.run import cut_tail
    builder = RunBuilder(stride=216, write_mass_cal=False)
    builder.damage_default_mass_cal("doctype")
    builder.add_scan(0.1, centroid=Centroid([30000.0], [1.0]))
    builder.add_scan(0.2, profile=Profile(20000.0, 1.0, [1, 2, 3]))
    run = builder.build(tmp_path / "a.d")
    assert [s.error for s in run.spectra] == ["Q-TOF centroid block has no mass calibration",
                                              "profile block has no mass calibration"]
    assert b"<!DOCTYPE" in (run.acq / "DefaultMassCal.xml").read_bytes()
    builder = RunBuilder(stride=216)
    builder.add_scan(0.1, profile=Profile(20000.0, 1.0, [1, 2, 3]), profile_fault=Fault(transform=cut_tail(2)))
    builder.add_scan(0.2, profile=Profile(20000.0, 1.0, [4, 5, 6]))
    builder.truncate("MSProfile.bin", 20)
    run = builder.build(tmp_path / "b.d")
    assert run.spectra[0].fails and run.spectra[1].fails and run.spectra[1].error.startswith("read_bytes")
    assert (run.acq / "MSProfile.bin").stat().st_size == 20


def test_calibration_choice_follows_masks_ids_and_fallbacks():
    from datafolder.calibration import DefaultEntry, polynomial_flags, select_calibration
    values = STANDARD_CALIBRATION.polynomial_values()
    first = DefaultEntry(1, 4.8e-4, 12.5, tuple(values), 0b111)
    second = DefaultEntry(2, 4.8e-4, 12.5, tuple(values), 0b1011)
    record = STANDARD_CALIBRATION.coefficient_list()
    assert polynomial_flags(record, 2, [first, second]) == 0b1011
    assert polynomial_flags(record, 9, [first, second]) == 0b111
    near = record[:4] + [record[4] * (1 + 1e-13)] + record[5:]
    far = record[:4] + [record[4] * (1 + 1e-11)] + record[5:]
    assert polynomial_flags(near, 1, [first]) == 0b111
    assert polynomial_flags(far, 1, [first]) is None
    assert polynomial_flags(record[:4] + [0.0, -0.0, 0, 0, 0, 0], None, []) == 0
    assert select_calibration(far, 1, [first])[1] == "default_mass_cal"
    assert select_calibration(record[:9], 5, [first]) == (None, None)
    broken = DefaultEntry(3, 0.0, 12.5, tuple(values), 0b111)
    assert select_calibration(None, 3, [broken, first]) == (None, None)


def test_run_length_splits_skips_too_long_for_narrow_items():
    intensities = [0] * 10 + [5] + [0] * 40 + [6] + [0] * 300000 + [7]
    block = run_length_block(1000.0, 0.5, intensities)
    values, widths = run_length_decode(block.data[16:], len(intensities))
    assert values == intensities and 1 in widths


def test_stride_inference_sees_what_a_reader_sees():
    records = [msscan.ScanRecord(scan_id=5, ms_level=1), msscan.ScanRecord(scan_id=5, ms_level=1)]
    assert msscan.inferred_stride(msscan.msscan_bytes(records, 284)) is None
    records[1].scan_id = 5 + 100000
    assert msscan.inferred_stride(msscan.msscan_bytes(records, 220)) is None
    records[1].scan_id = 5 + 99999
    assert msscan.inferred_stride(msscan.msscan_bytes(records, 220)) == 220
    assert msscan.inferred_stride(msscan.msscan_bytes(records[:1], 186)) == 186
