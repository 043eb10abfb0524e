"""Small generated runs for the quality-control tests, with the numbers the
metrics must give worked out by hand beside them."""

from __future__ import annotations

from dataclasses import replace

from datafolder.run import Centroid, Fault, RunBuilder, cut_tail
from datafolder.synth import STANDARD_CALIBRATION

from runs import mz_centroid, profile, tof_centroid


def tic_run(tics: list[float], *, step_min: float = 0.1, ms2_after: bool = True) -> RunBuilder:
    """MS1 scans 0.1 min apart whose reported TICs are `tics`, then (when
    ms2_after) one MS2 scan 0.1 min after the last."""
    builder = RunBuilder()
    for i, tic in enumerate(tics):
        builder.add_scan(1.0 + step_min * i, centroid=tof_centroid(), tic=tic)
    if ms2_after:
        builder.add_scan(1.0 + step_min * len(tics), ms_level=2, target_mz=412.25, centroid=tof_centroid(3))
    return builder


def two_polarity_run() -> RunBuilder:
    """Positive MS1 at 60, 66 s (TIC 10, 30), negative MS1 at 63, 69 s (TIC
    5, 500) and a negative MS2 at 72 s."""
    builder = RunBuilder()
    builder.add_scan(1.0, centroid=tof_centroid(), tic=10.0, ion_polarity=0)
    builder.add_scan(1.05, centroid=tof_centroid(), tic=5.0, ion_polarity=1)
    builder.add_scan(1.1, centroid=tof_centroid(), tic=30.0, ion_polarity=0)
    builder.add_scan(1.15, centroid=tof_centroid(), tic=500.0, ion_polarity=1)
    builder.add_scan(1.2, ms_level=2, target_mz=300.5, centroid=tof_centroid(3), ion_polarity=1)
    return builder


DRIFT_SCALES = (1.0, 1 + 1e-6, 1 - 2e-6)


def drifting_run() -> RunBuilder:
    """Three MS1 scans whose own calibrations scale A of the default by
    DRIFT_SCALES, a fourth with no record of its own (the default)."""
    builder = RunBuilder()
    for i, scale in enumerate(DRIFT_SCALES):
        builder.add_scan(1.0 + 0.1 * i, centroid=tof_centroid(), mass_cal=replace(STANDARD_CALIBRATION, a=STANDARD_CALIBRATION.a * scale))
    builder.add_scan(1.3, centroid=mz_centroid(), mass_cal=None)
    return builder


def failing_run() -> RunBuilder:
    """MS1 at 60 s (TIC 1), MS1 at 66 s whose block is cut short, MS1 at
    72 s (TIC 100)."""
    builder = RunBuilder()
    builder.add_scan(1.0, centroid=tof_centroid(), tic=1.0)
    builder.add_scan(1.1, profile=profile(), profile_fault=Fault(transform=cut_tail(7)))
    builder.add_scan(1.2, centroid=tof_centroid(), tic=100.0)
    return builder


def quadrupole_run() -> RunBuilder:
    builder = RunBuilder(stride=196)
    builder.add_scan(1.0, centroid=Centroid([150.0, 250.0], [10.0, 30.0], format_id=3))
    builder.add_scan(1.1, centroid=Centroid([151.0, 251.0], [20.0, 40.0], format_id=3))
    return builder
