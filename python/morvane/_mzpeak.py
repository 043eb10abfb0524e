"""A run as an mzPeak archive: Parquet tables found through a JSON index,
in an uncompressed ZIP file or a folder.

The spectra pass decodes each selected spectrum once (twice when a picking
mode asks for centroids beside the profiles): profile spectra go to the
data-arrays table in chunks along m/z, centroid spectra (stored or picked)
to the peaks table one row per peak, and one row per spectrum to the
metadata tables. The chromatograms (TIC and base peak of the MS1 spectra
written) follow, then the file-level metadata; the version-specific names
and terms all come from morvane._mzpeak_format.

Members are written into a hidden folder beside the output; a ZIP archive
is then assembled under a temporary name, synced and renamed (a folder
layout renames the folder itself), so the output appears only complete.
For a ZIP archive the signal tables are written with room for their ZIP
entry header before them, and the larger becomes the archive itself: the
others are appended to it, so its bytes, the bulk of the archive, are
written once.
"""

from __future__ import annotations

import contextlib
import hashlib
import json
import math
import os
import re
import shutil
import threading
import zipfile
import zlib
from collections.abc import Iterator, Sequence
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

import numpy as np
import numpy.typing as npt

from . import _args
from . import _mzpeak_format as fmt
from ._atomic import named_after, remove_stale_temporaries, sync_folder, synced, temporary_name, written_atomically
from ._integrity import SUMMARIES, events_of
from ._native import peak_picking_params, run_analyzer
from ._output import selected_or_refused
from ._parquet import import_pyarrow
from ._progress import spectra_bar
from ._salvage import Skipped, in_one_pass, skipped_of, without
from ._version import __version__

LAYOUTS = ("zip", "folder")
# Points (profile) or peaks per row group of the signal tables: small enough
# that one spectrum is read without much else, large enough to compress.
ROW_GROUP_POINTS = 262_144
_HASH_BLOCK = 1 << 20


# -- arrays ------------------------------------------------------------------------------------------

def sorted_arrays(mz: npt.NDArray[np.float64], intensity: npt.NDArray[np.float32]) -> tuple[
        npt.NDArray[np.float64], npt.NDArray[np.float32]]:
    """The arrays ordered by m/z (stably; NaN last), untouched when already so."""
    if mz.size < 2 or not np.any(mz[1:] < mz[:-1]) and not np.isnan(mz).any():
        return mz, intensity
    order = np.argsort(mz, kind="stable")
    return mz[order], intensity[order]


def zero_run_kept(intensity: npt.NDArray[Any]) -> npt.NDArray[np.bool_]:
    """Which points survive zero-run stripping: a zero whose neighbours are
    both zero (or the array's end) goes, so a run of zeros keeps the points
    next to signal."""
    zero: npt.NDArray[np.bool_] = np.asarray(intensity == 0, dtype=bool)
    if zero.size == 0:
        return zero
    before = np.concatenate(([True], zero[:-1]))
    after = np.concatenate((zero[1:], [True]))
    kept: npt.NDArray[np.bool_] = ~(zero & before & after)
    return kept


def chunk_starts(mz: npt.NDArray[np.float64], width: float,
                 nulls: npt.NDArray[np.bool_] | None = None) -> npt.NDArray[np.int64]:
    """Positions where a new chunk begins: every `width` of m/z from the
    first value. Equal values always share a chunk; non-finite values join
    the last chunk. With null-marked points, a chunk neither begins nor
    ends with both nulls of a pair (one of them would have no value beside
    it to be rebuilt from): a pair at a chunk's edge is split, one null to
    each chunk."""
    if mz.size == 0:
        return np.zeros(0, dtype=np.int64)
    with np.errstate(invalid="ignore", over="ignore"):
        bins = np.floor((mz - mz[0]) / width)
    finite = np.isfinite(bins)
    if not finite.all():
        top = bins[finite].max() if finite.any() else 0.0
        bins = np.where(finite, bins, top)
        bins = np.maximum.accumulate(bins)
    changes = np.flatnonzero(bins[1:] != bins[:-1]) + 1
    if nulls is not None and changes.size and nulls.any():
        padded = np.concatenate(([False, False], nulls, [False]))  # padded[i + 2] is nulls[i]
        changes = changes + (padded[changes + 2] & padded[changes + 3])
        changes = changes - (padded[changes + 1] & padded[changes])
        changes = np.unique(changes[(changes > 0) & (changes < mz.size)])
    return np.concatenate(([0], changes)).astype(np.int64)


def zero_pairs(intensity: npt.NDArray[Any]) -> npt.NDArray[np.bool_]:
    """Zeros next to another zero: after zero-run stripping, the two ends of
    each stripped run, the points null marking replaces by nulls."""
    zero: npt.NDArray[np.bool_] = np.asarray(intensity == 0, dtype=bool)
    if zero.size < 2:
        return np.zeros(zero.size, dtype=bool)
    beside = np.zeros(zero.size, dtype=bool)
    beside[1:] |= zero[:-1]
    beside[:-1] |= zero[1:]
    paired: npt.NDArray[np.bool_] = zero & beside
    return paired


def second_medians(values: npt.NDArray[np.float64], groups: npt.NDArray[np.int64], count: int) -> \
        npt.NDArray[np.float64]:
    """Per group: the median of the values at or below the group's median
    (NaN for a group without values)."""
    order = np.lexsort((values, groups))
    ordered, owner = values[order], groups[order]
    sizes = np.bincount(owner, minlength=count)
    offsets = np.concatenate(([0], np.cumsum(sizes)[:-1]))

    def median(lengths: npt.NDArray[np.int64]) -> npt.NDArray[np.float64]:
        present = lengths > 0
        low = np.where(present, offsets + (lengths - 1) // 2, 0)
        high = np.where(present, offsets + lengths // 2, 0)
        if ordered.size == 0:
            return np.full(count, np.nan)
        return np.where(present, (ordered[low] + ordered[high]) / 2, np.nan)
    first = median(sizes)
    below = np.bincount(owner, weights=ordered <= first[owner], minlength=count).astype(np.int64)
    return median(below)


def spacing_model(mz: npt.NDArray[np.float64], steps: npt.NDArray[np.float64]) -> npt.NDArray[np.float64] | None:
    """The m/z spacing as a polynomial of m/z (coefficients from the
    highest power), fitted by least squares of the relative error to the
    steps between adjacent points (step i following mz[i]); steps off the
    first fit by more than a quarter (gaps in the sampling) are left out of
    the second. None without enough steps."""
    keep = np.isfinite(steps) & (steps > 0)
    degree = fmt.MZ_DELTA_MODEL_DEGREE
    for _ in range(2):
        if np.count_nonzero(keep) <= degree:
            return None
        x, y = mz[keep], steps[keep]
        # m/z scaled to [-1, 1] keeps the normal equations well conditioned
        centre, half = (x.max() + x.min()) / 2, max((x.max() - x.min()) / 2, 1e-12)
        powers = np.vander((x - centre) / half, degree + 1)
        weighted = powers / y[:, None]
        try:
            scaled = np.linalg.solve(weighted.T @ weighted, weighted.T @ np.ones_like(y))
        except np.linalg.LinAlgError:
            return None
        # back to powers of m/z: p((m - centre) / half) by Horner's rule, highest power first
        coefficients = scaled[:1]
        for a in scaled[1:]:
            coefficients = np.convolve(coefficients, [1.0 / half, -centre / half])
            coefficients[-1] += a
        with np.errstate(invalid="ignore"):
            keep &= np.abs(steps - np.polyval(coefficients, mz)) <= 0.25 * np.abs(steps)
    return np.asarray(coefficients, dtype=np.float64)


def rebuilt_off(mz: npt.NDArray[np.float64], nulls: npt.NDArray[np.bool_], starts: npt.NDArray[np.int64],
                bound: float) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.bool_]] | None:
    """The spacing model of a spectrum whose null-marked m/z (nulls) a
    reader rebuilds chunk by chunk (chunks beginning at starts), and which
    nulls it would rebuild further than `bound` times their distance to
    the value they are rebuilt from: a null next to a run of values takes
    the run's second-median step, one beside a single value the model's
    step there. An empty model when too few steps fit one and no null needs
    it; None when the nulls cannot be rebuilt at all."""
    n = mz.size
    if not np.isfinite(mz).all():
        return None
    first = np.zeros(n, dtype=bool)
    first[starts] = True
    # A run of values lies between nulls: it begins at a chunk's start or
    # at the second null of a pair.
    begins = first.copy()
    begins[1:] |= nulls[1:] & nulls[:-1] & ~first[1:]
    run = np.cumsum(begins) - 1
    runs = int(run[-1]) + 1
    values = ~nulls
    counts = np.bincount(run, weights=values, minlength=runs).astype(np.int64)
    inside = values[:-1] & values[1:] & (run[:-1] == run[1:])
    steps = np.diff(mz)
    step_of_run = second_medians(steps[inside], run[:-1][inside], runs)
    where = np.flatnonzero(nulls)
    # The value a null is rebuilt from: after it when it begins its run.
    leads = begins[where]
    if np.any(where + leads * 2 - 1 < 0) or np.any(where + leads * 2 - 1 >= n):
        return None
    neighbour = where + np.where(leads, 1, -1)
    if np.any(nulls[neighbour]) or np.any(run[neighbour] != run[where]):
        return None
    single = counts[run[where]] == 1
    model = spacing_model(mz[:-1][inside], steps[inside])
    if model is None:
        if single.any():
            return None
        model = np.zeros(0)
    step = step_of_run[run[where]]
    if single.any():
        step = np.where(single, np.polyval(model, mz[neighbour]), step)
    rebuilt = mz[neighbour] + np.where(leads, -step, step)
    off = np.zeros(n, dtype=bool)
    off[where] = ~(np.abs(rebuilt - mz[where]) <= bound * np.abs(mz[where] - mz[neighbour]))
    return model, off


