"""What the ``quelmar`` command writes to the terminal.

The program's name and exit statuses, names made printable (a model's
names cannot drive the terminal), lines to standard error that quietly give
up when it is gone, standard output whose failure is :class:`OutputClosed`,
and :class:`Progress`, the display of a long step on standard error.
"""

from __future__ import annotations

import contextlib
import re
import sys
import threading
import time

EXIT_OK, EXIT_FAILED, EXIT_USAGE, EXIT_INTERRUPTED = 0, 1, 2, 130

PROG = "quelmar"


class OutputClosed(Exception):
    """Standard output cannot be written (closed pipe, full disk)."""


# Control characters (C0 but tab and newline, DEL, C1) and lone surrogates:
# printed as escapes, so that names in a model cannot drive the terminal.
_UNPRINTABLE = re.compile("[\x00-\x08\x0b-\x1f\x7f-\x9f\ud800-\udfff]")


def printable(text):
    """``text`` with control characters written as ``\\xNN`` escapes."""
    return _UNPRINTABLE.sub(lambda m: ascii(m.group())[1:-1], str(text))


def say(stream, text):
    """Write a line to standard error, quietly giving up if it is gone."""
    try:
        stream.write(printable(text))
        stream.flush()
    except (OSError, ValueError, AttributeError):
        pass


def emit(text):
    """Write ``text`` to standard output; :class:`OutputClosed` if that fails."""
    if sys.stdout is None:  # started with standard output closed
        raise OutputClosed(OSError(9, "closed"))
    try:
        sys.stdout.write(text)
        sys.stdout.flush()
    except (OSError, ValueError) as e:
        raise OutputClosed(e) from None


class Progress:
    """Shows a step on stderr once it has run for ``delay`` seconds, with how
    far it has come when the step reports it (``update(done, total)``, in
    ``unit``: "1200 of 5000 candidates")."""

    def __init__(self, stream, enabled, delay=1.0):
        self.stream = stream
        self.enabled = enabled
        self.delay = delay
        self.live = enabled and hasattr(stream, "isatty") and stream.isatty()

    class _Step:
        def __init__(self):
            self.share = None
            self.unit = ""
            self.counts = ""

        def update(self, done, total):
            if total > 0:
                self.share = min(1.0, done / total)
                self.counts = f" {done} of {total}" + (f" {self.unit}" if self.unit else "")

    @contextlib.contextmanager
    def __call__(self, step):
        state = self._Step()
        if not self.enabled:
            yield state
            return
        start = time.monotonic()
        shown = threading.Event()
        done = threading.Event()

        def tick():
            if done.wait(self.delay):
                return
            shown.set()
            reported = None
            while True:
                elapsed = time.monotonic() - start
                share = state.share
                part = state.counts and state.counts + ","
                if self.live:
                    say(self.stream, f"\r{PROG}: {printable(step)}...{part} {elapsed:.0f} s")
                    _raw(self.stream, "\x1b[K")
                elif elapsed < self.delay + 0.5:
                    say(self.stream, f"{PROG}: {step}...\n")
                elif share is not None and (reported is None or share >= reported + 0.25):
                    reported = share
                    say(self.stream, f"{PROG}: {step}:{part} {elapsed:.0f} s so far\n")
                if done.wait(1.0):
                    return

        thread = threading.Thread(target=tick, daemon=True)
        thread.start()
        try:
            yield state
        finally:
            done.set()
            thread.join()
            if shown.is_set():
                elapsed = time.monotonic() - start
                if self.live:
                    _raw(self.stream, "\r\x1b[K")
                say(self.stream, f"{PROG}: {step}: done in {elapsed:.1f} s\n")


def _raw(stream, control):
    """Write a terminal control sequence of our own (never model text)."""
    try:
        stream.write(control)
        stream.flush()
    except (OSError, ValueError, AttributeError):
        pass
