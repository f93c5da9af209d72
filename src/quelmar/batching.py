"""Many analyses at once, on a Dask cluster: :func:`batch`.

Each model (or each single-reaction deletion of a model) is one Dask task
that loads the network, measures its structural regularity and runs
:func:`quelmar.analyze` with the given seed, so every row is exactly the
single-model analysis of the same seed.  A task never raises: a model that
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
'quelmar[batch]'``); they are imported only when a batch runs.
"""

from __future__ import annotations

import csv
import io
import json
import math
import os
import sys
import threading
import time
import warnings
from collections.abc import Iterable, Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

import numpy as np

if TYPE_CHECKING:  # pragma: no cover
    import pandas

__all__ = ["COLUMNS", "MODEL_SUFFIXES", "batch", "model_files", "read_table"]

#: The columns of the table, with their types: "str" (empty when not
#: applicable), "int" and "bool" (missing when unknown), "float".
COLUMNS: dict[str, str] = {
    "name": "str",            # the network's name
    "source": "str",          # absolute path of the model file, or "<object K>"
    "knockout": "str",        # the deleted reaction ("" for the network as given)
    "species": "int",
    "reactions": "int",
    "order": "int",           # order of the A-matrix
    "structural_rank": "int",  # of the A-matrix
    "regular": "bool",        # A is structurally non-singular
    "n_structures": "int",    # isolated buffering structures (none when not regular)
    "structures": "str",      # JSON: [[[species...], [reactions...]], ...], smallest first
    "signs": "str",           # JSON: determinant signs of the indicator diagnosis, in order
    "kept": "int",            # knockouts: structures of the network that remain
    "lost": "str",            # knockouts: JSON ids (B1, ...) of the network's lost structures
    "gained": "str",          # knockouts: JSON ids of the variant's new structures
    "warnings": "str",        # JSON list of the warnings raised on the way
    "error": "str",           # one line; "" when the analysis succeeded
    "seconds": "float",       # loading, regularity and analysis
    "seed": "int",
    "trials": "int",
}

#: File names that a directory given as a model contributes (each optionally
#: gzipped).  ``.txt`` Antimony files count only when named one by one.
MODEL_SUFFIXES = (".xml", ".sbml", ".json", ".ant", ".antimony")

EXTRA_HINT = "pip install 'quelmar[batch]'"

# Analyses in one process take turns: each seeds and draws from NumPy's
# process-wide generator, so two at once in threads would mix their draws.
_PROCESS_LOCK = threading.Lock()


# --------------------------------------------------------------------------
# What to run
# --------------------------------------------------------------------------


@dataclass(frozen=True)
class _Task:
    index: int           # position of the row in the returned table
    name: str
    source: str
    knockout: str        # "" for the network as given
    path: str | None     # model file, or None for a network given as arrays
    arrays: tuple | None  # (stoi, reginfo, species, reactions, name)

    @property
    def ident(self) -> tuple[str, str]:
        return (self.source, self.knockout)


def model_files(paths: Iterable[str | os.PathLike]) -> list[str]:
    """Model files named by ``paths``: files as given, directories expanded
    to the model files directly inside them (sorted by name).

    Raises ``FileNotFoundError`` for a path that does not exist and
    ``ValueError`` when a directory holds no model file.
    """
    out = []
    for p in paths:
        p = os.fspath(p)
        if os.path.isdir(p):
            found = sorted(os.path.join(p, f) for f in os.listdir(p)
                           if _is_model_name(f) and os.path.isfile(os.path.join(p, f)))
            if not found:
                raise ValueError(f"{p}: no model files in this directory (expected "
                                 + ", ".join(MODEL_SUFFIXES) + ", optionally .gz)")
            out.extend(found)
        elif os.path.exists(p):
            out.append(p)
        else:
            raise FileNotFoundError(f"{p}: no such file or directory")
    return out


def _is_model_name(name: str) -> bool:
    low = name.lower()
    if low.startswith("."):
        return False
    if low.endswith(".gz"):
        low = low[:-3]
    return low.endswith(MODEL_SUFFIXES)