def mark_nulls(mz: npt.NDArray[np.float64], intensity: npt.NDArray[Any], width: float, bound: float) -> tuple[
        npt.NDArray[np.bool_] | None, npt.NDArray[np.int64], npt.NDArray[np.float64] | None]:
    """Which points of a zero-run stripped spectrum to null-mark, its
    chunks' starts and its spacing model: the zero pairs, less those a
    reader would not rebuild within bound (they keep their zeros; the runs
    beside them change, so the rest is checked again). No nulls and no
    model when none can be marked."""
    nulls = zero_pairs(intensity)
    for _ in range(8):
        if not nulls.any():
            break
        starts = chunk_starts(mz, width, nulls)
        checked = rebuilt_off(mz, nulls, starts, bound)
        if checked is None:
            break
        model, off = checked
        if not off.any():
            return nulls, starts, model
        # a pair keeps its zeros together
        off[1:] |= off[:-1] & nulls[1:]
        off[:-1] |= off[1:] & nulls[:-1]
        nulls = nulls & ~off
    return None, chunk_starts(mz, width), None


def encode_chunks(mz: npt.NDArray[np.float64], starts: npt.NDArray[np.int64], encoding: str,
                  nulls: npt.NDArray[np.bool_] | None = None) -> tuple[
        npt.NDArray[np.float64], npt.NDArray[np.float64], npt.NDArray[np.float64], npt.NDArray[np.int64],
        npt.NDArray[np.bool_] | None]:
    """Each chunk's first and last m/z, the encoded values after the first,
    the offsets of each chunk's values (length chunks + 1), and which values
    are null. A null-marked first point stays among its chunk's values (as
    a null), and a value after a null is delta-encoded as itself."""
    ends = np.concatenate((starts[1:], [mz.size])) - 1
    rest = np.ones(mz.size, dtype=bool)
    rest[starts] = False
    if nulls is not None:
        rest[starts] |= nulls[starts]
    if encoding == fmt.DELTA_ENCODING:
        steps = np.empty_like(mz)
        if mz.size:
            steps[0] = 0.0
            with np.errstate(invalid="ignore", over="ignore"):
                steps[1:] = mz[1:] - mz[:-1]
            if nulls is not None:
                steps[1:] = np.where(nulls[:-1], mz[1:], steps[1:])
        values = steps[rest]
    else:
        values = mz[rest]
    counts = ends - starts + (nulls[starts] if nulls is not None else 0)
    offsets = np.concatenate(([0], np.cumsum(counts))).astype(np.int64)
    return mz[starts], mz[ends], values, offsets, None if nulls is None else nulls[rest]


_INT32_MAX = 0x7FFFFFFF


def _half_bytes(values: npt.NDArray[np.int64]) -> npt.NDArray[np.uint8]:
    """32-bit integers in MS-Numpress's half-byte packing: per value a head
    nibble counting its leading 0x0 (n) or 0xf (8 + n, n at most 7) nibbles,
    then its other nibbles, least significant first; two nibbles a byte,
    high first, an odd count padded with a 0x0."""
    if values.size == 0:
        return np.zeros(0, dtype=np.uint8)
    word = values.astype(np.int64) & 0xFFFFFFFF
    nibbles = np.stack([(word >> (4 * k)) & 0xF for k in range(8)], axis=1)  # least significant first
    top = nibbles[:, 7]
    zeros = np.zeros(values.size, dtype=np.int64)
    effs = np.zeros(values.size, dtype=np.int64)
    still_zero = top == 0
    still_eff = top == 0xF
    for k in range(7, -1, -1):
        still_zero &= nibbles[:, k] == 0
        still_eff &= nibbles[:, k] == 0xF
        zeros += still_zero
        effs += still_eff
    effs = np.minimum(effs, 7)
    head = np.where(top == 0, zeros, np.where(top == 0xF, 8 + effs, 0))
    skipped = np.where(top == 0, zeros, np.where(top == 0xF, effs, 0))
    table = np.concatenate((head[:, None], nibbles), axis=1)
    keep = np.concatenate((np.ones((values.size, 1), dtype=bool),
                           np.arange(8)[None, :] < (8 - skipped)[:, None]), axis=1)
    stream = table[keep].astype(np.uint8)
    if stream.size % 2:
        stream = np.concatenate((stream, [0])).astype(np.uint8)
    packed: npt.NDArray[np.uint8] = ((stream[0::2] << 4) | stream[1::2]).astype(np.uint8)
    return packed


def numpress_linear(values: npt.NDArray[np.float64], ppm: float) -> npt.NDArray[np.uint8] | None:
    """values in MS-Numpress linear prediction, each within ppm parts per
    million of the largest (an error of at most 0.5 / f, f the scaling
    factor in the first eight bytes); None when they cannot be (not finite,
    too large for 32-bit integers, or fewer than two: the format allows one
    value, but decoders in use read two before anything else)."""
    if values.size < 2 or not np.isfinite(values).all():
        return None
    largest = float(np.max(np.abs(values)))
    second = np.abs(values[2:] - 2 * values[1:-1] + values[:-2]) if values.size > 2 else np.zeros(0)
    bound = max(largest, float(second.max(initial=0.0)) + 1.0)
    factor = _INT32_MAX / bound
    if largest > 0:
        factor = min(factor, 0.5 / (largest * ppm * 1e-6))
    for _ in range(64):
        ints = np.trunc(values * factor + 0.5).astype(np.int64)
        residuals = ints[2:] - 2 * ints[1:-1] + ints[:-2]
        if np.abs(ints[:2]).max() <= _INT32_MAX and (residuals.size == 0 or np.abs(residuals).max() <= _INT32_MAX):
            break
        factor /= 2
    else:
        return None
    head = np.frombuffer(np.array([factor], dtype=">f8").tobytes() + ints[:2].astype("<i4").tobytes(), np.uint8)
    return np.concatenate((head, _half_bytes(residuals)))


# -- signal tables ------------------------------------------------------------------------------------

