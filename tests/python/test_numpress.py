"""MS-Numpress in written mzML: every array of randomly generated runs is
decoded by the field's readers (pynumpress directly, pyopenms, pymzml,
pyteomics) within the documented error of the original values, and
pynumpress decodes our bytes to exactly the values our own decoder gives."""

from __future__ import annotations

import base64
import math
import random
import shutil
import struct
import subprocess
import zlib
from pathlib import Path

import numpy as np
import pytest

import morvane
from datafolder.run import Centroid, Profile, RunBuilder
from datafolder.synth import STANDARD_CALIBRATION, STANDARD_DX, STANDARD_X0, random_profile

from mzml_checks import psims_problems

pynumpress = pytest.importorskip("pynumpress")
etree = pytest.importorskip("lxml.etree")

NS = "{http://psi.hupo.org/ms/mzml}"
REPO = Path(__file__).resolve().parents[2]
MZ_ARRAY, INTENSITY_ARRAY = "MS:1000514", "MS:1000515"
FLOAT64, FLOAT32 = "MS:1000523", "MS:1000521"
ZLIB, NO_COMPRESSION = "MS:1000574", "MS:1000576"
# compression term -> (codec, zlib on top)
NUMPRESS = {
    "MS:1002312": ("linear", False), "MS:1002746": ("linear", True),
    "MS:1002314": ("slof", False), "MS:1002748": ("slof", True),
    "MS:1002313": ("pic", False), "MS:1002747": ("pic", True),
}
PPM = 0.1


