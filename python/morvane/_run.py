"""Run: one opened data folder."""

from __future__ import annotations

import contextlib
import errno
import os
from collections.abc import Iterator, Sequence
from typing import Any, Literal, overload

import numpy as np
import numpy.typing as npt

from . import _args, _native, _targeted
from ._archives import origin_of, unpacked
from ._args import Errors, Mode, MsLevels
from ._integrity import Event, Watch, display_name, events_of
from ._native import Spectrum
from ._mzml import to_mzml
from ._mzpeak import to_mzpeak
from ._parquet import to_parquet
from ._logging import forward
from ._salvage import Skipped, skipped_of
from ._scans import ScanTable, select
from ._selection import PeakTable, Spectra
from ._views import RunViews
from ._slices import SpectrumSlice

_PathArg = str | bytes | os.PathLike[str] | os.PathLike[bytes]


def open(path: _PathArg) -> Run:  # noqa: A001 - the package's entry point
    """Opens the data folder at path: reads the scan table and side files
    only. FileNotFoundError when path does not exist, NotADirectoryError when
    it is not a directory, FormatError when it is not a readable run."""
    return Run(path)


@contextlib.contextmanager
def opened(path: _PathArg) -> Iterator[Run]:
    """The run at path opened, for a data folder or an archive of one
    (RUN.d.zip, .tar, .tar.gz, unpacked into a private temporary folder);
    closed, and the unpacked copy removed, afterwards."""
    with unpacked(os.fsdecode(os.fspath(path))) as run_path, Run(run_path) as run:
        yield run


