"""Run: one opened data folder."""

from __future__ import annotations

import errno
import math
import os
import re
from collections.abc import Collection, Iterator
from typing import Any, Literal

import numpy as np
import numpy.typing as npt

from . import _core
from ._core import Spectrum
from ._scans import ScanTable, select

_PathArg = str | bytes | os.PathLike[str] | os.PathLike[bytes]
_NATIVE_ID = re.compile(r"scanId=(\d+)")


def _available_cores() -> int:
    try:
        return len(os.sched_getaffinity(0))
    except (AttributeError, OSError):
        return os.cpu_count() or 1


def _threads(threads: int | None) -> int:
    if threads is None:
        return _available_cores()
    if not isinstance(threads, int) or threads < 1:
        raise ValueError(f"threads must be a positive int or None, not {threads!r}")
    return threads


# Where a spectrum's points come from, by code (as the extension numbers them):
# "auto" the profile where the scan has one; "stored" the stored centroid
# block where there is one; "pick" the stored centroids where present,
# otherwise the profile's picked peaks; "pick-all" every profile picked.
# "centroid" is another name for "stored".
_CHOICES = ("auto", "stored", "pick", "pick-all")
_ALL_LEVELS = (0, 4294967295)


def _choice(mode: str) -> int:
    name = "stored" if mode == "centroid" else mode
    if name not in _CHOICES:
        raise ValueError(f"mode must be 'auto', 'stored' (or 'centroid'), 'pick' or 'pick-all', not {mode!r}")
    return _CHOICES.index(name)


def _centroid(mode: str, levels: int | tuple[int, int | None] | None = None,
              snr: float = 3.0) -> tuple[int, int, int, float]:
    """The extension's (choice, lowest level, highest level, snr): `levels`
    the MS levels the mode applies to (the others keep their block): None for
    all, n for level n alone, (low, high) inclusive, high None for no end."""
    if levels is None:
        low, high = _ALL_LEVELS
    elif isinstance(levels, int) and not isinstance(levels, bool):
        low, high = levels, levels
    elif isinstance(levels, tuple) and len(levels) == 2:
        low, high = levels[0], _ALL_LEVELS[1] if levels[1] is None else levels[1]
    else:
        raise ValueError(f"centroid_ms_levels must be None, a level or a (low, high) pair, not {levels!r}")
    if not all(isinstance(v, int) and not isinstance(v, bool) and 0 <= v <= _ALL_LEVELS[1] for v in (low, high)) \
            or low > high:
        raise ValueError(f"centroid_ms_levels must name levels from low to high, not {levels!r}")
    if not (isinstance(snr, (int, float)) and snr >= 0 and math.isfinite(snr)):
        raise ValueError(f"snr must be a non-negative number, not {snr!r}")
    return _choice(mode), low, high, float(snr)


def _skip(errors: str) -> bool:
    if errors not in ("raise", "skip"):
        raise ValueError(f"errors must be 'raise' or 'skip', not {errors!r}")
    return errors == "skip"


def open(path: _PathArg) -> Run:  # noqa: A001 - the package's entry point
    """Opens the data folder at path: reads the scan table and side files
    only. FileNotFoundError when path does not exist, NotADirectoryError when
    it is not a directory, FormatError when it is not a readable run."""
    return Run(path)


