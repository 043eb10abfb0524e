"""What a conversion's output holds: which spectra a filter selects, what
to say when it selects none, and whether a file already written is
complete (so that a batch can skip the runs it has done)."""

from __future__ import annotations

import dataclasses
import hashlib
import json
import math
import os
import re
from typing import Any

import numpy as np

from ._scans import select

_CHECKSUM = re.compile(rb"<fileChecksum>([0-9a-f]{40})</fileChecksum>\s*</indexedmzML>\s*$")
# The closing tags after the checksum are short: the tail holds them all.
_TAIL = 4096


def selected(run: Any, ms_level: Any, rt: Any) -> np.ndarray:
    """Positions of the scans that the filters keep, as Run.spectra selects them."""
    return select(run.scans, ms_level, rt, None)


class EmptySelection(ValueError):
    """The filters select no spectrum of the run."""


def selected_or_refused(run: Any, ms_level: Any, rt: Any) -> np.ndarray:
    """The positions the filters keep; EmptySelection (a ValueError saying
    what the run holds) when filters were given and keep nothing, so that
    no writer produces a file without spectra for a filter that missed."""
    positions = selected(run, ms_level, rt)
    if len(positions) == 0 and (ms_level is not None or rt is not None):
        raise EmptySelection(nothing_selected(run, ms_level, rt))
    return positions


def nothing_selected(run: Any, ms_level: Any, rt: Any) -> str:
    """Why a selection is empty: what was asked and what the run holds."""
    asked = []
    if rt is not None:
        asked.append(f"retention time {_seconds(rt[0])} to {_seconds(rt[1])} s")
    if ms_level is not None:
        levels = [ms_level] if isinstance(ms_level, int) else sorted(ms_level)
        asked.append("MS level " + ", ".join(str(level) for level in levels))
    scans = run.scans
    if len(scans) == 0:
        held = "the run holds no spectra"
    else:
        times = scans["rt"]
        low, high = float(np.min(times)), float(np.max(times))
        present = ", ".join(str(int(level)) for level in np.unique(scans["ms_level"]))
        held = (f"the run's spectra span {low:.2f} to {high:.2f} s ({low / 60:.3f} to {high / 60:.3f} min) "
                f"at MS level {present}")
    return f"no spectra selected by {' and '.join(asked) or 'the filters'}: {held}"


def _seconds(value: float) -> str:
    return "any" if math.isinf(value) else f"{value:g}"


# The extended attribute of an output that records the options it was made
# with, so that a batch keeps an output only when it would write it again
# the same way.
OPTIONS_ATTRIBUTE = "user.karvel.options"
# Options that do not change what is written.
_NOT_RECORDED = frozenset({"threads", "progress", "strict"})
# The writers' defaults of the options that are not filters or picking.
_DEFAULTS: dict[str, dict[str, Any]] = {
    "mzml": {"zlib": True, "intensity_bits": 32, "numpress_mz": None, "numpress_intensity": None,
             "numpress_mz_ppm": 0.1},
    "parquet": {"row_group_size": 1_048_576, "compression": "zstd"},
}


def options_record(to: str, options: dict[str, Any]) -> bytes:
    """What an output made with these options records: the format and every
    option that changes the output, in one spelling (defaults filled in,
    MS levels sorted, the mode and its picking levels as the extension
    takes them)."""
    from . import _args

    given = {name: value for name, value in options.items() if name not in _NOT_RECORDED}
    record: dict[str, Any] = {"to": to}
    levels = _args.ms_levels(given.pop("ms_level", None))
    record["ms_level"] = None if levels is None else sorted(set(levels))
    window = _args.rt_window(given.pop("rt", None))
    record["rt"] = None if window is None else [repr(bound) for bound in window]
    if to != "json":
        record["picking"] = list(_args.picking(given.pop("mode", "auto"), given.pop("centroid_ms_levels", None),
                                               given.pop("snr", 3.0)))
        record["skip"] = _args.skip(given.pop("errors", "raise"))
    if "targets" in given:
        # A target table stands in the record as the digest of its checked rows.
        from ._targeted import parse_targets
        rows = repr([dataclasses.astuple(target) for target in parse_targets(given.pop("targets"))])
        record["targets"] = hashlib.sha256(rows.encode()).hexdigest()
    for name, default in _DEFAULTS.get(to, {}).items():
        record[name] = given.pop(name, default)
    record.update(given)
    return json.dumps(record, sort_keys=True, default=repr).encode()


def record_options(path: str | os.PathLike[str], to: str, options: dict[str, Any]) -> None:
    """Records on the output at path the options it was made with (where
    the file system keeps extended attributes; elsewhere nothing)."""
    try:
        os.setxattr(path, OPTIONS_ATTRIBUTE, options_record(to, options))
    except (OSError, AttributeError):
        pass


def made_with(path: str | os.PathLike[str], to: str, options: dict[str, Any]) -> bool:
    """Whether the output at path records exactly these options (False when
    it records none: an output of unknown options is made again)."""
    try:
        return os.getxattr(path, OPTIONS_ATTRIBUTE) == options_record(to, options)
    except (OSError, AttributeError):
        return False


def is_complete(path: str | os.PathLike[str], to: str) -> bool:
    """Whether the file at path is a complete output of this format: an
    indexed mzML whose checksum verifies, a Parquet file whose footer reads,
    a JSON document that parses."""
    try:
        if to == "mzml":
            return _mzml_complete(path)
        if to == "mzpeak":
            return _mzpeak_complete(path)
        if to in ("parquet", "xic"):
            import pyarrow.parquet  # type: ignore[import-untyped, unused-ignore]

            pyarrow.parquet.read_metadata(os.fspath(path))
            return True
        with open(path, encoding="utf-8") as file:
            json.load(file)
        return True
    except (OSError, ValueError, ImportError):
        return False
    except Exception:  # noqa: BLE001 - pyarrow's own error types for a damaged footer
        return False


def _mzml_complete(path: str | os.PathLike[str]) -> bool:
    with open(path, "rb") as file:
        size = file.seek(0, os.SEEK_END)
        file.seek(max(0, size - _TAIL))
        match = _CHECKSUM.search(file.read())
        if match is None:
            return False
        covered = max(0, size - _TAIL) + match.start(1)
        file.seek(0)
        digest = hashlib.sha1()
        remaining = covered
        while remaining:
            block = file.read(min(remaining, 1 << 20))
            if not block:
                return False
            digest.update(block)
            remaining -= len(block)
    return digest.hexdigest().encode() == match.group(1)


def _mzpeak_complete(path: str | os.PathLike[str]) -> bool:
    """An archive whose index parses and whose members' footers read (a
    folder is complete when renamed into place, a ZIP file when its
    central directory reads)."""
    import zipfile

    import pyarrow.parquet  # type: ignore[import-untyped, unused-ignore]

    if os.path.isdir(path):
        names = set(os.listdir(path))
        with open(os.path.join(path, "mzpeak_index.json"), "rb") as file:
            index = json.load(file)
        for entry in index["files"]:
            if entry["name"] not in names:
                return False
            pyarrow.parquet.read_metadata(os.path.join(path, entry["name"]))
        return True
    with zipfile.ZipFile(path) as archive:
        names = set(archive.namelist())
        index = json.loads(archive.read("mzpeak_index.json"))
        for entry in index["files"]:
            if entry["name"] not in names:
                return False
            with archive.open(entry["name"]) as member:
                pyarrow.parquet.read_metadata(member)
    return True
