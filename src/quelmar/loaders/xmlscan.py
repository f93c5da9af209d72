"""Checks and rewrites of SBML text before libSBML parses it: comments and
processing instructions removed, nesting depth, entities and well-formedness
checked with a streaming parser, and the Level 2 stoichiometry math that
libSBML cannot evaluate replaced by its constant value."""

from __future__ import annotations

import math
import re

from .common import MAX_TAG, MAX_XML_DEPTH, LoadError


class _Refused(Exception):
    pass


_SPECIAL = re.compile(r"<!--|<\?|<!\[CDATA\[")
_SPECIAL_END = {"<!--": "-->", "<?": "?>", "<![CDATA[": "]]>"}
LONG_TAG = re.compile(r"<[^<>]{%d,}>" % MAX_TAG)


def without_comments(text):
    """Well-formed XML ``text`` without comments and processing instructions.

    Each is replaced by its line breaks, so that line numbers stay; the XML
    declaration and CDATA sections are kept.  libSBML takes time that grows
    faster than their length to skip long ones; they mean nothing to the
    model.
    """
    parts, pos, kept = [], 0, 0
    while True:
        m = _SPECIAL.search(text, pos)
        if m is None:
            break
        end = text.find(_SPECIAL_END[m.group()], m.end())
        if end < 0:  # pragma: no cover - the text is well-formed
            break
        pos = end + len(_SPECIAL_END[m.group()])
        declaration = m.start() == 0 and re.match(r"<\?xml\s", text)
        if m.group() == "<![CDATA[" or declaration:
            continue
        parts.append(text[kept:m.start()])
        parts.append("\n" * text.count("\n", m.start(), pos))
        kept = pos
    if not parts:
        return text
    parts.append(text[kept:])
    return "".join(parts)


def scan_xml(text, where):
    """Check that ``text`` is well-formed XML that a parser can take safely.

    Returns the local name and the attributes of the root element.  The
    scan is iterative and stops early: nesting deeper than
    :data:`MAX_XML_DEPTH` elements, entity declarations and external
    document types are refused before any recursive parser sees them, as
    are documents that end early (a truncated file).
    """
    from xml.parsers import expat

    parser = expat.ParserCreate(namespace_separator=" ")
    found = {}
    depth = 0

    def start(name, attributes):
        nonlocal depth
        depth += 1
        if depth > MAX_XML_DEPTH:
            raise _Refused(f"elements are nested more than {MAX_XML_DEPTH} levels deep")
        if not found:
            found["root"] = name.rsplit(" ", 1)[-1]
            found["attributes"] = attributes

    def end(name):
        nonlocal depth
        depth -= 1

    def doctype(name, system_id, public_id, has_internal_subset):
        if system_id or public_id:
            raise _Refused("the document type refers to another file")

    def entity(*args):
        raise _Refused("the document declares entities, which are not supported")

    parser.StartElementHandler = start
    parser.EndElementHandler = end
    parser.StartDoctypeDeclHandler = doctype
    parser.EntityDeclHandler = entity
    parser.UnparsedEntityDeclHandler = entity
    parser.ExternalEntityRefHandler = entity
    try:
        parser.Parse(text, True)
    except _Refused as e:
        raise LoadError(where, f"not a usable SBML document: {e}") from None
    except expat.ExpatError as e:
        root = found.get("root")
        if root is not None and root != "sbml":
            raise LoadError(where, f"not an SBML document (its root element is <{root}>)") \
                from None
        message = expat.ErrorString(e.code)
        raise LoadError(where, f"not a readable SBML document: line {e.lineno}: "
                        f"{message[:1].upper()}{message[1:]}") from None
    return found["root"], found["attributes"]


def prepare_level2_stoichiometry(text, where, level):
    """Write level 2 stoichiometries as plain numbers before libSBML reads them.

    Two forms are turned into a ``stoichiometry`` attribute, leaving the rest
    of the text as it is: a constant ``stoichiometryMath`` (numbers, rational
    numbers and arithmetic), which libSBML cannot build for level 2 version 1
    (it aborts the process there), and a ``denominator`` attribute, which
    level 1 defined and level 2 files still carry although libSBML rejects
    it there.  A stoichiometryMath that is not constant is refused.
    """
    import xml.etree.ElementTree as ET

    if level.strip() != "2":
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

    # Attributes hold no "<", and a body ends before the next reference
    # starts: each match then scans its own stretch of text only, so text
    # that merely looks like references (in comments, say) costs linear time.
    return re.sub(r"<speciesReference\b((?:[^<>/]|/(?!>))*)"
                  r"(/>|>((?:(?!<speciesReference\b).)*?)</speciesReference\s*>)",
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
