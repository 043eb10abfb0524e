"""A stand-in for morvane.qc's RunMetrics, built from what morvane already
reads (the scan table), for testing the reports on their own. It has the
interface's fields and nothing of its computations: its metrics are plain
counts and ranges of the scan table."""

from __future__ import annotations

import dataclasses
from collections.abc import Mapping
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

import numpy as np
import pyarrow as pa

import morvane

SECOND = [("UO:0000010", "second")]


@dataclass(frozen=True)
class Metric:
    accession: str
    name: str
    value: object
    unit: list[tuple[str, str]] | None = None
    polarity: str | None = None


@dataclass(frozen=True)
class RunMetrics:
    run_name: str
    path: str
    metrics: list[Metric]
    scans: Any = field(repr=False)

    def to_mzqc(self) -> dict[str, object]:
        raise NotImplementedError("the stand-in writes no mzQC")


POLARITY_TEXT = {1: "positive", -1: "negative", 0: None}


def scan_table(columns: Mapping[str, np.ndarray]) -> pa.Table:
    """The per-scan table from numpy columns: rt (s), ms_level, tic,
    base_peak_intensity, base_peak_mz, polarity (+1/-1/0) and, when given,
    calibration_drift_ppm and precursor_mz."""
    rows = len(columns["rt"])
    polarity = columns.get("polarity", np.zeros(rows, dtype=np.int8))
    extra = {} if "precursor_mz" not in columns else {
        "precursor_mz": pa.array(np.asarray(columns["precursor_mz"], dtype=np.float64))}
    return pa.table({**extra,
        "index": pa.array(np.arange(rows, dtype=np.uint32)),
        "rt": pa.array(np.asarray(columns["rt"], dtype=np.float64)),
        "ms_level": pa.array(np.asarray(columns["ms_level"], dtype=np.uint8)),
        "polarity": pa.array([POLARITY_TEXT[int(p)] for p in polarity], type=pa.string()),
        "summed_peak_intensities": pa.array(np.asarray(columns["tic"], dtype=np.float64)),
        "base_peak_intensity": pa.array(np.asarray(columns["base_peak_intensity"], dtype=np.float64)),
        "base_peak_mz": pa.array(np.asarray(columns["base_peak_mz"], dtype=np.float64)),
        "calibration_drift_ppm": pa.array(np.asarray(columns.get("calibration_drift_ppm", np.full(rows, np.nan)),
                                                     dtype=np.float64)),
    })


def metrics_of_table(table: pa.Table) -> list[Metric]:
    rt = table.column("rt").to_numpy()
    levels = table.column("ms_level").to_numpy()
    ms1 = levels == 1
    tic = table.column("summed_peak_intensities").to_numpy()
    duration = float(rt.max() - rt.min())
    # The retention times by which each quarter of the MS1 TIC accumulated.
    reached = np.searchsorted(np.cumsum(tic[ms1]), tic[ms1].sum() * np.array([0.25, 0.5, 0.75, 1.0]))
    quarters = np.diff(np.concatenate(([rt.min()], rt[ms1][np.minimum(reached, ms1.sum() - 1)])))
    return [
        Metric("MS:4000029", "area under TIC in MS1", float(np.trapezoid(tic[ms1], rt[ms1]))),
        Metric("MS:4000183", "TIC quantile RT fraction", (quarters / duration).tolist(), [("UO:0000191", "fraction")]),
        Metric("MS:4000059", "number of MS1 spectra", int((levels == 1).sum())),
        Metric("MS:4000060", "number of MS2 spectra", int((levels == 2).sum())),
        Metric("MS:4000070", "retention time acquisition range", [float(rt.min()), float(rt.max())], SECOND),
        Metric("MS:4000067", "MS run duration", float(rt.max() - rt.min()), SECOND),
    ]


def standin(run_path: str | Path, drift_ppm: np.ndarray | None = None) -> RunMetrics:
    """RunMetrics of the data folder at run_path from morvane's scan table."""
    with morvane.open(run_path) as run:
        scans = run.scans
        columns = {name: scans[name] for name in ("rt", "ms_level", "tic", "base_peak_intensity", "base_peak_mz",
                                                  "polarity")}
    if drift_ppm is not None:
        columns["calibration_drift_ppm"] = drift_ppm
    table = scan_table(columns)
    name = Path(run_path).name.removesuffix(".d")
    return RunMetrics(name, str(run_path), metrics_of_table(table), table)


