"""morvane's benchmark rows (section 7 of `make bench`), and the measurements
behind them, each run in a fresh interpreter like bench/measure.py:

    python bench/morvane_bench.py TASK JSON_ARGUMENTS

- opening a run against the floor of reading its scan table and side files,
  and against RawReader construction; resident memory against the scan table;
- s.mz / s.intensity access cost for small and large spectra;
- `for s in run.spectra(): s.intensity.sum()` against the C++ core's decode
  time, threads=2 against threads=1, peak RSS for a short and a long run;
- a pass over an MRM run's one-point spectra against reading its data file
  once;
- run.xic against pyopenms, pymzml and pyteomics reading the same spectra
  as mzML (written with psims by bench/mzml.py).
"""

from __future__ import annotations

import time
from pathlib import Path

from measure import measure as shared_measure
from measure import peak_rss_mb, serve

BENCH = Path(__file__).resolve().parent
SIDE_FILES = ("MSScan.bin", "Devices.xml", "Contents.xml", "DefaultMassCal.xml", "MSMassCal.bin")
XIC_PPM = 10.0
XIC_PEERS = ("pyopenms", "pymzml", "pyteomics")


def current_rss_mb() -> float:
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * 4096 / 2**20


# Tasks (in a fresh interpreter) -----------------------------------------------------

def open_floor(args: dict) -> dict:
    """Reading the files that opening a run reads, each whole, page-cached."""
    acq = Path(args["path"]) / "AcqData"
    files = [acq / name for name in SIDE_FILES if (acq / name).exists()]
    for path in files:
        path.read_bytes()
    best = float("inf")
    for _ in range(args["repeats"]):
        start = time.perf_counter()
        for path in files:
            with open(path, "rb") as f:
                f.read()
        best = min(best, time.perf_counter() - start)
    return {"seconds": best, "scan_table_mb": (acq / "MSScan.bin").stat().st_size / 2**20}


def morvane_open(args: dict) -> dict:
    import morvane
    baseline = current_rss_mb()
    start = time.perf_counter()
    run = morvane.open(args["path"])
    first = time.perf_counter() - start
    grown = current_rss_mb() - baseline
    best = first
    for _ in range(args["repeats"] - 1):
        start = time.perf_counter()
        again = morvane.open(args["path"])
        best = min(best, time.perf_counter() - start)
        again.close()
    return {"seconds": best, "rss_growth_mb": grown, "spectra": len(run)}


def array_access(args: dict) -> dict:
    """Per access of s.mz and s.intensity: the first (which makes the array)
    and later ones (the cached array), over `count` spectra of one run."""
    import numpy as np

    import morvane
    run = morvane.open(args["path"])
    count = min(args["count"], len(run))
    spectra = list(run.spectra(indices=range(count), threads=1))
    start = time.perf_counter()
    for s in spectra:
        s.mz
        s.intensity
    first = (time.perf_counter() - start) / (2 * count)
    rounds = 20
    start = time.perf_counter()
    for _ in range(rounds):
        for s in spectra:
            s.mz
            s.intensity
    cached = (time.perf_counter() - start) / (2 * count * rounds)
    shared = all(np.shares_memory(s.mz, s.mz) and s.mz is s.mz for s in spectra)
    return {"first_us": first * 1e6, "cached_us": cached * 1e6, "points": len(spectra[0]), "shared": shared}


def morvane_stream(args: dict) -> dict:
    import morvane
    run = morvane.open(args["path"])
    baseline = peak_rss_mb()
    start = time.perf_counter()
    points = 0
    checksum = 0.0
    for s in run.spectra(threads=args["threads"]):
        checksum += float(s.intensity.sum())
        points += len(s)
    return {"seconds": time.perf_counter() - start, "points": points, "checksum": checksum,
            "baseline_rss_mb": baseline}


def data_floor(args: dict) -> dict:
    """Reading a run's data file once, whole, page-cached."""
    path = Path(args["path"]) / "AcqData" / args["file"]
    path.read_bytes()
    best = float("inf")
    for _ in range(args["repeats"]):
        start = time.perf_counter()
        with open(path, "rb") as f:
            f.read()
        best = min(best, time.perf_counter() - start)
    return {"seconds": best}


def morvane_iterate(args: dict) -> dict:
    """A pass that only counts the points: what handing out spectra costs."""
    import morvane
    run = morvane.open(args["path"])
    start = time.perf_counter()
    points = 0
    for s in run.spectra(threads=args["threads"]):
        points += len(s)
    return {"seconds": time.perf_counter() - start, "points": points, "spectra": len(run)}


