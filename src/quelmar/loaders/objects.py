"""Networks from model objects that other libraries hold in memory.

* a cobrapy ``Model``: read through its dictionary form, as the cobrapy
  JSON reader reads a file;
* a libsbml ``SBMLDocument`` or ``Model``, and a roadrunner ``RoadRunner``
  instance: written out as SBML text and read by the SBML reader, with the
  same rules and warnings as an SBML file.

The libraries are never imported here: an object is recognised by the
module its type comes from, so each library stays optional.
"""

from __future__ import annotations

from typing import Any

from ..cyquelmar import CRN
from .common import LoadError
from .cobra import crn_from_cobra
from .sbml import import_libsbml, loads_sbml

__all__ = ["from_object", "is_model_object"]

#: what :func:`from_object` understands, for messages
KINDS = "a cobrapy Model, a libsbml SBMLDocument or Model, or a roadrunner instance"


def _kind(obj: Any) -> str | None:
    for cls in type(obj).__mro__:
        top = (cls.__module__ or "").partition(".")[0]
        if top == "cobra" and cls.__name__ == "Model":
            return "cobra"
        if top == "libsbml" and cls.__name__ in ("SBMLDocument", "Model"):
            return "libsbml-" + cls.__name__
        if top == "roadrunner" and cls.__name__ in ("RoadRunner", "ExecutableModel"):
            return "roadrunner"
    return None


def is_model_object(obj: Any) -> bool:
    """Whether :func:`from_object` can read ``obj``."""
    return _kind(obj) is not None


def from_object(obj: Any, **options: Any) -> CRN:
    """The network of a model object held by another library.

    ``options`` go to the SBML reader (for libsbml and roadrunner objects).
    Raises ``TypeError`` for any other object and :class:`LoadError` when
    the model cannot be read.
    """
    kind = _kind(obj)
    if kind == "cobra":
        if options:
            raise TypeError(f"unexpected options for a cobrapy Model: {', '.join(options)}")
        from cobra.io import model_to_dict  # the object's own library is there
        where = f"cobrapy Model {obj.id!r}"
        return crn_from_cobra(model_to_dict(obj), where, obj.id or "model")
    if kind == "libsbml-SBMLDocument":
        return _from_sbml_text(import_libsbml().writeSBMLToString(obj), "libsbml SBMLDocument",
                               options)
    if kind == "libsbml-Model":
        return _from_sbml_text(_sbml_of_model(obj), f"libsbml Model {obj.getId()!r}", options)
    if kind == "roadrunner":
        return _from_sbml_text(obj.getCurrentSBML(), "roadrunner instance", options)
    raise TypeError(f"cannot read a network from {type(obj).__name__}; expected a file "
                    f"name, {KINDS}")


def _sbml_of_model(model: Any) -> str:
    libsbml = import_libsbml()
    doc = model.getSBMLDocument()
    if doc is None:  # a model not attached to a document: give it one
        doc = libsbml.SBMLDocument(model.getLevel(), model.getVersion())
        if doc.setModel(model) != libsbml.LIBSBML_OPERATION_SUCCESS:
            raise LoadError("libsbml Model", "the model cannot be put into a document")
    return libsbml.writeSBMLToString(doc)


def _from_sbml_text(text: str | None, where: str, options: dict[str, Any]) -> CRN:
    if not text:
        raise LoadError(where, "no SBML could be written from it")
    return loads_sbml(text, where=where, **options)
