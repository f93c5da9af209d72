"""The ``quelmar`` command.

    quelmar analyze [MODEL] [--seed N] [--trials N] [--json FILE]
                    [--diagram FILE.svg|.png|.pdf|.dot] [--plot FILE.png|.svg|.pdf]
                    [--html FILE] [--prune] [--diagnose | --no-diagnose] [--full]
                    [--genes] [--signs] [--factors] [--quiet]
    quelmar batch MODEL_OR_DIR ... --out TABLE.csv|.parquet
                  [--knockouts[=R1,R2,...|genes]] [--scheduler ADDRESS | --workers N]
                  [--resume] [--seed N] [--trials N] [--max-seconds S]
                  [--max-memory GB] [--signs] [--quiet]

MODEL is an SBML file (``.xml``, ``.sbml``, optionally ``.gz``), a cobrapy
JSON model (``.json``) or an Antimony file (``.ant``, ``.txt``); without it,
the bundled example model is analysed.  The report goes to standard output,
warnings and the progress of long steps to standard error.  ``batch`` (see
:func:`quelmar.batch`) writes one row per model or knockout variant to TABLE
and a summary line to standard output; a model that fails is a row with its
error, not a failure of the command.

The argument parser is :mod:`quelmar.cli_parser`, what the command writes
to the terminal :mod:`quelmar.cli_console`.

Exit status: 0 on success, 1 when the model cannot be loaded or analysed
(or an output cannot be written), 2 for a usage error, 130 when
interrupted (Ctrl-C).
"""

from __future__ import annotations

import contextlib
import os
import signal
import sys
import tempfile
import threading
import time
import warnings
from importlib import resources

from .cli_console import (EXIT_FAILED, EXIT_INTERRUPTED, EXIT_OK, EXIT_USAGE, PROG, OutputClosed,
                          Progress, emit, printable, say)
from .cli_parser import BUNDLED_MODEL, build_parser

#: most boxes and arrows that ``--diagram`` renders as a picture (a .dot file
#: has no limit): Graphviz took five minutes for 993 structures and 20000
#: edges.  A large result is drawn by its irreducible structures (see
#: :func:`quelmar.diagram.hierarchy_dot`), a few hundred boxes for iJO1366.
DIAGRAM_STRUCTURES = 500
DIAGRAM_EDGES = 5000


class _Failure(Exception):
    """An error to report in one line, with exit status 1."""


def _batch(args):
    try:
        from .batching import batch, read_table, require_extra
        require_extra()
    except ImportError as e:
        raise _Failure(str(e)) from None
    client = None
    if args.scheduler:
        from distributed import Client
        try:
            client = Client(args.scheduler, timeout="10s")
        except (OSError, TimeoutError, ValueError) as e:
            raise _Failure(f"{args.scheduler}: cannot reach the Dask scheduler: {e}") from None
        except Exception as e:  # noqa: BLE001 - a server that is not a scheduler
            # (its answer read as a Dask message can ask for exabytes)
            raise _Failure(f"{args.scheduler}: not a Dask scheduler (its answer cannot be "
                           f"read: {type(e).__name__})") from None
    start = time.monotonic()
    try:
        table = batch(args.models, trials=args.trials, seed=args.seed,
                      knockouts=args.knockouts, client=client, workers=args.workers,
                      out=args.out, resume=args.resume, progress=False if args.quiet else None,
                      max_seconds=args.max_seconds, max_memory=args.max_memory * 1e9,
                      signs=args.signs)
    except KeyboardInterrupt:
        with contextlib.suppress(Exception):
            kept = len(read_table(args.out))
            say(sys.stderr, f"{PROG}: {kept} rows kept in {args.out} (--resume continues)\n")
        raise
    except (OSError, ValueError, TypeError) as e:
        raise _Failure(str(e)) from None
    finally:
        if client is not None:
            client.close()
    if not args.quiet:
        failed = int((table["error"] != "").sum())
        emit(printable(f"{PROG}: {len(table)} rows ({failed} failed) in "
                       f"{time.monotonic() - start:.1f} s, written to {args.out}") + "\n")
    return EXIT_OK


