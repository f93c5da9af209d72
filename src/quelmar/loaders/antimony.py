"""Antimony text, converted to SBML by the antimony package."""

from __future__ import annotations

import os

from ._common import LoadError, _base_name, _read_text
from .sbml import _crn_from_sbml


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
