"""The `karvel` command line.

    karvel info RUN.d    a human summary of one MassHunter data folder
"""

from __future__ import annotations

import argparse
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


def parser() -> argparse.ArgumentParser:
    top = argparse.ArgumentParser(prog="karvel", description="Read MassHunter LC-MS data folders (.d).")
    commands = top.add_subparsers(dest="command", required=True, metavar="COMMAND")
    info_command = commands.add_parser("info", help="summarise one data folder",
                                       description="Summarise one MassHunter data folder.")
    info_command.add_argument("path", metavar="RUN.d", help="the data folder")
    return top


def main(argv: Sequence[str] | None = None) -> int:
    args = parser().parse_args(argv)
    if args.command == "info":
        return info(args.path)
    return 2


if __name__ == "__main__":
    sys.exit(main())
