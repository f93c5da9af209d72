"""The direction in which a rate law depends on each species it reads.

A regulation entry of the network says how the rate of a reaction changes
as a species rises: ``+inf`` where the rate cannot fall (a free
non-negative value), ``-inf`` where it cannot rise (a free non-positive
value), ``nan`` where it can do either.  Which entries are free is what the
sensitivity pattern and the buffering structures depend on; the signs are
what the determinant signs and the directions of the responses depend on.

With a rate law (SBML kinetic laws, Antimony, rate strings) the direction
is read from the law's partial derivative, evaluated by the complex step
(``Im f(x + ih) / h``, exact to rounding for the arithmetic, powers,
exponentials and logarithms of rate laws) at :data:`SAMPLES` random points
where every name the law reads (species, parameters, compartments) takes a
positive value (and quantities that assignment rules compute from them
are positive too; other points are left out), drawn log-uniformly
between 1e-3 and 1e3 by a private
generator with a fixed seed (NumPy's global generator is not touched, and
the same law always gets the same answer).  A derivative below 1e-9 of the
size of the terms it is made of counts as zero at that point.  The sign is
``+inf`` when no point has a negative derivative, ``-inf`` when no point
has a positive one and ``nan`` when both occur.  A law this evaluation
cannot follow (``delay``, unknown functions), or a species whose
derivative is zero at every point, gets the rule for a reaction without a
law.

Without a rate law: a reactant ``+inf``; for a reversible reaction, a
product ``-inf`` (the backward rate grows with it), and a species that is
both reactant and product ``nan``; any other species the rate depends on
(a modifier) ``+inf``.
"""

from __future__ import annotations

import math

import numpy as np

#: points at which a rate law's derivatives are evaluated
SAMPLES = 256
#: the fixed seed of the private generator that draws them
SEED = 20250611
#: the range of the log-uniform values of every name a law reads
LOW, HIGH = 1e-3, 1e3
#: a derivative below this fraction of the size of its terms counts as zero
RELATIVE_ZERO = 1e-9

_STEP = 1e-20


class Unsupported(Exception):
    """The law uses a construct that the evaluation does not follow."""


def default_sign(species, reactants, products, reversible):
    """The sign of a dependence that no rate law decides."""
    if reversible and species in products:
        return math.nan if species in reactants else -math.inf
    return math.inf


def default_signs(depends_on, reactants, products, reversible):
    """``{species: sign}`` for a reaction without a rate law."""
    return {s: default_sign(s, reactants, products, reversible) for s in depends_on}


def law_signs(libsbml, ast, species, *, functions=None, rules=None, local=frozenset(),
              reactants=frozenset(), products=frozenset(), reversible=False):
    """``{species: sign}`` of the rate law ``ast`` (a libSBML AST) for each of
    ``species`` (names the law reads).

    ``functions`` maps function-definition ids to (parameter names, body);
    ``rules`` maps assignment-rule variables to their math; ``local`` are the
    law's local parameters, which shadow global names.
    """
    species = sorted(species)
    fallback = default_signs(species, reactants, products, reversible)
    if not species:
        return fallback
    ev = _Evaluator(libsbml, functions or {}, rules or {}, set(local))
    try:
        values, derivatives = ev.derivatives(ast, species)
    except (Unsupported, RecursionError, ValueError, TypeError, ZeroDivisionError, AttributeError,
            OverflowError, FloatingPointError):
        return fallback
    out = {}
    for s in species:
        sign = _sign_of(values, derivatives[s], ev.sample(s))
        out[s] = fallback[s] if sign is None else sign
    return out


def _sign_of(f, d, x):
    """+inf, -inf or nan from derivative samples ``d``; None when all are zero."""
    ok = np.isfinite(d) & np.isfinite(f)
    if not ok.any():
        return None
    d, f, x = d[ok], f[ok], x[ok]
    size = np.maximum(np.abs(d), np.abs(f) / x)
    pos = bool(np.any(d > RELATIVE_ZERO * size))
    neg = bool(np.any(d < -RELATIVE_ZERO * size))
    if pos and neg:
        return math.nan
    if neg:
        return -math.inf
    if pos:
        return math.inf
    return None


