"""Peak picking against the truth: profiles generated here with known peaks,
picked by karvel (morvane.pick_peaks, the picker of `mode="pick-all"`) and
by OpenMS PeakPickerHiRes (pyopenms, its defaults), side by side.

    python bench/picking_truth.py [--quick] [--markdown]

Each regime is a few scans of a time-of-flight axis (m/z 400 to 1600, the
points evenly spaced in flight time, 10 ppm apart at m/z 1000) with Poisson
counting noise on every point: on a baseline of mean 20 counts ("noisy"),
or the same baseline zeroed below 40 counts as a detector threshold does
("zeroed"). Peaks are Gaussians in flight time with heights from 10 to
3,000 times the baseline (unless the regime says otherwise); seeds are
fixed, so every run sees the same profiles.

Per regime and picker:
- recall within 1 and 5 ppm: the share of the true peaks of at least 10
  times the baseline that have a reported peak that near;
- median and p95 of |m/z error| in ppm over the peaks both pickers found
  within 5 ppm (the same peaks for both);
- false peaks a scan: reported peaks above 20 times the baseline that are
  not the nearest report of a true peak within 3 sigma (split peaks, spikes
  and noise maxima);
- apex height error: the median |reported - true| / true over the peaks
  found within 5 ppm, the true height being the amplitude plus the
  baseline's mean;
- for close pairs, the recall of the minor peak within 5 ppm and the pull:
  the mean signed error of both peaks toward each other, in ppm;
- the time to pick the regime's scans (karvel's call includes the copy of
  the arrays it returns; PeakPickerHiRes' excludes building its spectra).
"""

from __future__ import annotations

import argparse
import math
import sys
import time
from dataclasses import dataclass, field
from typing import Callable

import numpy as np

MZ_LOW, MZ_HIGH = 400.0, 1600.0
# sqrt(m/z) grows by STEP a point: 10 ppm a point at m/z 1000.
STEP = 10e-6 * math.sqrt(1000.0) / 2.0
BASELINE = 20.0      # mean counts of the baseline
ZERO_BELOW = 40.0    # a zeroed baseline's detector threshold
TRUE_FACTOR = 10.0   # true peaks counted in the recall: at least this times the baseline
FALSE_FACTOR = 20.0  # false peaks counted above this times the baseline
FWHM = 2.0 * math.sqrt(2.0 * math.log(2.0))


def axis() -> np.ndarray:
    count = int((math.sqrt(MZ_HIGH) - math.sqrt(MZ_LOW)) / STEP)
    return (math.sqrt(MZ_LOW) + STEP * np.arange(count)) ** 2


def position_of(mz: float) -> float:
    return (math.sqrt(mz) - math.sqrt(MZ_LOW)) / STEP


@dataclass
class Truth:
    """The peaks of one scan: centre (point position), sigma (points),
    amplitude (counts); pair: the index of the partner, -1 for none; minor:
    the smaller of a pair."""
    centre: list[float] = field(default_factory=list)
    sigma: list[float] = field(default_factory=list)
    amplitude: list[float] = field(default_factory=list)
    partner: list[int] = field(default_factory=list)
    minor: list[bool] = field(default_factory=list)

    def add(self, centre: float, sigma: float, amplitude: float, partner: int = -1, minor: bool = False) -> None:
        self.centre.append(centre)
        self.sigma.append(sigma)
        self.amplitude.append(amplitude)
        self.partner.append(partner)
        self.minor.append(minor)


@dataclass(frozen=True)
class Regime:
    name: str
    kind: str                 # isolated, spikes, pairs, isotopes, dense
    sigma: float = 2.0        # points
    baseline: str = "noisy"   # noisy or zeroed
    peaks: int = 500          # a scan (pairs: pairs; isotopes: envelopes)
    separation: float = 0.0   # pairs: in FWHM
    ratio: float = 1.0        # pairs: major / minor
    charge: int = 1           # isotopes
    resolution: float = 0.0   # isotopes: m/z / FWHM
    low: float = TRUE_FACTOR  # heights from low to high times the baseline
    high: float = 3000.0
    mean: float = BASELINE    # baseline mean counts


