"""Indexed mzML written by run.to_mzml: one file per kind of run and option,
each checked by every validator available and read back by three readers.

Validators: OpenMS FileInfo -v (schema and mapping rules) and -i (index),
psims' XSD check (mzML1.1.2_idx.xsd), pyopenms' semantic check, and our own
check of the index offsets and the SHA-1. Readers: pyteomics, pymzml and
pyopenms; arrays must equal morvane's bit for bit, metadata must match."""

from __future__ import annotations

import math
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

import numpy as np
import pytest

import morvane
from datafolder.run import Centroid, RunBuilder
from mzml_checks import (fileinfo_available, fileinfo_problems, index_problems, psims_problems,
                         pyopenms_problems)
from runs import mz_centroid, profile, tof_centroid


def tof_run(stride: int, encoding: str) -> RunBuilder:
    """MS1 profiles (with format-2 centroids where the layout has a second
    block), MS2 centroids with precursors, both polarities."""
    builder = RunBuilder(stride=stride)
    two_blocks = stride == 284
    for i in range(6):
        rt = 1.0 + 0.01 * i
        if i % 2 == 0:
            builder.add_scan(rt, profile=profile(4.0e4 + 1e4 * i, encoding=encoding),
                             centroid=tof_centroid(4 + i) if two_blocks else None,
                             ion_polarity=1 if i == 4 else 0)
        else:
            builder.add_scan(rt, ms_level=2, target_mz=400.25 + i, collision_energy=10.0 + i,
                             centroid=tof_centroid(3 + i, first_mz=120.0 + i))
    return builder


def centroid_f3_run() -> RunBuilder:
    builder = RunBuilder(stride=216)
    for i in range(5):
        builder.add_scan(2.0 + 0.02 * i, ms_level=1 + i % 2, target_mz=300.5 + i if i % 2 else 0.0,
                         collision_energy=15.0 if i % 2 else 0.0, centroid=mz_centroid(3 + i, 150.0 + i))
    return builder


def mrm_run(stride: int) -> RunBuilder:
    builder = RunBuilder(stride=stride)
    for i in range(6):
        builder.add_scan(0.5 + 0.005 * i, ms_level=2 if i % 3 else 1, mrm_channel_id=i % 3,
                         ion_polarity=i % 2, centroid=Centroid([200.0 + i], [1000.0 + 10 * i], format_id=3))
    return builder


@dataclass(frozen=True)
class Case:
    name: str
    build: Any
    options: dict[str, Any] = field(default_factory=dict)


CASES = [
    Case("profile_lzf", lambda: tof_run(284, "lzf")),
    Case("profile_rle_no_zlib", lambda: tof_run(220, "run_length"), {"zlib": False}),
    Case("centroid_f2_64bit", lambda: tof_run(284, "lzf"), {"mode": "centroid", "intensity_bits": 64}),
    Case("centroid_f3", centroid_f3_run),
    Case("mrm_196", lambda: mrm_run(196)),
    Case("mrm_186_no_zlib_64bit", lambda: mrm_run(186), {"zlib": False, "intensity_bits": 64}),
    Case("ms_level_2", lambda: tof_run(216, "lzf"), {"ms_level": 2}),
    Case("rt_window", lambda: tof_run(284, "run_length"), {"rt": (60.5, 62.5)}),
]
FILTER_FREE = {"profile_lzf", "profile_rle_no_zlib", "centroid_f2_64bit", "centroid_f3", "mrm_196",
               "mrm_186_no_zlib_64bit"}


@dataclass
class Written:
    run_path: Path
    mzml: Path
    options: dict[str, Any]


@pytest.fixture(scope="module")
def written(tmp_path_factory) -> dict[str, Written]:
    """Every case written once; the tests below share the files."""
    root = tmp_path_factory.mktemp("mzml")
    files = {}
    for case in CASES:
        run_path = root / f"{case.name}.d"
        case.build().build(run_path)
        out = root / f"{case.name}.mzML"
        with morvane.open(run_path) as run:
            run.to_mzml(out, **case.options)
        files[case.name] = Written(run_path, out, case.options)
    return files


def expected_spectra(item: Written) -> list[Any]:
    selection = {key: item.options[key] for key in ("ms_level", "rt", "mode") if key in item.options}
    with morvane.open(item.run_path) as run:
        return list(run.spectra(**selection))


def intensity_dtype(item: Written) -> type:
    return np.float64 if item.options.get("intensity_bits") == 64 else np.float32


def same_bits(actual: np.ndarray, expected: np.ndarray, dtype: type) -> bool:
    """Arrays equal bit for bit once in dtype (morvane's float32 intensities
    widened exactly when the file holds 64-bit values)."""
    return np.asarray(actual).dtype == dtype and np.asarray(actual).tobytes() == np.asarray(expected, dtype).tobytes()


NAMES = [case.name for case in CASES]


# -- validators ------------------------------------------------------------------------------

