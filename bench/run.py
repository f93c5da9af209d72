#!/usr/bin/env python3
"""Run the quelmar benchmarks.

    python bench/run.py [name ...] [--json] [--quick] [--timeout S]
                        [--repeats N] [--big] [--list]

Benchmarks are the ``CASES`` of every ``bench/bench_*.py`` module (see
``harness.py``).  A ``name`` selects cases by module ("signdet" or
"bench_signdet"), by case name ("search._smat_"), or by a shell pattern on
"name[params]" ("*e_coli_core*"); without names every case runs.

Every case runs in a fresh interpreter of its own, so peak memory is that of
the case alone; a case that does not finish within ``--timeout`` seconds
(default 300) is stopped and reported as "timeout", a crash is reported with
its signal or exit status.  Cases that cannot run, and the opt-in cases that
are known not to finish within the timeout (they run only with ``--big``),
are reported as "skip" with the reason.

Output: a table on stdout (progress on stderr).  With ``--json``, one JSON
object per case and line instead, with the keys "name", "params", "seconds",
"peak_mb", "baseline_seconds", "ratio" and also "status" (ok, skip, timeout,
error, crash), "runs", "unit", "rate", "py_peak_mb" and "note".  ``--table
FILE`` prints the table of such a file.

"seconds" is the median time of one operation (one call, or one objective
evaluation where "unit" says so) over ``--repeats`` rounds, or the time of a
single run for slow cases (runs "1"); "ratio" is baseline time / subject time
measured in the same rounds (above 1: the subject is faster); "peak_mb" is
the rise of the process's peak resident set during the first call, and
"py_peak_mb" the peak that tracemalloc saw (Python objects and NumPy arrays).
"runs" is rounds x calls per round (/ calls per round of the baseline).

``--quick`` runs only the small cases, with fewer repeats (under two minutes).
"""

import argparse
import fnmatch
import glob
import importlib
import json
import os
import signal
import subprocess
import sys
import time
import traceback

HERE = os.path.dirname(os.path.abspath(__file__))
if HERE not in sys.path:
    sys.path.insert(0, HERE)

import harness  # noqa: E402

RESULT_TAG = "@@bench-result@@ "


def discover():
    """[(module name, module or exception)] for every bench/bench_*.py."""
    found = []
    for path in sorted(glob.glob(os.path.join(HERE, "bench_*.py"))):
        modname = os.path.splitext(os.path.basename(path))[0]
        try:
            found.append((modname, importlib.import_module(modname)))
        except Exception as exc:  # reported as a failed benchmark module
            found.append((modname, exc))
    return found


def selected(modname, case, names):
    if not names:
        return True
    short = modname[len("bench_"):]
    key = case.key()
    for pat in names:
        if pat in (modname, short, case.name, key):
            return True
        if case.name.startswith(pat + "."):
            return True
        if fnmatch.fnmatchcase(case.name, pat) or fnmatch.fnmatchcase(key, pat):
            return True
    return False


def empty_record(name, params, status, note):
    return {"name": name, "params": params, "seconds": None, "peak_mb": None,
            "baseline_seconds": None, "ratio": None, "status": status,
            "runs": "", "unit": "", "rate": None, "py_peak_mb": None, "note": note}


def signal_name(num):
    try:
        return signal.Signals(num).name
    except ValueError:
        return "signal %d" % num


def last_error_line(stderr):
    lines = [ln for ln in stderr.strip().splitlines() if ln.strip()]
    if not lines:
        return ""
    # The exception line of a traceback, or failing that the last line.
    for ln in reversed(lines):
        if not ln.startswith(" ") and not ln.startswith("Traceback"):
            return ln.strip()
    return lines[-1].strip()


def run_in_child(modname, index, case, args):
    cmd = [sys.executable, os.path.abspath(__file__), "--child", modname, str(index),
           "--repeats", str(args.repeats)]
    if args.no_trace:
        cmd.append("--no-trace")
    timeout = case.timeout if case.timeout is not None else args.timeout
    t0 = time.perf_counter()
    try:
        proc = subprocess.run(cmd, capture_output=True, text=True, timeout=timeout,
                              cwd=harness.ROOT)
    except subprocess.TimeoutExpired:
        return empty_record(case.name, case.params, "timeout",
                            "stopped after %g s" % timeout)
    wall = time.perf_counter() - t0
    for line in reversed(proc.stdout.splitlines()):
        if line.startswith(RESULT_TAG):
            record = json.loads(line[len(RESULT_TAG):])
            record["wall_seconds"] = round(wall, 3)
            return record
    if proc.returncode < 0:
        note = "crashed with %s" % signal_name(-proc.returncode)
        detail = last_error_line(proc.stderr)
        if detail:
            note += ": " + detail
        return empty_record(case.name, case.params, "crash", note)
    note = last_error_line(proc.stderr) or "exit status %d" % proc.returncode
    return empty_record(case.name, case.params, "error", note)


def child_main(modname, index, repeats, trace):
    module = importlib.import_module(modname)
    case = module.CASES[index]
    try:
        record = harness.measure(case, repeats=repeats, trace=trace)
    except Exception as exc:
        traceback.print_exc()
        record = empty_record(case.name, case.params, "error",
                              "%s: %s" % (type(exc).__name__, exc))
    sys.stdout.write(RESULT_TAG + json.dumps(record, allow_nan=False, default=str) + "\n")
    sys.stdout.flush()
    return 0


# ---------------------------------------------------------------------------
# Table

