"""A slice of a run's spectra: a sequence view that decodes nothing until a
spectrum is asked for."""

from __future__ import annotations

from collections.abc import Iterator, Sequence
from typing import Protocol, overload

import numpy as np

from ._native import Spectrum


class SpectrumSource(Protocol):
    """What a slice needs of its run."""

    @property
    def path(self) -> str: ...
    def spectrum(self, index: int) -> Spectrum: ...
    def spectra(self, *, indices: Sequence[int] | None = None) -> Iterator[Spectrum]: ...


class SpectrumSlice(Sequence[Spectrum]):
    """The spectra of a run at the positions of a range (``run[10:20]``,
    ``run[::-2]``). Indexing decodes that one spectrum; iterating decodes in
    order on worker threads, as ``Run.spectra`` does; slicing gives another
    view. ``positions`` are the run indices it covers."""

    __slots__ = ("_run", "_positions")

    def __init__(self, run: SpectrumSource, positions: range) -> None:
        self._run = run
        self._positions = positions

    @property
    def positions(self) -> range:
        return self._positions

    def __len__(self) -> int:
        return len(self._positions)

    @overload
    def __getitem__(self, key: int) -> Spectrum: ...
    @overload
    def __getitem__(self, key: slice) -> SpectrumSlice: ...
    def __getitem__(self, key: int | slice) -> Spectrum | SpectrumSlice:
        if isinstance(key, slice):
            return SpectrumSlice(self._run, self._positions[key])
        if isinstance(key, bool) or not isinstance(key, (int, np.integer)):
            raise TypeError(f"slice indices must be integers or slices, not {type(key).__name__}")
        try:
            position = self._positions[int(key)]
        except IndexError:
            raise IndexError("spectrum index out of range") from None
        return self._run.spectrum(position)

    def __iter__(self) -> Iterator[Spectrum]:
        if not self._positions:
            return iter(())
        return self._run.spectra(indices=self._positions)

    def __reversed__(self) -> Iterator[Spectrum]:
        return iter(self[::-1])

    def __repr__(self) -> str:
        return f"SpectrumSlice({self._run.path!r}, {self._positions!r})"
