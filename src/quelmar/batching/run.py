"""Many analyses at once, on a Dask cluster: :func:`batch`.

Each model is one Dask task that loads the network, measures its
structural regularity and runs :func:`quelmar.analyze` with the given seed,
so every row is exactly the single-model analysis of the same seed.  The
single-reaction deletions of a knockout scan run several to a task (see
:data:`CHUNK`; the groups shrink towards the end of the scan), and the
workers of one machine decide a determinant sign that their variants
share only once (:mod:`quelmar.batching.memo`), with the same answer and
the same random draws, so their rows too are exactly their analyses
alone.  A task never raises: a model that
cannot be loaded or analysed gives a row whose ``error`` says why in one
line.

The table (see :data:`COLUMNS`) streams to ``out`` as rows finish:

* ``*.csv``: one file, a line appended per row;
* ``*.parquet``: a directory of part files (``part-00000.parquet``, ...),
  one table for ``pandas.read_parquet``.  Finished rows go first to the
  journal ``_pending.jsonl`` in that directory and are moved into a part
  file every few seconds (each part is written under a temporary name and
  then renamed), so a killed batch loses no finished row.

With ``resume=True`` the rows already in ``out`` are kept and not run again.

Dask, pandas and pyarrow are the ``batch`` extra (``pip install
'quelmar[batch]'``); they are imported only when a batch runs.  The tasks
are planned in :mod:`quelmar.batching.plan`.
"""

from __future__ import annotations

import json
import os
import shutil
import sys
import threading
import time
import warnings
from collections.abc import Iterable
from typing import TYPE_CHECKING, Any

import numpy as np

from ..fileio import same_file
from ..words import unicode_text
from .budget import MAX_MEMORY, MAX_SECONDS, Budget, checked_limit
from .memo import signs_directory
from .plan import (
    MODEL_SUFFIXES,
    Task,
    label,
    model_files,
    network_task,
    one_line,
    plan_tasks,
)
from .tables import (
    COLUMNS,
    latest_rows,
    open_table,
    require_extra,
    rows_frame,
    table_format,
)

if TYPE_CHECKING:  # pragma: no cover
    import pandas

    from ..loaders import NetworkSource

__all__ = ["MODEL_SUFFIXES", "batch", "model_files"]

# Analyses in one process take turns: each seeds and draws from NumPy's
# process-wide generator, so two at once in threads would mix their draws.
_PROCESS_LOCK = threading.Lock()


# --------------------------------------------------------------------------
# One task (runs on a worker)
# --------------------------------------------------------------------------


def _variant(arrays: tuple, removes: tuple[str, ...]):
    """The network of ``arrays`` without the reactions ``removes``."""
    from ..cyquelmar import CRN

    stoi, reginfo, species, reactions, name = arrays
    gone = [reactions.index(r) for r in removes]
    return CRN(np.delete(stoi, gone, axis=1), np.delete(reginfo, gone, axis=1),
               list(species), [r for r in reactions if r not in set(removes)], name)


def _empty_row(task: Task, seed: int, trials: int) -> dict:
    row = {c: None for c in COLUMNS}
    source, knockout = task.ident
    row.update(name=task.name, source=source, knockout=knockout,
               structures="", signs="", response_signs="", lost="", gained="",
               warnings="[]", error="",
               seed=seed, trials=trials)
    return row


def sign_strings(result: Any) -> str:
    """The response signs of ``result`` as the batch table holds them (see
    :data:`COLUMNS`)."""
    from ..signs import sign_codes

    chars = np.array(list(".+-~"))[sign_codes(result.signs)]
    return json.dumps({"species": list(result.species), "reactions": list(result.reactions),
                       "rows": ["".join(row) for row in chars]})