class Run:
    """An opened data folder: a sequence of spectra, decoded on demand.

    Also a context manager; ``close()`` releases the files. Pickles as its
    path and reopens on load."""

    def __init__(self, path: _PathArg) -> None:
        fs_path = os.fspath(path)
        text = os.fsdecode(fs_path)
        if not os.path.exists(fs_path):
            raise FileNotFoundError(errno.ENOENT, os.strerror(errno.ENOENT), text)
        if not os.path.isdir(fs_path):
            raise NotADirectoryError(errno.ENOTDIR, os.strerror(errno.ENOTDIR), text)
        self._handle = _core.RunHandle(fs_path)
        self._path = text
        self._count = len(self._handle)
        self._scans: ScanTable | None = None
        self._by_scan_id: dict[int, int] | None = None
        self.skipped: list[tuple[int, str]] = []

    # -- identity, lifetime ---------------------------------------------------
    @property
    def path(self) -> str:
        return self._path

    @property
    def closed(self) -> bool:
        return self._handle.closed

    def close(self) -> None:
        """Releases the reader. Streams already started keep their own."""
        self._handle.close()

    def __enter__(self) -> Run:
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()

    def __reduce__(self) -> tuple[Any, tuple[str]]:
        return (Run, (self._path,))

    def __repr__(self) -> str:
        state = "closed" if self.closed else f"{self._count} spectra"
        return f"morvane.Run({self._path!r}, {state})"

    # -- metadata ---------------------------------------------------------------
    @property
    def info(self) -> dict[str, Any]:
        """Run metadata: equal to karvel's ``RawReader(path).run_info()``."""
        return self._handle.info()

    @property
    def device(self) -> dict[str, str] | None:
        """Device name and model from Devices.xml, or None."""
        return self._handle.device()

    @property
    def scans(self) -> ScanTable:
        if self._scans is None:
            self._scans = ScanTable(self._handle.scan_columns())
        return self._scans

    # -- random access ------------------------------------------------------------
    def __len__(self) -> int:
        return self._count

    def __getitem__(self, index: int) -> Spectrum:
        if not isinstance(index, (int, np.integer)):
            raise TypeError(f"run indices must be integers, not {type(index).__name__}")
        position = int(index)
        if position < 0:
            position += self._count
        if not 0 <= position < self._count:
            raise IndexError("spectrum index out of range")
        return self._handle.spectrum(position, 0)

    def __iter__(self) -> Iterator[Spectrum]:
        return self.spectra()

    def spectrum(self, index: int, *, mode: Literal["auto", "centroid", "stored", "pick", "pick-all"] = "auto", snr: float = 3.0) -> Spectrum:
        """Spectrum at index, its points from the block `mode` chooses (see
        spectra())."""
        position = int(index) + (self._count if int(index) < 0 else 0)
        if not 0 <= position < self._count:
            raise IndexError("spectrum index out of range")
        return self._handle.spectrum(position, *_centroid(mode, None, snr))

    def by_scan_id(self, scan_id: int) -> Spectrum:
        """The spectrum whose scan id is scan_id (KeyError when none)."""
        if self._by_scan_id is None:
            ids = self.scans["scan_id"].tolist()
            mapping: dict[int, int] = {}
            for position, value in enumerate(ids):
                mapping.setdefault(value, position)
            self._by_scan_id = mapping
        try:
            position = self._by_scan_id[int(scan_id)]
        except KeyError:
            raise KeyError(scan_id) from None
        return self[position]

    def by_native_id(self, native_id: str) -> Spectrum:
        """The spectrum with native id "scanId=N" (KeyError when none)."""
        match = _NATIVE_ID.fullmatch(native_id) if isinstance(native_id, str) else None
        if match is None:
            raise KeyError(native_id)
        try:
            return self.by_scan_id(int(match.group(1)))
        except KeyError:
            raise KeyError(native_id) from None

    def rt_slice(self, low: float, high: float) -> range:
        """The indices of the spectra whose retention time in seconds lies in
        [low, high], as a range (retention times rise along a run)."""
        times = self.scans["rt"]
        inside = np.flatnonzero((times >= low) & (times <= high))
        if inside.size == 0:
            return range(0)
        return range(int(inside[0]), int(inside[-1]) + 1)

    # -- whole-run passes -----------------------------------------------------------
    def _select(
        self,
        ms_level: int | Collection[int] | None,
        rt: tuple[float, float] | None,
        indices: Any | None = None,
    ) -> npt.NDArray[np.uint32]:
        return select(self.scans, ms_level, rt, indices)

    def spectra(
        self,
        *,
        ms_level: int | Collection[int] | None = None,
        rt: tuple[float, float] | None = None,
        indices: Any | None = None,
        mode: Literal["auto", "centroid", "stored", "pick", "pick-all"] = "auto",
        errors: Literal["raise", "skip"] = "raise",
        threads: int | None = None,
        snr: float = 3.0,
    ) -> Iterator[Spectrum]:
        """Spectra in index order, decoded ahead on C++ worker threads
        (threads=1: each in the calling thread when it is asked for, without
        the interpreter lock).

        mode: "auto" the profile where a scan has one; "stored" (or
        "centroid") the stored centroid block where there is one; "pick"
        the stored centroids where present, otherwise the profile's peaks
        picked on the workers (centroid spectra: one point per peak at the
        calibrated m/z of its fitted apex, with its height; peaks below snr
        times the spectrum's noise level dropped); "pick-all" every
        profile's peaks picked.

        errors="skip" leaves out undecodable spectra and records
        ``(index, message)`` in ``run.skipped`` (the list of the latest
        call); "raise" raises FormatError at
        that spectrum. Dropping the iterator stops its workers."""
        chosen = self._select(ms_level, rt, indices)
        choice, low, high, snr_value = _centroid(mode, None, snr)
        stream = self._handle.spectra(chosen, choice, _skip(errors), _threads(threads), low, high, snr_value)
        self.skipped = stream.skipped
        return stream

    def peaks(
        self,
        *,
        ms_level: int | Collection[int] | None = None,
        rt: tuple[float, float] | None = None,
        mode: Literal["auto", "centroid", "stored", "pick", "pick-all"] = "auto",
        errors: Literal["raise", "skip"] = "raise",
        metadata: bool = False,
        threads: int | None = None,
        centroid_ms_levels: int | tuple[int, int | None] | None = None,
        snr: float = 3.0,
    ) -> _core.PeakStream:
        """The long peak table (spectrum_index, mz, intensity; with metadata
        also scan_id, ms_level, rt, precursor_mz, polarity) through the Arrow
        C stream interface: ``pyarrow.table(run.peaks())``. mode and snr as
        in spectra(); centroid_ms_levels: the MS levels mode applies to
        (None all, n, or (low, high) with high None for no end)."""
        chosen = self._select(ms_level, rt)
        choice, low, high, snr_value = _centroid(mode, centroid_ms_levels, snr)
        return self._handle.peaks(
            chosen, choice, _skip(errors), bool(metadata), _threads(threads), low, high, snr_value
        )

    def xic(
        self,
        mz: float,
        *,
        ppm: float | None = None,
        da: float | None = None,
        ms_level: int | Collection[int] = 1,
        rt: tuple[float, float] | None = None,
        threads: int | None = None,
    ) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.float64]]:
        """Extracted-ion chromatogram: for each selected spectrum, its
        retention time and the summed intensity within mz ± tolerance (ppm or
        da, exactly one of them)."""
        if (ppm is None) == (da is None):
            raise TypeError("xic() needs exactly one of ppm= and da=")
        half = mz * ppm * 1e-6 if ppm is not None else float(da)  # type: ignore[arg-type]
        if half < 0:
            raise ValueError("the tolerance must not be negative")
        chosen = self._select(ms_level, rt)
        return self._handle.xic(chosen, mz - half, mz + half, _threads(threads))

    def _chromatograms(
        self, threads: int | None
    ) -> tuple[npt.NDArray[np.float32], npt.NDArray[np.float32], npt.NDArray[np.float32]]:
        return self._handle.chromatograms(_threads(threads))

    def tic(
        self, *, threads: int | None = None
    ) -> tuple[npt.NDArray[np.float32], npt.NDArray[np.float32]]:
        """Total-ion-current chromatogram of the MS1 spectra (32-bit values,
        equal to karvel's "TIC" chromatogram)."""
        rt, tic, _ = self._chromatograms(threads)
        return rt, tic

    def bpc(
        self, *, threads: int | None = None
    ) -> tuple[npt.NDArray[np.float32], npt.NDArray[np.float32]]:
        """Base-peak chromatogram of the MS1 spectra (equal to karvel's "BPC")."""
        rt, _, bpc = self._chromatograms(threads)
        return rt, bpc

    # -- export -----------------------------------------------------------------------
    def to_mzml(
        self,
        out: str | os.PathLike[str],
        *,
        ms_level: int | Collection[int] | None = None,
        rt: tuple[float, float] | None = None,
        mode: Literal["auto", "centroid", "stored", "pick", "pick-all"] = "auto",
        zlib: bool = True,
        intensity_bits: Literal[32, 64] = 32,
        progress: bool = False,
        threads: int | None = None,
        numpress_mz: Literal["linear"] | None = None,
        numpress_intensity: Literal["slof", "pic"] | None = None,
        numpress_mz_ppm: float = 0.1,
        centroid_ms_levels: int | tuple[int, int | None] | None = None,
        snr: float = 3.0,
    ) -> None:
        """Writes the run as indexed mzML 1.1 (see morvane.to_mzml)."""
        from ._mzml import to_mzml

        to_mzml(self, out, ms_level=ms_level, rt=rt, mode=mode, zlib=zlib,
                intensity_bits=intensity_bits, progress=progress, threads=threads,
                numpress_mz=numpress_mz, numpress_intensity=numpress_intensity,
                numpress_mz_ppm=numpress_mz_ppm, centroid_ms_levels=centroid_ms_levels, snr=snr)

    def to_parquet(
        self,
        out: str | os.PathLike[str],
        *,
        ms_level: int | Collection[int] | None = None,
        rt: tuple[float, float] | None = None,
        mode: Literal["auto", "centroid", "stored", "pick", "pick-all"] = "auto",
        progress: bool = False,
        row_group_size: int = 1_048_576,
        compression: str = "zstd",
        threads: int | None = None,
        centroid_ms_levels: int | tuple[int, int | None] | None = None,
        snr: float = 3.0,
    ) -> int:
        """Writes the run's peaks as Parquet, one row per peak; returns the
        number of rows (see morvane.to_parquet). Needs pyarrow."""
        from ._parquet import to_parquet

        return to_parquet(self, out, ms_level=ms_level, rt=rt, mode=mode, progress=progress,
                          row_group_size=row_group_size, compression=compression, threads=threads,
                          centroid_ms_levels=centroid_ms_levels, snr=snr)
