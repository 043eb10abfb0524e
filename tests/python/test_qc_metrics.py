"""morvane.qc.metrics on generated runs: every metric against a value worked
out by hand from what the run holds, the per-scan table against the run
writer's own predictions, and the calibration drift against an independent
inversion of the calibration."""

from __future__ import annotations

import math
import random
from dataclasses import replace

import numpy as np
import pytest

pa = pytest.importorskip("pyarrow")

import morvane  # noqa: E402
import morvane.qc as qc  # noqa: E402
from datafolder.run import Centroid, RunBuilder  # noqa: E402
from datafolder.synth import STANDARD_CALIBRATION  # noqa: E402

from qc_runs import (DRIFT_SCALES, drifting_run, failing_run, quadrupole_run, tic_run,  # noqa: E402
                     two_polarity_run)

REFERENCES = (200.0, 500.0, 1000.0, 1500.0)


def value(m: qc.RunMetrics, accession: str, polarity: str | None = None) -> object:
    return m.metric(accession, polarity).value


def approx(values: object) -> object:
    return pytest.approx(values, rel=1e-12, abs=1e-12)


# -- whole-run metrics, worked out by hand -------------------------------------

def test_metrics_of_four_ms1_scans_and_one_ms2(build_run):
    # MS1 at 60, 66, 72, 78 s with TIC 1, 2, 3, 4; MS2 at 84 s.
    built = build_run(tic_run([1, 2, 3, 4]))
    m = qc.metrics(built.path)
    duration = 84.0 - 60.0
    expected = {
        "MS:4000059": 4,
        "MS:4000060": 1,
        "MS:4000067": approx(duration),
        "MS:4000070": approx([60.0, 84.0]),
        # The MS2 scan's precursor (its target m/z).
        "MS:4000069": approx([412.25, 412.25]),
        # Trapezoids: 6 (1+2)/2 + 6 (2+3)/2 + 6 (3+4)/2.
        "MS:4000029": approx(45.0),
        # Cumulative TIC 1, 3, 6, 10: 2.5 by 66 s, 5 by 72 s, 7.5 and 10 by 78 s.
        "MS:4000183": approx([6 / duration, 6 / duration, 6 / duration, 0.0]),
        # One MS1 scan per quarter: 60, 66, 72, 78 s.
        "MS:4000184": approx([0.0, 6 / duration, 6 / duration, 6 / duration]),
        # Changes 1, 1, 1: every quartile equal.
        "MS:4000186": approx([0.0, 0.0, 0.0]),
        # TIC quartiles 1.75, 2.5, 3.25, max 4.
        "MS:4000187": approx([math.log(2.5 / 1.75), math.log(3.25 / 2.5), math.log(4 / 3.25)]),
        "MS:4000097": 0,
        "MS:4000098": 0,
        # MS1 every 6 s: 1/6 Hz at best and worst; the quarters of the 24 s
        # run (6 s each) hold one MS1 scan each, the last also the MS2 scan.
        "MS:4000192": approx(6.0),
        "MS:4000065": approx(1 / 6),
        "MS:4000095": approx(1 / 6),
        "MS:4000106": approx([1 / 6] * 4),
        "MS:4000107": approx([0.0, 0.0, 0.0, 1 / 6]),
        "MS:4000185": approx([1.0, 0.0, 0.0, 0.0]),
        "MS:4000099": 0,
        "MS:4000100": 0,
    }
    for accession, want in expected.items():
        assert value(m, accession) == want, accession
    # One MS2 scan: no interval between MS2 scans to give a frequency.
    assert {"MS:4000066", "MS:4000096", "MS:4000053", "MS:4000155"}.isdisjoint(x.accession for x in m.metrics)
    assert m.run_name == "run"
    assert all(x.polarity is None for x in m.metrics)


@pytest.mark.parametrize("tics, jumps, falls", [
    ([1, 11, 1], 1, 1),
    ([5, 50, 500, 50, 5], 0, 0),           # exactly tenfold is not more than tenfold
    ([1, 0, 5], 1, 1),                     # to zero falls, from zero jumps
    ([1, 11, 1, 0, 5, 50, 500, 49], 2, 3),
])
def test_signal_jumps_and_falls(build_run, tics, jumps, falls):
    m = qc.metrics(build_run(tic_run(tics, ms2_after=False)).path)
    assert (value(m, "MS:4000097"), value(m, "MS:4000098")) == (jumps, falls)


