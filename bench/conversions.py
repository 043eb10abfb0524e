"""Benchmark rows of the conversions, and their measurements (each run by
bench/run.py in a fresh interpreter: `python bench/conversions.py TASK JSON`).

9. Parquet: `Run.to_parquet` against the floor of pyarrow writing the same
   columns, already in memory, with the same writer settings.
10. Dask: 8 runs converted to Parquet on a local cluster of 2 worker
   processes against 1 worker (the cluster is started before timing).
11. Memory: peak RSS of converting the 2,000-scan profile run to Parquet
   against the 500-scan one (flat when the conversion streams).
12. `karvel info`: time and peak RSS of the summary of the 2,000-scan
   profile run against the 500-scan one (flat: only the scan table and the
   side files are read).
"""

from __future__ import annotations

import tempfile
import time
from pathlib import Path
from typing import Any, Callable

from measure import measure, peak_rss_mb, serve

SCRIPT = Path(__file__).resolve()
DASK_RUNS = 8


# Measurements, in a fresh interpreter ----------------------------------------

def parquet(args: dict) -> dict:
    """to_parquet of the run, then the floor: the same table written by
    pyarrow from memory with the same settings. Fastest of `repeats` each."""
    import morvane
    import pyarrow as pa
    import pyarrow.parquet as pq
    from morvane._parquet import ROW_GROUP_SIZE, file_metadata, writer_options

    run = morvane.open(args["path"])
    with tempfile.TemporaryDirectory(dir=args["scratch"]) as scratch:
        out = Path(scratch) / "run.parquet"
        convert = floor = float("inf")
        for _ in range(args["repeats"]):
            start = time.perf_counter()
            rows = run.to_parquet(out)
            convert = min(convert, time.perf_counter() - start)
            size = out.stat().st_size
            out.unlink()
        table = pa.RecordBatchReader.from_stream(run.peaks(metadata=True)).read_all().combine_chunks()
        table = table.replace_schema_metadata(file_metadata(run))
        for _ in range(args["repeats"]):
            start = time.perf_counter()
            pq.write_table(table, out, row_group_size=ROW_GROUP_SIZE, **writer_options("zstd"))
            floor = min(floor, time.perf_counter() - start)
            out.unlink()
    return {"seconds": convert, "floor_seconds": floor, "rows": rows, "bytes": size}


def dask_runs(args: dict) -> dict:
    """morvane.convert of DASK_RUNS runs (links to one folder) on a local
    cluster of `workers` single-threaded worker processes."""
    import morvane
    from dask.distributed import Client, LocalCluster

    with tempfile.TemporaryDirectory(dir=args["scratch"]) as scratch:
        paths = []
        for i in range(DASK_RUNS):
            link = Path(scratch) / f"run{i}.d"
            link.symlink_to(Path(args["path"]).resolve())
            paths.append(str(link))
        with LocalCluster(n_workers=args["workers"], threads_per_worker=1, processes=True, host="127.0.0.1",
                          dashboard_address=None) as cluster, Client(cluster) as client:
            client.run(lambda: __import__("morvane"))
            best = float("inf")
            for repeat in range(args["repeats"]):
                start = time.perf_counter()
                results = morvane.convert(paths, Path(scratch) / f"out{repeat}", to="parquet", client=client)
                best = min(best, time.perf_counter() - start)
                failed = [r.error for r in results if r.error]
                if failed:
                    raise RuntimeError(failed[0])
    return {"seconds": best}


def memory(args: dict) -> dict:
    """Peak RSS of one Parquet conversion of the run."""
    import morvane
    run = morvane.open(args["path"])
    baseline = peak_rss_mb()
    with tempfile.TemporaryDirectory(dir=args["scratch"]) as scratch:
        start = time.perf_counter()
        run.to_parquet(Path(scratch) / "run.parquet")
        seconds = time.perf_counter() - start
    return {"seconds": seconds, "baseline_rss_mb": baseline, "spectra": len(run)}


