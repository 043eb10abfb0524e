"""Runs given as RUN.d.zip, RUN.d.tar, RUN.d.tar.gz: converted and
summarised like the folder, named after the run, unpacked into a private
folder that goes afterwards; hostile or oversized archives refused with a
clear message before anything is written."""

from __future__ import annotations

import io
import os
import re
import tarfile
import tempfile
import zipfile
from pathlib import Path

import pytest

import karvel_cli
from runs import build_small_run

KINDS = ["zip", "tar", "tar.gz"]


def pack(folder: Path, archive: Path, *, top: str | None = None) -> Path:
    """folder's files into archive, under top/ (folder's own name by default;
    "" for none)."""
    prefix = folder.name if top is None else top
    files = sorted(p for p in folder.rglob("*") if p.is_file())
    name = lambda p: "/".join(filter(None, [prefix, p.relative_to(folder).as_posix()]))  # noqa: E731
    if archive.name.endswith(".zip"):
        with zipfile.ZipFile(archive, "w", zipfile.ZIP_DEFLATED) as out:
            for path in files:
                out.write(path, name(path))
    else:
        with tarfile.open(archive, "w:gz" if archive.name.endswith(".gz") else "w") as out:
            for path in files:
                out.add(path, name(path))
    return archive


def hostile_tar(archive: Path, member: tarfile.TarInfo, data: bytes = b"") -> Path:
    with tarfile.open(archive, "w:gz" if archive.name.endswith(".gz") else "w") as out:
        member.size = len(data) if member.isreg() else 0
        out.addfile(member, io.BytesIO(data) if member.isreg() else None)
    return archive


@pytest.fixture
def private_tmp(tmp_path, monkeypatch) -> Path:
    """The temporary folder the archives are unpacked into, for this test alone."""
    folder = tmp_path / "tmp"
    folder.mkdir()
    monkeypatch.setattr(tempfile, "tempdir", str(folder))
    return folder


def spectrum_ids(path: Path) -> list[str]:
    return re.findall(r'<spectrum [^>]*id="([^"]*)"', path.read_text())


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("top", [None, "", "renamed.d"])
def test_converted_like_the_folder_and_named_after_it(tmp_path, capsys, private_tmp, kind, top):
    run = build_small_run(tmp_path, name="sample.d").path
    archive = pack(run, tmp_path / f"sample.d.{kind}", top=top)
    assert karvel_cli.main(["convert", str(run), "-o", str(tmp_path / "folder"), "-q"]) == 0
    assert karvel_cli.main(["convert", str(archive), "-o", str(tmp_path / "archive")]) == 0
    out, err = capsys.readouterr()
    assert err == "" and out.startswith(f"{tmp_path / 'archive' / 'sample.mzML'}  4 spectra")
    assert spectrum_ids(tmp_path / "archive" / "sample.mzML") == spectrum_ids(tmp_path / "folder" / "sample.mzML")
    assert list(private_tmp.iterdir()) == []


@pytest.mark.parametrize("kind", KINDS)
def test_info_of_an_archive(tmp_path, capsys, private_tmp, kind):
    run = build_small_run(tmp_path, name="sample.d").path
    archive = pack(run, tmp_path / f"sample.d.{kind}")
    assert karvel_cli.main(["info", str(run)]) == 0
    folder = capsys.readouterr().out
    assert karvel_cli.main(["info", str(archive)]) == 0
    assert capsys.readouterr().out == folder
    assert list(private_tmp.iterdir()) == []


def tar_member(name: str, kind: bytes = tarfile.REGTYPE, link: str = "") -> tarfile.TarInfo:
    member = tarfile.TarInfo(name)
    member.type = kind
    member.linkname = link
    return member


HOSTILE_TAR = {
    "absolute": (tar_member("/etc/evil"), "absolute path"),
    "parent": (tar_member("run.d/../../evil"), "outside the folder"),
    "symlink": (tar_member("run.d/AcqData", tarfile.SYMTYPE, "/etc"), "link or a device"),
    "hardlink": (tar_member("run.d/x", tarfile.LNKTYPE, "/etc/passwd"), "link or a device"),
    "device": (tar_member("run.d/null", tarfile.CHRTYPE), "link or a device"),
    "fifo": (tar_member("run.d/pipe", tarfile.FIFOTYPE), "link or a device"),
}


@pytest.mark.parametrize("case", HOSTILE_TAR)
@pytest.mark.parametrize("kind", ["tar", "tar.gz"])
def test_hostile_tar_members_are_refused(tmp_path, capsys, private_tmp, case, kind):
    member, reason = HOSTILE_TAR[case]
    archive = hostile_tar(tmp_path / f"run.d.{kind}", member, b"x")
    status = karvel_cli.main(["convert", str(archive), "-o", str(tmp_path / "out")])
    err = capsys.readouterr().err
    assert status == 1 and err.startswith(f"karvel: cannot convert {archive}: ") and reason in err
    assert not (tmp_path / "out").exists() or list((tmp_path / "out").iterdir()) == []
    assert list(private_tmp.iterdir()) == []
    assert not (tmp_path.parent / "evil").exists()


