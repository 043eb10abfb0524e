"""Benchmark rows of peak picking and MS-Numpress, and their measurements
(each run by bench/run.py in a fresh interpreter:
`python bench/picking_bench.py TASK JSON`).

12. Picking: every spectrum of the profile run decoded and picked
    (spectra(mode="pick-all")) against decoding alone, one thread each, on
    the sparse profile run and on one with a noisy baseline; and
    the same spectra picked by OpenMS PeakPickerHiRes from profile mzML
    (its reading, picking and writing timed; writing the profile mzML for it
    is not).
16. Picking against the truth (picking_truth.py): generated profiles in
    regimes of width, baseline, pairs, isotope envelopes and density,
    picked by karvel and by PeakPickerHiRes (pyopenms); per regime the
    recall within 5 ppm of both, the rest of the figures in the note and in
    build/picking-truth.md.
13. MS-Numpress: the profile run as mzML with numpress (linear m/z, slof
    intensities) and zlib against zlib alone, one thread each: file size and
    conversion time; and the largest errors numpress made on the written
    arrays (decoded by pynumpress) against their documented bounds.
"""

from __future__ import annotations

import base64
import math
import shutil
import struct
import subprocess
import tempfile
import time
import zlib
from pathlib import Path
from typing import Any, Callable

from measure import measure, serve

SCRIPT = Path(__file__).resolve()
PPM = 0.1  # the default m/z bound
# PeakPickerHiRes works on this many spectra of the run (its profile mzML
# of the whole 2,000 x 100,000 run would be some 2 GB).
PEER_SPECTRA = 100


def fastest(call: Callable[[], Any], repeats: int) -> float:
    best = float("inf")
    for _ in range(repeats):
        start = time.perf_counter()
        call()
        best = min(best, time.perf_counter() - start)
    return best


def pick(args: dict) -> dict:
    """spectra() of the whole run, decoded only and decoded and picked."""
    import morvane
    run = morvane.open(args["path"])
    counts = {}

    def walk(mode: str) -> None:
        counts[mode] = sum(len(s) for s in run.spectra(mode=mode, threads=1))

    decode = fastest(lambda: walk("auto"), args["repeats"])
    picked = fastest(lambda: walk("pick-all"), args["repeats"])
    return {"seconds": picked, "decode_seconds": decode, "spectra": len(run), "points": counts["auto"],
            "peaks": counts["pick-all"]}


def peer_pick(args: dict) -> dict:
    """The first PEER_SPECTRA spectra picked by karvel (one thread) and by
    PeakPickerHiRes from profile mzML."""
    import morvane
    run = morvane.open(args["path"])
    count = min(PEER_SPECTRA, len(run))
    indices = range(count)
    karvel = fastest(lambda: sum(len(s) for s in run.spectra(indices=indices, mode="pick-all", threads=1)),
                     args["repeats"])
    tool = shutil.which("PeakPickerHiRes")
    if tool is None:
        raise RuntimeError("PeakPickerHiRes (Debian topp) is not installed")
    with tempfile.TemporaryDirectory(dir=args["scratch"]) as scratch:
        profile = Path(scratch) / "profile.mzML"
        run.to_mzml(profile, rt=(run[0].rt, run[count - 1].rt), threads=1)
        picked = Path(scratch) / "picked.mzML"

        def openms() -> None:
            subprocess.run([tool, "-in", str(profile), "-out", str(picked), "-threads", "1"], check=True,
                           capture_output=True)

        reference = fastest(openms, args["repeats"])
    return {"seconds": karvel, "reference_seconds": reference, "spectra": count}


def numpress(args: dict) -> dict:
    """to_mzml with zlib alone and with numpress and zlib: sizes, times, and
    the largest numpress errors on the spectra's arrays."""
    import numpy as np
    import pynumpress
    from lxml import etree

    import morvane
    run = morvane.open(args["path"])
    with tempfile.TemporaryDirectory(dir=args["scratch"]) as scratch:
        plain = Path(scratch) / "zlib.mzML"
        packed = Path(scratch) / "numpress.mzML"
        plain_seconds = fastest(lambda: run.to_mzml(plain, threads=1), args["repeats"])
        packed_seconds = fastest(lambda: run.to_mzml(packed, threads=1, numpress_mz="linear",
                                                     numpress_intensity="slof"), args["repeats"])
        sizes = (plain.stat().st_size, packed.stat().st_size)
        # Errors over the first spectra (decoding all in Python takes long).
        ns = "{http://psi.hupo.org/ms/mzml}"
        mz_ppm = intensity_relative = intensity_bound = 0.0
        checked = 0
        originals = iter(run.spectra(threads=1))
        for _, element in etree.iterparse(str(packed), tag=ns + "spectrum"):
            spectrum = next(originals)
            for array in element.iter(ns + "binaryDataArray"):
                accessions = {p.get("accession") for p in array.findall(ns + "cvParam")}
                data = zlib.decompress(base64.b64decode(array.find(ns + "binary").text or ""))
                if "MS:1002746" in accessions:
                    mz = np.asarray(spectrum.mz, np.float64)
                    decoded = np.asarray(pynumpress.decode_linear(np.frombuffer(data, np.uint8)))
                    mz_ppm = max(mz_ppm, float(np.abs(decoded - mz).max() / mz.max() * 1e6))
                elif "MS:1002748" in accessions:
                    values = np.asarray(spectrum.intensity, np.float64)
                    decoded = np.asarray(pynumpress.decode_slof(np.frombuffer(data, np.uint8)))
                    scale = struct.unpack(">d", data[:8])[0]
                    intensity_relative = max(intensity_relative,
                                             float((np.abs(decoded - values) / (values + 1)).max()))
                    intensity_bound = max(intensity_bound, math.expm1(0.5 / scale))
            element.clear()
            checked += 1
            if checked == args["error_spectra"]:
                break
    return {"seconds": packed_seconds, "zlib_seconds": plain_seconds, "bytes": sizes[1], "zlib_bytes": sizes[0],
            "mz_error_ppm": mz_ppm, "intensity_error": intensity_relative, "intensity_bound": intensity_bound,
            "checked": checked}


