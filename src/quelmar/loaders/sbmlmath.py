"""The math of an SBML model beside its reactions' species references.

:class:`SbmlMath` finds the names that a rate law (or a rule) reads,
through assignment rules and function definitions.  The stoichiometries
given as math (Level 2 ``stoichiometryMath``, Level 3 initial assignments)
and the conversion factors are read as constant numbers, and the rules and
events that the reaction network cannot represent are refused or warned
about.
"""

import math

from .common import LoadError, warn_model


def sbml_stoichiometry(libsbml, model, ref, rid, level, stoich_targets, where):
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


def check_rules(model, reader, state, where):
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


def check_events(model, state, where):
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
            warn_model(where, f"event {label} sets the species {', '.join(sorted(hit))}; "
                  "the network describes the reactions between events only")
    return targets


def conversion_factors(model, state, where):
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


def check_rate_rule_feedback(model, reader, state, where):
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
            warn_model(where, f"{var} follows a rate rule that reads {', '.join(hit)} and "
                  f"is read by the rate of {reader.read_by_laws[var]}; that feedback "
                  "is not part of the reaction network")


class SbmlMath:
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
