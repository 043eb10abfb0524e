"""The checks of the arguments every entry point shares (ms_level, rt,
mode, errors, threads) and of the outputs' encodings, each done here once.

A check returns the value in the form the extension takes, or raises
TypeError (wrong kind of value) or ValueError (a value out of range)."""

from __future__ import annotations

import math
import numbers
import os
from collections.abc import Callable, Iterable
from typing import Any, Literal, TypeAlias

import numpy as np

# Which block a spectrum is read from:
#   "auto"      the block the scan uses (its profile when it has one),
#   "stored"    the centroids the run stores, where a scan has them,
#   "centroid"  the same as "stored",
#   "pick"      centroids picked from the profile of scans that store none,
#   "pick-all"  centroids picked from every profile.
# (Spelled as a union of one-value literals: the same type, and one that
# stubtest recognises at run time.)
Mode: TypeAlias = Literal["auto"] | Literal["stored"] | Literal["centroid"] | Literal["pick"] | Literal["pick-all"]
Errors: TypeAlias = Literal["raise"] | Literal["skip"]
MsLevels: TypeAlias = int | Iterable[int]

# Mode -> the extension's block choice code (0 auto, 1 stored, 2 pick,
# 3 pick-all); None where the mode is not available in this build (the
# reason is in UNAVAILABLE_MODES).
MODES: dict[str, int | None] = {
    "auto": 0,
    "stored": 1,
    "centroid": 1,
    "pick": 2,
    "pick-all": 3,
}
UNAVAILABLE_MODES: dict[str, str] = {}
# The extension's MS level range meaning every level.
ALL_LEVELS = (0, 4294967295)

MAX_MS_LEVEL = 255


# The extension's codes of the MS-Numpress codecs (0 for none).
NUMPRESS: dict[str | None, int] = {None: 0, "linear": 1, "slof": 2, "pic": 3}


def mz_ppm(value: Any) -> float:
    """numpress_mz_ppm, the bound of the linear m/z codec in parts per million."""
    if isinstance(value, bool) or not isinstance(value, (int, float)) or not (value > 0 and math.isfinite(value)):
        raise ValueError(f"numpress_mz_ppm must be a positive number, not {value!r}")
    return float(value)


def mzml_encoding(intensity_bits: Any, numpress_mz: Any, numpress_intensity: Any,
                  numpress_mz_ppm: Any) -> tuple[int, int, int, float]:
    """The extension's (intensity bits, m/z codec, intensity codec, m/z
    bound in ppm) of the mzML writer's arguments."""
    if intensity_bits not in (32, 64):
        raise ValueError(f"intensity_bits must be 32 or 64, not {intensity_bits!r}")
    if numpress_mz not in (None, "linear"):
        raise ValueError(f"numpress_mz must be 'linear' or None, not {numpress_mz!r}")
    if numpress_intensity not in (None, "slof", "pic"):
        raise ValueError(f"numpress_intensity must be 'slof', 'pic' or None, not {numpress_intensity!r}")
    return int(intensity_bits), NUMPRESS[numpress_mz], NUMPRESS[numpress_intensity], mz_ppm(numpress_mz_ppm)


def centroid(mode: str) -> int:
    """The extension's block choice code of `mode`."""
    if not isinstance(mode, str) or mode not in MODES:
        raise ValueError(f"mode must be one of {', '.join(map(repr, MODES))}, not {mode!r}")
    chosen = MODES[mode]
    if chosen is None:
        raise ValueError(f"mode={mode!r}: {UNAVAILABLE_MODES[mode]}")
    return chosen


def picking(mode: str, levels: int | tuple[int, int | None] | None = None,
            snr: float = 3.0) -> tuple[int, int, int, float]:
    """The extension's (choice, lowest level, highest level, snr): `levels`
    the MS levels the mode applies to (the others keep their block): None for
    all, n for level n alone, (low, high) inclusive, high None for no end;
    `snr` the picker's signal-to-noise threshold (0 keeps every maximum)."""
    if levels is None:
        low, high = ALL_LEVELS
    elif isinstance(levels, int) and not isinstance(levels, bool):
        low, high = levels, levels
    elif isinstance(levels, tuple) and len(levels) == 2:
        low, high = levels[0], ALL_LEVELS[1] if levels[1] is None else levels[1]
    else:
        raise ValueError(f"centroid_ms_levels must be None, a level or a (low, high) pair, not {levels!r}")
    if not all(isinstance(v, int) and not isinstance(v, bool) and 0 <= v <= ALL_LEVELS[1] for v in (low, high)) \
            or low > high:
        raise ValueError(f"centroid_ms_levels must name levels from low to high, not {levels!r}")
    if isinstance(snr, bool) or not isinstance(snr, (int, float)) or not (snr >= 0 and math.isfinite(snr)):
        raise ValueError(f"snr must be a non-negative number, not {snr!r}")
    return centroid(mode), low, high, float(snr)