def regimes() -> list[Regime]:
    out = []
    for baseline in ("noisy", "zeroed"):
        for sigma in (1.0, 2.0, 4.0, 8.0):
            out.append(Regime(f"isolated sigma {sigma:g}, {baseline}", "isolated", sigma=sigma, baseline=baseline))
    out.append(Regime("low counts (baseline 2), sigma 2", "isolated", mean=2.0, low=10.0, high=300.0))
    out.append(Regime("spikes: 100 a scan, sigma 2, noisy", "spikes"))
    for count in (500, 3000):
        out.append(Regime(f"dense: {count} a scan, random places, sigma 2", "dense", peaks=count))
    for separation in (0.75, 1.0, 1.25, 1.5, 2.0, 3.0):
        for ratio in (1.0, 3.0, 10.0):
            out.append(Regime(f"pair 1:{ratio:g} at {separation:g} FWHM, sigma 3", "pairs", sigma=3.0, peaks=150,
                              separation=separation, ratio=ratio, low=30.0))
    for resolution in (5000.0, 20000.0, 40000.0):
        for charge in (1, 2, 3, 4):
            out.append(Regime(f"isotopes z {charge}, R {resolution / 1000:g}k", "isotopes", peaks=120,
                              charge=charge, resolution=resolution))
    return out


def add_gaussian(values: np.ndarray, centre: float, sigma: float, amplitude: float) -> None:
    reach = int(6 * sigma) + 2
    low = max(0, int(centre) - reach)
    high = min(len(values), int(centre) + reach + 1)
    x = (np.arange(low, high) - centre) / sigma
    values[low:high] += amplitude * np.exp(-0.5 * x * x)


def place_apart(rng: np.random.Generator, count: int, points: int, gap: float) -> np.ndarray:
    """count positions in (gap, points - gap), at least gap apart."""
    slots = np.arange(gap, points - 2 * gap, gap)
    if len(slots) < count:
        raise ValueError(f"{count} peaks {gap} points apart do not fit")
    chosen = np.sort(rng.choice(slots, size=count, replace=False))
    return chosen + rng.uniform(0, 0.5 * gap, size=count)


def scan(regime: Regime, rng: np.random.Generator, points: int) -> tuple[np.ndarray, Truth]:
    """One scan's counts (before the noise) and its truth."""
    mean = np.full(points, regime.mean)
    truth = Truth()
    b = regime.mean

    def height() -> float:
        return b * regime.low * (regime.high / regime.low) ** rng.random()

    if regime.kind in ("isolated", "spikes"):
        for centre in place_apart(rng, regime.peaks, points, 14 * regime.sigma + 4):
            truth.add(centre, regime.sigma, height())
    elif regime.kind == "dense":
        for centre in np.sort(rng.uniform(20, points - 20, size=regime.peaks)):
            truth.add(centre, regime.sigma, height())
    elif regime.kind == "pairs":
        distance = regime.separation * FWHM * regime.sigma
        for centre in place_apart(rng, regime.peaks, points, distance + 16 * regime.sigma):
            major = height()
            first = len(truth.centre)
            minor_first = rng.random() < 0.5
            heights = (major / regime.ratio, major) if minor_first else (major, major / regime.ratio)
            minors = (True, False) if minor_first else (False, True)
            if regime.ratio == 1.0:
                minors = (True, False)
            truth.add(centre, regime.sigma, heights[0], first + 1, minors[0])
            truth.add(centre + distance, regime.sigma, heights[1], first, minors[1])
    elif regime.kind == "isotopes":
        # Envelopes of averagine-like molecules: isotope k at (M + 1.00336 k) / z
        # with Poisson(M / 1800) abundances; widths from the resolution.
        spacing = 1.00336 / regime.charge
        monoisotopic = np.sort(rng.uniform(MZ_LOW + 5, MZ_HIGH - 8 * spacing - 5, size=regime.peaks))
        for mz in monoisotopic:
            mass = mz * regime.charge
            lam = mass / 1800.0
            top = height()
            abundances = [math.exp(-lam) * lam ** k / math.factorial(k) for k in range(8)]
            largest = max(abundances)
            for k, abundance in enumerate(abundances):
                peak_mz = mz + k * spacing
                centre = position_of(peak_mz)
                # FWHM in m/z: peak_mz / R; in points through d(mz)/d(point) = 2 STEP sqrt(mz).
                sigma = peak_mz / regime.resolution / (2 * STEP * math.sqrt(peak_mz)) / FWHM
                amplitude = top * abundance / largest
                if amplitude >= 0.5 * b:
                    truth.add(centre, sigma, amplitude)
    for c, s, a in zip(truth.centre, truth.sigma, truth.amplitude):
        add_gaussian(mean, c, s, a)
    return mean, truth


