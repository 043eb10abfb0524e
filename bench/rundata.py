"""Large deterministic benchmark runs, made with the synthetic data-folder writer.

A run of thousands of scans is too big for `RunBuilder` to predict point by
point in Python, so each run is made in two steps:

1. `RunBuilder` writes a small template run of a few distinct scans (data
   blocks, scan table, calibrations, XML side files) and predicts their
   spectra;
2. the template is tiled to the full scan count: scan i reuses template scan
   i % T's stored block at a new offset, with its own scan id and retention
   time, and the scan table and MSMassCal.bin are rewritten with the writer's
   own encoders.

Scan i of the big run therefore decodes to template spectrum i % T, which
`expected_spectrum` returns. Runs are cached under a hash of their
parameters and of the writer's sources.
"""

from __future__ import annotations

import dataclasses
import hashlib
import json
import math
import pickle
import random
import shutil
import sys
from dataclasses import dataclass
from pathlib import Path

REPO = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(REPO / "tests"))

from datafolder import msmasscal, msscan  # noqa: E402
from datafolder.run import (CONTENTS, DEFAULT_MASS_CAL, DEVICES, MS_MASS_CAL, MS_PEAK,  # noqa: E402
                            MS_PROFILE, MS_SCAN, Centroid, Profile, RunBuilder)
from datafolder.synth import STANDARD_CALIBRATION, STANDARD_DX, STANDARD_X0, gaussian_intensities  # noqa: E402

# Bumped when the layout of the generated runs changes without a parameter change.
GENERATOR_VERSION = 1
TEMPLATE_NAME = "template.d"
RUN_NAME = "run.d"
EXPECTED_NAME = "expected.pickle"
FIRST_RT_MIN = 1.0
NOISY_BASELINE = 20.0  # mean counts of a noisy profile's baseline


@dataclass(frozen=True)
class RunParams:
    """One benchmark run.

    kind "profile": time-of-flight profile scans of `points` points,
    `encoding` "lzf" or "run_length"; kind "noisy_profile": the same on a
    baseline of counting noise on every point; kind "centroid": time-of-flight
    centroid scans of `points` peaks, `encoding` "2" (flight times with
    calibration) or "3" (m/z stored); kind "mrm": triple-quadrupole MRM
    scans of `points` points each (format 3)."""

    name: str
    kind: str
    scans: int
    points: int
    encoding: str
    template_scans: int = 8
    seed: int = 20240601

    def key(self) -> str:
        digest = hashlib.sha256()
        digest.update(json.dumps([GENERATOR_VERSION, dataclasses.asdict(self)], sort_keys=True).encode())
        for source in sorted((REPO / "tests" / "datafolder").glob("*.py")) + [Path(__file__)]:
            digest.update(source.read_bytes())
        return digest.hexdigest()[:12]

    def with_scans(self, name: str, scans: int) -> "RunParams":
        return dataclasses.replace(self, name=name, scans=scans)


@dataclass
class GeneratedRun:
    params: RunParams
    directory: Path

    @property
    def path(self) -> Path:
        return self.directory / RUN_NAME

    def expected(self) -> list[tuple[list[float], list[float]]]:
        """(m/z, intensity) of every template scan, as the writer predicts them."""
        with open(self.directory / EXPECTED_NAME, "rb") as handle:
            return pickle.load(handle)

    def data_bytes(self) -> int:
        acq = self.path / "AcqData"
        return sum((acq / name).stat().st_size for name in (MS_PROFILE, MS_PEAK) if (acq / name).exists())


# Template scans --------------------------------------------------------------