class Run(RunViews):
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
        self._handle = _native.RunHandle(fs_path)
        self._path = text
        self._origin = origin_of(text)
        self._watch = Watch(self._handle, display_name(self._origin or text))
        self._count = len(self._handle)
        self._scans: ScanTable | None = None
        self._by_scan_id: dict[int, int] | None = None
        self.skipped: list[tuple[int, str]] = []

    # -- identity, lifetime ---------------------------------------------------
    @property
    def path(self) -> str:
        return self._path

    @property
    def origin(self) -> str:
        """Where the run was read from: its path, or for a run unpacked from
        an archive the archive (and the run's folder inside it, as
        "RUN.d.zip/RUN.d")."""
        return self._origin or self._path

    @property
    def integrity(self) -> list[Event]:
        """The problems the reader met and worked around so far (reading the
        calibrations if not yet done): one Event per kind, with its count
        and first occurrence; see morvane._integrity for the kinds."""
        events = events_of(self._handle)
        self._watch.poll()
        return events

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
    def analyzer(self) -> str:
        """The mass analyzer the run's device names (empty when unknown)."""
        return _native.run_analyzer(self._handle)

    @property
    def calibration_sources(self) -> list[str | None]:
        """Each scan's calibration source, as resolved when the run opened
        (None for a scan without one)."""
        return _native.calibration_sources(self._handle)

    @property
    def scans(self) -> ScanTable:
        if self._scans is None:
            self._scans = ScanTable(self._handle.scan_columns())
            self._watch.poll()
        return self._scans

    # -- random access ------------------------------------------------------------
    def __len__(self) -> int:
        return self._count

    @overload
    def __getitem__(self, key: int | str) -> Spectrum: ...
    @overload
    def __getitem__(self, key: slice) -> SpectrumSlice: ...
    def __getitem__(self, key: int | str | slice) -> Spectrum | SpectrumSlice:
        """``run[i]`` the spectrum at position i (negative from the end),
        ``run["scanId=N"]`` the spectrum with that native id, ``run[a:b:c]``
        a view of those spectra that decodes each only when asked for."""
        if isinstance(key, slice):
            return SpectrumSlice(self, range(self._count)[key])
        if isinstance(key, str):
            return self.by_native_id(key)
        if isinstance(key, bool) or not isinstance(key, (int, np.integer)):
            raise TypeError(f"run indices must be integers, native ids or slices, not {type(key).__name__}")
        return self.spectrum(int(key))

    def __iter__(self) -> Iterator[Spectrum]:
        return self.spectra()

    def __contains__(self, item: object) -> bool:
        """``"scanId=N" in run``: whether a spectrum has that native id;
        ``spectrum in run``: whether it is this run's spectrum at its
        position (its native id, index, MS level and retention time those
        of the scan there). Reads the scan table only."""
        if isinstance(item, Spectrum):
            position = self._position_of(item.native_id)
            if position != item.index:
                return False
            scans = self.scans
            return bool(scans["ms_level"][position] == item.ms_level and scans["rt"][position] == item.rt)
        if isinstance(item, str):
            return self._position_of(item) is not None
        return False

    def _position_of(self, native_id: str) -> int | None:
        """The position of the first scan with this native id, or None."""
        scan_id = self._handle.scan_id_of(native_id)
        return None if scan_id is None else self._positions_by_scan_id().get(scan_id)

    def _positions_by_scan_id(self) -> dict[int, int]:
        if self._by_scan_id is None:
            mapping: dict[int, int] = {}
            for position, value in enumerate(self.scans["scan_id"].tolist()):
                mapping.setdefault(value, position)
            self._by_scan_id = mapping
        return self._by_scan_id

    def spectrum(self, index: int, *, mode: Mode = "auto", snr: float = 3.0, keep_spikes: bool = False) -> Spectrum:
        """The spectrum at position index (negative from the end), read from
        the block `mode` names (see ``Run.spectra``)."""
        if isinstance(index, bool) or not isinstance(index, (int, np.integer)):
            raise TypeError(f"run indices must be integers, not {type(index).__name__}")
        position = int(index) + (self._count if int(index) < 0 else 0)
        if not 0 <= position < self._count:
            raise IndexError("spectrum index out of range")
        try:
            return self._handle.spectrum(position, *_args.picking(mode, None, snr), bool(keep_spikes))
        finally:
            self._watch.poll()

    def by_scan_id(self, scan_id: int) -> Spectrum:
        """The spectrum whose scan id is scan_id (KeyError when none)."""
        try:
            position = self._positions_by_scan_id()[int(scan_id)]
        except KeyError:
            raise KeyError(f"no spectrum with scan id {scan_id} in {self._path}") from None
        return self.spectrum(position)

    def by_native_id(self, native_id: str) -> Spectrum:
        """The spectrum with native id "scanId=N" (KeyError naming the id and
        the run when there is none)."""
        scan_id = self._handle.scan_id_of(native_id) if isinstance(native_id, str) else None
        if scan_id is None:
            raise KeyError(f"{native_id!r} is not a native id of the form 'scanId=N' ({self._path})")
        position = self._positions_by_scan_id().get(scan_id)
        if position is None:
            raise KeyError(f"no spectrum with native id {native_id!r} in {self._path}")
        return self.spectrum(position)

    def nearest_rt(self, rt: float, *, ms_level: MsLevels | None = None) -> Spectrum:
        """The spectrum whose retention time is nearest to rt (seconds),
        among those of ms_level when given; of two equally near, the earlier.
        ValueError when rt is NaN, IndexError when no spectrum qualifies."""
        target = _args.seconds(rt)
        positions = self._select(ms_level, None)
        if positions.size == 0:
            which = "" if ms_level is None else f" of MS level {ms_level}"
            raise IndexError(f"no spectrum{which} in {self._path}")
        times = self.scans["rt"][positions]
        if np.isinf(target):
            distance = -times if target > 0 else times
        else:
            distance = np.abs(times - target)
        # Nearest first; among equals the earlier retention time, then index.
        best = np.lexsort((positions, times, distance))[0]
        return self.spectrum(int(positions[best]))

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
        ms_level: MsLevels | None,
        rt: tuple[float, float] | None,
        indices: Any | None = None,
    ) -> npt.NDArray[np.uint32]:
        return select(self.scans, ms_level, rt, indices)

    def spectra(
        self,
        *,
        ms_level: MsLevels | None = None,
        rt: tuple[float, float] | None = None,
        indices: Any | None = None,
        mode: Mode = "auto",
        errors: Errors = "raise",
        threads: int | None = None,
        snr: float = 3.0,
        keep_spikes: bool = False,
    ) -> Spectra:
        """Spectra in index order (the order of `indices` when given),
        decoded ahead on C++ worker threads (threads=1: each in the calling
        thread when it is asked for, without the interpreter lock). ``len()``
        of the iterator is the number of spectra selected; once spent,
        iterating it again makes a new pass over the same selection.

        `mode` says which block to read: "auto" the block the scan uses,
        "stored" (or "centroid") the centroids the run stores where a scan
        has both; a spectrum's own ``mode`` says what it is ("profile" or
        "centroid"). "pick": the stored centroids where present, otherwise
        the profile's peaks picked on the workers (centroid spectra: one point
        per peak at the calibrated m/z of its fitted apex, with its height;
        peaks below snr times the spectrum's noise level dropped, and
        single-point spikes unless keep_spikes); "pick-all": every profile's
        peaks picked.

        errors="skip" leaves out undecodable spectra and records
        ``(index, message)`` in ``run.skipped`` (the list of the latest call;
        then fewer spectra than ``len()`` may be yielded); "raise" raises
        FormatError at that spectrum. Dropping the iterator stops its
        workers."""
        chosen = self._select(ms_level, rt, indices)
        choice, low, high, snr_value = _args.picking(mode, None, snr)
        skip, workers, handle = _args.skip(errors), _args.threads(threads), self._handle

        def start() -> _native.SpectrumStream:
            stream = handle.spectra(chosen, choice, skip, workers, low, high, snr_value, bool(keep_spikes))
            stream.on_end = self._watch.poll
            return stream

        def started(stream: _native.SpectrumStream) -> None:
            self.skipped = stream.skipped

        return Spectra(start, len(chosen), started)

    def peaks(
        self,
        *,
        ms_level: MsLevels | None = None,
        rt: tuple[float, float] | None = None,
        mode: Mode = "auto",
        errors: Errors = "raise",
        metadata: bool = False,
        threads: int | None = None,
        centroid_ms_levels: int | tuple[int, int | None] | None = None,
        snr: float = 3.0,
        keep_spikes: bool = False,
    ) -> PeakTable:
        """The long peak table (spectrum_index, mz, intensity; with metadata
        also scan_id, ms_level, rt, precursor_mz, polarity) through the Arrow
        C stream interface: ``pyarrow.table(run.peaks())``,
        ``run.peaks().to_pandas()`` (see PeakTable). `mode` chooses
        the block as in ``Run.spectra`` (centroid_ms_levels: the MS levels
        it applies to, None all, n, or (low, high) with high None for no
        end); precursor_mz is null for spectra without a precursor."""
        chosen = self._select(ms_level, rt)
        choice, low, high, snr_value = _args.picking(mode, centroid_ms_levels, snr)
        return PeakTable(self._handle.peaks(
            chosen, choice, _args.skip(errors), bool(metadata), _args.threads(threads), low, high, snr_value,
            bool(keep_spikes)
        ))

    @overload
    def xic(
        self, mz: float, *, ppm: float | None = None, da: float | None = None, ms_level: MsLevels = 1,
        rt: tuple[float, float] | None = None, mode: Mode = "auto", threads: int | None = None,
        errors: Errors = "raise", snr: float = 3.0,
    ) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.float64]]: ...
    @overload
    def xic(
        self, mz: Sequence[float] | npt.NDArray[np.floating[Any]], *,
        ppm: float | Sequence[float] | npt.NDArray[np.floating[Any]] | None = None,
        da: float | Sequence[float] | npt.NDArray[np.floating[Any]] | None = None, ms_level: MsLevels = 1,
        rt: tuple[float, float] | None = None, mode: Mode = "auto", threads: int | None = None,
        errors: Errors = "raise", snr: float = 3.0,
    ) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.float64]]: ...
    def xic(
        self,
        mz: Any,
        *,
        ppm: Any = None,
        da: Any = None,
        ms_level: MsLevels = 1,
        rt: tuple[float, float] | None = None,
        mode: Mode = "auto",
        threads: int | None = None,
        errors: Errors = "raise",
        snr: float = 3.0,
    ) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.float64]]:
        """Extracted-ion chromatogram: for each selected spectrum, its
        retention time in seconds and the summed intensity within
        mz ± tolerance (ppm or da, exactly one of them), both float64.

        mz may also be a sequence of m/z, with one tolerance for all or one
        per target: then the sums come as a 2-D array, one row per target
        (in the order given) and one column per spectrum, each row equal to
        that target's own xic(); one decoding of each spectrum serves every
        target. `mode` chooses the block as in ``Run.spectra`` ("pick":
        sums over picked centroids). errors="skip" leaves out the spectra
        that cannot be decoded and lists them in ``run.skipped``."""
        lows, highs = _args.mz_windows(mz, ppm, da, "xic()")
        chosen = self._select(ms_level, rt)
        choice = _args.picking(mode, None, snr)
        workers = _args.threads(threads)
        times, sums = _targeted.xic_pass(self, chosen, lows, highs, workers, choice, _args.skip(errors))[0]
        return times, sums[0] if np.ndim(mz) == 0 else sums

    def extract(
        self,
        targets: Any,
        *,
        mode: Mode = "auto",
        threads: int | None = None,
        errors: Errors = "raise",
        snr: float = 3.0,
    ) -> Any:
        """Traces of a table of targets (pyarrow, pandas or polars; columns
        name, mz, ppm or da, optional rt_start and rt_end in seconds and
        ms_level, 1 when absent) as a pyarrow Table in long form: name, rt
        (s), intensity (float64), target after target in table order. Each
        target's trace covers the spectra of its MS level within its RT
        window, as its own xic() would; one decoding pass per MS level serves
        every target, and spectra outside every window are not decoded.
        ValueError naming the row for a malformed target or one whose window
        holds no spectrum. `mode`, `errors` as in xic()."""
        return _targeted.extract(self, targets, mode=mode, threads=threads, errors=errors, snr=snr)

    def transitions(self, *, errors: Errors = "raise") -> Any:
        """The points of the run's MRM scans (scans of MS level 2 and above
        whose row names a channel) as a pyarrow Table, one row per point in
        index order: channel (uint32), rt (s), mz, intensity (float32),
        collision_energy (float64, null where the row holds none), polarity
        (int8) and spectrum_index (uint32). Built in C++ from the scan table
        and the points, without a spectrum object per scan."""
        return _targeted.transitions(self, errors)

    def channel_chromatograms(self, *, errors: Errors = "raise") -> list[_targeted.ChannelTrace]:
        """One chromatogram per MRM channel, by rising channel id: per scan
        of the channel its retention time and summed intensity, with the m/z,
        collision energy and polarity the channel's points share (see
        morvane.ChannelTrace)."""
        return _targeted.channel_traces(self, errors)

    def _chromatograms(
        self, threads: int | None, errors: str
    ) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.float64], npt.NDArray[np.float64]]:
        workers = _args.threads(threads)
        skip = _args.skip(errors)
        try:
            # One pass: with skip, the spectra that do not decode are left out
            # as they fail.
            rt, tic, bpc, failures = self._handle.chromatograms(workers, None, skip)
            self.skipped = [(s.index, s.reason) for s in skipped_of(self, failures)]
        finally:
            forward()
            self._watch.poll()
        return rt, tic, bpc

    def tic(
        self, *, threads: int | None = None, errors: Errors = "raise"
    ) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.float64]]:
        """Total-ion-current chromatogram of the MS1 spectra: retention times
        in seconds and sums, both float64 (karvel's "TIC" chromatogram holds
        the same values rounded to 32 bits). errors="skip" as in xic()."""
        rt, tic, _ = self._chromatograms(threads, errors)
        return rt, tic

    def bpc(
        self, *, threads: int | None = None, errors: Errors = "raise"
    ) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.float64]]:
        """Base-peak chromatogram of the MS1 spectra: retention times in
        seconds and base-peak intensities, float64 (karvel's "BPC" holds the
        same values rounded to 32 bits). errors="skip" as in xic()."""
        rt, _, bpc = self._chromatograms(threads, errors)
        return rt, bpc

    # -- export -----------------------------------------------------------------------
    def to_mzml(
        self,
        out: str | os.PathLike[str],
        *,
        ms_level: MsLevels | None = None,
        rt: tuple[float, float] | None = None,
        mode: Mode = "auto",
        zlib: bool = True,
        intensity_bits: Literal[32, 64] = 32,
        progress: bool = False,
        threads: int | None = None,
        errors: Errors = "raise",
        numpress_mz: Literal["linear"] | None = None,
        numpress_intensity: Literal["slof", "pic"] | None = None,
        numpress_mz_ppm: float = 0.1,
        centroid_ms_levels: int | tuple[int, int | None] | None = None,
        snr: float = 3.0,
        strict: bool = False,
        srm: bool = True,
        keep_spikes: bool = False,
    ) -> list[Skipped]:
        """Writes the run as indexed mzML 1.1 (see morvane.to_mzml); returns
        the spectra left out with errors="skip"."""
        return to_mzml(self, out, ms_level=ms_level, rt=rt, mode=mode, zlib=zlib,
                       intensity_bits=intensity_bits, progress=progress, threads=threads, errors=errors,
                       numpress_mz=numpress_mz, numpress_intensity=numpress_intensity,
                       numpress_mz_ppm=numpress_mz_ppm, centroid_ms_levels=centroid_ms_levels, snr=snr,
                       strict=strict, srm=srm, keep_spikes=keep_spikes)

    def to_parquet(
        self,
        out: str | os.PathLike[str],
        *,
        ms_level: MsLevels | None = None,
        rt: tuple[float, float] | None = None,
        mode: Mode = "auto",
        progress: bool = False,
        row_group_size: int = 1_048_576,
        compression: str = "zstd",
        threads: int | None = None,
        errors: Errors = "raise",
        centroid_ms_levels: int | tuple[int, int | None] | None = None,
        snr: float = 3.0,
        strict: bool = False,
        keep_spikes: bool = False,
        srm: bool = True,
    ) -> int:
        """Writes the run's peaks as Parquet, one row per peak, and the MRM
        channels' chromatograms beside them (srm=False: not); returns the
        number of peak rows (see morvane.to_parquet). Needs pyarrow."""
        return to_parquet(self, out, ms_level=ms_level, rt=rt, mode=mode, progress=progress,
                          row_group_size=row_group_size, compression=compression, threads=threads,
                          errors=errors, centroid_ms_levels=centroid_ms_levels, snr=snr, strict=strict,
                          keep_spikes=keep_spikes, srm=srm)

    def to_mzpeak(
        self,
        out: str | os.PathLike[str],
        *,
        ms_level: MsLevels | None = None,
        rt: tuple[float, float] | None = None,
        mode: Mode = "auto",
        layout: Literal["zip", "folder"] = "zip",
        mz_encoding: Literal["delta", "basic", "numpress"] = "delta",
        chunk_width: float = 50.0,
        strip_zero_runs: bool = True,
        progress: bool = False,
        compression: str = "zstd",
        threads: int | None = None,
        errors: Errors = "raise",
        centroid_ms_levels: int | tuple[int, int | None] | None = None,
        snr: float = 3.0,
        numpress_mz_ppm: float = 0.1,
        keep_spikes: bool = False,
    ) -> list[Skipped]:
        """Writes the run as an mzPeak archive (see morvane.to_mzpeak);
        returns the spectra left out with errors="skip". Needs pyarrow."""
        return to_mzpeak(self, out, ms_level=ms_level, rt=rt, mode=mode, layout=layout, mz_encoding=mz_encoding,
                         chunk_width=chunk_width, strip_zero_runs=strip_zero_runs, progress=progress,
                         compression=compression, threads=threads, errors=errors,
                         centroid_ms_levels=centroid_ms_levels, snr=snr, numpress_mz_ppm=numpress_mz_ppm,
                         keep_spikes=keep_spikes)
