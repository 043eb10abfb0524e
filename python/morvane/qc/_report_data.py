"""What the QC reports show, as numpy arrays: taken from the run metrics
(their per-scan table and metric values) and, for the intensity map and the
spectrum at the TIC maximum, from the run's data folder. No plotting here."""

from __future__ import annotations

import math
import os
from collections.abc import Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

import numpy as np
import numpy.typing as npt


if TYPE_CHECKING:
    from ._run_metrics import RunMetrics


def _column(table: Any, name: str) -> npt.NDArray[np.float64] | None:
    if name not in table.column_names:
        return None
    values = table.column(name).to_numpy(zero_copy_only=False)
    return np.asarray(values, dtype=np.float64)


def _polarity(table: Any) -> npt.NDArray[np.int8] | None:
    """The polarity column as +1/-1/0, whether stored as numbers or as
    "positive"/"negative" texts."""
    if "polarity" not in table.column_names:
        return None
    values = table.column("polarity").to_pylist()
    text = {"positive": 1, "negative": -1, "+": 1, "-": -1}
    return np.array([text.get(v, 0) if isinstance(v, str) else (0 if v is None else int(np.sign(v)))
                     for v in values], dtype=np.int8)


@dataclass(frozen=True)
class RunTraces:
    """One run's per-scan columns, in scan order (rt in seconds)."""

    name: str
    path: str
    rt: npt.NDArray[np.float64]
    ms_level: npt.NDArray[np.int64]
    tic: npt.NDArray[np.float64]
    base_peak: npt.NDArray[np.float64]
    drift_ppm: npt.NDArray[np.float64] | None
    positions: npt.NDArray[np.int64]  # each row's spectrum position in the run
    polarity: npt.NDArray[np.int8] | None = None       # +1, -1, 0 unknown
    decoded: npt.NDArray[np.bool_] | None = None       # False: the metrics pass could not decode it
    lowest_mz: npt.NDArray[np.float64] | None = None   # of each scan's points
    highest_mz: npt.NDArray[np.float64] | None = None
    precursor_mz: npt.NDArray[np.float64] | None = None  # NaN for MS1

    @classmethod
    def of(cls, m: RunMetrics) -> RunTraces:
        table = m.scans
        rows = table.num_rows
        rt = _column(table, "rt")
        levels = _column(table, "ms_level")
        if rt is None or levels is None:
            raise ValueError(f"the scan table of {m.run_name!r} has no rt or ms_level column")
        tic = _column(table, "summed_peak_intensities")
        base_peak = _column(table, "base_peak_intensity")
        index = _column(table, "index")
        nan = np.full(rows, np.nan)
        return cls(
            name=m.run_name,
            path=m.path,
            rt=rt,
            ms_level=np.nan_to_num(levels, nan=0).astype(np.int64),
            tic=nan if tic is None else tic,
            base_peak=nan if base_peak is None else base_peak,
            drift_ppm=_column(table, "calibration_drift_ppm"),
            positions=np.arange(rows, dtype=np.int64) if index is None else index.astype(np.int64),
            polarity=_polarity(table),
            decoded=None if "decoded" not in table.column_names else np.array(
                [bool(v) for v in table.column("decoded").to_pylist()], dtype=np.bool_),
            lowest_mz=_column(table, "lowest_mz"),
            highest_mz=_column(table, "highest_mz"),
            precursor_mz=_column(table, "precursor_mz"),
        )

    def ms1_mz_range(self) -> tuple[float, float] | None:
        """The lowest and highest m/z of the MS1 scans' points, when the
        table has them and they span a range."""
        if self.lowest_mz is None or self.highest_mz is None:
            return None
        low, high = self.lowest_mz[self.ms1], self.highest_mz[self.ms1]
        low, high = low[np.isfinite(low)], high[np.isfinite(high)]
        if low.size == 0 or high.size == 0 or not low.min() < high.max():
            return None
        return float(low.min()), float(high.max())

    @property
    def ms1(self) -> npt.NDArray[np.bool_]:
        return np.asarray(self.ms_level == 1, dtype=np.bool_)

    @property
    def msn(self) -> npt.NDArray[np.bool_]:
        """The MS2 (and higher) scans."""
        return np.asarray(self.ms_level >= 2, dtype=np.bool_)

    @property
    def has_ms1_signal(self) -> bool:
        """Whether the run has an MS1 scan with a finite TIC to draw."""
        return bool(np.isfinite(self.tic[self.ms1]).any())

    def chromatogram(
        self, values: npt.NDArray[np.float64]
    ) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.float64]]:
        """values over the MS1 scans (empty for a run without MS1: no other
        level stands in for it)."""
        return self.rt[self.ms1], values[self.ms1]

    def chromatograms(
        self, values: npt.NDArray[np.float64]
    ) -> list[tuple[str, npt.NDArray[np.float64], npt.NDArray[np.float64]]]:
        """chromatogram(values) as (suffix, rt, values) parts: one part with
        suffix "" for a run of one polarity, one part a polarity (" (+)",
        " (−)", " (?)" for unknown) when its MS1 scans switch polarity; no
        part for a run without MS1."""
        if not self.ms1.any():
            return []
        rt, y = self.chromatogram(values)
        if self.polarity is None:
            return [("", rt, y)]
        polarity = self.polarity[self.ms1]
        present = [p for p in (1, -1, 0) if (polarity == p).any()]
        if len(present) < 2:
            return [("", rt, y)]
        suffix = {1: " (+)", -1: " (−)", 0: " (?)"}
        return [(suffix[p], rt[polarity == p], y[polarity == p]) for p in present]

    def ms2_per_cycle(self) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.int64]]:
        """For each MS1 scan, its retention time and the number of MS2 (and
        higher) scans acquired after it up to the next MS1 scan."""
        starts = np.flatnonzero(self.ms1)
        if starts.size == 0:
            return np.empty(0), np.empty(0, dtype=np.int64)
        msn = np.concatenate(([0], np.cumsum(self.msn)))
        ends = np.append(starts[1:], self.ms_level.size)
        return self.rt[starts], (msn[ends] - msn[starts + 1]).astype(np.int64)

    def precursors(self) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.float64]]:
        """Retention time and precursor m/z of the MS2 (and higher) scans
        that record one."""
        if self.precursor_mz is None:
            return np.empty(0), np.empty(0)
        keep = self.msn & np.isfinite(self.precursor_mz)
        return self.rt[keep], self.precursor_mz[keep]

    @property
    def has_drift(self) -> bool:
        return self.drift_ppm is not None and bool(np.isfinite(self.drift_ppm).any())