def _bundled_model():
    return resources.files("quelmar").joinpath("data", BUNDLED_MODEL)


def _show_warning(message, category, filename, lineno, file=None, line=None):
    say(sys.stderr, f"{PROG}: warning: {message}\n")


def _check_outputs(args, model):
    """Refuse unusable output paths before the (possibly long) analysis."""
    from .fileio import check_output

    named = [("--json", args.json if args.json != "-" else None), ("--diagram", args.diagram),
             ("--plot", args.plot), ("--html", args.html)]
    outputs = [(flag, p) for flag, p in named if p]
    seen = {}
    for flag, p in outputs:
        key = os.path.realpath(p)  # one file, also through a linked directory
        if key in seen:
            raise _Failure(f"{p}: given as both {seen[key]} and {flag}")
        seen[key] = flag
    outputs = [p for _, p in outputs]
    for path in outputs:
        try:
            check_output(path, [model])
            # a file can be made there (so that no output is replaced before
            # another one turns out to be unwritable)
            fd, probe = tempfile.mkstemp(dir=os.path.dirname(os.path.abspath(path)),
                                         prefix=".quelmar-", suffix=".probe")
            os.close(fd)
            os.unlink(probe)
        except (OSError, ValueError) as e:
            raise _Failure(f"{path}: cannot write: {_reason(e)}") from None


def _write(path, write, errors=()):
    """Run ``write()``; its failure (``errors``, or an ``OSError``) as one line."""
    try:
        write()
    except errors as e:
        raise _Failure(f"{path}: {e}") from None
    except OSError as e:
        raise _Failure(f"{path}: cannot write: {_reason(e)}") from None


def _reason(error):
    return error.strerror if isinstance(error, OSError) and error.strerror else str(error)


def _analyze(args):
    from .fileio import write_atomic
    from .analysis import analyze
    from .diagram import DiagramError, write_diagram
    from .errors import MissingDependencyError
    from .loaders import LoadError, load

    if sys.stdout is None and (args.json == "-" or not args.quiet):
        raise OutputClosed(OSError(9, "closed"))  # found before the work, not after it
    progress = Progress(sys.stderr, not args.quiet)
    with contextlib.ExitStack() as stack:
        if args.model is None:
            path = stack.enter_context(resources.as_file(_bundled_model()))
            label = f"{BUNDLED_MODEL} (bundled example)"
        else:
            path = args.model
            label = args.model
        _check_outputs(args, path)
        try:
            with progress(f"loading {label}"):
                crn = load(path, allow_external=args.allow_external)
        except LoadError as e:
            raise _Failure(str(e)) from None
        except Exception as e:  # noqa: BLE001 - reported in one line, never a traceback
            raise _Failure(f"{label}: cannot load: {type(e).__name__}: {e}") from None
        try:
            result = analyze(crn, trials=args.trials, seed=args.seed, progress=progress,
                             prune=args.prune, diagnose=args.diagnose, signs=args.signs,
                             factors=args.factors)
        except Exception as e:  # noqa: BLE001
            raise _Failure(f"{label}: analysis failed: {type(e).__name__}: {e}") from None
        result.source = label

    if args.json == "-":
        emit(result.to_json(genes=args.genes) + "\n")
    elif args.json:
        with progress(f"writing {args.json}"):
            text = result.to_json(genes=args.genes) + "\n"
            _write(args.json, lambda: write_atomic(args.json, text, inputs=[path]))
    if not result.defined:
        for flag, path_ in (("--diagram", args.diagram), ("--plot", args.plot)):
            if path_:
                say(sys.stderr, printable(f"{PROG}: warning: {path_} not written ({flag}): "
                                          "the network is structurally singular, it has "
                                          "no buffering structures or sensitivity; try "
                                          "--prune") + "\n")
        args.diagram = args.plot = None
    drawn = args.diagram and os.path.splitext(args.diagram)[1].lower() not in (".dot", ".gv")
    if drawn:
        from .diagram import diagram_size
        boxes, edges = diagram_size(result)
        if boxes > DIAGRAM_STRUCTURES or edges > DIAGRAM_EDGES:
            say(sys.stderr, printable(
                f"{PROG}: warning: {args.diagram} not written (--diagram): {boxes} boxes "
                f"and {edges} arrows are too many for Graphviz to lay out; write a .dot "
                "file instead, or read the hierarchy in --json or --html") + "\n")
            args.diagram = None
    if args.diagram:
        with progress(f"rendering {args.diagram}"):
            _write(args.diagram, lambda: write_diagram(result, args.diagram, inputs=[path]),
                   (DiagramError, MissingDependencyError))
    if args.plot:
        from .plot import PlotError, write_plot
        with progress(f"drawing {args.plot}"):
            _write(args.plot, lambda: write_plot(result, args.plot, inputs=[path],
                                                 signs=args.signs),
                   (PlotError, MissingDependencyError))
    if args.html:
        with progress(f"writing {args.html}"):
            _write(args.html, lambda: write_atomic(args.html, result.to_html(genes=args.genes),
                                                    inputs=[path]))
    if not args.quiet and args.json != "-":
        emit(printable(result.report(full=args.full, genes=args.genes)) + "\n")
    return EXIT_OK


