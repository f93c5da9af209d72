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

Exit status: 0 on success, 1 when the model cannot be loaded or analysed
(or an output cannot be written), 2 for a usage error, 130 when
interrupted (Ctrl-C).
"""

from __future__ import annotations

import argparse
import contextlib
import os
import re
import signal
import sys
import threading
import time
import warnings
from importlib import resources

EXIT_OK, EXIT_FAILED, EXIT_USAGE, EXIT_INTERRUPTED = 0, 1, 2, 130

#: most boxes and arrows that ``--diagram`` renders as a picture (a .dot file
#: has no limit): Graphviz took five minutes for 993 structures and 20000
#: edges.  A large result is drawn by its irreducible structures (see
#: :func:`quelmar.diagram.hierarchy_dot`), a few hundred boxes for iJO1366.
DIAGRAM_STRUCTURES = 500
DIAGRAM_EDGES = 5000

#: the model analysed when no MODEL is given (see data/SOURCES.md)
BUNDLED_MODEL = "BIOMD0000000033_Brown2004.xml"

PROG = "quelmar"


class _Failure(Exception):
    """An error to report in one line, with exit status 1."""


class _OutputClosed(Exception):
    """Standard output cannot be written (closed pipe, full disk)."""


# Control characters (C0 but tab and newline, DEL, C1) and lone surrogates:
# printed as escapes, so that names in a model cannot drive the terminal.
_UNPRINTABLE = re.compile("[\x00-\x08\x0b-\x1f\x7f-\x9f\ud800-\udfff]")


def printable(text):
    """``text`` with control characters written as ``\\xNN`` escapes."""
    return _UNPRINTABLE.sub(lambda m: ascii(m.group())[1:-1], str(text))


def _say(stream, text):
    """Write a line to standard error, quietly giving up if it is gone."""
    try:
        stream.write(printable(text))
        stream.flush()
    except (OSError, ValueError, AttributeError):
        pass


def _emit(text):
    """Write ``text`` to standard output; :class:`_OutputClosed` if that fails."""
    if sys.stdout is None:  # started with standard output closed
        raise _OutputClosed(OSError(9, "closed"))
    try:
        sys.stdout.write(text)
        sys.stdout.flush()
    except (OSError, ValueError) as e:
        raise _OutputClosed(e) from None


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


def _budget(text):
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a number, got {text!r}") from None
    if not 0 <= value < float("inf"):
        raise argparse.ArgumentTypeError(f"must be 0 (no limit) or more, got {text}")
    return value


def _output_path(text, formats, what, hint):
    from .fileio import output_format
    if os.path.isdir(text):  # refused, like any unwritable output, when checked
        return text
    try:
        output_format(text, formats, what, hint, quoted=False)
    except ValueError as error:
        raise argparse.ArgumentTypeError(str(error)) from None
    return text


def _diagram_path(text):
    from .diagram import DIAGRAM_HINT, FORMATS
    return _output_path(text, FORMATS, "diagram", DIAGRAM_HINT)


def _plot_path(text):
    from .plot import FORMATS, PLOT_HINT
    return _output_path(text, FORMATS, "picture", PLOT_HINT)


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
                   "Graphviz) or .dot; beyond 100 structures, the irreducible ones")
    a.add_argument("--plot", type=_plot_path, metavar="FILE",
                   help="write the sensitivity heat map: .png, .svg or .pdf (needs "
                   "Matplotlib: pip install 'quelmar[plot]')")
    a.add_argument("--html", metavar="FILE",
                   help="write the whole analysis as one self-contained HTML page")
    a.add_argument("--prune", action="store_true",
                   help="prepare the network first: remove dead ends and what keeps it "
                   "structurally singular, with the reason for each removal")
    a.add_argument("--diagnose", action=argparse.BooleanOptionalAction, default=None,
                   help="run the indicator diagnosis whatever the size of the network "
                   "(--no-diagnose: never); by default it runs when the A-matrix has "
                   "order at most 300 (beyond, it soon takes hours)")
    a.add_argument("--full", action="store_true",
                   help="list every name in the report (by default the sensitivity is "
                   "summarised and long lists are shortened)")
    a.add_argument("--genes", action="store_true",
                   help="add the gene table (what each gene's knockout disables, which "
                   "species respond to its enzyme level) to the report, --json and --html")
    a.add_argument("--signs", action="store_true",
                   help="decide which way each responding species moves when a reaction's "
                   "rate is raised (rise, fall, either); in the report, --json, --html, "
                   "and --plot colours the heat map by sign")
    a.add_argument("--factors", action="store_true",
                   help="factor the determinant of the A-matrix over the hierarchy, with "
                   "the sign of each factor (a bifurcation diagnosis that scales to "
                   "genome-scale networks); in the report, --json and --html")
    a.add_argument("--allow-external", action="store_true",
                   help="let the model read the files it imports or refers to "
                   "(Antimony import, SBML comp external models), when they lie below "
                   "its own directory")
    a.add_argument("-q", "--quiet", action="store_true",
                   help="no progress display and no report on standard output")
    _add_batch_parser(sub)
    return parser


# -- quelmar batch ------------------------------------------------------------

def _reaction_list(text):
    if text == "genes":
        return text
    names = [r.strip() for r in text.split(",")]
    if not all(names):
        raise argparse.ArgumentTypeError(f"expected reaction names separated by commas, "
                                         f"got {text!r}")
    return names


def _add_batch_parser(sub):
    b = sub.add_parser("batch", help="analyse many models, or the knockouts of one, on Dask",
                       description="Analyse many models (files, or directories of model "
                       "files), or every single-reaction deletion of one model, as Dask "
                       "tasks; write one row per model or variant to TABLE as it finishes.",
                       epilog="By default a local cluster of worker processes runs the "
                       "tasks. Exit status: 0 when the batch ran (models that fail are rows "
                       "with an error), 1 when it cannot run, 2 usage error, 130 "
                       "interrupted (finished rows stay in TABLE; --resume continues).")
    b.add_argument("models", nargs="+", metavar="MODEL_OR_DIR",
                   help="model files (as for 'analyze', also .network.json) and "
                   "directories of them")
    b.add_argument("--out", required=True, metavar="TABLE",
                   help="the table: a .csv file or a .parquet directory (of part files)")
    b.add_argument("--knockouts", nargs="?", const=True, type=_reaction_list,
                   metavar="R1,R2,...",
                   help="analyse the one MODEL with each of its reactions deleted in turn "
                   "(or only those named; 'genes': each gene deleted in turn, with the "
                   "reactions its knockout disables); write it after MODEL or as "
                   "--knockouts=R1,R2")
    where = b.add_mutually_exclusive_group()
    where.add_argument("--scheduler", metavar="ADDRESS",
                       help="run on this Dask cluster (e.g. tcp://host:8786) instead of a "
                       "local one; the workers must see the model files")
    where.add_argument("--workers", type=_positive_int, metavar="N",
                       help="worker processes of the local cluster (default: one per CPU)")
    b.add_argument("--resume", action="store_true",
                   help="keep the rows TABLE already holds and run only the others")
    b.add_argument("--seed", type=_seed, default=0, metavar="N",
                   help="seed of every analysis (default: 0)")
    b.add_argument("--trials", type=_positive_int, default=2, metavar="N",
                   help="random trials for the sensitivity matrix (default: 2)")
    b.add_argument("--max-seconds", type=_budget, default=1800.0, metavar="S",
                   help="time budget of one row: an analysis that runs longer is stopped "
                   "and its row gets the error (default: 1800; 0: no limit)")
    b.add_argument("--max-memory", type=_budget, default=4.0, metavar="GB",
                   help="memory budget of one row, in GB of the worker's resident memory "
                   "(default: 4; 0: no limit)")
    b.add_argument("--signs", action="store_true",
                   help="add the response signs of each model or variant (the "
                   "response_signs column)")
    b.add_argument("-q", "--quiet", action="store_true",
                   help="no progress bar and no summary")


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
            _say(sys.stderr, f"{PROG}: {kept} rows kept in {args.out} (--resume continues)\n")
        raise
    except (OSError, ValueError, TypeError) as e:
        raise _Failure(str(e)) from None
    finally:
        if client is not None:
            client.close()
    if not args.quiet:
        failed = int((table["error"] != "").sum())
        _emit(printable(f"{PROG}: {len(table)} rows ({failed} failed) in "
                        f"{time.monotonic() - start:.1f} s, written to {args.out}") + "\n")
    return EXIT_OK


class _Progress:
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
                    _say(self.stream, f"\r{PROG}: {printable(step)}...{part} {elapsed:.0f} s")
                    _raw(self.stream, "\x1b[K")
                elif elapsed < self.delay + 0.5:
                    _say(self.stream, f"{PROG}: {step}...\n")
                elif share is not None and (reported is None or share >= reported + 0.25):
                    reported = share
                    _say(self.stream, f"{PROG}: {step}:{part} {elapsed:.0f} s so far\n")
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
                _say(self.stream, f"{PROG}: {step}: done in {elapsed:.1f} s\n")


def _raw(stream, control):
    """Write a terminal control sequence of our own (never model text)."""
    try:
        stream.write(control)
        stream.flush()
    except (OSError, ValueError, AttributeError):
        pass


def _bundled_model():
    return resources.files("quelmar").joinpath("data", BUNDLED_MODEL)


def _show_warning(message, category, filename, lineno, file=None, line=None):
    _say(sys.stderr, f"{PROG}: warning: {message}\n")


def _check_outputs(args, model):
    """Refuse unusable output paths before the (possibly long) analysis."""
    from .fileio import check_output

    named = [("--json", args.json if args.json != "-" else None), ("--diagram", args.diagram),
             ("--plot", args.plot), ("--html", args.html)]
    outputs = [(flag, p) for flag, p in named if p]
    seen = {}
    for flag, p in outputs:
        key = os.path.abspath(p)
        if key in seen:
            raise _Failure(f"{p}: given as both {seen[key]} and {flag}")
        seen[key] = flag
    outputs = [p for _, p in outputs]
    for path in outputs:
        try:
            check_output(path, [model])
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
        raise _OutputClosed(OSError(9, "closed"))  # found before the work, not after it
    progress = _Progress(sys.stderr, not args.quiet)
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
        _emit(result.to_json(genes=args.genes) + "\n")
    elif args.json:
        with progress(f"writing {args.json}"):
            text = result.to_json(genes=args.genes) + "\n"
            _write(args.json, lambda: write_atomic(args.json, text, inputs=[path]))
    if not result.defined:
        for flag, path_ in (("--diagram", args.diagram), ("--plot", args.plot)):
            if path_:
                _say(sys.stderr, printable(f"{PROG}: warning: {path_} not written ({flag}): "
                                           "the network is structurally singular, it has "
                                           "no buffering structures or sensitivity; try "
                                           "--prune") + "\n")
        args.diagram = args.plot = None
    drawn = args.diagram and os.path.splitext(args.diagram)[1].lower() not in (".dot", ".gv")
    if drawn:
        from .diagram import diagram_size
        boxes, edges = diagram_size(result)
        if boxes > DIAGRAM_STRUCTURES or edges > DIAGRAM_EDGES:
            _say(sys.stderr, printable(
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
        _emit(printable(result.report(full=args.full, genes=args.genes)) + "\n")
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
            _say(sys.stderr, f"{PROG}: error: {e}\n")
            return EXIT_FAILED
        except _OutputClosed as e:
            _silence_stdout()
            cause = e.args[0]
            if not isinstance(cause, BrokenPipeError):
                # the reader of a pipe that went away (`quelmar analyze | head`)
                # needs no message; a full disk does
                _say(sys.stderr, f"{PROG}: error: standard output: {_reason(cause)}\n")
            return EXIT_FAILED
    return EXIT_OK  # pragma: no cover


def _interrupted():
    _say(sys.stderr, f"\n{PROG}: interrupted\n")
    return EXIT_INTERRUPTED


@contextlib.contextmanager
def _interrupts():
    """Notice Ctrl-C even where a library turns the interrupt into an error.

    Yields a function that tells whether an interrupt arrived.  The
    handler is installed only in the main thread and only when Ctrl-C is
    not ignored (as it is for background jobs).
    """
    seen = []

    def handler(signum, frame):
        seen.append(signum)
        raise KeyboardInterrupt

    previous = None
    if threading.current_thread() is threading.main_thread():
        previous = signal.getsignal(signal.SIGINT)
        if previous is signal.default_int_handler:
            signal.signal(signal.SIGINT, handler)
        else:
            previous = None
    try:
        yield lambda: bool(seen)
    finally:
        if previous is not None:
            signal.signal(signal.SIGINT, previous)


def _silence_stdout():
    """Point standard output at the null device, so that the interpreter's
    final flush cannot fail again."""
    with contextlib.suppress(OSError, ValueError, AttributeError):
        null = os.open(os.devnull, os.O_WRONLY)
        os.dup2(null, sys.stdout.fileno())
        os.close(null)


if __name__ == "__main__":  # pragma: no cover
    sys.exit(main())