def _metric_value(m: RunMetrics, accession: str) -> object:
    """The value of the run-wide (not polarity-split) metric, or None."""
    for metric in m.metrics:
        if metric.accession == accession and metric.polarity is None:
            return metric.value
    return None


TIC_QUANTILE_RT_FRACTION = "MS:4000183"
RT_ACQUISITION_RANGE = "MS:4000070"
RUN_DURATION = "MS:4000067"


def tic_quarters(m: RunMetrics) -> npt.NDArray[np.float64] | None:
    """The retention times at which the run's MS1 TIC has accumulated 0, 1,
    2, 3 and 4 quarters of its total (five values), from the run's TIC
    quantile RT fractions, its first retention time and its chromatography
    duration; None when the metrics do not give them."""
    fractions = _metric_value(m, TIC_QUANTILE_RT_FRACTION)
    span = _metric_value(m, RT_ACQUISITION_RANGE)
    duration = _metric_value(m, RUN_DURATION)
    if not (isinstance(fractions, (list, tuple)) and len(fractions) == 4 and isinstance(span, (list, tuple))
            and len(span) == 2):
        return None
    values = np.array([_number(f) for f in fractions], dtype=np.float64)
    start, length = _number(span[0]), _number(duration)
    if start is None or length is None or not np.isfinite(values).all():
        return None
    bounds: npt.NDArray[np.float64] = start + np.concatenate(([0.0], np.cumsum(values))) * length
    return bounds


#: Scan rates are taken over this many intervals between scans of a level.
RATE_WINDOW = 5


def scan_rate(run: RunTraces, level: int, window: int = RATE_WINDOW
              ) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.float64]]:
    """Scans per minute of MS level `level` (level 2: every level from 2
    up) at each such scan but the first: the last `window` intervals (fewer
    at the start) over the time they took. A constant acquisition is a flat
    line; scans at the same time as the ones before give NaN."""
    chosen = (run.ms1 if level == 1 else run.msn) & np.isfinite(run.rt)
    times = np.sort(run.rt[chosen])
    if times.size < 2:
        return np.empty(0), np.empty(0)
    after = np.arange(1, times.size)
    intervals = np.minimum(after, window)
    span = times[after] - times[after - intervals]
    with np.errstate(divide="ignore", invalid="ignore"):
        rate = np.where(span > 0, 60.0 * intervals / span, np.nan)
    return times[1:], rate


