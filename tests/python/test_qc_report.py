"""The QC reports: what they compute from a run's metrics and data folder,
and what the written HTML file holds. (The browser test is
test_qc_report_browser.py.)"""

from __future__ import annotations

import base64
import dataclasses
import gzip
import json
import math
import re
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

pytest.importorskip("plotly")
pytest.importorskip("pyarrow")

import morvane  # noqa: E402
from morvane import _native  # noqa: E402
from morvane._traces import thin  # noqa: E402
from morvane.qc import _report_data as data  # noqa: E402
from morvane.qc import report  # noqa: E402

import qc_standin  # noqa: E402
from export_runs import damaged_run, varied_run  # noqa: E402

MB = 1024 * 1024


# -- reading a written report back --------------------------------------------------------

def unpack(page: str, element: str) -> str:
    match = re.search(rf'<script id="{element}" type="application/octet-stream">([^<]*)</script>', page)
    assert match, element
    return gzip.decompress(base64.b64decode(match.group(1))).decode("utf-8")


def figures_of(path: Path) -> dict[str, dict]:
    """The figures of a report by section heading."""
    page = path.read_text(encoding="utf-8")
    figures = json.loads(unpack(page, "qc-figures"))
    headings = re.findall(r"<h2>([^<]*)</h2>", page)
    ids = re.findall(r'<h2>([^<]*)</h2>\s*(?:<table.*?</table>\s*(?:<p[^>]*>[^<]*</p>\s*)?)?'
                     r'(?:<div id="(qc-figure-\d+)")?', page, flags=re.S)
    by_heading = {heading: figures[element] for heading, element in ids if element}
    assert set(by_heading) <= set(headings)
    return by_heading


def trace_names(figure: dict) -> list[str]:
    return [trace.get("name", "") for trace in figure["data"]]


# -- computations -------------------------------------------------------------------------

