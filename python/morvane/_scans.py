"""The scan table of a run as numpy columns."""

from __future__ import annotations

from typing import Any

import numpy as np
import numpy.typing as npt

from . import _core


class ScanTable:
    """One row per spectrum, built from the scan table alone (no block is
    decoded). Columns: index, scan_id, ms_level, rt (seconds), polarity
    (+1/-1/0), tic, base_peak_mz, base_peak_intensity, precursor_mz and
    collision_energy (NaN when absent), points."""

    __slots__ = ("_source", "_arrays")

    def __init__(self, source: _core.ScanColumns) -> None:
        self._source = source
        self._arrays: dict[str, npt.NDArray[Any]] = source.arrays()

    @property
    def columns(self) -> tuple[str, ...]:
        return tuple(self._arrays)

    def __len__(self) -> int:
        return len(self._source)

    def __getitem__(self, name: str) -> npt.NDArray[Any]:
        return self._arrays[name]

    def __getattr__(self, name: str) -> npt.NDArray[Any]:
        try:
            return self._arrays[name]
        except KeyError:
            raise AttributeError(name) from None

    def __arrow_c_stream__(self, requested_schema: object | None = None) -> object:
        return self._source.__arrow_c_stream__(requested_schema)

    def __repr__(self) -> str:
        return f"ScanTable({len(self)} rows, columns={list(self._arrays)})"


def select(
    table: ScanTable,
    ms_level: int | Any | None,
    rt: tuple[float, float] | None,
    indices: Any | None,
) -> npt.NDArray[np.uint32]:
    """The positions that pass every given filter, in index order (the order
    of `indices` when given)."""
    if indices is not None:
        chosen = np.asarray(indices, dtype=np.int64).reshape(-1)
        count = len(table)
        if chosen.size and (chosen.min() < -count or chosen.max() >= count):
            raise IndexError("spectrum index out of range")
        chosen = np.where(chosen < 0, chosen + count, chosen)
    else:
        chosen = np.arange(len(table), dtype=np.int64)
    keep = np.ones(chosen.shape, dtype=bool)
    if ms_level is not None:
        levels = [ms_level] if isinstance(ms_level, int) else list(ms_level)
        keep &= np.isin(table["ms_level"][chosen], levels)
    if rt is not None:
        low, high = rt
        times = table["rt"][chosen]
        keep &= (times >= low) & (times <= high)
    return np.ascontiguousarray(chosen[keep], dtype=np.uint32)