def test_units_and_value_shapes_follow_the_vocabulary(build_run):
    m = qc.metrics(build_run(tic_run([1, 2, 3, 4])).path)
    units = {x.accession: x.unit for x in m.metrics}
    assert units["MS:4000059"] == [("UO:0000189", "count unit")]
    assert units["MS:4000067"] == [("UO:0000010", "second")]
    assert units["MS:4000069"] == [("MS:1000040", "m/z")]
    assert units["MS:4000029"] is None
    assert units["MS:4000065"] == [("UO:0000106", "hertz")]
    for accession in ("MS:4000183", "MS:4000184", "MS:4000186", "MS:4000187"):
        assert units[accession] == [("UO:0000191", "fraction")]
        assert len(value(m, accession)) == (4 if accession in ("MS:4000183", "MS:4000184") else 3)
    for accession in ("MS:4000059", "MS:4000060", "MS:4000097", "MS:4000098"):
        assert type(value(m, accession)) is int


def test_scan_window_range_covers_every_scan(build_run):
    built = build_run(tic_run([1, 2]))
    m = qc.metrics(built.path)
    low = min(s.low_mz if s.low_mz is not None else min(s.mz) for s in built.spectra)
    high = max(s.high_mz if s.high_mz is not None else max(s.mz) for s in built.spectra)
    assert value(m, "KARVEL:0000003") == approx([low, high])


def test_both_polarities_get_their_own_metrics(build_run):
    m = qc.metrics(build_run(two_polarity_run()).path)
    assert value(m, "MS:4000059") == 4
    assert value(m, "MS:4000059", "positive") == 2
    assert value(m, "MS:4000059", "negative") == 2
    assert value(m, "MS:4000060", "positive") == 0
    assert value(m, "MS:4000060", "negative") == 1
    assert value(m, "MS:4000067", "positive") == approx(6.0)
    assert value(m, "MS:4000067", "negative") == approx(9.0)
    # Negative: 5 -> 500 is a jump; positive 10 -> 30 is none; the whole run,
    # in acquisition order 10, 5, 30, 500: 30 -> 500 only.
    assert value(m, "MS:4000097", "negative") == 1
    assert value(m, "MS:4000097", "positive") == 0
    assert value(m, "MS:4000097") == 1
    assert value(m, "MS:4000098") == 0
    assert value(m, "MS:4000029", "positive") == approx(6 * 40 / 2)
    # The positive scans have no MS2: no precursor range, no MS2 figures.
    positive = {x.accession for x in m.metrics if x.polarity == "positive"}
    assert {"MS:4000069", "MS:4000185", "MS:4000100", "MS:4000107"}.isdisjoint(positive)
    assert value(m, "MS:4000069", "negative") == approx([300.5, 300.5])
    assert {x.polarity for x in m.metrics} == {None, "positive", "negative"}


def test_one_polarity_has_no_split(build_run):
    m = qc.metrics(build_run(tic_run([1, 2])).path)
    with pytest.raises(KeyError):
        m.metric("MS:4000059", "positive")


def test_failed_spectra_keep_their_rows_and_give_no_tic(build_run):
    built = build_run(failing_run())
    m = qc.metrics(built.path)
    assert value(m, "MS:4000059") == 3
    assert m.scans.column("decoded").to_pylist() == [True, False, True]
    assert m.scans.column("summed_peak_intensities").to_pylist() == [1.0, None, 100.0]
    assert m.scans.column("rt").to_pylist() == approx([60.0, 66.0, 72.0])
    # The decoded neighbours 1 -> 100 are adjacent MS1 scans.
    assert value(m, "MS:4000097") == 1
    assert value(m, "MS:4000029") == approx(12 * 101 / 2)
    assert m.info["failed_spectra"] == 1


