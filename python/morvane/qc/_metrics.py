"""From the C++ pass to RunMetrics: the summaries as Metric objects (see
_terms) and the per-scan table as Arrow."""

from __future__ import annotations

import os

from .. import _native
from .._args import threads as _threads
from .._integrity import check_strict, display_name, events_of
from .._run import Run
from ._ms_info import scans_table
from ._run_metrics import RunMetrics
from ._terms import Metric, metrics_of

_POLARITY = {None: None, 1: "positive", -1: "negative"}


def run_name_of(path: str) -> str:
    name = os.path.basename(os.path.normpath(path))
    return name[:-2] if name.lower().endswith(".d") and len(name) > 2 else name


def compute(run: Run | str | os.PathLike[str], *, threads: int | None = None, strict: bool = False) -> RunMetrics:
    count = _threads(threads)
    if isinstance(run, Run):
        return _compute(run, count, strict)
    with Run(run) as opened:
        return _compute(opened, count, strict)


def _compute(run: Run, threads: int, strict: bool = False) -> RunMetrics:
    if strict:
        check_strict(events_of(run._handle), display_name(run.origin))
    columns, summaries = _native.qc_collect(run._handle, threads)
    events = run.integrity
    if strict:
        check_strict(events, display_name(run.origin))
    metrics: list[Metric] = []
    failed = 0
    for polarity, summary in summaries:
        metrics.extend(metrics_of(summary, _POLARITY[polarity]))
        if polarity is None:
            failed = int(summary["failed_spectra"])
    # (The drift figures come from scans calibrated by their own record only:
    # a run whose every scan fell back reports none.)
    info = dict(run.info)
    info["failed_spectra"] = failed
    return RunMetrics(run_name=run_name_of(run.path), path=run.origin, metrics=metrics,
                      scans=scans_table(columns), info=info, integrity=tuple(events))
