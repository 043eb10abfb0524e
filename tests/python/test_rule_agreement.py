"""Every consumer of a run gives the same answer to the same question.

Random runs from the run writer mix MS levels 0 to 3, empty and filled
profiles beside centroid blocks, MRM channels and rows with and without a
reported TIC. For each run, what the scan table, the spectra, the
chromatograms, the peak stream, QC and the mzML file say about a scan must
agree: which scans are MS1, how many points a scan yields, and its
precursor m/z."""

from __future__ import annotations

import math
import random
from pathlib import Path

import numpy as np
import pyarrow as pa
import pyarrow.parquet as pq
import pytest
from pyteomics import mzml

import karvel
import morvane
import morvane.qc
from datafolder.run import RunBuilder
from runs import ALL_STRIDES, QUADRUPOLE_STRIDES, mz_centroid, profile, tof_centroid

RUNS = 24
MS1_COUNT = "MS:4000059"
MS1_SPECTRUM, MSN_SPECTRUM, MASS_SPECTRUM = "MS:1000579", "MS:1000580", "MS:1000294"


def random_run(rng: random.Random, path: Path) -> Path:
    """A run drawn from rng (drawn again until its scan table's layout can be
    told from its bytes)."""
    while True:
        try:
            return draw_run(rng, path)
        except ValueError:
            continue


def draw_run(rng: random.Random, path: Path) -> Path:
    stride = rng.choice(ALL_STRIDES)
    builder = RunBuilder(stride=stride)
    for i in range(rng.randint(2, 7)):
        level = rng.choice((0, 1, 1, 2, 3))
        blocks = {}
        if stride in QUADRUPOLE_STRIDES:
            blocks["centroid"] = mz_centroid(rng.randint(0, 5), rng.uniform(100.0, 900.0))
            mrm = rng.choice((0, 0, rng.randint(1, 40)))
        else:
            mrm = 0
            points = rng.choice((0, 0, 60, 200))  # an empty profile, or one with points
            if rng.random() < 0.8:
                blocks["profile"] = profile(rng.uniform(1e3, 1e5), points=points,
                                            encoding=rng.choice(("lzf", "run_length")))
            if "profile" not in blocks or rng.random() < 0.6:
                blocks["centroid"] = tof_centroid(rng.randint(1, 6), rng.uniform(120.0, 500.0))
        builder.add_scan(1.0 + 0.01 * i, ms_level=level, target_mz=rng.choice((0.0, rng.uniform(200, 900))),
                         collision_energy=rng.uniform(0, 40), mrm_channel_id=mrm,
                         ion_polarity=rng.choice((0, 1, 5)), **blocks)
    return builder.build(path).path


def optional(value: float | None) -> float:
    return math.nan if value is None else float(value)


def mzml_spectra(path: Path) -> list[dict]:
    with mzml.MzML(str(path), use_index=False) as reader:
        return list(reader)


def selected_mz(spectrum: dict) -> float:
    try:
        ion = spectrum["precursorList"]["precursor"][0]["selectedIonList"]["selectedIon"][0]
    except (KeyError, IndexError):
        return math.nan
    return float(ion["selected ion m/z"])


@pytest.fixture(scope="module")
def runs(tmp_path_factory) -> list[tuple[morvane.Run, list[morvane.Spectrum], list[dict], Path]]:
    """Each random run opened, its spectra decoded and its mzML read back."""
    rng = random.Random(20261208)
    base = tmp_path_factory.mktemp("agreement")
    opened = []
    for n in range(RUNS):
        path = random_run(rng, base / f"run{n}.d")
        run = morvane.open(path)
        out = base / f"run{n}.mzML"
        run.to_mzml(out, threads=1)
        opened.append((run, list(run.spectra(threads=1)), mzml_spectra(out), path))
    return opened


@pytest.fixture(scope="module")
def mzpeak(runs, tmp_path_factory) -> list[dict[str, pa.Table]]:
    """Each run written as mzPeak members: its spectrum metadata and selected ions."""
    base = tmp_path_factory.mktemp("mzpeak")
    tables = []
    for n, (run, *_) in enumerate(runs):
        folder = base / f"run{n}.mzpeak"
        run.to_mzpeak(folder, layout="folder", threads=1)
        tables.append({name: pq.read_table(folder / f"spectra_{name}.parquet")
                       for name in ("metadata", "metadata_selected_ions")})
    return tables


@pytest.fixture(scope="module")
def qc(runs) -> list[morvane.qc.RunMetrics]:
    return [morvane.qc.metrics(run, threads=1) for run, *_ in runs]


def ms1_positions(spectra: list[morvane.Spectrum]) -> list[int]:
    return [s.index for s in spectra if s.ms_level == 1]


