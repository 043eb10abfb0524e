"""Passes over a run that leave out the spectra that cannot be decoded.

A pass with errors="skip" decodes each spectrum once and leaves out those
that fail as they fail (in_one_pass): the output holds only decodable
spectra and says which were left out, and a sound run pays nothing for the
option. The MRM transitions, a pass over the scan table's points, still
find the undecodable spectra of a failed pass and run again over the rest
(salvaged).
"""

from __future__ import annotations

from collections.abc import Callable
from dataclasses import dataclass
from typing import Any, TypeVar

import numpy as np
import numpy.typing as npt

from ._native import FormatError
from ._logging import forward

T = TypeVar("T")

# What a failing spectrum raises: a block that does not parse, or a read
# past the end of a cut file.
DECODE_ERRORS: tuple[type[BaseException], ...] = (FormatError, OSError)


@dataclass(frozen=True)
class Skipped:
    """A spectrum left out: its position in the run, native id and reason."""

    index: int
    native_id: str
    reason: str

    def as_json(self) -> dict[str, Any]:
        return {"index": self.index, "native_id": self.native_id, "reason": self.reason}


# How spectra are read: the extension's block choice, then optionally the
# lowest and highest MS level it applies to and the picker's threshold
# (as _args.picking gives them).
Choice = tuple[int] | tuple[int, int, int, float]
AUTO: Choice = (0,)


def undecodable(run: Any, positions: npt.NDArray[np.uint32], choice: Choice, threads: int) -> list[Skipped]:
    """The spectra among positions that fail to decode, in order."""
    stream = run._handle.spectra(positions, choice[0], True, threads, *choice[1:])
    for _ in stream:
        pass
    return skipped_of(run, stream.skipped)


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


def salvaged(run: Any, positions: npt.NDArray[np.uint32], choice: Choice, threads: int, skip: bool,
             attempt: Callable[[npt.NDArray[np.uint32], list[Skipped]], T]) -> tuple[T, list[Skipped]]:
    """attempt(positions, []); when it fails at a spectrum and skip holds,
    attempt(positions less the undecodable ones, those left out). run.skipped
    becomes the list of the undecodable spectra as (index, reason), as
    Run.spectra sets it. The reader's log records, and the run's integrity
    events not logged before, go to logging after."""
    try:
        try:
            result = attempt(positions, [])
            run.skipped = []
            return result, []
        except DECODE_ERRORS:
            if not skip:
                raise
            skipped = undecodable(run, positions, choice, threads)
            if not skipped:
                raise  # not a spectrum's fault (a full disk, a closed run)
        result = attempt(without(positions, skipped), skipped)
        run.skipped = [(s.index, s.reason) for s in skipped]
        return result, skipped
    finally:
        passed(run)
