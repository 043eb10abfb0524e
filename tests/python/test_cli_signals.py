"""Stopping `karvel convert`: SIGINT, SIGTERM and SIGHUP, to the command
alone or to its process group, during one slow conversion or a `-j 2`
batch. The command exits 128 + the signal's number with one line and no
traceback, leaves no temporary file and no process behind, and starts no
queued run."""

from __future__ import annotations

import os
import shutil
import signal
import subprocess
import sys
import time
from pathlib import Path

import pytest

from export_runs import leftovers

REPO = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(REPO / "bench"))

import rundata  # noqa: E402

# Profile scans of 100,000 points: a few seconds of conversion per run.
SLOW = rundata.RunParams(name="slow", kind="profile", scans=120, points=100_000, encoding="lzf")


@pytest.fixture(scope="module")
def slow_runs(tmp_path_factory) -> list[Path]:
    """Three names for one slow run (each converts to a file of its own)."""
    root = tmp_path_factory.mktemp("slow")
    made = rundata.generate(SLOW, root, log=lambda *_: None).path
    names = []
    for name in ("a.d", "b.d", "c.d"):
        (root / name).symlink_to(made, target_is_directory=True)
        names.append(root / name)
    return names


def karvel_script() -> str:
    script = shutil.which("karvel", path=os.path.dirname(sys.executable))
    if script is None:
        pytest.skip("the karvel console script is not installed beside this interpreter")
    return script


def descendants(pid: int) -> set[int]:
    """The process's children, their children, ... (from /proc)."""
    found: set[int] = set()
    pending = [pid]
    while pending:
        parent = pending.pop()
        try:
            tasks = os.listdir(f"/proc/{parent}/task")
        except FileNotFoundError:
            continue
        for task in tasks:
            try:
                text = Path(f"/proc/{parent}/task/{task}/children").read_text()
            except OSError:
                continue
            for child in map(int, text.split()):
                if child not in found:
                    found.add(child)
                    pending.append(child)
    return found


def alive(pid: int) -> bool:
    """Whether pid is a process that has not ended (a zombie has)."""
    try:
        state = Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()[0]
    except (OSError, IndexError):
        return False
    return state not in ("Z", "X")


def wait_for(condition, timeout: float) -> bool:
    deadline = time.monotonic() + timeout
    while not condition():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.02)
    return True


def started(out: Path, count: int) -> bool:
    return len(leftovers(out)) >= count if out.exists() else False


CASES = [
    # (signal, to the group?, runs, jobs, format)
    (signal.SIGINT, False, 1, 1, "mzml"),
    (signal.SIGTERM, False, 1, 1, "mzml"),
    (signal.SIGHUP, False, 1, 1, "mzml"),
    (signal.SIGINT, True, 1, 1, "mzml"),
    (signal.SIGTERM, True, 1, 1, "parquet"),
    (signal.SIGTERM, False, 1, 1, "parquet"),
    (signal.SIGTERM, False, 3, 2, "mzml"),
    (signal.SIGINT, True, 3, 2, "mzml"),
    (signal.SIGHUP, True, 3, 2, "parquet"),
    (signal.SIGINT, False, 3, 2, "parquet"),
    (signal.SIGTERM, False, 1, 1, "mzpeak"),
    (signal.SIGINT, True, 3, 2, "mzpeak"),
]


@pytest.mark.parametrize("signum, group, runs, jobs, to", CASES,
                         ids=[f"{s.name}-{'group' if g else 'command'}-{r}runs-j{j}-{t}" for s, g, r, j, t in CASES])
def test_a_stopped_conversion_leaves_nothing(slow_runs, tmp_path, signum, group, runs, jobs, to):
    if to in ("parquet", "mzpeak"):
        pytest.importorskip("pyarrow")
    out = tmp_path / "out"
    command = [karvel_script(), "convert", *map(str, slow_runs[:runs]), "-o", str(out), "--to", to,
               "-j", str(jobs), "-q"]
    process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, start_new_session=True)
    try:
        assert wait_for(lambda: started(out, min(runs, jobs)), 60), "the conversions did not start"
        family = descendants(process.pid)
        if group:
            os.killpg(process.pid, signum)
        else:
            process.send_signal(signum)
        stdout, stderr = process.communicate(timeout=60)
    finally:
        if process.poll() is None:
            os.killpg(process.pid, signal.SIGKILL)
            process.wait()
    assert process.returncode == 128 + signum, stderr.decode()
    lines = stderr.decode().splitlines()
    assert lines == [f"karvel: interrupted by {signum.name}: stopped, temporary files removed"]
    assert stdout == b""
    assert wait_for(lambda: not any(alive(pid) for pid in family), 10), "worker processes survived"
    assert leftovers(out) == []
    # Stopped within seconds of starting: no run finished, none was queued up.
    assert sorted(p.name for p in out.iterdir()) == []