class TestThin:
    @pytest.mark.parametrize("count, limit", [(10, 2000), (2000, 2000), (2001, 2000), (20000, 2000),
                                              (99999, 500), (7, 4)])
    def test_keeps_ends_and_extremes_within_the_limit(self, count, limit):
        random = np.random.default_rng(count)
        x = np.cumsum(random.uniform(0.1, 1.0, count))
        y = random.normal(0, 1, count) ** 3
        tx, ty = thin(x, y, limit)
        assert len(tx) == len(ty) <= max(limit, count if count <= limit else 0)
        if count <= limit:
            assert np.array_equal(tx, x) and np.array_equal(ty, y)
            return
        assert tx[0] == x[0] and tx[-1] == x[-1]
        assert y.max() in ty and y.min() in ty
        assert np.all(np.diff(tx) > 0)                 # a subset in order
        assert set(tx.tolist()) <= set(x.tolist())
        # Each of the equal runs of points keeps its own highest point.
        size = math.ceil(count / max(1, (limit - 2) // 2))
        for start in range(0, count, size):
            assert y[start:start + size].max() in ty

    def test_nan_values_never_hide_the_extremes(self):
        y = np.array([np.nan, 1.0, np.nan, 50.0, -3.0] * 1000)
        tx, ty = thin(np.arange(y.size, dtype=float), y, 100)
        assert 50.0 in ty and -3.0 in ty and len(tx) <= 100


def with_metrics(*metrics):
    return qc_standin.RunMetrics("r", "r.d", list(metrics), qc_standin.pa.table({"rt": [0.0]}))


FRACTIONS = qc_standin.Metric("MS:4000183", "TIC quantile RT fraction", [0.5, 0.125, 0.125, 0.25])
RANGE = qc_standin.Metric("MS:4000070", "retention time acquisition range", [60.0, 3660.0])
DURATION = qc_standin.Metric("MS:4000067", "MS run duration", 3600.0)


class TestTicQuarters:
    @pytest.mark.parametrize("metrics, expected", [
        ((FRACTIONS, RANGE, DURATION), [60, 1860, 2310, 2760, 3660]),
        ((DURATION, RANGE, FRACTIONS), [60, 1860, 2310, 2760, 3660]),      # any order
        ((qc_standin.Metric("MS:4000183", "", [0, 0, 1, 0]), RANGE, DURATION), [60, 60, 60, 3660, 3660]),
        ((qc_standin.Metric("MS:4000183", "", [0.25] * 4), qc_standin.Metric("MS:4000070", "", [5, 9]),
          qc_standin.Metric("MS:4000067", "", 4)), [5, 6, 7, 8, 9]),
    ])
    def test_quarter_boundaries_from_the_metrics(self, metrics, expected):
        assert data.tic_quarters(with_metrics(*metrics)).tolist() == pytest.approx(expected)

    @pytest.mark.parametrize("metrics", [
        (),
        (RANGE, DURATION),
        (FRACTIONS, DURATION),
        (FRACTIONS, RANGE),
        (dataclasses.replace(FRACTIONS, polarity="positive"), RANGE, DURATION),   # only split by polarity
        (dataclasses.replace(FRACTIONS, value=[0.5, 0.5]), RANGE, DURATION),
        (dataclasses.replace(FRACTIONS, value=[0.5, None, 0.25, 0.25]), RANGE, DURATION),
        (FRACTIONS, RANGE, dataclasses.replace(DURATION, value=None)),
    ])
    def test_without_usable_metrics_no_quarters(self, metrics):
        assert data.tic_quarters(with_metrics(*metrics)) is None

    def test_the_stand_in_agrees_with_the_metrics_of_a_real_run(self, lc_runs):
        qc = pytest.importorskip("morvane.qc")
        if not hasattr(qc, "metrics"):
            pytest.skip("morvane.qc has no metrics() here")
        real = lc_runs[0]
        stand_in = qc_standin.standin(real.path)
        assert data.tic_quarters(stand_in) == pytest.approx(data.tic_quarters(real))


class TestOutliers:
    @pytest.mark.parametrize("values, flags", [
        ([1, 2, 3], [None] * 3),                                    # too few to judge
        ([10, 11, 12, 10, 50], [None, None, None, None, "high"]),
        ([10, 11, 12, 10, 0.5], [None, None, None, None, "low"]),
        ([10, 11, None, 12, 10, 50], [None, None, None, None, None, "high"]),
        ([10, math.nan, 11, 12, 10, -40], [None, None, None, None, None, "low"]),
        ([5, 5, 5, 5, 5], [None] * 5),
        ([1, 2, 3, 4, 5, 6, 7, 8], [None] * 8),
        # Nine values: Q1 = 2 and Q3 = 4 whatever the largest, so the fences are -1
        # and 7: 7 is inside, 7.5 beyond.
        ([1, 2, 2, 3, 3, 4, 4, 5, 7], [None] * 9),
        ([1, 2, 2, 3, 3, 4, 4, 5, 7.5], [None] * 8 + ["high"]),
        ([-1, 2, 2, 3, 3, 4, 4, 5, 6], [None] * 9),
        ([-1.5, 2, 2, 3, 3, 4, 4, 5, 6], ["low"] + [None] * 8),
    ])
    def test_tukey_fences(self, values, flags):
        assert data.outliers(values) == flags


class TestMetricRows:
    def test_runs_with_different_metrics_share_one_row_per_metric_and_polarity(self):
        M = qc_standin.Metric
        table = qc_standin.scan_table({"rt": np.arange(3.0), "ms_level": np.ones(3), "tic": np.ones(3),
                                       "base_peak_intensity": np.ones(3), "base_peak_mz": np.ones(3)})
        a = qc_standin.RunMetrics("a", "a.d", [
            M("MS:4000059", "number of MS1 spectra", 1200),
            M("MS:4000097", "MS1 signal jump (10x) count", np.int64(12345)),
            M("MS:4000029", "area under TIC in MS1", 2.5e9, polarity="positive"),
            M("MS:4000029", "area under TIC in MS1", 1.25e8, polarity="negative"),
            M("MS:4000067", "MS run duration", 3599.123456789, qc_standin.SECOND),
            M("MS:4000070", "retention time acquisition range", [0.5, 3600.25], qc_standin.SECOND),
        ], table)
        b = qc_standin.RunMetrics("b", "b.d", [
            M("MS:4000029", "area under TIC in MS1", 3.0e9, polarity="positive"),
            M("MS:4000063", "MS2 known precursor charges fractions",
              {"Charge state": [2, 3, 4], "Fraction": [0.5, 0.3, 0.2]}),
        ], table)
        rows = data.metric_rows([a, b])
        assert [(r.accession, r.polarity, r.texts) for r in rows] == [
            ("MS:4000059", None, ["1,200", "–"]),
            ("MS:4000097", None, ["12,345", "–"]),
            ("MS:4000029", "positive", ["2.5e+09", "3e+09"]),
            ("MS:4000029", "negative", ["1.25e+08", "–"]),
            ("MS:4000067", None, ["3,599", "–"]),
            ("MS:4000070", None, ["0.5 – 3,600", "–"]),
            ("MS:4000063", None, ["–", "table: 3 rows × 2 columns"]),
        ]
        assert rows[4].unit == rows[5].unit == "second"
        assert all(flag is None for r in rows for flag in r.flags)

    def test_a_batch_flags_its_outlying_run_and_a_single_run_is_never_flagged(self):
        batch = [qc_standin.synthetic(f"r{i}", 400, seed=1) for i in range(5)]
        odd = batch[-1]
        low = [qc_standin.Metric("MS:4000059", "number of MS1 spectra", 3)]
        batch[-1] = qc_standin.RunMetrics(odd.run_name, odd.path, low, odd.scans)
        row = next(r for r in data.metric_rows(batch) if r.accession == "MS:4000059")
        assert row.flags == [None, None, None, None, "low"]
        assert all(f is None for r in data.metric_rows(batch[-1:]) for f in r.flags)


class TestMetricText:
    @pytest.mark.parametrize("value, unit, text", [
        (-1.42e-10, "parts per million", "0"),          # rounding noise of a drift computation
        (-0.0004, "parts per million", "0"),
        (1.23456, "parts per million", "1.235"),
        (-2.5, "parts per million", "-2.500"),
        (3e-17, "fraction", "0"),
        (0.2500000001, "fraction", "0.25"),
        (123456.7, "", "123,457"),
        (1e300, "", "1e+300"),
        (float("nan"), "", "–"),
        (None, "", "–"),
        (7, "count unit", "7"),
        ([100.0, 1700.5], "m/z", "100 – 1,700"),
        ([0.25, None, 1e-12, 0.75], "fraction", "0.25, –, 0, 0.75"),
    ])
    def test_values_read_at_a_glance(self, value, unit, text):
        assert data._text(value, unit) == text

    def test_no_tuple_or_none_reaches_the_table(self, lc_runs):
        for row in data.metric_rows(lc_runs):
            assert all("None" not in t and "[" not in t and "(" not in t for t in row.texts), row
        units = {r.name: r.unit for r in data.metric_rows(lc_runs)}
        assert units["number of MS1 spectra"] == "count" and units["MS run duration"] == "second"


class TestPolarity:
    @pytest.mark.parametrize("polarity, parts", [
        (np.array([1, 1, 1, 1, 1, 1]), [""]),
        (np.array([-1, -1, -1, -1, -1, -1]), [""]),
        (np.array([1, -1, 1, -1, 1, -1]), [" (+)", " (−)"]),
        (np.array([0, 1, 0, -1, 0, 0]), [" (+)", " (−)", " (?)"]),
        (np.array(["positive", "negative", "positive", None, "positive", "negative"], dtype=object),
         [" (+)", " (−)", " (?)"]),
    ])
    def test_runs_that_switch_polarity_have_one_trace_per_polarity(self, polarity, parts):
        rt = np.arange(12.0)
        levels = np.tile([1, 2], 6)                       # MS1 at even positions
        table = qc_standin.scan_table({"rt": rt, "ms_level": levels, "tic": rt * 10,
                                       "base_peak_intensity": rt, "base_peak_mz": rt})
        column = np.repeat(polarity, 2)                   # each MS2 takes its MS1's polarity
        kind = qc_standin.pa.string() if polarity.dtype == object else qc_standin.pa.int8()
        table = table.set_column(table.column_names.index("polarity"), "polarity",
                                 qc_standin.pa.array(list(column), type=kind))
        run = data.RunTraces.of(qc_standin.RunMetrics("r", "r.d", [], table))
        got = run.chromatograms(run.tic)
        assert [suffix for suffix, _, _ in got] == parts
        assert sorted(np.concatenate([t for _, t, _ in got]).tolist()) == rt[::2].tolist()
        for suffix, times, values in got:
            assert np.array_equal(values, times * 10)
            if suffix == " (+)":
                assert set(column[times.astype(int)]) <= {1, "positive"}

    def test_the_figures_keep_both_polarities_of_a_run_in_its_legend_group(self, tmp_path):
        m = qc_standin.synthetic("switching", 400, seed=4)
        switching = m.scans.set_column(m.scans.column_names.index("polarity"), "polarity",
                                       qc_standin.pa.array((["positive"] * 4 + ["negative"] * 4) * 50))
        both = qc_standin.RunMetrics("switching", m.path, m.metrics, switching)
        other = qc_standin.synthetic("plain", 400, seed=5)
        report.write_batch_report([both, other], tmp_path / "report.html")
        figures = figures_of(tmp_path / "report.html")
        tic = figures["TIC"]["data"]
        assert trace_names(figures["TIC"]) == ["switching (+)", "switching (−)", "plain"]
        assert [t["legendgroup"] for t in tic] == ["switching", "switching", "plain"]
        assert tic[1]["line"]["dash"] == "dot"
        panels = figures["TIC and base peak by run"]["data"]
        assert [t["showlegend"] for t in panels] == [True, False, False, False, True, False]


def traces_of(rt, levels, precursor=None):
    columns = {"rt": np.asarray(rt, float), "ms_level": np.asarray(levels), "tic": np.ones(len(rt)),
               "base_peak_intensity": np.ones(len(rt)), "base_peak_mz": np.ones(len(rt))}
    if precursor is not None:
        columns["precursor_mz"] = np.asarray(precursor, float)
    return data.RunTraces.of(qc_standin.RunMetrics("r", "r.d", [], qc_standin.scan_table(columns)))


class TestScanRate:
    @pytest.mark.parametrize("seed", range(6))
    def test_a_steady_acquisition_is_a_flat_line_at_its_rate(self, seed):
        # A cycle of one MS1 and k MS2 scans every `cycle` seconds, from any
        # start: the MS1 rate is 60 / cycle at every scan, however the bins
        # of a histogram would fall.
        rng = np.random.default_rng(seed)
        k, cycle, start = int(rng.integers(1, 8)), float(rng.uniform(0.3, 3)), float(rng.uniform(0, 600))
        cycles = int(rng.integers(3, 200))
        rt = start + np.repeat(np.arange(cycles) * cycle, k + 1) + np.tile(np.arange(k + 1) * cycle / (k + 1), cycles)
        levels = np.tile([1] + [2] * k, cycles)
        run = traces_of(rt, levels)
        at, ms1 = data.scan_rate(run, 1)
        assert at.size == cycles - 1
        assert ms1 == pytest.approx(np.full(cycles - 1, 60 / cycle))
        _, msn = data.scan_rate(run, 2)
        assert msn.size == cycles * k - 1
        assert np.all(msn[np.isfinite(msn)] > 0)

    @pytest.mark.parametrize("rt, levels, count", [
        ([], [], 0), ([5.0], [1], 0), ([1.0, 2.0], [2, 2], 0), ([1.0, 1.0, 3.0], [1, 1, 1], 2)])
    def test_short_runs(self, rt, levels, count):
        at, rate = data.scan_rate(traces_of(rt, levels), 1)
        assert at.size == rate.size == count

    def test_ms2_per_cycle_and_precursors(self):
        rt = [0, 1, 2, 3, 4, 5, 6, 7]
        levels = [2, 1, 2, 2, 1, 1, 3, 2]
        precursor = [400, np.nan, 500, np.nan, np.nan, np.nan, 600, 700]
        run = traces_of(rt, levels, precursor)
        at, counts = run.ms2_per_cycle()
        # The MS2 scan before the first MS1 belongs to no cycle.
        assert at.tolist() == [1, 4, 5] and counts.tolist() == [2, 0, 2]
        prt, pmz = run.precursors()
        assert prt.tolist() == [0, 2, 6, 7] and pmz.tolist() == [400, 500, 600, 700]
        no_ms1 = traces_of([1, 2], [2, 2])
        assert no_ms1.ms2_per_cycle()[0].size == 0 and no_ms1.chromatograms(no_ms1.tic) == []


# -- the map, binned in C++ ------------------------------------------------------------------

@pytest.fixture(scope="module")
def lc_runs(tmp_path_factory):
    return qc_standin.lc_batch(tmp_path_factory.mktemp("qc-runs"), runs=4, cycles=24)


def reference_map(path, positions, rt_edges, mz_edges):
    """The map from morvane's decoded spectra and numpy's histogram."""
    rows = len(rt_edges) - 1
    cells = np.zeros((rows, len(mz_edges) - 1))
    with morvane.open(path) as run:
        for s in run.spectra(indices=positions):
            row = min(int((s.rt - rt_edges[0]) / (rt_edges[-1] - rt_edges[0]) * rows), rows - 1) \
                if rt_edges[-1] > rt_edges[0] else 0
            counts, _ = np.histogram(s.mz, bins=mz_edges, weights=s.intensity.astype(np.float64))
            cells[row] += counts
    return cells


class TestIntensityMap:
    @pytest.mark.parametrize("rt_bins, mz_bins, mz_range", [
        (12, 64, (None, None)), (1, 1, (None, None)), (24, 200, (None, None)), (5, 33, (90.0, 110.0)),
    ])
    def test_cells_hold_the_intensity_of_their_points(self, lc_runs, rt_bins, mz_bins, mz_range):
        m = lc_runs[0]
        trace = data.RunTraces.of(m)
        positions = trace.positions[trace.ms1].astype(np.uint32)
        rt = trace.rt[trace.ms1]
        with morvane.open(m.path) as run:
            cells, rt_edges, mz_edges, points, dropped = _native.rt_mz_map(
                run._handle, positions, float(rt.min()), float(rt.max()), rt_bins, mz_bins, *mz_range, 2)
            total = sum(len(s) for s in run.spectra(indices=positions))
        assert len(rt_edges) == rt_bins + 1 and 2 <= len(mz_edges) <= mz_bins + 1
        assert cells.shape == (rt_bins * (len(mz_edges) - 1),)
        assert points + dropped == total
        expected = reference_map(m.path, positions, rt_edges, mz_edges)
        assert cells.reshape(expected.shape) == pytest.approx(expected, rel=1e-9, abs=1e-6)
        if mz_range[0] is None:
            assert dropped == 0
            assert (mz_edges[0], mz_edges[-1]) == (pytest.approx(mz_edges[0]), pytest.approx(mz_edges[-1]))

    @pytest.mark.parametrize("source", ["metrics", "stand-in"])
    def test_the_report_helper_keeps_every_ms1_point(self, lc_runs, source):
        m = lc_runs[2] if source == "metrics" else qc_standin.standin(lc_runs[2].path)
        trace = data.RunTraces.of(m)
        result = data.intensity_map(trace, rt_bins=7, mz_bins=40, threads=2)
        with morvane.open(m.path) as run:
            ms1 = list(run.spectra(ms_level=1))
        total = sum(float(s.intensity.astype(np.float64).sum()) for s in ms1)
        assert result.cells.sum() == pytest.approx(total, rel=1e-9)
        lowest = min(float(s.mz.min()) for s in ms1)
        highest = max(float(s.mz.max()) for s in ms1)
        if trace.ms1_mz_range() is not None:       # the table's m/z bounds fix the range
            assert (result.mz_edges[0], result.mz_edges[-1]) == (lowest, highest)
            assert len(result.mz_edges) == 41
        else:                                      # found while binning
            assert result.mz_edges[0] <= lowest and highest < result.mz_edges[-1]
        assert result.rt_edges[0] <= ms1[0].rt and ms1[-1].rt <= result.rt_edges[-1]

    @pytest.mark.parametrize("mz_range", [(None, None), (90.0, 310.0)])
    def test_every_thread_count_gives_the_same_bits(self, lc_runs, mz_range):
        trace = data.RunTraces.of(lc_runs[3])
        positions = trace.positions[trace.ms1].astype(np.uint32)
        with morvane.open(lc_runs[3].path) as run:
            maps = [_native.rt_mz_map(run._handle, positions, 30.0, 210.0, 9, 50, *mz_range, threads)[0]
                    for threads in (1, 2, 3, 8)]
        assert all(m.tobytes() == maps[0].tobytes() for m in maps[1:])
        assert maps[0].sum() > 0

    def test_the_report_helper_gives_one_row_a_spectrum_at_most(self, lc_runs):
        trace = data.RunTraces.of(lc_runs[1])
        m = data.intensity_map(trace, rt_bins=500, mz_bins=50, threads=1)
        assert m is not None and m.cells.shape[0] == int(trace.ms1.sum())
        assert m.cells.sum() > 0

    @pytest.mark.parametrize("args, error, message", [
        ((0, 10, 0, 10, None, None), ValueError, "rt bins"),
        ((0, 10, 10, 5000, None, None), ValueError, "m/z bins"),
        ((10, 0, 10, 10, None, None), ValueError, "rt range"),
        ((0, 10, 10, 10, 5.0, None), ValueError, "both ends"),
        ((0, 10, 10, 10, 50.0, 40.0), ValueError, "m/z range"),
    ])
    def test_bad_grids_raise(self, lc_runs, args, error, message):
        with morvane.open(lc_runs[0].path) as run:
            with pytest.raises(error, match=message):
                _native.rt_mz_map(run._handle, np.arange(3, dtype=np.uint32), *args, 1)

    def test_an_undecodable_spectrum_raises_format_error_and_a_closed_run_value_error(self, tmp_path):
        run = morvane.open(damaged_run(tmp_path / "damaged.d"))
        with pytest.raises(morvane.FormatError, match="scanId="):
            _native.rt_mz_map(run._handle, np.arange(4, dtype=np.uint32), 0, 100, 4, 8, None, None, 2)
        run.close()
        with pytest.raises(ValueError, match="closed"):
            _native.rt_mz_map(run._handle, np.arange(4, dtype=np.uint32), 0, 100, 4, 8, None, None, 2)
        with pytest.raises(TypeError, match="morvane run"):
            _native.rt_mz_map(run, np.arange(4, dtype=np.uint32), 0, 100, 4, 8, None, None, 2)

    def test_positions_beyond_the_run_raise_index_error(self, tmp_path):
        with morvane.open(varied_run(tmp_path / "varied.d")) as run:
            with pytest.raises(IndexError):
                _native.rt_mz_map(run._handle, np.array([len(run)], dtype=np.uint32), 0, 100, 4, 8, None, None, 1)


# -- the written reports ------------------------------------------------------------------

@pytest.fixture(scope="module")
def written(lc_runs, tmp_path_factory):
    folder = tmp_path_factory.mktemp("qc-reports")
    report.write_run_report(lc_runs[0], folder / "QC01.html", threads=2)
    report.write_batch_report(lc_runs, folder / "report.html", threads=2)
    return folder


class TestWrittenReports:
    def test_a_run_report_has_every_section_with_its_traces(self, written):
        figures = figures_of(written / "QC01.html")
        assert {name: len(f["data"]) for name, f in figures.items()} == {
            "TIC and base peak": 2, "Scan rate": 2, "TIC quarters": 4, "MS2 per cycle": 1, "Precursor m/z": 1,
            "Mass calibration drift": 1, "MS1 intensity map": 1, "Spectrum at the TIC maximum": 1}
        assert figures["MS1 intensity map"]["data"][0]["type"] == "heatmap"
        page = (written / "QC01.html").read_text()
        assert "<h2>Metrics</h2>" in page and "number of MS1 spectra" in page

    def test_a_batch_report_names_every_run_in_every_per_run_figure(self, written, lc_runs):
        figures = figures_of(written / "report.html")
        names = [m.run_name for m in lc_runs]
        for heading in ("TIC", "Base peak", "Mass calibration drift", "MS1 intensity map"):
            assert trace_names(figures[heading]) == names, heading
        panels = figures["TIC and base peak by run"]
        assert trace_names(panels) == [n for n in names for _ in range(2)]
        assert [t["showlegend"] for t in panels["data"]] == [True, False] * len(names)
        assert [t["legendgroup"] for t in figures["TIC"]["data"]] == names
        spectra = figures["Spectrum at the TIC maximum"]["data"]
        assert [t.get("visible", True) for t in spectra] == [True] + ["legendonly"] * (len(names) - 1)
        assert len(figures["Scan rate"]["data"]) == 2 * len(names)
        # Each row of the panels is named by its run.
        titles = [a["text"] for a in panels["layout"]["annotations"]]
        assert titles == ["TIC", "base peak", *names]
        menu = figures["MS1 intensity map"]["layout"]["updatemenus"][0]["buttons"]
        assert [b["label"] for b in menu] == names

    def test_the_quiet_run_is_flagged_in_the_metrics_table(self, written):
        page = (written / "report.html").read_text()
        row = re.search(r"<tr><td[^>]*>area under TIC in MS1</td>.*?</tr>", page).group(0)
        cells = re.findall(r"<td( class=\"(\w+)\")?[^>]*>([^<]*)</td>", row)[2:]
        assert [cls for _, cls, _ in cells] == ["", "", "", "low"]
        assert cells[-1][2].endswith("▼")

    def test_the_summary_heads_the_page_with_runs_and_flags(self, written, lc_runs):
        page = (written / "report.html").read_text()
        assert page.index("<h2>Summary</h2>") < page.index("<h2>TIC</h2>")
        headline = re.search(r'<p class="headline">([^<]*)</p>', page).group(1)
        assert headline.startswith(f"{len(lc_runs)} runs · ") and headline.endswith("· 1 flagged")
        summary = page[page.index("<h2>Summary</h2>"):page.index("</table>", page.index("<h2>Summary</h2>"))]
        quiet = re.search(rf"<tr><td>{lc_runs[-1].run_name}</td>(.*?)</tr>", summary).group(1)
        assert 'class="flagged"' in quiet and "area under TIC in MS1" in quiet

    def test_the_page_fetches_nothing(self, written):
        for name in ("QC01.html", "report.html"):
            page = (written / name).read_text()
            outside = re.sub(r'<script id="qc-\w+" type="application/octet-stream">[^<]*</script>', "", page)
            assert not re.search(r"\b(src|href)\s*=", outside), name
            assert "http" not in outside.replace("http-equiv", ""), name
            # plotly's whole library is inside, once.
            from plotly.offline import get_plotlyjs
            assert unpack(page, "qc-plotly") == get_plotlyjs()
            assert page.count('id="qc-plotly"') == 1

    def test_the_same_metrics_give_the_same_bytes(self, written, lc_runs, tmp_path):
        report.write_batch_report(lc_runs, tmp_path / "again.html", threads=1)
        assert (tmp_path / "again.html").read_bytes() == (written / "report.html").read_bytes()

    def test_without_the_data_folder_the_map_and_spectrum_say_so(self, tmp_path):
        m = qc_standin.synthetic("elsewhere", 2000, seed=3)
        report.write_run_report(m, tmp_path / "elsewhere.html")
        page = (tmp_path / "elsewhere.html").read_text()
        figures = figures_of(tmp_path / "elsewhere.html")
        assert "MS1 intensity map" not in figures and "Spectrum at the TIC maximum" not in figures
        assert "Not shown for elsewhere: no data folder to read" in page
        assert len(figures["TIC and base peak"]["data"]) == 2
        assert len(figures["Mass calibration drift"]["data"]) == 1

    def test_a_damaged_run_still_gets_its_report(self, tmp_path):
        qc = pytest.importorskip("morvane.qc")
        if not hasattr(qc, "metrics"):
            pytest.skip("morvane.qc has no metrics() here")
        m = qc.metrics(damaged_run(tmp_path / "damaged.d"), threads=1)
        assert m.scans.column("decoded").to_pylist().count(False) == 1
        report.write_run_report(m, tmp_path / "damaged.html")
        figures = figures_of(tmp_path / "damaged.html")
        assert figures["MS1 intensity map"]["data"][0]["type"] == "heatmap"
        assert len(figures["Spectrum at the TIC maximum"]["data"]) == 1

    def test_a_data_folder_that_does_not_open_counts_as_missing(self, tmp_path):
        (tmp_path / "empty.d").mkdir()
        m = qc_standin.synthetic("empty", 500, seed=1, path=str(tmp_path / "empty.d"))
        report.write_run_report(m, tmp_path / "empty.html")
        assert "Not shown for empty: no data folder to read" in (tmp_path / "empty.html").read_text()

    def test_runs_without_drift_say_so(self, tmp_path):
        table = qc_standin.scan_table({"rt": np.arange(50.0), "ms_level": np.ones(50), "tic": np.ones(50),
                                       "base_peak_intensity": np.ones(50), "base_peak_mz": np.ones(50)})
        m = qc_standin.RunMetrics("flat", "/nonexistent/flat.d", [], table)
        report.write_batch_report([m, m], tmp_path / "flat.html")
        assert "No per-scan mass calibration in these runs." in (tmp_path / "flat.html").read_text()

    @pytest.mark.parametrize("bad, error", [
        ([], ValueError),
        ([qc_standin.RunMetrics("x", "x.d", [], qc_standin.pa.table({"rt": [1.0]}))], ValueError),
    ])
    def test_a_failing_report_leaves_the_file_as_it_was(self, tmp_path, bad, error):
        target = tmp_path / "report.html"
        target.write_text("before")
        with pytest.raises(error):
            report.write_batch_report(bad, target)
        assert target.read_text() == "before"
        assert [p.name for p in tmp_path.iterdir()] == ["report.html"]


def _values(array: object) -> np.ndarray:
    """A figure's array as plotly wrote it: a list, or typed bytes."""
    if isinstance(array, dict):
        return np.frombuffer(base64.b64decode(array["bdata"]), dtype=np.dtype(array["dtype"]))
    return np.asarray(array, dtype=np.float64)


class TestWhatAQcPersonSees:
    @staticmethod
    def _run(name, rt, levels, tic, precursor=None):
        columns = {"rt": np.asarray(rt, float), "ms_level": np.asarray(levels), "tic": np.asarray(tic, float),
                   "base_peak_intensity": np.asarray(tic, float) / 10, "base_peak_mz": np.full(len(rt), 500.0)}
        if precursor is not None:
            columns["precursor_mz"] = np.asarray(precursor, float)
        return qc_standin.RunMetrics(name, f"/nonexistent/{name}.d", [], qc_standin.scan_table(columns))

    def test_huge_intensities_stay_finite_in_the_plots(self, tmp_path):
        huge = self._run("huge", np.arange(20.0), np.ones(20), np.linspace(1e299, 1e300, 20))
        normal = self._run("normal", np.arange(20.0), np.ones(20), np.linspace(1, 2, 20))
        report.write_batch_report([huge, normal], tmp_path / "r.html")
        figures = figures_of(tmp_path / "r.html")
        for heading in ("TIC", "Base peak", "TIC and base peak by run"):
            for trace in figures[heading]["data"]:
                assert np.isfinite(_values(trace["y"])).all(), heading
        tic = _values(figures["TIC"]["data"][0]["y"])
        assert tic.max() == pytest.approx(1e300)

    def test_a_run_without_ms1_shows_no_data_and_no_ms1_label_on_ms2(self, tmp_path):
        ms2_only = self._run("mrm", np.arange(10.0), np.full(10, 2), np.ones(10), np.full(10, 400.0))
        normal = self._run("normal", np.arange(10.0), [1, 2] * 5, np.ones(10), [np.nan, 300.0] * 5)
        report.write_batch_report([ms2_only, normal], tmp_path / "r.html")
        report.write_run_report(ms2_only, tmp_path / "mrm.html")
        page = (tmp_path / "r.html").read_text()
        figures = figures_of(tmp_path / "r.html")
        assert trace_names(figures["TIC"]) == ["normal"]            # no MS2 trace under "(MS1)"
        assert "No MS1 data in mrm." in page
        panels = figures["TIC and base peak by run"]["layout"]["annotations"]
        assert [a["text"] for a in panels].count("no data") == 2   # both columns of its row
        single = figures_of(tmp_path / "mrm.html")
        assert single["TIC and base peak"]["data"] == []
        assert [a["text"] for a in single["TIC and base peak"]["layout"]["annotations"]] == ["no data"]
        # Its MS2 scans are still drawn where MS2 is the subject.
        assert trace_names(figures["Precursor m/z"]) == ["mrm", "normal"]
        assert trace_names(figures["MS2 per cycle"]) == ["normal"]

    def test_counts_and_intensities_start_at_zero(self, tmp_path):
        m = self._run("r", np.arange(40.0), [1, 2, 2, 2] * 10, np.full(40, 5.0), [np.nan, 400, 500, 600] * 10)
        report.write_run_report(m, tmp_path / "r.html")
        figures = figures_of(tmp_path / "r.html")
        for heading in ("TIC and base peak", "Scan rate", "MS2 per cycle"):
            layout = figures[heading]["layout"]
            axes = [v for k, v in layout.items() if k.startswith("yaxis")]
            assert axes and all(a.get("rangemode") == "tozero" for a in axes), heading
        rate = _values(figures["Scan rate"]["data"][0]["y"])
        assert rate == pytest.approx(np.full(9, 15.0))   # an MS1 scan every 4 s

    def test_no_ms2_section_says_so(self, tmp_path):
        m = self._run("r", np.arange(10.0), np.ones(10), np.ones(10))
        report.write_run_report(m, tmp_path / "r.html")
        page = (tmp_path / "r.html").read_text()
        assert "No MS2 scans in this run." in page and "MS2 per cycle" not in figures_of(tmp_path / "r.html")

    @pytest.mark.parametrize("umask, mode", [(0o022, 0o644), (0o027, 0o640), (0o077, 0o600)])
    def test_reports_get_the_mode_of_the_umask(self, tmp_path, umask, mode):
        import os
        import stat
        m = self._run("r", np.arange(10.0), np.ones(10), np.ones(10))
        old = os.umask(umask)
        try:
            report.write_run_report(m, tmp_path / "r.html")
        finally:
            os.umask(old)
        assert stat.S_IMODE((tmp_path / "r.html").stat().st_mode) == mode
        assert [p.name for p in tmp_path.iterdir()] == ["r.html"]


def test_a_batch_of_20_runs_of_20000_scans_stays_under_5_mb(tmp_path, monkeypatch):
    """Size, not speed: every trace thinned, each map and spectrum at full
    size with values that do not compress."""
    random = np.random.default_rng(5)
    rt_bins, mz_bins = report.BATCH_MAP_GRID

    def full_map(run, rows, columns, threads=None):
        return data.IntensityMap(np.linspace(60, 3600, rows + 1), np.linspace(100, 1700, columns + 1),
                                 random.lognormal(8, 2, (rows, columns)))

    def full_spectrum(run):
        return data.PeakList(1800.0, np.sort(random.uniform(100, 1700, 60000)),
                             random.lognormal(5, 2, 60000).astype(np.float32), centroid=False)

    monkeypatch.setattr(report, "intensity_map", full_map)
    monkeypatch.setattr(report, "tic_maximum_spectrum", full_spectrum)
    batch = [qc_standin.synthetic(f"run{i:02d}", 20000, seed=i) for i in range(20)]
    report.write_batch_report(batch, tmp_path / "report.html")
    size = (tmp_path / "report.html").stat().st_size
    assert size <= 5 * MB, f"{size / MB:.2f} MB"
    print(f"batch report: {size / MB:.2f} MB")
    figures = figures_of(tmp_path / "report.html")
    assert figures["MS1 intensity map"]["data"][0]["z"]["shape"] in (f"{rt_bins}, {mz_bins}", [rt_bins, mz_bins])


def test_without_plotly_the_import_says_how_to_get_it():
    code = "import sys; sys.modules['plotly'] = None\nimport morvane.qc.report"
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert result.returncode != 0
    assert "ImportError" in result.stderr and "pip install 'karvel[report]'" in result.stderr
