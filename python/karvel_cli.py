"""The `karvel` command line.

    karvel info RUN.d [RUN.d ...] [--json]
                         a summary of each data folder, from its scan table
    karvel convert RUN.d [RUN.d ...] -o OUTDIR [--to mzml|parquet|mzpeak] ...
                         runs as indexed mzML, Parquet or (--metadata-only) JSON
    karvel extract RUN.d [RUN.d ...] --targets TARGETS.csv -o OUTDIR
                         the traces of a table of targets, one Parquet per run
    karvel qc RUN.d [RUN.d ...] -o OUTDIR    quality metrics as mzQC, per-scan tables, reports
    karvel --version

A run may also be given as RUN.d.zip, RUN.d.tar or RUN.d.tar.gz: it is
unpacked into a private temporary folder, removed afterwards.

Exit status: 0 when every run was done (with --errors skip, also when
spectra were left out: a warning says so), 1 when some run failed, 2 for a
usage error, 128 + the signal's number when interrupted (130 SIGINT, 143
SIGTERM, 129 SIGHUP), 141 when standard output was closed early.

The reader's messages go to the "karvel" logger; -v shows its warnings and
informational messages on standard error (otherwise only its errors), -q
leaves out progress bars and summary lines. The problems the reader met
and worked around in a run (a calibration fallback, an unreadable side
file, undecodable spectra, ...) are one warning line per run and kind on
standard error, unless -q; with --strict (convert, extract, qc) they fail the run
instead, and nothing is written for it.

Subcommands are entries of COMMANDS: a function adding the subparser
(with the shared -v/-q options of `common_options()`) and one running it.
"""

from __future__ import annotations

import argparse
import contextlib
import importlib.metadata
import json
import logging
import math
import os
import signal
import sys
from collections import Counter
from collections.abc import Callable, Iterator, Sequence
from dataclasses import dataclass
from typing import Any

EXIT_OK, EXIT_FAILED, EXIT_USAGE, EXIT_BROKEN_PIPE = 0, 1, 2, 141
SIGNALS = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)


class Interrupted(BaseException):
    """A stop signal arrived: unwinds everything (temporary files and
    folders are removed on the way) up to main()."""

    def __init__(self, signum: int) -> None:
        super().__init__(signum)
        self.signum = signum


# -- output ---------------------------------------------------------------------------

def say(line: str) -> None:
    print(line, flush=True)


def complain(line: str) -> None:
    print(f"karvel: {line}", file=sys.stderr, flush=True)


class _Format(logging.Formatter):
    def format(self, record: logging.LogRecord) -> str:
        return f"karvel: {record.levelname.lower()}: {record.getMessage()}"


@contextlib.contextmanager
def reader_messages(verbose: bool) -> Iterator[None]:
    """The "karvel" logger to standard error for the command's duration:
    with -v from the informational level, otherwise errors only (the
    command reports what failed or was skipped itself)."""
    level = logging.INFO if verbose else logging.ERROR
    forward_reader_messages()  # records of earlier work go where they went before
    logger = logging.getLogger("karvel")
    handler = logging.StreamHandler(sys.stderr)
    handler.setFormatter(_Format())
    # The command prints each integrity event itself, once per run.
    handler.addFilter(lambda record: not hasattr(record, "integrity_event"))
    previous = logger.level
    logger.addHandler(handler)
    logger.setLevel(level)
    with contextlib.suppress(ImportError):
        from morvane import reader_log_level
        reader_log_level(level)
    try:
        yield
    finally:
        with contextlib.suppress(ImportError):
            from morvane import reader_log_level
            reader_log_level(logging.WARNING)
        logger.removeHandler(handler)
        logger.setLevel(previous)


