"""mzML export rows of `make bench`: morvane's run.to_mzml against the floor
of the same work in C++ (decode, zlib and base64 of every array, written to
the page cache; the mzml/floor benchmark), against psims writing the same
spectra from numpy arrays, the file sizes of the two, and the memory of a
conversion for a short and a long run.

bench/run.py calls rows(); each Python measurement runs in a fresh
interpreter (`python bench/mzml_export.py TASK JSON_ARGUMENTS`) so that its
peak RSS is its own.
"""

from __future__ import annotations

import time
from pathlib import Path

from measure import measure as shared_measure
from measure import peak_rss_mb, serve

BENCH = Path(__file__).resolve().parent
SECTION = "8 mzML"
FLOOR_RUNS = ("profile_lzf", "profile_rle", "centroid_f2", "centroid_f3")


# Tasks (in a fresh interpreter) -------------------------------------------------

def to_mzml(args: dict) -> dict:
    """run.to_mzml with the default options; the file is removed afterwards."""
    import morvane
    out = Path(args["out"])
    with morvane.open(args["path"]) as run:
        points = int(run.scans["points"].sum())
    baseline = peak_rss_mb()
    start = time.perf_counter()
    with morvane.open(args["path"]) as run:
        run.to_mzml(out)
    seconds = time.perf_counter() - start
    size = out.stat().st_size
    out.unlink()
    return {"seconds": seconds, "bytes": size, "points": points, "baseline_rss_mb": baseline}


def psims_write(args: dict) -> dict:
    """psims writing the run's spectra from numpy arrays with the same
    metadata and encoding (64-bit m/z, 32-bit intensities, zlib). The runs
    tile a few template spectra, so the distinct arrays are decoded first
    and only the writing is timed. The generated runs' scan windows are the
    lowest and highest m/z of their points."""
    import numpy as np
    from mzml import write_header
    from psims.mzml.writer import MzMLWriter

    import morvane
    out = Path(args["out"])
    with morvane.open(args["path"]) as run:
        scans = run.scans
        template = [(np.array(s.mz), np.array(s.intensity), s.mode == "centroid")
                    for s in run.spectra(indices=range(min(args["template_scans"], len(run))))]
        rows = [{name: scans[name][i] for name in ("scan_id", "rt", "tic", "base_peak_mz", "base_peak_intensity")}
                for i in range(scans.num_rows)]
    encoding = {"m/z array": np.float64, "intensity array": np.float32}
    start = time.perf_counter()
    with MzMLWriter(open(out, "wb"), close=True) as writer:
        write_header(writer, ["MS1 spectrum"])
        with writer.run(id="run", instrument_configuration="IC1"):
            with writer.spectrum_list(count=len(rows)):
                for i, row in enumerate(rows):
                    mz, intensity, centroided = template[i % len(template)]
                    params = [{"ms level": 1}, "MS1 spectrum", "positive scan",
                              {"total ion current": float(row["tic"])},
                              {"base peak m/z": float(row["base_peak_mz"]), "unit_name": "m/z"},
                              {"base peak intensity": float(row["base_peak_intensity"]),
                               "unit_name": "number of detector counts"}]
                    window = None
                    if len(mz):
                        low, high = float(mz.min()), float(mz.max())
                        params += [{"lowest observed m/z": low, "unit_name": "m/z"},
                                   {"highest observed m/z": high, "unit_name": "m/z"}]
                        window = [(low, high)]
                    writer.write_spectrum(mz, intensity, id=f"scanId={int(row['scan_id'])}", centroided=centroided,
                                          scan_start_time=float(row["rt"]), scan_window_list=window,
                                          params=params, compression="zlib", encoding=encoding)
    seconds = time.perf_counter() - start
    size = out.stat().st_size
    out.unlink()
    return {"seconds": seconds, "bytes": size}


TASKS = {"to_mzml": to_mzml, "psims_write": psims_write}


def measure(task: str, repetitions: int, **arguments) -> dict:
    """This file's task `task` measured by bench/measure.py's driver."""
    return shared_measure(task, repetitions, script=__file__, **arguments)


# Rows ---------------------------------------------------------------------------

def rows(runs: dict, stream_small, peer_runs: list, cpp: dict, repetitions: int, row) -> list:
    """The table rows; `row` is bench/run.py's row constructor."""
    out = []
    converted = {}
    for name in FLOOR_RUNS:
        run = runs.get(name)
        if run is None:
            continue
        result = measure("to_mzml", repetitions, path=str(run.path), out=str(run.directory / "bench.mzML"))
        converted[name] = result
        floor = cpp[name].get("mzml/floor", {}).get("items_per_second")
        writer = cpp[name].get("mzml/karvel", {}).get("items_per_second")
        if "error" in result:
            out.append(row(SECTION, f"to_mzml {name}", "Mpoints/s", None, None, "floor", note=result["error"]))
            continue
        rate = result["points"] / result["seconds"] / 1e6
        out.append(row(SECTION, f"to_mzml {name}", "Mpoints/s", rate, floor and floor / 1e6, "C++ floor", ">= 0.7"))
        out.append(row(SECTION, f"C++ writer {name}", "Mpoints/s", writer and writer / 1e6, floor and floor / 1e6,
                       "C++ floor"))
    for run in peer_runs:
        label = f"{run.params.name} ({run.params.scans} x {run.params.points})"
        mine = measure("to_mzml", repetitions, path=str(run.path), out=str(run.directory / "bench.mzML"))
        theirs = measure("psims_write", repetitions, path=str(run.path), out=str(run.directory / "psims.mzML"),
                         template_scans=run.params.template_scans)
        error = mine.get("error") or theirs.get("error")
        if error:
            out.append(row(SECTION, f"to_mzml vs psims {label}", "s", None, None, "psims", note=error))
            continue
        out.append(row(SECTION, f"to_mzml vs psims {label}", "s", mine["seconds"], theirs["seconds"], "psims",
                       "<= 0.1"))
        out.append(row(SECTION, f"file size vs psims {label}", "MB", mine["bytes"] / 1e6, theirs["bytes"] / 1e6,
                       "psims", "<= 1.02"))
    small = measure("to_mzml", repetitions, path=str(stream_small.path), out=str(stream_small.directory / "bench.mzML"))
    large = converted.get("profile_lzf")
    if large and "error" not in large and "error" not in small:
        out.append(row(SECTION, f"to_mzml peak RSS, {runs['profile_lzf'].params.scans} scans", "MB",
                       large["peak_rss_mb"], small["peak_rss_mb"], f"{stream_small.params.scans} scans", "<= 1.1"))
    return out


if __name__ == "__main__":
    serve(TASKS)
