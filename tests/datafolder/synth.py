"""Deterministic synthetic spectra: Gaussian peaks on a zero baseline."""

from __future__ import annotations

import math
import random

from .calibration import Calibration

# A plausible Q-TOF calibration: flight times 20000..80000 map to m/z ~92..1470,
# with a small polynomial correction (constant, linear and quadratic terms).
STANDARD_CALIBRATION = Calibration(
    a=4.8e-4, t0=12.5, range_min=20000.0, range_max=80000.0,
    coefficients=(1.2e-3, 2.5e-8, -3.0e-13, 0.0, 0.0, 0.0), flags=0b111)
STANDARD_X0 = 20000.0
STANDARD_DX = 2.5


def gaussian_intensities(point_count: int, peaks: list[tuple[float, float, float]],
                         threshold: float = 1.0) -> list[int]:
    """Integer intensities of Gaussian peaks (centre index, height, sigma in
    points); values below `threshold` become exact zeros."""
    values = [0.0] * point_count
    for centre, height, sigma in peaks:
        reach = int(4 * sigma) + 1
        for i in range(max(0, int(centre) - reach), min(point_count, int(centre) + reach + 1)):
            values[i] += height * math.exp(-0.5 * ((i - centre) / sigma) ** 2)
    return [int(round(v)) if v >= threshold else 0 for v in values]


def random_profile(rng: random.Random, point_count: int, peak_count: int, *,
                   max_height: float = 2.0e5, sigma: float = 2.0) -> list[int]:
    peaks = [(rng.uniform(10, point_count - 10), max_height * rng.random() ** 3 + 50.0,
              sigma * rng.uniform(0.8, 1.3)) for _ in range(peak_count)]
    return gaussian_intensities(point_count, peaks)


def random_centroids(rng: random.Random, calibration: Calibration, peak_count: int,
                     low_mz: float, high_mz: float, *, max_height: float = 5.0e4) -> tuple[list[float], list[float]]:
    """Flight times (sorted) and intensities of centroided peaks within an m/z range."""
    mzs = sorted(rng.uniform(low_mz, high_mz) for _ in range(peak_count))
    times = [calibration.flight_time(mz) for mz in mzs]
    heights = [round(max_height * rng.random() ** 2 + 10.0, 2) for _ in mzs]
    return times, heights
