"""Targeted extraction rows of `make bench` (section 17), each measurement in
a fresh interpreter like bench/measure.py:

    python bench/targeted_bench.py TASK JSON_ARGUMENTS

- run.xic of 1,000 targets against one target, and against the same 1,000
  targets through pyopenms: the run's mzML loaded into an in-memory
  MSExperiment (faster than OnDiscMSExperiment for a whole pass), each
  MS1 spectrum's peaks taken as numpy arrays and every target summed at
  once with cumulative sums and a binary search per window bound (numpy, no
  Python loop over targets);
- one xic against the C++ floors of the same spectra, at their points per
  second: decode/floor of section 2 (the blocks already in memory, one
  thread) and decode/floor_read (each block read from the data file first,
  one thread); xic on the default threads and on one thread, so that threads
  are compared like for like;
- run.transitions() of the MRM run against reading its data file once,
  and against reading both files the columns are made of (the scan table
  and the data file) once each;
- the 1,000 targets against reading the centroid run's data file once;
- converting the MRM run to mzML with its channel chromatograms against
  the same conversion without them.

Standalone (`python bench/targeted_bench.py [--quick]
[--centroid-scans=N]`) it generates the runs and measures these rows
alone, with the decode floor from the C++ benchmark binary when it is
built.
"""

from __future__ import annotations

import sys
import time
from pathlib import Path

BENCH = Path(__file__).resolve().parent
sys.path.insert(0, str(BENCH))

from measure import measure as shared_measure  # noqa: E402
from measure import serve  # noqa: E402
from morvane_bench import data_floor  # noqa: E402

SECTION = "17 targeted"
PPM = 10.0
TARGETS = 1000
# Best of this many calls in one interpreter: the machine may be shared.
REPEATS = 9


def target_list(path: str, count: int) -> list[float]:
    """count m/z spread over the run's first MS1 spectrum's points: most
    targets hit a peak, as a compound list does."""
    import numpy as np

    import morvane
    with morvane.open(path) as run:
        first = next(iter(run.spectra(ms_level=1)))
        mz = np.asarray(first.mz)
    picks = np.linspace(0, mz.size - 1, count).astype(int)
    return [float(value) for value in mz[picks]]


# Tasks (in a fresh interpreter) -----------------------------------------------------

def morvane_xics(args: dict) -> dict:
    """run.xic in each of args["configs"], [targets, threads] (one target:
    a number; threads None: the default), in turn on one opened run so that
    every configuration meets the same load; each one's best of
    args["repeats"] in "each", the first one's in "seconds"."""
    import numpy as np

    import morvane
    configs = args["configs"]
    targets = target_list(args["path"], max(count for count, _ in configs))
    picked = [target_list(args["path"], count) if count != len(targets) else targets for count, _ in configs]
    best = [float("inf")] * len(configs)
    checksums = [0.0] * len(configs)
    with morvane.open(args["path"]) as run:
        len(run.scans)
        for _ in range(args["repeats"]):
            for k, (count, threads) in enumerate(configs):
                start = time.perf_counter()
                rt, sums = run.xic(picked[k][0] if count == 1 else picked[k], ppm=PPM, ms_level=1,
                                   threads=threads)
                best[k] = min(best[k], time.perf_counter() - start)
                checksums[k] = float(np.sum(sums))
        points = int(run.scans.points[run.scans.ms_level == 1].sum())
    return {"seconds": best[0], "each": best, "checksums": checksums, "spectra": int(rt.size), "points": points}


def pyopenms_xics(args: dict) -> dict:
    import numpy as np
    import pyopenms
    targets = np.array(target_list(args["path"], args["count"]))
    half = targets * PPM * 1e-6
    lows, highs = targets - half, targets + half
    start = time.perf_counter()
    experiment = pyopenms.MSExperiment()
    pyopenms.MzMLFile().load(args["mzml"], experiment)
    columns = []
    for spectrum in experiment:
        if spectrum.getMSLevel() != 1:
            continue
        mz, intensity = spectrum.get_peaks()
        running = np.concatenate(([0.0], np.cumsum(intensity, dtype=np.float64)))
        columns.append(running[np.searchsorted(mz, highs, "right")] - running[np.searchsorted(mz, lows, "left")])
    sums = np.array(columns).T
    return {"seconds": time.perf_counter() - start, "checksum": float(sums.sum()),
            "version": pyopenms.__version__}


