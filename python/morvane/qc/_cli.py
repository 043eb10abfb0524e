"""`karvel qc RUN.d [RUN.d ...] -o OUTDIR`: quality control of runs.

Per run: OUTDIR/RUN.mzQC (mzQC 1.0.0) and OUTDIR/RUN_ms_info.parquet (one
row per scan), and RUN.html when the report extra is installed; for more
than one run also batch.mzQC (and report.html). Every file appears under
its name only when complete. A run may be an archive, as for convert. The
problems the reader met in a run are one warning line per kind on standard
error (unless -q) and a sentence in the mzQC's description; --strict fails
such a run. Exit status: 0 every run done, 1 a run failed, 2 usage, 130
interrupted."""

from __future__ import annotations

import argparse
import functools
import json
import os
import sys
from collections.abc import Callable
from pathlib import Path
from typing import Any

from .._archives import archive_suffix
from .._atomic import written_atomically

REPORT_HINT = "karvel: HTML reports need the report extra: pip install 'karvel[report]'"


def add_qc_command(commands: Any, common: argparse.ArgumentParser) -> None:
    command = commands.add_parser(
        "qc", parents=[common], help="quality metrics of data folders as mzQC, a per-scan table and reports",
        description="Compute the ID-free quality metrics of MassHunter data folders: OUTDIR/RUN.mzQC and "
                    "OUTDIR/RUN_ms_info.parquet per run (RUN.d -> RUN), batch.mzQC for several runs, and HTML "
                    "reports when the report extra is installed. Exit status 1 when a run fails.")
    command.add_argument("paths", nargs="+", metavar="RUN.d", help="the data folders (or .zip/.tar/.tar.gz of one)")
    command.add_argument("-o", "--output", dest="out_dir", required=True, metavar="OUTDIR",
                         help="the output folder (created if missing)")
    command.add_argument("-t", "--threads", type=int, metavar="N",
                         help="decoding threads per run (default: the cores)")
    command.add_argument("--no-report", action="store_true", help="write no HTML reports")
    command.add_argument("--strict", action="store_true",
                         help="fail a run (exit status 1, nothing written for it) when the reader meets any "
                              "problem it would otherwise work around and warn about")
    command.set_defaults(command_parser=command)


def write_json(document: dict[str, Any], target: Path) -> None:
    with written_atomically(target) as partial:
        partial.write_text(json.dumps(document, indent=2, allow_nan=False) + "\n", encoding="utf-8")


def write_with(write: Callable[[Path], None], target: Path) -> None:
    with written_atomically(target) as partial:
        write(partial)


def report_writers() -> tuple[Callable[..., None], Callable[..., None]] | None:
    """qc.report's writers when the report extra is importable."""
    try:
        import plotly  # type: ignore[import-not-found, import-untyped, unused-ignore]  # noqa: F401

        from .report import (  # type: ignore[import-not-found, attr-defined, unused-ignore]
            write_batch_report,
            write_run_report,
        )
    except ImportError:
        return None
    return write_run_report, write_batch_report


def run_qc(args: argparse.Namespace) -> int:
    from .._archives import ArchiveError, run_name as archive_run_name, unpacked
    from .._integrity import SUMMARIES
    from ._metrics import compute, run_name_of
    from ._ms_info import write_ms_info
    from ._mzqc import batch_document, run_document

    if args.threads is not None and args.threads < 1:
        args.command_parser.error("--threads must be at least 1")
    try:
        import pyarrow  # type: ignore[import-untyped, unused-ignore]  # noqa: F401
    except ImportError:
        print("karvel: karvel qc needs pyarrow: pip install 'karvel[qc]'", file=sys.stderr)
        return 1
    out_dir = Path(args.out_dir)
    try:
        out_dir.mkdir(parents=True, exist_ok=True)
    except OSError as error:
        print(f"karvel: cannot create {out_dir}: {error.strerror or error}", file=sys.stderr)
        return 1
    writers = None if args.no_report else report_writers()
    if writers is None and not args.no_report and not args.quiet:
        print(REPORT_HINT, file=sys.stderr)

    done = []
    failed = 0
    names: set[str] = set()
    try:
        for path in args.paths:
            try:
                text = os.fsdecode(os.fspath(path))
                name = run_name_of(archive_run_name(text) if archive_suffix(text) else text)
                if name in names:
                    raise ValueError(f"another run of this batch is also named {name}")
                with unpacked(text) as run_path:
                    m = compute(run_path, threads=args.threads, strict=args.strict)
                    names.add(name)
                    write_json(run_document(m), out_dir / f"{m.run_name}.mzQC")
                    write_with(functools.partial(write_ms_info, m.scans),
                               out_dir / f"{m.run_name}_ms_info.parquet")
                    if writers is not None:
                        write_with(functools.partial(writers[0], m), out_dir / f"{m.run_name}.html")
            except (ArchiveError, OSError, ValueError, RuntimeError) as error:
                failed += 1
                print(f"karvel: cannot check {path}: {error}", file=sys.stderr)
                continue
            done.append(m)
            if not args.quiet:
                for event in m.integrity:
                    print(f"karvel: warning: {event.line(str(path))}", file=sys.stderr)
                ms1 = next((x.value for x in m.metrics if x.accession == "MS:4000059" and x.polarity is None), 0)
                failures = int(m.info.get("failed_spectra", 0))
                left_out = f", {failures} {SUMMARIES['undecodable_spectrum']} (left out)" if failures else ""
                print(f"{out_dir / (m.run_name + '.mzQC')}  {m.scans.num_rows} scans, {ms1} MS1{left_out}")
        if len(args.paths) > 1 and done:
            try:
                write_json(batch_document(done), out_dir / "batch.mzQC")
                if writers is not None:
                    write_with(functools.partial(writers[1], done), out_dir / "report.html")
            except (OSError, ValueError, RuntimeError) as error:
                failed += 1
                print(f"karvel: cannot write the batch files: {error}", file=sys.stderr)
            else:
                if not args.quiet:
                    print(out_dir / "batch.mzQC")
    except KeyboardInterrupt:
        print("karvel: interrupted", file=sys.stderr)
        return 130
    return 1 if failed else 0