class TestMs1:
    def test_tic_and_bpc_hold_the_ms1_spectra(self, runs):
        for run, spectra, _, path in runs:
            ms1 = [spectra[i] for i in ms1_positions(spectra)]
            rt, tic = run.tic(threads=1)
            _, bpc = run.bpc(threads=1)
            assert rt.tolist() == [s.rt for s in ms1], path
            assert tic.tolist() == pytest.approx([s.tic for s in ms1], rel=1e-12), path
            assert bpc.tolist() == pytest.approx([s.base_peak_intensity or 0.0 for s in ms1], rel=1e-12), path

    def test_karvel_chromatograms_hold_the_same_scans(self, runs):
        for run, spectra, _, path in runs:
            chromatograms = {c["id"]: c for c in karvel.RawReader(str(path)).read_chromatograms()}
            ms1 = [spectra[i] for i in ms1_positions(spectra)]
            tic, bpc = chromatograms.get("TIC"), chromatograms.get("BPC")
            assert (tic["time_sec"] if tic else []) == [float(np.float32(s.rt)) for s in ms1], path
            assert (tic["intensity"] if tic else []) == [float(np.float32(s.tic)) for s in ms1], path
            assert (bpc["intensity"] if bpc else []) == [float(np.float32(s.base_peak_intensity or 0.0))
                                                         for s in ms1], path

    def test_scan_table_qc_and_mzml_count_the_same_ms1_scans(self, runs, qc):
        for (run, spectra, written, path), metrics in zip(runs, qc, strict=True):
            expected = len(ms1_positions(spectra))
            assert int((run.scans["ms_level"] == 1).sum()) == expected, path
            assert metrics.metric(MS1_COUNT).value == expected, path
            assert sum("MS1 spectrum" in s for s in written) == expected, path
            assert len(run.spectra(ms_level=1)) == expected, path

    def test_mzpeak_types_each_spectrum_by_its_level(self, runs, mzpeak):
        for (_, spectra, _, path), tables in zip(runs, mzpeak, strict=True):
            metadata = tables["metadata"]
            expected = [MS1_SPECTRUM if s.ms_level == 1 else MSN_SPECTRUM if s.ms_level >= 2 else MASS_SPECTRUM
                        for s in spectra]
            assert metadata["spectrum_type"].to_pylist() == expected, path
            assert metadata["ms_level"].to_pylist() == [s.ms_level or None for s in spectra], path

    def test_mzml_claims_no_level_a_scan_does_not_state(self, runs):
        for _, spectra, written, path in runs:
            for spectrum, entry in zip(spectra, written, strict=True):
                if spectrum.ms_level == 0:
                    assert "ms level" not in entry and "mass spectrum" in entry, (path, entry["id"])
                    assert "MS1 spectrum" not in entry and "MSn spectrum" not in entry, (path, entry["id"])
                else:
                    assert entry["ms level"] == spectrum.ms_level, (path, entry["id"])
                    assert ("MSn spectrum" in entry) == (spectrum.ms_level >= 2), (path, entry["id"])


class TestBlocks:
    def test_scan_table_points_match_each_spectrum(self, runs):
        for run, spectra, written, path in runs:
            assert run.scans["points"].tolist() == [len(s) for s in spectra], path
            assert [int(s["defaultArrayLength"]) for s in written] == [len(s) for s in spectra], path

    def test_peak_stream_rows_match_each_spectrum(self, runs):
        for run, spectra, _, path in runs:
            table = pa.table(run.peaks(threads=1))
            counts = np.bincount(table["spectrum_index"].to_numpy(), minlength=len(spectra))
            assert counts.tolist() == [len(s) for s in spectra], path


class TestPrecursor:
    def test_every_consumer_reports_the_same_precursor_mz(self, runs, qc, mzpeak):
        for (run, spectra, written, path), metrics, tables in zip(runs, qc, mzpeak, strict=True):
            expected = [optional(s.precursor_mz) for s in spectra]
            np.testing.assert_array_equal(run.scans["precursor_mz"], expected, err_msg=str(path))
            np.testing.assert_array_equal([selected_mz(s) for s in written], expected, err_msg=str(path))
            table = pa.table(run.peaks(metadata=True, threads=1)).to_pandas()
            by_spectrum = table.groupby("spectrum_index")["precursor_mz"].first()
            for index, value in by_spectrum.items():
                assert optional(None if value is None or value != value else value) == pytest.approx(
                    expected[index], nan_ok=True), (path, index)
            ions = tables["metadata_selected_ions"]
            stored = dict(zip(ions["source_index"].to_pylist(), ions["selected_ion_mz"].to_pylist(), strict=True))
            assert [optional(stored.get(i)) for i in range(len(spectra))] == pytest.approx(expected, nan_ok=True), path
            facts = metrics.scans.column("precursor_mz").to_pylist()
            np.testing.assert_array_equal([optional(v) for v in facts], expected, err_msg=str(path))