def xic_window(target: float) -> tuple[float, float]:
    half = target * XIC_PPM * 1e-6
    return target - half, target + half


def morvane_xic(args: dict) -> dict:
    import morvane
    start = time.perf_counter()
    with morvane.open(args["path"]) as run:
        rt, intensity = run.xic(args["mz"], ppm=XIC_PPM, ms_level=1)
    return {"seconds": time.perf_counter() - start, "checksum": float(intensity.sum()), "points": len(rt)}


def peer_xic(pairs, target: float) -> tuple[float, int]:
    import numpy as np
    low, high = xic_window(target)
    values = []
    for mz, intensity in pairs:
        mz = np.asarray(mz)
        inside = (mz >= low) & (mz <= high)
        values.append(float(np.asarray(intensity)[inside].sum(dtype=np.float64)))
    return float(np.sum(values)), len(values)


def pyopenms_xic(args: dict) -> dict:
    import pyopenms
    start = time.perf_counter()
    experiment = pyopenms.MSExperiment()
    pyopenms.MzMLFile().load(args["mzml"], experiment)
    checksum, count = peer_xic((s.get_peaks() for s in experiment if s.getMSLevel() == 1), args["mz"])
    return {"seconds": time.perf_counter() - start, "checksum": checksum, "points": count,
            "version": pyopenms.__version__}


def pymzml_xic(args: dict) -> dict:
    import pymzml
    start = time.perf_counter()
    reader = pymzml.run.Reader(args["mzml"])
    checksum, count = peer_xic(((s.mz, s.i) for s in reader if s.ms_level == 1), args["mz"])
    return {"seconds": time.perf_counter() - start, "checksum": checksum, "points": count,
            "version": pymzml.__version__}


def pyteomics_xic(args: dict) -> dict:
    from importlib.metadata import version

    from pyteomics import mzml
    start = time.perf_counter()
    with mzml.read(args["mzml"], use_index=False) as reader:
        checksum, count = peer_xic(((s["m/z array"], s["intensity array"]) for s in reader
                                    if s.get("ms level") == 1), args["mz"])
    return {"seconds": time.perf_counter() - start, "checksum": checksum, "points": count,
            "version": version("pyteomics")}


TASKS = {f.__name__: f for f in (open_floor, morvane_open, array_access, morvane_stream, data_floor,
                                 morvane_iterate, morvane_xic, pyopenms_xic, pymzml_xic, pyteomics_xic)}


# Driving them (from bench/run.py) ------------------------------------------------------

def measure(task: str, repetitions: int = 1, **arguments) -> dict:
    """This file's task `task` measured by bench/measure.py's driver."""
    return shared_measure(task, repetitions, script=__file__, **arguments)