def test_run_without_ms1_scans_leaves_the_ms1_metrics_out(build_run, run_builder):
    run_builder.add_scan(1.0, ms_level=2, target_mz=400.0, centroid=None)
    run_builder.add_scan(1.5, ms_level=2, target_mz=500.0, centroid=None)
    m = qc.metrics(build_run(run_builder).path)
    present = {x.accession for x in m.metrics}
    assert value(m, "MS:4000059") == 0
    assert value(m, "MS:4000060") == 2
    assert value(m, "MS:4000067") == approx(30.0)
    assert value(m, "MS:4000069") == approx([400.0, 500.0])
    assert value(m, "MS:4000100") == 2  # no points at all
    # Nothing that needs MS1 scans: no 0 that would read as "no jumps".
    assert present.isdisjoint({"MS:4000029", "MS:4000183", "MS:4000184", "MS:4000186", "MS:4000187",
                               "MS:4000097", "MS:4000098", "MS:4000192", "MS:4000065", "MS:4000095",
                               "MS:4000106", "MS:4000099"})


# -- calibration drift ---------------------------------------------------------

def inverse(calibration, mz: float) -> float:
    """The flight time of mz by bisection on the writer's own calibration."""
    low, high = calibration.t0 + 1.0, calibration.t0 + 4 * math.sqrt(mz) / calibration.a
    for _ in range(200):
        middle = (low + high) / 2
        if calibration.mz(middle) < mz:
            low = middle
        else:
            high = middle
    return (low + high) / 2


def expected_drift(chosen, reference) -> float:
    errors = [(chosen.mz(inverse(reference, r)) - r) / r * 1e6 for r in REFERENCES]
    return max(errors, key=abs)


def test_calibration_drift_per_scan_and_summary(build_run):
    built = build_run(drifting_run())
    m = qc.metrics(built.path)
    drifts = m.scans.column("calibration_drift_ppm").to_pylist()
    sources = m.scans.column("calibration_source").to_pylist()
    assert sources == ["scan", "scan", "scan", "default"]
    expected = [expected_drift(replace(STANDARD_CALIBRATION, a=STANDARD_CALIBRATION.a * s), STANDARD_CALIBRATION)
                for s in DRIFT_SCALES] + [0.0]
    assert drifts == pytest.approx(expected, abs=1e-6)
    # A scaled by 1 - 2e-6 moves m/z by about -4 ppm.
    assert drifts[2] == pytest.approx(-4.0, abs=0.01)
    # The summary: scans calibrated by their own record only (the last fell
    # back to the default, which cannot drift from itself).
    own = sorted(expected[:3])
    assert value(m, "KARVEL:0000001") == pytest.approx(own[1], abs=1e-6)
    assert value(m, "KARVEL:0000002") == pytest.approx(max(abs(d) for d in own), abs=1e-6)
    assert m.metric("KARVEL:0000002").unit == [("UO:0000169", "parts per million")]


def test_quadrupole_runs_have_no_calibration(build_run):
    m = qc.metrics(build_run(quadrupole_run()).path)
    assert m.scans.column("calibration_source").to_pylist() == [None, None]
    assert m.scans.column("calibration_drift_ppm").null_count == 2
    assert "KARVEL:0000001" not in {x.accession for x in m.metrics}
    assert value(m, "MS:4000059") == 2


# -- the per-scan table --------------------------------------------------------

def test_scan_table_matches_the_written_run(build_run):
    from runs import small_run_builder
    built = build_run(small_run_builder())
    table = qc.metrics(built.path).scans
    assert table.num_rows == len(built.spectra)
    rows = table.to_pylist()
    sources = {"mass_cal_record": "scan", "default_mass_cal": "default", None: None}
    for row, s in zip(rows, built.spectra, strict=True):
        assert row["index"] == s.index
        assert row["scan"] == s.scan_number
        assert row["native_id"] == s.native_id
        assert row["ms_level"] == s.ms_level
        assert row["rt"] == pytest.approx(s.retention_time_sec, rel=1e-15)
        assert row["polarity"] == {"positive": 1, "negative": -1, None: 0}[s.polarity]
        assert row["summed_peak_intensities"] == s.total_ion_current
        base_peak = s.base_peak
        assert (row["base_peak_mz"], row["base_peak_intensity"]) == (base_peak if base_peak else (None, None))
        assert row["num_peaks"] == len(s.mz)
        assert row["lowest_mz"] == (min(s.mz) if s.mz else None)
        assert row["highest_mz"] == (max(s.mz) if s.mz else None)
        precursor = s.precursor.get("target_mz") if s.precursor else None
        assert row["precursor_mz"] == (precursor if s.ms_level > 1 else None)
        assert row["calibration_source"] == sources[getattr(s, "calibration_source", None)]


