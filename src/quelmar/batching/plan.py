"""What a batch runs: the tasks (:class:`Task`), planned from the models
given, the directories expanded into their model files
(:func:`model_files`), and the knockout variants of one network.

:func:`network_task` reads the network that a knockout scan varies, as
arrays (it also runs as a Dask task of its own); :func:`one_line` makes a
name or message fit a row of the table.
"""

from __future__ import annotations

import os
import warnings
from collections.abc import Iterable
from dataclasses import dataclass
from typing import Any

import numpy as np

from ..words import unicode_text

#: File names that a directory given as a model contributes (each optionally
#: gzipped).  ``.txt`` Antimony files count only when named one by one.
MODEL_SUFFIXES = (".xml", ".sbml", ".json", ".ant", ".antimony")


@dataclass(frozen=True)
class Task:
    index: int           # position of the row in the returned table
    name: str
    source: str
    knockout: str        # "" for the network as given
    path: str | None     # model file, or None for a network given as arrays
    arrays: tuple | None  # (stoi, reginfo, species, reactions, name)
    removes: tuple[str, ...] = ()  # the reactions a knockout deletes

    @property
    def ident(self) -> tuple[str, str]:
        """The row's key in a table: source and knockout as written there."""
        return (unicode_text(self.source), unicode_text(self.knockout))


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


def arrays_of(crn) -> tuple:
    return (np.array(crn.stoi, dtype=float), np.array(crn.reginfo, dtype=float),
            [str(s) for s in crn.X_names], [str(r) for r in crn.R_names], crn.name)


def plan_tasks(models, knockouts) -> tuple[list[Task], Any]:
    """The tasks, and for a knockout scan what gives the scanned network
    (its file, or its arrays)."""
    from ..cyquelmar import CRN
    from ..loaders import as_network
    from ..loaders.objects import KINDS, is_model_object

    if isinstance(models, (str, os.PathLike, CRN)) or is_model_object(models):
        models = [models]
    flat = []  # (name, source, path, arrays), directories expanded in their place
    for k, m in enumerate(models):
        if is_model_object(m):
            m = as_network(m)
        if isinstance(m, CRN):
            flat.append((label(m.name), f"<object {k}>", None, arrays_of(m)))
        elif isinstance(m, (str, os.PathLike)):
            for f in model_files([m]):
                f = os.path.abspath(f)
                flat.append((_file_label(f), f, f, None))
        else:
            raise TypeError(f"a model is a file, a directory, a CRN or {KINDS}, "
                            f"not {type(m).__name__}")
    if not flat:
        raise ValueError("no models to analyse")
    seen, written = set(), {}
    for _, source, _, _ in flat:
        if source in seen:
            raise ValueError(f"{source}: the same model is given twice")
        seen.add(source)
        # a name that is not UTF-8 is written with escapes, which another
        # file's name may spell out: their rows would have one key
        key = unicode_text(source)
        if key in written:
            raise ValueError(f"{key}: two model files whose names are written alike in "
                             f"the table ({written[key]!r} and {source!r}); rename one")
        written[key] = source

    if knockouts is None or knockouts is False:
        tasks = [Task(i, name, source, "", path, arrays)
                 for i, (name, source, path, arrays) in enumerate(flat)]
        return tasks, None
    if len(flat) != 1:
        raise ValueError(f"knockouts need exactly one model, got {len(flat)}")
    name, source, path, arrays = flat[0]
    spec = path if arrays is None else arrays
    notes = None
    if knockouts == "genes":
        notes = _gene_notes(models[0] if arrays is not None else path)
    if arrays is None:
        arrays = network_task(path)
        name = label(arrays[4])
    reactions = arrays[3]
    # the network's own row loads its file (when it has one), so that it
    # records what loading it warns about, as its analysis alone would
    base = Task(0, name, source, "", path, None)
    if knockouts == "genes":
        tasks = [base]
        tasks += [Task(k, name, source, g, None, None,
                        tuple(notes.disabled({g}, notes.gene_reactions(reactions)[g])))
                  for k, g in enumerate(notes.gene_ids(), 1)]
        if len(tasks) == 1:
            raise ValueError(f"{source}: the model has no gene rules to knock out")
        return tasks, spec
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
    tasks = [base]
    tasks += [Task(k, name, source, r, None, None, (r,)) for k, r in enumerate(chosen, 1)]
    return tasks, spec


def _gene_notes(model):
    """The annotations of a model file or network (for gene knockouts)."""
    from ..annotations import annotations_of
    from ..loaders import load

    if isinstance(model, (str, os.PathLike)):
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")  # the network's own row records them
            model = load(model)
    return annotations_of(model)


def label(name: Any) -> str:
    return "" if name is None else one_line(name)


def _file_label(path: str) -> str:
    base = os.path.basename(path)
    for ext in (".gz", ".network.json", ".xml", ".sbml", ".json", ".ant", ".antimony",
                ".txt"):
        if base.lower().endswith(ext):
            base = base[: -len(ext)]
    return base


def one_line(text: str) -> str:
    return " ".join(unicode_text(text).split())


def network_task(spec: str | tuple) -> tuple:
    """The network of a model file (or given as arrays), as arrays.  A task
    of its own, so that Dask can compute it again when the worker holding it
    is lost."""
    from ..loaders import load

    if not isinstance(spec, str):
        return spec
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # the network's own row records them
        return arrays_of(load(spec))
