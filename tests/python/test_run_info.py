"""run_info() and read_chromatograms(): the run's metadata and its total-ion
and base-peak chromatograms."""

import pytest

import karvel
from datafolder.calibration import f32
from datafolder.run import RunBuilder
from datafolder.sample import build_sample

from runs import build_small_run, profile


@pytest.fixture(scope="module")
def sample(tmp_path_factory):
    return build_sample(tmp_path_factory.mktemp("sample") / "sample.d")


def term(accession, name):
    return {"accession": accession, "name": name}


def test_run_info_of_the_sample(sample):
    info = karvel.RawReader(str(sample.path)).run_info()
    assert info == {
        "source_file_name": "sample.d",
        "source_file_format": term("MS:1001509", "Agilent MassHunter format"),
        "native_id_format": term("MS:1001508", "Agilent MassHunter nativeID format"),
        "instrument": term(*sample.instrument),
        "instrument_serial_number": None,
        "software_name": "karvel",
        "software_version": "1.0.0",
        "acquisition_software_name": None,
        "acquisition_software_version": None,
        "start_timestamp": sample.acquired_time,
        "mobility_array_kind": None,
        "analyzers": [],
        "extra": {
            "karvel.device_model": "G6530B",
            "karvel.device_name": "QTOF",
            "karvel.msscan_header_size": "92",
            "karvel.msscan_stride": "284",
        },
    }
    assert list(info) == ["source_file_name", "source_file_format", "native_id_format", "instrument",
                          "instrument_serial_number", "software_name", "software_version",
                          "acquisition_software_name", "acquisition_software_version", "start_timestamp",
                          "mobility_array_kind", "analyzers", "extra"]
    for key in ("source_file_format", "native_id_format", "instrument"):
        assert list(info[key]) == ["accession", "name"]
    assert list(info["extra"]) == sorted(info["extra"])


def test_run_info_without_side_files(tmp_path):
    builder = RunBuilder(196, device=None, acquired_time=None)
    builder.add_scan(1.0)
    builder.add_scan(1.1)
    run = builder.build(tmp_path / "bare.d")
    reader = karvel.RawReader(str(run.path) + "/")
    info = reader.run_info()
    assert info["source_file_name"] == "bare.d"
    assert info["start_timestamp"] is None
    assert info["instrument"] == term(*run.instrument)
    assert info["extra"] == {"karvel.msscan_header_size": "92", "karvel.msscan_stride": "196"}
    assert reader.run_info() == info and reader.run_info() is not info


def expected_chromatograms(run):
    ms1 = [s for s in run.spectra if s.ms_level == 1]
    times = [f32(s.retention_time_sec) for s in ms1]
    tic = [f32(s.total_ion_current) for s in ms1]
    bpc = [f32(s.base_peak[1]) if s.base_peak else 0.0 for s in ms1]
    return [
        {"index": 0, "id": "TIC", "chromatogram_type": term("MS:1000235", "total ion current chromatogram"),
         "precursor_mz": None, "product_mz": None, "time_sec": times, "intensity": tic},
        {"index": 1, "id": "BPC", "chromatogram_type": term("MS:1000628", "basepeak chromatogram"),
         "precursor_mz": None, "product_mz": None, "time_sec": times, "intensity": bpc},
    ]


@pytest.mark.parametrize("stride", [284, 186])
def test_chromatograms(tmp_path, stride):
    run = build_small_run(tmp_path, stride)
    chromatograms = karvel.RawReader(str(run.path)).read_chromatograms()
    assert chromatograms == expected_chromatograms(run)
    for chromatogram in chromatograms:
        assert list(chromatogram) == ["index", "id", "chromatogram_type", "precursor_mz", "product_mz",
                                      "time_sec", "intensity"]
        assert len(chromatogram["time_sec"]) == len(chromatogram["intensity"]) == 2


def test_chromatograms_of_the_sample(sample):
    reader = karvel.RawReader(str(sample.path))
    first = reader.read_chromatograms()
    assert first == expected_chromatograms(sample)
    assert reader.read_chromatograms() == first


def test_chromatograms_decode_the_folder_again(tmp_path):
    builder = RunBuilder()
    for i in range(3):
        builder.add_scan(1.0 + i / 10, profile=profile(1.0e4 * (i + 1)))
    run = builder.build(tmp_path / "run.d")
    reader = karvel.RawReader(str(run.path))
    profile_file = run.acq / "MSProfile.bin"
    profile_file.write_bytes(profile_file.read_bytes()[:-5])
    with pytest.raises(RuntimeError, match=r"^vendor parser error: scanId=3: profile block: "):
        reader.read_chromatograms()
    # The reader itself still serves everything it decoded at construction.
    assert reader.scan_count == 3 and len(reader.read_spectrum(2)) > 0
