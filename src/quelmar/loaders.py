"""Build a :class:`~quelmar.cyquelmar.CRN` from a model file or from text.

Readers:

* :func:`load_sbml` / :func:`loads_sbml`: SBML levels 2 and 3, with or
  without the fbc package (read through python-libsbml);
* :func:`load_cobra_json`: cobrapy's JSON model format;
* :func:`load_antimony` / :func:`loads_antimony`: Antimony text, converted to
  SBML by the ``antimony`` package and then read as SBML;
* :func:`from_reactions`: reaction strings such as ``"A + 2 B -> C"``;
* :func:`load`: any of the file formats, chosen by the file name or content.

Every reader returns a ready network: species and reaction names set, the
network named after the model, and the regulation matrix holding ``np.inf``
where a reaction's rate depends on a species and 0 elsewhere.  A file that
cannot be read raises :class:`LoadError` (a ``ValueError``) whose message
names the file and the problem in one line; a model construct that the
network cannot represent faithfully either raises :class:`LoadError` or is
reported by a :class:`ModelWarning`.  The rules are described in
``docs/loaders.md``.
"""

from __future__ import annotations

import gzip
import json
import math
import os
import re
import warnings
from collections.abc import Mapping

import numpy as np

from .cyquelmar import CRN

__all__ = [
    "LoadError",
    "ModelWarning",
    "load",
    "load_sbml",
    "loads_sbml",
    "load_cobra_json",
    "load_antimony",
    "loads_antimony",
    "from_reactions",
]


class LoadError(ValueError):
    """A model cannot be turned into a reaction network.

    ``str(error)`` is one line: the file (or ``<string>``) followed by the
    problem.
    """

    def __init__(self, where, problem):
        self.where = where
        self.problem = _one_line(problem)
        super().__init__(f"{where}: {self.problem}" if where else self.problem)


class ModelWarning(UserWarning):
    """A model construct that the reaction network leaves out."""


def _one_line(text):
    return " ".join(str(text).split())


def _warn(where, message):
    warnings.warn(f"{where}: {message}", ModelWarning, stacklevel=3)


# --------------------------------------------------------------------------
# Common assembly
# --------------------------------------------------------------------------


class _Reaction:
    __slots__ = ("id", "net", "reg")

    def __init__(self, rid):
        self.id = rid
        self.net = {}  # species id -> net coefficient (products - reactants)
        self.reg = set()  # species ids the rate depends on


def _assemble(where, name, species, reactions, *, drop_unused=True):
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
                reginfo[row[s], j] = np.inf
    stoi += 0.0  # no negative zeros
    seen = set()
    for r in reactions:
        if r.id in seen:
            raise LoadError(where, f"reaction id {r.id!r} is used twice")
        seen.add(r.id)
    for j in np.flatnonzero(~stoi.any(axis=0)):
        _warn(where, f"reaction {reactions[j].id} changes no state species "
              "(its column of the stoichiometry matrix is zero)")
    return CRN(stoi, reginfo, list(species), [r.id for r in reactions], name)


# --------------------------------------------------------------------------
# Files
# --------------------------------------------------------------------------


def _read_bytes(path):
    path = os.fspath(path)
    try:
        with open(path, "rb") as f:
            data = f.read()
    except FileNotFoundError:
        raise LoadError(path, "no such file") from None
    except IsADirectoryError:
        raise LoadError(path, "is a directory, not a model file") from None
    except OSError as e:
        raise LoadError(path, e.strerror or str(e)) from None
    if data[:2] == b"\x1f\x8b":
        try:
            data = gzip.decompress(data)
        except (OSError, EOFError, gzip.BadGzipFile) as e:
            raise LoadError(path, f"damaged gzip file ({e})") from None
    return data


def _read_text(path):
    data = _read_bytes(path)
    try:
        return data.decode("utf-8-sig")
    except UnicodeDecodeError as e:
        raise LoadError(os.fspath(path), f"not a text file (byte {e.start} is not UTF-8)") from None


def _base_name(path):
    base = os.path.basename(os.fspath(path))
    for ext in (".gz", ".xml", ".sbml", ".json", ".ant", ".antimony", ".txt"):
        if base.lower().endswith(ext):
            base = base[: -len(ext)]
    return base


