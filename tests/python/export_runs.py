"""Runs for the conversion tests: a varied run of several kinds of scans, a
damaged one, and bit-exact comparisons of what was written with morvane's
own arrays."""

from __future__ import annotations

from pathlib import Path

import numpy as np

from datafolder.run import Fault, RunBuilder, cut_tail

from runs import mz_centroid, profile, small_run_builder, tof_centroid

POLARITY = {"positive": 1, "negative": -1, None: 0}
DTYPES = {"spectrum_index": np.uint32, "scan_id": np.uint32, "ms_level": np.uint8, "rt": np.float64,
          "mz": np.float64, "intensity": np.float32, "precursor_mz": np.float64, "polarity": np.int8}


def varied_run(path: Path, cycles: int = 6) -> Path:
    """MS1 profile scans (LZF and run-length, both polarities) each followed
    by MS2 centroid scans with precursors (flight times and m/z stored)."""
    builder = RunBuilder(stride=284)
    for cycle in range(cycles):
        minute = 0.5 + cycle * 0.05
        encoding = "lzf" if cycle % 2 == 0 else "run_length"
        builder.add_scan(minute, profile=profile(4.0e4 + 1000 * cycle, 300 + 10 * cycle, encoding),
                         centroid=tof_centroid(4 + cycle), ion_polarity=cycle % 2)
        builder.add_scan(minute + 0.01, ms_level=2, target_mz=400.0 + cycle, collision_energy=15.0 + cycle,
                         centroid=tof_centroid(3 + cycle % 3, 120.0 + cycle))
        builder.add_scan(minute + 0.02, ms_level=2, target_mz=650.5 - cycle, collision_energy=30.0,
                         centroid=mz_centroid(2 + cycle % 4, 180.0 + cycle))
    return builder.build(path).path


def quadrupole_run(path: Path) -> Path:
    return small_run_builder(196).build(path).path


def damaged_run(path: Path) -> Path:
    """A run whose scan table opens but whose third scan's block is cut short."""
    builder = RunBuilder(stride=284)
    builder.add_scan(1.0, profile=profile())
    builder.add_scan(1.01, ms_level=2, target_mz=412.25, collision_energy=20.0, centroid=tof_centroid(3))
    builder.add_scan(1.02, profile=profile(), profile_fault=Fault(transform=cut_tail(7)))
    builder.add_scan(1.03, profile=profile())
    return builder.build(path).path


def expected_columns(run, **filters) -> dict[str, np.ndarray]:
    """The peak rows the filters select, column by column, from the run's spectra."""
    parts: dict[str, list[np.ndarray]] = {name: [] for name in DTYPES}
    for spectrum in run.spectra(**filters):
        n = len(spectrum)
        precursor = np.nan if spectrum.precursor_mz is None else spectrum.precursor_mz
        parts["spectrum_index"].append(np.full(n, spectrum.index, np.uint32))
        parts["scan_id"].append(np.full(n, spectrum.scan_id, np.uint32))
        parts["ms_level"].append(np.full(n, spectrum.ms_level, np.uint8))
        parts["rt"].append(np.full(n, spectrum.rt, np.float64))
        parts["mz"].append(np.asarray(spectrum.mz, np.float64))
        parts["intensity"].append(np.asarray(spectrum.intensity, np.float32))
        parts["precursor_mz"].append(np.full(n, precursor, np.float64))
        parts["polarity"].append(np.full(n, POLARITY[spectrum.polarity], np.int8))
    return {name: np.concatenate(values) if values else np.array([], DTYPES[name]) for name, values in parts.items()}


def bits(values: np.ndarray) -> np.ndarray:
    """The values' bit patterns: equality of these is bit-for-bit equality."""
    values = np.ascontiguousarray(values)
    return values.view(f"u{values.dtype.itemsize}") if values.dtype.kind == "f" else values


def assert_same_columns(actual: dict[str, np.ndarray], expected: dict[str, np.ndarray]) -> None:
    assert list(actual) == list(expected)
    for name, values in expected.items():
        got = np.asarray(actual[name])
        assert got.dtype == values.dtype, name
        assert np.array_equal(bits(got), bits(values)), name


def leftovers(folder: Path) -> list[str]:
    """Temporary files left behind in folder."""
    return sorted(p.name for p in folder.iterdir() if p.name.startswith(".") or p.name.endswith(".part"))


def recorded_bars(monkeypatch, tqdm_auto) -> list:
    """tqdm.auto's bar replaced by one that records its total and count;
    the bars made from now on, in order."""
    bars = []

    class Recorder:
        def __init__(self, **options):
            self.total, self.n = options["total"], 0
            bars.append(self)

        def __enter__(self):
            return self

        def __exit__(self, *exc):
            return None

        def update(self, count=1):
            self.n += count

    monkeypatch.setattr(tqdm_auto, "tqdm", Recorder)
    return bars