@pytest.mark.parametrize("name", NAMES)
def test_own_index_and_checksum(written, name):
    assert index_problems(written[name].mzml) == []


@pytest.mark.skipif(not fileinfo_available(), reason="OpenMS FileInfo (Debian topp) is not installed")
@pytest.mark.parametrize("name", NAMES)
def test_openms_fileinfo(written, name):
    assert fileinfo_problems(written[name].mzml) == []


@pytest.mark.parametrize("name", NAMES)
def test_psims_schema(written, name):
    pytest.importorskip("psims")
    assert psims_problems(written[name].mzml) == []


@pytest.mark.parametrize("name", NAMES)
def test_pyopenms_semantics(written, name):
    pytest.importorskip("pyopenms")
    assert pyopenms_problems(written[name].mzml) == []


# -- readers ---------------------------------------------------------------------------------

def _polarity_of(params: dict) -> str | None:
    if "positive scan" in params:
        return "positive"
    if "negative scan" in params:
        return "negative"
    return None


@pytest.mark.parametrize("name", NAMES)
def test_pyteomics_reads_back(written, name):
    mzml = pytest.importorskip("pyteomics.mzml")
    item = written[name]
    expected = expected_spectra(item)
    with mzml.MzML(str(item.mzml), use_index=False) as reader:
        actual = list(reader)
    assert [s["id"] for s in actual] == [e.native_id for e in expected]
    for got, want in zip(actual, expected):
        assert got["ms level"] == want.ms_level
        assert same_bits(got["m/z array"], want.mz, np.float64)
        assert same_bits(got["intensity array"], want.intensity, intensity_dtype(item))
        assert float(got["scanList"]["scan"][0]["scan start time"]) == want.rt
        assert _polarity_of(got) == want.polarity
        assert ("profile spectrum" in got) == (want.mode == "profile")
        assert got["total ion current"] == want.tic
        precursors = got.get("precursorList", {}).get("precursor", [])
        ions = precursors[0].get("selectedIonList", {}).get("selectedIon", []) if precursors else []
        assert (ions[0]["selected ion m/z"] if ions else None) == want.precursor_mz
        if want.collision_energy is not None and not math.isnan(want.collision_energy):
            assert precursors[0]["activation"]["collision energy"] == want.collision_energy


@pytest.mark.parametrize("name", NAMES)
def test_pymzml_reads_back(written, name):
    pymzml = pytest.importorskip("pymzml")
    item = written[name]
    expected = expected_spectra(item)
    actual = [s for s in pymzml.run.Reader(str(item.mzml)) if s.ms_level is not None]
    assert len(actual) == len(expected)
    for got, want in zip(actual, expected):
        assert got.ms_level == want.ms_level
        assert same_bits(got.mz, want.mz, np.float64)
        assert np.asarray(got.i).astype(np.float32).tobytes() == want.intensity.tobytes()
        assert got.scan_time_in_minutes() * 60 == pytest.approx(want.rt, rel=1e-12)
        precursors = got.selected_precursors or []
        assert (precursors[0]["mz"] if precursors else None) == want.precursor_mz


@pytest.mark.parametrize("name", NAMES)
def test_pyopenms_reads_back(written, name):
    pyopenms = pytest.importorskip("pyopenms")
    item = written[name]
    expected = expected_spectra(item)
    experiment = pyopenms.MSExperiment()
    pyopenms.MzMLFile().load(str(item.mzml), experiment)
    actual = list(experiment)
    assert [s.getNativeID() for s in actual] == [e.native_id for e in expected]
    polarities = {pyopenms.IonSource.Polarity.POSITIVE: "positive",
                  pyopenms.IonSource.Polarity.NEGATIVE: "negative"}
    for got, want in zip(actual, expected):
        mz, intensity = got.get_peaks()
        assert got.getMSLevel() == want.ms_level
        assert same_bits(mz, want.mz, np.float64)
        # OpenMS keeps intensities as float32 whatever the file holds.
        assert same_bits(intensity, want.intensity, np.float32)
        assert got.getRT() == want.rt
        assert polarities.get(got.getInstrumentSettings().getPolarity()) == want.polarity
        precursors = got.getPrecursors()
        if want.precursor_mz is not None:
            assert precursors[0].getMZ() == want.precursor_mz
    if name in FILTER_FREE:
        with morvane.open(item.run_path) as run:
            tic_rt, tic = run.tic()
            _, bpc = run.bpc()
        chromatograms = {c.getNativeID(): c.get_peaks() for c in experiment.getChromatograms()}
        if len(tic_rt):
            # The file holds the 32-bit chromatograms; morvane's are their 64-bit sources.
            assert chromatograms["TIC"][0].astype(np.float32).tobytes() == tic_rt.astype(np.float32).tobytes()
            assert chromatograms["TIC"][1].astype(np.float32).tobytes() == tic.astype(np.float32).tobytes()
            assert chromatograms["BPC"][1].astype(np.float32).tobytes() == bpc.astype(np.float32).tobytes()
        else:
            assert chromatograms == {}
