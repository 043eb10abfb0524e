"""A run's peaks as one Parquet file: one row per peak, written from the
run's Arrow peak stream with pyarrow (an optional dependency).

Columns, in this order:

    spectrum_index  uint32   position of the spectrum in the run (0-based)
    scan_id         uint32   the scan's number in the data folder
    ms_level        uint8
    rt              float64  retention time, seconds
    mz              float64
    intensity       float32
    precursor_mz    float64  null when the spectrum has no precursor
    polarity        int8     +1 positive, -1 negative, 0 unknown

Spectra without peaks have no rows. The file's key-value metadata holds
`run_info` and `device` as JSON (the run's `info` and `device`) and
`skipped`, a JSON list of the spectra left out because they cannot be
decoded (errors="skip"): objects with `index`, `native_id` and `reason`;
`integrity`, a JSON list of the problems the reader met and worked around
(objects with `kind`, `count` and `first`, see Run.integrity); and
`source`, where the run was read from (the archive of an unpacked run).

A run with MRM scans also gets its selected reaction monitoring
chromatograms, one per channel among the spectra written, as a second file
beside the peaks (RUN.parquet -> RUN.chromatograms.parquet), one row per
point, channel after channel:

    native_id         dictionary<string>  mrm_channel=N, as the spectra name their channel
    channel           uint32   the MRM channel id
    rt                float64  retention time of the scan, seconds
    intensity         float64  the sum of the scan's points
    product_mz        float64  the m/z the channel's points share (null: they differ)
    collision_energy  float64  the channel's one collision energy (null: none known)
    polarity          int8     +1, -1, 0 unknown or mixed

with the peak file's key-value metadata (see Run.channel_chromatograms).
"""

from __future__ import annotations

import contextlib
import json
import os
from collections.abc import Generator, Iterator, Sequence
from pathlib import Path
from typing import Any, TypeAlias

import numpy as np

from . import _args
from ._atomic import written_atomically
from ._output import selected_or_refused
from ._progress import spectra_bar
from ._integrity import check_strict, display_name, events_of
from ._salvage import Skipped, in_one_pass, skipped_of, without
from ._targeted import channel_traces

# pyarrow has no type information: its objects are typed as Any here.
Schema: TypeAlias = Any
RecordBatch: TypeAlias = Any
Table: TypeAlias = Any

COLUMNS: tuple[tuple[str, str], ...] = (
    ("spectrum_index", "uint32"),
    ("scan_id", "uint32"),
    ("ms_level", "uint8"),
    ("rt", "double"),
    ("mz", "double"),
    ("intensity", "float"),
    ("precursor_mz", "double"),
    ("polarity", "int8"),
)
FLOAT_COLUMNS = ("rt", "mz", "intensity", "precursor_mz")
# Sorted or near-constant integers: deltas of zero pack to almost nothing.
DELTA_COLUMNS = ("spectrum_index", "scan_id")
# Few distinct values: dictionary pages with run-length encoded indices.
DICTIONARY_COLUMNS = ("ms_level", "polarity")
CHROMATOGRAMS_SUFFIX = ".chromatograms.parquet"
ROW_GROUP_SIZE = 1_048_576
INSTALL_HINT = "writing Parquet needs pyarrow: pip install 'karvel[parquet]'"


def import_pyarrow() -> Any:
    """pyarrow and pyarrow.parquet, or ImportError saying how to install them."""
    try:
        import pyarrow  # type: ignore[import-untyped, unused-ignore]
        import pyarrow.parquet  # type: ignore[import-untyped, unused-ignore]
    except ImportError as error:
        raise ImportError(INSTALL_HINT) from error
    return pyarrow


def writer_options(compression: str) -> dict[str, Any]:
    """The column encodings and file options every peak file is written with
    (the benchmark writes its floor with the same)."""
    encodings = {name: "BYTE_STREAM_SPLIT" for name in FLOAT_COLUMNS}
    encodings.update({name: "DELTA_BINARY_PACKED" for name in DELTA_COLUMNS})
    return {
        "compression": compression,
        "use_dictionary": list(DICTIONARY_COLUMNS),
        "column_encoding": encodings,
        "write_page_index": True,
        "write_statistics": True,
    }


