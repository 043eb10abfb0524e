"""Time-of-flight mass calibration, evaluated exactly as the reader does.

A calibration is the ten-value coefficient list [A, T0, range_min, range_max,
c1..c6] plus a ValueUseFlags mask that pairs the six polynomial coefficients
with powers.  m/z of a flight time t is

    q = (A * (t - T0)) ** 2               (difference, product, square)
    p = sum(c * tc ** power)              (from -0.0, in term order)
    m/z = q - p

where tc is t clamped to [range_min, range_max] and the power is computed by
repeated squaring.  Python floats are binary64, so the results here are
bit-identical to a correct binary64 implementation.
"""

from __future__ import annotations

import math
import struct
from dataclasses import dataclass, field

POLYNOMIAL_COEFFICIENTS = 6
COEFFICIENT_COUNT = 10
RELATIVE_MATCH_TOLERANCE = 1e-12


class CalibrationError(ValueError):
    """The coefficient list or mask cannot form a usable calibration."""


def f32(value: float) -> float:
    """Round a Python float to binary32 and widen it back (round to nearest even)."""
    return struct.unpack("<f", struct.pack("<f", value))[0]


def int_to_f32(value: int) -> float:
    """Round an integer straight to binary32 without an intermediate binary64 step."""
    magnitude = abs(value)
    if magnitude < (1 << 53):
        return f32(float(value))
    shift = magnitude.bit_length() - 24
    mantissa = magnitude >> shift
    remainder = magnitude - (mantissa << shift)
    half = 1 << (shift - 1)
    if remainder > half or (remainder == half and mantissa & 1):
        mantissa += 1
    rounded = float(mantissa << shift)
    return -rounded if value < 0 else rounded


def flag_powers(flags: int) -> list[int]:
    """Powers selected by a ValueUseFlags mask, in increasing order."""
    return [k for k in range(32) if flags >> k & 1]


def flags_for_powers(*powers: int) -> int:
    mask = 0
    for power in powers:
        mask |= 1 << power
    return mask


def integer_power(x: float, power: int) -> float:
    """x ** power by repeated squaring; power 0 gives exactly 1.0."""
    result = 1.0
    base = x
    remaining = power
    while remaining:
        if remaining & 1:
            result = result * base
        remaining >>= 1
        if remaining:
            base = base * base
    return result


def pair_terms(flags: int, coefficients: list[float]) -> list[tuple[int, float]]:
    """Pair the selected powers with the six coefficients, lowest power first.

    Raises CalibrationError for more than six powers or a non-zero coefficient
    left without a power.
    """
    powers = flag_powers(flags)
    if len(powers) > POLYNOMIAL_COEFFICIENTS:
        raise CalibrationError(f"flags {flags} select {len(powers)} powers")
    for value in coefficients[len(powers):]:
        if value != 0.0:
            raise CalibrationError(f"coefficient {value!r} has no power in flags {flags}")
    return list(zip(powers, coefficients))


