"""The committed example run: a small, deterministic Q-TOF LC-MS/MS run.

40 scans in cycles of one MS1 scan and two MS2 scans.  MS1 scans carry a
profile block (LZF and run-length encodings alternating) and a format-2
centroid block; MS2 scans carry format-2 centroid peaks of fragments below
their precursor.  Compounds elute as Gaussian chromatographic peaks with
isotope patterns; calibrations come from DefaultMassCal.xml and from
per-scan MSMassCal.bin records that drift slightly.

    python -m datafolder.sample OUTDIR.d
"""

from __future__ import annotations

import math
import random
import sys
from dataclasses import replace
from pathlib import Path

from .calibration import Calibration
from .run import BuiltRun, Centroid, Profile, RunBuilder
from .synth import STANDARD_CALIBRATION, STANDARD_DX, STANDARD_X0, gaussian_intensities

SEED = 20190304
SCAN_COUNT = 40
POINT_COUNT = 24000
FIRST_RT_MIN = 2.0
CYCLE_MIN = 0.015
ISOTOPE_SPACING = 1.00336
ACQUIRED_TIME = "2019-03-04T10:22:13.1234567-05:00"
# A second default entry, as an instrument keeps one per mass range mode.
SECOND_CALIBRATION = replace(STANDARD_CALIBRATION, t0=13.25)


def compounds(rng: random.Random) -> list[dict]:
    """Analytes with m/z, charge, elution apex (min), width and abundance."""
    found = []
    for _ in range(14):
        charge = 2 if rng.random() < 0.3 else 1
        found.append({
            "mz": rng.uniform(150.0, 1300.0) if charge == 1 else rng.uniform(400.0, 900.0),
            "charge": charge,
            "apex": rng.uniform(FIRST_RT_MIN, FIRST_RT_MIN + SCAN_COUNT * CYCLE_MIN / 3),
            "width": rng.uniform(0.03, 0.08),
            "height": 10 ** rng.uniform(3.5, 6.0),
        })
    return found


def point_of(calibration: Calibration, mz: float) -> float:
    return (calibration.flight_time(mz) - STANDARD_X0) / STANDARD_DX


def ms1_peaks(rng: random.Random, analytes: list[dict], rt: float) -> list[tuple[float, float]]:
    """(m/z, height) of every isotope peak above the noise, plus chemical noise."""
    peaks = []
    for analyte in analytes:
        elution = math.exp(-0.5 * ((rt - analyte["apex"]) / analyte["width"]) ** 2)
        height = analyte["height"] * elution * rng.uniform(0.9, 1.1)
        for isotope, share in enumerate((1.0, 0.55, 0.18, 0.04)):
            if height * share >= 40.0:
                peaks.append((analyte["mz"] + isotope * ISOTOPE_SPACING / analyte["charge"], height * share))
    for _ in range(12):
        peaks.append((rng.uniform(100.0, 1400.0), rng.uniform(60.0, 900.0)))
    return sorted(peaks)


def ms1_profile(peaks: list[tuple[float, float]], calibration: Calibration, encoding: str) -> Profile:
    spread = [(point_of(calibration, mz), height, 1.8) for mz, height in peaks]
    return Profile(STANDARD_X0, STANDARD_DX, gaussian_intensities(POINT_COUNT, spread, threshold=2.0),
                   encoding=encoding)


def ms1_centroids(peaks: list[tuple[float, float]], calibration: Calibration) -> Centroid:
    times = [calibration.flight_time(mz) for mz, _ in peaks]
    return Centroid(times, [round(h * 4.5, 1) for _, h in peaks], format_id=2)


def fragments(rng: random.Random, precursor_mz: float, calibration: Calibration) -> Centroid:
    count = rng.randint(8, 30)
    mzs = sorted(rng.uniform(60.0, precursor_mz - 10.0) for _ in range(count))
    heights = [round(20000.0 * rng.random() ** 2 + 15.0, 1) for _ in mzs]
    return Centroid([calibration.flight_time(mz) for mz in mzs], heights, format_id=2)


def sample_builder() -> RunBuilder:
    rng = random.Random(SEED)
    builder = RunBuilder(stride=284, calibration=STANDARD_CALIBRATION, acquired_time=ACQUIRED_TIME)
    builder.add_default_calibration(2, SECOND_CALIBRATION)
    analytes = compounds(rng)
    precursors: list[float] = []
    ms1_count = 0
    for index in range(SCAN_COUNT):
        rt = round(FIRST_RT_MIN + index * CYCLE_MIN, 6)
        drifted = replace(STANDARD_CALIBRATION, a=STANDARD_CALIBRATION.a * (1.0 + 2.0e-7 * index))
        if index % 3 == 0:
            peaks = ms1_peaks(rng, analytes, rt)
            encoding = "lzf" if ms1_count % 2 == 0 else "run_length"
            ms1_count += 1
            builder.add_scan(rt, profile=ms1_profile(peaks, drifted, encoding),
                             centroid=ms1_centroids(peaks, drifted), mass_cal=drifted)
            precursors = [mz for mz, _ in sorted(peaks, key=lambda p: -p[1])[:2]]
        else:
            target = precursors[(index % 3) - 1] if len(precursors) >= index % 3 else 500.0
            builder.add_scan(rt, ms_level=2, target_mz=round(target, 4),
                             collision_energy=float(rng.choice((10, 20, 40))),
                             centroid=fragments(rng, target, drifted), mass_cal=drifted)
    return builder


SAMPLE_FILES = ("MSScan.bin", "MSProfile.bin", "MSPeak.bin", "MSMassCal.bin",
                "DefaultMassCal.xml", "Devices.xml", "Contents.xml")


def build_sample(path: str | Path) -> BuiltRun:
    """Write the sample run to `path` (a .d folder) and return its expected content."""
    acq = Path(path) / "AcqData"
    for name in SAMPLE_FILES:
        (acq / name).unlink(missing_ok=True)
    return sample_builder().build(path)


def main(argv: list[str]) -> int:
    if len(argv) != 2:
        print("usage: python -m datafolder.sample OUTDIR.d", file=sys.stderr)
        return 2
    run = build_sample(argv[1])
    total = sum(f.stat().st_size for f in run.acq.iterdir())
    print(f"{run.path}: {len(run.spectra)} scans, {total} bytes")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