def file_metadata(run: Any, skipped: Sequence[Skipped] = ()) -> dict[bytes, bytes]:
    """The file's key-value metadata; `integrity` lists the problems the
    reader met and worked around (see Run.integrity), `source` where the run
    was read from (an archive for a run unpacked from one)."""
    return {
        b"run_info": json.dumps(run.info, sort_keys=True).encode(),
        b"device": json.dumps(run.device, sort_keys=True).encode(),
        b"skipped": json.dumps([s.as_json() for s in skipped]).encode(),
        b"integrity": json.dumps([event.as_json() for event in events_of(run._handle)]).encode(),
        b"source": os.fsencode(run.origin),
    }


def chromatograms_path(out: str | os.PathLike[str]) -> Path:
    """Where the chromatogram table of the peak file `out` goes: beside it,
    RUN.parquet -> RUN.chromatograms.parquet."""
    peaks = Path(os.fspath(out))
    stem = peaks.name[:-len(".parquet")] if peaks.name.endswith(".parquet") else peaks.name
    return peaks.with_name(stem + CHROMATOGRAMS_SUFFIX)


def chromatogram_table(run: Any, positions: Any, metadata: dict[bytes, bytes]) -> Table | None:
    """The MRM channels' chromatograms of the spectra at positions as one
    long table (see the module's description); None when they have none."""
    pyarrow = import_pyarrow()
    traces = channel_traces(run, "raise", positions)
    if not traces:
        return None
    lengths = [trace.rt.size for trace in traces]

    def repeated(values: list[Any], kind: Any) -> Any:
        return pyarrow.array(values, kind).take(pyarrow.array(np.repeat(np.arange(len(traces)), lengths)))

    names = pyarrow.DictionaryArray.from_arrays(
        pyarrow.array(np.repeat(np.arange(len(traces), dtype=np.int32), lengths)),
        pyarrow.array([trace.native_id for trace in traces], pyarrow.string()))
    columns = {
        "native_id": names,
        "channel": repeated([trace.channel for trace in traces], pyarrow.uint32()),
        "rt": pyarrow.array(np.concatenate([trace.rt for trace in traces]), pyarrow.float64()),
        "intensity": pyarrow.array(np.concatenate([trace.intensity for trace in traces]), pyarrow.float64()),
        "product_mz": repeated([trace.product_mz for trace in traces], pyarrow.float64()),
        "collision_energy": repeated([trace.collision_energy for trace in traces], pyarrow.float64()),
        "polarity": repeated([trace.polarity for trace in traces], pyarrow.int8()),
    }
    return pyarrow.table(columns).replace_schema_metadata(metadata)


def write_chromatograms(run: Any, target: str | os.PathLike[str], positions: Any, skipped: Sequence[Skipped],
                        compression: str) -> None:
    """The chromatogram table of the spectra at positions (None: none),
    written to `target` when complete. Without chromatograms nothing is
    written, and a table an earlier conversion left there goes."""
    pyarrow = import_pyarrow()
    table = None if positions is None else chromatogram_table(run, positions, file_metadata(run, skipped))
    if table is None:
        Path(os.fspath(target)).unlink(missing_ok=True)
        return
    with written_atomically(target) as partial:
        pyarrow.parquet.write_table(table, os.fspath(partial), compression=compression,
                                    use_dictionary=["native_id", "channel", "product_mz", "collision_energy",
                                                    "polarity"],
                                    column_encoding={"rt": "BYTE_STREAM_SPLIT", "intensity": "BYTE_STREAM_SPLIT"},
                                    write_statistics=True)


def check_schema(schema: Schema) -> None:
    found = [(field.name, str(field.type)) for field in schema]
    if found != list(COLUMNS):
        raise TypeError(f"the peak stream has columns {found}, expected {list(COLUMNS)}")