def _analyse_task(task: Task, seed: int, trials: int, network: tuple | None = None,
                  budget: tuple[float | None, float | None] = (None, None),
                  shared: bool = False, signs: bool = False,
                  directory: str | None = None) -> dict:
    """The row of one model or variant; never raises for a bad model.
    ``shared``: decide the determinant signs of the diagnosis once per
    worker, and once per machine through ``directory`` when given (see
    :func:`quelmar.batching.memo.shared_signs`); ``signs``: also the
    response signs."""
    from .. import preparation
    from ..analysis import analyze
    from ..loaders import load
    from ..words import sign_name
    from .memo import shared_work

    row = _empty_row(task, seed, trials)
    with _PROCESS_LOCK, shared_work(signs=shared, directory=directory):
        start = time.perf_counter()
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            try:
                if task.path is not None:
                    crn = load(task.path)
                else:
                    crn = _variant(task.arrays if network is None else network,
                                   task.removes)
                row["name"] = label(crn.name) or task.name
                row["species"], row["reactions"] = (int(k) for k in crn.stoi.shape)
                reg = preparation.regularity(crn)  # measured once (see shared_work)
                row["regular"] = bool(reg.is_regular)
                row["order"], row["structural_rank"] = int(reg.order), int(reg.structural_rank)
                result = analyze(crn, trials=trials, seed=seed, progress=Budget(*budget),
                                 signs=signs)
                if result.sensitivity is not None:  # undefined for a singular network
                    row["n_structures"] = len(result.structures)
                    row["structures"] = json.dumps(
                        [[s.species, s.reactions] for s in result.structures])
                    if signs:
                        row["response_signs"] = sign_strings(result)
                    if result.diagnosis_skipped is None:
                        row["signs"] = json.dumps([sign_name(r["sign_det"])
                                                   for r in result.diagnosis])
                    else:
                        warnings.warn(result.diagnosis_skipped, stacklevel=1)
            except Exception as e:  # noqa: BLE001 - the row reports it
                row["error"] = one_line(f"{type(e).__name__}: {e}") or type(e).__name__
        row["warnings"] = json.dumps([one_line(w.message) for w in caught])
        row["seconds"] = time.perf_counter() - start
    return row


def _analyse_tasks(tasks: list[Task], seed: int, trials: int, network: tuple | None = None,
                   budget: tuple[float | None, float | None] = (None, None),
                   signs: bool = False, directory: str | None = None) -> list[dict]:
    """The rows of several variants of one network, in one task (see
    :func:`_analyse_task`); the determinant signs they share are decided
    once per worker, and once per machine through ``directory`` (see
    :func:`quelmar.batching.memo.shared_signs`)."""
    return [_analyse_task(t, seed, trials, network, budget, True, signs, directory)
            for t in tasks]


