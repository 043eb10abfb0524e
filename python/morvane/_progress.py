"""Progress bars of the converters: on standard error, only to a terminal,
only when tqdm is installed."""

from __future__ import annotations

import contextlib
import sys
from collections.abc import Iterator
from typing import Any


def bars_shown(progress: bool) -> bool:
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