def row_groups(batches: Iterator[RecordBatch], schema: Schema, size: int) -> Generator[Table]:
    """Tables of exactly `size` rows (the last one may be shorter) cut from
    the stream's batches, holding at most one row group plus one batch."""
    pyarrow = import_pyarrow()
    pending: list[RecordBatch] = []
    pending_rows = 0
    for batch in batches:
        pending.append(batch)
        pending_rows += batch.num_rows
        if pending_rows < size:
            continue
        table = pyarrow.Table.from_batches(pending, schema)
        whole = pending_rows - pending_rows % size
        for start in range(0, whole, size):
            yield table.slice(start, size)
        rest = table.slice(whole)
        pending = rest.to_batches()
        pending_rows = rest.num_rows
    if pending_rows:
        yield pyarrow.Table.from_batches(pending, schema)


def decoded(batches: Iterator[RecordBatch], stream: Any) -> Generator[RecordBatch]:
    """The stream's batches; when the stream fails, the error that ended it
    as morvane raises it (FormatError, an OSError naming its file,
    MemoryError), not what pyarrow made of its text."""
    try:
        yield from batches
    except Exception:
        failure = stream.failure()
        if failure is None:
            raise
        raise failure from None


def spectra_started(table: Table, previous: int) -> tuple[int, int]:
    """How many spectra begin in this row group (a spectrum may continue
    from the previous one, whose last spectrum index is `previous`), and its
    last spectrum index."""
    indices = table.column("spectrum_index")
    if len(indices) == 0:
        return 0, previous
    first, last = indices[0].as_py(), indices[-1].as_py()
    return len(indices.unique()) - (first == previous), last


def write_peaks(run: Any, path: str | os.PathLike[str], *, ms_level: Any = None, rt: Any = None, mode: str = "auto",
                progress: bool = False, row_group_size: int = ROW_GROUP_SIZE, compression: str = "zstd",
                threads: int | None = None, errors: str = "raise", centroid_ms_levels: Any = None,
                snr: float = 3.0, strict: bool = False, keep_spikes: bool = False, srm: bool = True,
                chromatograms: str | os.PathLike[str] | None = None) -> int:
    """Writes the peak rows to `path` as they stream (no temporary name);
    returns the number of rows. With threads=1 everything happens in the
    calling thread; otherwise the stream decodes ahead on `threads` threads
    of the shared pool (None: the cores) while this one writes.
    errors="skip", strict and srm: as in to_parquet; the chromatogram table
    goes to `chromatograms` (None: it is not written), after the peaks."""
    import_pyarrow()
    if row_group_size < 1:
        raise ValueError(f"row_group_size must be positive, not {row_group_size}")
    skip = _args.skip(errors) and not strict
    if strict:
        check_strict(events_of(run._handle), display_name(run.origin))
    picking = _args.picking(mode, centroid_ms_levels, snr)
    workers = _args.threads(threads)
    positions = selected_or_refused(run, ms_level, rt)

    def write() -> tuple[int, list[tuple[int, str]]]:
        rows, failures = write_selection(run, path, positions, skip, picking=picking, progress=progress,
                                         row_group_size=row_group_size, compression=compression,
                                         threads=workers, keep_spikes=keep_spikes)
        if chromatograms is not None:
            skipped = skipped_of(run, failures)
            write_chromatograms(run, chromatograms, without(positions, skipped) if srm else None, skipped,
                                compression)
        return rows, failures

    return in_one_pass(run, write)[0]


