"""One Python-side measurement, run by bench/run.py in a fresh interpreter so
that its peak RSS is the measurement's own.

    python bench/measure.py TASK JSON_ARGUMENTS

Prints one JSON object: the task's figures plus "peak_rss_mb" (the
process's peak resident set size) and "baseline_rss_mb" (the peak before
the task started, after its imports).

The other task scripts (morvane_bench.py, mzml_export.py, conversions.py)
share this protocol: serve() is their entry point and measure() drives them.
"""

from __future__ import annotations

import array
import json
import resource
import sys
import time


def peak_rss_mb() -> float:
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024.0


# The protocol between the driver and a task script ------------------------------

def serve(tasks: dict) -> None:
    """A task script's entry point, `python SCRIPT TASK JSON_ARGUMENTS`: runs
    tasks[TASK] on the arguments and prints its figures as one JSON line,
    with the process's peak RSS as "peak_rss_mb"."""
    task, arguments = sys.argv[1], json.loads(sys.argv[2])
    result = tasks[task](arguments)
    result["peak_rss_mb"] = peak_rss_mb()
    print(json.dumps(result))


def measure(task: str, repetitions: int = 1, script: str = __file__, **arguments) -> dict:
    """A measurement in a fresh interpreter (`script TASK JSON`, this file's
    tasks by default), repeated in as many fresh ones: the fastest run's
    figures, with the highest peak RSS seen. {"error": text} when it fails."""
    import subprocess  # here, not at the top: the task processes do not need it
    best: dict | None = None
    for _ in range(repetitions):
        completed = subprocess.run([sys.executable, str(script), task, json.dumps(arguments)],
                                   capture_output=True, text=True)
        if completed.returncode != 0:
            lines = completed.stderr.strip().splitlines()
            return {"error": lines[-1] if lines else f"exit status {completed.returncode}"}
        result = json.loads(completed.stdout.strip().splitlines()[-1])
        if best is None:
            best = result
        else:
            peak = max(best["peak_rss_mb"], result["peak_rss_mb"])
            if result.get("seconds", 0) < best.get("seconds", 0):
                best = result
            best["peak_rss_mb"] = peak
    assert best is not None
    return best


# Tasks --------------------------------------------------------------------------


def raw_reader(args: dict) -> dict:
    """RawReader(path): wall time of the constructor."""
    import karvel
    baseline = peak_rss_mb()
    start = time.perf_counter()
    reader = karvel.RawReader(args["path"])
    seconds = time.perf_counter() - start
    return {"seconds": seconds, "scans": reader.scan_count, "baseline_rss_mb": baseline}


def best_of(repeats: int, build) -> float:
    """The shortest of `repeats` timings of build(), each result dropped at once."""
    best = float("inf")
    for _ in range(repeats):
        start = time.perf_counter()
        result = build()
        best = min(best, time.perf_counter() - start)
        del result
    return best


def to_list(args: dict) -> dict:
    """read_spectrum(i).mz / .intensity per point, against array.tolist() on
    the same values (binary64 m/z, binary32 intensities). Both sides are
    timed alternately on each sampled scan, best of `repeats`, so that both
    see the allocator in the same state."""
    import karvel
    reader = karvel.RawReader(args["path"])
    scans = range(0, reader.scan_count, max(1, reader.scan_count // args["samples"]))
    repeats = args["repeats"]
    points = 0
    read_seconds = convert_seconds = floor_seconds = 0.0
    for i in scans:
        read_seconds += best_of(repeats, lambda: reader.read_spectrum(i))
        spectrum = reader.read_spectrum(i)
        points += len(spectrum)
        mz_values = array.array("d", spectrum.mz)
        intensity_values = array.array("f", spectrum.intensity)
        for _ in range(2):
            convert_seconds_now = best_of(repeats, lambda: (spectrum.mz, spectrum.intensity))
            floor_seconds_now = best_of(repeats, lambda: (mz_values.tolist(), intensity_values.tolist()))
        convert_seconds += convert_seconds_now
        floor_seconds += floor_seconds_now
    return {"points": points, "read_seconds": read_seconds, "convert_seconds": convert_seconds,
            "floor_seconds": floor_seconds}


def timed_stream(pairs, total) -> dict:
    """Iterates (m/z, intensity) arrays, touching every value through total."""
    baseline = peak_rss_mb()
    start = time.perf_counter()
    spectra = points = 0
    checksum = 0.0
    for mz, intensity in pairs:
        checksum += total(mz) + total(intensity)
        points += len(mz)
        spectra += 1
    seconds = time.perf_counter() - start
    return {"seconds": seconds, "spectra": spectra, "points": points, "checksum": checksum,
            "baseline_rss_mb": baseline}


def numpy_total(values) -> float:
    return float(values.sum(dtype="float64"))


def karvel_stream(args: dict) -> dict:
    """iter_spectra over the whole run, touching every m/z and intensity."""
    import karvel
    pairs = ((s.mz, s.intensity) for s in karvel.iter_spectra(args["path"]))
    return timed_stream(pairs, sum)


def pyteomics_stream(args: dict) -> dict:
    from pyteomics import mzml

    def pairs():
        # The sequential parser (no index), as mzml.read gives it: iterating
        # an indexed MzML object seeks and re-parses per spectrum, much slower.
        with mzml.read(args["mzml"], use_index=False) as reader:
            for spectrum in reader:
                yield spectrum["m/z array"], spectrum["intensity array"]
    return timed_stream(pairs(), numpy_total)


def pymzml_stream(args: dict) -> dict:
    import pymzml
    pairs = ((s.mz, s.i) for s in pymzml.run.Reader(args["mzml"]))
    return timed_stream(pairs, numpy_total)


TASKS = {
    "raw_reader": raw_reader,
    "to_list": to_list,
    "karvel_stream": karvel_stream,
    "pyteomics_stream": pyteomics_stream,
    "pymzml_stream": pymzml_stream,
}


if __name__ == "__main__":
    serve(TASKS)
