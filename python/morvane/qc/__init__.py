"""Run quality control: the ID-free PSI-MS quality metrics of a run, its
per-scan table, and mzQC.

    m = morvane.qc.metrics("RUN.d")
    m.metrics          # [Metric(accession="MS:4000059", name="number of MS1 spectra", ...), ...]
    m.scans            # pyarrow.Table, one row per scan
    m.to_mzqc()        # the mzQC 1.0.0 document as a dict

Everything comes from one pass over the run's spectra in C++, on the
library's worker pool, without the interpreter lock. Needs pyarrow (``pip install
'karvel[qc]'``).
"""

from __future__ import annotations

import os

from .._run import Run
from ._cli import add_qc_command, run_qc
from ._metrics import compute
from ._run_metrics import RunMetrics
from ._terms import Metric


def metrics(run: Run | str | os.PathLike[str], *, threads: int | None = None, strict: bool = False) -> RunMetrics:
    """The quality metrics of a run (a morvane.Run or the path of a data
    folder), from one pass over its spectra on `threads` worker threads
    (None: the available cores; 1: the calling thread alone). The problems
    the reader met and worked around are the result's `integrity`; strict=True
    refuses a run with any of them instead (morvane.IntegrityError)."""
    return compute(run, threads=threads, strict=strict)


__all__ = ["Metric", "RunMetrics", "add_qc_command", "metrics", "run_qc"]
