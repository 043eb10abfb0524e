"""The `karvel` command line.

    karvel info RUN.d    a human summary of one MassHunter data folder
    karvel convert RUN.d [RUN.d ...] -o OUTDIR [--to mzml|parquet] ...
                         runs as indexed mzML, Parquet or (--metadata-only) JSON
    karvel --version
"""

from __future__ import annotations

import argparse
import importlib.metadata
import math
import sys
from collections import Counter
from collections.abc import Sequence
from dataclasses import dataclass

import karvel


@dataclass(frozen=True)
class ScanSummary:
    """What the summary needs of one spectrum (peak lists are not kept)."""

    index: int
    native_id: str
    ms_level: int
    retention_time_sec: float
    total_ion_current: float
    base_peak_mz: float | None
    base_peak_intensity: float | None
    analyzer: str | None


def scan_summaries(reader: karvel.RawReader) -> list[ScanSummary]:
    summaries = []
    for i in range(reader.scan_count):
        s = reader.read_spectrum(i)
        summaries.append(ScanSummary(i, s.native_id, s.ms_level, s.retention_time_sec, s.total_ion_current,
                                     s.base_peak_mz, s.base_peak_intensity, s.analyzer))
    return summaries


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
    """The MS1 scan with the greatest total ion current (the first of equals)."""
    ms1 = [s for s in scans if s.ms_level == 1]
    return max(ms1, key=lambda s: s.total_ion_current) if ms1 else None


def tic_line(top: ScanSummary | None) -> str:
    if top is None:
        return "none (no MS1 scans)"
    return f"{top.total_ion_current:.6g} at {where(top)}"


def base_peak_line(top: ScanSummary | None) -> str:
    if top is None:
        return "none (no MS1 scans)"
    if top.base_peak_mz is None or top.base_peak_intensity is None:
        return f"none (the most intense MS1 scan, {top.native_id}, has no peaks)"
    return f"m/z {top.base_peak_mz:.4f}, intensity {top.base_peak_intensity:.6g} (most intense MS1 scan)"


def info_lines(reader: karvel.RawReader) -> list[str]:
    run = reader.run_info()
    table = reader.scan_index()
    device = reader.device_info()
    scans = scan_summaries(reader)
    top = most_intense_ms1(scans)
    instrument = run["instrument"]
    analyzers = sorted({s.analyzer for s in scans if s.analyzer is not None})
    sources = [r["calibration_source"] or "none" for r in table["records"]]
    rows = [
        ("scans", str(reader.scan_count)),
        ("layout", f"MSScan.bin stride {table['stride']} bytes, header {table['global_header_size']} bytes"),
        ("MS levels", ms_levels_line(scans)),
        ("retention time", retention_line(scans)),
        ("device", f"{device['name']}, model {device['model']}" if device else "unknown (no Devices.xml entry)"),
        ("instrument", f"{instrument['accession']} {instrument['name']}"),
        ("analyzer", ", ".join(analyzers) or "none"),
        ("calibrations", counts(sources) if sources else "none"),
        ("TIC maximum", tic_line(top)),
        ("base peak", base_peak_line(top)),
    ]
    if run["start_timestamp"] is not None:
        rows.insert(4, ("acquired", run["start_timestamp"]))
    width = max(len(label) for label, _ in rows)
    return [run["source_file_name"]] + [f"  {label:<{width}}  {value}" for label, value in rows]


def info(path: str) -> int:
    try:
        reader = karvel.RawReader(path)
        lines = info_lines(reader)
    except (RuntimeError, ValueError, OSError) as error:
        print(f"karvel: cannot read {path}: {error}", file=sys.stderr)
        return 1
    print("\n".join(lines))
    return 0


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
    if args.jobs is not None and args.jobs < 1:
        command.error("-j must be at least 1")
    if args.jobs is not None and args.scheduler is not None:
        command.error("-j and --scheduler exclude each other: the cluster decides")