def test_scan_table_column_names(build_run):
    table = qc.metrics(build_run(tic_run([1])).path).scans
    assert table.column_names[:7] == ["index", "scan", "native_id", "ms_level", "rt", "polarity",
                                      "summed_peak_intensities"]
    quantms = {"scan", "ms_level", "num_peaks", "base_peak_intensity", "summed_peak_intensities", "rt",
               "precursor_mz"}
    assert quantms <= set(table.column_names)


# -- arguments -----------------------------------------------------------------

def test_open_run_path_and_threads_give_the_same_metrics(build_run):
    built = build_run(tic_run([3, 1, 4, 1, 5, 9, 2, 6]))
    from_path = qc.metrics(built.path, threads=1)
    with morvane.open(built.path) as run:
        from_run = qc.metrics(run, threads=3)
    assert from_path.metrics == from_run.metrics
    assert from_path.scans.equals(from_run.scans)


@pytest.mark.parametrize("threads", [0, -1, 1.5])
def test_bad_thread_counts(build_run, threads):
    with pytest.raises(ValueError, match="threads"):
        qc.metrics(build_run(tic_run([1])).path, threads=threads)


def test_missing_run(tmp_path):
    with pytest.raises(FileNotFoundError):
        qc.metrics(tmp_path / "missing.d")


def test_closed_run(build_run):
    run = morvane.open(build_run(tic_run([1])).path)
    run.close()
    with pytest.raises(ValueError, match="closed"):
        qc.metrics(run)


# -- damaged runs ---------------------------------------------------------------

def _omit(*names):
    return lambda b: b.omit(*names)


def _truncate(name, size):
    return lambda b: b.truncate(name, size)


@pytest.mark.parametrize("damage, decoded, sources, drift, reported", [
    # Without DefaultMassCal.xml the scans' own records have no known
    # polynomial powers: no calibration at all, so the flight-time scans fail
    # and only the m/z-stored one decodes.
    (_omit("DefaultMassCal.xml"), [False, False, False, True], [None] * 4, False, False),
    (lambda b: b.damage_default_mass_cal("truncated"), [False, False, False, True], [None] * 4, False, False),
    # No MSMassCal.bin: every scan takes its default, which drifts nowhere
    # per scan; with no scan calibrated by its own record, the run reports
    # no drift.
    (_omit("MSMassCal.bin"), [True] * 4, ["default"] * 4, True, False),
    # No peak file: every spectrum fails, every row stays, calibrations too.
    (_omit("MSPeak.bin"), [False] * 4, ["scan", "scan", "scan", "default"], True, True),
    (_truncate("MSPeak.bin", 10), [False] * 4, ["scan", "scan", "scan", "default"], True, True),
])
def test_damaged_runs_degrade_row_by_row(build_run, damage, decoded, sources, drift, reported):
    builder = drifting_run()
    damage(builder)
    m = qc.metrics(build_run(builder).path)
    assert m.scans.column("decoded").to_pylist() == decoded
    assert m.scans.column("calibration_source").to_pylist() == sources
    assert value(m, "MS:4000059") == 4
    assert m.info["failed_spectra"] == decoded.count(False)
    drifts = m.scans.column("calibration_drift_ppm")
    assert drifts.null_count == (0 if drift else 4)
    present = {x.accession for x in m.metrics}
    assert ("KARVEL:0000001" in present) == reported
    if not any(decoded):
        assert m.scans.column("summed_peak_intensities").null_count == 4
        assert "MS:4000029" not in present


@pytest.mark.parametrize("damage", [_omit("MSScan.bin"), _truncate("MSScan.bin", 50)])
def test_runs_without_a_scan_table_fail(build_run, damage):
    builder = drifting_run()
    damage(builder)
    with pytest.raises((morvane.FormatError, OSError)):
        qc.metrics(build_run(builder).path)


