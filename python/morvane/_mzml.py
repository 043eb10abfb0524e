"""Indexed mzML output of a run, written by the C++ writer in steps."""

from __future__ import annotations

import os
from typing import Any, Literal, Protocol

import numpy as np
import numpy.typing as npt

from . import _args, _core
from ._args import Mode, MsLevels
from ._output import spectra_bar


class MzmlSource(Protocol):
    """What the writer needs of a run (a morvane.Run)."""

    @property
    def path(self) -> str: ...
    @property
    def _handle(self) -> _core.RunHandle: ...
    def _select(
        self, ms_level: MsLevels | None, rt: tuple[float, float] | None, indices: Any | None = None
    ) -> npt.NDArray[np.uint32]: ...

# Spectra per step: small enough for a smooth progress bar, large enough
# that the steps cost nothing next to the writing.
_STEP = 64


def to_mzml(
    run: MzmlSource,
    out: str | os.PathLike[str],
    *,
    ms_level: MsLevels | None = None,
    rt: tuple[float, float] | None = None,
    mode: Mode = "auto",
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
    """Writes the run's spectra (those passing ms_level and rt, in seconds,
    inclusive) as indexed mzML 1.1 to out.

    m/z values are 64-bit, intensities 32-bit (or 64-bit, exactly the float32
    values widened), zlib-compressed unless zlib=False; mode="stored" (or
    "centroid") takes the centroid block of scans that have both (see
    Run.spectra for the modes). The file is written under a
    temporary name next to out and renamed when complete: a failure leaves
    out as it was. FormatError when a spectrum cannot be decoded. `threads`
    decode and compress the next spectra while the file is written (None:
    the cores); the file is the same for every count, and threads=1 keeps
    the conversion on one core, as when many runs convert side by side.

    "pick" writes stored centroids where present and picks the other
    profiles, "pick-all" picks every profile (snr: the picker's threshold);
    centroid_ms_levels limits the mode to those MS levels (None all, n, or
    (low, high) with high None for no end), the others keep their block.
    Picked spectra are centroid spectra, and the file's data processing
    lists the peak picking step with its settings.

    MS-Numpress (opt-in: a few tools cannot read it): numpress_mz="linear"
    stores each m/z within numpress_mz_ppm parts per million of the
    spectrum's largest m/z; numpress_intensity="slof" stores intensities
    within about 1e-4 of their value (the exact bound depends on the
    spectrum's largest intensity), "pic" rounds them to integer counts. With
    zlib the numpress bytes are compressed too. Numpress arrays decode to
    64-bit floats; an array numpress cannot represent (a NaN, a negative
    intensity) is written plain."""
    choice, low, high, snr_value = _args.picking(mode, centroid_ms_levels, snr)
    if intensity_bits not in (32, 64):
        raise ValueError(f"intensity_bits must be 32 or 64, not {intensity_bits!r}")
    if numpress_mz not in (None, "linear"):
        raise ValueError(f"numpress_mz must be 'linear' or None, not {numpress_mz!r}")
    if numpress_intensity not in (None, "slof", "pic"):
        raise ValueError(f"numpress_intensity must be 'slof', 'pic' or None, not {numpress_intensity!r}")
    workers = _args.threads(threads)
    positions = run._select(ms_level, rt)
    writer = _core.MzmlWriter(
        run._handle, os.fspath(out), positions, choice, bool(zlib), int(intensity_bits), workers,
        numpress_mz, numpress_intensity, float(numpress_mz_ppm), low, high, snr_value
    )
    with spectra_bar(progress, writer.total, os.path.basename(run.path)) as bar:
        while wrote := writer.write_next(_STEP):
            if bar is not None:
                bar.update(wrote)
        writer.finish()