@dataclass
class _Pending:
    """Columns gathered for the next row group of a signal table."""

    parts: dict[str, list[npt.NDArray[Any]]] = field(default_factory=dict)
    points: int = 0

    def add(self, name: str, values: npt.NDArray[Any]) -> None:
        self.parts.setdefault(name, []).append(values)

    def take(self, name: str, dtype: Any) -> npt.NDArray[Any]:
        parts = self.parts.get(name, [])
        return np.concatenate(parts).astype(dtype, copy=False) if parts else np.zeros(0, dtype=dtype)


def _nullable(pa: Any, values: npt.NDArray[Any], value_type: Any, nulls: npt.NDArray[np.bool_]) -> Any:
    return pa.array(values, value_type, mask=nulls if nulls.any() else None)


class MemberFile:
    """A member written to a file after `room` zero bytes, kept for its ZIP
    entry header: positions are told from the member's own start (Parquet's
    offsets count from there) and its CRC-32 is kept as it is written."""

    def __init__(self, path: Path, room: int) -> None:
        self.path = path
        self.room = room
        self.file = open(path, "wb")  # noqa: SIM115 - closed by close()
        self.file.write(bytes(room))
        self.size = 0
        self.crc = 0

    def write(self, data: Any) -> int:
        view = memoryview(data).cast("B")
        self.file.write(view)
        self.crc = zlib.crc32(view, self.crc)
        self.size += view.nbytes
        return view.nbytes

    def tell(self) -> int:
        return self.size

    def flush(self) -> None:
        self.file.flush()

    def writable(self) -> bool:
        return True

    @property
    def closed(self) -> bool:
        return self.file.closed

    def close(self) -> None:
        self.file.close()


def entry_info(name: str) -> zipfile.ZipInfo:
    """A member's ZIP entry: stored, no time of its own, readable by all."""
    entry = zipfile.ZipInfo(name, date_time=(1980, 1, 1, 0, 0, 0))
    entry.compress_type = zipfile.ZIP_STORED
    entry.external_attr = 0o644 << 16
    entry.CRC = entry.file_size = entry.compress_size = 0
    return entry


def header_room(name: str) -> int:
    """The size of a member's local ZIP header (with its ZIP64 sizes)."""
    return len(entry_info(name).FileHeader(zip64=True))


class SignalWriter:
    """One signal table (data arrays or peaks) of spectra, written a row
    group at a time to a file or a MemberFile."""

    def __init__(self, path: Path | MemberFile, layout: str, compression: str, encoding: str = fmt.DELTA_ENCODING,
                 width: float = fmt.DEFAULT_CHUNK_WIDTH, numpress_ppm: float = 0.1, null_marking: bool = False) -> None:
        self.pa = import_pyarrow()
        self.layout = layout
        self.numpress = encoding == fmt.NUMPRESS_LINEAR
        # Numpress has no nulls: its chunks are not null-marked.
        self.null_marking = null_marking and layout == fmt.CHUNK and not self.numpress
        # Chunks numpress cannot hold are delta-encoded.
        self.encoding = fmt.DELTA_ENCODING if self.numpress else encoding
        self.ppm = numpress_ppm
        self.width = width
        pa = self.pa
        index_field = pa.field(fmt.SPECTRUM_INDEX, pa.uint64(), nullable=False)
        if layout == fmt.POINT:
            fields = [index_field, pa.field(fmt.MZ, pa.float64()), pa.field(fmt.INTENSITY, pa.float32())]
            array_index = fmt.point_array_index(fmt.SPECTRUM, fmt.MZ, fmt.MZ_ARRAY, fmt.MZ_UNIT)
            floats = [f"{fmt.POINT}.{fmt.MZ}", f"{fmt.POINT}.{fmt.INTENSITY}"]
            dictionary: list[str] = []
        else:
            fields = [index_field,
                      pa.field(fmt.chunk_column(fmt.MZ, "start"), pa.float64()),
                      pa.field(fmt.chunk_column(fmt.MZ, "end"), pa.float64()),
                      pa.field(fmt.chunk_column(fmt.MZ, "values"), pa.large_list(pa.float64())),
                      pa.field(fmt.CHUNK_ENCODING_COLUMN, pa.large_string()),
                      pa.field(fmt.INTENSITY, pa.large_list(pa.float32()))]
            if self.numpress:
                fields.append(pa.field(fmt.NUMPRESS_LINEAR_COLUMN, pa.large_list(pa.uint8())))
            array_index = fmt.chunk_array_index(fmt.SPECTRUM, numpress=self.numpress, null_marking=self.null_marking)
            prefix = fmt.CHUNK
            floats = [f"{prefix}.{fmt.chunk_column(fmt.MZ, 'start')}", f"{prefix}.{fmt.chunk_column(fmt.MZ, 'end')}",
                      f"{prefix}.{fmt.chunk_column(fmt.MZ, 'values')}.list.element",
                      f"{prefix}.{fmt.INTENSITY}.list.element"]
            dictionary = [f"{prefix}.{fmt.CHUNK_ENCODING_COLUMN}"]
        self.struct = pa.struct(fields)
        key = fmt.ARRAY_INDEX_KEY.format(entity=fmt.SPECTRUM)
        self.schema = pa.schema([pa.field(layout, self.struct, nullable=False)],
                                metadata={key: json.dumps(array_index)})
        encodings = {name: "BYTE_STREAM_SPLIT" for name in floats}
        encodings[f"{layout}.{fmt.SPECTRUM_INDEX}"] = "DELTA_BINARY_PACKED"
        import pyarrow.parquet as pq  # type: ignore[import-untyped, unused-ignore]
        self.sink = path if isinstance(path, MemberFile) else None
        self.writer = pq.ParquetWriter(path if isinstance(path, MemberFile) else os.fspath(path), self.schema,
                                       compression=compression,
                                       use_dictionary=dictionary, column_encoding=encodings,
                                       write_page_index=True, write_statistics=True)
        self.pending = _Pending()

    def add(self, index: int, mz: npt.NDArray[np.float64], intensity: npt.NDArray[np.float32]) -> \
            list[float] | None:
        """Adds a spectrum's points; returns the m/z spacing model of its
        null-marked points, None when none are."""
        if mz.size == 0:
            return None
        pending = self.pending
        model = None
        if self.layout == fmt.POINT:
            pending.add("index", np.full(mz.size, index, dtype=np.uint64))
            pending.add("mz", mz)
            pending.add("intensity", intensity)
        else:
            if self.null_marking:
                nulls, starts, found = mark_nulls(mz, intensity, self.width, fmt.NULL_MARKING_BOUND)
                model = None if found is None else found.tolist()
            else:
                nulls, starts = None, chunk_starts(mz, self.width)
            first, last, values, offsets, value_nulls = encode_chunks(mz, starts, self.encoding, nulls)
            counts = np.diff(offsets)
            if self.numpress:
                ends = np.concatenate((starts[1:], [mz.size]))
                packed = [numpress_linear(mz[a:b], self.ppm) for a, b in zip(starts.tolist(), ends.tolist())]
                held = np.array([p is not None for p in packed], dtype=bool)
                keep = np.repeat(~held, counts)
                values = values[keep]
                counts = np.where(held, 0, counts)
                pending.add("numpress", held)
                pending.add("bytes", np.concatenate([p for p in packed if p is not None] or [np.zeros(0, np.uint8)]))
                pending.add("byte_counts", np.array([0 if p is None else p.size for p in packed], dtype=np.int64))
            pending.add("value_nulls", np.zeros(values.size, dtype=bool) if value_nulls is None else value_nulls)
            pending.add("intensity_nulls", np.zeros(mz.size, dtype=bool) if nulls is None else nulls)
            pending.add("index", np.full(starts.size, index, dtype=np.uint64))
            pending.add("start", first)
            pending.add("end", last)
            pending.add("values", values)
            pending.add("value_counts", counts)
            pending.add("intensity", intensity)
            pending.add("point_counts", np.diff(np.concatenate((starts, [mz.size]))))
        pending.points += mz.size
        if pending.points >= ROW_GROUP_POINTS:
            self.flush()
        return model

    def flush(self) -> None:
        pending, pa = self.pending, self.pa
        if pending.points == 0:
            return
        index = pa.array(pending.take("index", np.uint64), pa.uint64())
        if self.layout == fmt.POINT:
            children = [index, pa.array(pending.take("mz", np.float64), pa.float64()),
                        pa.array(pending.take("intensity", np.float32), pa.float32())]
        else:
            value_offsets = np.concatenate(([0], np.cumsum(pending.take("value_counts", np.int64))))
            point_offsets = np.concatenate(([0], np.cumsum(pending.take("point_counts", np.int64))))
            held = pending.take("numpress", bool) if self.numpress else np.zeros(len(index), dtype=bool)
            # (from a list: numpy object arrays would make pyarrow import pandas)
            encoding = pa.array([fmt.NUMPRESS_LINEAR if h else self.encoding for h in held.tolist()],
                                pa.large_string())
            values = pa.LargeListArray.from_arrays(pa.array(value_offsets, pa.int64()),
                                                   _nullable(pa, pending.take("values", np.float64), pa.float64(),
                                                             pending.take("value_nulls", bool)),
                                                   mask=pa.array(held) if held.any() else None)
            intensity = pa.LargeListArray.from_arrays(pa.array(point_offsets, pa.int64()),
                                                      _nullable(pa, pending.take("intensity", np.float32),
                                                                pa.float32(), pending.take("intensity_nulls", bool)))
            children = [index, pa.array(pending.take("start", np.float64), pa.float64()),
                        pa.array(pending.take("end", np.float64), pa.float64()), values, encoding, intensity]
            if self.numpress:
                byte_offsets = np.concatenate(([0], np.cumsum(pending.take("byte_counts", np.int64))))
                children.append(pa.LargeListArray.from_arrays(pa.array(byte_offsets, pa.int64()),
                                                              pa.array(pending.take("bytes", np.uint8), pa.uint8()),
                                                              mask=pa.array(~held)))
        column = pa.StructArray.from_arrays(children, fields=list(self.struct))
        self.writer.write_table(pa.Table.from_arrays([column], schema=self.schema))
        self.pending = _Pending()

    def close(self) -> None:
        try:
            self.flush()
            self.writer.close()
        finally:
            if self.sink is not None:
                self.sink.close()