def _arrays_of(crn) -> tuple:
    return (np.array(crn.stoi, dtype=float), np.array(crn.reginfo, dtype=float),
            [str(s) for s in crn.X_names], [str(r) for r in crn.R_names], crn.name)


def _plan(models, knockouts) -> tuple[list[_Task], Any]:
    """The tasks, and for a knockout scan what gives the scanned network
    (its file, or its arrays)."""
    from .cyquelmar import CRN

    if isinstance(models, (str, os.PathLike, CRN)):
        models = [models]
    flat = []  # (name, source, path, arrays), directories expanded in their place
    for k, m in enumerate(models):
        if isinstance(m, CRN):
            flat.append((_label(m.name), f"<object {k}>", None, _arrays_of(m)))
        elif isinstance(m, (str, os.PathLike)):
            for f in model_files([m]):
                f = os.path.abspath(f)
                flat.append((_file_label(f), f, f, None))
        else:
            raise TypeError(f"a model is a file, a directory or a CRN, "
                            f"not {type(m).__name__}")
    if not flat:
        raise ValueError("no models to analyse")
    seen = set()
    for _, source, _, _ in flat:
        if source in seen:
            raise ValueError(f"{source}: the same model is given twice")
        seen.add(source)

    if knockouts is None or knockouts is False:
        tasks = [_Task(i, name, source, "", path, arrays)
                 for i, (name, source, path, arrays) in enumerate(flat)]
        return tasks, None
    if len(flat) != 1:
        raise ValueError(f"knockouts need exactly one model, got {len(flat)}")
    name, source, path, arrays = flat[0]
    spec = path if arrays is None else arrays
    if arrays is None:
        arrays = _network_task(path)
        name = _label(arrays[4])
    reactions = arrays[3]
    if knockouts is True or knockouts == "all":
        chosen = list(reactions)
    else:
        if isinstance(knockouts, str):
            knockouts = [knockouts]
        chosen = [str(r) for r in knockouts]
        unknown = [r for r in chosen if r not in reactions]
        if unknown:
            raise ValueError(f"{source}: no reaction named " + ", ".join(map(repr, unknown)))
        if len(set(chosen)) != len(chosen):
            raise ValueError("a reaction is named twice in the knockouts")
    tasks = [_Task(0, name, source, "", None, None)]
    tasks += [_Task(k, name, source, r, None, None) for k, r in enumerate(chosen, 1)]
    return tasks, spec


def _label(name: Any) -> str:
    return "" if name is None else _one_line(name)


def _file_label(path: str) -> str:
    base = os.path.basename(path)
    for ext in (".gz", ".network.json", ".xml", ".sbml", ".json", ".ant", ".antimony",
                ".txt"):
        if base.lower().endswith(ext):
            base = base[: -len(ext)]
    return base


# --------------------------------------------------------------------------
# One task (runs on a worker)
# --------------------------------------------------------------------------


def _one_line(text: str) -> str:
    return " ".join(str(text).split())


def _variant(arrays: tuple, knockout: str):
    from .cyquelmar import CRN

    stoi, reginfo, species, reactions, name = arrays
    if not knockout:
        return CRN(stoi.copy(), reginfo.copy(), list(species), list(reactions), name)
    j = reactions.index(knockout)
    return CRN(np.delete(stoi, j, axis=1), np.delete(reginfo, j, axis=1), list(species),
               reactions[:j] + reactions[j + 1:], name)


def _empty_row(task: _Task, seed: int, trials: int) -> dict:
    row = {c: None for c in COLUMNS}
    row.update(name=task.name, source=task.source, knockout=task.knockout,
               structures="", signs="", lost="", gained="", warnings="[]", error="",
               seed=seed, trials=trials)
    return row