def load(path, format=None, **options):
    """Load a network from a model file.

    ``format`` is ``"sbml"``, ``"cobra-json"`` or ``"antimony"``; by
    default it is taken from the file name (``.xml``, ``.sbml``: SBML;
    ``.json``: cobrapy JSON; ``.ant``, ``.antimony``, ``.txt``: Antimony; each
    optionally gzipped as ``.gz``) or, for other names, from the first
    character of the content (``<``: SBML, ``{``: JSON, anything else:
    Antimony).  Other keyword options go to the reader.
    """
    path = os.fspath(path)
    if format is None:
        format = _guess_format(path)
    if format == "sbml":
        return load_sbml(path, **options)
    if format in ("cobra-json", "json"):
        return load_cobra_json(path, **options)
    if format == "antimony":
        return load_antimony(path, **options)
    raise ValueError(f"unknown model format {format!r} "
                     "(expected 'sbml', 'cobra-json' or 'antimony')")


def _guess_format(path):
    low = path.lower()
    if low.endswith(".gz"):
        low = low[:-3]
    if low.endswith((".xml", ".sbml")):
        return "sbml"
    if low.endswith(".json"):
        return "cobra-json"
    if low.endswith((".ant", ".antimony", ".txt")):
        return "antimony"
    head = _read_bytes(path)[:4096].lstrip(b"\xef\xbb\xbf \t\r\n")
    if head.startswith(b"<"):
        return "sbml"
    if head.startswith(b"{"):
        return "cobra-json"
    return "antimony"


# --------------------------------------------------------------------------
# SBML
# --------------------------------------------------------------------------


def _libsbml():
    try:
        import libsbml
    except ImportError:  # pragma: no cover - a declared dependency
        raise ImportError("reading SBML needs python-libsbml "
                          "(pip install python-libsbml)") from None
    return libsbml


def load_sbml(path, *, strip_prefixes=None):
    """Load an SBML file (level 2 or 3, fbc included; ``.gz`` is unpacked).

    ``strip_prefixes``: remove the ``M_`` and ``R_`` prefixes that COBRA
    exporters put on species and reaction ids.  The default (``None``) does
    so for an fbc model in which every species id starts with ``M_`` and
    every reaction id with ``R_``.
    """
    path = os.fspath(path)
    data = _read_bytes(path)
    return _crn_from_sbml(data.decode("utf-8", "replace"), path,
                          _base_name(path), strip_prefixes)


def loads_sbml(text, *, strip_prefixes=None, where="<string>"):
    """Load an SBML document given as a string (or bytes)."""
    if isinstance(text, bytes):
        text = text.decode("utf-8", "replace")
    return _crn_from_sbml(text, where, None, strip_prefixes)


def _sbml_document(text, where):
    libsbml = _libsbml()
    if not text.strip():
        raise LoadError(where, "the file is empty")
    root = _root_element(text)
    if root is not None and root != "sbml":
        raise LoadError(where, f"not an SBML document (its root element is <{root}>)")
    text = text.lstrip()
    if "stoichiometryMath" in text or "denominator" in text:
        text = _prepare_level2_stoichiometry(text, where)
    doc = libsbml.readSBMLFromString(text)
    if doc.getLevel() == 1 or doc.getLevel() > 3:
        raise LoadError(where, f"SBML level {doc.getLevel()} is not supported "
                        "(levels 2 and 3 are)")
    errors = [doc.getError(i) for i in range(doc.getNumErrors())]
    errors = [e for e in errors if e.getSeverity() >= libsbml.LIBSBML_SEV_ERROR]
    if errors:
        e = errors[0]
        line = f"line {e.getLine()}: " if e.getLine() else ""
        more = f" (and {len(errors) - 1} more errors)" if len(errors) > 1 else ""
        xml = e.getCategory() == libsbml.LIBSBML_CAT_XML
        raise LoadError(where, ("not a readable SBML document: " if xml else "")
                        + f"{line}{_sbml_error_text(e)}{more}")
    model = doc.getModel()
    if model is None:
        raise LoadError(where, "the SBML document has no <model>")
    comp = doc.getPlugin("comp")
    if comp is not None and (comp.getNumModelDefinitions()
                             or comp.getNumExternalModelDefinitions()
                             or (model.getPlugin("comp") is not None
                                 and model.getPlugin("comp").getNumSubmodels())):
        props = libsbml.ConversionProperties()
        props.addOption("flatten comp", True)
        if doc.convert(props) != libsbml.LIBSBML_OPERATION_SUCCESS:
            raise LoadError(where, "the hierarchical (comp) model could not be flattened")
        model = doc.getModel()
    return doc, model