# -- metadata tables ----------------------------------------------------------------------------------

def _param_type(pa: Any) -> Any:
    value = pa.struct([pa.field("integer", pa.int64()), pa.field("float", pa.float64()),
                       pa.field("string", pa.large_string()), pa.field("boolean", pa.bool_())])
    return pa.large_list(pa.struct([pa.field("value", value), pa.field("accession", pa.large_string()),
                                    pa.field("name", pa.large_string()), pa.field("unit", pa.large_string())]))


def _param_row(accession: str | None, name: str, value: Any = None, unit: str | None = None) -> dict[str, Any]:
    slot: dict[str, Any] = {"integer": None, "float": None, "string": None, "boolean": None}
    if isinstance(value, bool):
        slot["boolean"] = value
    elif isinstance(value, int):
        slot["integer"] = value
    elif isinstance(value, float):
        slot["float"] = value
    elif value is not None:
        slot["string"] = str(value)
    return {"value": slot, "accession": accession, "name": name, "unit": unit}


def _auxiliary_type(pa: Any) -> Any:
    name = pa.struct([pa.field("name", pa.large_string()), pa.field("accession", pa.large_string()),
                      pa.field("value", pa.large_string()), pa.field("unit", pa.large_string())])
    return pa.large_list(pa.struct([
        pa.field("name", name), pa.field("data", pa.large_list(pa.uint8())), pa.field("data_type", pa.large_string()),
        pa.field("compression", pa.large_string()), pa.field("unit", pa.large_string()),
        pa.field("parameters", _param_type(pa)), pa.field("data_processing_ref", pa.large_string())]))


@dataclass
class SpectrumRows:
    """The metadata of the spectra written, column by column."""

    index: list[int] = field(default_factory=list)
    id: list[str] = field(default_factory=list)
    time: list[float] = field(default_factory=list)
    ms_level: list[int | None] = field(default_factory=list)
    scan_polarity: list[int | None] = field(default_factory=list)
    spectrum_representation: list[str] = field(default_factory=list)
    spectrum_type: list[str] = field(default_factory=list)
    lowest_observed_mz: list[float | None] = field(default_factory=list)
    highest_observed_mz: list[float | None] = field(default_factory=list)
    number_of_data_points: list[int | None] = field(default_factory=list)
    number_of_peaks: list[int | None] = field(default_factory=list)
    base_peak_mz: list[float | None] = field(default_factory=list)
    base_peak_intensity: list[float | None] = field(default_factory=list)
    total_ion_current: list[float | None] = field(default_factory=list)
    scan_window: list[tuple[float, float] | None] = field(default_factory=list)
    mz_delta_model: list[list[float] | None] = field(default_factory=list)
    # precursors: (spectrum index, target m/z, collision energy)
    precursors: list[tuple[int, float | None, float | None]] = field(default_factory=list)


POLARITY = {"+": 1, "positive": 1, "-": -1, "negative": -1}


def observed_range(mz: npt.NDArray[np.float64]) -> tuple[float | None, float | None]:
    finite = mz[np.isfinite(mz)]
    if finite.size == 0:
        return None, None
    return float(finite.min()), float(finite.max())


def spectra_metadata_table(pa: Any, rows: SpectrumRows, file_level: dict[bytes, bytes]) -> Any:
    n = len(rows.index)
    empty_lists = pa.array([[] for _ in range(n)], _param_type(pa))
    columns = {
        "index": pa.array(rows.index, pa.uint64()),
        "id": pa.array(rows.id, pa.large_string()),
        "time": pa.array(rows.time, pa.float64()),
        "ms_level": pa.array(rows.ms_level, pa.int32()),
        "scan_polarity": pa.array(rows.scan_polarity, pa.int8()),
        "spectrum_representation": pa.array(rows.spectrum_representation, pa.large_string()),
        "spectrum_type": pa.array(rows.spectrum_type, pa.large_string()),
        "lowest_observed_mz": pa.array(rows.lowest_observed_mz, pa.float64()),
        "highest_observed_mz": pa.array(rows.highest_observed_mz, pa.float64()),
        "number_of_data_points": pa.array(rows.number_of_data_points, pa.uint64()),
        "number_of_peaks": pa.array(rows.number_of_peaks, pa.uint64()),
        "base_peak_mz": pa.array(rows.base_peak_mz, pa.float64()),
        "base_peak_intensity": pa.array(rows.base_peak_intensity, pa.float64()),
        "total_ion_current": pa.array(rows.total_ion_current, pa.float64()),
        "data_processing_id": pa.nulls(n, pa.large_string()),
        "parameters": empty_lists,
        "number_of_auxiliary_arrays": pa.array(np.zeros(n, dtype=np.uint32), pa.uint32()),
        "auxiliary_arrays": pa.array([[] for _ in range(n)], _auxiliary_type(pa)),
        "mz_delta_model": pa.array(rows.mz_delta_model, pa.large_list(pa.float64())),
    }
    return pa.table(columns).replace_schema_metadata(file_level)