def _analyse_task(task: _Task, seed: int, trials: int, network: tuple | None = None) -> dict:
    """The row of one model or variant; never raises for a bad model."""
    from .analysis import analyze, sign_name
    from .loaders import load
    from .preparation import regularity

    row = _empty_row(task, seed, trials)
    with _PROCESS_LOCK:
        start = time.perf_counter()
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            try:
                if task.path is not None:
                    crn = load(task.path)
                else:
                    crn = _variant(task.arrays if network is None else network,
                                   task.knockout)
                row["name"] = _label(crn.name) or task.name
                row["species"], row["reactions"] = (int(k) for k in crn.stoi.shape)
                reg = regularity(crn)
                row["regular"] = bool(reg.is_regular)
                row["order"], row["structural_rank"] = int(reg.order), int(reg.structural_rank)
                result = analyze(crn, trials=trials, seed=seed)
                if result.sensitivity is not None:  # undefined for a singular network
                    row["n_structures"] = len(result.structures)
                    row["structures"] = json.dumps(
                        [[s.species, s.reactions] for s in result.structures])
                    row["signs"] = json.dumps([sign_name(r["sign_det"])
                                               for r in result.diagnosis])
            except Exception as e:  # noqa: BLE001 - the row reports it
                row["error"] = _one_line(f"{type(e).__name__}: {e}") or type(e).__name__
        row["warnings"] = json.dumps([_one_line(w.message) for w in caught])
        row["seconds"] = time.perf_counter() - start
    return row


def _network_task(spec: str | tuple) -> tuple:
    """The network of a model file (or given as arrays), as arrays.  A task
    of its own, so that Dask can compute it again when the worker holding it
    is lost."""
    from .loaders import load

    if not isinstance(spec, str):
        return spec
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # the network's own row records them
        return _arrays_of(load(spec))


def _compare(base: dict, row: dict) -> None:
    """Fill in how the variant's structures differ from the network's."""
    if base["error"] or row["error"]:
        return
    gone = row["knockout"]
    before = [(frozenset(s), frozenset(r) - {gone}) for s, r in json.loads(base["structures"])]
    after = [(frozenset(s), frozenset(r)) for s, r in json.loads(row["structures"])]
    after_set, before_set = set(after), set(before)
    row["kept"] = sum(b in after_set for b in before)
    row["lost"] = json.dumps([f"B{k}" for k, b in enumerate(before, 1) if b not in after_set])
    row["gained"] = json.dumps([f"B{k}" for k, a in enumerate(after, 1)
                                if a not in before_set])


# --------------------------------------------------------------------------
# Tables
# --------------------------------------------------------------------------


def _table_format(out: str) -> str:
    low = os.fspath(out).lower().rstrip("/" + os.sep)
    if low.endswith(".csv"):
        return "csv"
    if low.endswith(".parquet"):
        return "parquet"
    raise ValueError(f"{out}: unknown table type; use .csv or .parquet")


def _typed(value: Any, kind: str) -> Any:
    """``value`` (as stored, or as text from a CSV file) in the column's type."""
    if kind == "str":
        return "" if value is None else str(value)
    if value is None or value == "" or (isinstance(value, float) and math.isnan(value)):
        return None
    if kind == "int":
        return int(value)
    if kind == "float":
        return float(value)
    if isinstance(value, str):
        if value not in ("True", "False"):
            raise ValueError(f"not a truth value: {value!r}")
        return value == "True"
    return bool(value)


def _frame(rows: Sequence[dict]) -> pandas.DataFrame:
    import pandas as pd

    dtypes = {"str": "object", "int": "Int64", "bool": "boolean", "float": "float64"}
    data = {c: pd.array([r[c] for r in rows], dtype=dtypes[k]) for c, k in COLUMNS.items()}
    return pd.DataFrame(data, columns=list(COLUMNS))


def _arrow_schema():
    import pyarrow as pa

    types = {"str": pa.string(), "int": pa.int64(), "bool": pa.bool_(),
             "float": pa.float64()}
    return pa.schema([(c, types[k]) for c, k in COLUMNS.items()])


