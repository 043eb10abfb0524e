"""Thinning long traces for drawing, shared by the notebook views and the QC
reports: a trace of many points keeps its shape in a few thousand."""

from __future__ import annotations

import math

import numpy as np
import numpy.typing as npt

# Longest trace drawn: longer ones are thinned to the lowest and highest
# point of equal runs of scans, so peaks and dips stay visible.
TRACE_POINTS = 2000


def thin(
    x: npt.NDArray[np.float64], y: npt.NDArray[np.float64], limit: int = TRACE_POINTS
) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.float64]]:
    """At most limit points of the trace (x, y): the first and last point and,
    of each of about limit / 2 equal runs of points, its lowest and highest
    one, in their order. Shorter traces come back unchanged."""
    count = len(x)
    if count <= limit:
        return x, y
    buckets = max(1, (limit - 2) // 2)
    size = math.ceil(count / buckets)
    buckets = math.ceil(count / size)
    padded = np.full(buckets * size, np.nan)
    padded[:count] = y
    rows = padded.reshape(buckets, size)
    offsets = np.arange(buckets) * size
    high = np.argmax(np.where(np.isnan(rows), -np.inf, rows), axis=1) + offsets
    low = np.argmin(np.where(np.isnan(rows), np.inf, rows), axis=1) + offsets
    keep = np.unique(np.concatenate(([0, count - 1], np.minimum(high, count - 1), np.minimum(low, count - 1))))
    return x[keep], y[keep]
