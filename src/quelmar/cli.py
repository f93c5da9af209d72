"""The ``quelmar`` command.

    quelmar analyze [MODEL] [--seed N] [--trials N] [--json FILE]
                    [--diagram FILE.svg|.png|.pdf|.dot] [--plot FILE.png|.svg|.pdf]
                    [--html FILE] [--full] [--quiet]

MODEL is an SBML file (``.xml``, ``.sbml``, optionally ``.gz``), a cobrapy
JSON model (``.json``) or an Antimony file (``.ant``, ``.txt``); without it,
the bundled example model is analysed.  The report goes to standard output,
warnings and the progress of long steps to standard error.

Exit status: 0 on success, 1 when the model cannot be loaded or analysed
(or an output cannot be written), 2 for a usage error.
"""

from __future__ import annotations

import argparse
import contextlib
import os
import sys
import threading
import time
import warnings
from importlib import resources

EXIT_OK, EXIT_FAILED, EXIT_USAGE = 0, 1, 2

#: the model analysed when no MODEL is given (see data/SOURCES.md)
BUNDLED_MODEL = "BIOMD0000000033_Brown2004.xml"

PROG = "quelmar"


class _Failure(Exception):
    """An error to report in one line, with exit status 1."""


class _Parser(argparse.ArgumentParser):
    def error(self, message):
        self.print_usage(sys.stderr)
        self.exit(EXIT_USAGE, f"{self.prog}: error: {message}\n")


