"""The quality metrics karvel reports: each summary value of the C++ pass
under the PSI-MS term whose definition it meets, with the term's name,
definition and unit as the PSI-MS vocabulary gives them; and karvel's own
figures that no PSI-MS term covers, which stay out of mzQC."""

from __future__ import annotations

import math
from collections.abc import Callable
from dataclasses import dataclass
from typing import Any

COUNT = ("UO:0000189", "count unit")
SECOND = ("UO:0000010", "second")
HERTZ = ("UO:0000106", "hertz")
FRACTION = ("UO:0000191", "fraction")
PPM = ("UO:0000169", "parts per million")
MZ = ("MS:1000040", "m/z")

#: The accession prefix of karvel's own figures (never written to mzQC).
LOCAL_PREFIX = "KARVEL"


@dataclass(frozen=True)
class Metric:
    """One quality metric: a PSI-MS term (or one of karvel's own figures)
    and its value.

    value is JSON-ready (int, float, or a list of numbers). polarity is
    "positive" or "negative" for metrics of the scans of one polarity (runs
    with both), else None."""

    accession: str
    name: str
    value: object
    unit: list[tuple[str, str]] | None = None
    polarity: str | None = None

    @property
    def in_mzqc(self) -> bool:
        """Whether the metric is a PSI-MS term (karvel's own figures are not
        written to mzQC)."""
        return not self.accession.startswith(LOCAL_PREFIX + ":")


def _int(value: Any) -> int | None:
    return None if value is None else int(value)


def _float(value: Any) -> float | None:
    return None if value is None or not math.isfinite(value) else float(value)


def _floats(values: Any) -> list[float | None] | None:
    return None if values is None else [_float(v) for v in values]


@dataclass(frozen=True)
class Term:
    accession: str
    name: str
    key: str                      # the summary's key
    unit: tuple[str, str] | None
    kind: Callable[[Any], Any]    # the value's JSON shape
    definition: str               # the vocabulary's definition, word for word


