"""Benchmark cases and their measurement.

A benchmark module ``bench/bench_<area>.py`` exposes ``CASES``, a list of
:class:`Case`.  ``bench/run.py`` runs every case in a fresh interpreter of its
own (so peak memory never accumulates across cases, a crash or a hang costs
only that case, and a timeout can stop it), where :func:`measure` times it.

Measurement of one case (see :func:`measure`):

* ``setup()`` runs once, untimed; ``prepare(state)`` runs before every call,
  untimed (for example to build a fresh object that the call consumes); then
  NumPy's global generator is seeded with ``seed`` (unless it is ``None``) and
  ``func(arg)`` is timed with ``time.perf_counter``.
* The first call is measured on its own, for memory: the process's peak
  resident set (VmHWM) is reset just before it, so ``peak_mb`` is how far the
  resident set rose above its level at the start of the call.  The same call
  gives the time of a slow case (``slow=True``, or a first call of at least
  ``SLOW_SECONDS``), which then runs only once.
* Otherwise the call is repeated: each of ``repeats`` rounds (fewer when
  they would take more than ``ROUND_BUDGET_SECONDS``) times ``number``
  calls of the subject and then a number of calls of the baseline (each
  number chosen so that a round lasts at least ``MIN_ROUND_SECONDS``), so
  that subject and baseline see the same machine load.  ``seconds`` is the median
  over the rounds of the time per call divided by ``per`` (the number of
  operations one call makes, for example objective evaluations), and
  ``ratio`` is the median over the rounds of baseline time / subject time:
  above 1 the subject is faster.  A baseline that is slow enough that its
  rounds would take more than ``BASELINE_BUDGET_SECONDS`` gets fewer rounds.
* A cheap case (a call under ``TRACE_SECONDS``) runs once more under
  ``tracemalloc``, which sees the allocations of Python objects and NumPy
  arrays (not those of C++ ``new``): ``py_peak_mb``.
* ``check(state)`` (before the first call) and ``report(state)`` (after the
  last) may add notes, untimed.
"""

import dataclasses
import gc
import math
import os
import resource
import statistics
import time
import tracemalloc

import numpy as np

SLOW_SECONDS = 10.0
ROUND_BUDGET_SECONDS = 30.0
TRACE_SECONDS = 5.0
MIN_ROUND_SECONDS = 0.05
MAX_NUMBER = 100_000
BASELINE_BUDGET_SECONDS = 30.0

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)


def reference():
    """The NumPy model of the test suite (tests/reference.py), the baseline of
    most benchmarks."""
    import sys

    tests = os.path.join(ROOT, "tests")
    if tests not in sys.path:
        sys.path.insert(0, tests)
    import reference as ref

    return ref

# The cofactor path of the NumPy model (the baseline of ``_smat_``) is run only
# where its workspace fits this many GB (see cofactor_workspace_bytes).
COFACTOR_LIMIT_GB = 2.0

# Set by run.py from its options before it evaluates the skip conditions.
SETTINGS = {"quick": False, "big": False}


@dataclasses.dataclass
class Case:
    """One benchmark: a timed callable, optionally against a baseline.

    ``func`` and ``baseline`` take one argument, the state that ``prepare``
    (or else ``setup``) returned, ``None`` when there is neither.  ``params``
    is a dict of JSON-serialisable values that tells the case apart from the
    others of the same name.  ``skip`` is a reason string, or a function
    returning a reason or ``None`` (evaluated by the runner only for the
    cases that it is asked to run).  ``check(state)`` may return a note, for
    example when subject and baseline disagree; so may ``report(state)``,
    called after the timed calls (for example to count what the last call
    left in ``state``).  A case that is not worth its time by default gets
    ``skip=opt_in(reason)``: it runs only with ``--big``.
    """

    name: str
    params: dict
    func: object
    baseline: object = None
    setup: object = None
    prepare: object = None
    check: object = None
    report: object = None
    per: int = 1
    unit: str = ""
    seed: object = 0
    slow: bool = False
    quick: bool = False
    skip: object = None
    timeout: object = None
    note: str = ""

    def key(self):
        return "%s[%s]" % (self.name, format_params(self.params))


def format_params(params):
    return ", ".join("%s=%s" % (k, v) for k, v in params.items())


# ---------------------------------------------------------------------------
# Memory of the current process (Linux /proc; getrusage as the fallback).

def _status_kib(field):
    try:
        with open("/proc/self/status") as fh:
            for line in fh:
                if line.startswith(field + ":"):
                    return int(line.split()[1])
    except OSError:
        pass
    return None


def rss_mb():
    kib = _status_kib("VmRSS")
    return None if kib is None else kib / 1024.0


def peak_rss_mb():
    kib = _status_kib("VmHWM")
    if kib is None:
        kib = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    return kib / 1024.0


def reset_peak_rss():
    """Reset the peak resident set to the current one; False if unsupported."""
    try:
        with open("/proc/self/clear_refs", "w") as fh:
            fh.write("5")
        return True
    except OSError:
        return False


# ---------------------------------------------------------------------------

def _call(case, state, fn):
    arg = case.prepare(state) if case.prepare is not None else state
    if case.seed is not None:
        np.random.seed(case.seed)
    t0 = time.perf_counter()
    fn(arg)
    return time.perf_counter() - t0


def _calibrate(case, state, fn, first):
    """Calls per timing round, so that a round lasts about MIN_ROUND_SECONDS."""
    if first >= MIN_ROUND_SECONDS:
        return 1
    again = _call(case, state, fn)
    return int(min(MAX_NUMBER, max(1, math.ceil(MIN_ROUND_SECONDS / max(again, 1e-9)))))


def _rounds(case, state, fn, number):
    return sum(_call(case, state, fn) for _ in range(number))


