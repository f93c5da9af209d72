"""What every reader shares: the error and warning types, file reading and
the assembly of the matrices from parsed reactions."""

from __future__ import annotations

import functools
import os
import warnings
import zlib
from collections.abc import Callable
from typing import Any, TypeVar

import numpy as np

from ..annotations import Annotations
from ..fileio import read_regular
from ..cyquelmar import CRN
from ..errors import LoadError, ModelWarning

#: the largest model file read, in bytes, after unpacking a ``.gz``
MAX_BYTES = 256 * 2**20
#: the deepest element nesting accepted in an XML document
MAX_XML_DEPTH = 1000
#: the longest tag (with its attributes) accepted in an XML document
MAX_TAG = 256 * 2**10
#: the deepest nesting of brackets accepted in a JSON document
MAX_JSON_DEPTH = 200
#: the longest line accepted in Antimony text, in characters
MAX_LINE = 10_000
#: the deepest nesting of brackets and unary signs accepted in Antimony text
MAX_ANTIMONY_DEPTH = 200


def one_line(text):
    return " ".join(str(text).split())


_Reader = TypeVar("_Reader", bound=Callable[..., Any])


def guarded_reader(where_of: Callable[..., object]) -> Callable[[_Reader], _Reader]:
    """Turn any failure of a reader into a one-line :class:`LoadError`.

    ``where_of(*args, **kwargs)`` names the input for the message.  Errors
    that hostile or damaged files provoke deep inside the parsers (nesting
    beyond the interpreter's recursion limit, numbers beyond every range,
    exhausted memory, undecodable text) are reported like any other bad
    file.
    """
    def wrap(reader: _Reader) -> _Reader:
        @functools.wraps(reader)
        def guarded(*args, **kwargs):
            try:
                return reader(*args, **kwargs)
            except LoadError:
                raise
            except RecursionError:
                problem = "nested too deeply to be read (math, rules or function definitions)"
            except MemoryError:
                problem = "too large to be read (out of memory)"
            except OverflowError as e:
                problem = f"a number or size is out of range ({e})"
            except UnicodeError as e:
                problem = f"not readable as text ({e})"
            except ValueError as e:
                problem = str(e)
            raise LoadError(_safe_where(where_of(*args, **kwargs)), problem) from None
        return guarded  # type: ignore[return-value]  # same signature
    return wrap


def _safe_where(where):
    try:
        return os.fsdecode(where) if isinstance(where, (str, bytes, os.PathLike)) else str(where)
    except (TypeError, ValueError):  # pragma: no cover
        return repr(where)


def check_unique(where, what, ids):
    seen = set()
    for ident in ids:
        if ident in seen:
            raise LoadError(where, f"{what} id {ident!r} is used twice")
        seen.add(ident)


def warn_model(where, message):
    warnings.warn(f"{where}: {message}", ModelWarning, stacklevel=3)


# --------------------------------------------------------------------------
# Common assembly
# --------------------------------------------------------------------------


class Reaction:
    __slots__ = ("id", "net", "reg", "signs", "reversible", "bounds")

    def __init__(self, rid):
        self.id = rid
        self.net = {}  # species id -> net coefficient (products - reactants)
        self.reg = set()  # species ids the rate depends on
        self.signs = {}  # species id -> direction of that dependence (+inf, -inf, nan)
        self.reversible = False
        self.bounds = None  # (lower, upper) flux bounds of constraint-based models