def _root_element(text):
    """Local name of the first element of an XML text, or None if unclear."""
    m = re.search(r"<([A-Za-z_][\w.:-]*)", re.sub(r"<\?.*?\?>|<!--.*?-->|<!DOCTYPE[^>]*>",
                                                  "", text[:65536], flags=re.S))
    return m.group(1).rsplit(":", 1)[-1] if m else None


def _prepare_level2_stoichiometry(text, where):
    """Write level 2 stoichiometries as plain numbers before libSBML reads them.

    Two forms are turned into a ``stoichiometry`` attribute, leaving the rest
    of the text as it is: a constant ``stoichiometryMath`` (numbers, rational
    numbers and arithmetic), which libSBML cannot build for level 2 version 1
    (it aborts the process there), and a ``denominator`` attribute, which
    level 1 defined and level 2 files still carry although libSBML rejects
    it there.  A stoichiometryMath that is not constant is refused.
    """
    import xml.etree.ElementTree as ET

    head = re.search(r"<(?:[\w.-]+:)?sbml\b([^>]*)>", text)
    if not head or not re.search(r'\blevel\s*=\s*["\']\s*2\s*["\']', head.group(1)):
        return text

    def replace(m):
        attributes, body = m.group(1), m.group(3) or ""
        block = re.search(r"<(?:[\w.-]+:)?stoichiometryMath\b[^>]*>(.*?)"
                          r"</(?:[\w.-]+:)?stoichiometryMath\s*>", body, re.S)
        den = re.search(r'\s+denominator\s*=\s*["\']([^"\']*)["\']', attributes)
        if not block and not den:
            return m.group(0)
        species = re.search(r'\bspecies\s*=\s*["\']([^"\']*)', attributes)
        what = f"the stoichiometry of {species.group(1) if species else '?'}"
        if block:
            try:
                node = ET.fromstring(block.group(1).strip())
            except ET.ParseError:
                node = None
            if node is not None and _local(node.tag) == "math":
                node = node[0] if len(node) == 1 else None
            value = _etree_constant(node)
            if value is None:
                raise LoadError(where, f"{what} is given by a stoichiometryMath that is "
                                "not a constant number; such networks are not supported")
            body = body[:block.start()] + body[block.end():]
        else:
            old = re.search(r'\s+stoichiometry\s*=\s*["\']([^"\']*)["\']', attributes)
            try:
                value = float(old.group(1)) if old else 1.0
            except ValueError:
                return m.group(0)  # libSBML reports the attribute
        if den:
            try:
                value /= float(den.group(1))
            except (ValueError, ZeroDivisionError):
                raise LoadError(where, f"{what} has the denominator "
                                f"{den.group(1)!r}, not a number") from None
            attributes = attributes[:den.start()] + attributes[den.end():]
        attributes = re.sub(r'\s+stoichiometry\s*=\s*["\'][^"\']*["\']', "", attributes)
        attributes = attributes.rstrip()
        if m.group(2) == "/>":
            return f'<speciesReference{attributes} stoichiometry="{value!r}"/>'
        return (f'<speciesReference{attributes} stoichiometry="{value!r}">'
                f"{body}</speciesReference>")

    return re.sub(r"<speciesReference\b((?:[^>/]|/(?!>))*)(/>|>(.*?)</speciesReference\s*>)",
                  replace, text, flags=re.S)


def _local(tag):
    return tag.rsplit("}", 1)[-1] if isinstance(tag, str) else ""


def _etree_constant(node):
    """Value of a MathML element made of numbers and arithmetic, else None."""
    if node is None:
        return None
    tag = _local(node.tag)
    if tag == "cn":
        parts = [p.strip() for p in node.itertext()]
        try:
            if node.get("type") == "rational" and len(parts) == 2:
                return float(parts[0]) / float(parts[1])
            if node.get("type") == "e-notation" and len(parts) == 2:
                return float(parts[0]) * 10.0 ** float(parts[1])
            return float("".join(parts))
        except (ValueError, ZeroDivisionError):
            return None
    if tag != "apply" or len(node) == 0:
        return None
    op = _local(node[0].tag)
    args = [_etree_constant(c) for c in node[1:]]
    if any(a is None for a in args):
        return None
    try:
        if op == "plus":
            return float(sum(args))
        if op == "times":
            return float(math.prod(args))
        if op == "minus":
            return -args[0] if len(args) == 1 else args[0] - args[1]
        if op == "divide" and len(args) == 2:
            return args[0] / args[1]
        if op == "power" and len(args) == 2:
            return float(args[0] ** args[1])
    except (ZeroDivisionError, OverflowError, IndexError, TypeError):
        return None
    return None


