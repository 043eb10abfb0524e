"""Converting many runs, one run per task: in this process, in local worker
processes, or on a Dask cluster.

The task, `convert_run`, is a plain top-level function of a path: any
process that can import morvane and read the run and the output folder can
run it, which is all a Dask worker needs. A run that cannot be converted
gives a result with its error; the other runs go on.
"""

from __future__ import annotations

import functools
import json
import math
import os
import time
from collections.abc import Callable, Iterable, Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import Any

from . import _args
from ._archives import archive_suffix, run_name, unpacked
from ._atomic import remove_stale_temporaries, written_atomically
from ._integrity import Event, check_strict, display_name, events_of
from ._logging import forward
from ._messages import describe, not_a_run
from ._output import is_complete, made_with, record_options, selected, selected_or_refused
from ._progress import runs_bar
from ._salvage import Skipped, skipped_of

SUFFIXES = {"mzml": ".mzML", "parquet": ".parquet", "json": ".json", "mzpeak": ".mzpeak",
            "xic": ".xic.parquet"}
# What each output format accepts beyond `progress`.
OPTIONS = {
    "mzml": frozenset({"ms_level", "rt", "mode", "zlib", "intensity_bits", "threads", "errors",
                       "numpress_mz", "numpress_intensity", "numpress_mz_ppm", "centroid_ms_levels", "snr",
                       "strict", "srm", "keep_spikes"}),
    "parquet": frozenset({"ms_level", "rt", "mode", "row_group_size", "compression", "threads", "errors",
                          "centroid_ms_levels", "snr", "strict", "keep_spikes", "srm"}),
    "json": frozenset({"ms_level", "rt", "strict"}),
    "mzpeak": frozenset({"ms_level", "rt", "mode", "layout", "mz_encoding", "chunk_width", "strip_zero_runs",
                         "compression", "threads", "errors", "centroid_ms_levels", "snr", "numpress_mz_ppm",
                         "strict", "keep_spikes"}),
    # The traces of a table of targets (Run.extract), as Parquet.
    "xic": frozenset({"targets", "mode", "threads", "errors", "snr", "strict"}),
}


@dataclass(frozen=True)
class ConversionResult:
    """One run's outcome: `output` is the written file (None on failure),
    `spectra` the number of spectra written, `error` the reason of a failure,
    `skipped` the spectra left out (errors="skip") because they cannot be
    decoded, `existing` whether a complete output was already there (and
    kept: skip_existing, as it was made with the same options), `integrity`
    the problems the reader met and worked around (see Run.integrity), also
    for a run that failed."""

    path: str
    output: str | None
    spectra: int
    seconds: float
    error: str | None = None
    skipped: tuple[Skipped, ...] = ()
    existing: bool = False
    integrity: tuple[Event, ...] = ()

    @property
    def ok(self) -> bool:
        return self.error is None


def output_name(path: str | os.PathLike[str], to: str) -> str:
    """RUN.d (or RUN.d.zip, RUN.d.tar, RUN.d.tar.gz) -> RUN.mzML,
    RUN.parquet or RUN.json."""
    name = run_name(path) if archive_suffix(path) else Path(os.fspath(path)).name
    if name.lower().endswith(".d") and len(name) > 2:
        name = name[:-2]
    return name + SUFFIXES[to]


def scan_rows(run: Any, ms_level: Any, rt: Any) -> list[dict[str, Any]]:
    """The selected rows of the scan table as JSON-ready dicts (NaN and
    ±inf as null: JSON has no such numbers)."""
    keep = selected(run, ms_level, rt)
    scans = run.scans
    columns = {name: scans[name][keep].tolist() for name in scans.columns}
    return [{name: json_ready(values[i]) for name, values in columns.items()} for i in range(len(keep))]


def json_ready(value: Any) -> Any:
    """value, or None for a float that JSON cannot hold (NaN, ±inf), also
    inside lists and dicts."""
    if isinstance(value, float):
        return value if math.isfinite(value) else None
    if isinstance(value, dict):
        return {key: json_ready(item) for key, item in value.items()}
    if isinstance(value, (list, tuple)):
        return [json_ready(item) for item in value]
    return value


def write_metadata(run: Any, path: Path, *, ms_level: Any = None, rt: Any = None) -> None:
    document = {"run_info": json_ready(run.info), "device": json_ready(run.device),
                "scans": scan_rows(run, ms_level, rt)}
    path.write_text(json.dumps(document, indent=1, allow_nan=False) + "\n", encoding="utf-8")