def morvane_transitions(args: dict) -> dict:
    import morvane
    best = float("inf")
    with morvane.open(args["path"]) as run:
        len(run.scans)
        for _ in range(args["repeats"]):
            start = time.perf_counter()
            table = run.transitions()
            best = min(best, time.perf_counter() - start)
    return {"seconds": best, "rows": table.num_rows}


def morvane_mzml(args: dict) -> dict:
    import morvane
    out = Path(args["out"])
    best = float("inf")
    with morvane.open(args["path"]) as run:
        len(run.scans)
        for _ in range(args["repeats"]):
            start = time.perf_counter()
            run.to_mzml(out, srm=args["srm"])
            best = min(best, time.perf_counter() - start)
    size = out.stat().st_size
    out.unlink()
    return {"seconds": best, "bytes": size}


TASKS = {f.__name__: f for f in (morvane_xics, pyopenms_xics, morvane_transitions, data_floor, morvane_mzml)}


# Driving them ---------------------------------------------------------------------------

def measure(task: str, repetitions: int = 1, **arguments) -> dict:
    return shared_measure(task, repetitions, script=__file__, **arguments)


def rows(runs, cpp, repetitions, row, scratch: Path) -> list:
    """Section 17 of the table; `row` builds a row as bench/run.py does."""
    import mzml
    out = []
    centroid, mrm = runs["centroid_f3"], runs["mrm"]
    path = str(centroid.path)
    label = f"xic: {centroid.params.name} ({centroid.params.scans} x {centroid.params.points})"
    # One target and the many targets, each on the default threads and on
    # one, measured in turn in one interpreter.
    xics = measure("morvane_xics", repetitions, path=path,
                   configs=[[1, None], [1, 1], [TARGETS, None], [TARGETS, 1]], repeats=REPEATS)
    if "error" in xics:
        out.append(row(SECTION, label, "s", None, None, "", note=xics["error"]))
    else:
        one, single, many, many_single = xics["each"]
        out.append(row(SECTION, f"{label}, {TARGETS} targets", "s", many, one, "1 target", "<= 1.5"))
        out.append(row(SECTION, f"{label}, {TARGETS} targets, 1 thread", "s", many_single, single,
                       "1 target, 1 thread", "<= 1.5"))
        figures = (cpp or {}).get(centroid.params.name, {})
        in_memory = figures.get("decode/floor", {}).get("items_per_second")
        from_file = figures.get("decode/floor_read", {}).get("items_per_second")
        if in_memory:
            out.append(row(SECTION, f"{label}, 1 target, default threads", "s", one,
                           xics["points"] / in_memory, "decode floor, 1 thread", "<= 1.3"))
            out.append(row(SECTION, f"{label}, 1 target, 1 thread", "s", single,
                           xics["points"] / in_memory, "decode floor, 1 thread", "<= 1.3"))
        if from_file:
            out.append(row(SECTION, f"{label}, 1 target, 1 thread", "s", single,
                           xics["points"] / from_file, "file read + decode floor, 1 thread"))
        # What a pass over the spectra cannot go below: the data file read once.
        data = measure("data_floor", path=path, file="MSPeak.bin", repeats=5)
        if "error" not in data:
            out.append(row(SECTION, f"{label}, {TARGETS} targets", "s", many, data["seconds"], "read data file"))
        try:
            mzml_path = str(mzml.write_mzml(centroid))
            peer = measure("pyopenms_xics", repetitions, path=path, mzml=mzml_path, count=TARGETS)
        except Exception as error:  # noqa: BLE001 - psims missing or failing: report it in the table
            peer = {"error": f"psims: {error}"}
        if "error" in peer:
            out.append(row(SECTION, f"{label}, {TARGETS} targets vs pyopenms", "s", many, None,
                           "pyopenms", note=peer["error"]))
        else:
            out.append(row(SECTION, f"{label}, {TARGETS} targets vs pyopenms {peer['version']} MSExperiment",
                           "s", many, peer["seconds"], "pyopenms", "<= 0.01"))

    mrm_label = f"transitions(): {mrm.params.name} ({mrm.params.scans} scans)"
    floor = measure("data_floor", path=str(mrm.path), file="MSPeak.bin", repeats=5)
    # The scan table is the other file the columns are made of.
    scan_floor = measure("data_floor", path=str(mrm.path), file="MSScan.bin", repeats=5)
    table = measure("morvane_transitions", repetitions, path=str(mrm.path), repeats=REPEATS)
    failed = next((m["error"] for m in (floor, scan_floor, table) if "error" in m), None)
    if failed:
        out.append(row(SECTION, mrm_label, "s", None, None, "", note=failed))
    else:
        out.append(row(SECTION, mrm_label, "s", table["seconds"], floor["seconds"], "read data file", "<= 10"))
        out.append(row(SECTION, mrm_label, "s", table["seconds"], floor["seconds"] + scan_floor["seconds"],
                       "read scan table + data file"))

    convert_label = f"to_mzml: {mrm.params.name} ({mrm.params.scans} scans)"
    target = str(scratch / "targeted-mrm.mzML")
    plain = measure("morvane_mzml", repetitions, path=str(mrm.path), out=target, srm=False, repeats=1)
    srm = measure("morvane_mzml", repetitions, path=str(mrm.path), out=target, srm=True, repeats=1)
    if "error" in plain or "error" in srm:
        out.append(row(SECTION, convert_label, "s", None, None, "", note=plain.get("error") or srm.get("error")))
    else:
        out.append(row(SECTION, f"{convert_label} with channel chromatograms", "s", srm["seconds"],
                       plain["seconds"], "without"))
    return out


