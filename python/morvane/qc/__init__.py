"""Run quality control: the ID-free PSI-MS quality metrics of a run, its
per-scan table, and mzQC.

    m = morvane.qc.metrics("RUN.d")
    m.metrics          # [Metric(accession="MS:4000059", name="number of MS1 spectra", ...), ...]
    m.scans            # pyarrow.Table, one row per scan
    m.to_mzqc()        # the mzQC 1.0.0 document as a dict

Everything comes from one pass over the run's spectra in C++, on worker
threads, without the interpreter lock. Needs pyarrow (``pip install
'karvel[qc]'``).
"""

from __future__ import annotations

import os
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from .._run import Run


@dataclass(frozen=True)
class Metric:
    """One mzQC qualityMetric: a PSI-MS (or karvel) term and its value.

    value is JSON-ready (int, float, a list of numbers, or a table as a
    dict of equal-length lists); None stands for an undefined number.
    polarity is "positive" or "negative" for metrics of the scans of one
    polarity (runs with both), else None."""

    accession: str
    name: str
    value: object
    unit: list[tuple[str, str]] | None = None
    polarity: str | None = None


@dataclass(frozen=True)
class RunMetrics:
    """The quality metrics of one run.

    run_name is the folder's name without ".d"; scans is the per-scan
    table (the rows of RUN_ms_info.parquet)."""

    run_name: str
    path: str
    metrics: list[Metric]
    scans: Any  # a pyarrow.Table (pyarrow has no type information)
    info: dict[str, Any] = field(default_factory=dict, compare=False, repr=False)

    def metric(self, accession: str, polarity: str | None = None) -> Metric:
        """The metric with this accession (and polarity); KeyError if absent."""
        for m in self.metrics:
            if m.accession == accession and m.polarity == polarity:
                return m
        raise KeyError(accession if polarity is None else f"{accession} ({polarity})")

    def to_mzqc(self) -> dict[str, Any]:
        """This run as an mzQC 1.0.0 document (a dict ready for json.dump)."""
        from ._mzqc import run_document
        return run_document(self)


def metrics(run: Run | str | os.PathLike[str], *, threads: int | None = None) -> RunMetrics:
    """The quality metrics of a run (a morvane.Run or the path of a data
    folder), from one pass over its spectra on `threads` worker threads
    (None: the available cores)."""
    from ._metrics import compute
    return compute(run, threads=threads)


__all__ = ["Metric", "RunMetrics", "metrics"]
