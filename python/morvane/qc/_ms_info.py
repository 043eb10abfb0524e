"""The per-scan table (RUN_ms_info.parquet): one row per scan, with the
column names of the proteomics QC chain's ``*_ms_info.parquet`` where a
column means the same thing and karvel's own beside them."""

from __future__ import annotations

import os
from typing import Any

#: Column order of the table; the values say what each column holds.
COLUMNS: dict[str, str] = {
    "index": "spectrum index (position in the run), from 0",
    "scan": "scan number (the scan id of the native id)",
    "native_id": "native spectrum id, scanId=N",
    "ms_level": "MS level",
    "rt": "retention time, seconds",
    "polarity": "+1 positive, -1 negative, 0 unknown",
    "summed_peak_intensities": "total ion current (the spectrum's TIC)",
    "base_peak_mz": "m/z of the base peak",
    "base_peak_intensity": "intensity of the base peak",
    "num_peaks": "number of points of the spectrum",
    "lowest_mz": "lowest m/z of the points",
    "highest_mz": "highest m/z of the points",
    "scan_low_mz": "lower end of the scan's recorded m/z range",
    "scan_high_mz": "upper end of the scan's recorded m/z range",
    "precursor_mz": "precursor m/z (MS2 and above)",
    "calibration_source": "scan (own MSMassCal.bin record), default (DefaultMassCal.xml) or null",
    "calibration_drift_ppm": "m/z error the scan's calibration implies against the default one, ppm",
    "decoded": "false when the spectrum's block could not be decoded",
}

_SOURCES = (None, "scan", "default")


def _require_pyarrow() -> Any:
    try:
        import pyarrow  # type: ignore[import-untyped, unused-ignore]
    except ImportError as error:  # pragma: no cover - depends on the installation
        raise ImportError("morvane.qc needs pyarrow: pip install 'karvel[qc]'") from error
    return pyarrow


def scans_table(columns: dict[str, Any]) -> Any:
    """The Arrow table of the C++ pass's columns; NaN numbers become nulls."""
    pa = _require_pyarrow()
    import numpy as np

    arrays: dict[str, Any] = {}
    for name in COLUMNS:
        values = columns[name]
        if name == "native_id":
            arrays[name] = pa.array(values, type=pa.string())
        elif name == "calibration_source":
            # Codes 1 and 2 index the names; 0 (no calibration) is null.
            codes = values.astype(np.int8)
            indices = pa.array(codes - 1, mask=codes == 0)
            arrays[name] = pa.DictionaryArray.from_arrays(indices, pa.array(_SOURCES[1:], type=pa.string()))
        elif name == "decoded":
            arrays[name] = pa.array(values.astype(bool))
        elif values.dtype.kind == "f":
            arrays[name] = pa.array(values, mask=np.isnan(values))
        else:
            arrays[name] = pa.array(values)
    return pa.table(arrays)


def write_ms_info(table: Any, path: str | os.PathLike[str]) -> None:
    """Writes the table as Parquet at path (the caller makes it atomic)."""
    _require_pyarrow()
    import pyarrow.parquet as pq  # type: ignore[import-untyped, unused-ignore]

    pq.write_table(table, os.fspath(path), compression="zstd")
