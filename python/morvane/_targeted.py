"""Targeted extraction: tables of m/z targets traced in one pass per MS
level, and a run's MRM channels as columns and as one trace per channel."""

from __future__ import annotations

import math
import numbers
from dataclasses import dataclass
from typing import Any

import numpy as np
import numpy.typing as npt

from . import _args
from ._salvage import Skipped, in_one_pass

# The columns a target table may have; name, mz and one of ppm and da are
# needed.
TARGET_COLUMNS = ("name", "mz", "ppm", "da", "rt_start", "rt_end", "ms_level")
PYARROW_HINT = "this needs pyarrow: pip install 'karvel[parquet]'"


def import_pyarrow() -> Any:
    try:
        import pyarrow  # type: ignore[import-untyped, unused-ignore]
    except ImportError as error:
        raise ImportError(PYARROW_HINT) from error
    return pyarrow


# Arrays handed to pyarrow over their own memory: pyarrow.array() asks
# pandas, where it is installed, whether a value is one of its own types,
# and importing pandas makes a first call half a second slower.
def arrow_column(pa: Any, values: npt.NDArray[Any], nulls: npt.NDArray[np.bool_] | None = None) -> Any:
    """A numpy column as an Arrow array (a null where nulls holds)."""
    values = np.ascontiguousarray(values)
    validity = None
    if nulls is not None and nulls.any():
        validity = pa.py_buffer(np.packbits(~nulls, bitorder="little"))
    return pa.Array.from_buffers(pa.from_numpy_dtype(values.dtype), values.size, [validity, pa.py_buffer(values)])


def arrow_strings(pa: Any, texts: list[str]) -> Any:
    """Texts as an Arrow string array."""
    encoded = [text.encode() for text in texts]
    offsets = np.zeros(len(encoded) + 1, dtype=np.int64)
    np.cumsum([len(item) for item in encoded], out=offsets[1:])
    if offsets[-1] > np.iinfo(np.int32).max:
        return pa.array(texts, pa.string())
    return pa.Array.from_buffers(pa.string(), len(encoded),
                                 [None, pa.py_buffer(offsets.astype(np.int32)), pa.py_buffer(b"".join(encoded))])


class TargetError(ValueError):
    """A malformed target table; `row` is the faulty row, counted from 1
    below the header (None when the table as a whole is at fault)."""

    def __init__(self, message: str, row: int | None = None) -> None:
        super().__init__(message)
        self.row = row


@dataclass(frozen=True)
class Target:
    """One row of a target table, checked."""

    row: int  # counted from 1, as a spreadsheet does below its header
    name: str
    mz: float
    low: float
    high: float
    rt_start: float
    rt_end: float
    ms_level: int


def _arrow_table(targets: Any) -> Any:
    """targets as a pyarrow Table: from pyarrow, pandas, polars, or a
    mapping of column names to sequences."""
    pa = import_pyarrow()
    if isinstance(targets, pa.Table):
        return targets
    if isinstance(targets, pa.RecordBatch):
        return pa.Table.from_batches([targets])
    if hasattr(targets, "to_arrow") and callable(targets.to_arrow):  # polars
        return targets.to_arrow()
    if hasattr(targets, "columns") and hasattr(targets, "iloc"):  # pandas
        return pa.Table.from_pandas(targets, preserve_index=False)
    if isinstance(targets, dict):
        return pa.table(targets)
    raise TypeError("targets must be a pyarrow, pandas or polars table, or a dict of columns, "
                    f"not {type(targets).__name__}")


def _number(value: Any, row: int, column: str, name: str) -> float | None:
    if value is None:
        return None
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise TargetError(f"target row {row} ({name}): {column} must be a number, not {value!r}", row)
    number = float(value)
    return None if math.isnan(number) else number


