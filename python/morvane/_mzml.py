"""Indexed mzML output of a run, written by the C++ writer in steps."""

from __future__ import annotations

import contextlib
import errno
import os
from collections.abc import Iterator
from typing import Any, Literal, Protocol

import numpy as np

from . import _args, _native
from ._args import Mode, MsLevels
from ._atomic import remove_stale_temporaries
from ._integrity import check_strict, display_name, events_of
from ._output import selected_or_refused
from ._progress import spectra_bar
from ._salvage import Skipped, in_one_pass
from ._targeted import channel_traces


class MzmlSource(Protocol):
    """What the writer needs of a run (a morvane.Run)."""

    @property
    def path(self) -> str: ...
    @property
    def _handle(self) -> _native.RunHandle: ...
    @property
    def origin(self) -> str: ...
    @property
    def scans(self) -> Any: ...

# Spectra per step: small enough for a smooth progress bar, large enough
# that the steps cost nothing next to the writing.
_STEP = 64


# Faults of writing, whichever step meets them.
_WRITING = frozenset({errno.ENOSPC, errno.EDQUOT, errno.EFBIG, errno.EROFS})


@contextlib.contextmanager
def output_errors_named(path: str, *, chosen: bool) -> Iterator[None]:
    """OSErrors of the writer name the output path: all of them (chosen,
    when the step only touches the output) or those of writing."""
    try:
        yield
    except OSError as error:
        if error.filename is None and error.errno is not None and (chosen or error.errno in _WRITING):
            raise OSError(error.errno, os.strerror(error.errno), path) from None
        raise


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
    errors: Literal["raise", "skip"] = "raise",
    numpress_mz: Literal["linear"] | None = None,
    numpress_intensity: Literal["slof", "pic"] | None = None,
    numpress_mz_ppm: float = 0.1,
    centroid_ms_levels: int | tuple[int, int | None] | None = None,
    snr: float = 3.0,
    strict: bool = False,
    srm: bool = True,
    keep_spikes: bool = False,
) -> list[Skipped]:
    """Writes the run's spectra (those passing ms_level and rt, in seconds,
    inclusive) as indexed mzML 1.1 to out.

    m/z values are 64-bit, intensities 32-bit (or 64-bit, exactly the float32
    values widened), zlib-compressed unless zlib=False; mode="stored" (or
    "centroid") takes the centroid block of scans that have both (see
    Run.spectra for the modes). The file is written under a
    temporary name next to out and renamed when complete: a failure leaves
    out as it was. ValueError (naming the run's retention times and MS
    levels) when ms_level or rt select no spectrum: nothing is written.
    FormatError when a spectrum cannot be decoded. `threads`
    decode and compress the next spectra while the file is written (None:
    the cores); the file is the same for every count, and threads=1 keeps
    the conversion on one core, as when many runs convert side by side.

    errors="skip" leaves out the spectra that cannot be decoded instead of
    failing: the file holds every other selected spectrum (chromatograms
    from those only) and one userParam "skipped spectrum" on its <run> per
    spectrum left out ("scanId=N: reason"). Returns the spectra left out;
    run.skipped lists them too (as (index, reason), for the latest call).

    "pick" writes stored centroids where present and picks the other
    profiles, "pick-all" picks every profile (snr: the picker's threshold;
    single-point spikes are dropped unless keep_spikes);
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
    intensity) is written plain.

    A run with MRM scans also gets one selected reaction monitoring
    chromatogram per channel among the spectra written, after the TIC and
    BPC, with id "mrm_channel=N" (as the spectra name their channel), the
    channel's product m/z when its points share one, and its collision
    energy; srm=False leaves them out. The scan table holds no precursor
    m/z for an MRM scan, so none is written."""
    # Under strict an undecodable spectrum fails the run, whatever errors says.
    skip = _args.skip(errors) and not strict
    picking = _args.picking(mode, centroid_ms_levels, snr)
    choice, low, high, snr_value = picking
    bits, mz_codec, intensity_codec, ppm = _args.mzml_encoding(intensity_bits, numpress_mz, numpress_intensity,
                                                                numpress_mz_ppm)
    workers = _args.threads(threads)
    positions = selected_or_refused(run, ms_level, rt)
    path = os.fspath(out)
    if strict:
        check_strict(events_of(run._handle), display_name(run.origin))
    origin = run.origin
    source = None if origin == run.path else os.path.join(os.path.abspath(origin), "AcqData")

    def write() -> tuple[None, list[tuple[int, str]]]:
        writer = None
        try:
            with output_errors_named(path, chosen=True):
                writer = _native.MzmlWriter(
                    run._handle, path, positions, choice, bool(zlib), bits, workers, None,
                    mz_codec, intensity_codec, ppm, low, high, snr_value, source,
                    bool(keep_spikes), skip,
                )
            with spectra_bar(progress, writer.total, os.path.basename(run.path)) as bar:
                with output_errors_named(path, chosen=False):
                    while wrote := writer.write_next(_STEP):
                        if bar is not None:
                            bar.update(wrote)
                failures = writer.skipped
                if srm:
                    written = positions[~np.isin(positions, [index for index, _ in failures])]
                    for trace in channel_traces(run, "raise", written):
                        writer.add_reaction_chromatogram(trace.native_id, trace.rt, trace.intensity, None,
                                                         trace.product_mz, trace.collision_energy)
                with output_errors_named(path, chosen=True):
                    writer.finish()
            return None, failures
        finally:
            # An unfinished writer removes its temporary file when dropped:
            # now, not when a traceback holding this frame goes.
            del writer

    remove_stale_temporaries(os.path.dirname(os.path.abspath(path)))

    return in_one_pass(run, write)[1]