class _CsvTable:
    """A CSV file that grows by one complete line per row."""

    def __init__(self, path: str, resume: bool):
        self.path = path
        self.rows = []
        recovered = self._recover() if resume and os.path.exists(path) else None
        if recovered is not None:
            self.rows = recovered
            self.fd = os.open(path, os.O_WRONLY | os.O_APPEND)
        else:
            flags = os.O_WRONLY | os.O_CREAT | os.O_APPEND | (0 if resume else os.O_EXCL)
            self.fd = os.open(path, flags, 0o666)
            self._write(list(COLUMNS))

    def _recover(self) -> list[dict]:
        with open(self.path, "rb") as f:
            data = f.read()
        end = data.rfind(b"\n") + 1
        if end == 0:  # killed before the header was written
            os.truncate(self.path, 0)
            return None
        rows = _parse_csv(self.path, data[:end])
        if end < len(data):  # a line cut short when the batch was killed
            os.truncate(self.path, end)
        return rows

    def _write(self, fields: list) -> None:
        buf = io.StringIO()
        csv.writer(buf, lineterminator="\n").writerow(
            ["" if v is None else repr(v) if isinstance(v, float) else v for v in fields])
        os.write(self.fd, buf.getvalue().encode("utf-8"))

    def add(self, row: dict) -> None:
        self._write([row[c] for c in COLUMNS])

    def flush(self) -> None:
        pass

    def close(self) -> None:
        if self.fd >= 0:
            os.close(self.fd)
            self.fd = -1


class _ParquetTable:
    """A directory of Parquet part files, fed through a journal of finished
    rows that :meth:`flush` moves into a new part."""

    JOURNAL = "_pending.jsonl"
    FLUSH_SECONDS = 60.0
    FLUSH_ROWS = 500

    def __init__(self, path: str, resume: bool):
        self.path = path
        if os.path.exists(path) and not resume:
            raise FileExistsError(f"{path}: already exists (resume it, or remove it first)")
        if os.path.exists(path) and not os.path.isdir(path):
            raise ValueError(f"{path}: not a table written by a batch (not a directory)")
        os.makedirs(path, exist_ok=True)
        self.journal = os.path.join(path, self.JOURNAL)
        self.pending = self._journal_rows()
        self.rows = self._read_parts() + self.pending
        self.fd = os.open(self.journal, os.O_WRONLY | os.O_CREAT | os.O_APPEND, 0o666)
        self.last = time.monotonic()
        self.flush()

    def _parts(self) -> list[str]:
        return sorted(f for f in os.listdir(self.path)
                      if f.startswith("part-") and f.endswith(".parquet"))

    def _read_parts(self) -> list[dict]:
        import pyarrow.parquet as pq

        rows = []
        for f in self._parts():
            table = pq.read_table(os.path.join(self.path, f))
            if table.schema.names != list(COLUMNS):
                raise ValueError(f"{self.path}: {f} is not a part written by a batch "
                                 "(other columns)")
            rows.extend({c: _typed(v, COLUMNS[c]) for c, v in r.items()}
                        for r in table.to_pylist())
        return rows

    def _journal_rows(self) -> list[dict]:
        if not os.path.exists(self.journal):
            return []
        with open(self.journal, "rb") as f:
            data = f.read()
        rows = []
        for line in data.split(b"\n")[:-1]:  # the last piece is empty or cut short
            row = json.loads(line)
            rows.append({c: _typed(row.get(c), k) for c, k in COLUMNS.items()})
        return rows

    def add(self, row: dict) -> None:
        os.write(self.fd, (json.dumps({c: row[c] for c in COLUMNS}) + "\n").encode("utf-8"))
        self.pending.append(row)
        if (len(self.pending) >= self.FLUSH_ROWS
                or time.monotonic() - self.last >= self.FLUSH_SECONDS):
            self.flush()

    def flush(self) -> None:
        import pyarrow as pa
        import pyarrow.parquet as pq

        self.last = time.monotonic()
        if not self.pending:
            return
        parts = self._parts()
        number = int(parts[-1][5:-8]) + 1 if parts else 0
        final = os.path.join(self.path, f"part-{number:05d}.parquet")
        temp = os.path.join(self.path, f".part-{number:05d}.parquet.tmp")
        table = pa.Table.from_pylist([{c: r[c] for c in COLUMNS} for r in self.pending],
                                     schema=_arrow_schema())
        pq.write_table(table, temp)
        os.replace(temp, final)
        # Were the process killed here, the journal would still hold rows that
        # are now in a part too; reading keeps the last copy of each row.
        os.ftruncate(self.fd, 0)
        self.pending = []

    def close(self) -> None:
        if self.fd >= 0:
            self.flush()
            os.close(self.fd)
            self.fd = -1
            os.unlink(self.journal)