def write_selection(run: Any, path: str | os.PathLike[str], positions: Any, skip: bool, *,
                    picking: tuple[int, int, int, float], progress: bool, row_group_size: int, compression: str,
                    threads: int, keep_spikes: bool = False) -> tuple[int, list[tuple[int, str]]]:
    """The peak rows of the spectra at positions, written to `path`, each
    spectrum decoded once; returns the number of rows and, with skip, the
    spectra left out as (index, reason). The metadata names them: when any
    is left out, the file is written again from its own row groups with
    the metadata of the end of the pass."""
    pyarrow = import_pyarrow()
    choice, low, high, snr = picking
    stream = run._handle.peaks(positions, choice, skip, True, threads, low, high, snr, bool(keep_spikes))
    reader = pyarrow.RecordBatchReader.from_stream(stream)
    check_schema(reader.schema)
    schema = reader.schema.with_metadata(file_metadata(run))
    batches = decoded(iter(reader), stream)
    tables = row_groups(batches, schema, row_group_size)
    rows = 0
    previous = -1
    # The generators are closed on the way out, also when interrupted, so
    # that the stream's workers stop here, not when (or whether) they are
    # collected, which could be at interpreter shutdown.
    with contextlib.closing(batches), contextlib.closing(tables), \
            spectra_bar(progress, len(positions), Path(run.path).name) as bar, \
            pyarrow.parquet.ParquetWriter(os.fspath(path), schema, **writer_options(compression)) as writer:
        for table in tables:
            writer.write_table(table, row_group_size=row_group_size)
            rows += table.num_rows
            if bar is not None:
                started, previous = spectra_started(table, previous)
                bar.update(started)
        if bar is not None:
            bar.update(bar.total - bar.n)  # spectra without peaks have no rows
    failures = stream.skipped()
    if failures:
        with_metadata(path, file_metadata(run, skipped_of(run, failures)), row_group_size, compression)
    return rows, failures


def with_metadata(path: str | os.PathLike[str], metadata: dict[bytes, bytes], row_group_size: int,
                  compression: str) -> None:
    """The Parquet file at path written again with other key-value
    metadata: its row groups copied as they are, nothing decoded again."""
    pyarrow = import_pyarrow()
    with pyarrow.parquet.ParquetFile(path) as source:
        schema = source.schema_arrow.with_metadata(metadata)
        with written_atomically(path) as partial, \
                pyarrow.parquet.ParquetWriter(os.fspath(partial), schema, **writer_options(compression)) as writer:
            for group in range(source.num_row_groups):
                writer.write_table(source.read_row_group(group).replace_schema_metadata(metadata),
                                   row_group_size=row_group_size)


def to_parquet(run: Any, out: str | os.PathLike[str], *, ms_level: Any = None, rt: Any = None, mode: str = "auto",
               progress: bool = False, row_group_size: int = ROW_GROUP_SIZE, compression: str = "zstd",
               threads: int | None = None, errors: str = "raise", centroid_ms_levels: Any = None,
               snr: float = 3.0, strict: bool = False, keep_spikes: bool = False, srm: bool = True) -> int:
    """Writes the run's peaks (filtered by `ms_level` and `rt`, as in
    `Run.peaks`) to the Parquet file `out`; returns the number of rows.

    The file appears under its name only when complete: it is written to a
    temporary name beside it and renamed. Row groups hold `row_group_size`
    rows (the last one fewer); float columns are BYTE_STREAM_SPLIT encoded,
    every column compressed with `compression`, the page index is written.
    `progress` shows a bar of the spectra on standard error. `threads`
    decode (None: the cores); threads=1 keeps the whole conversion on one
    core, as when many runs convert side by side. errors="skip" leaves out
    the spectra that cannot be decoded instead of failing, lists them in the
    file's `skipped` metadata and adds them to run.skipped. The problems
    the reader met and worked around are listed in the `integrity`
    metadata; strict=True refuses a run with any (IntegrityError, nothing
    written; an undecodable spectrum then fails whatever `errors` says)."""
    import_pyarrow()
    if strict:
        check_strict(events_of(run._handle), display_name(run.origin))
    selected_or_refused(run, ms_level, rt)
    with written_atomically(out) as partial:
        return write_peaks(run, partial, ms_level=ms_level, rt=rt, mode=mode, progress=progress,
                           row_group_size=row_group_size, compression=compression, threads=threads,
                           errors=errors, centroid_ms_levels=centroid_ms_levels, snr=snr, strict=strict,
                           keep_spikes=keep_spikes, srm=srm, chromatograms=chromatograms_path(out))
