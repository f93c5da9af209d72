"""Progress bars for the long steps of an analysis, through tqdm.

:func:`quelmar.analyze` shows each step that takes a while (the search for
buffering structures, the hierarchy, the indicator diagnosis) as a bar
that counts what the step really counts: candidates examined, structures
placed, reactions contracted; a step that counts nothing shows its elapsed
time.  In a notebook the bar is a widget when ipywidgets is installed
(``tqdm.auto``), text otherwise.

tqdm is optional (``pip install 'quelmar[progress]'``).  By default
(``progress=None``) the bars are shown only where someone watches: in a
notebook, or when standard error is a terminal, and only when tqdm is
installed.
"""

from __future__ import annotations

import contextlib
import sys
from collections.abc import Callable, Iterator
from typing import Any

__all__ = ["TqdmProgress", "choose", "watched"]

#: a step shows its bar once it has run this long (seconds)
DELAY = 0.5
_TIME = "{desc}: {elapsed}"


def watched() -> bool:
    """Whether someone watches: a notebook kernel, or a terminal on standard
    error."""
    shell = sys.modules.get("IPython")
    if shell is not None:
        get = getattr(shell, "get_ipython", None)
        ip = get() if callable(get) else None
        if ip is not None and getattr(ip, "kernel", None) is not None:
            return True
    isatty = getattr(sys.stderr, "isatty", None)
    try:
        return bool(callable(isatty) and isatty())
    except (OSError, ValueError):
        return False


def _tqdm_class(required: bool) -> Any:
    """tqdm's notebook-aware class when ipywidgets can draw it, its text
    class otherwise; None when tqdm is missing (and not ``required``)."""
    if required:
        from .extras import require
        require("tqdm", "the progress display")
    else:
        try:
            import tqdm  # noqa: F401
        except ImportError:
            return None
    try:
        import ipywidgets  # noqa: F401
    except ImportError:
        from tqdm import tqdm as text_bar
        return text_bar
    from tqdm.auto import tqdm as auto_bar
    return auto_bar


class _Bar:
    """One step's bar; :func:`quelmar.analyze` sets ``unit`` and calls
    ``update(done, total)`` when the step counts something."""

    def __init__(self, bar: Any):
        self.bar = bar
        self.unit = ""

    def update(self, done: int, total: int) -> None:
        bar = self.bar
        if bar.bar_format == _TIME:
            bar.bar_format = None
        if self.unit and bar.unit != " " + self.unit:
            bar.unit = " " + self.unit
        if total != bar.total:
            bar.total = total
        bar.update(done - bar.n)  # shown after the delay, at most ten times a second


class TqdmProgress:
    """A ``progress`` argument for :func:`quelmar.analyze` that draws tqdm
    bars (``tqdm_class``: by default the notebook-aware one)."""

    def __init__(self, tqdm_class: Any = None, **options: Any):
        self.tqdm_class = tqdm_class if tqdm_class is not None else _tqdm_class(True)
        self.options = {"delay": DELAY, "leave": False, "file": sys.stderr,
                        "dynamic_ncols": True} | options

    @contextlib.contextmanager
    def __call__(self, step: str) -> Iterator[_Bar]:
        # the elapsed time until the step counts something
        bar = self.tqdm_class(desc=step, total=None, unit="", bar_format=_TIME,
                              **self.options)
        try:
            yield _Bar(bar)
        finally:
            bar.close()


def choose(progress: Any) -> Callable[[str], Any] | None:
    """The progress display that ``analyze(progress=...)`` asks for: a
    callable as given; True: tqdm bars (tqdm must be installed); False: none;
    None: tqdm bars when someone watches (see :func:`watched`) and tqdm is
    installed, none otherwise."""
    if progress is False:
        return None
    if progress is True:
        return TqdmProgress()
    if progress is None:
        if not watched():
            return None
        cls = _tqdm_class(False)
        return None if cls is None else TqdmProgress(cls)
    if not callable(progress):
        raise TypeError(f"progress must be True, False, None or a callable, not {progress!r}")
    return progress