def _open_table(out: str, resume: bool):
    out = os.fspath(out)
    if _table_format(out) == "csv":
        if os.path.exists(out) and not resume:
            raise FileExistsError(f"{out}: already exists (resume it, or remove it first)")
        return _CsvTable(out, resume)
    return _ParquetTable(out, resume)


def _latest(rows: Iterable[dict]) -> dict[tuple[str, str], dict]:
    return {(r["source"], r["knockout"]): r for r in rows}


def read_table(path: str | os.PathLike) -> pandas.DataFrame:
    """A table written by :func:`batch` (``.csv`` or ``.parquet``), as a
    DataFrame with the same column types as :func:`batch` returns, one row
    per model or variant in the order in which they finished."""
    _require_extra()
    path = os.fspath(path)
    if not os.path.exists(path):
        raise FileNotFoundError(f"{path}: no such file or directory")
    if _table_format(path) == "csv":
        with open(path, "rb") as f:
            data = f.read()
        rows = _parse_csv(path, data[:data.rfind(b"\n") + 1])
    else:
        table = _ParquetTable.__new__(_ParquetTable)
        table.path = path
        table.journal = os.path.join(path, _ParquetTable.JOURNAL)
        rows = table._read_parts() + table._journal_rows()
    return _frame(list(_latest(rows).values()))


def _parse_csv(path: str, data: bytes) -> list[dict]:
    reader = csv.reader(io.StringIO(data.decode("utf-8"), newline=""))
    header = next(reader, None)
    if header != list(COLUMNS):
        raise ValueError(f"{path}: not a table written by a batch (other columns)")
    rows = []
    for line in reader:
        if len(line) != len(COLUMNS):
            raise ValueError(f"{path}: line {reader.line_num} has {len(line)} "
                             f"fields instead of {len(COLUMNS)}")
        rows.append({c: _typed(v, k) for (c, k), v in zip(COLUMNS.items(), line)})
    return rows


# --------------------------------------------------------------------------
# The batch
# --------------------------------------------------------------------------


def _require_extra():
    try:
        import distributed  # noqa: F401
        import pandas  # noqa: F401
        import pyarrow  # noqa: F401
    except ImportError as e:
        raise ImportError(f"batch analysis needs {e.name}, which comes with the batch "
                          f"extra: {EXTRA_HINT}") from e


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