def standalone(quick: bool, centroid_scans: int | None = None) -> None:
    """This section alone; centroid_scans: fewer scans in the centroid run
    (the peer's mzML of the full run takes minutes to load)."""
    import json
    import subprocess

    import run as bench_run
    import rundata
    sizes = bench_run.QUICK if quick else bench_run.FULL
    chosen = [p for p in sizes.runs if p.name in ("centroid_f3", "mrm")]
    if centroid_scans is not None:
        chosen = [p.with_scans(p.name, centroid_scans) if p.name == "centroid_f3" else p for p in chosen]
    runs = {p.name: rundata.generate(p, bench_run.DATA_DIR, bench_run.log) for p in chosen}
    cpp = {}
    if bench_run.BENCH_BINARY.exists():
        run = runs["centroid_f3"]
        out = run.directory / "targeted-floor.json"
        subprocess.run([str(bench_run.BENCH_BINARY), "--benchmark_filter=decode/floor",
                        f"--benchmark_min_time={sizes.min_time}", "--benchmark_out_format=json",
                        f"--benchmark_out={out}", f"{run.params.name}={run.path}"],
                       check=True, stdout=subprocess.DEVNULL)
        figures: dict[str, dict] = {}
        for entry in json.loads(out.read_text())["benchmarks"]:
            key = "/".join(entry["name"].split("/")[:2])
            rate = max(entry["items_per_second"], figures.get(key, {}).get("items_per_second", 0.0))
            figures[key] = {"items_per_second": rate}
        cpp[run.params.name] = figures
    scratch = bench_run.REPO / "build" / "bench-scratch"
    scratch.mkdir(parents=True, exist_ok=True)
    print(bench_run.render(rows(runs, cpp, sizes.repetitions, bench_run.row, scratch)))


if __name__ == "__main__":
    if len(sys.argv) >= 2 and sys.argv[1] in TASKS:
        serve(TASKS)
    else:
        scans = next((int(a.split("=", 1)[1]) for a in sys.argv if a.startswith("--centroid-scans=")), None)
        standalone("--quick" in sys.argv, scans)