def synthetic(name: str, scans: int, seed: int, path: str = "") -> RunMetrics:
    """RunMetrics of a made-up run of `scans` scans (one MS1 then three MS2,
    a gradient-shaped TIC with noise, a drifting calibration), without a data
    folder unless path names one."""
    random = np.random.default_rng(seed)
    rt = np.linspace(60.0, 3600.0, scans)
    levels = np.where(np.arange(scans) % 4 == 0, 1, 2)
    shape = np.exp(-((rt - 1500 - 50 * seed) / 700.0) ** 2)
    tic = 1e8 * shape * random.lognormal(0, 0.3, scans) + 1e5
    bpi = tic * random.uniform(0.02, 0.1, scans)
    drift = 2.0 * np.sin(rt / 600.0 + seed) + random.normal(0, 0.3, scans)
    precursor = np.where(levels == 2, random.uniform(350, 1400, scans), np.nan)
    table = scan_table({"rt": rt, "ms_level": levels, "tic": tic, "base_peak_intensity": bpi,
                        "base_peak_mz": random.uniform(300, 1200, scans), "calibration_drift_ppm": drift,
                        "precursor_mz": precursor})
    return RunMetrics(name, path or f"/nonexistent/{name}.d", metrics_of_table(table), table)


def lc_run(path: Path, cycles: int, seed: int, height: float = 4.0e4) -> Path:
    """A small LC-MS run: `cycles` MS1 profile scans, each followed by two
    MS2 centroid scans, their intensity rising and falling like a
    chromatographic peak (apex position and height varying with seed)."""
    from datafolder.run import RunBuilder

    from runs import profile, tof_centroid

    builder = RunBuilder(stride=284)
    apex = cycles * (0.3 + 0.07 * (seed % 6))
    for cycle in range(cycles):
        minute = 0.5 + cycle * 0.05
        scale = 0.05 + np.exp(-((cycle - apex) / (cycles / 5)) ** 2)
        builder.add_scan(minute, profile=profile(height * scale, 300, "lzf" if cycle % 2 else "run_length"))
        builder.add_scan(minute + 0.01, ms_level=2, target_mz=400.0 + cycle, collision_energy=20.0,
                         centroid=tof_centroid(3 + cycle % 4, 120.0 + seed))
        builder.add_scan(minute + 0.02, ms_level=2, target_mz=650.0 - cycle, collision_energy=30.0,
                         centroid=tof_centroid(2 + cycle % 3, 180.0 + seed))
    return builder.build(path).path


def lc_batch(folder: Path, runs: int = 4, cycles: int = 30) -> list[RunMetrics]:
    """The metrics of `runs` lc_run()s under folder, each with a
    made-up calibration drift; the last run's signal is a tenth of the
    others' (a batch outlier)."""
    batch = []
    for seed in range(runs):
        path = lc_run(folder / f"QC{seed + 1:02d}.d", cycles, seed, 4.0e4 if seed < runs - 1 else 4.0e3)
        rows = cycles * 3
        drift = 1.5 * np.sin(np.linspace(0, 3, rows) + seed) + 0.2 * seed
        batch.append(metrics_of(path, drift_ppm=drift))
    return batch


def metrics_of(path: Path, drift_ppm: np.ndarray | None = None) -> Any:
    """morvane.qc's RunMetrics of the run (the stand-in's where morvane.qc
    has no metrics()), its drift column replaced by drift_ppm when given."""
    try:
        from morvane.qc import metrics
    except ImportError:
        return standin(path, drift_ppm)
    m = metrics(path, threads=2)
    if drift_ppm is not None:
        column = m.scans.column_names.index("calibration_drift_ppm")
        m = dataclasses.replace(m, scans=m.scans.set_column(column, "calibration_drift_ppm",
                                                              pa.array(drift_ppm, type=pa.float64())))
    return m
