"""The tables a batch writes: their columns, and CSV files and Parquet
directories that grow by whole rows, so that a killed batch keeps what it
finished and a resumed one can read it back (:func:`read_table`)."""

from __future__ import annotations

import csv
import io
import json
import math
import os
import stat
import time
from collections.abc import Iterable, Sequence
from typing import TYPE_CHECKING, Any

from ..fileio import output_format, write_atomic
from ..words import unicode_text

if TYPE_CHECKING:  # pragma: no cover
    import pandas

__all__ = ["COLUMNS", "read_table"]

EXTRA_HINT = "pip install 'quelmar[batch]'"
TABLE_FORMATS = {".csv": "csv", ".parquet": "parquet"}


def require_extra():
    from ..extras import require
    for module in ("distributed", "pandas", "pyarrow"):
        require(module, "batch analysis")

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
    #                           ("" when it did not run: too large, see warnings)
    "response_signs": "str",  # with signs=True: JSON {"species", "reactions", "rows"}, one
    #                           string per species, a character per reaction: "+" rises
    #                           when its rate is raised, "-" falls, "~" either, "." none
    "kept": "int",            # knockouts: structures of the network that remain
    "lost": "str",            # knockouts: JSON ids (B1, ...) of the network's lost structures
    "gained": "str",          # knockouts: JSON ids of the variant's new structures
    "warnings": "str",        # JSON list of the warnings raised on the way
    "error": "str",           # one line; "" when the analysis succeeded
    "seconds": "float",       # loading, regularity and analysis
    "seed": "int",
    "trials": "int",
}


#: Columns that the tables of earlier versions lack.  Such a table is read
#: with them empty, and a batch that resumes it first writes it again with
#: every column, so that its rows and the new ones form one table.
LATER_COLUMNS: tuple[str, ...] = ("response_signs",)


def known_layout(names: Sequence[str]) -> bool:
    """True for the columns of a table of this version or an earlier one."""
    names = list(names)
    return (len(set(names)) == len(names)
            and names == [c for c in COLUMNS if c in names]
            and set(COLUMNS) - set(names) <= set(LATER_COLUMNS))


def table_format(out: str) -> str:
    # a Parquet table is a directory, which may be named with a final slash
    return output_format(os.fspath(out).rstrip("/" + os.sep), TABLE_FORMATS, "table",
                         ".csv or .parquet", quoted=False)


# A text cell that a spreadsheet would read as a formula gets a leading
# apostrophe (which spreadsheets hide), as does one that begins with an
# apostrophe already, so that reading the table removes exactly one.
_FORMULA_START = ("=", "+", "-", "@", "\t", "\r", "'")


def _cell(text: Any) -> Any:
    if isinstance(text, str):
        text = unicode_text(text)
        if text.startswith(_FORMULA_START):
            return "'" + text
    return text


def _uncell(text: str) -> str:
    return text[1:] if text.startswith("'") else text


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


def rows_frame(rows: Sequence[dict]) -> pandas.DataFrame:
    import pandas as pd

    dtypes = {"str": "object", "int": "Int64", "bool": "boolean", "float": "float64"}
    data = {c: pd.array([r[c] for r in rows], dtype=dtypes[k]) for c, k in COLUMNS.items()}
    return pd.DataFrame(data, columns=list(COLUMNS))


def _arrow_schema():
    import pyarrow as pa

    types = {"str": pa.string(), "int": pa.int64(), "bool": pa.bool_(),
             "float": pa.float64()}
    return pa.schema([(c, types[k]) for c, k in COLUMNS.items()])


HEADER = ",".join(COLUMNS).encode("ascii") + b"\n"


def _older_header(data: bytes) -> bytes | None:
    """The header of an earlier version's table that ``data`` begins with."""
    first = data[:data.find(b"\n") + 1]
    names = first[:-1].decode("ascii", "replace").split(",")
    return first if first and first != HEADER and known_layout(names) else None


def write_all(fd: int, data: bytes) -> None:
    """Write every byte of ``data``: a full disk may take part of it without
    an error, and the rest then raises (ENOSPC, EFBIG)."""
    view = memoryview(data)
    while view:
        view = view[os.write(fd, view):]


def regular_or_absent(path: str) -> bool:
    """True when ``path`` is a regular file, false when nothing is there;
    anything else (a directory, a FIFO, a device) is refused before it is
    opened, so that opening it cannot block."""
    try:
        mode = os.stat(path).st_mode
    except FileNotFoundError:
        return False
    if not stat.S_ISREG(mode):
        raise ValueError(f"{path}: not a regular file")
    return True