def _chunks(todo: list[Task], workers: int) -> list[list[Task]]:
    """``todo`` in consecutive groups of at most :data:`CHUNK` tasks, each
    at most a third of what is left per worker: the groups shrink to single
    tasks towards the end, so that the workers finish together, and a
    stopped batch loses little."""
    groups, start, workers = [], 0, max(1, workers)
    while start < len(todo):
        size = max(1, min(CHUNK, -(-(len(todo) - start) // (3 * workers))))
        groups.append(todo[start:start + size])
        start += size
    return groups


#: Most variants of a knockout scan in one Dask task.
CHUNK = 8


def _compare(base: dict, row: dict, removes: tuple[str, ...]) -> bool:
    """Fill in how the variant's structures differ from the network's
    (``removes``: the reactions the variant lacks); true when it did.
    Never raises: a comparison that fails is the row's error.  Nothing is
    compared when either has no structures (a failed or singular network or
    variant: its row says so)."""
    if base["error"] or row["error"] or not base["structures"] or not row["structures"]:
        return False
    try:
        _compare_structures(base, row, removes)
    except Exception as e:  # noqa: BLE001 - the row reports it
        row["kept"], row["lost"], row["gained"] = None, "", ""
        row["error"] = one_line(f"comparison with the network failed: "
                                 f"{type(e).__name__}: {e}")
    return True


def _compare_structures(base: dict, row: dict, removes: tuple[str, ...]) -> None:
    def names(items):
        return frozenset(unicode_text(x) for x in items)

    gone = names(removes)
    before = [(names(s), names(r) - gone) for s, r in json.loads(base["structures"])]
    after = [(names(s), names(r)) for s, r in json.loads(row["structures"])]
    after_set, before_set = set(after), set(before)
    row["kept"] = sum(b in after_set for b in before)
    row["lost"] = json.dumps([f"B{k}" for k, b in enumerate(before, 1) if b not in after_set])
    row["gained"] = json.dumps([f"B{k}" for k, a in enumerate(after, 1)
                                if a not in before_set])


# --------------------------------------------------------------------------
# The batch
# --------------------------------------------------------------------------


def _show_progress(futures: list) -> threading.Thread:
    from distributed import progress

    def run():
        try:
            progress(futures, multi=False)
        except Exception:  # noqa: BLE001 - the bar is only a display
            pass

    thread = threading.Thread(target=run, name="quelmar-batch-progress", daemon=True)
    thread.start()
    return thread


def batch(models: NetworkSource | Iterable[NetworkSource], *, trials: int = 2, seed: int = 0,
          knockouts: bool | str | Iterable[str] | None = None, client: Any = None,
          workers: int | None = None, out: str | os.PathLike | None = None,
          resume: bool = False, progress: bool | None = None,
          max_seconds: float | None = MAX_SECONDS,
          max_memory: float | None = MAX_MEMORY,
          signs: bool = False) -> pandas.DataFrame:
    """Analyse many models, or every single-reaction deletion of one, on Dask.

    ``models``: model files (any format :func:`quelmar.load` reads),
    directories (their model files, see :data:`MODEL_SUFFIXES`),
    :class:`~quelmar.cyquelmar.CRN` objects and model objects (cobrapy,
    libsbml, roadrunner; read here, see :func:`quelmar.loaders.as_network`).  ``trials`` and ``seed`` are
    those of :func:`quelmar.analyze`; every task seeds NumPy's generator
    with the same ``seed``, so each row equals the analysis of that model
    alone with that seed.

    ``knockouts``: ``True`` (or ``"all"``) for every reaction of the one
    model given, or the names of the reactions to delete one at a time, or
    ``"genes"`` for every single-gene deletion: each gene's row (its id in
    ``knockout``) analyses the network without the reactions its knockout
    disables (see :meth:`quelmar.result.Analysis.gene_responses`), which may
    be none.
    The first row is then the network as given; each variant's row says
    which of its structures ``kept``, ``lost`` (ids of the network's
    structures that are not found, with the deleted reaction left out, in
    the variant) and ``gained`` (ids of the variant's structures that the
    network does not have).

    ``client``: a ``distributed.Client`` to run on; by default a local
    cluster of ``workers`` processes (default: the number of CPUs) is
    started and closed again.  The model files must be readable by the
    workers under the same paths.

    ``out``: a ``.csv`` file or a ``.parquet`` directory that receives each
    row as it finishes; it must not exist unless ``resume`` is true, in
    which case the rows it holds are kept and not computed again.

    ``progress``: show Dask's progress bar (default: when standard output
    is a terminal).

    ``max_seconds`` and ``max_memory``: the budget of one row, by default
    :data:`MAX_SECONDS` (half an hour) and :data:`MAX_MEMORY` (4 GB of the
    worker's resident memory).  An analysis over it is stopped at its next
    report of progress (several a second in the search, the hierarchy and
    the diagnosis) and its row gets the error ("TimeoutError: ..." or
    "MemoryError: ..."), so one model that takes too long does not stall
    the batch.  None (or 0) lifts a limit.

    ``signs``: also decide the response signs of each model or variant
    (``analyze(..., signs=True)``) into the ``response_signs`` column.

    Returns the table as a pandas DataFrame, one row per model or variant
    in the order given (see :data:`COLUMNS`).  Ctrl-C cancels the tasks;
    the rows finished so far stay in ``out``.
    """
    require_extra()
    trials = int(trials)
    if trials < 1:
        raise ValueError("trials must be at least 1")
    if isinstance(seed, bool) or not isinstance(seed, (int, np.integer)) \
            or not 0 <= seed < 2**32:
        raise ValueError(f"seed must be a whole number from 0 to 2**32 - 1, not {seed!r}")
    seed = int(seed)
    if workers is not None and (int(workers) < 1 or client is not None):
        raise ValueError("workers is a number of local processes, at least 1, "
                         "and only without a client")
    budget = (checked_limit(max_seconds, "max_seconds"), checked_limit(max_memory, "max_memory"))
    if out is not None:
        table_format(out)
    tasks, network = plan_tasks(models, knockouts)
    if out is not None:
        inputs = {t.path for t in tasks} | {network if isinstance(network, str) else None}
        for p in inputs - {None}:
            if same_file(out, p):
                raise ValueError(f"{os.fspath(out)}: is the model {p}; the table needs "
                                 "another --out")

    table = open_table(out, resume) if out is not None else None
    done: dict[tuple[str, str], dict] = {}
    try:
        if table is not None:
            for r in table.rows:
                if (r["seed"], r["trials"]) != (seed, trials):
                    raise ValueError(f"{out}: holds rows of seed {r['seed']} and "
                                     f"{r['trials']} trials, not {seed} and {trials}")
            wanted = {t.ident for t in tasks}
            done = {k: r for k, r in latest_rows(table.rows).items() if k in wanted
                    # a row without the signs asked for is computed again, and
                    # so is one whose task never ran to its end (a lost
                    # worker, a cancelled task: an error, and no time taken)
                    and not (signs and r["n_structures"] is not None
                             and not r["response_signs"])
                    and not (r["error"] and r["seconds"] is None)}
        todo = [t for t in tasks if t.ident not in done]
        if todo:
            _run(todo, network, done, table, seed, trials, client, workers, progress,
                 budget, signs)
        base = done.get(tasks[0].ident) if network is not None else None
        for t in tasks[1:] if base is not None else ():
            row = done[t.ident]  # an interrupted batch may have kept it uncompared
            if row["kept"] is None and _compare(base, row, t.removes) and table is not None:
                table.add(row)  # the later copy of a row wins
    finally:
        if table is not None:
            table.close()
    return rows_frame([done[t.ident] for t in tasks])


def _local_cluster(workers: int):
    """A local Dask cluster of ``workers`` single-threaded processes, quiet,
    without a dashboard, its scheduler's HTTP endpoint on a free port."""
    import logging

    import dask
    from distributed import LocalCluster

    # The workers' own profiler samples their task's stack every 10 ms,
    # which slows an analysis (Python-heavy minimisations) by a quarter.  The
    # setting goes to each nanny as a key of its own: a nanny hands its
    # workers the configuration as it is when it starts one, so a worker
    # restarted after a crash would otherwise run with the profiler again.
    off = {"distributed.worker.profile.enabled": False}
    with dask.config.set(off):
        return LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                            dashboard_address=None,
                            scheduler_kwargs={"dashboard_address": ":0"},
                            silence_logs=logging.ERROR, config=off)


def _run(todo, network, done, table, seed, trials, client, workers, progress,
         budget=(None, None), signs=False) -> None:
    """Run ``todo`` on Dask, adding each row to ``done`` and ``table``."""
    from distributed import Client, as_completed

    cluster = None
    if client is None:
        n = int(workers) if workers is not None else (os.cpu_count() or 1)
        cluster = _local_cluster(max(1, min(n, len(todo))))
        client = Client(cluster)
    base_key = (todo[0].ident[0], "") if network is not None else None
    waiting = []  # variant rows that wait for the network's own row
    futures = []
    bar = None
    directory = None  # where the workers of this machine share their signs
    try:
        net_future = None
        if network is not None:
            directory = signs_directory()
            net_future = client.submit(network_task, network, pure=False)
        if network is None:
            groups = [[t] for t in todo]
        else:  # variants of one network: several per task
            groups = _chunks(todo, len(client.scheduler_info().get("workers", ())) or 1)
        for g in groups:
            futures.append(client.submit(_analyse_tasks, g, seed, trials, net_future, budget,
                                         signs, directory, pure=False))
        by_key = {f.key: g for f, g in zip(futures, groups)}
        if progress is None:
            progress = hasattr(sys.stdout, "isatty") and sys.stdout.isatty()
        if progress:
            bar = _show_progress(futures)
        for fut in as_completed(futures):
            group = by_key[fut.key]
            try:
                rows = fut.result()
            except Exception as e:  # noqa: BLE001 - lost workers, cancelled tasks
                rows = []
                for task in group:
                    row = _empty_row(task, seed, trials)
                    row["error"] = one_line(f"{type(e).__name__}: {e}") or type(e).__name__
                    rows.append(row)
            fut.release()
            for row, task in zip(rows, group):
                if base_key is not None and row["knockout"]:
                    if base_key not in done:
                        waiting.append((row, task))
                        continue
                    _compare(done[base_key], row, task.removes)
                _finish(row, done, table)
                if base_key is not None and not row["knockout"]:
                    for w, wt in waiting:
                        _compare(row, w, wt.removes)
                        _finish(w, done, table)
                    waiting = []
        if bar is not None:
            bar.join(2.0)
    except BaseException:
        client.cancel(futures)
        for w, _ in waiting:  # finished: keep them, without the comparison
            _finish(w, done, table)
        raise
    finally:
        if cluster is not None:
            client.close()
            cluster.close()
        if directory is not None:
            shutil.rmtree(directory, ignore_errors=True)


def _finish(row: dict, done: dict, table) -> None:
    done[(row["source"], row["knockout"])] = row
    if table is not None:
        table.add(row)
