"""Small synthetic runs shared by the tests of the karvel module, and checks
that compare what karvel decodes with what the run writer predicted."""

from __future__ import annotations

import gc
import math
import os
import subprocess
import sys
import textwrap
import time
from pathlib import Path

from datafolder.run import BuiltRun, Centroid, ExpectedSpectrum, Profile, RunBuilder
from datafolder.synth import STANDARD_CALIBRATION, STANDARD_DX, STANDARD_X0, gaussian_intensities

TESTS_DIR = Path(__file__).resolve().parent.parent
# Under AddressSanitizer the address space and resident size say nothing
# about the module itself.
SANITIZED = "libasan" in os.environ.get("LD_PRELOAD", "")
TIME_OF_FLIGHT_STRIDES = (284, 220, 216)
QUADRUPOLE_STRIDES = (196, 186)
ALL_STRIDES = TIME_OF_FLIGHT_STRIDES + QUADRUPOLE_STRIDES


def profile(height: float = 5.0e4, points: int = 400, encoding: str = "lzf") -> Profile:
    peaks = [(points * 0.25, height, 2.0), (points * 0.6, height / 3, 1.5)]
    return Profile(STANDARD_X0, STANDARD_DX, gaussian_intensities(points, peaks), encoding=encoding)


def tof_centroid(count: int = 5, first_mz: float = 150.0) -> Centroid:
    mzs = [first_mz + 37.5 * i for i in range(count)]
    times = [STANDARD_CALIBRATION.flight_time(mz) for mz in mzs]
    return Centroid(times, [1000.0 + 250.5 * i for i in range(count)], format_id=2)


def mz_centroid(count: int = 4, first_mz: float = 200.0) -> Centroid:
    return Centroid([first_mz + 11.25 * i for i in range(count)],
                    [500.0 + 10.0 * i for i in range(count)], format_id=3)


def small_run_builder(stride: int = 284) -> RunBuilder:
    """Four scans decodable in any layout: MS1 and MS2, positive and negative."""
    builder = RunBuilder(stride=stride)
    if stride in TIME_OF_FLIGHT_STRIDES:
        builder.add_scan(1.0, profile=profile(), centroid=tof_centroid() if stride == 284 else None)
        builder.add_scan(1.01, ms_level=2, target_mz=412.25, collision_energy=20.0, centroid=tof_centroid(3))
        builder.add_scan(1.02, profile=profile(8.0e4, encoding="run_length"), ion_polarity=1)
        builder.add_scan(1.03, ms_level=2, target_mz=0.0, collision_energy=0.0, centroid=mz_centroid())
    else:
        builder.add_scan(1.0, centroid=mz_centroid(), mrm_channel_id=7)
        builder.add_scan(1.01, ms_level=2, centroid=mz_centroid(2, 300.0), mrm_channel_id=8)
        builder.add_scan(1.02, centroid=mz_centroid(6), ion_polarity=1)
        builder.add_scan(1.03, ms_level=2, centroid=mz_centroid(1, 99.5), mrm_channel_id=0)
    return builder


def build_small_run(tmp_path: Path, stride: int = 284, name: str = "run.d") -> BuiltRun:
    return small_run_builder(stride).build(tmp_path / name)


def same_float(actual: float | None, expected: float | None) -> bool:
    """Bit-for-bit equality of two optional floats (-0.0 and NaN told apart)."""
    if actual is None or expected is None:
        return actual is expected
    if math.isnan(expected):
        return math.isnan(actual)
    return actual == expected and math.copysign(1.0, actual) == math.copysign(1.0, expected)


def assert_spectrum_matches(spectrum, expected: ExpectedSpectrum) -> None:
    assert spectrum.index == expected.index
    assert spectrum.scan_number == expected.scan_number
    assert spectrum.native_id == expected.native_id
    assert spectrum.ms_level == expected.ms_level
    assert spectrum.polarity == expected.polarity
    assert spectrum.scan_mode == expected.scan_mode
    assert spectrum.analyzer == expected.analyzer
    assert spectrum.retention_time_sec == expected.retention_time_sec
    for name in ("reported_total_ion_current", "reported_base_peak_mz", "reported_base_peak_intensity",
                 "low_mz", "high_mz", "total_ion_current"):
        assert same_float(getattr(spectrum, name), getattr(expected, name)), name
    base_peak = expected.base_peak
    assert spectrum.base_peak_mz == (base_peak[0] if base_peak else None)
    assert spectrum.base_peak_intensity == (base_peak[1] if base_peak else None)
    assert spectrum.precursor == expected.precursor
    if expected.precursor is not None:
        assert list(spectrum.precursor) == list(expected.precursor)
    assert spectrum.mz == expected.mz
    assert spectrum.intensity == expected.intensity
    assert spectrum.extra == expected.extra
    assert list(spectrum.extra) == list(expected.extra)
    assert len(spectrum) == len(expected.mz)


def run_python(code: str, *, timeout: float = 120.0) -> subprocess.CompletedProcess:
    """Runs code in a fresh interpreter with the tests directory importable."""
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [str(TESTS_DIR), env.get("PYTHONPATH")]))
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                          timeout=timeout, env=env)


def thread_count() -> int:
    """Threads of this process, worker threads included."""
    return len(os.listdir("/proc/self/task"))


def wait_for(condition, timeout: float = 30.0) -> bool:
    """Polls condition until it holds or timeout seconds pass."""
    deadline = time.monotonic() + timeout
    while not condition():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.01)
    return True


def allocation_growth(call, rounds: int = 200, warmup: int = 20) -> int:
    """How many more memory blocks the interpreter holds after `rounds` calls
    of call than before them, counted after `warmup` calls that fill caches."""
    for _ in range(warmup):
        call()
    gc.collect()
    before = sys.getallocatedblocks()
    for _ in range(rounds):
        call()
    gc.collect()
    return sys.getallocatedblocks() - before