def assemble(where, name, species, reactions, *, drop_unused=True, annotations=None):
    """Dense matrices for ``species`` (in order) x ``reactions``.

    Species that occur in no reaction (neither in its stoichiometry nor in
    its regulation) are left out when ``drop_unused`` is true.  A reaction
    whose column is all zero is kept and reported.
    """
    if not reactions:
        raise LoadError(where, "the model has no reactions")
    if drop_unused:
        used = set()
        for r in reactions:
            used.update(r.net)
            used.update(r.reg)
        species = [s for s in species if s in used]
    check_unique(where, "species", species)
    if not species:
        raise LoadError(where, "no reaction involves a species that is a state variable "
                        "(every species is missing, boundary, constant or set by a rule)")
    row = {s: i for i, s in enumerate(species)}
    m, n = len(species), len(reactions)
    stoi = np.zeros((m, n))
    reginfo = np.zeros((m, n))
    for j, r in enumerate(reactions):
        for s, v in r.net.items():
            if s in row:
                stoi[row[s], j] += v
        for s in r.reg:
            if s in row:
                reginfo[row[s], j] = r.signs.get(s, np.inf)
    stoi += 0.0  # no negative zeros
    check_unique(where, "reaction", [r.id for r in reactions])
    for j in np.flatnonzero(~stoi.any(axis=0)):
        warn_model(where, f"reaction {reactions[j].id} changes no state species "
              "(its column of the stoichiometry matrix is zero)")
    crn = CRN(stoi, reginfo, list(species), [r.id for r in reactions], name)
    _keep_directions(crn, reactions)
    crn.annotations = (Annotations() if annotations is None
                       else annotations.subset(species, [r.id for r in reactions]))
    return crn


def _keep_directions(crn, reactions):
    """Attach what the model says about the direction of each reaction.

    ``crn.reversible`` (bool, one per reaction) always; ``crn.flux_bounds``
    (float, reactions x 2: lower, upper) when every reaction has bounds.
    ``CRN`` itself never reads them; ``structural_reduction`` leaves them as
    they are, so after a reduction that removes reactions they no longer
    line up with the reactions (``quelmar.preparation.directions`` then
    ignores them).
    """
    crn.reversible = np.array([bool(r.reversible) for r in reactions], dtype=bool)
    if reactions and all(r.bounds is not None for r in reactions):
        crn.flux_bounds = np.array([r.bounds for r in reactions], dtype=float).reshape(-1, 2)


# --------------------------------------------------------------------------
# Files
# --------------------------------------------------------------------------


def read_bytes(path):
    """The content of the regular file ``path``, unpacked when gzipped."""
    path = _safe_where(path)
    try:
        data = read_regular(path, MAX_BYTES)
    except FileNotFoundError:
        raise LoadError(path, "no such file") from None
    except IsADirectoryError:
        raise LoadError(path, "is a directory, not a model file") from None
    except OverflowError:
        raise LoadError(path, f"the file is larger than {MAX_BYTES} bytes") from None
    except OSError as e:
        raise LoadError(path, e.strerror or str(e)) from None
    except ValueError as e:  # a NUL in the path
        raise LoadError(repr(path)[1:-1], str(e)) from None
    if data[:2] == b"\x1f\x8b":
        data = _gunzip(path, data)
    return data


def _gunzip(path, data):
    """Unpack gzip members, refusing output beyond :data:`MAX_BYTES`."""
    out, total = [], 0
    while data:
        unpacker = zlib.decompressobj(16 + zlib.MAX_WBITS)
        try:
            while data:
                chunk = unpacker.decompress(data, MAX_BYTES + 1 - total)
                out.append(chunk)
                total += len(chunk)
                if total > MAX_BYTES:
                    raise LoadError(path, f"unpacked, the file is larger than {MAX_BYTES} bytes")
                data = unpacker.unconsumed_tail
                if unpacker.eof:
                    break
                if not chunk and not data:
                    break
        except zlib.error as e:
            raise LoadError(path, f"damaged gzip file ({e})") from None
        if not unpacker.eof:
            raise LoadError(path, "damaged gzip file (it ends before its end marker)")
        data = unpacker.unused_data.lstrip(b"\0")  # members may follow; padding may too
    return b"".join(out)


def read_text(path):
    data = read_bytes(path)
    try:
        return data.decode("utf-8-sig")
    except UnicodeDecodeError as e:
        raise LoadError(_safe_where(path), f"not a text file (byte {e.start} is not UTF-8)") from None


def base_name(path):
    base = os.path.basename(os.fspath(path))
    for ext in (".gz", ".xml", ".sbml", ".json", ".ant", ".antimony", ".txt"):
        if base.lower().endswith(ext):
            base = base[: -len(ext)]
    return base