def _sbml_error_text(error):
    """The specific part of a libSBML message, else its short summary."""
    lines = [ln.strip() for ln in error.getMessage().splitlines()]
    for k, ln in enumerate(lines):
        if ln.startswith("Reference:"):
            detail = " ".join(x for x in lines[k + 1:] if x)
            if detail:
                return detail
            break
    lines = [x for x in lines if x]
    if len(lines) > 1:  # a general statement, then what was found
        return " ".join(lines[1:])
    return error.getShortMessage().strip() or " ".join(lines)


def _crn_from_sbml(text, where, fallback_name, strip_prefixes):
    libsbml = _libsbml()
    doc, model = _sbml_document(text, where)
    level = doc.getLevel()
    reader = _SbmlMath(libsbml, model, where)

    species_ids = [s.getId() for s in model.getListOfSpecies()]
    known = set(species_ids)
    ruled = {rule.getVariable() for rule in model.getListOfRules()
             if rule.isAssignment() or rule.isRate()}
    state = []
    for s in model.getListOfSpecies():
        sid = s.getId()
        if s.getBoundaryCondition() or s.getConstant() or sid in ruled:
            continue
        state.append(sid)
    state_set = set(state)

    _check_rules(model, reader, state_set, where)
    stoich_targets = _check_events(model, state_set, where)

    factors = _conversion_factors(model, state, where)

    reactions = []
    for r in model.getListOfReactions():
        rid = r.getId()
        rx = _Reaction(rid)
        reversible = r.getReversible()
        for ref in r.getListOfReactants():
            sp = _species_of(ref, rid, known, where)
            rx.net[sp] = rx.net.get(sp, 0.0) - _sbml_stoichiometry(
                libsbml, model, ref, rid, level, stoich_targets, where)
            rx.reg.add(sp)
        for ref in r.getListOfProducts():
            sp = _species_of(ref, rid, known, where)
            rx.net[sp] = rx.net.get(sp, 0.0) + _sbml_stoichiometry(
                libsbml, model, ref, rid, level, stoich_targets, where)
            if reversible:
                rx.reg.add(sp)
        for ref in r.getListOfModifiers():
            rx.reg.add(_species_of(ref, rid, known, where))
        law = r.getKineticLaw() if r.isSetKineticLaw() else None
        if law is not None and law.isSetMath():
            local = {p.getId() for p in law.getListOfParameters()}
            if level >= 3:
                local |= {p.getId() for p in law.getListOfLocalParameters()}
            names = reader.names(law.getMath(), local, rid)
            rx.reg = {nm for nm in names if nm in known}
        for sp in list(rx.net):
            if sp in factors:
                rx.net[sp] *= factors[sp]
        reactions.append(rx)

    _check_rate_rule_feedback(model, reader, state_set, where)

    reactions_state = []
    for rx in reactions:
        rx.net = {s: v for s, v in rx.net.items() if s in state_set}
        rx.reg = {s for s in rx.reg if s in state_set}
        reactions_state.append(rx)

    name = model.getId() or model.getName() or fallback_name
    if strip_prefixes is None:
        strip_prefixes = (doc.getPlugin("fbc") is not None
                          and bool(state) and bool(reactions)
                          and all(s.startswith("M_") for s in species_ids)
                          and all(r.id.startswith("R_") for r in reactions))
    order = [s for s in species_ids if s in state_set]
    if strip_prefixes:
        def strip(ident, prefix):
            return ident[len(prefix):] if ident.startswith(prefix) else ident
        order_map = {s: strip(s, "M_") for s in order}
        if len(set(order_map.values())) != len(order_map):
            raise LoadError(where, "stripping the M_ prefix makes species ids collide")
        for rx in reactions_state:
            rx.id = strip(rx.id, "R_")
            rx.net = {order_map[s]: v for s, v in rx.net.items()}
            rx.reg = {order_map[s] for s in rx.reg}
        order = [order_map[s] for s in order]
    return _assemble(where, name, order, reactions_state)


def _species_of(ref, rid, known, where):
    sp = ref.getSpecies()
    if not sp:
        raise LoadError(where, f"reaction {rid} has a species reference without a species")
    if sp not in known:
        raise LoadError(where, f"reaction {rid} refers to unknown species {sp!r}")
    return sp


