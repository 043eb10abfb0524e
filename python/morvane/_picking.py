"""Peak picking of profile arrays from any source."""

from __future__ import annotations

import math
from typing import Any

from . import _native


def pick_peaks(mz: Any, intensity: Any, *, snr: float = 3.0,
               keep_spikes: bool = False) -> tuple[Any, Any]:
    """The centroids of one profile spectrum given as m/z and intensity
    arrays (any sequences numpy reads; the first min(len(mz),
    len(intensity)) points): (m/z float64, apex height float32) numpy
    arrays, one entry per peak, picked as for a run's profile spectra. The
    m/z of a fitted apex is interpolated on the m/z axis (exact for a
    time-of-flight axis). Peaks below `snr` times the spectrum's noise level
    are dropped (0 keeps every maximum); single-point spikes are dropped
    unless `keep_spikes`."""
    import numpy as np
    if isinstance(snr, bool) or not isinstance(snr, (int, float)) or not (snr >= 0 and math.isfinite(snr)):
        raise ValueError(f"snr must be a non-negative number, not {snr!r}")
    mz_array = np.ascontiguousarray(mz, dtype=np.float64).reshape(-1)
    intensity_array = np.ascontiguousarray(intensity, dtype=np.float32).reshape(-1)
    return _native.pick_peaks(mz_array, intensity_array, float(snr), bool(keep_spikes))