def test_an_uninterrupted_batch_leaves_no_process(slow_runs, tmp_path):
    out = tmp_path / "out"
    process = subprocess.Popen([karvel_script(), "convert", str(slow_runs[0]), "-o", str(out), "--rt", "60:62",
                                "-j", "2", "-q"], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    family: set[int] = set()
    while process.poll() is None:
        family |= descendants(process.pid)
        time.sleep(0.02)
    assert process.returncode == 0, process.stderr.read() if process.stderr else ""
    assert wait_for(lambda: not any(alive(pid) for pid in family), 10)
    assert leftovers(out) == [] and [p.name for p in out.iterdir()] == ["a.mzML"]


@pytest.mark.parametrize("signum, archives, group", [(signal.SIGTERM, 1, False), (signal.SIGINT, 1, True),
                                                     (signal.SIGTERM, 2, False), (signal.SIGINT, 2, True)])
def test_a_stopped_archive_conversion_removes_the_unpacked_runs(slow_runs, tmp_path, signum, archives, group):
    import zipfile

    names = []
    for number in range(archives):
        archive = tmp_path / f"slow{number}.d.zip"
        with zipfile.ZipFile(archive, "w", zipfile.ZIP_STORED) as out:
            for path in sorted(slow_runs[0].resolve().rglob("*")):
                if path.is_file():
                    out.write(path, "slow.d/" + path.relative_to(slow_runs[0].resolve()).as_posix())
        names.append(str(archive))
    scratch = tmp_path / "tmp"
    scratch.mkdir()
    out = tmp_path / "out"
    process = subprocess.Popen([karvel_script(), "convert", *names, "-o", str(out), "-q", "-j", str(archives)],
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, start_new_session=True,
                               env={**os.environ, "TMPDIR": str(scratch)})
    try:
        assert wait_for(lambda: started(out, archives), 60), "the conversions did not start"
        assert len(list(scratch.iterdir())) == archives, "the runs were not unpacked into TMPDIR"
        family = descendants(process.pid)
        if group:
            os.killpg(process.pid, signum)
        else:
            process.send_signal(signum)
        _, stderr = process.communicate(timeout=60)
    finally:
        if process.poll() is None:
            os.killpg(process.pid, signal.SIGKILL)
            process.wait()
    assert process.returncode == 128 + signum, stderr.decode()
    assert wait_for(lambda: not any(alive(pid) for pid in family), 10), "worker processes survived"
    assert list(scratch.iterdir()) == [] and leftovers(out) == []


@pytest.mark.parametrize("to", ["mzml", "parquet"])
def test_workers_die_with_a_killed_command(slow_runs, tmp_path, to):
    """SIGKILL leaves the command no chance to stop its workers: they end
    with it (the kernel kills them), so the caller's communicate() returns
    as soon as they are gone and no worker goes on converting the batch."""
    if to == "parquet":
        pytest.importorskip("pyarrow")
    out = tmp_path / "out"
    process = subprocess.Popen([karvel_script(), "convert", *map(str, slow_runs), "-o", str(out), "--to", to,
                                "-j", "2", "-q"], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                               start_new_session=True)
    family: set[int] = set()
    try:
        assert wait_for(lambda: started(out, 2), 60), "the conversions did not start"
        family = descendants(process.pid)
        assert len(family) >= 2
        process.kill()
        # Every holder of the pipes is gone well before one run could finish.
        process.communicate(timeout=20)
    finally:
        if process.poll() is None:
            os.killpg(process.pid, signal.SIGKILL)
            process.wait()
        wait_for(lambda: not any(alive(pid) for pid in family), 10)
        survivors = [pid for pid in family if alive(pid)]
        for pid in survivors:
            os.kill(pid, signal.SIGKILL)
    assert process.returncode == -signal.SIGKILL
    assert survivors == [], "worker processes survived their parent"
    # Nothing was finished after the kill: the workers stopped mid-run.
    assert not any(p.suffix in (".mzML", ".parquet") for p in out.iterdir())