def scans_table(pa: Any, rows: SpectrumRows) -> Any:
    n = len(rows.index)
    window = pa.struct([pa.field("scan_window_lower_limit", pa.float32()),
                        pa.field("scan_window_upper_limit", pa.float32()),
                        pa.field("parameters", _param_type(pa))])
    return pa.table({
        "source_index": pa.array(rows.index, pa.uint64()),
        "scan_index": pa.array(rows.index, pa.uint64()),
        "scan_start_time": pa.array(rows.time, pa.float64()),
        "preset_scan_configuration": pa.nulls(n, pa.uint32()),
        "filter_string": pa.nulls(n, pa.large_string()),
        "ion_injection_time": pa.nulls(n, pa.float64()),
        "ion_mobility_value": pa.nulls(n, pa.float64()),
        "ion_mobility_type": pa.nulls(n, pa.large_string()),
        "instrument_configuration_id": pa.array(np.zeros(n, dtype=np.uint32), pa.uint32()),
        "spectrum_reference": pa.nulls(n, pa.large_string()),
        "scan_windows": pa.array([[] if w is None else [{"scan_window_lower_limit": w[0],
                                                          "scan_window_upper_limit": w[1], "parameters": []}]
                                  for w in rows.scan_window], pa.large_list(window)),
        "parameters": pa.array([[] for _ in range(n)], _param_type(pa)),
    })


def precursors_table(pa: Any, rows: SpectrumRows) -> Any:
    params = _param_type(pa)
    isolation = pa.struct([pa.field("isolation_window_target", pa.float64()),
                           pa.field("isolation_window_lower_offset", pa.float64()),
                           pa.field("isolation_window_upper_offset", pa.float64()),
                           pa.field("parameters", params)])
    activation = pa.struct([pa.field("collision_energy", pa.float64()), pa.field("parameters", params)])
    cid = [_param_row(fmt.CID[0], fmt.CID[1])]
    n = len(rows.precursors)
    return pa.table({
        "source_index": pa.array([p[0] for p in rows.precursors], pa.uint64()),
        "precursor_index": pa.nulls(n, pa.uint64()),
        "precursor_id": pa.nulls(n, pa.large_string()),
        "isolation_window": pa.array([{"isolation_window_target": p[1], "isolation_window_lower_offset": None,
                                       "isolation_window_upper_offset": None, "parameters": []}
                                      for p in rows.precursors], isolation),
        "activation": pa.array([{"collision_energy": p[2], "parameters": cid} for p in rows.precursors], activation),
        "parameters": pa.array([[] for _ in range(n)], params),
    })


def selected_ions_table(pa: Any, rows: SpectrumRows) -> Any:
    n = len(rows.precursors)
    return pa.table({
        "source_index": pa.array([p[0] for p in rows.precursors], pa.uint64()),
        "precursor_index": pa.nulls(n, pa.uint64()),
        "selected_ion_mz": pa.array([p[1] for p in rows.precursors], pa.float64()),
        "charge_state": pa.nulls(n, pa.int32()),
        "intensity": pa.nulls(n, pa.float64()),
        "ion_mobility_value": pa.nulls(n, pa.float64()),
        "ion_mobility_type": pa.nulls(n, pa.large_string()),
        "parameters": pa.array([[] for _ in range(n)], _param_type(pa)),
    })


@dataclass
class Trace:
    """A chromatogram to write: times in minutes, intensities, and what the
    metadata says of it."""

    id: str
    kind: tuple[str, str]
    time: npt.NDArray[np.float64]
    intensity: npt.NDArray[np.float64]
    polarity: int | None = None
    product_mz: float | None = None
    collision_energy: float | None = None


def srm_traces(run: Any, chosen: npt.NDArray[np.uint32], skip: bool) -> list[Trace]:
    """One chromatogram per MRM channel, of the MRM scans among those
    written (Run.channel_chromatograms), times in minutes."""
    from ._targeted import channel_traces
    return [Trace(trace.native_id, fmt.SRM_CHROMATOGRAM, trace.rt / 60.0, trace.intensity, trace.polarity or None,
                  trace.product_mz, trace.collision_energy)
            for trace in channel_traces(run, "skip" if skip else "raise", chosen)]


def chromatogram_tables(pa: Any, traces: Sequence[Trace], file_level: dict[bytes, bytes]) -> tuple[Any, Any, Any]:
    """The chromatograms' metadata table, their product windows (MRM
    channels with one product m/z) and their points (point layout, time in
    minutes ascending)."""
    n = len(traces)
    parameters = [[_param_row(fmt.COLLISION_ENERGY[0], fmt.COLLISION_ENERGY[1], t.collision_energy,
                              fmt.ELECTRONVOLT)] if t.collision_energy is not None else [] for t in traces]
    metadata = pa.table({
        "index": pa.array(range(n), pa.uint64()),
        "id": pa.array([t.id for t in traces], pa.large_string()),
        "scan_polarity": pa.array([t.polarity for t in traces], pa.int8()),
        "chromatogram_type": pa.array([t.kind[0] for t in traces], pa.large_string()),
        "data_processing_id": pa.nulls(n, pa.large_string()),
        "parameters": pa.array(parameters, _param_type(pa)),
        "number_of_auxiliary_arrays": pa.array(np.zeros(n, dtype=np.uint32), pa.uint32()),
        "auxiliary_arrays": pa.array([[] for _ in range(n)], _auxiliary_type(pa)),
        "number_of_data_points": pa.array([len(t.time) for t in traces], pa.uint64()),
    }).replace_schema_metadata(file_level)
    with_product = [(position, t.product_mz) for position, t in enumerate(traces) if t.product_mz is not None]
    isolation = pa.struct([pa.field("isolation_window_target", pa.float64()),
                           pa.field("isolation_window_lower_offset", pa.float64()),
                           pa.field("isolation_window_upper_offset", pa.float64()),
                           pa.field("parameters", _param_type(pa))])
    products = pa.table({
        "source_index": pa.array([p for p, _ in with_product], pa.uint64()),
        "product_index": pa.array(range(len(with_product)), pa.uint64()),
        "isolation_window": pa.array([{"isolation_window_target": mz, "isolation_window_lower_offset": None,
                                       "isolation_window_upper_offset": None, "parameters": []}
                                      for _, mz in with_product], isolation),
        "parameters": pa.array([[] for _ in with_product], _param_type(pa)),
    })
    indices, times, values = [], [], []
    for position, trace in enumerate(traces):
        order = np.argsort(trace.time, kind="stable")
        indices.append(np.full(len(trace.time), position, dtype=np.uint64))
        times.append(np.asarray(trace.time, dtype=np.float64)[order])
        values.append(np.asarray(trace.intensity, dtype=np.float64)[order])
    struct = pa.struct([pa.field(fmt.CHROMATOGRAM_INDEX, pa.uint64(), nullable=False),
                        pa.field(fmt.TIME, pa.float64()), pa.field(fmt.INTENSITY, pa.float64())])
    array_index = fmt.point_array_index(fmt.CHROMATOGRAM, fmt.TIME, fmt.TIME_ARRAY, fmt.MINUTE)
    array_index["entries"][1]["data_type"] = fmt.FLOAT64
    key = fmt.ARRAY_INDEX_KEY.format(entity=fmt.CHROMATOGRAM)
    schema = pa.schema([pa.field(fmt.POINT, struct, nullable=False)], metadata={key: json.dumps(array_index)})
    column = pa.StructArray.from_arrays(
        [pa.array(np.concatenate(indices) if indices else np.zeros(0, np.uint64), pa.uint64()),
         pa.array(np.concatenate(times) if times else np.zeros(0), pa.float64()),
         pa.array(np.concatenate(values) if values else np.zeros(0), pa.float64())], fields=list(struct))
    return metadata, products, pa.Table.from_arrays([column], schema=schema)


# -- file-level metadata ------------------------------------------------------------------------------

def param(term: tuple[str, str], value: Any = None, unit: str | None = None) -> dict[str, Any]:
    made: dict[str, Any] = {"accession": term[0], "name": term[1]}
    if value is not None:
        made["value"] = value
    if unit is not None:
        made["unit"] = unit
    return made


def user_param(name: str, value: Any) -> dict[str, Any]:
    return {"accession": None, "name": name, "value": value}


def file_uri(path: Path) -> str:
    return path.resolve().as_uri()