def fmt_seconds(s):
    if s is None:
        return "-"
    if s >= 100:
        return "%.0f" % s
    if s >= 1:
        return "%.2f" % s
    if s >= 1e-3:
        return "%.3gm" % (s * 1e3)
    if s >= 1e-6:
        return "%.3gu" % (s * 1e6)
    return "%.3gn" % (s * 1e9)


def fmt_num(x, fmt="%.1f"):
    return "-" if x is None else fmt % x


def fmt_rate(r, unit):
    if r is None:
        return "-"
    if r >= 1e6:
        text = "%.2fM" % (r / 1e6)
    elif r >= 1e3:
        text = "%.1fk" % (r / 1e3)
    else:
        text = "%.3g" % r
    return "%s %s/s" % (text, unit or "call")


def table(records):
    head = ["name", "params", "status", "seconds", "runs", "rate", "peak MB",
            "py MB", "baseline s", "ratio", "note"]
    rows = []
    for r in records:
        ok = r["status"] == "ok"
        rows.append([
            r["name"],
            harness.format_params(r["params"]),
            r["status"],
            fmt_seconds(r["seconds"]),
            r.get("runs", ""),
            fmt_rate(r.get("rate"), r.get("unit")) if ok else "-",
            fmt_num(r["peak_mb"]),
            fmt_num(r.get("py_peak_mb")),
            fmt_seconds(r["baseline_seconds"]),
            fmt_num(r["ratio"], "%.2fx"),
            r.get("note") or "",
        ])
    widths = [max(len(str(x)) for x in col) for col in zip(head, *rows)]
    widths[-1] = 0
    right = {3, 5, 6, 7, 8, 9}

    def line(cells):
        out = []
        for i, (c, w) in enumerate(zip(cells, widths)):
            c = str(c)
            out.append(c.rjust(w) if i in right else c.ljust(w))
        return "  ".join(out).rstrip()

    lines = [line(head), line(["-" * w for w in widths[:-1]] + ["----"])]
    lines += [line(r) for r in rows]
    return "\n".join(lines)


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0],
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("names", nargs="*", help="modules, case names or patterns to run")
    ap.add_argument("--json", action="store_true", help="one JSON object per line")
    ap.add_argument("--quick", action="store_true", help="small cases only, fewer repeats")
    ap.add_argument("--timeout", type=float, default=300.0,
                    help="seconds before a case is stopped (default 300)")
    ap.add_argument("--repeats", type=int, default=None,
                    help="timing rounds per case (default 5, 3 with --quick)")
    ap.add_argument("--big", action="store_true",
                    help="also run the opt-in cases (known to hit the timeout)")
    ap.add_argument("--no-trace", action="store_true", help="skip the tracemalloc run")
    ap.add_argument("--list", action="store_true", help="list the selected cases and exit")
    ap.add_argument("--table", metavar="FILE",
                    help="print the table of a file of --json output and exit")
    ap.add_argument("--child", nargs=2, metavar=("MODULE", "INDEX"), help=argparse.SUPPRESS)
    args = ap.parse_args(argv)
    if args.repeats is None:
        args.repeats = 3 if args.quick else 5

    if args.child:
        return child_main(args.child[0], int(args.child[1]), args.repeats, not args.no_trace)
    if args.table:
        with open(args.table) as fh:
            saved = [json.loads(line) for line in fh if line.strip().startswith("{")]
        print(table(saved))
        print()
        print(summary(saved))
        return 0

    harness.SETTINGS["big"] = args.big
    harness.SETTINGS["quick"] = args.quick

    todo = []
    records = []
    for modname, module in discover():
        if isinstance(module, Exception):
            if not args.names or any(p in (modname, modname[6:]) for p in args.names):
                records.append(empty_record(modname, {}, "error", "import failed: %s: %s"
                                            % (type(module).__name__, module)))
            continue
        for index, case in enumerate(module.CASES):
            if args.quick and not case.quick:
                continue
            if selected(modname, case, args.names):
                todo.append((modname, index, case))

    if args.list:
        for modname, index, case in todo:
            print("%-16s %s" % (modname, case.key()))
        return 0

    def emit(record):
        records.append(record)
        if args.json:
            print(json.dumps(record, allow_nan=False, default=str), flush=True)

    for rec in list(records):
        records.remove(rec)
        emit(rec)

    start = time.perf_counter()
    for i, (modname, index, case) in enumerate(todo, 1):
        label = case.key()
        reason = case.skip() if callable(case.skip) else case.skip
        if reason:
            record = empty_record(case.name, case.params, "skip", reason)
            sys.stderr.write("[%d/%d] %s ... skip\n" % (i, len(todo), label))
        else:
            sys.stderr.write("[%d/%d] %s ... " % (i, len(todo), label))
            sys.stderr.flush()
            record = run_in_child(modname, index, case, args)
            sys.stderr.write("%s %s\n" % (record["status"], fmt_seconds(record["seconds"])
                                          if record["status"] == "ok" else record["note"]))
        emit(record)
    total = time.perf_counter() - start

    if not args.json:
        print(table(records))
        print()
        print(summary(records, total))
    return 1 if any(r["status"] in ("error", "crash") for r in records) else 0


def summary(records, total=None):
    counts = {s: sum(r["status"] == s for r in records)
              for s in ("ok", "skip", "timeout", "error", "crash")}
    head = "%d cases" % len(records)
    if total is not None:
        head += " in %.1f s" % total
    lines = [head + ": " + ", ".join("%d %s" % (v, k) for k, v in counts.items())]
    for r in records:
        if r["status"] in ("timeout", "error", "crash"):
            lines.append("  %s %s[%s]: %s" % (r["status"], r["name"],
                                              harness.format_params(r["params"]), r["note"]))
    return "\n".join(lines)


if __name__ == "__main__":
    sys.exit(main())