@dataclass(frozen=True)
class Calibration:
    """A Traditional step (a, t0) with a polynomial correction.

    `coefficients` are the six polynomial values in list order (positions 4
    to 9 of the coefficient list); `flags` is their ValueUseFlags mask.
    """

    a: float
    t0: float
    range_min: float = 0.0
    range_max: float = 0.0
    coefficients: tuple[float, ...] = (0.0,) * POLYNOMIAL_COEFFICIENTS
    flags: int = 0
    terms: tuple[tuple[int, float], ...] = field(init=False, repr=False, compare=False)

    def __post_init__(self) -> None:
        coefficients = tuple(float(c) for c in self.coefficients)
        if len(coefficients) != POLYNOMIAL_COEFFICIENTS:
            raise CalibrationError(f"{len(coefficients)} polynomial coefficients")
        object.__setattr__(self, "coefficients", coefficients)
        object.__setattr__(self, "terms", tuple(pair_terms(self.flags, list(coefficients))))

    @classmethod
    def from_list(cls, values: list[float], flags: int) -> "Calibration":
        """Build and validate from a ten-value coefficient list, as the reader does."""
        if len(values) != COEFFICIENT_COUNT:
            raise CalibrationError(f"{len(values)} coefficients")
        a, t0 = values[0], values[1]
        if a == 0.0 or not math.isfinite(a) or not math.isfinite(t0):
            raise CalibrationError(f"invalid Traditional coefficients A={a!r}, T0={t0!r}")
        polynomial = values[2:]
        if not all(math.isfinite(v) for v in polynomial):
            raise CalibrationError("non-finite polynomial value")
        if polynomial[0] > polynomial[1]:
            raise CalibrationError("inverted polynomial range")
        return cls(a, t0, polynomial[0], polynomial[1], tuple(polynomial[2:]), flags)

    def coefficient_list(self) -> list[float]:
        return [self.a, self.t0, *self.polynomial_values()]

    def polynomial_values(self) -> list[float]:
        """The eight Polynomial-step values: range_min, range_max, c1..c6."""
        return [self.range_min, self.range_max, *self.coefficients]

    def mz(self, t: float) -> float:
        scaled = self.a * (t - self.t0)
        q = scaled * scaled
        if not self.terms:
            return q - 0.0
        if t < self.range_min:
            tc = self.range_min
        elif t > self.range_max:
            tc = self.range_max
        else:
            tc = t
        p = -0.0
        for power, coefficient in self.terms:
            p = p + coefficient * integer_power(tc, power)
        return q - p

    def mz_list(self, xs: list[float]) -> list[float]:
        return [self.mz(x) for x in xs]

    def flight_time(self, mz: float) -> float:
        """Approximate inverse of the Traditional part (for placing peaks)."""
        return math.sqrt(mz) / self.a + self.t0


def values_match(entry: float, record: float) -> bool:
    """Polynomial values match within a relative 1e-12; NaN never matches."""
    if math.isnan(entry) or math.isnan(record):
        return False
    return abs(entry - record) <= RELATIVE_MATCH_TOLERANCE * max(abs(entry), abs(record))


@dataclass(frozen=True)
class DefaultEntry:
    """One DefaultMassCal.xml entry as the reader sees it after parsing."""

    calibration_id: int
    a: float
    t0: float
    polynomial_values: tuple[float, ...]
    flags: int

    @classmethod
    def of(cls, calibration_id: int, calibration: Calibration) -> "DefaultEntry":
        return cls(calibration_id, calibration.a, calibration.t0,
                   tuple(calibration.polynomial_values()), calibration.flags)

    def coefficient_list(self) -> list[float]:
        return [self.a, self.t0, *self.polynomial_values]


def polynomial_flags(record: list[float], calibration_id: int | None,
                     defaults: list[DefaultEntry]) -> int | None:
    """The mask that a per-scan record gets from the default entries, or None."""
    if len(record) == COEFFICIENT_COUNT and all(v == 0.0 for v in record[4:]):
        return 0
    if len(record) != COEFFICIENT_COUNT or not defaults:
        return None
    values = record[2:]

    def matches(entry: DefaultEntry) -> bool:
        return all(values_match(e, r) for e, r in zip(entry.polynomial_values, values))

    if calibration_id is not None:
        for entry in defaults:
            if entry.calibration_id == calibration_id and matches(entry):
                return entry.flags
    for entry in defaults:
        if matches(entry):
            return entry.flags
    return None


def select_calibration(record: list[float] | None, calibration_id: int | None,
                       defaults: list[DefaultEntry]) -> tuple[Calibration | None, str | None]:
    """The calibration a time-of-flight scan gets and its source text.

    `record` is the scan's MSMassCal.bin coefficient list, or None when the
    run has no usable MSMassCal.bin.  The source is "mass_cal_record",
    "default_mass_cal" or None.
    """
    if record is not None:
        flags = polynomial_flags(record, calibration_id, defaults)
        if flags is not None:
            try:
                return Calibration.from_list(list(record), flags), "mass_cal_record"
            except CalibrationError:
                pass
    if calibration_id is not None:
        for entry in defaults:
            if entry.calibration_id == calibration_id:
                try:
                    return Calibration.from_list(entry.coefficient_list(), entry.flags), "default_mass_cal"
                except CalibrationError:
                    return None, None
    return None, None