class SourceHashes:
    """SHA-1 of every file of the run folder, computed on a thread while the
    spectra are written (hashlib leaves the interpreter lock for large
    blocks)."""

    def __init__(self, folder: Path) -> None:
        self.folder = folder
        self.files = sorted(p for p in folder.rglob("*") if p.is_file())
        self.digests: dict[Path, str | None] = {}
        self.thread = threading.Thread(target=self._hash, name="morvane-mzpeak-sha1", daemon=True)
        self.thread.start()

    def _hash(self) -> None:
        for path in self.files:
            digest = hashlib.sha1(usedforsecurity=False)
            try:
                with open(path, "rb") as file:
                    while block := file.read(_HASH_BLOCK):
                        digest.update(block)
                self.digests[path] = digest.hexdigest()
            except OSError:
                self.digests[path] = None

    def result(self) -> dict[Path, str | None]:
        self.thread.join()
        return self.digests


def source_files(run_folder: Path, digests: dict[Path, str | None],
                 shown: Path | None = None) -> tuple[list[dict[str, Any]], str]:
    """One entry per file of the run folder; the scan table's entry carries
    the native id format (the spectra's ids are its scan numbers). Returns
    the entries and the id of the scan table's. shown: where the locations
    say the run folder is (a run unpacked from an archive: the archive)."""
    shown = run_folder if shown is None else shown
    entries: list[dict[str, Any]] = []
    default = ""
    for number, (path, digest) in enumerate(sorted(digests.items())):
        relative = path.relative_to(run_folder).as_posix()
        parameters: list[dict[str, Any]] = [param(fmt.SOURCE_FORMAT)]
        identifier = f"SF{number}"
        if path.name.lower() == "msscan.bin":
            parameters.append(param(fmt.NATIVE_ID_FORMAT))
            default = identifier
        if digest is not None:
            parameters.append(param(fmt.SHA1, digest))
        parameters.append(user_param("path in run folder", relative))
        entries.append({"id": identifier, "name": path.name,
                        "location": file_uri(shown.joinpath(*path.parent.relative_to(run_folder).parts)),
                        "parameters": parameters})
    if not default and entries:
        default = entries[0]["id"]
    if not entries:
        default = "SF0"
        entries.append({"id": default, "name": shown.name, "location": file_uri(shown),
                        "parameters": [param(fmt.SOURCE_FORMAT), param(fmt.NATIVE_ID_FORMAT)]})
    return entries, default


@dataclass(frozen=True)
class Settings:
    mode: str
    picking: tuple[int, int, int, float]
    encoding: str
    chunk_width: float
    strip_zero_runs: bool
    compression: str
    ms_level: Any
    rt: Any
    numpress_ppm: float = 0.1
    keep_spikes: bool = False


def file_level_metadata(run: Any, settings: Settings, rows: SpectrumRows, skipped: Sequence[Skipped],
                        digests: dict[Path, str | None]) -> dict[str, Any]:
    info = run.info if isinstance(run.info, dict) else {}
    device = run.device or {}
    folder = Path(run.path)
    sources, default_source = source_files(folder, digests, Path(getattr(run, "origin", run.path)))
    contents = []
    levels = {level for level in rows.ms_level}
    if not rows.ms_level or 1 in levels:
        contents.append(param(fmt.MS1_SPECTRUM))
    if any(level is not None and level >= 2 for level in levels):
        contents.append(param(fmt.MSN_SPECTRUM))
    if None in levels:
        contents.append(param(fmt.MASS_SPECTRUM))
    for representation, term in ((fmt.PROFILE, ("MS:1000128", "profile spectrum")),
                                 (fmt.CENTROID, ("MS:1000127", "centroid spectrum"))):
        if representation in rows.spectrum_representation:
            contents.append(param(term))
    try:
        analyzer = run_analyzer(run._handle)
    except Exception:  # noqa: BLE001 - a run without a known analyzer is still described
        analyzer = ""
    analyzer_term = fmt.ANALYZERS.get(str(analyzer).lower(), fmt.ANALYZER_TYPE)
    described = info.get("instrument")
    instrument: dict[str, Any] = described if isinstance(described, dict) else {}
    model = instrument.get("accession")
    instrument_params = [param((model, str(instrument.get("name") or model))) if isinstance(model, str)
                         and model.startswith("MS:") else param(fmt.AGILENT_MODEL)]
    for key, name in (("model", "instrument model number"), ("name", "instrument name")):
        if device.get(key):
            instrument_params.append(user_param(name, str(device[key])))
    if info.get("instrument_serial_number"):
        instrument_params.append(param(fmt.SERIAL_NUMBER, str(info["instrument_serial_number"])))
    software = [
        {"id": "karvel", "version": __version__, "parameters": [param(fmt.CUSTOM_SOFTWARE, "karvel")]},
        {"id": "acquisition", "version": str(info.get("acquisition_software_version") or "unknown"),
         "parameters": [param(fmt.CUSTOM_SOFTWARE, str(info.get("acquisition_software_name") or "unknown"))]},
    ]
    choice, low, high, snr = settings.picking
    conversion = [param(fmt.FILE_FORMAT_CONVERSION),
                  user_param("conversion mode", settings.mode),
                  user_param("m/z chunk encoding", settings.encoding),
                  *([user_param("m/z numpress accuracy (ppm of the chunk's largest m/z)", settings.numpress_ppm)]
                    if settings.encoding == fmt.NUMPRESS_LINEAR else []),
                  user_param("m/z chunk width", settings.chunk_width),
                  user_param("zero runs stripped", settings.strip_zero_runs),
                  user_param("parquet compression", settings.compression)]
    if settings.ms_level is not None:
        conversion.append(user_param("ms level filter", json.dumps(settings.ms_level)))
    if settings.rt is not None:
        conversion.append(user_param("retention time filter (seconds)", json.dumps(list(settings.rt))))
    methods = [{"order": 0, "software_reference": "karvel", "parameters": conversion}]
    if settings.mode in ("pick", "pick-all"):
        methods.append({"order": 1, "software_reference": "karvel", "parameters": [
            param(fmt.PEAK_PICKING),
            *(user_param(name, value) for name, value in
              peak_picking_params(settings.mode, snr, settings.keep_spikes, low, high))]})
    run_name = folder.name[:-2] if folder.name.lower().endswith(".d") and len(folder.name) > 2 else folder.name
    start = info.get("start_timestamp")
    run_params = [user_param("integrity event", f"{event.kind}: {event.count} {SUMMARIES[event.kind]}; "
                             f"first: {event.first}") for event in events_of(run._handle)]
    run_params += [user_param("skipped spectrum", f"{s.native_id}: {s.reason}") for s in skipped]
    return {
        "cv_list": [dict(cv) for cv in fmt.CV_LIST],
        "file_description": {"contents": contents, "source_files": sources},
        "instrument_configuration_list": [{
            "id": 0, "software_reference": "acquisition", "parameters": instrument_params,
            "components": [
                {"component_type": "ionsource", "order": 1, "parameters": [param(fmt.IONIZATION_TYPE)]},
                {"component_type": "analyzer", "order": 2, "parameters": [param(analyzer_term)]},
                {"component_type": "detector", "order": 3, "parameters": [param(fmt.DETECTOR_TYPE)]},
            ]}],
        "software_list": software,
        "data_processing_method_list": [{"id": "conversion", "methods": methods}],
        "sample_list": [],
        "run": {"id": run_name, "default_instrument_id": 0, "default_data_processing_id": "conversion",
                "default_source_file_id": default_source,
                "start_time": start if isinstance(start, str) and _rfc3339(start) else None,
                "parameters": run_params},
    }


_RFC3339 = re.compile(r"\d{4}-\d\d-\d\d[Tt ]\d\d:\d\d:\d\d(\.\d+)?([Zz]|[+-]\d\d:\d\d)")


def _rfc3339(text: str) -> bool:
    return _RFC3339.fullmatch(text) is not None


def footer_metadata(document: dict[str, Any]) -> dict[bytes, bytes]:
    return {key.encode(): json.dumps(document[key]).encode() for key in fmt.FILE_LEVEL_KEYS}