def mz_windows(mz: Any, ppm: Any, da: Any, caller: str) -> tuple[np.ndarray, np.ndarray]:
    """The m/z windows [low, high] of targets mz (a number or a sequence)
    with tolerance ppm or da (exactly one; a number or one per target), as
    two float64 arrays."""
    if (ppm is None) == (da is None):
        raise TypeError(f"{caller} needs exactly one of ppm= and da=")
    try:
        centres = np.atleast_1d(np.asarray(mz, dtype=np.float64))
        tolerance = np.atleast_1d(np.asarray(ppm if ppm is not None else da, dtype=np.float64))
    except (TypeError, ValueError):
        raise TypeError(f"{caller}: m/z and tolerances must be numbers or sequences of numbers") from None
    if centres.ndim != 1 or tolerance.ndim != 1:
        raise ValueError(f"{caller}: m/z and tolerances must be numbers or flat sequences")
    if tolerance.size not in (1, centres.size):
        raise ValueError(f"{caller}: {tolerance.size} tolerances for {centres.size} targets")
    if not np.all(np.isfinite(centres)):
        raise ValueError(f"{caller}: every m/z must be a finite number")
    if not np.all(tolerance >= 0):
        raise ValueError("the tolerance must not be negative or NaN")
    half = centres * tolerance * 1e-6 if ppm is not None else np.broadcast_to(tolerance, centres.shape)
    return np.ascontiguousarray(centres - half), np.ascontiguousarray(centres + half)


def skip(errors: str) -> bool:
    """Whether undecodable spectra are left out (errors="skip") rather than raised."""
    if errors not in ("raise", "skip"):
        raise ValueError(f"errors must be 'raise' or 'skip', not {errors!r}")
    return errors == "skip"


def available_cores() -> int:
    """The processors this process may run on (its affinity mask): the one
    core count every default of threads and worker processes comes from."""
    try:
        return len(os.sched_getaffinity(0)) or 1
    except (AttributeError, OSError):
        return os.cpu_count() or 1


def threads(count: int | None, name: str = "threads") -> int:
    """The worker count: None is the available cores; 0 or less is refused
    (1 means the calling thread, not "unset")."""
    if count is None:
        return available_cores()
    if isinstance(count, bool) or not isinstance(count, numbers.Integral) or count < 1:
        raise ValueError(f"{name} must be a positive int or None, not {count!r}")
    return int(count)


def _ms_level(value: object) -> int:
    if isinstance(value, bool) or not isinstance(value, numbers.Integral):
        raise TypeError(f"MS levels must be ints, not {type(value).__name__}")
    # Runs may hold level 0 (scans of no stated level): a filter may ask for it.
    if not 0 <= int(value) <= MAX_MS_LEVEL:
        raise ValueError(f"MS levels lie in 0..{MAX_MS_LEVEL}, not {int(value)}")
    return int(value)


def ms_levels(ms_level: MsLevels | None) -> list[int] | None:
    """The MS levels to keep (None: every level)."""
    if ms_level is None:
        return None
    if isinstance(ms_level, (numbers.Integral, bool)):
        return [_ms_level(ms_level)]
    if isinstance(ms_level, (str, bytes)) or not isinstance(ms_level, Iterable):
        raise TypeError(f"ms_level must be an int, a collection of ints or None, not {type(ms_level).__name__}")
    return [_ms_level(level) for level in ms_level]


def seconds(value: float, name: str = "rt") -> float:
    """A retention time in seconds: a real number, not NaN."""
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise TypeError(f"{name} must be a number of seconds, not {type(value).__name__}")
    result = float(value)
    if math.isnan(result):
        raise ValueError(f"{name} must not be NaN")
    return result


def rt_window(rt: tuple[float, float] | None) -> tuple[float, float] | None:
    """An inclusive (low, high) window in seconds; an open end is ±inf."""
    if rt is None:
        return None
    if isinstance(rt, (str, bytes)) or not isinstance(rt, Iterable):
        raise TypeError(f"rt must be a (low, high) pair of seconds or None, not {type(rt).__name__}")
    bounds = tuple(rt)
    if len(bounds) != 2:
        raise ValueError(f"rt must be a (low, high) pair of seconds, not {len(bounds)} values")
    return seconds(bounds[0], "rt low"), seconds(bounds[1], "rt high")


def index_array(indices: object) -> np.ndarray:
    """Spectrum positions as a flat int64 array (negative ones still to be resolved)."""
    chosen = np.asarray(indices)
    if chosen.size and not np.issubdtype(chosen.dtype, np.integer):
        raise TypeError(f"indices must be integers, not {chosen.dtype}")
    return chosen.astype(np.int64).reshape(-1)


def check_options(options: dict[str, object]) -> None:
    """Checks those of ms_level, rt, mode, errors and threads that options
    holds, as the methods they are passed on to will (used where options are
    handed on later, in another process)."""
    checks: dict[str, Callable[[Any], object]] = {
        "ms_level": ms_levels, "rt": rt_window, "mode": centroid, "errors": skip, "threads": threads,
    }
    for name, check in checks.items():
        if name in options:
            check(options[name])
