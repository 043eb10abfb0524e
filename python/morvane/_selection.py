"""What a selection of a run's spectra yields: the spectra (an iterator that
can be walked again once spent) and the long peak table (an Arrow stream
that converts to pandas, polars and pyarrow)."""

from __future__ import annotations

import importlib
from collections.abc import Callable
from typing import Any

from ._native import PeakStream, Spectrum, SpectrumStream


class Spectra:
    """Spectra decoded ahead on worker threads, in the order selected.

    It is its own iterator: ``next()`` and a ``for`` loop continue where
    the last stopped. Once every spectrum has been yielded, iterating again
    starts a new pass over the same selection (the run must still be open).
    ``len()`` is the number selected; ``skipped`` lists the spectra the
    current pass left out with errors="skip", as ``(index, message)``."""

    __slots__ = ("_start", "_count", "_stream", "_spent", "_on_start")

    def __init__(self, start: Callable[[], SpectrumStream], count: int,
                 on_start: Callable[[SpectrumStream], None]) -> None:
        self._start = start
        self._count = count
        self._on_start = on_start
        self._stream: SpectrumStream | None = None
        self._spent = False
        self._begin()

    def _begin(self) -> SpectrumStream:
        stream = self._start()
        self._stream = stream
        self._spent = False
        self._on_start(stream)
        return stream

    def __len__(self) -> int:
        return self._count

    def __iter__(self) -> Spectra:
        if self._spent:
            self._begin()
        return self

    def __next__(self) -> Spectrum:
        stream = self._stream if not self._spent else None
        if stream is None:
            raise StopIteration
        try:
            return next(stream)
        except StopIteration:
            self._spent = True
            raise

    @property
    def skipped(self) -> list[tuple[int, str]]:
        return self._stream.skipped if self._stream is not None else []

    def close(self) -> None:
        """Stops the current pass and its workers; iterating again starts anew."""
        if self._stream is not None:
            self._stream.close()
        self._spent = True

    def __repr__(self) -> str:
        return f"<morvane spectra: {self._count} selected>"

    def __getstate__(self) -> Any:
        raise TypeError("a spectrum selection cannot be pickled; pickle the run and select again")


class PeakTable:
    """The long peak table of a selection, one row per peak, streamed through
    the Arrow C stream interface: ``pyarrow.table(t)``,
    ``polars.from_arrow(t)``, DuckDB and ``pandas.DataFrame.from_arrow(t)``
    read it, decoding the spectra as they go; each reader gets a fresh
    stream, so the table can be read more than once. ``to_pandas()``,
    ``to_polars()`` and ``to_arrow()`` read it whole.

    It is not a mapping: ``pandas.DataFrame(mapping)`` and
    ``pyarrow.table(mapping)`` both take a dict before a stream, and as a
    dict the table would lose its Arrow schema (non-null columns) and be
    decoded twice."""

    __slots__ = ("_stream",)

    def __init__(self, stream: PeakStream) -> None:
        self._stream = stream

    def __arrow_c_stream__(self, requested_schema: object | None = None) -> object:
        return self._stream.__arrow_c_stream__(requested_schema)

    def to_arrow(self) -> Any:
        """The table as a ``pyarrow.Table`` (absent values are nulls)."""
        return _needs("pyarrow", "to_arrow()", "parquet").table(self._stream)

    def to_pandas(self) -> Any:
        """The table as a ``pandas.DataFrame`` (absent precursor m/z NaN)."""
        _needs("pandas", "to_pandas()", "pandas")
        return self.to_arrow().to_pandas()

    def to_polars(self) -> Any:
        """The table as a ``polars.DataFrame`` (absent values are nulls)."""
        return _needs("polars", "to_polars()", "polars").from_arrow(self.to_arrow())

    def __reduce__(self) -> Any:
        raise TypeError("a PeakTable cannot be pickled; pickle the run, or the table read whole")

    def __repr__(self) -> str:
        return "<morvane peak table: an Arrow stream>"


def _needs(module: str, what: str, extra: str) -> Any:
    try:
        return importlib.import_module(module)
    except ImportError as error:
        raise ImportError(f"PeakTable.{what} needs {module}: pip install 'karvel[{extra}]'") from error