@pytest.mark.parametrize("name, attributes, reason", [
    ("/abs/file", 0o100644 << 16, "absolute path"),
    ("run.d/../../evil", 0o100644 << 16, "outside the folder"),
    ("run.d/link", 0o120777 << 16, "link or a device"),
    ("run.d\\..\\evil", 0o100644 << 16, "backslash"),
])
def test_hostile_zip_members_are_refused(tmp_path, capsys, private_tmp, name, attributes, reason):
    archive = tmp_path / "run.d.zip"
    with zipfile.ZipFile(archive, "w") as out:
        info = zipfile.ZipInfo(name)
        info.external_attr = attributes
        out.writestr(info, b"/etc/passwd")
    assert karvel_cli.main(["info", str(archive)]) == 1
    err = capsys.readouterr().err
    assert err.startswith(f"karvel: cannot read {archive}: ") and reason in err
    assert list(private_tmp.iterdir()) == []


@pytest.mark.parametrize("kind", KINDS)
def test_a_declared_size_above_the_bound_is_refused_before_unpacking(tmp_path, capsys, private_tmp, monkeypatch,
                                                                     kind):
    run = build_small_run(tmp_path, name="sample.d").path
    (run / "AcqData" / "padding.bin").write_bytes(bytes(2_000_000))  # compresses to almost nothing
    archive = pack(run, tmp_path / f"sample.d.{kind}")
    monkeypatch.setenv("KARVEL_MAX_UNPACKED_BYTES", "1000000")
    assert karvel_cli.main(["convert", str(archive), "-o", str(tmp_path / "out")]) == 1
    err = capsys.readouterr().err
    assert "more than the bound of 1000000 bytes" in err and "Traceback" not in err
    assert list(private_tmp.iterdir()) == []


def test_a_member_writes_no_more_than_it_declares(tmp_path, private_tmp):
    """A zip whose header understates a member's size: unpacking stops at
    the declared size (zipfile then reports the bad member)."""
    from morvane._archives import ArchiveError, unpacked

    archive = tmp_path / "run.d.zip"
    with zipfile.ZipFile(archive, "w", zipfile.ZIP_STORED) as out:
        out.writestr("run.d/AcqData/big.bin", bytes(100_000))
    data = bytearray(archive.read_bytes())
    # Both the local and the central header declare 100,000 bytes: say 10.
    declared = (100_000).to_bytes(4, "little")
    data = data.replace(declared + declared, (10).to_bytes(4, "little") * 2)
    archive.write_bytes(bytes(data))
    with pytest.raises((ArchiveError, OSError, zipfile.BadZipFile)):
        with unpacked(str(archive)) as run:
            assert os.path.getsize(Path(run) / "AcqData" / "big.bin") <= 10
            raise OSError("unpacked within its declared size")
    assert list(private_tmp.iterdir()) == []


@pytest.mark.parametrize("content, reason", [
    (b"not an archive at all", "not a readable archive"),
    (None, "holds no run"),
    (["a.d", "b.d"], "holds 2 runs (a.d, b.d); an archive must hold one run"),
    (["a.d", "b.d", "c.d"], "holds 3 runs (a.d, b.d, c.d)"),
])
def test_not_a_run_archive(tmp_path, capsys, private_tmp, content, reason):
    archive = tmp_path / "run.d.zip"
    if content is None:
        with zipfile.ZipFile(archive, "w") as out:
            out.writestr("notes.txt", b"hello")
    elif isinstance(content, list):
        with zipfile.ZipFile(archive, "w") as out:
            for name in content:
                out.writestr(f"{name}/AcqData/MSScan.bin", b"")
    else:
        archive.write_bytes(content)
    assert karvel_cli.main(["convert", str(archive), "-o", str(tmp_path / "out")]) == 1
    assert reason in capsys.readouterr().err
    assert list(private_tmp.iterdir()) == []


@pytest.mark.parametrize("jobs", [1, 2])
def test_a_batch_of_archives_and_folders(tmp_path, private_tmp, monkeypatch, jobs):
    import morvane

    monkeypatch.setenv("TMPDIR", str(private_tmp))  # for the worker processes
    folders = [build_small_run(tmp_path, name=f"run{i}.d").path for i in range(3)]
    paths = [pack(folders[0], tmp_path / "run0.d.zip"), pack(folders[1], tmp_path / "run1.d.tar.gz", top=""),
             folders[2]]
    results = morvane.convert(paths, tmp_path / "out", jobs=jobs)
    assert [r.error for r in results] == [None] * 3
    assert [Path(r.output).name for r in results] == ["run0.mzML", "run1.mzML", "run2.mzML"]
    assert [r.path for r in results] == [str(p) for p in paths]
    assert list(private_tmp.iterdir()) == []


def test_unpacked_runs_of_dead_processes_are_removed(tmp_path, capsys, private_tmp):
    import subprocess
    import sys

    dead = int(subprocess.run([sys.executable, "-c", "import os; print(os.getpid())"], capture_output=True,
                              text=True, check=True).stdout)
    from morvane._atomic import host_name

    stale = [private_tmp / f"karvel-unpacked-{host_name()}-{dead}-abc", private_tmp / f"karvel-unpacked-{dead}-abc"]
    kept = [private_tmp / f"karvel-unpacked-{host_name()}-{os.getpid()}-abc",
            private_tmp / f"karvel-unpacked-elsewhere-{dead}-abc"]
    for folder in (*stale, *kept):
        (folder / "content").mkdir(parents=True)
    run = build_small_run(tmp_path, name="sample.d").path
    assert karvel_cli.main(["info", str(pack(run, tmp_path / "sample.d.zip"))]) == 0
    assert sorted(p.name for p in private_tmp.iterdir()) == sorted(p.name for p in kept)