class CsvTable:
    """A CSV file that grows by one complete line per row."""

    def __init__(self, path: str, resume: bool):
        self.path = path
        self.rows = []
        self.fd = -1
        recovered = self._recover() if resume and regular_or_absent(path) else None
        if recovered is not None:
            self.rows = recovered
            self.fd = os.open(path, os.O_WRONLY | os.O_APPEND)
        else:
            flags = os.O_WRONLY | os.O_CREAT | os.O_APPEND | (0 if resume else os.O_EXCL)
            self.fd = os.open(path, flags, 0o666)
            self._write(list(COLUMNS))

    def _recover(self) -> list[dict] | None:
        """The rows of the table at ``path``, its last line cut short (by a
        kill) removed; None when it is empty or holds part of the header
        only.  Anything that does not begin with the header is refused
        untouched: it is not a table this command wrote."""
        with open(self.path, "rb") as f:
            data = f.read()
        older = _older_header(data)
        if not data.startswith(HEADER) and older is None:
            if HEADER.startswith(data):  # empty, or killed while writing the header
                os.truncate(self.path, 0)
                return None
            raise ValueError(f"{self.path}: not a table written by a batch (it does not "
                             "begin with the columns of one); give another --out")
        end = data.rfind(b"\n") + 1
        rows = _parse_csv(self.path, data[:end])
        if older is not None:  # written again with every column, then appended to
            buf = io.StringIO()
            writer = csv.writer(buf, lineterminator="\n")
            writer.writerow(list(COLUMNS))
            for row in rows:
                writer.writerow(self._fields(row))
            write_atomic(self.path, buf.getvalue())
        elif end < len(data):  # a line cut short when the batch was killed
            os.truncate(self.path, end)
        return rows

    @staticmethod
    def _fields(row: dict) -> list:
        return ["" if v is None else repr(v) if isinstance(v, float) else v
                for v in (_cell(row[c]) if k == "str" else row[c] for c, k in COLUMNS.items())]

    def _write(self, fields: list) -> None:
        buf = io.StringIO()
        csv.writer(buf, lineterminator="\n").writerow(fields)
        write_all(self.fd, buf.getvalue().encode("utf-8"))

    def add(self, row: dict) -> None:
        self._write(self._fields(row))

    def flush(self) -> None:
        pass

    def close(self) -> None:
        if self.fd >= 0:
            os.close(self.fd)
            self.fd = -1


class ParquetTable:
    """A directory of Parquet part files, fed through a journal of finished
    rows that :meth:`flush` moves into a new part."""

    JOURNAL = "_pending.jsonl"
    FLUSH_SECONDS = 60.0
    FLUSH_ROWS = 500

    def __init__(self, path: str, resume: bool):
        self.path = path
        if os.path.exists(path) and not resume:
            raise FileExistsError(f"{path}: already exists (resume it, or remove it first)")
        if os.path.exists(path):
            if not os.path.isdir(path):
                raise ValueError(f"{path}: not a table written by a batch (not a directory)")
            foreign = [f for f in os.listdir(path) if not self._ours(f)]
            if foreign:
                raise ValueError(f"{path}: not a table written by a batch (it holds "
                                 f"{foreign[0]!r}); give another --out")
        os.makedirs(path, exist_ok=True)
        self.journal = os.path.join(path, self.JOURNAL)
        if regular_or_absent(self.journal):
            self._clear_cut_line()
        self.pending = self._journal_rows()
        self.rows = self._read_parts(upgrade=True) + self.pending
        self.fd = os.open(self.journal, os.O_WRONLY | os.O_CREAT | os.O_APPEND, 0o666)
        self.last = time.monotonic()
        self.flush()

    @classmethod
    def _ours(cls, name: str) -> bool:
        return (name == cls.JOURNAL or (name.startswith("part-") and name.endswith(".parquet"))
                or (name.startswith(".part-") and name.endswith(".parquet.tmp")))

    def _clear_cut_line(self) -> None:
        """Remove the end of a journal line cut short by a kill, so that the
        next row starts a line of its own."""
        with open(self.journal, "rb") as f:
            data = f.read()
        end = data.rfind(b"\n") + 1
        if end < len(data):
            os.truncate(self.journal, end)

    def _parts(self) -> list[str]:
        return sorted(f for f in os.listdir(self.path)
                      if f.startswith("part-") and f.endswith(".parquet"))

    def _read_parts(self, upgrade: bool = False) -> list[dict]:
        """The rows of every part; with ``upgrade``, a part of an earlier
        layout is first written again with every column."""
        import pyarrow as pa
        import pyarrow.parquet as pq

        rows = []
        for f in self._parts():
            table = pq.read_table(os.path.join(self.path, f))
            if not known_layout(table.schema.names):
                raise ValueError(f"{self.path}: {f} is not a part written by a batch "
                                 "(other columns)")
            part = [{c: _typed(r.get(c), k) for c, k in COLUMNS.items()}
                    for r in table.to_pylist()]
            if upgrade and table.schema.names != list(COLUMNS):
                temp = os.path.join(self.path, f".{f}.tmp")
                pq.write_table(pa.Table.from_pylist(part, schema=_arrow_schema()), temp)
                os.replace(temp, os.path.join(self.path, f))
            rows.extend(part)
        return rows

    def _journal_rows(self) -> list[dict]:
        if not os.path.exists(self.journal):
            return []
        with open(self.journal, "rb") as f:
            data = f.read()
        rows = []
        for number, line in enumerate(data.split(b"\n")[:-1], 1):  # the last piece
            try:                                                # is empty or cut short
                row = json.loads(line)
            except ValueError:
                # A line cut short by a kill with the next row glued to it
                # (written before cut lines were cleared): both rows are
                # lost and run again.
                continue
            if not (isinstance(row, dict) and known_layout(list(row))
                    and isinstance(row["source"], str) and isinstance(row["knockout"], str)):
                raise ValueError(f"{self.journal}: line {number} is not a row written by a "
                                 "batch; give another --out")
            try:
                rows.append({c: _typed(row.get(c), k) for c, k in COLUMNS.items()})
            except (TypeError, ValueError) as e:
                raise ValueError(f"{self.journal}: line {number}: {e}") from None
        return rows

    def add(self, row: dict) -> None:
        row = {c: unicode_text(row[c]) if k == "str" and isinstance(row[c], str) else row[c]
               for c, k in COLUMNS.items()}
        write_all(self.fd, (json.dumps(row) + "\n").encode("utf-8"))
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


