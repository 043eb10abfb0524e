"""From the C++ pass to Metric objects: which PSI-MS term each summary value
is, with its unit, and the per-scan table as Arrow."""

from __future__ import annotations

import math
import os
from collections.abc import Callable
from dataclasses import dataclass
from typing import Any

from .. import _native
from .._args import threads as _threads
from .._run import Run
from . import Metric, RunMetrics
from ._ms_info import scans_table

COUNT = ("UO:0000189", "count unit")
SECOND = ("UO:0000010", "second")
FRACTION = ("UO:0000191", "fraction")
PPM = ("UO:0000169", "parts per million")
MZ = ("MS:1000040", "m/z")

#: The local vocabulary of karvel's own metrics (no PSI-MS term exists for them).
KARVEL_CV = "KARVEL"


@dataclass(frozen=True)
class Term:
    accession: str
    name: str
    key: str                      # the summary's key
    unit: tuple[str, str] | None
    kind: Callable[[Any], Any]    # the value's JSON shape


def _int(value: Any) -> int | None:
    return None if value is None else int(value)


def _float(value: Any) -> float | None:
    return None if value is None or not math.isfinite(value) else float(value)


def _floats(values: Any) -> list[float | None] | None:
    return None if values is None else [_float(v) for v in values]


#: The metrics in the order they are reported.
TERMS: tuple[Term, ...] = (
    Term("MS:4000059", "number of MS1 spectra", "ms1_spectra", COUNT, _int),
    Term("MS:4000060", "number of MS2 spectra", "ms2_spectra", COUNT, _int),
    Term("MS:4000053", "chromatography duration", "duration", SECOND, _float),
    Term("MS:4000069", "m/z acquisition range", "mz_range", MZ, _floats),
    Term("MS:4000070", "retention time acquisition range", "rt_range", SECOND, _floats),
    Term("MS:4000155", "area under TIC", "tic_area", None, _float),
    Term("MS:4000183", "TIC quantile RT fraction", "tic_rt_fractions", FRACTION, _floats),
    Term("MS:4000184", "MS1 quantile RT fraction", "ms1_rt_fractions", FRACTION, _floats),
    Term("MS:4000186", "MS1 TIC-change quantile ratios", "tic_change_ratios", FRACTION, _floats),
    Term("MS:4000187", "MS1 TIC quantile ratios", "tic_ratios", FRACTION, _floats),
    Term("MS:4000097", "MS1 signal jump (10x) count", "signal_jumps", COUNT, _int),
    Term("MS:4000098", "MS1 signal fall (10x) count", "signal_falls", COUNT, _int),
    Term(f"{KARVEL_CV}:0000001", "calibration drift median", "drift_median_ppm", PPM, _float),
    Term(f"{KARVEL_CV}:0000002", "calibration drift maximum", "drift_max_abs_ppm", PPM, _float),
)

_POLARITY = {None: None, 1: "positive", -1: "negative"}


def metrics_of(summary: dict[str, Any], polarity: str | None) -> list[Metric]:
    """The metrics of one summary; a metric whose value the run cannot give
    (no MS1 scans, no calibration) is left out."""
    out = []
    for term in TERMS:
        value = term.kind(summary[term.key])
        if value is None or (isinstance(value, list) and all(v is None for v in value)):
            continue
        unit = [term.unit] if term.unit is not None else None
        out.append(Metric(term.accession, term.name, value, unit, polarity))
    return out


def run_name_of(path: str) -> str:
    name = os.path.basename(os.path.normpath(path))
    return name[:-2] if name.lower().endswith(".d") and len(name) > 2 else name


def compute(run: Run | str | os.PathLike[str], *, threads: int | None = None) -> RunMetrics:
    count = _threads(threads)
    if isinstance(run, Run):
        return _compute(run, count)
    with Run(run) as opened:
        return _compute(opened, count)


def _compute(run: Run, threads: int) -> RunMetrics:
    columns, summaries = _native.qc_collect(run._handle, threads)
    metrics: list[Metric] = []
    failed = 0
    for polarity, summary in summaries:
        metrics.extend(metrics_of(summary, _POLARITY[polarity]))
        if polarity is None:
            failed = int(summary["failed_spectra"])
    info = dict(run.info)
    info["failed_spectra"] = failed
    return RunMetrics(run_name=run_name_of(run.path), path=run.path, metrics=metrics,
                      scans=scans_table(columns), info=info)