# -- the metrics table -----------------------------------------------------------------

@dataclass(frozen=True)
class MetricRow:
    accession: str
    name: str
    polarity: str | None
    unit: str
    texts: list[str]            # one per run, "" when the run lacks it
    flags: list[str | None]     # one per run: "high", "low" or None


def outliers(values: Sequence[float | None]) -> list[str | None]:
    """Tukey's fences: "high" above Q3 + 1.5 IQR, "low" below Q1 - 1.5 IQR
    of the finite values (quartiles by linear interpolation); nothing is
    flagged with fewer than four finite values."""
    finite = np.array([v for v in values if v is not None and math.isfinite(v)], dtype=np.float64)
    if finite.size < 4:
        return [None] * len(values)
    q1, q3 = np.percentile(finite, [25, 75])
    spread = 1.5 * (q3 - q1)
    flags: list[str | None] = []
    for v in values:
        if v is None or not math.isfinite(v):
            flags.append(None)
        elif v > q3 + spread:
            flags.append("high")
        elif v < q1 - spread:
            flags.append("low")
        else:
            flags.append(None)
    return flags


def _number(value: object) -> float | None:
    if isinstance(value, bool) or not isinstance(value, (int, float, np.integer, np.floating)):
        return None
    return float(value)


#: Magnitudes below this are rounding noise of a computation, shown as 0.
NOISE = 1e-9
#: Decimals of the figures in parts per million (0.001 ppm is far below any
#: calibration's reach).
PPM_DECIMALS = 3
MISSING = "–"


def _number_text(value: float, unit: str) -> str:
    if not math.isfinite(value):
        return MISSING
    if abs(value) < NOISE:
        return "0"
    if unit == "parts per million":
        text = f"{value:.{PPM_DECIMALS}f}"
        return "0" if float(text) == 0 else text
    if 1000 <= abs(value) < 1e6:
        return f"{value:,.0f}"
    return f"{value:.4g}"


def _text(value: object, unit: str = "") -> str:
    """A metric value as the table shows it: integers in full (with
    thousands separators), other numbers to 4 significant digits (whole
    from 1,000 to a million; ppm to 0.001), noise as 0, a range as "low – high", a tuple as its values,
    an undefined value as "–"."""
    if value is None:
        return MISSING
    if isinstance(value, (int, np.integer)) and not isinstance(value, bool):
        return f"{int(value):,}"
    number = _number(value)
    if number is not None:
        return _number_text(number, unit)
    if isinstance(value, dict):
        lengths = {len(v) for v in value.values() if isinstance(v, (list, tuple))}
        rows = max(lengths) if lengths else 0
        return f"table: {rows} rows × {len(value)} columns"
    if isinstance(value, (list, tuple)):
        parts = [_text(v, unit) for v in value]
        if len(parts) == 2 and unit in RANGE_UNITS:
            return f"{parts[0]} – {parts[1]}"
        return ", ".join(parts) if len(parts) <= 6 else f"{len(parts)} values"
    return str(value)


#: Units whose two-value metrics are ranges (the m/z and retention time ones).
RANGE_UNITS = frozenset({"m/z", "second"})
UNIT_NAMES = {"count unit": "count"}


def metric_rows(runs: Sequence[RunMetrics]) -> list[MetricRow]:
    """One row per metric (accession and polarity) in the order the runs
    first name them; numbers of a batch flagged by outliers()."""
    keys: dict[tuple[str, str | None], tuple[str, str]] = {}
    values: dict[tuple[str, str | None], list[object]] = {}
    for position, m in enumerate(runs):
        for metric in m.metrics:
            key = (metric.accession, metric.polarity)
            if key not in keys:
                unit = ", ".join(name for _, name in metric.unit) if metric.unit else ""
                keys[key] = (metric.name, unit)
                values[key] = [MISSING_VALUE] * len(runs)
            values[key][position] = metric.value
    rows = []
    for key, (name, unit) in keys.items():
        cells = values[key]
        numbers = [_number(v) for v in cells]
        flags: list[str | None] = outliers(numbers) if len(runs) > 1 else [None] * len(runs)
        rows.append(MetricRow(key[0], name, key[1], UNIT_NAMES.get(unit, unit),
                              [MISSING if v is MISSING_VALUE else _text(v, unit) for v in cells], flags))
    return rows


