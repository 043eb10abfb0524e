"""A run's integrity events: the problems the reader met and worked around.

The reader keeps one entry per kind of problem, with a count and the text
of its first occurrence:

    calibration_fallback   scans whose own MSMassCal.bin calibration could not
                           be used: their m/z come from DefaultMassCal.xml
    no_calibration         scans without any usable calibration
    calibration_mismatch   MSMassCal.bin and MSScan.bin disagree on the scans
    scan_table_short       scan records missing from the end of MSScan.bin
    undecodable_spectrum   spectra whose block cannot be decoded
    unreadable_side_file   a side file that exists but cannot be read
    unrecognised_value     values left unset (an unknown polarity code)

Each kind is logged once per run, as a warning of the "karvel" logger, at
the first access that meets it (opening a spectrum, the end of a pass, a
conversion), unrecognised values excepted: the reader's own warning names
them and their scans already. The records carry the kind as their
`integrity_event` attribute. Every output records them (mzML userParams,
Parquet metadata, mzQC); with strict=True any of them fails the writer
instead.
"""

from __future__ import annotations

import logging
import os
from dataclasses import dataclass
from typing import Any

from . import _native

logger = logging.getLogger("karvel")

KINDS = ("calibration_fallback", "no_calibration", "calibration_mismatch", "scan_table_short",
         "undecodable_spectrum", "unreadable_side_file", "unrecognised_value")

# What each kind counts, for one line per kind.
SUMMARIES = {
    "calibration_fallback": "scans fell back to the default calibration (DefaultMassCal.xml): their m/z may be off",
    "no_calibration": "scans have no usable mass calibration",
    "calibration_mismatch": "MSMassCal.bin does not match the scan table",
    "scan_table_short": "scan records missing from the end of MSScan.bin",
    "undecodable_spectrum": "spectra cannot be decoded",
    "unreadable_side_file": "side files cannot be read",
    "unrecognised_value": "scans with unrecognised values left unset",
}

# Kinds the reader logs a warning of itself when it meets them.
SAID_BY_THE_READER = frozenset({"unrecognised_value"})


class IntegrityError(ValueError):
    """strict=True and the run has integrity events: nothing was written."""


@dataclass(frozen=True)
class Event:
    """One kind of integrity problem of a run: how often, and the first."""

    kind: str
    count: int
    first: str

    def line(self, name: str) -> str:
        """One line saying what happened to the run called name."""
        return f"{name}: {self.count} {SUMMARIES.get(self.kind, self.kind)} (first: {self.first})"

    def as_json(self) -> dict[str, Any]:
        return {"kind": self.kind, "count": self.count, "first": self.first}


def events_of(handle: Any) -> list[Event]:
    """The events met so far by the reader behind handle."""
    return [Event(kind, int(count), first) for kind, count, first in _native.integrity_events(handle)]


def display_name(path: str) -> str:
    return os.path.basename(os.path.normpath(path)) or path


class Watch:
    """Logs each kind of a run's events once, when first met. poll() is cheap
    while nothing new happened (one call returning the kinds met)."""

    def __init__(self, handle: Any, name: str) -> None:
        self._handle = handle
        self._name = name
        self._logged = 0

    def poll(self) -> None:
        try:
            kinds = _native.integrity_kinds(self._handle)
        except (ValueError, RuntimeError):  # a closed run
            return
        if kinds & ~self._logged == 0:
            return
        for event in events_of(self._handle):
            bit = 1 << KINDS.index(event.kind) if event.kind in KINDS else 0
            if bit & ~self._logged and event.kind not in SAID_BY_THE_READER:
                logger.warning("%s", event.line(self._name), extra={"integrity_event": event.kind})
        self._logged |= kinds


def check_strict(events: list[Event], name: str) -> None:
    """IntegrityError naming every kind of events, when there are any."""
    if events:
        raise IntegrityError(f"{name}: refused (strict): " + "; ".join(
            f"{event.count} {SUMMARIES.get(event.kind, event.kind)} (first: {event.first})" for event in events))