@contextlib.contextmanager
def stop_signals() -> Iterator[None]:
    """SIGINT, SIGTERM and SIGHUP raise Interrupted in the main thread;
    further ones are ignored while it unwinds. The previous handlers come
    back afterwards. Elsewhere than in the main thread nothing changes."""

    def stop(signum: int, _frame: object) -> None:
        for number in SIGNALS:
            signal.signal(number, signal.SIG_IGN)
        raise Interrupted(signum)

    try:
        previous = {number: signal.signal(number, stop) for number in SIGNALS}
    except ValueError:  # not the main thread
        yield
        return
    try:
        yield
    finally:
        for number, handler in previous.items():
            signal.signal(number, handler)


def integrity_warnings(name: str, events: Sequence[Any], skipped: bool = False) -> None:
    """One line per kind of problem the reader met in the run called name
    (undecodable spectra not when skipped: the caller reported them)."""
    for event in events:
        if skipped and event.kind == "undecodable_spectrum":
            continue
        complain(f"warning: {event.line(name)}")


def forward_reader_messages() -> None:
    with contextlib.suppress(ImportError):
        from morvane import forward_log_records
        forward_log_records()


# -- info -------------------------------------------------------------------------------

@dataclass(frozen=True)
class ScanSummary:
    """What the summary needs of one scan, from the scan table."""

    index: int
    native_id: str
    ms_level: int
    retention_time_sec: float
    total_ion_current: float | None
    base_peak_mz: float | None
    base_peak_intensity: float | None


def present(value: float) -> float | None:
    return None if math.isnan(value) else float(value)


def scan_summaries(run: Any) -> list[ScanSummary]:
    scans = run.scans
    columns = [scans[name].tolist() for name in ("index", "scan_id", "ms_level", "rt", "tic", "base_peak_mz",
                                                  "base_peak_intensity")]
    return [ScanSummary(index, f"scanId={scan_id}", level, rt, present(tic), present(mz), present(intensity))
            for index, scan_id, level, rt, tic, mz, intensity in zip(*columns, strict=True)]


def counts(values: Sequence[object]) -> str:
    tally = Counter(values)
    return ", ".join(f"{value}: {tally[value]}" for value in sorted(tally, key=str))


def minutes(seconds: float) -> str:
    return f"{seconds / 60:.3f} min"


def where(scan: ScanSummary) -> str:
    return f"{minutes(scan.retention_time_sec)} ({scan.native_id}, index {scan.index})"


def ms_levels_line(scans: list[ScanSummary]) -> str:
    tally = Counter(s.ms_level for s in scans)
    return ", ".join(f"MS{level}: {tally[level]}" for level in sorted(tally)) or "none"


def retention_line(scans: list[ScanSummary]) -> str:
    if not scans:
        return "none"
    low = min(s.retention_time_sec for s in scans)
    high = max(s.retention_time_sec for s in scans)
    return f"{low / 60:.3f} to {high / 60:.3f} min ({low:.2f} to {high:.2f} s)"


def most_intense_ms1(scans: list[ScanSummary]) -> ScanSummary | None:
    """The MS1 scan with the greatest total ion current in the scan table
    (the first of equals; scans without one do not count)."""
    ms1 = [s for s in scans if s.ms_level == 1 and s.total_ion_current is not None]
    return max(ms1, key=lambda s: s.total_ion_current or 0.0) if ms1 else None


def tic_line(scans: list[ScanSummary], top: ScanSummary | None) -> str:
    if top is None:
        if any(s.ms_level == 1 for s in scans):
            return "unknown (the scan table holds no TIC of the MS1 scans)"
        return "none (no MS1 scans)"
    return f"{top.total_ion_current:.6g} at {where(top)}"


def base_peak_line(scans: list[ScanSummary], top: ScanSummary | None) -> str:
    if top is None:
        return tic_line(scans, top)
    if top.base_peak_mz is None or top.base_peak_intensity is None:
        return f"none (the most intense MS1 scan, {top.native_id}, has no base peak in the scan table)"
    return f"m/z {top.base_peak_mz:.4f}, intensity {top.base_peak_intensity:.6g} (most intense MS1 scan)"


