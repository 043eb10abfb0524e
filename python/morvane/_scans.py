"""The scan table of a run as numpy columns."""

from __future__ import annotations

from typing import TYPE_CHECKING, Any, NoReturn

import numpy as np
import numpy.typing as npt

from . import _args, _native
from ._args import MsLevels

if TYPE_CHECKING:
    import pandas as _pandas  # type: ignore[import-untyped, unused-ignore]
    import polars as _polars

PANDAS_HINT = "ScanTable.to_pandas() needs pandas: pip install 'karvel[pandas]'"
POLARS_HINT = "ScanTable.to_polars() needs polars: pip install 'karvel[polars]'"


class ScanTable(dict[str, npt.NDArray[Any]]):
    """One row per spectrum, built from the scan table alone (no block is
    decoded): a read-only mapping of column name to numpy column, so that
    ``pandas.DataFrame(run.scans)`` and ``dict(run.scans)`` work.

    Columns: index (uint32), scan_id (uint32), ms_level (uint8), rt (float64,
    seconds), polarity (int8: +1/-1/0), tic, base_peak_mz,
    base_peak_intensity, precursor_mz and collision_energy (float64, NaN
    when absent), points (uint32).

    As a mapping, ``len()`` and iteration are over the columns; the number of
    rows is ``num_rows``. Through the Arrow C stream (``to_arrow()``,
    ``to_polars()``, ``pyarrow.RecordBatchReader.from_stream``) the absent
    values of precursor_mz and collision_energy are nulls."""

    __slots__ = ("_source", "_rows")

    def __init__(self, source: _native.ScanColumns) -> None:
        super().__init__(source.arrays())
        self._source = source
        self._rows = len(source)

    # -- shape ------------------------------------------------------------------
    @property
    def columns(self) -> tuple[str, ...]:
        return tuple(self.keys())

    @property
    def num_rows(self) -> int:
        return self._rows

    @property
    def shape(self) -> tuple[int, int]:
        return (self._rows, dict.__len__(self))

    def __getattr__(self, name: str) -> npt.NDArray[Any]:
        try:
            return self[name]
        except KeyError:
            raise AttributeError(name) from None

    # -- conversions ------------------------------------------------------------
    def __arrow_c_stream__(self, requested_schema: object | None = None) -> object:
        return self._source.__arrow_c_stream__(requested_schema)

    def to_arrow(self) -> Any:
        """The table as a ``pyarrow.Table`` (absent values are nulls)."""
        try:
            import pyarrow  # type: ignore[import-untyped, unused-ignore]
        except ImportError as error:
            raise ImportError("ScanTable.to_arrow() needs pyarrow: pip install 'karvel[parquet]'") from error
        return pyarrow.table(self._source)

    def to_pandas(self) -> _pandas.DataFrame:
        """The table as a ``pandas.DataFrame`` with the numpy columns' dtypes
        (absent values NaN), indexed 0..n-1."""
        try:
            import pandas  # type: ignore[import-untyped, unused-ignore]
        except ImportError as error:
            raise ImportError(PANDAS_HINT) from error
        return pandas.DataFrame(dict(self))

    def to_polars(self) -> _polars.DataFrame:
        """The table as a ``polars.DataFrame``, read through the Arrow C
        stream (absent values are nulls)."""
        try:
            import polars
        except ImportError as error:
            raise ImportError(POLARS_HINT) from error
        return polars.DataFrame(self._source)

    # -- read-only --------------------------------------------------------------
    def _refuse(self, *args: object, **kwargs: object) -> NoReturn:
        raise TypeError("a ScanTable is read-only")

    __setitem__ = _refuse
    __delitem__ = _refuse
    __ior__ = _refuse
    clear = _refuse
    pop = _refuse
    popitem = _refuse
    setdefault = _refuse
    update = _refuse

    def __eq__(self, other: object) -> bool:
        return self is other

    def __ne__(self, other: object) -> bool:
        return self is not other

    __hash__ = object.__hash__  # type: ignore[assignment]

    def __reduce__(self) -> tuple[type[dict[str, npt.NDArray[Any]]], tuple[dict[str, npt.NDArray[Any]]]]:
        # Pickles as a plain dict of its columns: the C++ table stays behind.
        return (dict, (dict(self),))

    def __repr__(self) -> str:
        return f"ScanTable({self._rows} rows, columns={list(self.keys())})"


def select(
    table: ScanTable,
    ms_level: MsLevels | None,
    rt: tuple[float, float] | None,
    indices: Any | None,
) -> npt.NDArray[np.uint32]:
    """The positions that pass every given filter, in index order (the order
    of `indices` when given)."""
    levels = _args.ms_levels(ms_level)
    window = _args.rt_window(rt)
    count = table.num_rows
    if indices is not None:
        chosen = _args.index_array(indices)
        if chosen.size and (chosen.min() < -count or chosen.max() >= count):
            raise IndexError("spectrum index out of range")
        chosen = np.where(chosen < 0, chosen + count, chosen)
    else:
        chosen = np.arange(count, dtype=np.int64)
    keep = np.ones(chosen.shape, dtype=bool)
    if levels is not None:
        keep &= np.isin(table["ms_level"][chosen], levels)
    if window is not None:
        low, high = window
        times = table["rt"][chosen]
        keep &= (times >= low) & (times <= high)
    return np.ascontiguousarray(chosen[keep], dtype=np.uint32)