def _sbml_stoichiometry(libsbml, model, ref, rid, level, stoich_targets, where):
    sp = ref.getSpecies()
    what = f"the stoichiometry of {sp} in reaction {rid}"
    ref_id = ref.getId() if ref.isSetId() else ""
    if ref_id and ref_id in stoich_targets:
        raise LoadError(where, f"{what} is not constant ({stoich_targets[ref_id]} "
                        f"changes {ref_id}); such networks are not supported")
    if level == 2 and ref.isSetStoichiometryMath():
        sm = ref.getStoichiometryMath()
        value = _constant_value(libsbml, sm.getMath() if sm.isSetMath() else None)
        if value is None:
            raise LoadError(where, f"{what} is given by a stoichiometryMath that is "
                            "not a constant number; such networks are not supported")
    elif level >= 3 and ref_id and model.getInitialAssignment(ref_id) is not None:
        ia = model.getInitialAssignment(ref_id)
        value = _constant_value(libsbml, ia.getMath() if ia.isSetMath() else None)
        if value is None:
            raise LoadError(where, f"{what} is set by an initial assignment that is "
                            "not a constant number; such networks are not supported")
    elif ref.isSetStoichiometry():
        value = ref.getStoichiometry()
    else:
        value = 1.0
    if level == 2:
        value /= ref.getDenominator()
    if not math.isfinite(value):
        raise LoadError(where, f"{what} is not a finite number ({value})")
    return float(value)


def _constant_value(libsbml, ast):
    """Value of MathML made of numbers and arithmetic only, else None."""
    if ast is None:
        return None
    t = ast.getType()
    if ast.isNumber():
        return float(ast.getValue())
    args = [_constant_value(libsbml, ast.getChild(i)) for i in range(ast.getNumChildren())]
    if any(a is None for a in args):
        return None
    try:
        if t == libsbml.AST_PLUS:
            return float(sum(args))
        if t == libsbml.AST_MINUS:
            return -args[0] if len(args) == 1 else args[0] - args[1]
        if t == libsbml.AST_TIMES:
            return float(math.prod(args))
        if t == libsbml.AST_DIVIDE and len(args) == 2:
            return args[0] / args[1]
        if t in (libsbml.AST_POWER, libsbml.AST_FUNCTION_POWER) and len(args) == 2:
            return float(args[0] ** args[1])
    except (ZeroDivisionError, OverflowError, TypeError, ValueError):
        return None
    return None


def _check_rules(model, reader, state, where):
    """Algebraic rules that constrain state species are refused."""
    for rule in model.getListOfRules():
        if not rule.isAlgebraic() or not rule.isSetMath():
            continue
        names = reader.names(rule.getMath())
        fixed = sorted(names & state)
        if fixed:
            raise LoadError(where, "an algebraic rule constrains the species "
                            + ", ".join(fixed)
                            + "; the reaction network cannot represent it")


def _check_events(model, state, where):
    """Warn for events that set species; collect stoichiometries they set."""
    targets = {}
    for rule in model.getListOfRules():
        if (rule.isAssignment() or rule.isRate()) and rule.getVariable():
            targets[rule.getVariable()] = "a rule"
    for ev in model.getListOfEvents():
        label = ev.getId() or ev.getName() or "without id"
        hit = []
        for ea in ev.getListOfEventAssignments():
            var = ea.getVariable()
            if var in state:
                hit.append(var)
            targets.setdefault(var, f"event {label}")
        if hit:
            _warn(where, f"event {label} sets the species {', '.join(sorted(hit))}; "
                  "the network describes the reactions between events only")
    return targets


def _conversion_factors(model, state, where):
    """Level 3 conversion factors, as constant numbers per species."""
    factors = {}
    if model.getLevel() < 3:
        return factors
    default = model.getConversionFactor() if model.isSetConversionFactor() else ""
    for sid in state:
        s = model.getSpecies(sid)
        pid = s.getConversionFactor() if s.isSetConversionFactor() else default
        if not pid:
            continue
        p = model.getParameter(pid)
        if (p is None or not p.getConstant() or not p.isSetValue()
                or model.getInitialAssignment(pid) is not None):
            raise LoadError(where, f"the conversion factor {pid} of species {sid} is "
                            "not a constant number; such networks are not supported")
        factors[sid] = float(p.getValue())
    return factors


