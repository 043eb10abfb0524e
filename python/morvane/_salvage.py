"""Passes over a run that leave out the spectra that cannot be decoded.

A pass with errors="skip" decodes each spectrum once and leaves out those
that fail as they fail (in_one_pass): the output holds only decodable
spectra and says which were left out, and a sound run pays nothing for the
option.
"""

from __future__ import annotations

from collections.abc import Callable
from dataclasses import dataclass
from typing import Any, TypeVar

import numpy as np
import numpy.typing as npt

from ._logging import forward

T = TypeVar("T")


@dataclass(frozen=True)
class Skipped:
    """A spectrum left out: its position in the run, native id and reason."""

    index: int
    native_id: str
    reason: str

    def as_json(self) -> dict[str, Any]:
        return {"index": self.index, "native_id": self.native_id, "reason": self.reason}


def skipped_of(run: Any, failures: list[tuple[int, str]]) -> list[Skipped]:
    """The spectra a pass left out, from its (index, reason) pairs."""
    native_ids = run._handle.native_ids(np.fromiter((i for i, _ in failures), dtype=np.uint32, count=len(failures)))
    return [Skipped(int(index), native_id, reason)
            for (index, reason), native_id in zip(failures, native_ids, strict=True)]


def without(positions: npt.NDArray[np.uint32], skipped: list[Skipped]) -> npt.NDArray[np.uint32]:
    """positions, in their order, less the skipped ones."""
    drop = np.fromiter((s.index for s in skipped), dtype=np.uint32, count=len(skipped))
    return np.ascontiguousarray(positions[~np.isin(positions, drop)], dtype=np.uint32)


def in_one_pass(run: Any, attempt: Callable[[], tuple[T, list[tuple[int, str]]]]) -> tuple[T, list[Skipped]]:
    """attempt() runs a pass that decodes each spectrum once and, with
    errors="skip", leaves out those that fail as they fail; it returns its
    result and the spectra left out as (index, reason). run.skipped becomes
    that list. The reader's log records, and the run's integrity events not
    logged before, go to logging after."""
    try:
        result, failures = attempt()
        skipped = skipped_of(run, failures)
        run.skipped = [(s.index, s.reason) for s in skipped]
        return result, skipped
    finally:
        passed(run)


def passed(run: Any) -> None:
    """What a pass leaves to say: the reader's log records, the integrity
    events not logged before."""
    forward()
    watch = getattr(run, "_watch", None)
    if watch is not None:
        watch.poll()