def rows(row, runs, cpp, earlier, stream_small, repetitions) -> list:
    """Section 7 of the table. `row` builds a row as bench/run.py does,
    `earlier` holds the rows measured before (RawReader construction)."""
    out = []
    section = "7 morvane"
    profile = runs["profile_lzf"]
    floor = measure("open_floor", repeats=5, path=str(profile.path))
    opened = measure("morvane_open", repetitions, repeats=5, path=str(profile.path))
    if "error" in opened or "error" in floor:
        out.append(row(section, "open", "s", None, None, "", note=opened.get("error") or floor.get("error")))
    else:
        name = f"open: {profile.params.name} ({profile.params.scans} scans)"
        out.append(row(section, name, "s", opened["seconds"], floor["seconds"], "read side files", "<= 1.3"))
        raw = next((r.karvel for r in earlier
                    if r.section.startswith("3") and r.name == "profile_lzf construction"), None)
        out.append(row(section, name, "s", opened["seconds"], raw, "RawReader", "<= 0.01"))
        out.append(row(section, f"{name} RSS growth", "MB", opened["rss_growth_mb"],
                       floor["scan_table_mb"] + 20, "scan table+20MB", "<= 1.0"))

    access = {}
    for run in (runs["centroid_f3"], profile):
        result = measure("array_access", path=str(run.path), count=200)
        if "error" in result:
            out.append(row(section, "s.mz access", "us", None, None, "", note=result["error"]))
            return out
        access[run.params.name] = result
        shared = "views shared" if result["shared"] else "views NOT shared"
        out.append(row(section, f"s.mz/.intensity first access, {result['points']} points ({shared})", "us",
                       result["first_us"], 1.0, "1 us", "<= 1.0"))
        out.append(row(section, f"s.mz/.intensity cached access, {result['points']} points", "us",
                       result["cached_us"], 1.0, "1 us", "<= 1.0"))
    small, large = access["centroid_f3"], access[profile.params.name]
    # Nothing is copied, so the cost does not grow with the points; what
    # differs is where the objects lie in memory.
    out.append(row(section, f"first access {large['points']} vs {small['points']} points", "us",
                   large["first_us"], small["first_us"], f"{small['points']} points"))

    for run in (profile, runs["centroid_f3"]):
        label = f"spectra(): {run.params.name} ({run.params.scans} scans)"
        one = measure("morvane_stream", repetitions, path=str(run.path), threads=1)
        two = measure("morvane_stream", repetitions, path=str(run.path), threads=2)
        if "error" in one or "error" in two:
            out.append(row(section, label, "s", None, None, "", note=one.get("error") or two.get("error")))
            continue
        core = cpp[run.params.name]["run/karvel"]["seconds"]
        out.append(row(section, f"{label}, threads=1", "s", one["seconds"], core, "C++ core", "<= 1.3"))
        out.append(row(section, f"{label}, threads=2", "s", two["seconds"], one["seconds"], "threads=1",
                       "<= 0.65"))
    out += mrm_rows(row, runs["mrm"], repetitions)
    short = measure("morvane_stream", repetitions, path=str(stream_small.path), threads=2)
    long = measure("morvane_stream", repetitions, path=str(profile.path), threads=2)
    if "error" not in short and "error" not in long:
        out.append(row(section, f"spectra(): peak RSS, {profile.params.scans} scans", "MB",
                       long["peak_rss_mb"], short["peak_rss_mb"], f"{stream_small.params.scans} scans", "<= 1.1"))

    out += xic_rows(row, runs["centroid_f3"], repetitions)
    return out


def mrm_rows(row, run, repetitions) -> list:
    """One-point spectra: the pass against reading the data file once, per
    scan, and two threads against one."""
    section = "7 morvane"
    label = f"spectra(): {run.params.name} ({run.params.scans} scans)"
    floor = measure("data_floor", repeats=5, path=str(run.path), file="MSPeak.bin")
    one = measure("morvane_iterate", repetitions, path=str(run.path), threads=1)
    two = measure("morvane_iterate", repetitions, path=str(run.path), threads=2)
    if "error" in floor or "error" in one or "error" in two:
        note = floor.get("error") or one.get("error") or two.get("error")
        return [row(section, label, "s", None, None, "", note=note)]
    per_scan = 1e9 / one["spectra"]
    return [
        row(section, f"{label}, threads=1", "s", one["seconds"], floor["seconds"], "read data file", "<= 10"),
        row(section, f"{label}, threads=1 per scan", "ns/scan", one["seconds"] * per_scan,
            floor["seconds"] * per_scan, "read data file"),
        row(section, f"{label}, threads=2", "s", two["seconds"], one["seconds"], "threads=1", "<= 1.0"),
    ]


def xic_rows(row, run, repetitions) -> list:
    import mzml
    section = "7 morvane"
    label = f"xic: {run.params.name} ({run.params.scans} x {run.params.points})"
    try:
        path = str(mzml.write_mzml(run))
    except Exception as error:  # noqa: BLE001 - psims missing or failing: report it in the table
        return [row(section, label, "s", None, None, "mzML", note=f"psims: {error}")]
    template_mz = run.expected()[0][0]
    target = template_mz[len(template_mz) // 2]
    mine = measure("morvane_xic", repetitions, path=str(run.path), mz=target)
    out = []
    for peer, goal in zip(XIC_PEERS, ("<= 0.2", "<= 0.1", "<= 0.1")):
        result = measure(f"{peer}_xic", repetitions, mzml=path, mz=target)
        if "error" in result or "error" in mine:
            out.append(row(section, f"{label} vs {peer}", "s", mine.get("seconds"), None, peer,
                           note=result.get("error") or mine.get("error")))
            continue
        same = abs(result["checksum"] - mine["checksum"]) <= 1e-6 * max(1.0, abs(mine["checksum"]))
        name = f"{label} vs {peer} {result['version']}" + ("" if same else " (sums differ)")
        out.append(row(section, name, "s", mine["seconds"], result["seconds"], peer, goal))
    return out


if __name__ == "__main__":
    serve(TASKS)