def measure(case, repeats=5, trace=True):
    """Run ``case`` in this process and return its result record (a dict)."""
    notes = [case.note] if case.note else []
    state = case.setup() if case.setup is not None else None
    if case.check is not None:
        msg = case.check(state)
        if msg:
            notes.append(msg)

    # First call: memory and the slow-case timing.
    arg = case.prepare(state) if case.prepare is not None else state
    gc.collect()
    exact_peak = reset_peak_rss()
    base_rss = rss_mb() if exact_peak else peak_rss_mb()
    if case.seed is not None:
        np.random.seed(case.seed)
    t0 = time.perf_counter()
    case.func(arg)
    first = time.perf_counter() - t0
    peak_mb = max(0.0, peak_rss_mb() - base_rss)
    if not exact_peak:
        notes.append("peak RSS not resettable: peak_mb is a lower bound")
    del arg

    slow = case.slow or first >= SLOW_SECONDS
    if slow:
        seconds = first
        baseline_seconds = None
        ratio = None
        if case.baseline is not None:
            baseline_seconds = _call(case, state, case.baseline)
            ratio = baseline_seconds / first if first > 0 else None
        runs = "1"
    else:
        number = _calibrate(case, state, case.func, first)
        rounds = max(1, min(repeats, int(ROUND_BUDGET_SECONDS // max(first * number, 1e-9))))
        if case.baseline is not None:
            base_first = _call(case, state, case.baseline)
            number_base = _calibrate(case, state, case.baseline, base_first)
            # A slow baseline gets fewer rounds (for both sides alike).
            per_round = max(base_first * number_base, 1e-9)
            rounds = max(1, min(rounds, int(BASELINE_BUDGET_SECONDS // per_round)))
        subject, base = [], []
        for _ in range(rounds):
            subject.append(_rounds(case, state, case.func, number) / number)
            if case.baseline is not None:
                base.append(_rounds(case, state, case.baseline, number_base) / number_base)
        seconds = statistics.median(subject)
        baseline_seconds = statistics.median(base) if base else None
        ratio = (statistics.median(b / s for b, s in zip(base, subject))
                 if base and min(subject) > 0 else None)
        runs = "%dx%d" % (len(subject), number)
        if case.baseline is not None and number_base != number:
            runs += "/%d" % number_base

    py_peak_mb = None
    if trace and first < TRACE_SECONDS:
        arg = case.prepare(state) if case.prepare is not None else state
        gc.collect()
        tracemalloc.start()
        try:
            if case.seed is not None:
                np.random.seed(case.seed)
            case.func(arg)
            py_peak_mb = tracemalloc.get_traced_memory()[1] / 2.0**20
        finally:
            tracemalloc.stop()
        del arg

    if case.report is not None:
        msg = case.report(state)
        if msg:
            notes.append(msg)

    per = max(1, case.per)
    record = {
        "name": case.name,
        "params": case.params,
        "seconds": seconds / per,
        "peak_mb": round(peak_mb, 3),
        "baseline_seconds": None if baseline_seconds is None else baseline_seconds / per,
        "ratio": ratio,
        "status": "ok",
        "runs": runs,
        "unit": case.unit or "call",
        "rate": (per / seconds) if seconds > 0 else None,
        "py_peak_mb": None if py_peak_mb is None else round(py_peak_mb, 3),
        "note": "; ".join(notes),
    }
    return finite(record)


def finite(value):
    """``value`` with every non-finite float replaced by None (valid JSON)."""
    if isinstance(value, float) and not math.isfinite(value):
        return None
    if isinstance(value, dict):
        return {k: finite(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [finite(v) for v in value]
    return value


# ---------------------------------------------------------------------------
# Sizes of the real networks, cached in bench/out/ (loading iJO1366 and
# taking its rank costs seconds, and every case process imports the modules).

SIZES_CACHE = os.path.join(HERE, "out", "network_sizes.json")


def network_sizes(key):
    """``{"m", "n", "rank", "L"}`` of a network; L is the order of its A-matrix."""
    import json

    from networks import network_path, network_sizes as compute

    path = network_path(key)
    st = os.stat(path)
    stamp = [st.st_size, int(st.st_mtime)]
    try:
        with open(SIZES_CACHE) as fh:
            cache = json.load(fh)
    except (OSError, ValueError):
        cache = {}
    entry = cache.get(key)
    if entry is None or entry.get("stamp") != stamp:
        m, n, rank = compute(key)
        entry = {"stamp": stamp, "m": m, "n": n, "rank": rank, "L": m + n - rank}
        cache[key] = entry
        try:
            os.makedirs(os.path.dirname(SIZES_CACHE), exist_ok=True)
            tmp = SIZES_CACHE + ".%d" % os.getpid()
            with open(tmp, "w") as fh:
                json.dump(cache, fh, indent=1, sort_keys=True)
            os.replace(tmp, SIZES_CACHE)
        except OSError:
            pass
    return {k: entry[k] for k in ("m", "n", "rank", "L")}


def cofactor_workspace_bytes(L):
    """Bytes of the cofactor path of ``_smat_`` at A-matrix order L.

    The NumPy model of ``tests/reference.py`` holds all L^2 minors of order
    L - 1 at once: L^2 (L-1)^2 doubles (784 MB at L = 100).
    """
    return 8 * L * L * (L - 1) * (L - 1)


def cofactor_fits(L):
    """Whether the cofactor path fits COFACTOR_LIMIT_GB at A-matrix order L."""
    return cofactor_workspace_bytes(L) <= COFACTOR_LIMIT_GB * 2.0**30


def opt_in(reason):
    """A ``skip`` for a case that runs only with ``--big``."""
    def skip():
        if SETTINGS["big"]:
            return None
        return "opt-in (--big): " + reason
    return skip
