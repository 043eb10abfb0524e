"""What every converter shares: which spectra a filter selects, the progress
bar of a run's spectra, and files that appear under their name only when
complete."""

from __future__ import annotations

import contextlib
import os
import sys
import tempfile
from collections.abc import Iterator
from pathlib import Path
from typing import Any

import numpy as np

from ._scans import select


def selected(run: Any, ms_level: Any, rt: Any) -> np.ndarray:
    """Positions of the scans that the filters keep, as Run.spectra selects them."""
    return select(run.scans, ms_level, rt, None)


def selected_spectra(run: Any, ms_level: Any, rt: Any) -> int:
    return len(selected(run, ms_level, rt))


def bars_shown(progress: bool) -> bool:
    """Progress bars go to standard error, and only to a terminal."""
    if not progress:
        return False
    try:
        import tqdm  # noqa: F401
    except ImportError:
        return False
    return sys.stderr.isatty()


@contextlib.contextmanager
def spectra_bar(progress: bool, total: int, name: str) -> Iterator[Any]:
    """A tqdm bar of a run's spectra, or None when bars are not shown."""
    if not bars_shown(progress):
        yield None
        return
    from tqdm import tqdm
    with tqdm(total=total, desc=name, unit=" spectra", file=sys.stderr, leave=False, dynamic_ncols=True) as bar:
        yield bar


def runs_bar(progress: bool, total: int) -> Any:
    """A tqdm bar of the runs of a batch, or None when bars are not shown."""
    if not bars_shown(progress):
        return None
    from tqdm import tqdm
    return tqdm(total=total, desc="runs", unit=" runs", file=sys.stderr, dynamic_ncols=True)


@contextlib.contextmanager
def written_atomically(out: str | os.PathLike[str]) -> Iterator[Path]:
    """Yields a temporary path beside `out` to write to; renames it to `out`
    when the block ends normally, removes it when the block raises."""
    target = Path(os.fspath(out))
    descriptor, name = tempfile.mkstemp(prefix=f".{target.name}.", suffix=".part", dir=target.parent)
    os.close(descriptor)
    partial = Path(name)
    try:
        yield partial
        os.chmod(partial, 0o666 & ~current_umask())
        os.replace(partial, target)
    except BaseException:
        partial.unlink(missing_ok=True)
        raise


def current_umask() -> int:
    """The process's umask, read without changing it (os.umask would, for a
    moment, in every thread)."""
    try:
        for line in Path("/proc/self/status").read_text().splitlines():
            if line.startswith("Umask:"):
                return int(line.split()[1], 8)
    except (OSError, ValueError):
        pass
    return 0o022