def index_document(members: Sequence[tuple[str, str, str]], metadata: dict[str, Any]) -> dict[str, Any]:
    mappings = {
        fmt.SPECTRA_METADATA: fmt.SPECTRUM_COLUMNS,
        fmt.SPECTRA_SCANS: fmt.SCAN_COLUMNS,
        fmt.SPECTRA_PRECURSORS: fmt.PRECURSOR_COLUMNS,
        fmt.SPECTRA_SELECTED_IONS: fmt.SELECTED_ION_COLUMNS,
        fmt.CHROMATOGRAMS_METADATA: fmt.CHROMATOGRAM_COLUMNS,
        fmt.CHROMATOGRAMS_PRODUCTS: fmt.PRODUCT_COLUMNS,
    }
    files = [{"name": name, "entity_type": entity, "data_kind": kind,
              "column_mapping": fmt.column_mapping(mappings.get((name, entity, kind), ())), "parameters": []}
             for name, entity, kind in members]
    return {"files": files, "metadata": {"version": fmt.FORMAT_VERSION, **metadata}}


# -- the pass -----------------------------------------------------------------------------------------

def write_table(table: Any, path: Path, **options: Any) -> None:
    """table as a Parquet file with a page index; an empty table gives a
    file of no row groups (an empty row group would carry no page index)."""
    import pyarrow.parquet as pq  # type: ignore[import-untyped, unused-ignore]
    with pq.ParquetWriter(os.fspath(path), table.schema, write_page_index=True, write_statistics=True,
                          **options) as writer:
        if table.num_rows:
            writer.write_table(table)

def scan_window(window: tuple[float, float] | None) -> tuple[float, float] | None:
    """The scan's window as its 32-bit limits; None unless both are finite
    and in order (a damaged record states none)."""
    if window is None:
        return None
    with np.errstate(over="ignore"):
        low, high = np.float32(window[0]), np.float32(window[1])
    return (float(low), float(high)) if np.isfinite(low) and np.isfinite(high) and low <= high else None


def _finite_or_none(value: Any) -> float | None:
    return None if value is None else float(value)


def paired(own: Iterator[Any], centroids: Iterator[Any] | None) -> Iterator[tuple[Any, Any]]:
    """Each spectrum of own with the spectrum of the same index from
    centroids (None without them); with skipped errors a spectrum one of the
    streams left out is left out of the pairs."""
    if centroids is None:
        for spectrum in own:
            yield spectrum, None
        return
    other = next(centroids, None)
    for spectrum in own:
        while other is not None and other.index < spectrum.index:
            other = next(centroids, None)
        if other is not None and other.index == spectrum.index:
            yield spectrum, other
            other = next(centroids, None)


def write_members(run: Any, folder: Path, positions: npt.NDArray[np.uint32], settings: Settings, threads: int,
                  progress: bool, hashes: SourceHashes, skip: bool,
                  rooms: bool = False) -> tuple[list[Skipped], list[MemberFile]]:
    """Writes every member into folder, each spectrum decoded once; returns
    the spectra left out with skip (those that fail to decode) and, with
    rooms, the signal tables as MemberFiles with room for their ZIP entry
    header."""
    pa = import_pyarrow()
    choice, low, high, snr = settings.picking
    rows = SpectrumRows()
    tic_time: list[float] = []
    tic: list[float] = []
    bpc: list[float] = []
    sinks = [MemberFile(folder / name, header_room(name)) if rooms else folder / name
             for name in (fmt.SPECTRA_DATA[0], fmt.SPECTRA_PEAKS[0])]
    data = SignalWriter(sinks[0], fmt.CHUNK, settings.compression, settings.encoding,
                        settings.chunk_width, settings.numpress_ppm, null_marking=settings.strip_zero_runs)
    peaks = SignalWriter(sinks[1], fmt.POINT, settings.compression)
    own = run._handle.spectra(positions, 0, skip, threads)
    centroids = run._handle.spectra(positions, choice, skip, threads, low, high, snr, settings.keep_spikes) if choice != 0 else None
    try:
        with spectra_bar(progress, len(positions), Path(run.path).name) as bar:
            for number, (spectrum, other) in enumerate(paired(own, centroids)):
                mz, intensity = sorted_arrays(np.asarray(spectrum.mz), np.asarray(spectrum.intensity))
                profile = spectrum.mode == "profile"
                points = peaks_count = model = None
                if profile:
                    if settings.strip_zero_runs:
                        keep = zero_run_kept(intensity)
                        if not keep.all():
                            mz, intensity = mz[keep], intensity[keep]
                    model = data.add(number, mz, intensity)
                    points = int(mz.size)
                    if other is not None and other.mode == "centroid":
                        picked_mz, picked = sorted_arrays(np.asarray(other.mz), np.asarray(other.intensity))
                        peaks.add(number, picked_mz, picked)
                        peaks_count = int(picked_mz.size)
                else:
                    peaks.add(number, mz, intensity)
                    peaks_count = int(mz.size)
                level = int(spectrum.ms_level)
                low_mz, high_mz = observed_range(mz)
                rows.index.append(number)
                rows.id.append(spectrum.native_id)
                rows.time.append(float(spectrum.rt) / 60.0)
                rows.ms_level.append(level if level > 0 else None)
                rows.scan_polarity.append(POLARITY.get(str(spectrum.polarity).lower()) if spectrum.polarity else None)
                rows.spectrum_representation.append(fmt.PROFILE if profile else fmt.CENTROID)
                rows.spectrum_type.append(fmt.MSN_SPECTRUM[0] if level >= 2 else fmt.MS1_SPECTRUM[0] if level == 1
                                          else fmt.MASS_SPECTRUM[0])
                rows.lowest_observed_mz.append(low_mz)
                rows.highest_observed_mz.append(high_mz)
                rows.number_of_data_points.append(points)
                rows.number_of_peaks.append(peaks_count)
                rows.mz_delta_model.append(model)
                rows.base_peak_mz.append(_finite_or_none(spectrum.base_peak_mz))
                rows.base_peak_intensity.append(_finite_or_none(spectrum.base_peak_intensity))
                rows.total_ion_current.append(_finite_or_none(spectrum.tic))
                rows.scan_window.append(scan_window(spectrum.scan_window))
                if level >= 2 and (spectrum.precursor_mz is not None or spectrum.collision_energy is not None):
                    rows.precursors.append((number, _finite_or_none(spectrum.precursor_mz),
                                            _finite_or_none(spectrum.collision_energy)))
                if level == 1:
                    tic_time.append(float(spectrum.rt) / 60.0)
                    tic.append(float(spectrum.tic))
                    bpc.append(float(spectrum.base_peak_intensity or 0.0))
                if bar is not None:
                    bar.update(1)
            if bar is not None:
                bar.update(bar.total - bar.n)  # the spectra left out with skip
    finally:
        data.close()
        peaks.close()
        own.close()
        if centroids is not None:
            centroids.close()
    failures = dict(reversed(own.skipped + (centroids.skipped if centroids is not None else [])))
    skipped = skipped_of(run, sorted(failures.items()))
    document = file_level_metadata(run, settings, rows, skipped, hashes.result())
    footer = footer_metadata(document)
    compression = {"compression": settings.compression}
    write_table(spectra_metadata_table(pa, rows, footer), folder / fmt.SPECTRA_METADATA[0], **compression)
    write_table(scans_table(pa, rows), folder / fmt.SPECTRA_SCANS[0], **compression)
    write_table(precursors_table(pa, rows), folder / fmt.SPECTRA_PRECURSORS[0], **compression)
    write_table(selected_ions_table(pa, rows), folder / fmt.SPECTRA_SELECTED_IONS[0], **compression)
    traces = [Trace("TIC", fmt.TIC_CHROMATOGRAM, np.array(tic_time), np.array(tic)),
              Trace("BPC", fmt.BPC_CHROMATOGRAM, np.array(tic_time), np.array(bpc)),
              *srm_traces(run, without(positions, skipped), skip)]
    chromatogram_metadata, products, chromatogram_points = chromatogram_tables(pa, traces, footer)
    write_table(chromatogram_metadata, folder / fmt.CHROMATOGRAMS_METADATA[0], **compression)
    write_table(products, folder / fmt.CHROMATOGRAMS_PRODUCTS[0], **compression)
    write_table(chromatogram_points, folder / fmt.CHROMATOGRAMS_DATA[0], use_dictionary=False,
                column_encoding={f"{fmt.POINT}.{fmt.CHROMATOGRAM_INDEX}": "DELTA_BINARY_PACKED",
                                 f"{fmt.POINT}.{fmt.TIME}": "BYTE_STREAM_SPLIT"}, **compression)
    members = (fmt.SPECTRA_METADATA, fmt.SPECTRA_SCANS, fmt.SPECTRA_PRECURSORS, fmt.SPECTRA_SELECTED_IONS,
               fmt.SPECTRA_DATA, fmt.SPECTRA_PEAKS, fmt.CHROMATOGRAMS_METADATA, fmt.CHROMATOGRAMS_PRODUCTS,
               fmt.CHROMATOGRAMS_DATA)
    index = index_document(members, document)
    (folder / fmt.INDEX_NAME).write_text(json.dumps(index, indent=1, allow_nan=False), encoding="utf-8")
    return skipped, [sink for sink in sinks if isinstance(sink, MemberFile)]