def calibration_sources(run: Any) -> list[str]:
    """Each scan's calibration source, as resolved when the run opened."""
    return [source or "none" for source in run.calibration_sources]


def summary(run: Any, name: str) -> dict[str, Any]:
    """What `karvel info` says of an opened run, as plain values."""
    info = run.info
    scans = scan_summaries(run)
    top = most_intense_ms1(scans)
    extra = info.get("extra") or {}
    times = [s.retention_time_sec for s in scans]
    return {
        "name": name,
        "scans": len(scans),
        "stride": int(extra.get("karvel.msscan_stride", 0)),
        "header_size": int(extra.get("karvel.msscan_header_size", 0)),
        "ms_levels": {str(level): count for level, count in sorted(Counter(s.ms_level for s in scans).items())},
        "rt_sec": [min(times), max(times)] if times else None,
        "acquired": info["start_timestamp"],
        "device": run.device,
        "instrument": info["instrument"],
        "analyzer": run.analyzer,
        "calibrations": dict(sorted(Counter(calibration_sources(run)).items())),
        "tic_max": None if top is None else {"value": top.total_ion_current, "rt_sec": top.retention_time_sec,
                                              "native_id": top.native_id, "index": top.index},
        "base_peak": None if top is None or top.base_peak_mz is None else
        {"mz": top.base_peak_mz, "intensity": top.base_peak_intensity},
        "_scans": scans,
        "_top": top,
    }


def info_lines(facts: dict[str, Any]) -> list[str]:
    scans, top = facts["_scans"], facts["_top"]
    device, instrument = facts["device"], facts["instrument"]
    rows = [
        ("scans", str(facts["scans"])),
        ("layout", f"MSScan.bin stride {facts['stride']} bytes, header {facts['header_size']} bytes"),
        ("MS levels", ms_levels_line(scans)),
        ("retention time", retention_line(scans)),
        ("device", f"{device['name']}, model {device['model']}" if device else "unknown (no Devices.xml entry)"),
        ("instrument", f"{instrument['accession']} {instrument['name']}"),
        ("analyzer", facts["analyzer"] or "none"),
        ("calibrations", ", ".join(f"{k}: {v}" for k, v in facts["calibrations"].items()) or "none"),
        ("TIC maximum", tic_line(scans, top)),
        ("base peak", base_peak_line(scans, top)),
    ]
    if facts["acquired"] is not None:
        rows.insert(4, ("acquired", facts["acquired"]))
    width = max(len(label) for label, _ in rows)
    return [facts["name"]] + [f"  {label:<{width}}  {value}" for label, value in rows]


def info_json(facts: dict[str, Any]) -> str:
    from morvane import json_ready
    return json.dumps(json_ready({k: v for k, v in facts.items() if not k.startswith("_")}), allow_nan=False)


def info(args: argparse.Namespace) -> int:
    import morvane
    status = EXIT_OK
    for path in args.paths:
        try:
            with morvane.opened(path) as run:
                facts = summary(run, os.path.basename(os.path.normpath(run.path)))
                events = run.integrity
        except (morvane.ArchiveError, ValueError, OSError, RuntimeError) as error:
            forward_reader_messages()
            complain(f"cannot read {path}: {morvane.error_message(error, path)}")
            status = EXIT_FAILED
            continue
        forward_reader_messages()
        if not args.quiet:
            integrity_warnings(path, events)
        say(info_json(facts) if args.json else "\n".join(info_lines(facts)))
    return status


def add_info_command(commands: Any, common: argparse.ArgumentParser) -> None:
    command = commands.add_parser(
        "info", parents=[common], help="summarise data folders",
        description="Summarise MassHunter data folders from their scan tables (no spectrum is decoded). "
                    "Exit status 1 when a run cannot be read.")
    command.add_argument("paths", nargs="+", metavar="RUN.d", help="the data folders (or .zip/.tar/.tar.gz of one)")
    command.add_argument("--json", action="store_true", help="one JSON object per run instead")