def truth(args: dict) -> dict:
    """The truth benchmark's figures for every regime and its table."""
    import picking_truth
    results = picking_truth.measure(args["quick"])
    return {"results": results, "markdown": picking_truth.markdown(results)}


TASKS = {"pick": pick, "peer_pick": peer_pick, "numpress": numpress, "truth": truth}


def truth_rows(*, scratch: Path, quick: bool, row: Callable[..., Any]) -> list:
    """Section 16: a row per regime, karvel's recall within 5 ppm against
    PeakPickerHiRes'; the table in build/picking-truth.md."""
    result = measure("truth", 1, script=SCRIPT, quick=quick)
    if "error" in result:
        return [row("16 picking truth", "generated profiles", "%", None, None, "PeakPickerHiRes",
                    note=result["error"])]
    (scratch.parent / "picking-truth.md").write_text(result["markdown"] + "\n")
    out = []
    for r in result["results"]:
        k, o = r["karvel"], r.get("openms")
        note = (f"1 ppm {100 * k['recall_1ppm']:.0f}/{100 * o['recall_1ppm']:.0f}%, "
                f"median {k['median_ppm']:.2f}/{o['median_ppm']:.2f} ppm, "
                f"false {k['false_per_scan']:.1f}/{o['false_per_scan']:.1f} a scan") if o else ""
        out.append(row("16 picking truth", f"{r['regime']}: recall <= 5 ppm", "%", 100 * k["recall_5ppm"],
                       100 * o["recall_5ppm"] if o else None, "PeakPickerHiRes", ">= 1", note=note))
    if all("openms" in r for r in result["results"]):
        karvel = sum(r["karvel"]["seconds"] for r in result["results"])
        openms = sum(r["openms"]["seconds"] for r in result["results"])
        out.append(row("16 picking truth", "picking time, all regimes (speed-up)", "x", openms / karvel, 1.0,
                       "PeakPickerHiRes", ">= 20"))
    return out


def rows(*, runs: dict, noisy: Any, scratch: Path, repetitions: int, row: Callable[..., Any],
         quick: bool = False) -> list:
    """The rows of sections 14, 15 and 16 (noisy: the profile run with a
    noisy baseline). `row(...)` is the driver's."""
    def run_task(task: str, **arguments: Any) -> dict:
        return measure(task, 1, script=SCRIPT, scratch=str(scratch), **arguments)

    run = runs["profile_lzf"]
    label = f"{run.params.scans} x {run.params.points}"
    repeats = max(1, repetitions)
    out = []
    result = run_task("pick", path=str(run.path), repeats=repeats)
    if "error" in result:
        out.append(row("14 picking", f"pick-all, {label}", "s", None, None, "decode alone", note=result["error"]))
    else:
        out.append(row("14 picking", f"spectra(mode='pick-all'), {label}", "s", result["seconds"],
                       result["decode_seconds"], "decode alone", "<= 1.5"))
    noisy_label = f"noisy baseline, {noisy.params.scans} x {noisy.params.points}"
    result = run_task("pick", path=str(noisy.path), repeats=repeats)
    if "error" in result:
        out.append(row("14 picking", f"pick-all, {noisy_label}", "s", None, None, "decode alone",
                       note=result["error"]))
    else:
        out.append(row("14 picking", f"spectra(mode='pick-all'), {noisy_label}", "s", result["seconds"],
                       result["decode_seconds"], "decode alone", "<= 1.5"))
    result = run_task("peer_pick", path=str(run.path), repeats=repeats)
    if "error" in result:
        out.append(row("14 picking", "vs PeakPickerHiRes", "s", None, None, "PeakPickerHiRes", note=result["error"]))
    else:
        # A speed-up: PeakPickerHiRes' time over karvel's.
        out.append(row("14 picking", f"{result['spectra']} spectra vs PeakPickerHiRes (speed-up)", "x",
                       result["reference_seconds"] / result["seconds"], 1.0, "PeakPickerHiRes", ">= 20"))
    result = run_task("numpress", path=str(run.path), repeats=repeats, error_spectra=20)
    if "error" in result:
        out.append(row("15 numpress", f"numpress+zlib, {label}", "MB", None, None, "zlib", note=result["error"]))
        return out + truth_rows(scratch=scratch, quick=quick, row=row)
    out.append(row("15 numpress", f"mzML size, numpress+zlib, {label}", "MB", result["bytes"] / 1e6,
                   result["zlib_bytes"] / 1e6, "zlib alone", "<= 0.35"))
    # A speed-up: zlib alone's time over numpress and zlib's.
    out.append(row("15 numpress", f"to_mzml speed-up, numpress+zlib, {label}", "x",
                   result["zlib_seconds"] / result["seconds"], 1.0, "zlib alone", ">= 1.5"))
    out.append(row("15 numpress", f"m/z error, {result['checked']} spectra", "ppm", result["mz_error_ppm"], PPM,
                   "bound", "<= 1.0"))
    out.append(row("15 numpress", f"intensity error, {result['checked']} spectra", "relative",
                   result["intensity_error"], result["intensity_bound"], "bound", "<= 1.0"))
    return out + truth_rows(scratch=scratch, quick=quick, row=row)


if __name__ == "__main__":
    serve(TASKS)
