"""Runs as pipelines ship them: RUN.d.zip, RUN.d.tar, RUN.d.tar.gz (also
.tgz) unpacked into a private temporary folder.

Only regular files and folders are unpacked, each under the folder: a
member with an absolute path, a ".." component, a link or a device makes
the archive refused, as does one whose declared size (the sum of its
members' sizes, which is what unpacking writes) exceeds the bound (64 GiB,
or KARVEL_MAX_UNPACKED_BYTES) or the free space of the temporary folder.
The run inside is the folder holding AcqData: the archive's top or its one
top-level folder; it is presented as RUN.d, named after the archive.

The private folders are named karvel-unpacked-HOST-PID-...: one whose
process no longer exists (killed, or a worker ended by a stop signal) is removed by the
next unpacking, and by a batch when it ends or stops.
"""

from __future__ import annotations

import contextlib
import os
import re
import shutil
import stat
import tarfile
import tempfile
import zipfile
from collections.abc import Iterator
from dataclasses import dataclass
from pathlib import Path, PurePosixPath
from typing import Any

SUFFIXES = (".zip", ".tar", ".tar.gz", ".tgz")
_PREFIX = "karvel-unpacked-"
_PRIVATE = re.compile(r"^karvel-unpacked-(?:([A-Za-z0-9._]+)-)?(\d+)-")
DEFAULT_MAX_UNPACKED = 64 << 30
MAX_MEMBERS = 1_000_000
_CHUNK = 1 << 20


class ArchiveError(ValueError):
    """An archive that is not unpacked: hostile, too large or not a run."""


@dataclass(frozen=True)
class Member:
    name: str
    size: int
    is_dir: bool


def archive_suffix(path: str | os.PathLike[str]) -> str | None:
    """The archive suffix of path (".zip", ".tar", ".tar.gz", ".tgz"), or
    None when path is not an archive file (a folder never is)."""
    lowered = os.fspath(path).lower()
    if os.path.isdir(path):
        return None
    for suffix in sorted(SUFFIXES, key=len, reverse=True):
        if lowered.endswith(suffix):
            return suffix
    return None


def run_name(path: str | os.PathLike[str]) -> str:
    """RUN.d.zip -> RUN.d; RUN.zip -> RUN.d."""
    name = Path(os.fspath(path)).name
    suffix = archive_suffix(path) or ""
    stem = name[: len(name) - len(suffix)] if suffix else name
    return stem if stem.lower().endswith(".d") else stem + ".d"


def max_unpacked_bytes() -> int:
    text = os.environ.get("KARVEL_MAX_UNPACKED_BYTES")
    if text:
        try:
            return max(0, int(text))
        except ValueError:
            pass
    return DEFAULT_MAX_UNPACKED


def checked_name(name: str, archive: str) -> PurePosixPath:
    """The member's relative path; ArchiveError for absolute paths and ".."."""
    if "\\" in name or "\0" in name:
        raise ArchiveError(f"{archive}: member {name!r} has a backslash or NUL in its name")
    path = PurePosixPath(name)
    if path.is_absolute() or name.startswith("/"):
        raise ArchiveError(f"{archive}: member {name!r} has an absolute path")
    if ".." in path.parts:
        raise ArchiveError(f"{archive}: member {name!r} leads outside the folder (..)")
    return path


def check_members(members: list[Member], archive: str, room: int) -> None:
    if len(members) > MAX_MEMBERS:
        raise ArchiveError(f"{archive}: {len(members)} members, more than the {MAX_MEMBERS} allowed")
    declared = sum(member.size for member in members)
    bound = max_unpacked_bytes()
    if declared > bound:
        raise ArchiveError(f"{archive}: unpacks to {declared} bytes, more than the bound of {bound} bytes "
                           "(KARVEL_MAX_UNPACKED_BYTES)")
    if declared > room:
        raise ArchiveError(f"{archive}: unpacks to {declared} bytes, more than the {room} bytes free "
                           "in the temporary folder")


def zip_members(archive: zipfile.ZipFile, name: str) -> list[Member]:
    members = []
    for info in archive.infolist():
        checked_name(info.filename, name)
        kind = stat.S_IFMT(info.external_attr >> 16)
        if kind not in (0, stat.S_IFREG, stat.S_IFDIR):
            raise ArchiveError(f"{name}: member {info.filename!r} is a link or a device, not a file")
        members.append(Member(info.filename, info.file_size, info.is_dir()))
    return members


def tar_members(archive: tarfile.TarFile, name: str) -> list[Member]:
    members = []
    for info in archive.getmembers():
        checked_name(info.name, name)
        if not (info.isreg() or info.isdir()):
            raise ArchiveError(f"{name}: member {info.name!r} is a link or a device, not a file")
        members.append(Member(info.name, info.size, info.isdir()))
    return members


