"""Antimony text, converted to SBML by the antimony package."""

from __future__ import annotations

import os
import re
from typing import TYPE_CHECKING, Any

from .common import (
    MAX_ANTIMONY_DEPTH,
    MAX_LINE,
    LoadError,
    base_name,
    guarded_reader,
    read_bytes,
    read_text,
)
from .sbml import crn_from_sbml

if TYPE_CHECKING:
    from ..cyquelmar import CRN

# `import "file"` (either quote); the file name may be empty or odd
_IMPORT = re.compile(r"\bimport\b\s*(?:\"([^\"\n]*)\"|'([^'\n]*)')?", re.I)
_SIGNS = re.compile(r"(?:[-+!]\s*){%d,}" % MAX_ANTIMONY_DEPTH)


def _antimony():
    from ..extras import require
    return require("antimony", "reading Antimony")


@guarded_reader(lambda path, **options: path)
def load_antimony(path: str | os.PathLike[str], *, allow_external: bool = False,
                  **options: Any) -> CRN:
    """Load an Antimony file: converted to SBML, then read by the SBML rules.

    ``import`` statements are refused unless ``allow_external`` is true;
    then the imported files must lie below the directory of ``path`` and
    import nothing themselves.
    """
    text = read_text(path)
    path = os.fsdecode(path)
    root = os.path.dirname(os.path.realpath(path)) if allow_external else None
    return _crn_from_antimony(text, path, base_name(path), options, root, True)


@guarded_reader(lambda text, **options: options.get("where", "<string>"))
def loads_antimony(text: str, *, where: str = "<string>", **options: Any) -> CRN:
    """Load Antimony text such as ``"S1 -> S2; k1*S1"``.

    Text has no directory, so ``import`` statements are refused.
    """
    return _crn_from_antimony(text, where, None, options, None, False)


def _check_text(text, where):
    """Refuse text whose size or nesting would make the converter crawl."""
    for k, line in enumerate(text.splitlines(), 1):
        if len(line) > MAX_LINE:
            raise LoadError(where, f"line {k} is longer than {MAX_LINE} characters")
        if line.count("(") > MAX_ANTIMONY_DEPTH and _depth(line) > MAX_ANTIMONY_DEPTH:
            raise LoadError(where, f"line {k}: brackets are nested more than "
                            f"{MAX_ANTIMONY_DEPTH} levels deep")
        if _SIGNS.search(line):
            raise LoadError(where, f"line {k}: more than {MAX_ANTIMONY_DEPTH} signs in a row")


def _depth(line):
    deepest = depth = 0
    for c in re.sub(r"[^()]", "", line):
        depth += 1 if c == "(" else -1
        deepest = max(deepest, depth)
    return deepest


def _resolve_imports(text, where, root, from_file):
    """``text`` with each imported file checked and named by its full path.

    Without ``root`` any import is refused.  With it, an imported file must
    be a regular file below ``root`` that imports nothing itself (its own
    imports would be looked up where this check cannot follow).
    """
    def replace(m):
        name = m.group(1) if m.group(1) is not None else m.group(2)
        what = f"the model imports another file ({name!r})" if name else "the model imports"
        if not from_file:
            raise LoadError(where, f"{what}, which text given directly cannot do; "
                            "load it from its file")
        if root is None:
            raise LoadError(where, f"{what}; imports are read only when allowed "
                            "(allow_external=True, --allow-external)")
        if not name:
            raise LoadError(where, "an import statement without a file name")
        target = os.path.realpath(os.path.join(root, name))
        if os.path.commonpath([root, target]) != root or '"' in target or "\n" in target:
            raise LoadError(where, f"the model imports {name!r}, which lies outside "
                            f"the model's directory {root}")
        data = read_bytes(target)
        if _IMPORT.search(data.decode("utf-8", "replace")) or b"externalModelDefinition" in data:
            raise LoadError(where, f"the imported file {name!r} refers to further files, "
                            "which are not followed")
        return f'import "{target}"'

    return _IMPORT.sub(replace, text)


def _last_error(antimony):
    try:
        return antimony.getLastError()
    except UnicodeError:  # the message cut a character in two
        return "cannot parse (the converter's message is not readable text)"


def _crn_from_antimony(text, where, fallback_name, options, root, from_file):
    antimony = _antimony()
    if not text.strip():
        raise LoadError(where, "the file is empty")
    _check_text(text, where)
    text = _resolve_imports(text, where, root, from_file)
    antimony.clearPreviousLoads()
    try:
        if antimony.loadAntimonyString(text) < 0:
            raise LoadError(where, "Antimony: " + (_last_error(antimony) or "cannot parse"))
        module = antimony.getMainModuleName()
        sbml = antimony.getSBMLString(module) if module else None
        if not sbml:
            raise LoadError(where, "Antimony: " + (_last_error(antimony)
                                                   or "no model could be made"))
    finally:
        antimony.clearPreviousLoads()
    crn = crn_from_sbml(sbml, where, fallback_name, options.get("strip_prefixes", False))
    if crn.name == "__main":
        crn.name = fallback_name
    return crn