#: The metrics in the order they are reported.
TERMS: tuple[Term, ...] = (
    Term("MS:4000059", "number of MS1 spectra", "ms1_spectra", COUNT, _int,
         "The number of MS1 events in the run."),
    Term("MS:4000060", "number of MS2 spectra", "ms2_spectra", COUNT, _int,
         "The number of MS2 events in the run."),
    Term("MS:4000067", "MS run duration", "run_duration", SECOND, _float,
         "The duration of the mass spectrometry acquisition (as measured by the time between the last scan "
         "and first scan) in seconds."),
    Term("MS:4000070", "retention time acquisition range", "rt_range", SECOND, _floats,
         "Upper and lower limit of retention time at which spectra are recorded."),
    Term("MS:4000069", "m/z acquisition range", "precursor_mz_range", MZ, _floats,
         "Upper and lower limit of m/z precursor values at which MSn spectra are recorded."),
    Term("MS:4000029", "area under TIC in MS1", "ms1_tic_area", None, _float,
         "The area under the total ion current chromatogram (MS:1000235) of all MS1 spectra."),
    Term("MS:4000183", "TIC quantile RT fraction", "tic_rt_fractions", FRACTION, _floats,
         "The interval when the respective quantile of the TIC accumulates divided by retention time "
         "duration. The number of values in the tuple implies the quantile mode."),
    Term("MS:4000184", "MS1 quantile RT fraction", "ms1_rt_fractions", FRACTION, _floats,
         "The interval used for acquisition of quantiles of all MS1 events divided by retention time "
         "duration. The number of values in the tuple implies the quantile mode."),
    Term("MS:4000185", "MS2 quantile RT fraction", "ms2_rt_fractions", FRACTION, _floats,
         "The interval used for acquisition of quantiles of all MS2 events divided by retention time "
         "duration. The number of values in the tuple implies the quantile mode."),
    Term("MS:4000186", "MS1 TIC-change quantile ratios", "tic_change_ratios", FRACTION, _floats,
         "The log ratios of successive TIC-change quantiles. The TIC changes are the list of MS1 total ion "
         "current (TIC) value changes from one to the next scan, produced when each MS1 TIC is subtracted "
         "from the preceding MS1 TIC. A value triplet represents the original QuaMeter metrics, the log "
         "ratio of the TIC-change Q2 to Q1, Q3 to Q2, TIC-change-max to Q3. The number of values in the "
         "tuple implies the quantile mode."),
    Term("MS:4000187", "MS1 TIC quantile ratios", "tic_ratios", FRACTION, _floats,
         "The log ratios of successive TIC quantiles. A value triplet represents the original QuaMeter "
         "metrics, the log ratios of TIC-Q2 to TIC-Q1, TIC-Q3 to TIC-Q2, TIC-max to TIC-Q3. The number of "
         "values in the tuple implies the quantile mode."),
    Term("MS:4000097", "MS1 signal jump (10x) count", "signal_jumps", COUNT, _int,
         "The number of times where MS1 TIC increased more than 10-fold between adjacent MS1 scans."),
    Term("MS:4000098", "MS1 signal fall (10x) count", "signal_falls", COUNT, _int,
         "The number of times where MS1 TIC decreased more than 10-fold between adjacent MS1 scans."),
    Term("MS:4000192", "MS1 median cycle time", "ms1_median_cycle_time", SECOND, _float,
         "The median time between consecutive MS1 scans across the full run."),
    Term("MS:4000065", "fastest frequency for MS level 1 collection", "ms1_fastest_hz", HERTZ, _float,
         "Fastest frequency for MS level 1 collection"),
    Term("MS:4000095", "slowest frequency for MS level 1 collection", "ms1_slowest_hz", HERTZ, _float,
         "The slowest acquisition speed with which precursor MS scans were collected. Scan acquisition "
         "frequency can be used to gauge the suitability of used instrument settings for the sample "
         "content used."),
    Term("MS:4000066", "fastest frequency for MS level 2 collection", "ms2_fastest_hz", HERTZ, _float,
         "Fastest frequency for MS level 2 collection"),
    Term("MS:4000096", "slowest frequency for MS level 2 collection", "ms2_slowest_hz", HERTZ, _float,
         "The slowest acquisition speed with which product MS scans were collected. Scan acquisition "
         "frequency can be used to gauge the suitability of used instrument settings for the sample "
         "content used."),
    Term("MS:4000106", "MS1 frequency in equal parts of subsequent RT", "ms1_quarter_hz", HERTZ, _floats,
         "Average MS1 frequency during retention time periods between adjacent retention time quantiles. "
         "(Four values implies values for 1st, 2nd, 3rd, 4th quarter.)"),
    Term("MS:4000107", "MS2 frequency in equal parts of subsequent RT", "ms2_quarter_hz", HERTZ, _floats,
         "Average MS2 frequency  during retention time periods between adjacent retention time quantiles. "
         "(Four values implies values for 1st, 2nd, 3rd, 4th quarter.)"),
    Term("MS:4000099", "number of empty MS1 scans", "empty_ms1", COUNT, _int,
         "Number of MS1 scans where the scans' peaks intensity sums to 0 (i.e. no peaks or only "
         "0-intensity peaks)."),
    Term("MS:4000100", "number of empty MS2 scans", "empty_ms2", COUNT, _int,
         "Number of MS2 scans where the scans' peaks intensity sums to 0 (i.e. no peaks or only "
         "0-intensity peaks)."),
    # karvel's own figures: in the API, the reports and the per-scan table,
    # not in mzQC (no PSI-MS term means them).
    Term(f"{LOCAL_PREFIX}:0000003", "scan window m/z range", "scan_window_range", MZ, _floats,
         "Lowest lower and highest upper limit of the scan windows of all scans (of the points where a "
         "scan records no window)."),
    Term(f"{LOCAL_PREFIX}:0000001", "calibration drift median", "drift_median_ppm", PPM, _float,
         "Median over the scans of the m/z error that each scan's mass calibration implies against the "
         "run's default calibration."),
    Term(f"{LOCAL_PREFIX}:0000002", "calibration drift maximum", "drift_max_abs_ppm", PPM, _float,
         "Largest magnitude over the scans of the m/z error that each scan's mass calibration implies "
         "against the run's default calibration."),
)

DEFINITIONS: dict[str, str] = {t.accession: t.definition for t in TERMS}


def metrics_of(summary: dict[str, Any], polarity: str | None) -> list[Metric]:
    """The metrics of one summary; a metric whose value the scans cannot
    give (no scan of that level, no interval to measure, no calibration) is
    left out."""
    out = []
    for term in TERMS:
        value = term.kind(summary[term.key])
        if value is None or (isinstance(value, list) and all(v is None for v in value)):
            continue
        unit = [term.unit] if term.unit is not None else None
        out.append(Metric(term.accession, term.name, value, unit, polarity))
    return out