def convert(args: argparse.Namespace) -> int:
    import morvane
    to, options = conversion_options(args)
    try:
        results = morvane.convert(args.paths, args.out_dir, to=to, client=args.scheduler, jobs=args.jobs,
                                  progress=not args.quiet, **options)
    except (ValueError, TypeError, OSError, ImportError) as error:
        print(f"karvel: {error}", file=sys.stderr)
        return 1
    for result in results:
        if result.error is not None:
            print(f"karvel: cannot convert {result.path}: {result.error}", file=sys.stderr)
        elif not args.quiet:
            print(f"{result.output}  {result.spectra} spectra, {result.seconds:.2f} s")
    return 0 if all(result.error is None for result in results) else 1


def add_convert_command(commands: argparse._SubParsersAction) -> None:  # type: ignore[type-arg]
    command = commands.add_parser(
        "convert", help="convert data folders to mzML, Parquet or JSON",
        description="Convert MassHunter data folders to indexed mzML or Parquet (one file per run, named after it: "
                    "RUN.d -> OUTDIR/RUN.mzML), or their metadata to JSON. Exit status 1 when a run fails.")
    command.add_argument("paths", nargs="+", metavar="RUN.d", help="the data folders")
    command.add_argument("-o", "--output", dest="out_dir", required=True, metavar="OUTDIR",
                         help="the output folder (created if missing)")
    command.add_argument("--to", choices=("mzml", "parquet"), default="mzml", help="output format (default: mzml)")
    command.add_argument("--ms-level", type=ms_levels, metavar="1,2", help="keep these MS levels only")
    command.add_argument("--rt", type=rt_range, metavar="LOW:HIGH",
                         help="keep spectra whose retention time, in seconds, is within LOW and HIGH inclusive")
    command.add_argument("--centroid", nargs="?", const="stored", choices=CENTROID_MODES,
                         help="centroided peaks: stored (the run's own centroids where it has them; the default "
                              "of a bare --centroid), pick (stored ones where present, other profiles picked) or "
                              "pick-all (every profile picked)")
    command.add_argument("--centroid-ms-levels", type=level_range, metavar="1-",
                         help="the MS levels --centroid applies to (e.g. 1-, 2, 1-2); the others keep their block")
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
    command.add_argument("--metadata-only", action="store_true",
                         help="write run information, device and scan table as RUN.json instead")
    command.add_argument("-j", "--jobs", type=int, metavar="N", help="local worker processes (default: the cores)")
    command.add_argument("--scheduler", metavar="ADDRESS",
                         help="run the conversions on the Dask cluster of this scheduler (e.g. tcp://host:8786)")
    command.add_argument("-q", "--quiet", action="store_true", help="no progress bars and no summary lines")
    command.set_defaults(command_parser=command)


def parser() -> argparse.ArgumentParser:
    top = argparse.ArgumentParser(prog="karvel", description="Read MassHunter LC-MS data folders (.d).")
    top.add_argument("--version", action="version", version=f"karvel {version()}")
    commands = top.add_subparsers(dest="command", required=True, metavar="COMMAND")
    info_command = commands.add_parser("info", help="summarise one data folder",
                                       description="Summarise one MassHunter data folder.")
    info_command.add_argument("path", metavar="RUN.d", help="the data folder")
    add_convert_command(commands)
    return top


CENTROID_MODES = ("stored", "pick", "pick-all")


def bare_centroid(argv: Sequence[str]) -> list[str]:
    """A bare --centroid (not followed by a mode) as --centroid=stored, so
    that it never takes the next argument, a run, for its value."""
    out = list(argv)
    for i, arg in enumerate(out):
        if arg == "--":
            break
        if arg == "--centroid" and (i + 1 == len(out) or out[i + 1] not in CENTROID_MODES):
            out[i] = "--centroid=stored"
    return out


def main(argv: Sequence[str] | None = None) -> int:
    args = parser().parse_args(bare_centroid(sys.argv[1:] if argv is None else argv))
    if args.command == "info":
        return info(args.path)
    if args.command == "convert":
        check_convert_flags(args.command_parser, args)
        return convert(args)
    return 2


if __name__ == "__main__":
    sys.exit(main())