def write_traces(run: Any, path: Path, *, targets: Any, **options: Any) -> None:
    """The long table of Run.extract (name, rt, intensity) as Parquet."""
    from ._parquet import import_pyarrow
    import_pyarrow()
    import pyarrow.parquet  # type: ignore[import-untyped, unused-ignore]

    pyarrow.parquet.write_table(run.extract(targets, **options), os.fspath(path), compression="zstd")


def write_output(run: Any, partial: Path, target: Path, to: str, options: dict[str, Any], progress: bool) -> None:
    """The output `target` of run, written to `partial` (what goes beside
    it, the Parquet chromatogram table, under its own name)."""
    strict = options.get("strict", False)
    options = {name: value for name, value in options.items() if name != "strict" or to == "parquet"}
    if to == "xic":
        # Under strict an undecodable spectrum fails the run, whatever errors says.
        write_traces(run, partial, **(options | {"errors": "raise"} if strict else options))
    elif to == "parquet":
        from ._parquet import chromatograms_path, write_peaks
        write_peaks(run, partial, progress=progress, chromatograms=chromatograms_path(target), **options)
    else:
        write_metadata(run, partial, **options)


def convert_run(path: str, out_dir: str, to: str = "mzml", options: dict[str, Any] | None = None,
                progress: bool = False, skip_existing: bool = False) -> ConversionResult:
    """Converts one run into out_dir; never raises for a run that cannot be
    read or written (the result carries the error). With skip_existing, a
    complete output already there, made with the same options, is kept and
    the run not read; one made with other options (or of unknown ones) is
    made again."""
    from ._run import open as open_run
    options = dict(options or {})
    started = time.perf_counter()
    target = Path(out_dir) / output_name(path, to)
    if skip_existing and is_complete(target, to) and made_with(target, to, options):
        return ConversionResult(str(path), str(target), 0, time.perf_counter() - started, existing=True)
    spectra = 0
    skipped: list[Skipped] = []
    integrity: list[Event] = []
    try:
        missing = None if archive_suffix(path) else not_a_run(path)
        if missing is not None:
            raise missing
        remove_stale_temporaries(out_dir)
        with unpacked(path) as run_path, open_run(run_path) as run:
            try:
                ms_level, rt = options.get("ms_level"), options.get("rt")
                spectra = len(selected_or_refused(run, ms_level, rt))
                if to == "mzml":
                    # The mzML writer writes under a temporary name of its own
                    # and renames the file when complete.
                    skipped = run.to_mzml(target, progress=progress, **options)
                elif to == "mzpeak":
                    # So does the mzPeak writer (a folder layout too); strict is
                    # checked here, before it starts.
                    strict = options.pop("strict", False)
                    if strict:
                        check_strict(events_of(run._handle), display_name(run.origin))
                    skipped = run.to_mzpeak(target, progress=progress,
                                            **(options | {"errors": "raise"} if strict else options))
                else:
                    if to in ("json", "xic") and options.get("strict"):
                        check_strict(events_of(run._handle), display_name(run.origin))
                    with written_atomically(target) as partial:
                        write_output(run, partial, target, to, options, progress)
                    skipped = skipped_of(run, run.skipped)
            finally:
                integrity = run.integrity
    except Exception as error:  # noqa: BLE001 - a damaged run fails alone, with its reason
        return ConversionResult(str(path), None, spectra, time.perf_counter() - started, describe(error, path),
                                integrity=tuple(integrity))
    finally:
        forward()
    record_options(target, to, options)
    return ConversionResult(str(path), str(target), spectra - len(skipped), time.perf_counter() - started,
                            skipped=tuple(skipped), integrity=tuple(integrity))


def check_request(paths: Sequence[str], to: str, options: dict[str, Any]) -> None:
    if to not in SUFFIXES:
        raise ValueError(f"to must be one of {', '.join(sorted(SUFFIXES))}, not {to!r}")
    unknown = sorted(set(options) - OPTIONS[to])
    if unknown:
        raise TypeError(f"options not accepted when converting to {to}: {', '.join(unknown)}")
    _args.check_options(options)
    if to == "xic":
        from ._targeted import parse_targets
        if "targets" not in options:
            raise TypeError("converting to xic needs targets")
        parse_targets(options["targets"])
    seen: dict[str, str] = {}
    for path in paths:
        name = output_name(path, to)
        if name in seen:
            raise ValueError(f"{seen[name]} and {path} would both be written as {name}")
        seen[name] = path