def _check_rate_rule_feedback(model, reader, state, where):
    """Warn when a rate-rule variable read by a rate law depends on species."""
    for rule in model.getListOfRules():
        if not rule.isRate() or not rule.isSetMath():
            continue
        var = rule.getVariable()
        if var not in reader.read_by_laws:
            continue
        names = reader.names(rule.getMath())
        hit = sorted(names & state)
        if hit:
            _warn(where, f"{var} follows a rate rule that reads {', '.join(hit)} and "
                  f"is read by the rate of {reader.read_by_laws[var]}; that feedback "
                  "is not part of the reaction network")


class _SbmlMath:
    """Names a piece of SBML math reads, through assignment rules and functions."""

    def __init__(self, libsbml, model, where):
        self.sb = libsbml
        self.where = where
        self.functions = {}
        for fd in model.getListOfFunctionDefinitions():
            if fd.isSetMath():
                body = fd.getBody()
                params = [fd.getArgument(i).getName() for i in range(fd.getNumArguments())]
                self.functions[fd.getId()] = (params, body)
        self.rules = {}
        for rule in model.getListOfRules():
            if rule.isAssignment() and rule.isSetMath():
                self.rules[rule.getVariable()] = rule.getMath()
        self._fn_cache = {}
        self._rule_cache = {}
        self.read_by_laws = {}  # name read by a rate law -> first such reaction

    # which parameters of a function its body reads, and global names it reads
    def _function_reads(self, fname, stack=()):
        if fname in self._fn_cache:
            return self._fn_cache[fname]
        if fname in stack:
            raise LoadError(self.where, f"function {fname} calls itself")
        params, body = self.functions[fname]
        names = self._walk(body, set(), stack + (fname,)) if body else set()
        result = ([i for i, p in enumerate(params) if p in names],
                  {nm for nm in names if nm not in params})
        self._fn_cache[fname] = result
        return result

    def _walk(self, ast, local, stack):
        """Names that ast reads, leaving out the shadowing names ``local``."""
        sb = self.sb
        out = set()
        todo = [ast]
        while todo:
            node = todo.pop()
            if node is None:
                continue
            t = node.getType()
            if t == sb.AST_NAME:
                if node.getName() not in local:
                    out.add(node.getName())
                continue
            if t == sb.AST_FUNCTION and node.getName() in self.functions:
                used, free = self._function_reads(node.getName(), stack)
                out |= free
                todo.extend(node.getChild(i) for i in used if i < node.getNumChildren())
                continue
            todo.extend(node.getChild(i) for i in range(node.getNumChildren()))
        return out

    def _expand(self, names, seen):
        out = set()
        for nm in names:
            if nm in self.rules and nm not in seen:
                seen.add(nm)
                if nm not in self._rule_cache:
                    self._rule_cache[nm] = self._walk(self.rules[nm], set(), ())
                out.add(nm)
                out |= self._expand(self._rule_cache[nm], seen)
            else:
                out.add(nm)
        return out

    def names(self, ast, local=frozenset(), reaction=None):
        """Names read by ast, through assignment rules and function calls."""
        names = self._expand(self._walk(ast, set(local), ()), set())
        if reaction is not None:
            for nm in names:
                self.read_by_laws.setdefault(nm, reaction)
        return names


# --------------------------------------------------------------------------
# cobrapy JSON
# --------------------------------------------------------------------------


def load_cobra_json(path):
    """Load a model in cobrapy's JSON format (``.json`` or ``.json.gz``).

    A reaction is reversible when its ``lower_bound`` is negative; its rate
    then depends on its products as well as on its reactants.
    """
    path = os.fspath(path)
    text = _read_text(path)
    if not text.strip():
        raise LoadError(path, "the file is empty")
    try:
        model = json.loads(text)
    except json.JSONDecodeError as e:
        raise LoadError(path, f"not valid JSON: {e.msg} at line {e.lineno}, "
                        f"column {e.colno}") from None
    return _crn_from_cobra(model, path, _base_name(path))