def profile_intensities(rng: random.Random, points: int) -> list[int]:
    """A time-of-flight profile: Gaussian peaks of a few points' width on a
    zero baseline, plus sparse detector noise of a few counts."""
    peak_count = max(4, points // 150)
    peaks = [(rng.uniform(10, points - 10), 2.0e5 * rng.random() ** 4 + 30.0, rng.uniform(1.5, 3.0))
             for _ in range(peak_count)]
    values = gaussian_intensities(points, peaks, threshold=2.0)
    for _ in range(points // 30):
        i = rng.randrange(points)
        if values[i] == 0:
            values[i] = rng.randint(1, 40)
    return values


def noisy_profile_intensities(rng: random.Random, points: int) -> list[int]:
    """The peaks of profile_intensities on a baseline of counting noise on
    every point (mean NOISY_BASELINE counts, Gaussian with the Poisson
    spread), as a detector that does not zero its baseline records it."""
    peaks = profile_intensities(rng, points)
    spread = math.sqrt(NOISY_BASELINE)
    return [v + max(0, round(rng.gauss(NOISY_BASELINE, spread))) for v in peaks]


def centroid_peaks(rng: random.Random, points: int) -> tuple[list[float], list[float], list[float]]:
    """Sorted m/z values, their flight times under the standard calibration,
    and intensities."""
    mzs = sorted(rng.uniform(100.0, 1450.0) for _ in range(points))
    times = [STANDARD_CALIBRATION.flight_time(mz) for mz in mzs]
    heights = [round(5.0e4 * rng.random() ** 3 + 10.0, 2) for _ in mzs]
    return mzs, times, heights


def template_builder(params: RunParams) -> RunBuilder:
    rng = random.Random(params.seed)
    if params.kind == "mrm":
        builder = RunBuilder(stride=196)
        for t in range(params.template_scans):
            mzs = [rng.uniform(100.0, 900.0) for _ in range(params.points)]
            heights = [round(rng.uniform(100.0, 1.0e5), 1) for _ in mzs]
            builder.add_scan(FIRST_RT_MIN + 0.001 * t, ms_level=2, mrm_channel_id=t + 1, collision_energy=15.0,
                             centroid=Centroid(mzs, heights, format_id=3))
        return builder
    builder = RunBuilder(stride=284)
    for t in range(params.template_scans):
        rt = FIRST_RT_MIN + 0.01 * t
        if params.kind in ("profile", "noisy_profile"):
            values = (profile_intensities if params.kind == "profile" else noisy_profile_intensities)(rng, params.points)
            profile = Profile(STANDARD_X0, STANDARD_DX, values, encoding=params.encoding)
            builder.add_scan(rt, profile=profile)
        elif params.kind == "centroid":
            mzs, times, heights = centroid_peaks(rng, params.points)
            x = times if params.encoding == "2" else mzs
            builder.add_scan(rt, centroid=Centroid(x, heights, format_id=int(params.encoding)))
        else:
            raise ValueError(f"unknown run kind {params.kind!r}")
    return builder


# Tiling ------------------------------------------------------------------------

def tile(params: RunParams, template: Path, records: list[msscan.ScanRecord], out: Path) -> None:
    """Writes the full run at `out` from the template run's files and records."""
    src = template / "AcqData"
    acq = out / "AcqData"
    acq.mkdir(parents=True)
    for name in (DEFAULT_MASS_CAL, DEVICES, CONTENTS):
        if (src / name).exists():
            shutil.copyfile(src / name, acq / name)
    data = {name: (src / name).read_bytes() for name in (MS_PROFILE, MS_PEAK) if (src / name).exists()}
    outputs = {name: open(acq / name, "wb") for name in data}
    positions = dict.fromkeys(data, 0)
    count = len(records)
    step = 0.5 / 60.0 if params.kind == "mrm" else 1.5 / 60.0  # minutes between scans
    tiled = []
    try:
        for i in range(params.scans):
            record = records[i % count]
            blocks = []
            for block in record.blocks:
                name = MS_PROFILE if block.kind == msscan.PROFILE_KIND else MS_PEAK
                outputs[name].write(data[name][block.offset:block.offset + block.byte_count])
                blocks.append(dataclasses.replace(block, offset=positions[name]))
                positions[name] += block.byte_count
            tiled.append(dataclasses.replace(record, scan_id=1 + i, retention_time_min=FIRST_RT_MIN + i * step,
                                             blocks=blocks))
    finally:
        for handle in outputs.values():
            handle.close()
    stride = 196 if params.kind == "mrm" else 284
    table = msscan.msscan_bytes(tiled, stride)
    if msscan.inferred_stride(table) != stride:
        raise ValueError(f"{params.name}: a reader would infer another stride; change the scan count")
    (acq / MS_SCAN).write_bytes(table)
    if (src / MS_MASS_CAL).exists():
        raw = (src / MS_MASS_CAL).read_bytes()
        body = raw[msmasscal.HEADER_SIZE:]
        size = msmasscal.RECORD_SIZE
        per_scan = [body[(i % count) * size:(i % count + 1) * size] for i in range(params.scans)]
        (acq / MS_MASS_CAL).write_bytes(raw[:msmasscal.HEADER_SIZE] + b"".join(per_scan))


def generate(params: RunParams, root: Path, log=print) -> GeneratedRun:
    """The run for params under root, generated unless it is cached."""
    directory = root / f"{params.name}-{params.key()}"
    run = GeneratedRun(params, directory)
    if (directory / EXPECTED_NAME).exists():
        return run
    log(f"generating {params.name}: {params.scans} scans x {params.points} points ({params.encoding})")
    work = root / f".{directory.name}.tmp"
    shutil.rmtree(work, ignore_errors=True)
    work.mkdir(parents=True)
    built = template_builder(params).build(work / TEMPLATE_NAME)
    tile(params, built.path, built.records, work / RUN_NAME)
    expected = [(list(s.mz), list(s.intensity)) for s in built.spectra]
    with open(work / EXPECTED_NAME, "wb") as handle:
        pickle.dump(expected, handle, protocol=pickle.HIGHEST_PROTOCOL)
    (work / "params.json").write_text(json.dumps(dataclasses.asdict(params), indent=1) + "\n")
    shutil.rmtree(directory, ignore_errors=True)
    work.rename(directory)
    return run
