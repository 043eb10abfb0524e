"""One wording for a fault, whichever output format or path met it:
morvane and the command line name the run or the output path the fault
concerns, and the file an OSError carries when it is another one.
"""

from __future__ import annotations

import errno
import os
from typing import Any

def describe(error: BaseException, subject: str | os.PathLike[Any] | None = None) -> str:
    """One line for a failure: an OSError as its reason and file (left out
    when it is the subject the line is about), any other error as its plain
    message (its type's name when it has none)."""
    if isinstance(error, OSError) and error.strerror:
        reason = error.strerror.strip()
        name = os.fsdecode(error.filename) if error.filename is not None else None
        if name is None or (subject is not None and os.path.abspath(name) == os.path.abspath(os.fsdecode(subject))):
            return reason
        return f"{reason}: {name}"
    text = str(error).strip()
    return text if text else type(error).__name__


def os_error(code: int, filename: str | os.PathLike[Any]) -> OSError:
    """The OSError subclass for code (FileNotFoundError for ENOENT, ...)
    with its message and filename set."""
    return OSError(code, os.strerror(code), os.fspath(filename))


def not_a_run(path: str) -> OSError | None:
    """The error for a run path that does not exist or is not a folder;
    None when it is a folder."""
    if not os.path.exists(path):
        return os_error(errno.ENOENT, path)
    if not os.path.isdir(path):
        return os_error(errno.ENOTDIR, path)
    return None