def _crn_from_cobra(model, where, fallback_name):
    if not isinstance(model, dict) or "reactions" not in model:
        raise LoadError(where, "not a cobrapy JSON model (no \"reactions\" list)")
    mets = model.get("metabolites", [])
    rxs = model["reactions"]
    if not isinstance(mets, list) or not isinstance(rxs, list):
        raise LoadError(where, "\"metabolites\" and \"reactions\" must be lists")
    species = []
    for k, met in enumerate(mets):
        if not isinstance(met, dict) or not isinstance(met.get("id"), str):
            raise LoadError(where, f"metabolite {k} has no id")
        species.append(met["id"])
    known = set(species)
    reactions = []
    for k, r in enumerate(rxs):
        if not isinstance(r, dict) or not isinstance(r.get("id"), str):
            raise LoadError(where, f"reaction {k} has no id")
        rx = _Reaction(r["id"])
        coeffs = r.get("metabolites", {})
        if not isinstance(coeffs, dict):
            raise LoadError(where, f"reaction {rx.id}: \"metabolites\" must map ids to numbers")
        try:
            lower = float(r.get("lower_bound", 0.0))
        except (TypeError, ValueError):
            raise LoadError(where, f"reaction {rx.id}: lower_bound is not a number") from None
        reversible = lower < 0
        for sp, v in coeffs.items():
            if sp not in known:
                raise LoadError(where, f"reaction {rx.id} refers to unknown species {sp!r}")
            if isinstance(v, bool) or not isinstance(v, (int, float)) or not math.isfinite(v):
                raise LoadError(where, f"reaction {rx.id}: coefficient of {sp} "
                                f"is not a finite number ({v!r})")
            rx.net[sp] = rx.net.get(sp, 0.0) + float(v)
            if v < 0 or (reversible and v > 0):
                rx.reg.add(sp)
        reactions.append(rx)
    name = model.get("id") or model.get("name") or fallback_name
    return _assemble(where, name, species, reactions)


# --------------------------------------------------------------------------
# Antimony
# --------------------------------------------------------------------------


def _antimony():
    try:
        import antimony
    except ImportError:  # pragma: no cover - a declared dependency
        raise ImportError("reading Antimony needs the antimony package "
                          "(pip install antimony)") from None
    return antimony


def load_antimony(path, **options):
    """Load an Antimony file: converted to SBML, then read by the SBML rules."""
    path = os.fspath(path)
    return _crn_from_antimony(_read_text(path), path, _base_name(path), options)


def loads_antimony(text, *, where="<string>", **options):
    """Load Antimony text such as ``"S1 -> S2; k1*S1"``."""
    return _crn_from_antimony(text, where, None, options)


def _crn_from_antimony(text, where, fallback_name, options):
    antimony = _antimony()
    if not text.strip():
        raise LoadError(where, "the file is empty")
    antimony.clearPreviousLoads()
    try:
        if antimony.loadAntimonyString(text) < 0:
            raise LoadError(where, "Antimony: " + (antimony.getLastError() or "cannot parse"))
        module = antimony.getMainModuleName()
        sbml = antimony.getSBMLString(module) if module else None
        if not sbml:
            raise LoadError(where, "Antimony: " + (antimony.getLastError()
                                                   or "no model could be made"))
    finally:
        antimony.clearPreviousLoads()
    crn = _crn_from_sbml(sbml, where, fallback_name, options.get("strip_prefixes", False))
    if crn.name == "__main":
        crn.name = fallback_name
    return crn


# --------------------------------------------------------------------------
# Reaction strings
# --------------------------------------------------------------------------

_ARROWS = (("<->", True), ("<=>", True), ("->", False), ("=>", False))
_NAME = r"[A-Za-z_][A-Za-z0-9_]*"
_TERM = re.compile(rf"^\s*(?:(\d+(?:\.\d*)?|\.\d+)(?:\s*\*\s*|\s+|(?=[A-Za-z_$])))?(\$?{_NAME})\s*$")
_LABEL = re.compile(rf"^\s*({_NAME})\s*:(?!=)")
_EMPTY = {"", "0", "\u2205", "\u00d8"}