def info(args: dict) -> dict:
    """`karvel info` of the run, its output thrown away."""
    import contextlib
    import io

    import karvel_cli
    baseline = peak_rss_mb()
    start = time.perf_counter()
    with contextlib.redirect_stdout(io.StringIO()):
        status = karvel_cli.main(["info", args["path"]])
    seconds = time.perf_counter() - start
    if status != 0:
        raise RuntimeError(f"karvel info exited with {status}")
    return {"seconds": seconds, "baseline_rss_mb": baseline, "spectra": args["scans"]}


TASKS = {"parquet": parquet, "dask_runs": dask_runs, "memory": memory, "info": info}


# Rows ------------------------------------------------------------------------

def rows(*, peer_runs: list, small: Any, large: Any, scratch: Path, repetitions: int,
         row: Callable[..., Any]) -> list:
    """The rows of sections 9 to 11. `row(...)` is the driver's."""
    def run_task(task: str, times: int = 1, **arguments: Any) -> dict:
        return measure(task, times, script=SCRIPT, scratch=str(scratch), **arguments)

    out = []
    for run in peer_runs:
        label = f"{run.params.name} ({run.params.scans} x {run.params.points})"
        result = run_task("parquet", path=str(run.path), repeats=max(1, repetitions))
        if "error" in result:
            out.append(row("9 Parquet", label, "s", None, None, "pyarrow floor", note=result["error"]))
            continue
        out.append(row("9 Parquet", label, "Mrows/s", result["rows"] / result["seconds"] / 1e6,
                       result["rows"] / result["floor_seconds"] / 1e6, "pyarrow floor", ">= 0.7"))

    dask_run = peer_runs[0]
    figures = {workers: run_task("dask_runs", path=str(dask_run.path), workers=workers,
                                 repeats=max(1, repetitions)) for workers in (1, 2)}
    label = f"{DASK_RUNS} runs {dask_run.params.name} to Parquet, 2 workers"
    if any("error" in f for f in figures.values()):
        note = next(f["error"] for f in figures.values() if "error" in f)
        out.append(row("10 Dask", label, "s", None, None, "1 worker", note=note))
    else:
        # A speed-up: the one-worker time over the two-worker time.
        out.append(row("10 Dask", label + " (speed-up)", "x", figures[1]["seconds"] / figures[2]["seconds"], 1.0,
                       "1 worker", ">= 1.6"))

    figures = {label: run_task("memory", 1, path=str(run.path)) for label, run in (("small", small), ("large", large))}
    if any("error" in f for f in figures.values()):
        note = next(f["error"] for f in figures.values() if "error" in f)
        out.append(row("11 convert memory", "Parquet peak RSS", "MB", None, None, "", note=note))
    else:
        s, l = figures["small"], figures["large"]
        # Whole-process peaks: the interpreter and the opened run included.
        out.append(row("11 convert memory", f"Parquet peak RSS, {l['spectra']} scans", "MB", l["peak_rss_mb"],
                       s["peak_rss_mb"], f"{s['spectra']} scans", "<= 1.1"))

    figures = {label: run_task("info", max(1, repetitions), path=str(run.path), scans=run.params.scans)
               for label, run in (("small", small), ("large", large))}
    if any("error" in f for f in figures.values()):
        note = next(f["error"] for f in figures.values() if "error" in f)
        out.append(row("12 karvel info", "summary", "s", None, None, "", note=note))
    else:
        s, l = figures["small"], figures["large"]
        out.append(row("12 karvel info", f"summary, {l['spectra']} scans", "s", l["seconds"], s["seconds"],
                       f"{s['spectra']} scans"))
        out.append(row("12 karvel info", f"peak RSS, {l['spectra']} scans", "MB", l["peak_rss_mb"],
                       s["peak_rss_mb"], f"{s['spectra']} scans", "<= 1.1"))
    return out


if __name__ == "__main__":
    serve(TASKS)