def open_table(out: str, resume: bool):
    out = os.fspath(out)
    if table_format(out) == "csv":
        if os.path.exists(out) and not resume:
            raise FileExistsError(f"{out}: already exists (resume it, or remove it first)")
        return CsvTable(out, resume)
    return ParquetTable(out, resume)


def latest_rows(rows: Iterable[dict]) -> dict[tuple[str, str], dict]:
    return {(r["source"], r["knockout"]): r for r in rows}


def read_table(path: str | os.PathLike) -> pandas.DataFrame:
    """A table written by :func:`batch` (``.csv`` or ``.parquet``), as a
    DataFrame with the same column types as :func:`batch` returns, one row
    per model or variant in the order in which they finished."""
    require_extra()
    path = os.fspath(path)
    if not os.path.exists(path):
        raise FileNotFoundError(f"{path}: no such file or directory")
    if table_format(path) == "csv":
        with open(path, "rb") as f:
            data = f.read()
        rows = _parse_csv(path, data[:data.rfind(b"\n") + 1])
    else:
        table = ParquetTable.__new__(ParquetTable)
        table.path = path
        table.journal = os.path.join(path, ParquetTable.JOURNAL)
        rows = table._read_parts() + table._journal_rows()
    return rows_frame(list(latest_rows(rows).values()))


# Fields as long as a row can be (Python's csv refuses fields over 128 KiB
# by default; a network with hundreds of structures exceeds that).
_FIELD_LIMIT = 2**31 - 1


def _parse_csv(path: str, data: bytes) -> list[dict]:
    try:
        text = data.decode("utf-8")
    except UnicodeDecodeError as e:
        raise ValueError(f"{path}: not a table written by a batch (not UTF-8)") from e
    limit = csv.field_size_limit(_FIELD_LIMIT)
    try:
        reader = csv.reader(io.StringIO(text, newline=""))
        header = next(reader, None)
        if header is None or not known_layout(header):
            raise ValueError(f"{path}: not a table written by a batch (other columns)")
        rows = []
        for line in reader:
            if len(line) != len(header):
                raise ValueError(f"{path}: line {reader.line_num} has {len(line)} "
                                 f"fields instead of {len(header)}")
            cells = dict(zip(header, line))
            rows.append({c: _typed(_uncell(cells[c]) if k == "str" else cells[c], k)
                         if c in cells else _typed(None, k) for c, k in COLUMNS.items()})
    finally:
        csv.field_size_limit(limit)
    return rows
