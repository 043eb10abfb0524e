"""Profiles with known peaks for judging a peak picker: Gaussian peaks of
chosen centre, width and height on a noisy baseline, with the awkward
shapes mixed in (overlapping pairs, peaks on the first and last point,
single-point spikes, flat tops, saturated plateaus). The true centre of
each peak is kept as a point position; its m/z is the calibration of that
flight time, computed here."""

from __future__ import annotations

import math
import random
from dataclasses import dataclass

from .calibration import Calibration

# Kinds of peaks; "regular" and "pair" are plain Gaussians.
KINDS = ("regular", "pair", "flat", "first", "last", "spike", "saturated")


@dataclass(frozen=True)
class TruePeak:
    kind: str
    centre: float  # point position
    height: float  # before any clipping
    sigma: float   # in points
    points: int    # points of the peak above the baseline's highest value

    def mz(self, calibration: Calibration, x0: float, dx: float) -> float:
        return calibration.mz(x0 + self.centre * dx)


def _add_gaussian(values: list[float], centre: float, height: float, sigma: float) -> None:
    reach = int(6 * sigma) + 2
    for i in range(max(0, int(centre) - reach), min(len(values), int(centre) + reach + 1)):
        values[i] += height * math.exp(-0.5 * ((i - centre) / sigma) ** 2)


def _points_above(centre: float, height: float, sigma: float, level: float, count: int) -> int:
    if height <= level:
        return 1 if height > 0 else 0
    half_width = sigma * math.sqrt(2 * math.log(height / level))
    return sum(1 for i in range(count) if abs(i - centre) <= half_width)


def picking_profile(rng: random.Random, point_count: int, *, baseline: int = 20, sigma: float = 2.5,
                    regular: int = 30, pairs: int = 3, flat: int = 2, specials: tuple[str, ...] = (),
                    ceiling: int = 2_000_000) -> tuple[list[int], list[TruePeak]]:
    """Integer intensities (baseline noise uniform in 0..2·baseline, so about
    half the baseline points reach the noise median `baseline`) and the peaks
    put on them, heights 50 to 5000 times the baseline. `specials` adds one
    peak of each kind named ("first", "last", "spike", "saturated"); a
    saturated peak is clipped at `ceiling`, below its height."""
    values = [float(rng.randint(0, 2 * baseline)) for _ in range(point_count)]
    level = 2 * baseline
    peaks: list[TruePeak] = []
    # Slots keep peaks apart by at least 12 sigma (pairs take one slot).
    margin = int(8 * sigma) + 4
    slot = int(12 * sigma) + 4
    wanted = regular + pairs + flat + sum(kind in ("spike", "saturated") for kind in specials)
    slots = list(range(margin, point_count - margin - slot, slot))
    if len(slots) < wanted:
        raise ValueError(f"{point_count} points hold {len(slots)} peaks, {wanted} wanted")
    rng.shuffle(slots)
    taken = iter(slots)

    def height() -> float:
        return baseline * 50 * 100 ** rng.random()

    def width() -> float:
        return sigma * rng.uniform(0.7, 1.4)

    def place(kind: str, centre: float, h: float, s: float, clip: float | None = None) -> None:
        if clip is None:
            _add_gaussian(values, centre, h, s)
        else:
            part = [0.0] * point_count
            _add_gaussian(part, centre, h, s)
            for i, v in enumerate(part):
                values[i] = min(values[i] + v, clip) if v > 0 else values[i]
        peaks.append(TruePeak(kind, centre, h, s, _points_above(centre, h, s, level, point_count)))

    for _ in range(regular):
        place("regular", next(taken) + rng.random(), height(), width())
    for _ in range(pairs):
        # Four widths apart with heights within a factor of two: the valley
        # between them falls to about a quarter or half of the lower top.
        start, s, h = next(taken) + rng.random(), width(), height()
        place("pair", start, h, s)
        place("pair", start + 4 * s, h * 2 ** rng.uniform(-1, 1), s)
    for _ in range(flat):
        # A Gaussian centred between two points: two equal top points.
        place("flat", next(taken) + 0.5, height(), width())
    for kind in specials:
        s = width()
        if kind == "first":
            place(kind, 0.0, height(), s)
        elif kind == "last":
            place(kind, float(point_count - 1), height(), s)
        elif kind == "spike":
            centre = next(taken)
            values[centre] += height()
            peaks.append(TruePeak(kind, float(centre), values[centre], 0.0, 1))
        elif kind == "saturated":
            h = rng.uniform(3, 6) * ceiling
            place(kind, next(taken) + rng.random(), h, 2 * s, clip=float(ceiling))
        else:
            raise ValueError(f"unknown peak kind {kind!r}")
    return [int(round(v)) for v in values], sorted(peaks, key=lambda p: p.centre)
