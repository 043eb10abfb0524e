"""The C++ part of morvane: opened runs, spectra with numpy arrays, Arrow streams."""

import os
from collections.abc import Callable, Iterator, Sequence
from typing import Any, final

import numpy as np
import numpy.typing as npt

__all__ = [
    "Buffer", "FormatError", "MzmlWriter", "PeakStream", "RunHandle", "ScanColumns", "Spectrum",
    "SpectrumStream", "calibration_sources", "integrity_events", "integrity_kinds", "pick_peaks", "rt_mz_map",
    "run_analyzer", "set_log_level", "set_spectrum_plot", "take_log_records",
]

class FormatError(ValueError): ...

@final
class Buffer: ...

@final
class Spectrum:
    def __eq__(self, other: object, /) -> bool: ...
    def __hash__(self) -> int: ...
    @property
    def index(self) -> int: ...
    @property
    def scan_id(self) -> int: ...
    @property
    def native_id(self) -> str: ...
    @property
    def ms_level(self) -> int: ...
    @property
    def rt(self) -> float: ...
    @property
    def polarity(self) -> str | None: ...
    @property
    def mode(self) -> str | None: ...
    @property
    def precursor_mz(self) -> float | None: ...
    @property
    def collision_energy(self) -> float | None: ...
    @property
    def tic(self) -> float: ...
    @property
    def base_peak_mz(self) -> float | None: ...
    @property
    def base_peak_intensity(self) -> float | None: ...
    @property
    def mz(self) -> npt.NDArray[np.float64]: ...
    @property
    def intensity(self) -> npt.NDArray[np.float32]: ...
    def __len__(self) -> int: ...
    def plot(self, /, **layout: Any) -> Any: ...
    def centroided(self, *, snr: float = 3.0, keep_spikes: bool = False) -> Spectrum: ...

@final
class ScanColumns:
    def arrays(self) -> dict[str, npt.NDArray[Any]]: ...
    def __arrow_c_stream__(self, requested_schema: object | None = None) -> object: ...
    def __len__(self) -> int: ...

@final
class SpectrumStream:
    def __iter__(self) -> Iterator[Spectrum]: ...
    def __next__(self) -> Spectrum: ...
    def __len__(self) -> int: ...
    def close(self) -> None: ...
    @property
    def skipped(self) -> list[tuple[int, str]]: ...
    on_end: Callable[[], object] | None

@final
class PeakStream:
    def __arrow_c_stream__(self, requested_schema: object | None = None) -> object: ...
    def failure(self) -> BaseException | None: ...

@final
class RunHandle:
    def __new__(cls, path: str | bytes | os.PathLike[str] | os.PathLike[bytes]) -> RunHandle: ...
    @property
    def path(self) -> str: ...
    @property
    def closed(self) -> bool: ...
    def __len__(self) -> int: ...
    def close(self) -> None: ...
    def info(self) -> dict[str, Any]: ...
    def device(self) -> dict[str, str] | None: ...
    def scan_columns(self) -> ScanColumns: ...
    def spectrum(
        self, index: int, choice: int, min_level: int = 0, max_level: int = 4294967295, snr: float = 3.0,
        keep_spikes: bool = False, /
    ) -> Spectrum: ...
    def spectra(
        self,
        indices: npt.NDArray[np.uint32],
        choice: int,
        skip: bool,
        threads: int,
        min_level: int = 0,
        max_level: int = 4294967295,
        snr: float = 3.0,
        keep_spikes: bool = False,
        /,
    ) -> SpectrumStream: ...
    def peaks(
        self,
        indices: npt.NDArray[np.uint32],
        choice: int,
        skip: bool,
        metadata: bool,
        threads: int,
        min_level: int = 0,
        max_level: int = 4294967295,
        snr: float = 3.0,
        keep_spikes: bool = False,
        /,
    ) -> PeakStream: ...
    def xic(
        self,
        indices: npt.NDArray[np.uint32],
        lows: npt.NDArray[np.float64],
        highs: npt.NDArray[np.float64],
        threads: int,
        choice: int = 0,
        min_level: int = 0,
        max_level: int = 4294967295,
        snr: float = 3.0,
        /,
    ) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.float64]]: ...
    def transitions(
        self, indices: npt.NDArray[np.uint32], /
    ) -> tuple[
        npt.NDArray[np.uint32],
        npt.NDArray[np.uint32],
        npt.NDArray[np.float64],
        npt.NDArray[np.float64],
        npt.NDArray[np.float32],
        npt.NDArray[np.float64],
        npt.NDArray[np.int8],
    ]: ...
    def chromatograms(
        self, threads: int, skipped: npt.NDArray[np.uint32] | None = None, skip: bool = False, /
    ) -> tuple[
        npt.NDArray[np.float64], npt.NDArray[np.float64], npt.NDArray[np.float64], list[tuple[int, str]]
    ]: ...
    def native_ids(self, positions: npt.NDArray[np.uint32], /) -> list[str]: ...
    def scan_id_of(self, native_id: object, /) -> int | None: ...

@final
class MzmlWriter:
    def __new__(
        cls,
        run: RunHandle,
        path: str | bytes | os.PathLike[str] | os.PathLike[bytes],
        positions: object,
        choice: int = 0,
        zlib: bool = True,
        intensity_bits: int = 32,
        threads: int = 1,
        skipped: Sequence[tuple[str, str]] | None = None,
        numpress_mz: str | None = None,
        numpress_intensity: str | None = None,
        numpress_mz_ppm: float = 0.1,
        min_level: int = 0,
        max_level: int = 4294967295,
        snr: float = 3.0,
        source: str | None = None,
        keep_spikes: bool = False,
    ) -> MzmlWriter: ...
    @property
    def total(self) -> int: ...
    @property
    def written(self) -> int: ...
    def write_next(self, count: int, /) -> int: ...
    def add_reaction_chromatogram(
        self,
        id: str,
        times: npt.NDArray[np.float64],
        intensity: npt.NDArray[np.float64],
        precursor_mz: float | None,
        product_mz: float | None,
        collision_energy: float | None,
        /,
    ) -> None: ...
    def finish(self) -> None: ...

def take_log_records() -> list[tuple[int, str, str]]: ...
def set_log_level(level: int, /) -> None: ...
def pick_peaks(mz: Any, intensity: Any, snr: float, keep_spikes: bool, /) -> tuple[Any, Any]: ...
def set_spectrum_plot(function: Callable[..., Any], /) -> None: ...
def run_analyzer(handle: RunHandle, /) -> str: ...
def calibration_sources(handle: RunHandle, /) -> list[str | None]: ...
def integrity_events(handle: RunHandle, /) -> list[tuple[str, int, str]]: ...
def integrity_kinds(handle: RunHandle, /) -> int: ...
def rt_mz_map(
    handle: RunHandle,
    indices: npt.NDArray[np.uint32],
    rt_low: float,
    rt_high: float,
    rt_bins: int,
    mz_bins: int,
    mz_low: float | None,
    mz_high: float | None,
    threads: int,
    /,
) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.float64], npt.NDArray[np.float64], int, int]: ...
def qc_collect(
    handle: RunHandle, threads: int, /
) -> tuple[dict[str, Any], list[tuple[int | None, dict[str, Any]]]]: ...
