"""Output files that appear under their name only when complete.

The policy is the C++ mzML writer's: bytes go to a hidden temporary file
beside the target, named ``.NAME.part-HOST-PID-N`` (HOST: this machine's
name, bytes outside [A-Za-z0-9._] as "_"); when complete the file is
flushed to disk (fsync), given the mode a new file would have, and renamed
to the target. A failure or an interruption removes it; a temporary file
whose process no longer exists (killed, power lost) is removed by the next
conversion into that folder (only files of this machine: a process id says
nothing about another one's processes). Errors name the target, never the
temporary.
"""

from __future__ import annotations

import contextlib
import itertools
import os
import re
import shutil
import socket
from collections.abc import Iterator
from pathlib import Path

# .NAME.part-HOST-PID-N, as the C++ writer names its temporary files
# (.NAME.part-PID-N, without the host, counts as this machine's).
_TEMPORARY = re.compile(r"^\..+\.part-(?:([A-Za-z0-9._]+)-)?(\d+)-\d+$")
_numbers = itertools.count()


def host_name() -> str:
    """This machine's name as temporary names carry it."""
    name = socket.gethostname()[:64] or "host"
    return re.sub(r"[^A-Za-z0-9._]", "_", name)


def temporary_name(target: Path) -> Path:
    return target.with_name(f".{target.name}.part-{host_name()}-{os.getpid()}-{next(_numbers)}")


def stale(host: str | None, pid: int) -> bool:
    """Whether a temporary name's writer is gone: a process of this machine
    that no longer exists."""
    return (host is None or host == host_name()) and not process_alive(pid)


def process_alive(pid: int) -> bool:
    if pid <= 0:
        return False
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except PermissionError:
        return True  # someone else's process
    return True


def remove_stale_temporaries(folder: str | os.PathLike[str]) -> list[str]:
    """Removes the temporary files (and folders) in folder whose writing
    process is gone; returns their names. Those of live processes are left
    alone."""
    removed: list[str] = []
    try:
        entries = list(os.scandir(folder))
    except OSError:
        return removed
    for entry in entries:
        match = _TEMPORARY.match(entry.name)
        if match is None or not stale(match.group(1), int(match.group(2))):
            continue
        with contextlib.suppress(FileNotFoundError, IsADirectoryError, PermissionError):
            if entry.is_dir(follow_symlinks=False):
                # A writer's folder of members (the mzPeak writer's).
                shutil.rmtree(entry.path)
            else:
                os.unlink(entry.path)
            removed.append(entry.name)
    return removed


def named_after(error: OSError, target: Path, partial: Path) -> OSError:
    """error as an OSError (of the subclass its errno picks) naming target,
    its reason kept and the temporary name gone."""
    if error.errno is not None:
        return OSError(error.errno, os.strerror(error.errno), os.fspath(target))
    made = OSError(str(error).replace(os.fspath(partial), os.fspath(target)))
    made.filename = os.fspath(target)
    return made


def about(error: OSError, partial: Path) -> bool:
    """Whether error is about the temporary file."""
    name = os.fspath(partial)
    return (error.filename is not None and os.fsdecode(error.filename) == name) or name in str(error)


@contextlib.contextmanager
def written_atomically(out: str | os.PathLike[str]) -> Iterator[Path]:
    """Yields a temporary path beside `out` to write to; when the block ends
    normally, syncs it to disk and renames it to `out`; when the block
    raises (or is interrupted), removes it. An OSError about the temporary
    file is raised naming `out`."""
    target = Path(os.fspath(out))
    partial = temporary_name(target)
    remove_stale_temporaries(target.parent)
    try:
        try:
            descriptor = os.open(partial, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o666)
        except OSError as error:
            raise named_after(error, target, partial) from None
        os.close(descriptor)
        try:
            yield partial
            synced(partial)
            os.replace(partial, target)
            sync_folder(target.parent)
        except OSError as error:
            if about(error, partial):
                raise named_after(error, target, partial) from error
            raise
    finally:
        partial.unlink(missing_ok=True)


def synced(path: Path) -> None:
    """Flushes the file's bytes to disk."""
    descriptor = os.open(path, os.O_RDONLY | os.O_CLOEXEC)
    try:
        os.fsync(descriptor)
    finally:
        os.close(descriptor)


def sync_folder(folder: str | os.PathLike[str]) -> None:
    """Flushes a folder's entries (a rename in it) to disk, where possible."""
    with contextlib.suppress(OSError):
        descriptor = os.open(folder, os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
        try:
            os.fsync(descriptor)
        finally:
            os.close(descriptor)