MEMBER_ORDER = (fmt.SPECTRA_METADATA[0], fmt.SPECTRA_SCANS[0], fmt.SPECTRA_PRECURSORS[0],
                fmt.SPECTRA_SELECTED_IONS[0], fmt.SPECTRA_DATA[0], fmt.SPECTRA_PEAKS[0],
                fmt.CHROMATOGRAMS_METADATA[0], fmt.CHROMATOGRAMS_PRODUCTS[0], fmt.CHROMATOGRAMS_DATA[0],
                fmt.INDEX_NAME)


def pack(folder: Path, target: Path, written: Sequence[MemberFile] = ()) -> None:
    """The members as an uncompressed ZIP file, the index last; the same
    members give the same bytes (entries carry no time of their own). The
    largest of `written` (members left room for their header) becomes
    target, its entry first; the rest follow it."""
    base = max(written, key=lambda member: member.size, default=None)
    if base is not None:
        os.replace(base.path, target)
    rooms = {member.path.name: member.room for member in written}
    with open(target, "r+b" if base is not None else "wb") as file:
        file.seek(0, os.SEEK_END)
        with zipfile.ZipFile(file, "w", compression=zipfile.ZIP_STORED, allowZip64=True) as archive:
            if base is not None:
                first = entry_info(base.path.name)
                first.header_offset = 0
                first.CRC, first.file_size, first.compress_size = base.crc, base.size, base.size
                archive.filelist.append(first)
                archive.NameToInfo[first.filename] = first
            for name in MEMBER_ORDER:
                if base is not None and name == base.path.name:
                    continue
                with open(folder / name, "rb") as source, archive.open(entry_info(name), "w",
                                                                       force_zip64=True) as member:
                    source.seek(rooms.get(name, 0))
                    shutil.copyfileobj(source, member, _HASH_BLOCK)
        if base is not None:
            file.seek(0)
            file.write(first.FileHeader(zip64=True))  # of header_room's size: the sizes are in its ZIP64 field


@contextlib.contextmanager
def staging(target: Path) -> Iterator[Path]:
    """A hidden folder beside target for the members, removed afterwards."""
    remove_stale_temporaries(target.parent)
    folder = temporary_name(target)
    # Made inside the block that removes it: a stop signal handled the
    # moment mkdir returns must not leave the folder behind.
    try:
        try:
            folder.mkdir()
        except OSError as error:
            raise named_after(error, target, folder) from None
        yield folder
    finally:
        shutil.rmtree(folder, ignore_errors=True)


def publish_folder(folder: Path, target: Path) -> None:
    """Renames the finished member folder to target (a folder of an earlier
    conversion there is replaced)."""
    for entry in folder.iterdir():
        synced(entry)
    sync_folder(folder)
    aside = None
    if target.exists():
        if not target.is_dir():
            raise FileExistsError(17, os.strerror(17), os.fspath(target))
        aside = temporary_name(target)
    try:
        if aside is not None:
            os.replace(target, aside)
        os.replace(folder, target)
    except BaseException:
        # A stop signal or a failure between the two renames: the earlier
        # folder goes back under target (set aside under a temporary name it
        # would be removed as stale by the next conversion).
        if aside is not None and aside.exists() and not target.exists():
            os.replace(aside, target)
        raise
    sync_folder(target.parent)
    if aside is not None:
        shutil.rmtree(aside, ignore_errors=True)


def to_mzpeak(run: Any, out: str | os.PathLike[str], *, ms_level: Any = None, rt: Any = None, mode: str = "auto",
              layout: str = "zip", mz_encoding: str = "delta", chunk_width: float = fmt.DEFAULT_CHUNK_WIDTH,
              strip_zero_runs: bool = True, progress: bool = False, compression: str = "zstd",
              threads: int | None = None, errors: str = "raise", centroid_ms_levels: Any = None,
              snr: float = 3.0, numpress_mz_ppm: float = 0.1, keep_spikes: bool = False) -> list[Skipped]:
    """Writes the run's spectra (those passing ms_level and rt, as in
    Run.spectra) as an mzPeak archive at out: a ZIP file of uncompressed
    members (layout="zip", named RUN.mzpeak by convert) or the same members
    in a folder (layout="folder"). Returns the spectra left out with
    errors="skip" (also listed in the run's parameters as "skipped
    spectrum" and in run.skipped).

    Profile spectra are stored in chunks of chunk_width m/z, their m/z
    delta-encoded (mz_encoding="delta", lossless to a few units in the last
    place), as they are ("basic") or in MS-Numpress linear prediction
    ("numpress": each m/z within numpress_mz_ppm parts per million of its
    chunk's largest; a chunk numpress cannot hold is delta-encoded), zero
    runs stripped unless
    strip_zero_runs=False; centroid spectra one row per peak. mode as in
    to_mzml: "stored" also stores the centroids of scans that have both
    blocks, "pick"/"pick-all" add picked centroids beside each profile
    (centroid_ms_levels, snr and keep_spikes as there). The output appears only
    complete: written under a temporary name and renamed."""
    import_pyarrow()
    if layout not in LAYOUTS:
        raise ValueError(f"layout must be 'zip' or 'folder', not {layout!r}")
    if mz_encoding not in fmt.ENCODINGS:
        raise ValueError(f"mz_encoding must be 'delta', 'basic' or 'numpress', not {mz_encoding!r}")
    ppm = _args.mz_ppm(numpress_mz_ppm)
    if isinstance(chunk_width, bool) or not isinstance(chunk_width, (int, float)) \
            or not (chunk_width > 0 and math.isfinite(chunk_width)):
        raise ValueError(f"chunk_width must be a positive number of m/z, not {chunk_width!r}")
    skip = _args.skip(errors)
    picking = _args.picking(mode, centroid_ms_levels, snr)
    workers = _args.threads(threads)
    positions = selected_or_refused(run, ms_level, rt)
    settings = Settings(mode, picking, fmt.ENCODINGS[mz_encoding], float(chunk_width), bool(strip_zero_runs),
                        compression, ms_level, rt, ppm, bool(keep_spikes))
    target = Path(os.fspath(out))
    remove_stale_temporaries(target.parent if str(target.parent) else Path("."))
    hashes = SourceHashes(Path(run.path))

    def write() -> tuple[None, list[tuple[int, str]]]:
        with staging(target) as folder:
            skipped, written = write_members(run, folder, positions, settings, workers, progress, hashes, skip,
                                             rooms=layout == "zip")
            if layout == "folder":
                publish_folder(folder, target)
            else:
                with written_atomically(target) as partial:
                    pack(folder, partial, written)
        return None, [(s.index, s.reason) for s in skipped]

    return in_one_pass(run, write)[1]