def from_reactions(reactions, regulators=None, name=None):
    """Build a network from reaction strings.

    ``reactions`` is a list of strings, or a mapping from reaction names to
    strings.  A string reads ``[NAME:] LEFT ARROW RIGHT [; RATE]``:

    * each side is empty (or ``0``) or terms joined by ``+``; a term is a
      species name, optionally preceded by a coefficient (``2 B``, ``2B``,
      ``0.5*B``); a name starting with ``$`` is a boundary species (held
      fixed, not a state variable), as in Antimony;
    * ``->`` or ``=>``: irreversible, ``<->`` or ``<=>``: reversible;
    * ``RATE``, optional, is a rate law in infix notation (``k1*S1``); when
      given, the rate depends exactly on the species it names.  Without it,
      the rate depends on the reactants and, for a reversible reaction, on
      the products as well.

    Reactions without a name are called ``R0``, ``R1``, ... by position.
    ``regulators`` maps reaction names (or positions) to species that the
    rate depends on in addition (activators, inhibitors, enzymes); a species
    named only there becomes a row of zeros in the stoichiometry matrix.

    Species are ordered by first appearance.  Raises ``ValueError`` with the
    offending reaction in the message.
    """
    if isinstance(reactions, str):
        reactions = [reactions]
    if isinstance(reactions, Mapping):
        items = [(str(k), v) for k, v in reactions.items()]
    else:
        items = [(None, v) for v in reactions]
    order, boundary, parsed, rates = [], set(), [], []

    def note(sp):
        if sp.startswith("$"):
            sp = sp[1:]
            boundary.add(sp)
        if sp not in order:
            order.append(sp)
        return sp

    for pos, (label, text) in enumerate(items):
        if not isinstance(text, str):
            raise ValueError(f"reaction {pos}: expected a string, got {type(text).__name__}")
        where = f"reaction {pos} ({text.strip()!r})"
        body = text
        m = _LABEL.match(body)
        if m:
            if label is not None and label != m.group(1):
                raise ValueError(f"{where}: named both {label!r} and {m.group(1)!r}")
            label = m.group(1)
            body = body[m.end():]
        body, _, rate = body.partition(";")
        for arrow, reversible in _ARROWS:
            if arrow in body:
                left, right = body.split(arrow, 1)
                break
        else:
            raise ValueError(f"{where}: no arrow (->, =>, <-> or <=>)")
        if any(a in right for a, _ in _ARROWS):
            raise ValueError(f"{where}: more than one arrow")
        rx = _Reaction(label if label is not None else f"R{pos}")
        for side, sign in ((left, -1.0), (right, 1.0)):
            if side.strip() in _EMPTY:
                continue
            for term in side.split("+"):
                tm = _TERM.match(term)
                if not tm:
                    raise ValueError(f"{where}: cannot read the term {term.strip()!r}")
                coeff = float(tm.group(1)) if tm.group(1) else 1.0
                sp = note(tm.group(2))
                rx.net[sp] = rx.net.get(sp, 0.0) + sign * coeff
                if sign < 0 or reversible:
                    rx.reg.add(sp)
        rate = rate.strip()
        rates.append(_rate_names(rate, where) if rate else None)
        parsed.append(rx)

    for rx, names in zip(parsed, rates):
        if names is not None:
            rx.reg = {nm for nm in names if nm in order}

    if regulators:
        by_name = {rx.id: rx for rx in parsed}
        for key, species in regulators.items():
            if isinstance(key, int) and not isinstance(key, bool):
                if not 0 <= key < len(parsed):
                    raise ValueError(f"regulators: no reaction at position {key}")
                rx = parsed[key]
            elif key in by_name:
                rx = by_name[key]
            else:
                raise ValueError(f"regulators: no reaction named {key!r}")
            if isinstance(species, str):
                species = [species]
            for sp in species:
                if not isinstance(sp, str) or not re.fullmatch(r"\$?" + _NAME, sp):
                    raise ValueError(f"regulators of {rx.id}: {sp!r} is not a species name")
                rx.reg.add(note(sp))
    names = [rx.id for rx in parsed]
    dup = {x for x in names if names.count(x) > 1}
    if dup:
        raise ValueError(f"reaction name used twice: {', '.join(sorted(dup))}")
    state = [s for s in order if s not in boundary]
    for rx in parsed:
        rx.net = {s: v for s, v in rx.net.items() if s not in boundary}
        rx.reg = {s for s in rx.reg if s not in boundary}
    try:
        return _assemble(None, name, state, parsed, drop_unused=False)
    except LoadError as e:
        raise ValueError(e.problem) from None


def _rate_names(rate, where):
    libsbml = _libsbml()
    ast = libsbml.parseL3Formula(rate)
    if ast is None:
        raise ValueError(f"{where}: cannot read the rate law {rate!r}: "
                         + _one_line(libsbml.getLastParseL3Error()))
    out = set()
    todo = [ast]
    while todo:
        node = todo.pop()
        if node.getType() == libsbml.AST_NAME:
            out.add(node.getName())
        for i in range(node.getNumChildren()):
            todo.append(node.getChild(i))
    return out
