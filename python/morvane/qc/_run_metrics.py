"""RunMetrics: what the quality-control pass gives for one run."""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Any

from ._mzqc import run_document
from ._terms import Metric


@dataclass(frozen=True)
class RunMetrics:
    """The quality metrics of one run.

    run_name is the folder's name without ".d"; path where the run was
    read from (the archive of a run unpacked from one); scans is the
    per-scan table (the rows of RUN_ms_info.parquet); integrity the
    problems the reader met and worked around (morvane.Run.integrity)."""

    run_name: str
    path: str
    metrics: list[Metric]
    scans: Any  # a pyarrow.Table (pyarrow has no type information)
    info: dict[str, Any] = field(default_factory=dict, compare=False, repr=False)
    integrity: tuple[Any, ...] = field(default=(), compare=False)

    def metric(self, accession: str, polarity: str | None = None) -> Metric:
        """The metric with this accession (and polarity); KeyError if absent."""
        for m in self.metrics:
            if m.accession == accession and m.polarity == polarity:
                return m
        raise KeyError(accession if polarity is None else f"{accession} ({polarity})")

    def to_mzqc(self) -> dict[str, Any]:
        """This run as an mzQC 1.0.0 document (a dict ready for json.dump)."""
        return run_document(self)