# -- random runs: every figure against its definition ----------------------------

def _random_run(seed: int) -> RunBuilder:
    """MS levels 0 to 3 in random order, repeated times, empty and all-zero
    scans, MS2 with and without a target m/z."""
    rng = random.Random(seed)
    builder = RunBuilder()
    minute = rng.uniform(0, 5)
    for position in range(rng.randint(1, 30)):
        minute += rng.choice((0.0, 0.01, 0.02, 0.05))
        # The second record's level tells the layout apart: 1 or 2 there.
        level = rng.choice((1, 2)) if position == 1 else rng.choice((0, 1, 1, 1, 2, 2, 3))
        kind = rng.choice(("points", "points", "none", "zeros"))
        centroid = None if kind == "none" else Centroid(
            [200.0 + 10 * i for i in range(3)], [0.0] * 3 if kind == "zeros" else [rng.uniform(1, 1e6)] * 3,
            format_id=3)
        target = rng.choice((0.0, round(rng.uniform(100, 1200), 3))) if level >= 2 else 0.0
        builder.add_scan(minute, ms_level=level, centroid=centroid, target_mz=target)
    return builder


def _quarters(times: np.ndarray, start: float, duration: float) -> list[float]:
    part = duration / 4
    where = np.clip(np.floor((times - start) / part), 0, 3).astype(int)
    return [float((where == k).sum()) / part for k in range(4)]


@pytest.mark.parametrize("seed", range(25))
def test_figures_of_random_runs_meet_their_definitions(build_run, seed):
    builder = _random_run(seed)
    for attempt in range(10):
        try:
            built = build_run(builder, f"run{attempt}.d")
            break
        except ValueError:  # the layout would be read otherwise: one scan more
            builder.add_scan(10.0, centroid=None)
    m = qc.metrics(built.path)
    got = {x.accession: x.value for x in m.metrics if x.polarity is None}
    with morvane.open(built.path) as run:
        spectra = list(run.spectra())
    rt = np.array([s.rt for s in spectra])
    level = np.array([s.ms_level for s in spectra])
    empty = np.array([not np.any(np.asarray(s.intensity)) for s in spectra])
    precursors = [s.precursor_mz for s in spectra if s.ms_level >= 2 and s.precursor_mz is not None
                  and not math.isnan(s.precursor_mz)]
    ms1, ms2 = rt[level == 1], rt[level == 2]
    start, duration = rt.min(), rt.max() - rt.min()
    assert got["MS:4000059"] == ms1.size and got["MS:4000060"] == ms2.size
    assert got["MS:4000067"] == approx(duration)
    assert got.get("MS:4000069") == (approx([min(precursors), max(precursors)]) if precursors else None)
    for accession, times, empties in (("1", ms1, empty[level == 1]), ("2", ms2, empty[level == 2])):
        count, fastest, slowest, quarters = {"1": ("MS:4000099", "MS:4000065", "MS:4000095", "MS:4000106"),
                                             "2": ("MS:4000100", "MS:4000066", "MS:4000096", "MS:4000107")}[accession]
        assert got.get(count) == (int(empties.sum()) if times.size else None), count
        gaps = np.diff(np.sort(times))
        positive = gaps[gaps > 0]
        assert got.get(fastest) == (approx(1 / positive.min()) if positive.size else None), fastest
        assert got.get(slowest) == (approx(1 / gaps.max()) if positive.size else None), slowest
        assert got.get(quarters) == (approx(_quarters(times, start, duration)) if times.size and duration > 0
                                     else None), quarters
    gaps = np.diff(np.sort(ms1))
    assert got.get("MS:4000192") == (approx(float(np.median(gaps))) if gaps.size else None)
    # Jumps and falls exist exactly when two MS1 TICs do.
    assert ("MS:4000097" in got) == ("MS:4000098" in got) == (ms1.size >= 2)
    for accession in ("MS:4000183", "MS:4000184", "MS:4000185"):
        if accession in got:
            assert sum(got[accession]) <= 1 + 1e-12 and min(got[accession]) >= -1e-12