def convert(paths: Iterable[str | os.PathLike[str]] | str | os.PathLike[str], out_dir: str | os.PathLike[str], *,
            to: str = "mzml", client: Any = None, jobs: int | None = None, progress: bool = False,
            skip_existing: bool = False, **options: Any) -> list[ConversionResult]:
    """Converts each run of `paths` into `out_dir` (created if missing) as
    RUN.mzML, RUN.parquet, RUN.mzpeak or RUN.json (`to` "mzml", "parquet",
    "mzpeak" or "json": the run's info, device and scan table). Returns one result per run, in the
    order of `paths`; a run that fails has its error in its result. A run
    may be a RUN.d.zip, .tar or .tar.gz: the task unpacks it into a private
    temporary folder (see morvane._archives) and names the output after it.

    With a dask.distributed `client` (or a scheduler address), each run is a
    task on that cluster: its workers need morvane and must see the runs and
    `out_dir` under the same paths. Otherwise `jobs` local worker processes
    (default: one per core) convert the runs; with a single worker the runs
    are converted in this process. `options` are those of `Run.to_mzml` or
    `Run.to_parquet` (`ms_level`, `rt` for the JSON); to="xic" writes
    RUN.xic.parquet, the table Run.extract gives of `targets` (with its
    `mode`, `errors`, `snr`), and raises TargetError for a malformed target
    table before any run is read; a filter that selects
    no spectrum of a run fails that run; strict=True fails a run in which
    the reader met any problem it would work around (see Run.integrity:
    each result lists them). skip_existing keeps outputs
    already complete (an mzML whose checksum verifies, a Parquet file whose
    footer reads, JSON that parses) and made with the same options (each
    output records them in its extended attribute user.karvel.options; an
    output without the record is made again) and does not read their runs."""
    if isinstance(paths, (str, bytes, os.PathLike)):
        paths = [paths]
    names = [os.path.abspath(os.fsdecode(path)) for path in paths]
    check_request(names, to, options)
    target = os.path.abspath(os.fsdecode(out_dir))
    os.makedirs(target, exist_ok=True)
    if not names:
        return []
    workers = min(_args.threads(jobs, "jobs"), len(names))
    task = functools.partial(convert_run, out_dir=target, to=to, skip_existing=skip_existing)
    if client is None and workers == 1:
        return in_this_process(names, task, options, progress)
    # Runs side by side: each conversion keeps to one core.
    if to in ("parquet", "mzml", "mzpeak", "xic"):
        options = {"threads": 1, **options}
    if client is not None:
        return on_dask(client, names, task, options, progress)
    return in_processes(workers, names, task, options, progress)


def in_this_process(paths: list[str], task: Callable[..., ConversionResult], options: dict[str, Any],
                    progress: bool) -> list[ConversionResult]:
    bar = runs_bar(progress and len(paths) > 1, len(paths))
    results = []
    for path in paths:
        results.append(task(path, options=options, progress=progress))
        if bar is not None:
            bar.update()
    if bar is not None:
        bar.close()
    return results


def collect(futures: dict[Any, int], count: int, completed: Callable[[Iterable[Any]], Iterable[Any]],
            paths: list[str], progress: bool) -> list[ConversionResult]:
    """Results in input order, from futures mapped to their run's position;
    a future that fails (a worker that died) becomes its run's error."""
    results: list[ConversionResult | None] = [None] * count
    bar = runs_bar(progress, count)
    for future in completed(futures):
        position = futures[future]
        try:
            results[position] = future.result()
        except Exception as error:  # noqa: BLE001 - the worker, not the run, failed
            results[position] = ConversionResult(paths[position], None, 0, 0.0,
                                                 f"the worker failed: {describe(error)}")
        if bar is not None:
            bar.update()
    if bar is not None:
        bar.close()
    return [result for result in results if result is not None]


def in_processes(workers: int, paths: list[str], task: Callable[..., ConversionResult], options: dict[str, Any],
                 progress: bool) -> list[ConversionResult]:
    from . import _workers
    out_dir = task.keywords["out_dir"] if isinstance(task, functools.partial) else "."
    return _workers.in_processes(  # type: ignore[no-any-return]
        workers, paths, functools.partial(task, options=options), out_dir,
        lambda futures, completed: collect(futures, len(paths), completed, paths, progress))


def on_dask(client: Any, paths: list[str], task: Callable[..., ConversionResult], options: dict[str, Any],
            progress: bool) -> list[ConversionResult]:
    try:
        from dask.distributed import Client, as_completed
    except ImportError as error:
        raise ImportError("converting on a Dask cluster needs dask.distributed: pip install 'karvel[dask]'") from error
    own = isinstance(client, str)
    if own:
        client = Client(client)  # type: ignore[no-untyped-call]
    try:
        submitted = client.map(task, paths, options=options, pure=False)
        futures = {future: i for i, future in enumerate(submitted)}
        return collect(futures, len(paths), as_completed, paths, progress)
    finally:
        if own:
            client.close()