def batch(models: str | os.PathLike | Iterable[Any], *, trials: int = 2, seed: int = 0,
          knockouts: bool | str | Iterable[str] | None = None, client: Any = None,
          workers: int | None = None, out: str | os.PathLike | None = None,
          resume: bool = False, progress: bool | None = None) -> pandas.DataFrame:
    """Analyse many models, or every single-reaction deletion of one, on Dask.

    ``models``: model files (any format :func:`quelmar.load` reads),
    directories (their model files, see :data:`MODEL_SUFFIXES`) and
    :class:`~quelmar.cyquelmar.CRN` objects.  ``trials`` and ``seed`` are
    those of :func:`quelmar.analyze`; every task seeds NumPy's generator
    with the same ``seed``, so each row equals the analysis of that model
    alone with that seed.

    ``knockouts``: ``True`` (or ``"all"``) for every reaction of the one
    model given, or the names of the reactions to delete one at a time.
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

    Returns the table as a pandas DataFrame, one row per model or variant
    in the order given (see :data:`COLUMNS`).  Ctrl-C cancels the tasks;
    the rows finished so far stay in ``out``.
    """
    _require_extra()
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
    if out is not None:
        _table_format(out)
    tasks, network = _plan(models, knockouts)

    table = _open_table(out, resume) if out is not None else None
    done: dict[tuple[str, str], dict] = {}
    try:
        if table is not None:
            for r in table.rows:
                if (r["seed"], r["trials"]) != (seed, trials):
                    raise ValueError(f"{out}: holds rows of seed {r['seed']} and "
                                     f"{r['trials']} trials, not {seed} and {trials}")
            wanted = {t.ident for t in tasks}
            done = {k: r for k, r in _latest(table.rows).items() if k in wanted}
        todo = [t for t in tasks if t.ident not in done]
        if todo:
            _run(todo, network, done, table, seed, trials, client, workers, progress)
        base = done.get(tasks[0].ident) if network is not None else None
        for t in tasks[1:] if base is not None else ():
            row = done[t.ident]  # an interrupted batch may have kept it uncompared
            if row["kept"] is None and not row["error"] and not base["error"]:
                _compare(base, row)
                if table is not None:
                    table.add(row)  # the later copy of a row wins
    finally:
        if table is not None:
            table.close()
    return _frame([done[t.ident] for t in tasks])


def _local_cluster(workers: int):
    """A local Dask cluster of ``workers`` single-threaded processes, quiet,
    without a dashboard, its scheduler's HTTP endpoint on a free port."""
    import logging

    from distributed import LocalCluster

    return LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                        dashboard_address=None, scheduler_kwargs={"dashboard_address": ":0"},
                        silence_logs=logging.ERROR)


def _run(todo, network, done, table, seed, trials, client, workers, progress) -> None:
    """Run ``todo`` on Dask, adding each row to ``done`` and ``table``."""
    from distributed import Client, as_completed

    cluster = None
    if client is None:
        n = int(workers) if workers is not None else (os.cpu_count() or 1)
        cluster = _local_cluster(max(1, min(n, len(todo))))
        client = Client(cluster)
    base_key = (todo[0].source, "") if network is not None else None
    waiting = []  # variant rows that wait for the network's own row
    futures = []
    bar = None
    try:
        net_future = None
        if network is not None:
            net_future = client.submit(_network_task, network, pure=False)
        for t in todo:
            futures.append(client.submit(_analyse_task, t, seed, trials, net_future,
                                         pure=False))
        by_key = {f.key: t for f, t in zip(futures, todo)}
        if progress is None:
            progress = hasattr(sys.stdout, "isatty") and sys.stdout.isatty()
        if progress:
            bar = _show_progress(futures)
        for fut in as_completed(futures):
            task = by_key[fut.key]
            try:
                row = fut.result()
            except Exception as e:  # noqa: BLE001 - lost workers, cancelled tasks
                row = _empty_row(task, seed, trials)
                row["error"] = _one_line(f"{type(e).__name__}: {e}") or type(e).__name__
            fut.release()
            if base_key is not None and row["knockout"]:
                if base_key not in done:
                    waiting.append(row)
                    continue
                _compare(done[base_key], row)
            _finish(row, done, table)
            if base_key is not None and not row["knockout"]:
                for w in waiting:
                    _compare(row, w)
                    _finish(w, done, table)
                waiting = []
        if bar is not None:
            bar.join(2.0)
    except BaseException:
        client.cancel(futures)
        for w in waiting:  # finished: keep them, without the comparison
            _finish(w, done, table)
        raise
    finally:
        if cluster is not None:
            client.close()
            cluster.close()


def _finish(row: dict, done: dict, table) -> None:
    done[(row["source"], row["knockout"])] = row
    if table is not None:
        table.add(row)