# -- convert ----------------------------------------------------------------------------

def version() -> str:
    try:
        return importlib.metadata.version("karvel")
    except importlib.metadata.PackageNotFoundError:
        return "unknown"


def ms_levels(text: str) -> list[int]:
    """"1,2" -> [1, 2]."""
    try:
        levels = sorted({int(part) for part in text.split(",")})
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected MS levels like 1,2, not {text!r}") from None
    if any(level < 1 for level in levels):
        raise argparse.ArgumentTypeError(f"MS levels start at 1: {text!r}")
    return levels


def rt_range(text: str) -> tuple[float, float]:
    """"120:300" -> (120.0, 300.0) seconds; either end may be left out."""
    low, colon, high = text.partition(":")
    try:
        if not colon:
            raise ValueError
        bounds = (float(low) if low.strip() else -math.inf, float(high) if high.strip() else math.inf)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a range of seconds like 120:300, not {text!r}") from None
    if math.isnan(bounds[0]) or math.isnan(bounds[1]) or bounds[0] > bounds[1]:
        raise argparse.ArgumentTypeError(f"not a range of seconds: {text!r}")
    return bounds


def conversion_options(args: argparse.Namespace) -> tuple[str, dict[str, object]]:
    """The output format and the options of morvane.convert for it."""
    to = "json" if args.metadata_only else args.to
    options: dict[str, object] = {}
    if args.ms_level is not None:
        options["ms_level"] = args.ms_level
    if args.rt is not None:
        options["rt"] = args.rt
    if to != "json" and args.centroid:
        options["mode"] = args.centroid
    if to != "json" and args.centroid_ms_levels is not None:
        options["centroid_ms_levels"] = args.centroid_ms_levels
    if to in ("mzml", "parquet", "mzpeak") and args.keep_spikes:
        options["keep_spikes"] = True
    if to in ("mzml", "parquet") and args.no_srm:
        options["srm"] = False
    if to != "json" and args.errors != "raise":
        options["errors"] = args.errors
    if to == "mzpeak" and args.mzpeak_layout is not None:
        options["layout"] = args.mzpeak_layout
    if to == "mzml":
        options["zlib"] = not args.no_zlib
        options["intensity_bits"] = args.intensity_bits
        options.update(numpress_options(args))
    return to, options


def numpress_options(args: argparse.Namespace) -> dict[str, object]:
    """The MS-Numpress options of morvane.to_mzml given on the command line."""
    options: dict[str, object] = {}
    if args.numpress_mz is not None:
        options["numpress_mz"] = args.numpress_mz
    if args.numpress_intensity is not None:
        options["numpress_intensity"] = args.numpress_intensity
    if args.numpress_mz_ppm is not None:
        options["numpress_mz_ppm"] = args.numpress_mz_ppm
    return options


def level_range(text: str) -> tuple[int, int | None]:
    """"1-" (level 1 and above), "2" (level 2 alone) or "1-2"."""
    low, dash, high = text.partition("-")
    try:
        bounds = (int(low), (int(high) if high.strip() else None) if dash else int(low))
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected MS levels like 1-, 2 or 1-2, not {text!r}") from None
    if bounds[0] < 1 or (bounds[1] is not None and bounds[1] < bounds[0]):
        raise argparse.ArgumentTypeError(f"not a range of MS levels: {text!r}")
    return bounds