def profiles(regime: Regime, scans: int, seed: int) -> list[tuple[np.ndarray, np.ndarray, Truth, np.ndarray]]:
    """(mz, intensity float32, truth, spike positions) for each scan."""
    rng = np.random.default_rng(seed)
    mz = axis()
    out = []
    for _ in range(scans):
        mean, truth = scan(regime, rng, len(mz))
        counts = rng.poisson(mean).astype(np.float64)
        if regime.baseline == "zeroed":
            counts[counts < ZERO_BELOW] = 0.0
        spikes = np.empty(0, dtype=np.int64)
        if regime.kind == "spikes":
            spikes = rng.choice(np.arange(10, len(mz) - 10), size=100, replace=False)
            counts[spikes] += regime.mean * 20 * 25 ** rng.random(len(spikes))
        out.append((mz, counts.astype(np.float32), truth, spikes))
    return out


def karvel_picker() -> Callable[[np.ndarray, np.ndarray], tuple[np.ndarray, np.ndarray]]:
    import morvane

    def pick(mz: np.ndarray, intensity: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
        return morvane.pick_peaks(mz, intensity)
    return pick


def openms_picker() -> Callable[[np.ndarray, np.ndarray], tuple[np.ndarray, np.ndarray]] | None:
    try:
        import pyopenms as oms
    except ImportError:
        return None
    picker = oms.PeakPickerHiRes()
    prepared: dict[int, object] = {}

    def pick(mz: np.ndarray, intensity: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
        spectrum = prepared.pop(id(intensity), None)
        if spectrum is None:
            spectrum = oms.MSSpectrum()
            spectrum.set_peaks((mz, intensity))
        out = oms.MSSpectrum()
        picker.pick(spectrum, out)
        found_mz, found_intensity = out.get_peaks()
        return np.asarray(found_mz, np.float64), np.asarray(found_intensity, np.float64)

    def prepare(mz: np.ndarray, intensity: np.ndarray) -> None:
        spectrum = oms.MSSpectrum()
        spectrum.set_peaks((mz, intensity))
        prepared[id(intensity)] = spectrum

    pick.prepare = prepare  # type: ignore[attr-defined]
    return pick


@dataclass
class Score:
    truths: int = 0
    found1: int = 0
    found5: int = 0
    minors: int = 0
    minors5: int = 0
    false: int = 0
    scans: int = 0
    seconds: float = 0.0
    errors: list = field(default_factory=list)        # ppm, signed, per true peak (nan: not within 5)
    heights: list = field(default_factory=list)       # relative height errors of the found
    pulls: list = field(default_factory=list)         # ppm toward the partner


def evaluate(mz: np.ndarray, truth: Truth, found_mz: np.ndarray, found_height: np.ndarray, mean: float,
             score: Score) -> None:
    order = np.argsort(found_mz)
    found_mz, found_height = found_mz[order], found_height[order]
    centres = np.asarray(truth.centre)
    true_mz = (math.sqrt(MZ_LOW) + STEP * centres) ** 2
    sigma_mz = 2 * STEP * np.sqrt(true_mz) * np.asarray(truth.sigma)
    amplitude = np.asarray(truth.amplitude)
    counted = amplitude >= TRUE_FACTOR * mean
    if len(found_mz):
        at = np.clip(np.searchsorted(found_mz, true_mz), 1, len(found_mz) - 1) if len(found_mz) > 1 else \
            np.zeros(len(true_mz), dtype=np.int64)
        left = np.maximum(at - 1, 0)
        nearer = np.abs(found_mz[left] - true_mz) <= np.abs(found_mz[at] - true_mz)
        nearest = np.where(nearer, left, at)
        error = (found_mz[nearest] - true_mz) / true_mz * 1e6
    else:
        nearest = np.zeros(len(true_mz), dtype=np.int64)
        error = np.full(len(true_mz), np.inf)
    within5 = np.abs(error) <= 5
    score.truths += int(counted.sum())
    score.found1 += int((counted & (np.abs(error) <= 1)).sum())
    score.found5 += int((counted & within5).sum())
    minor = np.asarray(truth.minor, dtype=bool) & counted
    score.minors += int(minor.sum())
    score.minors5 += int((minor & within5).sum())
    score.errors.extend(np.where(counted & within5, error, np.nan).tolist())
    if len(found_mz):
        relative = (found_height[nearest] - (amplitude + mean)) / (amplitude + mean)
        score.heights.extend(np.abs(relative[counted & within5]).tolist())
    partner = np.asarray(truth.partner)
    for k in np.nonzero((partner >= 0) & within5)[0]:
        toward = 1.0 if true_mz[partner[k]] > true_mz[k] else -1.0
        score.pulls.append(toward * error[k])
    # False peaks: reports above FALSE_FACTOR x the baseline that are not the
    # nearest report of some true peak within 3 sigma.
    strong = np.nonzero(found_height > FALSE_FACTOR * mean)[0]
    claimed = set()
    if len(found_mz):
        close = np.abs(found_mz[nearest] - true_mz) <= 3 * sigma_mz
        claimed = set(nearest[close].tolist())
    score.false += sum(1 for k in strong.tolist() if k not in claimed)
    score.scans += 1


def run_regime(regime: Regime, scans: int, seed: int, pickers: dict) -> dict[str, Score]:
    data = profiles(regime, scans, seed)
    scores = {}
    for name, pick in pickers.items():
        score = Score()
        for mz, intensity, truth, _ in data:
            if hasattr(pick, "prepare"):
                pick.prepare(mz, intensity)
            started = time.perf_counter()
            found_mz, found_height = pick(mz, intensity)
            score.seconds += time.perf_counter() - started
            evaluate(mz, truth, np.asarray(found_mz, np.float64), np.asarray(found_height, np.float64),
                     regime.mean, score)
        scores[name] = score
    # Position accuracy over the peaks that every picker found within 5 ppm.
    errors = [np.asarray(s.errors) for s in scores.values()]
    common = np.logical_and.reduce([~np.isnan(e) for e in errors])
    for score, e in zip(scores.values(), errors):
        score.errors = np.abs(e[common]).tolist()
    return scores


def summary(score: Score) -> dict:
    errors = np.asarray(score.errors)
    return {
        "recall_1ppm": score.found1 / score.truths if score.truths else math.nan,
        "recall_5ppm": score.found5 / score.truths if score.truths else math.nan,
        "median_ppm": float(np.median(errors)) if len(errors) else math.nan,
        "p95_ppm": float(np.percentile(errors, 95)) if len(errors) else math.nan,
        "false_per_scan": score.false / score.scans if score.scans else math.nan,
        "height_error": float(np.median(score.heights)) if score.heights else math.nan,
        "minor_recall": score.minors5 / score.minors if score.minors else math.nan,
        "pull_ppm": float(np.mean(score.pulls)) if score.pulls else math.nan,
        "seconds": score.seconds,
        "truths": score.truths,
    }


def measure(quick: bool) -> list[dict]:
    """Every regime's summary for each picker: [{"regime", "karvel", "openms"}]."""
    scans = 2 if quick else 8
    pickers = {"karvel": karvel_picker()}
    openms = openms_picker()
    if openms is not None:
        pickers["openms"] = openms
    out = []
    for seed, regime in enumerate(regimes(), start=1):
        scores = run_regime(regime, scans, seed, pickers)
        out.append({"regime": regime.name, **{name: summary(score) for name, score in scores.items()}})
    return out


def percent(value: float) -> str:
    return "-" if math.isnan(value) else f"{100 * value:.1f}"


def number(value: float, digits: int = 3) -> str:
    return "-" if math.isnan(value) else f"{value:.{digits}f}"


def markdown(results: list[dict]) -> str:
    head = ("| regime | true peaks | recall ≤1 ppm % (karvel / OpenMS) | recall ≤5 ppm % | median ppm | p95 ppm "
            "| false a scan | height error % | minor recall % | pull ppm |")
    lines = [head, "|" + " --- |" * 10]
    for r in results:
        k, o = r["karvel"], r.get("openms")

        def both(key: str, show: Callable[[float], str]) -> str:
            return show(k[key]) + " / " + (show(o[key]) if o else "-")
        lines.append(f"| {r['regime']} | {k['truths']} | {both('recall_1ppm', percent)} | "
                     f"{both('recall_5ppm', percent)} | {both('median_ppm', number)} | "
                     f"{both('p95_ppm', lambda v: number(v, 2))} | {both('false_per_scan', lambda v: number(v, 1))} | "
                     f"{both('height_error', percent)} | {both('minor_recall', percent)} | "
                     f"{both('pull_ppm', lambda v: number(v, 2))} |")
    karvel_seconds = sum(r["karvel"]["seconds"] for r in results)
    if all("openms" in r for r in results):
        openms_seconds = sum(r["openms"]["seconds"] for r in results)
        lines.append("")
        lines.append(f"Picking time over all regimes: karvel {karvel_seconds:.3f} s, PeakPickerHiRes "
                     f"{openms_seconds:.3f} s ({openms_seconds / karvel_seconds:.0f}x).")
    return "\n".join(lines)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="two scans a regime")
    parser.add_argument("--markdown", action="store_true", help="print the table as markdown")
    args = parser.parse_args()
    results = measure(args.quick)
    print(markdown(results))
    return 0


if __name__ == "__main__":
    sys.exit(main())