def _positive_int(text):
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a whole number, got {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1, got {value}")
    return value


def _seed(text):
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a whole number, got {text!r}") from None
    if not 0 <= value < 2**32:
        raise argparse.ArgumentTypeError(f"must be between 0 and 2**32 - 1, got {value}")
    return value


def _diagram_path(text):
    from .diagram import FORMATS
    ext = os.path.splitext(text)[1].lower()
    if ext not in FORMATS:
        raise argparse.ArgumentTypeError(
            f"{text}: unknown diagram type {ext or '(no extension)'}; "
            "use .svg, .png, .pdf or .dot")
    return text


def _plot_path(text):
    from .plot import FORMATS
    ext = os.path.splitext(text)[1].lower()
    if ext not in FORMATS:
        raise argparse.ArgumentTypeError(
            f"{text}: unknown picture type {ext or '(no extension)'}; use .png, .svg or .pdf")
    return text


def build_parser():
    parser = _Parser(prog=PROG, description="Structural analysis of chemical reaction "
                     "networks: sensitivity, isolated buffering structures, their "
                     "hierarchy and the indicator diagnosis.")
    sub = parser.add_subparsers(dest="command", metavar="COMMAND", parser_class=_Parser)
    sub.required = True
    a = sub.add_parser("analyze", help="analyse a model file",
                       description="Load a model and print its structural analysis.",
                       epilog="Without MODEL the bundled example "
                       f"({BUNDLED_MODEL}) is analysed. Exit status: 0 success, "
                       "1 the model cannot be loaded or analysed, 2 usage error.")
    a.add_argument("model", nargs="?", metavar="MODEL",
                   help="SBML (.xml, .sbml, .gz), cobrapy JSON (.json) or Antimony "
                   "(.ant, .txt) file")
    a.add_argument("--seed", type=_seed, metavar="N",
                   help="seed of the random generator (makes the result reproducible)")
    a.add_argument("--trials", type=_positive_int, default=2, metavar="N",
                   help="random trials for the sensitivity matrix (default: 2)")
    a.add_argument("--json", metavar="FILE",
                   help="also write the result as JSON to FILE ('-': standard output, "
                   "instead of the report)")
    a.add_argument("--diagram", type=_diagram_path, metavar="FILE",
                   help="write the hierarchy diagram: .svg, .png, .pdf (rendered by "
                   "Graphviz) or .dot")
    a.add_argument("--plot", type=_plot_path, metavar="FILE",
                   help="write the sensitivity heat map: .png, .svg or .pdf (needs "
                   "Matplotlib: pip install 'quelmar[plot]')")
    a.add_argument("--html", metavar="FILE",
                   help="write the whole analysis as one self-contained HTML page")
    a.add_argument("--full", action="store_true",
                   help="list every name in the report (by default the sensitivity is "
                   "summarised and long lists are shortened)")
    a.add_argument("-q", "--quiet", action="store_true",
                   help="no progress display and no report on standard output")
    return parser


class _Progress:
    """Shows a step on stderr once it has run for ``delay`` seconds."""

    def __init__(self, stream, enabled, delay=1.0):
        self.stream = stream
        self.enabled = enabled
        self.delay = delay
        self.live = enabled and hasattr(stream, "isatty") and stream.isatty()

    @contextlib.contextmanager
    def __call__(self, step):
        if not self.enabled:
            yield
            return
        start = time.monotonic()
        shown = threading.Event()
        done = threading.Event()

        def tick():
            if done.wait(self.delay):
                return
            shown.set()
            while True:
                elapsed = time.monotonic() - start
                if self.live:
                    self.stream.write(f"\r{PROG}: {step}... {elapsed:.0f} s\x1b[K")
                    self.stream.flush()
                elif elapsed < self.delay + 0.5:
                    self.stream.write(f"{PROG}: {step}...\n")
                    self.stream.flush()
                if done.wait(1.0):
                    return

        thread = threading.Thread(target=tick, daemon=True)
        thread.start()
        try:
            yield
        finally:
            done.set()
            thread.join()
            if shown.is_set():
                elapsed = time.monotonic() - start
                start_of_line = "\r\x1b[K" if self.live else ""
                self.stream.write(f"{start_of_line}{PROG}: {step}: done in {elapsed:.1f} s\n")
                self.stream.flush()


def _bundled_model():
    return resources.files("quelmar").joinpath("data", BUNDLED_MODEL)


def _show_warning(message, category, filename, lineno, file=None, line=None):
    print(f"{PROG}: warning: {message}", file=sys.stderr)


def _analyze(args):
    from .analysis import analyze
    from .diagram import DiagramError, write_diagram
    from .loaders import LoadError, load

    progress = _Progress(sys.stderr, not args.quiet)
    with contextlib.ExitStack() as stack:
        if args.model is None:
            path = stack.enter_context(resources.as_file(_bundled_model()))
            label = f"{BUNDLED_MODEL} (bundled example)"
        else:
            path = args.model
            label = args.model
        try:
            with progress(f"loading {label}"):
                crn = load(path)
        except LoadError as e:
            raise _Failure(str(e)) from None
        except Exception as e:  # noqa: BLE001 - reported in one line, never a traceback
            raise _Failure(f"{label}: cannot load: {type(e).__name__}: {e}") from None
        try:
            result = analyze(crn, trials=args.trials, seed=args.seed, progress=progress)
        except Exception as e:  # noqa: BLE001
            raise _Failure(f"{label}: analysis failed: {type(e).__name__}: {e}") from None
        result.source = label

    if args.json:
        text = result.to_json() + "\n"
        if args.json == "-":
            sys.stdout.write(text)
        else:
            try:
                with open(args.json, "w", encoding="utf-8") as f:
                    f.write(text)
            except OSError as e:
                raise _Failure(f"{args.json}: cannot write: {e.strerror or e}") from None
    if args.diagram:
        try:
            with progress(f"rendering {args.diagram}"):
                write_diagram(result, args.diagram)
        except DiagramError as e:
            raise _Failure(f"{args.diagram}: {e}") from None
        except OSError as e:
            raise _Failure(f"{args.diagram}: cannot write: {e.strerror or e}") from None
    if args.plot:
        from .plot import PlotError, write_plot
        try:
            with progress(f"drawing {args.plot}"):
                write_plot(result, args.plot)
        except PlotError as e:
            raise _Failure(f"{args.plot}: {e}") from None
        except OSError as e:
            raise _Failure(f"{args.plot}: cannot write: {e.strerror or e}") from None
    if args.html:
        try:
            with progress(f"writing {args.html}"):
                page = result.to_html()
                with open(args.html, "w", encoding="utf-8") as f:
                    f.write(page)
        except OSError as e:
            raise _Failure(f"{args.html}: cannot write: {e.strerror or e}") from None
    if not args.quiet and args.json != "-":
        sys.stdout.write(result.report(full=args.full) + "\n")
    return EXIT_OK


def main(argv=None):
    """Run the command line; returns the exit status."""
    parser = build_parser()
    try:
        args = parser.parse_args(argv)
    except SystemExit as e:  # argparse: --help (0) or a usage error (2)
        return e.code if isinstance(e.code, int) else EXIT_USAGE
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("always")
            warnings.showwarning = _show_warning
            if args.command == "analyze":
                return _analyze(args)
            parser.error(f"unknown command {args.command!r}")  # pragma: no cover
    except _Failure as e:
        print(f"{PROG}: error: {e}", file=sys.stderr)
        return EXIT_FAILED
    except KeyboardInterrupt:
        print(f"{PROG}: interrupted", file=sys.stderr)
        return 130
    except BrokenPipeError:
        # the reader of the output went away (as in `quelmar analyze | head`)
        with contextlib.suppress(OSError):
            os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return EXIT_FAILED
    return EXIT_OK  # pragma: no cover


if __name__ == "__main__":  # pragma: no cover
    sys.exit(main())
