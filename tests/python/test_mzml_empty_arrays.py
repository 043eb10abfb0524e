"""Spectra with no points in written mzML: each array is an empty <binary>
with encodedLength 0 and keeps its type and compression terms, and the file
loads in the readers pipelines use (OpenMS FileInfo, pyopenms, pyteomics)."""

from __future__ import annotations

import re
from pathlib import Path

import pytest

import morvane
from datafolder.run import Centroid, RunBuilder
from mzml_checks import fileinfo_available, index_problems, psims_problems
from runs import mz_centroid, tof_centroid

_ARRAY = re.compile(rb'<binaryDataArray encodedLength="(\d+)">(.*?)</binaryDataArray>', re.S)
_ZLIB = b'accession="MS:1000574"'
_NO_COMPRESSION = b'accession="MS:1000576"'
_FLOAT64 = b'accession="MS:1000523"'
_FLOAT32 = b'accession="MS:1000521"'


def run_with_empty_spectra(path: Path) -> Path:
    """Empty spectra first, between and last, at MS1 and MS2."""
    builder = RunBuilder(stride=284)
    builder.add_scan(1.0, centroid=Centroid([], [], format_id=3))
    builder.add_scan(1.01, centroid=mz_centroid(3))
    builder.add_scan(1.02, ms_level=2, target_mz=412.25, collision_energy=20.0, centroid=Centroid([], []))
    builder.add_scan(1.03, ms_level=2, target_mz=300.5, collision_energy=20.0, centroid=tof_centroid(2))
    builder.add_scan(1.04, centroid=Centroid([], [], format_id=3))
    return builder.build(path).path


def spectrum_arrays(data: bytes) -> list[list[tuple[int, bytes]]]:
    """(encodedLength, element body) of each array, spectrum by spectrum."""
    spectra = re.findall(rb"<spectrum .*?</spectrum>", data, re.S)
    return [[(int(length), body) for length, body in _ARRAY.findall(spectrum)] for spectrum in spectra]


@pytest.fixture(scope="module")
def written(tmp_path_factory) -> dict[tuple[bool, int], Path]:
    folder = tmp_path_factory.mktemp("empty")
    run_path = run_with_empty_spectra(folder / "empty.d")
    files = {}
    with morvane.open(run_path) as run:
        for zlib in (True, False):
            for bits in (32, 64):
                out = folder / f"empty-{'zlib' if zlib else 'plain'}-{bits}.mzML"
                run.to_mzml(out, mode="centroid", zlib=zlib, intensity_bits=bits)
                files[zlib, bits] = out
    return files


CASES = [(zlib, bits) for zlib in (True, False) for bits in (32, 64)]


@pytest.mark.parametrize("zlib, bits", CASES)
class TestEmptyArrayElements:
    def test_empty_spectra_have_empty_binaries_with_their_terms(self, written, zlib, bits):
        arrays = spectrum_arrays(written[zlib, bits].read_bytes())
        assert [len(spectrum) for spectrum in arrays] == [2] * 5
        for position in (0, 2, 4):
            for array_index, (length, body) in enumerate(arrays[position]):
                assert length == 0
                assert body.rstrip().endswith(b"<binary></binary>")
                assert (_ZLIB if zlib else _NO_COMPRESSION) in body
                type_term = _FLOAT64 if array_index == 0 or bits == 64 else _FLOAT32
                assert type_term in body

    def test_other_spectra_keep_their_points(self, written, zlib, bits):
        arrays = spectrum_arrays(written[zlib, bits].read_bytes())
        for position in (1, 3):
            assert all(length > 0 and b"<binary></binary>" not in body for length, body in arrays[position])

    def test_index_and_checksum(self, written, zlib, bits):
        assert index_problems(written[zlib, bits]) == []


@pytest.mark.parametrize("zlib, bits", CASES)
class TestReadersLoadEmptySpectra:
    @pytest.mark.skipif(not fileinfo_available(), reason="OpenMS FileInfo is not installed")
    def test_openms_fileinfo(self, written, zlib, bits):
        import subprocess

        done = subprocess.run(["FileInfo", "-in", str(written[zlib, bits])], capture_output=True, text=True,
                              timeout=120)
        # FileInfo exits 0 after a parsing error: its output tells.
        output = done.stdout + done.stderr
        assert "error" not in output.lower(), output
        assert re.search(r"Number of spectra:\s+5", output), output

    def test_pyopenms_reads_no_points(self, written, zlib, bits):
        pyopenms = pytest.importorskip("pyopenms")
        experiment = pyopenms.MSExperiment()
        pyopenms.MzMLFile().load(str(written[zlib, bits]), experiment)
        assert [spectrum.size() for spectrum in experiment.getSpectra()] == [0, 3, 0, 2, 0]

    def test_pyteomics_reads_no_points(self, written, zlib, bits):
        mzml = pytest.importorskip("pyteomics.mzml")
        with mzml.MzML(str(written[zlib, bits])) as reader:
            sizes = [(len(s["m/z array"]), len(s["intensity array"])) for s in reader]
        assert sizes == [(0, 0), (3, 3), (0, 0), (2, 2), (0, 0)]

    def test_schema(self, written, zlib, bits):
        pytest.importorskip("psims")
        assert psims_problems(written[zlib, bits]) == []
