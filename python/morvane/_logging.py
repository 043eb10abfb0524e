"""The reader's warnings in Python's logging, logger "karvel".

The C++ reader logs from whichever thread decodes; its records are queued
there and passed to logging here, by the thread that calls forward() (after
opening a run, after each conversion), so that no worker thread ever waits
for the interpreter.
"""

from __future__ import annotations

import logging

from . import _native

logger = logging.getLogger("karvel")

# The reader's levels: 1 error, 2 warning, 3 info, 4 debug, 5 trace.
_LEVELS = {1: logging.ERROR, 2: logging.WARNING, 3: logging.INFO, 4: logging.DEBUG, 5: logging.DEBUG}


def forward() -> int:
    """Passes the queued records to the "karvel" logger; returns how many."""
    records = _native.take_log_records()
    for level, target, message in records:
        logger.log(_LEVELS.get(level, logging.WARNING), "%s", message, extra={"target": target})
    return len(records)


def keep_reader_records(level: int) -> None:
    """Which of the reader's records to keep, as a logging level (records
    below WARNING cost time to format: kept only when asked for)."""
    if level <= logging.DEBUG:
        _native.set_log_level(5)
    elif level <= logging.INFO:
        _native.set_log_level(3)
    elif level <= logging.WARNING:
        _native.set_log_level(2)
    else:
        _native.set_log_level(1)
