"""Benchmark rows of run quality control (each measurement run by
bench/run.py in a fresh interpreter: `python bench/qc_bench.py TASK JSON`).

12. QC: `karvel qc RUN.d -o OUTDIR` (metrics, RUN.mzQC and
    RUN_ms_info.parquet; no report) on the profile and centroid runs,
    against one decoding pass over the same spectra with the same threads
    (`for s in run.spectra(): pass`), the least any metric over the spectra
    needs. Both on all cores, the fastest of `repeats` each; and the same
    pair in processor time (user + system, all threads), which a machine
    busy with other work does not skew.
"""

from __future__ import annotations

import resource
import tempfile
import time
from pathlib import Path
from typing import Any, Callable

from measure import measure, serve

SCRIPT = Path(__file__).resolve()


def cpu_seconds() -> float:
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_utime + usage.ru_stime


def qc_command(args: dict) -> dict:
    import karvel_cli
    import morvane

    command = decode = command_cpu = decode_cpu = float("inf")
    with tempfile.TemporaryDirectory(dir=args["scratch"]) as scratch:
        for repeat in range(args["repeats"]):
            cpu, start = cpu_seconds(), time.perf_counter()
            status = karvel_cli.main(["qc", args["path"], "-o", str(Path(scratch) / f"out{repeat}"), "--no-report",
                                      "--quiet"])
            command = min(command, time.perf_counter() - start)
            command_cpu = min(command_cpu, cpu_seconds() - cpu)
            if status != 0:
                raise RuntimeError(f"karvel qc exited with {status}")
    for _ in range(args["repeats"]):
        cpu, start = cpu_seconds(), time.perf_counter()
        with morvane.open(args["path"]) as run:
            count = 0
            for _spectrum in run.spectra():
                count += 1
        decode = min(decode, time.perf_counter() - start)
        decode_cpu = min(decode_cpu, cpu_seconds() - cpu)
    return {"seconds": command, "decode_seconds": decode, "cpu_seconds": command_cpu, "decode_cpu_seconds": decode_cpu,
            "spectra": count}


TASKS = {"qc": qc_command}


def rows(runs: dict, *, scratch: Path, repetitions: int, row: Callable[..., Any]) -> list:
    """The rows of section 12. `row(...)` is the driver's."""
    out = []
    for name in ("profile_lzf", "centroid_f3"):
        run = runs[name]
        label = f"karvel qc: {name} ({run.params.scans} x {run.params.points})"
        result = measure("qc", 1, script=SCRIPT, path=str(run.path), scratch=str(scratch),
                         repeats=max(1, repetitions))
        if "error" in result:
            out.append(row("13 QC", label, "s", None, None, "decode pass", note=result["error"]))
            continue
        out.append(row("13 QC", label, "s", result["seconds"], result["decode_seconds"], "decode pass", "<= 1.5"))
        out.append(row("13 QC", label + " CPU time", "s", result["cpu_seconds"], result["decode_cpu_seconds"],
                       "decode pass", "<= 1.5"))
    return out


if __name__ == "__main__":
    serve(TASKS)