def positive_ppm(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        value = math.nan
    if not (value > 0 and math.isfinite(value)):
        raise argparse.ArgumentTypeError(f"expected a positive number of ppm, not {text!r}")
    return value


def check_convert_flags(command: argparse.ArgumentParser, args: argparse.Namespace) -> None:
    mzml_only = [flag for flag, given in (("--no-zlib", args.no_zlib), ("--intensity-bits", args.intensity_bits != 32),
                                          ("--numpress-mz", args.numpress_mz is not None),
                                          ("--numpress-intensity", args.numpress_intensity is not None),
                                          ("--numpress-mz-ppm", args.numpress_mz_ppm is not None))
                 if given]
    if mzml_only and (args.to != "mzml" or args.metadata_only):
        command.error(f"{' and '.join(mzml_only)}: for mzML output only")
    if args.no_srm and (args.to not in ("mzml", "parquet") or args.metadata_only):
        command.error("--no-srm: for mzML and Parquet output only")
    if args.mzpeak_layout is not None and (args.to != "mzpeak" or args.metadata_only):
        command.error("--mzpeak-layout: for mzPeak output only")


def skipped_warning(shown: str, result: Any) -> str:
    first = result.skipped[0]
    count = len(result.skipped)
    return (f"warning: {shown}: skipped {count} spectr{'um' if count == 1 else 'a'} that cannot be decoded, "
            f"first {first.native_id}: {first.reason}")


def convert(args: argparse.Namespace) -> int:
    check_convert_flags(args.command_parser, args)
    to, options = conversion_options(args)
    return run_batch(args, to, options, "convert", lambda result: f"{result.spectra} spectra, {result.seconds:.2f} s")


# -- what convert and extract share ---------------------------------------------------------

def add_batch_arguments(command: argparse.ArgumentParser, errors_help: str, skip_existing_help: str) -> None:
    """The arguments of a command that writes one output per run with
    morvane.convert: the runs, -o, --errors, --strict, --skip-existing, -j
    and --scheduler."""
    command.add_argument("paths", nargs="+", metavar="RUN.d", help="the data folders (or .zip/.tar/.tar.gz of one)")
    command.add_argument("-o", "--output", dest="out_dir", required=True, metavar="OUTDIR",
                         help="the output folder (created if missing)")
    command.add_argument("--errors", choices=("raise", "skip"), default="raise",
                         help=f"skip: leave out spectra that cannot be decoded{errors_help} (default: raise, the "
                              "run fails)")
    command.add_argument("--strict", action="store_true",
                         help="fail a run (exit status 1, nothing written) when the reader meets any problem it "
                              "would otherwise work around and warn about: a calibration fallback, a scan table "
                              "that does not match MSMassCal.bin, an unreadable side file, an undecodable "
                              "spectrum, an unrecognised value")
    command.add_argument("--skip-existing", action="store_true", help=skip_existing_help)
    command.add_argument("-j", "--jobs", type=int, metavar="N", help="local worker processes (default: the cores)")
    command.add_argument("--scheduler", metavar="ADDRESS",
                         help="run on the Dask cluster of this scheduler (e.g. tcp://host:8786), one task per run")
    command.set_defaults(command_parser=command)


def run_batch(args: argparse.Namespace, to: str, options: dict[str, object], verb: str,
              done: Callable[[Any], str]) -> int:
    """Writes each run's output (morvane.convert to `to` with `options`,
    and what add_batch_arguments asked for) and reports them; the exit
    status. A malformed target table is raised, for the caller to name its
    line; any other refusal of the request fails the batch."""
    import morvane
    if args.jobs is not None and args.jobs < 1:
        args.command_parser.error("-j must be at least 1")
    if args.jobs is not None and args.scheduler is not None:
        args.command_parser.error("-j and --scheduler exclude each other: the cluster decides")
    if args.strict:
        options = {**options, "strict": True}
    try:
        # Archives are unpacked by the conversion of their run, one at a time.
        results = morvane.convert(args.paths, args.out_dir, to=to, client=args.scheduler, jobs=args.jobs,
                                  progress=not args.quiet, skip_existing=args.skip_existing, **options)
    except morvane.TargetError:
        raise
    except (ValueError, TypeError, OSError, ImportError) as error:
        complain(morvane.error_message(error))
        return EXIT_FAILED
    finally:
        forward_reader_messages()
    return report_results(results, args.quiet, args.strict, verb, done)


def report_results(results: Sequence[Any], quiet: bool, strict: bool, verb: str,
                   done: Callable[[Any], str]) -> int:
    """One line per run of a batch (a failure, or unless quiet what was
    written, `done` saying how much) and the batch's exit status."""
    for result in results:
        if result.error is not None:
            if not quiet and not strict:
                # The failure names the spectrum that could not be decoded.
                integrity_warnings(result.path, result.integrity, skipped=True)
            complain(f"cannot {verb} {result.path}: {result.error}")
            continue
        if result.skipped:
            complain(skipped_warning(result.path, result))
        if quiet:
            continue
        integrity_warnings(result.path, result.integrity, skipped=bool(result.skipped))
        if result.existing:
            say(f"{result.output}  already complete, kept")
        else:
            say(f"{result.output}  {done(result)}")
    return EXIT_OK if all(result.error is None for result in results) else EXIT_FAILED


def add_convert_command(commands: Any, common: argparse.ArgumentParser) -> None:
    command = commands.add_parser(
        "convert", parents=[common], help="convert data folders to mzML, Parquet, mzPeak or JSON",
        description="Convert MassHunter data folders to indexed mzML or Parquet (one file per run, named after it: "
                    "RUN.d -> OUTDIR/RUN.mzML), or their metadata to JSON. Exit status 1 when a run fails "
                    "(a filter that selects no spectrum of a run fails it too).")
    add_batch_arguments(command, ", list them in the output and warn",
                        "keep outputs already complete (an mzML whose checksum verifies, a readable Parquet "
                        "footer, JSON that parses) and do not convert their runs again")
    command.add_argument("--to", choices=("mzml", "parquet", "mzpeak"), default="mzml",
                         help="output format (default: mzml)")
    command.add_argument("--mzpeak-layout", choices=("zip", "folder"), default=None,
                         help="mzPeak as one uncompressed ZIP file RUN.mzpeak (default) or a folder RUN.mzpeak")
    command.add_argument("--ms-level", type=ms_levels, metavar="1,2", help="keep these MS levels only")
    command.add_argument("--rt", type=rt_range, metavar="LOW:HIGH",
                         help="keep spectra whose retention time, in seconds, is within LOW and HIGH inclusive")
    command.add_argument("--centroid", nargs="?", const="pick", choices=CENTROID_MODES,
                         help="centroided peaks: pick (the run's own centroids where it stores them, every other "
                              "profile picked; what a bare --centroid means, so that every spectrum written is "
                              "centroided), pick-all (every profile picked) or stored (the run's own centroids "
                              "where it has them, profile spectra elsewhere)")
    command.add_argument("--centroid-ms-levels", type=level_range, metavar="1-",
                         help="the MS levels --centroid applies to (e.g. 1-, 2, 1-2); the others keep their block")
    command.add_argument("--keep-spikes", action="store_true",
                         help="picking keeps single-point spikes as peaks (dropped by default as detector "
                              "artefacts); mzML, Parquet and mzPeak")
    command.add_argument("--no-zlib", action="store_true", help="mzML: binary arrays without zlib compression")
    command.add_argument("--intensity-bits", type=int, choices=(32, 64), default=32,
                         help="mzML: intensity precision (default: 32)")
    command.add_argument("--numpress-mz", choices=("linear",),
                         help="mzML: MS-Numpress linear prediction for m/z arrays (lossy, see --numpress-mz-ppm)")
    command.add_argument("--numpress-intensity", choices=("slof", "pic"),
                         help="mzML: MS-Numpress for intensity arrays: slof (short logged float, about 1e-4 "
                              "relative error) or pic (rounded to integer counts)")
    command.add_argument("--numpress-mz-ppm", type=positive_ppm, metavar="X",
                         help="mzML: largest m/z error of --numpress-mz, in ppm of each spectrum's largest m/z "
                              "(default: 0.1)")
    command.add_argument("--no-srm", action="store_true",
                         help="mzML and Parquet: no selected reaction monitoring chromatograms for the MRM "
                              "channels (Parquet: no RUN.chromatograms.parquet)")
    command.add_argument("--metadata-only", action="store_true",
                         help="write run information, device and scan table as RUN.json instead "
                              "(numbers JSON cannot hold, NaN and infinities, as null)")


# -- extract ----------------------------------------------------------------------------

# The numeric columns of a targets file; an empty cell is a missing value.
TARGET_NUMBERS = ("mz", "ppm", "da", "rt_start", "rt_end", "ms_level")


class TargetsFileError(ValueError):
    """A targets file that cannot be read as a table; the message names the
    file and the line."""


def read_targets(path: str) -> tuple[dict[str, list[Any]], list[int]]:
    """The columns of a targets CSV (header first; blank lines ignored) and
    the line each row starts on. Numbers are read here, everything else is
    checked by morvane, which names the row."""
    import csv

    try:
        with open(path, encoding="utf-8-sig", newline="") as file:
            reader = csv.reader(file)
            header: list[str] | None = None
            rows: list[list[str]] = []
            lines: list[int] = []
            start = 1
            for record in reader:
                if any(cell.strip() for cell in record):
                    if header is None:
                        header = [cell.strip() for cell in record]
                    else:
                        rows.append(record)
                        lines.append(start)
                start = reader.line_num + 1
    except UnicodeDecodeError:
        raise TargetsFileError(f"{path}: not a text file in UTF-8") from None
    except csv.Error as error:
        raise TargetsFileError(f"{path}, line {reader.line_num}: {error}") from None
    if header is None:
        raise TargetsFileError(f"{path}: empty, expected a header line such as name,mz,ppm")
    if len(set(header)) != len(header):
        raise TargetsFileError(f"{path}, line 1: a column named twice in {','.join(header)}")
    columns: dict[str, list[Any]] = {name: [] for name in header}
    for record, line in zip(rows, lines, strict=True):
        if len(record) != len(header):
            raise TargetsFileError(f"{path}, line {line}: {len(record)} fields, the header has {len(header)}")
        for name, cell in zip(header, record, strict=True):
            columns[name].append(target_cell(cell, name, path, line))
    return columns, lines


def target_cell(cell: str, column: str, path: str, line: int) -> Any:
    text = cell.strip()
    if column not in TARGET_NUMBERS:
        return text
    if not text:
        return None
    try:
        return float(text)
    except ValueError:
        raise TargetsFileError(f"{path}, line {line}: {column} must be a number, not {text!r}") from None


def extract(args: argparse.Namespace) -> int:
    import morvane
    try:
        targets, lines = read_targets(args.targets)
    except OSError as error:
        complain(f"cannot read {args.targets}: {error.strerror or error}")
        return EXIT_USAGE
    except TargetsFileError as error:
        complain(str(error))
        return EXIT_USAGE
    options: dict[str, object] = {"targets": targets, "mode": args.mode}
    if args.errors != "raise":
        options["errors"] = args.errors
    count = len(lines)
    try:
        return run_batch(args, "xic", options, "extract from",
                         lambda result: f"{count} target{'' if count == 1 else 's'}, {result.seconds:.2f} s")
    except morvane.TargetError as error:
        line = f", line {lines[error.row - 1]}" if error.row is not None else ""
        complain(f"{args.targets}{line}: {error}")
        return EXIT_USAGE


def add_extract_command(commands: Any, common: argparse.ArgumentParser) -> None:
    command = commands.add_parser(
        "extract", parents=[common], help="trace a table of targets in data folders, as Parquet",
        description="Extracted-ion chromatograms of the targets of a CSV file, one Parquet file per run named "
                    "after it (RUN.d -> OUTDIR/RUN.xic.parquet) with the columns name, rt (s) and intensity, "
                    "target after target in file order. The CSV has a header line and the columns name, mz, "
                    "ppm or da, optional rt_start and rt_end (s) and ms_level (1 when empty or absent). "
                    "Exit status 2 for a malformed targets file (the message names its line), 1 when a run "
                    "fails (one where a target's window holds no spectrum too).")
    add_batch_arguments(command, " and warn",
                        "keep outputs already complete (a readable Parquet footer) made from the same targets "
                        "and options, and do not read their runs again")
    command.add_argument("--targets", required=True, metavar="TARGETS.csv", help="the targets, one per line")
    command.add_argument("--mode", choices=("auto", "stored", "pick"), default="auto",
                         help="the peaks summed: auto (each spectrum's block as stored, profiles summed over the "
                              "window; the default), stored (the run's own centroids where it has them) or pick "
                              "(picked centroids)")


# -- the command ---------------------------------------------------------------------------

def common_options() -> argparse.ArgumentParser:
    """-v and -q, shared by every subcommand."""
    common = argparse.ArgumentParser(add_help=False)
    loudness = common.add_mutually_exclusive_group()
    loudness.add_argument("-q", "--quiet", action="store_true",
                          help="no progress bars and no summary lines (failures and skipped spectra still reported)")
    loudness.add_argument("-v", "--verbose", action="store_true",
                          help="show the reader's warnings and informational messages")
    return common


# -- qc ---------------------------------------------------------------------------------

def add_qc_command(commands: Any, common: argparse.ArgumentParser) -> None:
    from morvane.qc import add_qc_command as add

    add(commands, common)


def run_qc(args: argparse.Namespace) -> int:
    from morvane.qc import run_qc as run

    return run(args)


COMMANDS: dict[str, tuple[Callable[[Any, argparse.ArgumentParser], None], Callable[[argparse.Namespace], int]]] = {
    "info": (add_info_command, info),
    "convert": (add_convert_command, convert),
    "extract": (add_extract_command, extract),
    "qc": (add_qc_command, run_qc),
}


def parser() -> argparse.ArgumentParser:
    top = argparse.ArgumentParser(prog="karvel", description="Read MassHunter LC-MS data folders (.d).")
    top.add_argument("--version", action="version", version=f"karvel {version()}")
    commands = top.add_subparsers(dest="command", required=True, metavar="COMMAND")
    common = common_options()
    for add, _ in COMMANDS.values():
        add(commands, common)
    return top


CENTROID_MODES = ("stored", "pick", "pick-all")


def bare_centroid(argv: Sequence[str]) -> list[str]:
    """A bare --centroid (not followed by a mode) as --centroid=pick, so
    that it never takes the next argument, a run, for its value. A request
    for centroids gives centroids: profiles without stored centroids are
    picked, never written as they are."""
    out = list(argv)
    for i, arg in enumerate(out):
        if arg == "--":
            break
        if arg == "--centroid" and (i + 1 == len(out) or out[i + 1] not in CENTROID_MODES):
            out[i] = "--centroid=pick"
    return out


def main(argv: Sequence[str] | None = None) -> int:
    args = parser().parse_args(bare_centroid(sys.argv[1:] if argv is None else argv))
    _, run = COMMANDS[args.command]
    try:
        with stop_signals(), reader_messages(args.verbose):
            return run(args)
    except Interrupted as stop:
        name = signal.Signals(stop.signum).name
        with contextlib.suppress(OSError):
            complain(f"interrupted by {name}: stopped, temporary files removed")
        return 128 + stop.signum
    except BrokenPipeError:
        # The reader of standard output went away (| head): end quietly,
        # without a second error when the interpreter flushes stdout.
        with contextlib.suppress(OSError):
            devnull = os.open(os.devnull, os.O_WRONLY)
            os.dup2(devnull, sys.stdout.fileno())
        return EXIT_BROKEN_PIPE


if __name__ == "__main__":
    sys.exit(main())