def parse_targets(targets: Any) -> list[Target]:
    """The rows of a target table, checked: ValueError naming the first
    faulty row (counted from 1) and what is wrong with it."""
    table = _arrow_table(targets)
    names = list(table.column_names)
    unknown = [c for c in names if c not in TARGET_COLUMNS]
    if unknown:
        raise TargetError(f"target table: unknown column(s) {', '.join(map(repr, unknown))}; "
                         f"the columns are {', '.join(TARGET_COLUMNS)}")
    missing = [c for c in ("name", "mz") if c not in names]
    if missing:
        raise TargetError(f"target table: missing column(s) {', '.join(map(repr, missing))}")
    if "ppm" not in names and "da" not in names:
        raise TargetError("target table: needs a 'ppm' or a 'da' column for the tolerance")
    if table.num_rows == 0:
        raise TargetError("target table: no rows")
    parsed: list[Target] = []
    first_row: dict[str, int] = {}
    for number, values in enumerate(table.to_pylist(), start=1):
        name = values.get("name")
        if not isinstance(name, str) or not name.strip():
            raise TargetError(f"target row {number}: name must be a non-empty text, not {name!r}", number)
        label = repr(name)
        if name in first_row:
            raise TargetError(f"target row {number} ({label}): the name is already that of row "
                              f"{first_row[name]}", number)
        first_row[name] = number
        mz = _number(values.get("mz"), number, "mz", label)
        if mz is None or not (math.isfinite(mz) and mz > 0):
            raise TargetError(f"target row {number} ({label}): mz must be a positive number, "
                              f"not {values.get('mz')!r}", number)
        ppm = _number(values.get("ppm"), number, "ppm", label)
        da = _number(values.get("da"), number, "da", label)
        if (ppm is None) == (da is None):
            raise TargetError(f"target row {number} ({label}): give exactly one of ppm and da", number)
        tolerance = ppm if ppm is not None else da
        assert tolerance is not None
        if not (math.isfinite(tolerance) and tolerance >= 0):
            raise TargetError(f"target row {number} ({label}): the tolerance must be a non-negative number, "
                             f"not {tolerance!r}", number)
        half = mz * tolerance * 1e-6 if ppm is not None else tolerance
        start = _number(values.get("rt_start"), number, "rt_start", label)
        end = _number(values.get("rt_end"), number, "rt_end", label)
        start = -math.inf if start is None else start
        end = math.inf if end is None else end
        if start > end:
            raise TargetError(f"target row {number} ({label}): rt_start {start} is after rt_end {end}", number)
        level = _number(values.get("ms_level"), number, "ms_level", label)
        level = 1.0 if level is None else level
        if not (level.is_integer() and 0 <= level <= _args.MAX_MS_LEVEL):
            raise TargetError(f"target row {number} ({label}): ms_level must be a level from 0 to "
                             f"{_args.MAX_MS_LEVEL}, not {values.get('ms_level')!r}", number)
        parsed.append(Target(number, name, mz, mz - half, mz + half, start, end, int(level)))
    return parsed


def xic_pass(run: Any, positions: npt.NDArray[np.uint32], lows: npt.NDArray[np.float64],
             highs: npt.NDArray[np.float64], threads: int, choice: tuple[int, int, int, float],
             skip: bool) -> tuple[tuple[npt.NDArray[np.float64], npt.NDArray[np.float64]], list[Skipped]]:
    """The times of the spectra at positions and their sums within each
    window [lows[k], highs[k]] as one row per window, one decoding of each
    spectrum; with skip the spectra that fail are left out as they fail and
    returned."""
    def attempt() -> tuple[tuple[npt.NDArray[np.float64], npt.NDArray[np.float64]], list[tuple[int, str]]]:
        rt, sums, failures = run._handle.xic(positions, lows, highs, threads, *choice, skip)
        # The sums come one column per spectrum: the rows are a view of them.
        return (rt, sums.reshape(rt.size, lows.size).T), failures
    return in_one_pass(run, attempt)


def extract(run: Any, targets: Any, *, mode: _args.Mode = "auto", threads: int | None = None,
            errors: _args.Errors = "raise", snr: float = 3.0) -> Any:
    """The long table (name, rt, intensity) of every target's trace: for
    each spectrum of the target's MS level within its RT window, the summed
    intensity within its m/z window. One decoding pass per MS level serves
    all its targets, and only spectra within some target's window are
    decoded. ValueError naming the row when a target is malformed or no
    spectrum falls in its window."""
    pa = import_pyarrow()
    parsed = parse_targets(targets)
    choice = _args.picking(mode, None, snr)
    workers = _args.threads(threads)
    skip = _args.skip(errors)
    scans = run.scans
    times = scans["rt"]
    levels = scans["ms_level"]
    pieces: list[tuple[Target, npt.NDArray[np.float64], npt.NDArray[np.float64]]] = []
    skipped_all: list[tuple[int, str]] = []
    for level in sorted({t.ms_level for t in parsed}):
        group = [t for t in parsed if t.ms_level == level]
        of_level = np.flatnonzero(levels == level)
        level_times = times[of_level]
        inside = np.array([(level_times >= t.rt_start) & (level_times <= t.rt_end) for t in group])
        for target, mask in zip(group, inside, strict=True):
            if not mask.any():
                span = (f"{level_times.min():g} to {level_times.max():g} s" if level_times.size
                        else "none at all")
                raise ValueError(f"target row {target.row} ({target.name!r}): no MS{level} spectrum in "
                                 f"rt {target.rt_start:g} to {target.rt_end:g} s (the run's MS{level} spectra: "
                                 f"{span})")
        needed = inside.any(axis=0)
        positions = np.ascontiguousarray(of_level[needed], dtype=np.uint32)
        lows = np.array([t.low for t in group])
        highs = np.array([t.high for t in group])
        (rt, sums), skipped = xic_pass(run, positions, lows, highs, workers, choice, skip)
        skipped_all += [(s.index, s.reason) for s in skipped]
        kept_positions = positions if not skipped else np.setdiff1d(positions, [s.index for s in skipped])
        kept_mask = inside[:, needed]
        if skipped:
            kept_mask = kept_mask[:, np.isin(positions, kept_positions)]
        for k, target in enumerate(group):
            pieces.append((target, rt[kept_mask[k]], sums[k][kept_mask[k]]))
    run.skipped = skipped_all
    pieces.sort(key=lambda piece: piece[0].row)
    lengths = [rt.size for _, rt, _ in pieces]
    names = pa.DictionaryArray.from_arrays(
        arrow_column(pa, np.repeat(np.arange(len(pieces), dtype=np.int32), lengths)),
        arrow_strings(pa, [t.name for t, _, _ in pieces]))
    rt_column = np.concatenate([rt for _, rt, _ in pieces]) if pieces else np.empty(0)
    value_column = np.concatenate([values for _, _, values in pieces]) if pieces else np.empty(0)
    return pa.table({"name": names, "rt": arrow_column(pa, rt_column.astype(np.float64, copy=False)),
                     "intensity": arrow_column(pa, value_column.astype(np.float64, copy=False))})


