"""The argument parser of the ``quelmar`` command.

:func:`build_parser` makes the parser of both subcommands (``analyze`` and
``batch``), with the checks of their arguments: whole numbers, seeds,
budgets, reaction lists and output paths whose format is known.  A usage
error exits with status 2.
"""

from __future__ import annotations

import argparse
import os
import sys

from .cli_console import EXIT_USAGE, PROG

#: the model analysed when no MODEL is given (see data/SOURCES.md)
BUNDLED_MODEL = "BIOMD0000000033_Brown2004.xml"


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


def _budget(text, unit=1.0):
    """A budget of seconds, or of GB (``unit`` 1e9 bytes): finite in its
    unit too."""
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a number, got {text!r}") from None
    if not 0 <= value < float("inf"):
        raise argparse.ArgumentTypeError(f"must be 0 (no limit) or more, got {text}")
    if value * unit == float("inf"):
        raise argparse.ArgumentTypeError(f"too large, got {text} (0 lifts the limit)")
    return value


def _gigabytes(text):
    return _budget(text, 1e9)


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
    b.add_argument("--max-memory", type=_gigabytes, default=4.0, metavar="GB",
                   help="memory budget of one row, in GB of the worker's resident memory "
                   "(default: 4; 0: no limit)")
    b.add_argument("--signs", action="store_true",
                   help="add the response signs of each model or variant (the "
                   "response_signs column)")
    b.add_argument("-q", "--quiet", action="store_true",
                   help="no progress bar and no summary")
