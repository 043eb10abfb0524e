"""Progress bars of the converters, only when tqdm is installed: in a
notebook as its widget (tqdm.auto), elsewhere on standard error when that
is a terminal."""

from __future__ import annotations

import contextlib
import sys
from collections.abc import Iterator
from typing import Any


def in_notebook() -> bool:
    """Whether this process is a notebook's kernel (an IPython shell that
    is not the terminal one)."""
    shell_module = sys.modules.get("IPython")
    if shell_module is None:
        return False
    try:
        shell = shell_module.get_ipython()
    except Exception:  # noqa: BLE001 - any IPython that cannot say is no notebook
        return False
    return shell is not None and type(shell).__name__ == "ZMQInteractiveShell"


def bars_shown(progress: bool) -> bool:
    if not progress:
        return False
    try:
        import tqdm  # noqa: F401
    except ImportError:
        return False
    return in_notebook() or sys.stderr.isatty()


def new_bar(**options: Any) -> Any:
    """tqdm.auto's bar (a widget in a notebook); the text bar when the
    notebook lacks the widgets."""
    from tqdm.auto import tqdm
    try:
        return tqdm(**options)
    except ImportError:  # a notebook without ipywidgets
        from tqdm.std import tqdm as text_bar
        return text_bar(**options)


@contextlib.contextmanager
def spectra_bar(progress: bool, total: int, name: str) -> Iterator[Any]:
    """A tqdm bar of a run's spectra, or None when bars are not shown."""
    if not bars_shown(progress):
        yield None
        return
    with new_bar(total=total, desc=name, unit=" spectra", file=sys.stderr, leave=False,
                 dynamic_ncols=True) as bar:
        yield bar


def runs_bar(progress: bool, total: int) -> Any:
    """A tqdm bar of the runs of a batch, or None when bars are not shown."""
    if not bars_shown(progress):
        return None
    return new_bar(total=total, desc="runs", unit=" runs", file=sys.stderr, dynamic_ncols=True)