class _Evaluator:
    def __init__(self, sb, functions, rules, local):
        self.sb = sb
        self.functions = functions
        self.rules = rules
        self.local = local
        self.rng = np.random.default_rng(SEED)
        self.samples = {}
        self.perturbed = None
        self.rule_values = {}
        self.depth = 0

    def sample(self, name):
        if name not in self.samples:
            self.samples[name] = np.exp(self.rng.uniform(math.log(LOW), math.log(HIGH),
                                                         SAMPLES))
        return self.samples[name]

    def derivatives(self, ast, species):
        # draw in a fixed order: the species first, then names as met
        for s in species:
            self.sample(s)
        with np.errstate(all="ignore"):
            self.perturbed = None
            self.rule_values = {}
            value = np.asarray(self.value(ast), dtype=complex)
            f = np.broadcast_to(np.real(value), (SAMPLES,)).copy()
            # points where a quantity set by a rule is not a positive number
            # lie outside the law's domain
            for v in self.rule_values.values():
                if v is not None:
                    v = np.broadcast_to(np.asarray(v, dtype=complex), (SAMPLES,))
                    f[~((np.real(v) > 0) & (np.abs(np.imag(v)) <= 1e-12 * np.abs(v)))] = np.nan
            out = {}
            for s in species:
                self.perturbed = s
                self.rule_values = {}
                v = np.asarray(self.value(ast), dtype=complex)
                out[s] = np.broadcast_to(np.imag(v) / (_STEP * self.samples[s]),
                                         (SAMPLES,)).copy()
        return f, out

    # -- evaluation ------------------------------------------------------

    def name_value(self, name, scope):
        if scope is not None:
            if name in scope:
                return scope[name]
        elif name not in self.local and name in self.rules:
            if name not in self.rule_values:
                self.rule_values[name] = None  # a cycle reads the sample below
                self.rule_values[name] = self.value(self.rules[name])
            value = self.rule_values[name]
            if value is not None:
                return value
        x = self.sample(name).astype(complex)
        if scope is None and name == self.perturbed and name not in self.local:
            x = x + 1j * _STEP * self.samples[name]
        return x

    def value(self, node, scope=None):
        self.depth += 1
        if self.depth > 200:
            raise Unsupported("nested too deeply")
        try:
            return self._value(node, scope)
        finally:
            self.depth -= 1

    def _value(self, node, scope):
        sb = self.sb
        if node is None:
            raise Unsupported("missing math")
        t = node.getType()
        kids = [node.getChild(i) for i in range(node.getNumChildren())]
        if node.isNumber():
            return complex(node.getValue())
        if t == sb.AST_NAME:
            return self.name_value(node.getName(), scope)
        if t == sb.AST_NAME_TIME:
            return self.sample("\0time").astype(complex)
        if t == sb.AST_NAME_AVOGADRO:
            return complex(6.02214076e23)
        if t == sb.AST_CONSTANT_E:
            return complex(math.e)
        if t == sb.AST_CONSTANT_PI:
            return complex(math.pi)
        if t == sb.AST_CONSTANT_TRUE:
            return True
        if t == sb.AST_CONSTANT_FALSE:
            return False
        if t == sb.AST_FUNCTION and node.getName() in self.functions:
            params, body = self.functions[node.getName()]
            args = [self.value(k, scope) for k in kids]
            if len(args) != len(params):
                raise Unsupported("wrong number of arguments")
            return self.value(body, dict(zip(params, args)))
        if t == sb.AST_FUNCTION_PIECEWISE:
            return self._piecewise(kids, scope)
        args = [self.value(k, scope) for k in kids]
        return self._apply(t, args)

    def _piecewise(self, kids, scope):
        if len(kids) % 2:
            result = self.value(kids[-1], scope)
        else:
            result = complex(math.nan)
        for k in range(len(kids) - len(kids) % 2 - 2, -1, -2):
            cond = self.value(kids[k + 1], scope)
            result = np.where(cond, self.value(kids[k], scope), result)
        return result

    def _apply(self, t, a):
        sb = self.sb
        re = np.real
        if t == sb.AST_PLUS:
            return sum(a, complex(0.0))
        if t == sb.AST_MINUS:
            return -a[0] if len(a) == 1 else a[0] - a[1]
        if t == sb.AST_TIMES:
            out = complex(1.0)
            for x in a:
                out = out * x
            return out
        if t == sb.AST_DIVIDE and len(a) == 2:
            return a[0] / a[1]
        if t in (sb.AST_POWER, sb.AST_FUNCTION_POWER) and len(a) == 2:
            base, expo = a
            if np.all(np.imag(expo) == 0):
                expo = re(expo)
                if np.all(expo == np.round(expo)) and np.all(np.abs(expo) < 64):
                    return _integer_power(base, np.asarray(expo))
            return np.power(base, expo)
        if t == sb.AST_FUNCTION_ROOT:
            if len(a) == 1:
                return np.sqrt(a[0])
            return np.power(a[1], 1.0 / a[0])
        if t == sb.AST_FUNCTION_EXP and len(a) == 1:
            return np.exp(a[0])
        if t == sb.AST_FUNCTION_LN and len(a) == 1:
            return np.log(a[0])
        if t == sb.AST_FUNCTION_LOG:
            if len(a) == 1:
                return np.log10(a[0])
            return np.log(a[1]) / np.log(a[0])
        if t == sb.AST_FUNCTION_ABS and len(a) == 1:
            return np.where(re(a[0]) < 0, -a[0], a[0])
        if t in (sb.AST_FUNCTION_FLOOR, sb.AST_FUNCTION_CEILING) and len(a) == 1:
            f = np.floor if t == sb.AST_FUNCTION_FLOOR else np.ceil
            return f(re(a[0])).astype(complex)
        for name in ("SIN", "COS", "TAN", "SINH", "COSH", "TANH", "ARCSIN", "ARCCOS",
                     "ARCTAN", "ARCSINH", "ARCCOSH", "ARCTANH"):
            if t == getattr(sb, "AST_FUNCTION_" + name) and len(a) == 1:
                fn = getattr(np, name.lower())
                return fn(a[0])
        if t in (getattr(sb, "AST_FUNCTION_MAX", None), getattr(sb, "AST_FUNCTION_MIN", None)):
            pick = np.greater if t == getattr(sb, "AST_FUNCTION_MAX", None) else np.less
            out = a[0]
            for x in a[1:]:
                out = np.where(pick(re(x), re(out)), x, out)
            return out
        relations = {sb.AST_RELATIONAL_EQ: np.equal, sb.AST_RELATIONAL_NEQ: np.not_equal,
                     sb.AST_RELATIONAL_GT: np.greater, sb.AST_RELATIONAL_GEQ: np.greater_equal,
                     sb.AST_RELATIONAL_LT: np.less, sb.AST_RELATIONAL_LEQ: np.less_equal}
        if t in relations and len(a) >= 2:
            out = True
            for x, y in zip(a, a[1:]):
                out = out & relations[t](re(x), re(y))
            return out
        if t == sb.AST_LOGICAL_AND:
            return np.logical_and.reduce([np.asarray(x, dtype=bool) for x in a] + [True])
        if t == sb.AST_LOGICAL_OR:
            return np.logical_or.reduce([np.asarray(x, dtype=bool) for x in a] + [False])
        if t == sb.AST_LOGICAL_NOT and len(a) == 1:
            return np.logical_not(a[0])
        if t == sb.AST_LOGICAL_XOR:
            return np.logical_xor.reduce([np.asarray(x, dtype=bool) for x in a] + [False])
        raise Unsupported(f"math of type {t}")


def _integer_power(base, expo):
    """``base ** expo`` for integer exponents (exact for a complex step)."""
    if expo.ndim == 0:
        return base ** int(expo)
    return np.power(base, expo.astype(complex))