MISSING_VALUE = object()  # a run without the metric


@dataclass(frozen=True)
class RunSummaryRow:
    """One run's line of a report's summary header."""

    name: str
    scans: int
    ms1: int
    msn: int
    rt_range: tuple[float, float] | None
    undecoded: int
    flagged: list[str]  # the metrics flagged as outliers for this run


def summary_rows(runs: Sequence[RunTraces], rows: Sequence[MetricRow]) -> list[RunSummaryRow]:
    out = []
    for position, run in enumerate(runs):
        finite = run.rt[np.isfinite(run.rt)]
        flagged = [row.name + (f" ({row.polarity})" if row.polarity else "") for row in rows
                   if row.flags[position] is not None]
        out.append(RunSummaryRow(
            name=run.name, scans=int(run.rt.size), ms1=int(run.ms1.sum()), msn=int(run.msn.sum()),
            rt_range=(float(finite.min()), float(finite.max())) if finite.size else None,
            undecoded=0 if run.decoded is None else int((~run.decoded).sum()), flagged=flagged))
    return out


# -- from the data folder -------------------------------------------------------------

@dataclass(frozen=True)
class IntensityMap:
    """Summed MS1 intensity on a grid: rows of rt (seconds), columns of m/z."""

    rt_edges: npt.NDArray[np.float64]
    mz_edges: npt.NDArray[np.float64]
    cells: npt.NDArray[np.float64]  # shape (rows, columns)


@dataclass(frozen=True)
class PeakList:
    rt: float
    mz: npt.NDArray[np.float64]
    intensity: npt.NDArray[np.float32]
    centroid: bool


def _open(path: str) -> Any:
    """The run at path, or None when it is not there or cannot be opened."""
    from .._run import Run

    if not os.path.isdir(path):
        return None
    try:
        return Run(path)
    except (OSError, ValueError):
        return None


def intensity_map(run: RunTraces, rt_bins: int, mz_bins: int, threads: int | None = None) -> IntensityMap | None:
    """The RT x m/z map of the run's MS1 spectra, binned in C++ while worker
    threads decode them; None when the data folder is not there or the run
    has no MS1 scan. The m/z range is the table's lowest to highest m/z of
    the MS1 points where it has them (found while binning otherwise)."""
    from .. import _native
    from .._args import threads as _threads

    # Scans the metrics pass could not decode would stop the map: left out.
    usable = run.ms1 if run.decoded is None else run.ms1 & run.decoded
    opened = _open(run.path)
    if opened is None:
        return None
    with opened:
        chosen = run.positions[usable]
        if chosen.size == 0:
            return None
        times = run.rt[usable]
        times = times[np.isfinite(times)]
        if times.size == 0:
            return None
        rt_bins = min(rt_bins, chosen.size)  # no more rows than spectra
        # A hair wider than the table's times, so that no spectrum falls out
        # by the last bit of its retention time.
        low, high = float(times.min()), float(times.max())
        pad = 1e-9 * max(1.0, abs(low), abs(high))
        mz_low: float | None = None
        mz_high: float | None = None
        mz_range = run.ms1_mz_range()
        if mz_range is not None:
            mz_low, mz_high = mz_range
        try:
            cells, rt_edges, mz_edges, _, _ = _native.rt_mz_map(
                opened._handle, np.ascontiguousarray(chosen, dtype=np.uint32), low - pad, high + pad,
                rt_bins, mz_bins, mz_low, mz_high, _threads(threads))
        except (OSError, ValueError):  # FormatError is a ValueError
            return None
        return IntensityMap(rt_edges, mz_edges, cells.reshape(rt_bins, len(mz_edges) - 1))


def tic_maximum_spectrum(run: RunTraces) -> PeakList | None:
    """The MS1 spectrum of greatest TIC, decoded from the data folder; None
    for a run without MS1, or when the folder is not there or the spectrum
    cannot be decoded."""
    rt, tic = run.chromatogram(run.tic)
    if not np.isfinite(tic).any():
        return None
    row = int(np.flatnonzero(run.ms1)[int(np.nanargmax(tic))])
    opened = _open(run.path)
    if opened is None:
        return None
    with opened:
        try:
            spectrum = opened[int(run.positions[row])]
        except (OSError, ValueError):
            return None
        return PeakList(float(spectrum.rt), np.array(spectrum.mz), np.array(spectrum.intensity),
                        spectrum.mode == "centroid")