def main(argv=None):
    """Run the command line; returns the exit status."""
    parser = build_parser()
    try:
        args = parser.parse_args(argv)
    except SystemExit as e:  # argparse: --help (0) or a usage error (2)
        return e.code if isinstance(e.code, int) else EXIT_USAGE
    with _interrupts() as interrupted:
        try:
            with warnings.catch_warnings():
                warnings.simplefilter("always")
                warnings.showwarning = _show_warning
                if args.command == "analyze":
                    return _analyze(args)
                if args.command == "batch":
                    return _batch(args)
                parser.error(f"unknown command {args.command!r}")  # pragma: no cover
        except KeyboardInterrupt:
            return _interrupted()
        except _Failure as e:
            if interrupted():  # an interrupt that a library turned into an error
                return _interrupted()
            say(sys.stderr, f"{PROG}: error: {e}\n")
            return EXIT_FAILED
        except OutputClosed as e:
            _silence_stdout()
            cause = e.args[0]
            if not isinstance(cause, BrokenPipeError):
                # the reader of a pipe that went away (`quelmar analyze | head`)
                # needs no message; a full disk does
                say(sys.stderr, f"{PROG}: error: standard output: {_reason(cause)}\n")
            return EXIT_FAILED
    return EXIT_OK  # pragma: no cover


def _interrupted():
    say(sys.stderr, f"\n{PROG}: interrupted\n")
    return EXIT_INTERRUPTED


@contextlib.contextmanager
def _interrupts():
    """Notice Ctrl-C even where a library turns the interrupt into an error.

    Yields a function that tells whether an interrupt arrived.  The
    handler is installed only in the main thread and only when Ctrl-C is
    not ignored (as it is for background jobs).  An interrupt that lands
    where Python ignores exceptions (a cycle collector's callback, a
    finalizer: Dask's workers' clients run such callbacks) is raised again
    once that code has returned, instead of being lost.
    """
    seen = []

    def handler(signum, frame):
        seen.append(signum)
        raise KeyboardInterrupt

    def unraisable(info):
        if isinstance(info.exc_value, KeyboardInterrupt) and seen:
            signal.raise_signal(signal.SIGINT)  # handled again at the next step
        else:
            hook(info)

    previous = hook = None
    if threading.current_thread() is threading.main_thread():
        previous = signal.getsignal(signal.SIGINT)
        if previous is signal.default_int_handler:
            signal.signal(signal.SIGINT, handler)
            hook, sys.unraisablehook = sys.unraisablehook, unraisable
        else:
            previous = None
    try:
        yield lambda: bool(seen)
    finally:
        if previous is not None:
            signal.signal(signal.SIGINT, previous)
            if sys.unraisablehook is unraisable:
                sys.unraisablehook = hook


def _silence_stdout():
    """Point standard output at the null device, so that the interpreter's
    final flush cannot fail again."""
    with contextlib.suppress(OSError, ValueError, AttributeError):
        null = os.open(os.devnull, os.O_WRONLY)
        os.dup2(null, sys.stdout.fileno())
        os.close(null)


if __name__ == "__main__":  # pragma: no cover
    sys.exit(main())