def random_run(path: Path, seed: int, scans: int = 12) -> Path:
    """MS1 profiles of varied lengths and heights (one empty), each followed
    by MS2 centroid scans (one without peaks, one of a single peak)."""
    rng = random.Random(seed)
    builder = RunBuilder(stride=284)
    for scan in range(scans):
        minute = 0.5 + 0.02 * scan
        points = 0 if scan == 3 else rng.choice((50, 400, 3000, 12000))
        intensities = random_profile(rng, points, max(1, points // 200), max_height=10 ** rng.uniform(2, 7)) \
            if points else []
        builder.add_scan(minute, profile=Profile(STANDARD_X0, STANDARD_DX, intensities))
        count = 0 if scan == 5 else 1 if scan == 7 else rng.randint(1, 60)
        mzs = sorted(rng.uniform(100, 1400) for _ in range(count))
        heights = [round(rng.uniform(5, 5e5), 2 if scan % 2 else 0) for _ in mzs]
        builder.add_scan(minute + 0.01, ms_level=2, target_mz=500.0 + scan, collision_energy=20.0,
                         centroid=Centroid([STANDARD_CALIBRATION.flight_time(mz) for mz in mzs], heights))
    return builder.build(path).path


def binary_arrays(path: Path):
    """(spectrum id, array kind, type term, compression term, encodedLength,
    stored bytes after base64) of every spectrum array of the file."""
    for spectrum in etree.parse(str(path)).iter(NS + "spectrum"):
        for array in spectrum.iter(NS + "binaryDataArray"):
            accessions = [param.get("accession") for param in array.findall(NS + "cvParam")]
            kind = next(a for a in accessions if a in (MZ_ARRAY, INTENSITY_ARRAY))
            dtype = next(a for a in accessions if a in (FLOAT64, FLOAT32))
            compression = next(a for a in accessions if a in NUMPRESS or a in (ZLIB, NO_COMPRESSION))
            text = array.find(NS + "binary").text or ""
            yield (spectrum.get("id"), kind, dtype, compression, int(array.get("encodedLength")),
                   base64.b64decode(text))


def numpress_bytes(compression: str, stored: bytes) -> tuple[str, bytes]:
    codec, zlibbed = NUMPRESS[compression]
    return codec, zlib.decompress(stored) if zlibbed and stored else stored


def pynumpress_decode(codec: str, data: bytes) -> np.ndarray:
    decode = {"linear": pynumpress.decode_linear, "slof": pynumpress.decode_slof, "pic": pynumpress.decode_pic}
    return np.asarray(decode[codec](np.frombuffer(data, np.uint8)), np.float64)


def scale_of(data: bytes) -> float:
    return struct.unpack(">d", data[:8])[0]


def assert_within_bound(codec: str, data: bytes, decoded: np.ndarray, original: np.ndarray) -> None:
    """The documented error of each encoding."""
    assert decoded.shape == original.shape
    if original.size == 0:
        return
    if codec == "linear":
        bound = min(PPM * 1e-6 * np.abs(original).max(), 0.5 / scale_of(data)) * (1 + 1e-9)
        assert np.abs(decoded - original).max() <= bound
    elif codec == "slof":
        relative = math.expm1(0.5 / scale_of(data)) * (1 + 1e-6)
        assert np.all(np.abs(decoded - original) <= relative * (original + 1))
        assert relative <= 2e-4  # intensities up to 1e7 here
    else:
        assert np.all(np.abs(decoded - original) <= 0.5)


def originals(run: morvane.Run) -> dict[str, dict[str, np.ndarray]]:
    return {s.native_id: {MZ_ARRAY: np.asarray(s.mz, np.float64), INTENSITY_ARRAY: np.asarray(s.intensity, np.float64)}
            for s in run.spectra()}


COMBINATIONS = [
    pytest.param({"numpress_mz": "linear", "numpress_intensity": "slof", "zlib": True}, id="linear-slof-zlib"),
    pytest.param({"numpress_mz": "linear", "numpress_intensity": "slof", "zlib": False}, id="linear-slof"),
    pytest.param({"numpress_mz": "linear", "numpress_intensity": "pic", "zlib": True}, id="linear-pic-zlib"),
    pytest.param({"numpress_mz": "linear", "numpress_intensity": "pic", "zlib": False}, id="linear-pic"),
    pytest.param({"numpress_mz": "linear", "zlib": True}, id="linear-only"),
    pytest.param({"numpress_intensity": "slof", "zlib": True}, id="slof-only"),
]


@pytest.fixture(scope="module")
def runs(tmp_path_factory) -> list[Path]:
    folder = tmp_path_factory.mktemp("numpress_runs")
    return [random_run(folder / f"r{seed}.d", seed) for seed in (1, 2, 3)]


class TestTermsAndBounds:
    @pytest.mark.parametrize("options", COMBINATIONS)
    def test_every_array_decodes_within_its_bound(self, runs, tmp_path, options):
        wanted = {MZ_ARRAY: options.get("numpress_mz"), INTENSITY_ARRAY: options.get("numpress_intensity")}
        for path in runs:
            run = morvane.open(path)
            out = tmp_path / (path.stem + ".mzML")
            run.to_mzml(out, **options)
            expected = originals(run)
            seen = 0
            for native_id, kind, dtype, compression, length, stored in binary_arrays(out):
                original = expected[native_id][kind]
                if wanted[kind] is None or original.size == 1:
                    # A single value is stored plain: some decoders refuse
                    # a numpress array of one.
                    assert compression == (ZLIB if options["zlib"] else NO_COMPRESSION)
                    continue
                codec, data = numpress_bytes(compression, stored)
                assert (codec, NUMPRESS[compression][1]) == (wanted[kind], options["zlib"])
                assert dtype == FLOAT64
                if original.size == 0:
                    assert length == 0 and stored == b""
                    continue
                assert length == len(base64.b64encode(stored))
                assert_within_bound(codec, data, pynumpress_decode(codec, data), original)
                seen += 1
            assert seen > 10

    def test_numpress_file_is_schema_valid(self, runs, tmp_path):
        out = tmp_path / "valid.mzML"
        morvane.open(runs[0]).to_mzml(out, numpress_mz="linear", numpress_intensity="slof")
        assert psims_problems(out) == []

    def test_unrepresentable_intensities_stay_plain(self, tmp_path):
        # A negative intensity has no slof or pic code: that array is plain.
        builder = RunBuilder(stride=284)
        builder.add_scan(0.5, profile=Profile(STANDARD_X0, STANDARD_DX, [0, 5, 40, -3, 7, 0, 2]))
        builder.add_scan(0.6, profile=Profile(STANDARD_X0, STANDARD_DX, [0, 5, 40, 3, 7, 0, 2]))
        path = builder.build(tmp_path / "negative.d").path
        for codec in ("slof", "pic"):
            out = tmp_path / f"negative-{codec}.mzML"
            morvane.open(path).to_mzml(out, numpress_mz="linear", numpress_intensity=codec)
            terms = [(kind, dtype, compression) for _, kind, dtype, compression, _, _ in binary_arrays(out)]
            zlib_term = next(c for c, (name, z) in NUMPRESS.items() if name == codec and z)
            assert terms[1] == (INTENSITY_ARRAY, FLOAT32, ZLIB)
            assert terms[3] == (INTENSITY_ARRAY, FLOAT64, zlib_term)

    @pytest.mark.parametrize("bad", [{"numpress_mz": "slof"}, {"numpress_intensity": "linear"},
                                     {"numpress_mz": "linear", "numpress_mz_ppm": 0.0},
                                     {"numpress_mz": "linear", "numpress_mz_ppm": float("nan")}])
    def test_wrong_options_are_value_errors(self, runs, tmp_path, bad):
        with pytest.raises(ValueError):
            morvane.open(runs[0]).to_mzml(tmp_path / "bad.mzML", **bad)
        assert not (tmp_path / "bad.mzML").exists()

    def test_ppm_option_sets_the_bound(self, runs, tmp_path):
        run = morvane.open(runs[0])
        sizes = {}
        for ppm in (0.01, 1.0):
            out = tmp_path / f"ppm{ppm}.mzML"
            run.to_mzml(out, numpress_mz="linear", numpress_mz_ppm=ppm, zlib=False)
            expected = originals(run)
            for native_id, kind, _, compression, _, stored in binary_arrays(out):
                if kind == MZ_ARRAY and stored:
                    original = expected[native_id][kind]
                    if compression not in NUMPRESS:
                        assert original.size == 1  # the one array kept plain
                        continue
                    codec, data = numpress_bytes(compression, stored)
                    error = np.abs(pynumpress_decode(codec, data) - original).max()
                    assert error <= ppm * 1e-6 * original.max() * (1 + 1e-9)
            sizes[ppm] = out.stat().st_size
        assert sizes[1.0] < sizes[0.01]


# Our own decoder (the C++ one the unit tests use), built for this test.
@pytest.fixture(scope="module")
def own_decoder(tmp_path_factory):
    compiler = shutil.which("g++")
    if compiler is None:
        pytest.skip("no C++ compiler to build the decoder")
    folder = tmp_path_factory.mktemp("decoder")
    main = folder / "decode.cpp"
    main.write_text(
        '#include <cstdio>\n#include <vector>\n#include <string_view>\n#include "export/numpress.hpp"\n'
        "int main(int argc, char** argv) {\n"
        "  if (argc != 2) return 2;\n"
        "  std::vector<std::uint8_t> bytes;\n"
        "  for (int c; (c = std::getchar()) != EOF;) bytes.push_back(static_cast<std::uint8_t>(c));\n"
        "  namespace np = karvel::exporter::numpress;\n"
        "  const std::string_view codec = argv[1];\n"
        "  auto values = codec == \"linear\" ? np::decode_linear(bytes)\n"
        "              : codec == \"slof\" ? np::decode_slof(bytes) : np::decode_pic(bytes);\n"
        "  if (!values) return 1;\n"
        "  std::fwrite(values->data(), sizeof(double), values->size(), stdout);\n"
        "  return 0;\n}\n")
    binary = folder / "decode"
    sources = [REPO / "src/export/numpress.cpp"] + sorted((REPO / "src/support").glob("*.cpp"))
    built = subprocess.run([compiler, "-std=c++23", "-O1", "-I", str(REPO / "src"), str(main),
                            *map(str, sources), "-lutf8proc", "-o", str(binary)],
                           capture_output=True, text=True, timeout=600)
    if built.returncode != 0:
        pytest.fail("cannot build the decoder:\n" + built.stderr[-3000:])

    def decode(codec: str, data: bytes) -> np.ndarray:
        done = subprocess.run([str(binary), codec], input=data, capture_output=True, timeout=60)
        assert done.returncode == 0
        return np.frombuffer(done.stdout, np.float64)

    return decode


def test_pynumpress_decodes_our_bytes_to_exactly_our_decoders_values(runs, tmp_path, own_decoder):
    checked = {"linear": 0, "slof": 0, "pic": 0}
    for intensity in ("slof", "pic"):
        out = tmp_path / f"own-{intensity}.mzML"
        morvane.open(runs[1]).to_mzml(out, numpress_mz="linear", numpress_intensity=intensity, zlib=True)
        for _, _, _, compression, _, stored in binary_arrays(out):
            if compression not in NUMPRESS or not stored:
                continue
            codec, data = numpress_bytes(compression, stored)
            theirs = pynumpress_decode(codec, data)
            ours = own_decoder(codec, data)
            assert theirs.tobytes() == ours.tobytes()
            checked[codec] += 1
    assert min(checked.values()) > 5


class TestReaders:
    """The readers of the field load the file and decode its arrays."""

    @pytest.fixture(scope="class")
    @classmethod
    def written(cls, runs, tmp_path_factory):
        out = tmp_path_factory.mktemp("readers") / "numpress.mzML"
        run = morvane.open(runs[2])
        run.to_mzml(out, numpress_mz="linear", numpress_intensity="slof")
        return out, list(originals(run).values())

    @staticmethod
    def check(arrays, expected) -> None:
        assert len(arrays) == len(expected)
        for (mz, intensity), want in zip(arrays, expected):
            mz, intensity = np.asarray(mz, np.float64), np.asarray(intensity, np.float64)
            assert mz.shape == want[MZ_ARRAY].shape
            if mz.size:
                assert np.abs(mz - want[MZ_ARRAY]).max() <= PPM * 1e-6 * want[MZ_ARRAY].max() * (1 + 1e-9)
                assert np.all(np.abs(intensity - want[INTENSITY_ARRAY]) <= 2e-4 * (want[INTENSITY_ARRAY] + 1))

    def test_pyopenms(self, written):
        pyopenms = pytest.importorskip("pyopenms")
        path, expected = written
        experiment = pyopenms.MSExperiment()
        pyopenms.MzMLFile().load(str(path), experiment)
        self.check([spectrum.get_peaks() for spectrum in experiment.getSpectra()], expected)

    def test_pymzml(self, written):
        # pymzml's spectrum objects (2.7) fail on every numpress array, from
        # any writer (their decoding path reads an attribute they never
        # set), so its numpress decoder is called on the arrays directly.
        decoder = pytest.importorskip("pymzml.decoder").MSDecoder
        path, expected = written
        decode = {"linear": decoder.decode_linear, "slof": decoder.decode_slof, "pic": decoder.decode_pic}
        arrays: dict[str, dict[str, np.ndarray]] = {}
        for native_id, kind, dtype, compression, _, stored in binary_arrays(path):
            if compression not in NUMPRESS:  # an array of one value, kept plain
                data = zlib.decompress(stored) if compression == ZLIB else stored
                arrays.setdefault(native_id, {})[kind] = np.frombuffer(
                    data, np.float64 if dtype == FLOAT64 else np.float32).astype(np.float64)
                continue
            codec, data = numpress_bytes(compression, stored)
            arrays.setdefault(native_id, {})[kind] = (
                np.asarray(decode[codec](np.frombuffer(data, np.uint8)), np.float64) if data else np.zeros(0))
        self.check([(a[MZ_ARRAY], a[INTENSITY_ARRAY]) for a in arrays.values()], expected)

    def test_pyteomics(self, written):
        mzml = pytest.importorskip("pyteomics.mzml")
        path, expected = written
        with mzml.MzML(str(path), use_index=False) as reader:
            self.check([(s["m/z array"], s["intensity array"]) for s in reader], expected)