# MRM channels ------------------------------------------------------------------------

TRANSITION_COLUMNS = ("channel", "rt", "mz", "intensity", "collision_energy", "polarity", "spectrum_index")


def transition_columns(run: Any, errors: _args.Errors = "raise",
                       positions: npt.NDArray[np.uint32] | None = None) -> dict[str, npt.NDArray[Any]]:
    """The points of the run's MRM scans (among positions, when given) as
    numpy columns (see Run.transitions); collision_energy NaN where the scan
    row holds none."""
    # None: every scan, without a list of them (the pass skips the scans
    # that are not MRM scans).
    chosen = None if positions is None else np.ascontiguousarray(
        positions[run.scans["ms_level"][positions] >= 2], dtype=np.uint32)

    def attempt() -> tuple[tuple[npt.NDArray[Any], ...], list[tuple[int, str]]]:
        *arrays, failures = run._handle.transitions(chosen, _args.skip(errors))
        return tuple(arrays), failures

    (index, channel, rt, mz, intensity, energy, polarity), _ = in_one_pass(run, attempt)
    return {"channel": channel, "rt": rt, "mz": mz, "intensity": intensity, "collision_energy": energy,
            "polarity": polarity, "spectrum_index": index}


def transitions(run: Any, errors: _args.Errors = "raise") -> Any:
    pa = import_pyarrow()
    columns = transition_columns(run, errors)
    # The collision energy is null where the scan row holds none.
    return pa.table({name: arrow_column(pa, values, np.isnan(values) if name == "collision_energy" else None)
                     for name, values in columns.items()})


@dataclass(frozen=True)
class ChannelTrace:
    """One MRM channel's chromatogram: per scan of the channel, its
    retention time (s) and the sum of its points' intensities. product_mz
    is the m/z all the channel's points share (None when they differ or the
    channel has none); collision_energy and polarity likewise the channel's
    one value, or None and 0 when its scans differ."""

    channel: int
    rt: npt.NDArray[np.float64]
    intensity: npt.NDArray[np.float64]
    product_mz: float | None
    collision_energy: float | None
    polarity: int

    @property
    def native_id(self) -> str:
        """The chromatogram's id: the channel as the spectra name it."""
        return f"mrm_channel={self.channel}"


def _one(values: npt.NDArray[Any]) -> Any:
    """The value every item holds, or None."""
    if values.size == 0 or (values.dtype.kind == "f" and np.isnan(values).any()):
        return None
    first = values[0]
    return first.item() if np.all(values == first) else None


def channel_traces(run: Any, errors: _args.Errors = "raise",
                   positions: npt.NDArray[np.uint32] | None = None) -> list[ChannelTrace]:
    """One trace per MRM channel, by rising channel id (of the scans among
    positions, when given)."""
    columns = transition_columns(run, errors, positions)
    channel = columns["channel"]
    if channel.size == 0:
        return []
    index = columns["spectrum_index"]
    order = np.lexsort((index, channel))  # by channel, then scan, stable
    channel, index = channel[order], index[order]
    rt, mz = columns["rt"][order], columns["mz"][order]
    intensity = columns["intensity"][order].astype(np.float64)
    energy, polarity = columns["collision_energy"][order], columns["polarity"][order]
    # One value per scan: the sum of its points (+inf and -inf in one scan
    # sum to NaN, as in every other sum of the run; no warning for it).
    scan_starts = np.flatnonzero(np.r_[True, (index[1:] != index[:-1]) | (channel[1:] != channel[:-1])])
    with np.errstate(invalid="ignore"):
        sums = np.add.reduceat(intensity, scan_starts)
    scan_channel = channel[scan_starts]
    traces = []
    bounds = np.flatnonzero(np.r_[True, channel[1:] != channel[:-1], True])
    scan_bounds = np.searchsorted(scan_starts, bounds)
    for k in range(bounds.size - 1):
        points = slice(bounds[k], bounds[k + 1])
        scans_of = slice(scan_bounds[k], scan_bounds[k + 1])
        sign = _one(polarity[points])
        traces.append(ChannelTrace(
            channel=int(scan_channel[scans_of.start]),
            rt=np.ascontiguousarray(rt[scan_starts[scans_of]]),
            intensity=np.ascontiguousarray(sums[scans_of]),
            product_mz=_one(mz[points]),
            collision_energy=_one(energy[points]),
            polarity=0 if sign is None else int(sign)))
    return traces