def copy_limited(source: Any, target: Path, size: int) -> None:
    """Copies at most size bytes: a member never writes more than it declared."""
    left = size
    with open(target, "xb") as out:
        while left > 0:
            block = source.read(min(_CHUNK, left))
            if not block:
                break
            out.write(block)
            left -= len(block)


def unpack(archive: str, folder: Path) -> None:
    """Unpacks archive into folder (which exists), after checking every member."""
    room = shutil.disk_usage(folder).free
    suffix = archive_suffix(archive)
    if suffix == ".zip":
        with zipfile.ZipFile(archive) as opened:
            members = zip_members(opened, archive)
            check_members(members, archive, room)
            for member in members:
                write_member(folder, member, lambda m=member: opened.open(m.name))
        return
    with tarfile.open(archive, "r:gz" if suffix in (".tar.gz", ".tgz") else "r:") as opened:
        members = tar_members(opened, archive)
        check_members(members, archive, room)
        for member, info in zip(members, opened.getmembers(), strict=True):
            write_member(folder, member, lambda i=info: opened.extractfile(i))


def write_member(folder: Path, member: Member, open_member: Any) -> None:
    target = folder.joinpath(*PurePosixPath(member.name).parts)
    if member.is_dir:
        target.mkdir(parents=True, exist_ok=True)
        return
    target.parent.mkdir(parents=True, exist_ok=True)
    with contextlib.closing(open_member()) as source:
        copy_limited(source, target, member.size)


def run_folder(folder: Path, archive: str) -> Path:
    """The unpacked run: folder itself when it holds AcqData, else its only
    sub-folder holding AcqData."""
    if (folder / "AcqData").is_dir():
        return folder
    inside = [entry for entry in folder.iterdir() if entry.is_dir() and (entry / "AcqData").is_dir()]
    if len(inside) == 1:
        return inside[0]
    if len(inside) > 1:
        names = ", ".join(sorted(entry.name for entry in inside))
        raise ArchiveError(f"{archive}: holds {len(inside)} runs ({names}); an archive must hold one run: "
                           "unpack it and convert the runs")
    raise ArchiveError(f"{archive}: holds no run (a folder with AcqData at its top or one level down)")


# The runs unpacked now: their folder -> where they are in their archive.
_ORIGINS: dict[str, str] = {}


def origin_of(run_path: str) -> str | None:
    """Where the run unpacked at run_path is in its archive, as
    "/abs/RUN.d.zip" (the run at the archive's top) or "/abs/RUN.d.zip/RUN.d";
    None for a run that was not unpacked from an archive."""
    return _ORIGINS.get(os.path.abspath(run_path))


def remove_stale_unpacked() -> None:
    """Removes the private folders of processes that no longer exist."""
    from ._atomic import stale
    folder = tempfile.gettempdir()
    try:
        entries = list(os.scandir(folder))
    except OSError:
        return
    for entry in entries:
        match = _PRIVATE.match(entry.name)
        if match is not None and stale(match.group(1), int(match.group(2))):
            shutil.rmtree(entry.path, ignore_errors=True)


@contextlib.contextmanager
def unpacked(path: str) -> Iterator[str]:
    """Yields the run of path: path itself when it is not an archive, else
    a RUN.d in a private temporary folder, removed afterwards (also when
    interrupted). ArchiveError, OSError or zipfile/tarfile errors (as
    ArchiveError) when it cannot be unpacked."""
    if archive_suffix(path) is None:
        yield path
        return
    if not os.path.exists(path):
        raise FileNotFoundError(2, os.strerror(2), path)
    remove_stale_unpacked()
    from ._atomic import host_name
    scratch = Path(tempfile.mkdtemp(prefix=f"{_PREFIX}{host_name()}-{os.getpid()}-"))
    try:
        content = scratch / "content"
        content.mkdir()
        try:
            unpack(path, content)
        except (zipfile.BadZipFile, tarfile.TarError, EOFError) as error:
            raise ArchiveError(f"{path}: not a readable archive: {error}") from None
        run = run_folder(content, path)
        inside = run.relative_to(content).as_posix()
        named = scratch / run_name(path)
        run.rename(named)
        origin = os.path.abspath(path)
        _ORIGINS[os.path.abspath(named)] = origin if inside == "." else f"{origin}/{inside}"
        try:
            yield str(named)
        finally:
            _ORIGINS.pop(os.path.abspath(named), None)
    finally:
        shutil.rmtree(scratch, ignore_errors=True)
