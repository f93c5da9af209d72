"""Hardening: every public entry point driven with generated good and bad inputs.

Inputs are small networks (at most 5 species and 5 reactions) and variants of
their arrays and of the objects' attributes: other dtypes (bool, integers,
float16/32, complex, object, numeric and non-numeric strings), other numbers
of dimensions (0-D, 1-D, 3-D), empty extents, extra or missing rows and
columns, NaN, infinities, huge, subnormal and threshold values, Fortran
order, non-contiguous, negative-stride, zero-stride, read-only, unaligned,
byte-swapped, subclassed, matrix and masked arrays, nested lists,
memory-view slices, objects that only carry a ``shape``, and poisoned objects
that raise on any use.  Selections and index containers get their own
variants (wrong length, wrong dtype, 2-D, stateful or failing containers),
instance attributes may shadow the methods that the searches look up, code
running inside a call may change the object, the module's globals may be
replaced, and the methods may be called on objects that are not a CRN.

For every call the suite checks:

* The call returns, or raises an ordinary Python exception.  A SystemError
  (an internal error reported without a proper exception) counts as a fault,
  and a crash or abort ends the run.
* A result agrees with the same call on a *twin*: the same network whose
  inputs are clean copies (C-contiguous, aligned, native float64 or bool) of
  the variants, under the same seed of NumPy's global generator.  A value
  that cannot be used at all (None, a poisoned object) leaves the twin's
  attribute as it was: a call that returns cannot have read it.
* Where a variant only changes the memory layout (same dtype and values), the
  outcome is the twin's outcome: equal results, or exceptions of one type.
* A failing call leaves every attribute as it was (same objects, same
  contents); the read-only methods leave them so when they succeed as well.
  A failed construction has assigned a prefix of its attributes, in their
  order of assignment; indicator_diagnose reduces the network as it goes.
"""

import contextlib
import json
import math
import operator
import os
import warnings

import numpy as np
import pytest
from hypothesis import HealthCheck, event, note, settings
from hypothesis import given
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp
from support import assert_same, assert_unchanged, snapshot

cq = pytest.importorskip("quelmar.cyquelmar")

# NaN and infinite inputs make NumPy's arithmetic warn (the default regulation
# matrix multiplies the coefficients by 0.0, the harness casts NaN to
# integers), complex inputs are cast to float, and the optimiser of signdet
# reports line searches that did not converge.
pytestmark = [
    pytest.mark.filterwarnings("ignore::RuntimeWarning"),
    pytest.mark.filterwarnings("ignore::numpy.exceptions.ComplexWarning"),
    pytest.mark.filterwarnings("ignore:The line search algorithm did not converge"),
]


def budget(n):
    return settings(
        max_examples=n,
        deadline=None,
        derandomize=True,
        database=None,
        suppress_health_check=[
            HealthCheck.too_slow,
            HealthCheck.data_too_large,
            HealthCheck.filter_too_much,
        ],
    )


# Order in which the constructor assigns the attributes.
INIT_ORDER = ["name", "stoi", "reginfo", "X_names", "R_names", "A", "_CRN__cq_class", "_CRN__oc_keeper"]
# The attributes a structural reduction replaces.
REDUCED = ["stoi", "reginfo", "A", "_CRN__cq_class", "_CRN__oc_keeper", "X_names", "R_names"]
ARRAY_ATTRS = {
    "stoi": np.float64,
    "reginfo": np.float64,
    "A": np.float64,
    "_CRN__oc_keeper": np.bool_,
    "_CRN__cq_class": np.bool_,
}
NAME_ATTRS = ("X_names", "R_names")
MEMVIEW = type(cq.CRN(np.zeros((1, 1))).A)


# ---------------------------------------------------------------------------
# Odd objects
# ---------------------------------------------------------------------------


class PoisonError(Exception):
    pass


class Poison:
    """Raises PoisonError on every use: a call that returns never touched it."""

    def _boom(self, *args, **kwargs):
        raise PoisonError("a poisoned value was used")

    __getattr__ = _boom
    __getitem__ = _boom
    __setitem__ = _boom
    __len__ = _boom
    __iter__ = _boom
    __contains__ = _boom
    __bool__ = _boom
    __index__ = _boom
    __int__ = _boom
    __float__ = _boom
    __array__ = _boom
    __buffer__ = _boom
    __call__ = _boom
    __abs__ = _boom
    __neg__ = _boom

    def __repr__(self):
        return "Poison()"


class Shaped:
    """Only a shape: the methods that read nothing else accept it."""

    def __init__(self, shape):
        self.shape = shape

    def __repr__(self):
        return "Shaped(%r)" % (self.shape,)


class Sub(np.ndarray):
    """A trivial ndarray subclass."""


class FailingContainer:
    """Answers membership questions from a list, then raises after `limit`."""

    def __init__(self, items, limit):
        self.items = list(items)
        self.limit = limit
        self.asked = 0

    def __contains__(self, x):
        self.asked += 1
        if self.asked > self.limit:
            raise LookupError("membership test failed")
        return x in self.items

    def __repr__(self):
        return "FailingContainer(%r, %d)" % (self.items, self.limit)


class AmbiguousContainer:
    """Membership answers whose truth value is undefined."""

    def __contains__(self, x):
        return np.array([True, False])

    def __repr__(self):
        return "AmbiguousContainer()"


class CRNSub(cq.CRN):
    pass


# Sentinels for the twin value of a variant.
PRISTINE = type("Pristine", (), {"__repr__": lambda self: "PRISTINE"})()  # keep the twin's own value
UNAVAILABLE = type("Unavailable", (), {"__repr__": lambda self: "UNAVAILABLE"})()  # nothing to compare


@contextlib.contextmanager
def quiet():
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        with np.errstate(all="ignore"):
            yield


def valid_shape(shape):
    return isinstance(shape, tuple) and all(
        isinstance(s, (int, np.integer)) and not isinstance(s, bool) and s >= 0 for s in shape
    )


def clean(y, dtype):
    """A C-contiguous, aligned, native copy of y in dtype, or a sentinel."""
    if y is None or isinstance(y, Poison):
        return PRISTINE
    if isinstance(y, Shaped):
        return np.zeros(y.shape, dtype) if valid_shape(y.shape) else UNAVAILABLE
    with quiet():
        try:
            return np.array(np.asarray(y, dtype=dtype), dtype=dtype, order="C", copy=True)
        except Exception:
            shape = getattr(y, "shape", None)
            return np.zeros(shape, dtype) if valid_shape(shape) else PRISTINE


# ---------------------------------------------------------------------------
# Array variants
# ---------------------------------------------------------------------------

SHAPE_OPS = ["same"] * 6 + [
    "0d", "scalar", "1d", "3d", "no_rows", "no_cols", "T", "extra_row",
    "extra_col", "drop_row", "drop_col", "nan", "inf", "-inf", "huge", "tiny", "-tol",
]
SPECIAL_VALUES = {"nan": np.nan, "inf": np.inf, "-inf": -np.inf, "huge": 1e300, "tiny": 5e-324, "-tol": -1e-8}
DTYPE_OPS = ["natural"] * 4 + [
    "float64", "float32", "float16", "int64", "int8", "uint8", "bool",
    "complex", "object", "str", "bytes", "junk_str",
]
STRICT_LAYOUTS = ["contig", "fortran", "noncontig", "negstride", "readonly", "subclass"]
LAYOUT_OPS = STRICT_LAYOUTS * 2 + ["zerostride", "unaligned", "byteswap", "list", "matrix", "masked"]


@st.composite
def reshaped(draw, x):
    """A value-level variant of x (same dtype)."""
    op = draw(st.sampled_from(SHAPE_OPS))
    if op == "same":
        return x.copy(), op
    if op in ("0d", "scalar"):
        v = x.flat[0] if x.size else x.dtype.type(1)
        return (np.array(v) if op == "0d" else x.dtype.type(v)), op
    if op == "1d":
        return x.ravel().copy(), op
    if op == "3d":
        return (x[:, :, None] if draw(st.booleans()) else x[None]).copy(), op
    if x.ndim != 2:
        return x.copy(), "same"
    if op == "no_rows":
        return x[:0].copy(), op
    if op == "no_cols":
        return x[:, :0].copy(), op
    if op == "T":
        return x.T.copy(), op
    if op == "extra_row":
        return np.concatenate([x, x[-1:] if len(x) else np.zeros((1, x.shape[1]), x.dtype)]), op
    if op == "extra_col":
        pad = x[:, -1:] if x.shape[1] else np.zeros((x.shape[0], 1), x.dtype)
        return np.concatenate([x, pad], axis=1), op
    if op == "drop_row":
        return x[:-1].copy(), op
    if op == "drop_col":
        return x[:, :-1].copy(), op
    # special values
    y = x.copy()
    if y.size and y.dtype.kind == "f":
        y.flat[draw(st.integers(0, y.size - 1))] = SPECIAL_VALUES[op]
        return y, op
    return y, "same"


def retyped(y, op, natural):
    if op == "natural":
        return y
    with quiet():
        if op == "complex":
            return y.astype(complex) + 0j
        if op == "str":
            return y.astype(str)
        if op == "bytes":
            return y.astype("S")
        if op == "junk_str":
            return np.full(y.shape, "a")
        return y.astype(op)


@st.composite
def laid_out(draw, y):
    """y in another memory layout (same dtype and values unless noted)."""
    op = draw(st.sampled_from(LAYOUT_OPS))
    if not isinstance(y, np.ndarray) or y.ndim == 0:
        return y, "contig"
    if op == "contig":
        return y, op
    if op == "fortran":
        return np.asfortranarray(y), op
    if op == "noncontig":
        big = np.zeros(tuple(2 * s + 1 for s in y.shape), y.dtype)
        view = big[tuple(slice(1, None, 2) for _ in y.shape)]
        view[...] = y
        return view, op
    if op == "negstride":
        return np.flip(np.flip(y).copy()), op
    if op == "readonly":
        z = y.copy()
        z.flags.writeable = False
        return z, op
    if op == "subclass":
        return y.copy().view(Sub), op
    if op == "zerostride":
        if y.shape[0] == 0:
            return y, "contig"
        return np.broadcast_to(y[:1], y.shape), op  # values: the first row repeated
    if op == "unaligned":
        if y.dtype.hasobject or y.dtype.itemsize == 1:
            return y, "contig"
        buf = np.zeros(y.nbytes + 1, np.uint8)
        z = np.ndarray(y.shape, y.dtype, buffer=buf, offset=1)
        z[...] = y
        return z, op
    if op == "byteswap":
        if y.dtype.hasobject or y.dtype.itemsize == 1 or y.dtype.kind in "SU":
            return y, "contig"
        return y.astype(y.dtype.newbyteorder()), op
    if op == "matrix":
        if y.ndim != 2:
            return y, "contig"
        with quiet():
            return np.matrix(y), op
    if op == "masked":
        return np.ma.array(y, mask=np.zeros(y.shape, bool)), op
    return y.tolist(), op  # "list"


@st.composite
def array_variant(draw, x, natural):
    """(variant, twin, strict) for the natural-dtype array x.

    The twin is a clean copy of the variant in the natural dtype; strict when
    only the layout differs from the twin."""
    y, shape_op = draw(reshaped(x))
    dop = draw(st.sampled_from(DTYPE_OPS))
    y = retyped(y, dop, natural)
    y, lop = draw(laid_out(y))
    note("array variant: shape %s, dtype %s, layout %s" % (shape_op, dop, lop))
    same_dtype = isinstance(y, np.ndarray) and y.dtype == np.dtype(natural)
    strict = same_dtype and lop in STRICT_LAYOUTS
    twin = clean(y, natural)
    return y, twin, strict


# ---------------------------------------------------------------------------
# Networks
# ---------------------------------------------------------------------------

COEFFICIENTS = st.sampled_from([0.0, 1.0, -1.0, 2.0, -2.0])
REGULATION = st.sampled_from([0.0, np.inf, 0.5, -1.0, 2.0])


@st.composite
def networks(draw, max_m=5, max_n=5, min_m=0, min_n=0):
    m = draw(st.integers(min_m, max_m))
    n = draw(st.integers(min_n, max_n))
    stoi = draw(hnp.arrays(np.float64, (m, n), elements=COEFFICIENTS))
    stoi = stoi + 0.0  # no negative zeros
    reginfo = None
    if draw(st.booleans()):
        reginfo = np.where(stoi < 0, np.inf, 0.0)
        extra = draw(hnp.arrays(np.float64, (m, n), elements=REGULATION))
        mask = draw(hnp.arrays(np.bool_, (m, n)))
        reginfo = np.where(mask, extra, reginfo)
    return stoi, reginfo


def build(stoi, reginfo):
    return cq.CRN(stoi.copy(), None if reginfo is None else reginfo.copy())


def pair(net):
    return build(*net), build(*net)


def shape_of(crn):
    try:
        shape = crn.stoi.shape
        return int(shape[0]), int(shape[1])
    except Exception:
        return None


# ---------------------------------------------------------------------------
# Attribute variants
# ---------------------------------------------------------------------------


@st.composite
def names_variant(draw, cur):
    count = len(cur) if isinstance(cur, (list, tuple, str, dict)) else 3
    kind = draw(st.sampled_from(["list", "short", "long", "tuple", "str", "dict", "empty", "none", "poison", "int"]))
    base = ["n%d" % i for i in range(count + 2)]
    if kind == "list":
        y = base[:count]
    elif kind == "short":
        y = base[: max(0, count - draw(st.integers(1, 2)))]
    elif kind == "long":
        y = base[: count + draw(st.integers(1, 2))]
    elif kind == "tuple":
        y = tuple(base[:count])
    elif kind == "str":
        y = "abcdefgh"[:count]
    elif kind == "dict":
        y = {i: base[i] for i in range(count)}
    elif kind == "empty":
        y = []
    elif kind == "none":
        return None, PRISTINE, False
    elif kind == "poison":
        return Poison(), PRISTINE, False
    else:
        return 7, PRISTINE, False
    twin = [y[i] for i in range(len(y))]
    return y, twin, True


MEMVIEW_OPS = ["copy", "copy_fortran", "rows_reversed", "cols_step", "T", "tail", "row", "empty_rows"]


@st.composite
def memview_variant(draw, mv, natural):
    op = draw(st.sampled_from(MEMVIEW_OPS))
    note("memory-view variant: %s" % op)
    y = {
        "copy": lambda: mv.copy(),
        "copy_fortran": lambda: mv.copy_fortran(),
        "rows_reversed": lambda: mv[::-1, :],
        "cols_step": lambda: mv[:, ::-2],
        "T": lambda: mv.T,
        "tail": lambda: mv[1:],
        "row": lambda: mv[0] if mv.shape[0] else mv[:0],
        "empty_rows": lambda: mv[:0],
    }[op]()
    return y, clean(y, natural), op in ("copy", "copy_fortran")


@st.composite
def attr_variant(draw, crn, attr):
    cur = getattr(crn, attr)
    if attr in NAME_ATTRS:
        return draw(names_variant(cur))
    natural = ARRAY_ATTRS[attr]
    kind = draw(st.sampled_from(["array"] * 6 + ["memview", "none", "poison", "shaped", "scalar", "A_view"]))
    note("attribute %s: %s" % (attr, kind))
    if kind == "memview" and isinstance(cur, MEMVIEW):
        return draw(memview_variant(cur, natural))
    if kind == "A_view" and natural is np.float64:
        y = crn.A  # a float memory view of another shape
        return y, clean(y, natural), False
    if kind == "none":
        return None, PRISTINE, False
    if kind == "poison":
        return Poison(), PRISTINE, False
    if kind == "shaped":
        shape = draw(st.tuples(st.integers(-3, 6), st.integers(-3, 6)) | st.just(np.array(cur).shape))
        y = Shaped(shape)
        return y, clean(y, natural), False
    if kind == "scalar":
        return 1.5, clean(1.5, natural), False
    return draw(array_variant(np.array(cur, dtype=natural), natural))


@st.composite
def sensitivity_override(draw, m, n):
    """A callable to shadow _smat_: returns a variant of a fixed pattern."""
    pattern = draw(hnp.arrays(np.bool_, (m, n)))
    kind = draw(st.sampled_from(["array"] * 4 + ["raises", "not_callable", "none"]))
    note("_smat_ override: %s" % kind)
    if kind == "raises":
        def fail(trial=2):
            raise ArithmeticError("the sensitivity matrix failed")
        return fail, fail, True
    if kind == "not_callable":
        return 5, 5, True
    if kind == "none":
        return (lambda trial=2: None), (lambda trial=2: None), True
    y, twin, strict = draw(array_variant(pattern, np.bool_))
    if twin is PRISTINE or twin is UNAVAILABLE:
        twin = y

    def bad(trial=2):
        return y

    def good(trial=2):
        return twin

    return bad, good, strict


@st.composite
def perturbed_pair(draw, net, attrs, max_changes=2, overrides=()):
    """A CRN with some attributes replaced, and its twin.

    Returns (bad, twin, comparable, strict)."""
    bad, twin = pair(net)
    comparable, strict = True, True
    for attr in draw(st.lists(st.sampled_from(attrs), unique=True, max_size=max_changes)):
        y, t, s = draw(attr_variant(bad, attr))
        setattr(bad, attr, y)
        if t is UNAVAILABLE:
            comparable = False
        elif t is not PRISTINE:
            setattr(twin, attr, t)
        strict = strict and s
    m, n = net[0].shape
    for name in overrides:
        if draw(st.integers(0, 3)) == 0:
            b, g, s = draw(sensitivity_override(m, n))
            setattr(bad, name, b)
            setattr(twin, name, g)
            strict = strict and s
    return bad, twin, comparable, strict


# ---------------------------------------------------------------------------
# Argument variants
# ---------------------------------------------------------------------------

TRIALS = st.sampled_from(
    [2, 1, 0, -1, 3, True, False, np.int64(1), np.int8(2), np.array(2), 2.5, "2", None,
     2**70, -(2**70), Poison(), [1]]
)


def twin_trial(y):
    """The plain int of y, or y itself when it is not a usable integer."""
    try:
        v = operator.index(y)
    except Exception:
        return y
    return v if -(2**63) <= v < 2**63 else y


@st.composite
def index_container(draw, count):
    """(factory, kind): factory() makes a fresh container (stateful ones are used up)."""
    items = draw(st.lists(st.integers(-2, count + 2), max_size=6))
    kind = draw(st.sampled_from(
        ["list"] * 4 + ["tuple", "set", "range", "int_array", "float_array", "bool_array",
                        "2d_array", "str_array", "dict", "string", "none", "int", "poison",
                        "generator", "failing", "ambiguous", "float_list", "0d_array"]))
    if kind == "list":
        f = lambda: list(items)
    elif kind == "tuple":
        f = lambda: tuple(items)
    elif kind == "set":
        f = lambda: set(items)
    elif kind == "range":
        a = draw(st.integers(-2, count + 1))
        b = draw(st.integers(-2, count + 2))
        f = lambda: range(a, b)
    elif kind == "int_array":
        arr = np.array(items, dtype=np.int64)
        arr, _ = draw(laid_out(arr))
        f = lambda: arr
    elif kind == "float_array":
        f = lambda: np.array(items, dtype=float)
    elif kind == "bool_array":
        f = lambda: np.array(items, dtype=bool)
    elif kind == "2d_array":
        f = lambda: np.array(items + [0] * (len(items) % 2), dtype=np.int64).reshape(2, -1) if items else np.zeros((2, 0), int)
    elif kind == "str_array":
        f = lambda: np.array([str(i) for i in items] or ["0"])
    elif kind == "dict":
        f = lambda: dict.fromkeys(items)
    elif kind == "string":
        f = lambda: "".join(str(i) for i in items)
    elif kind == "none":
        f = lambda: None
    elif kind == "int":
        f = lambda: 3
    elif kind == "poison":
        f = Poison
    elif kind == "generator":
        f = lambda: (i for i in items)
    elif kind == "failing":
        limit = draw(st.integers(0, 6))
        f = lambda: FailingContainer(items, limit)
    elif kind == "ambiguous":
        f = AmbiguousContainer
    elif kind == "0d_array":
        v = items[0] if items else 0
        f = lambda: np.array(v)
    else:
        f = lambda: [float(i) + 0.0 for i in items]
    return f, kind


def assert_sign(v):
    """A determinant sign: 1, -1, 0 or NaN (a float, a NumPy scalar or the integer 0)."""
    assert isinstance(v, (float, int, np.number)) and not isinstance(v, bool), repr(v)
    if isinstance(v, (complex, np.complexfloating)):
        v = v.real if v.imag == 0 else np.nan
    assert math.isnan(v) or v in (1.0, -1.0, 0.0), repr(v)
    if type(v) is int:
        assert v == 0


def emulate_membership(X, R, m, n):
    """The index lists that the membership questions give, asked in the order the methods ask them."""
    xs = [i for i in range(m) if i in X]
    rs = [j for j in range(n) if j in R]
    return xs, rs


@st.composite
def selection_variant(draw, m, n, for_reduction):
    """(XandR, twin, strict) around a boolean mask of m + n entries."""
    mask = draw(hnp.arrays(np.bool_, (m + n,)))
    length = draw(st.sampled_from(["same"] * 6 + ["longer", "shorter", "empty", "2d", "0d"]))
    if length == "longer":
        mask = np.concatenate([mask, [draw(st.booleans())]])
    elif length == "shorter":
        mask = mask[:-1].copy()
    elif length == "empty":
        mask = mask[:0].copy()
    elif length == "2d":
        mask = mask[None, :].copy() if draw(st.booleans()) else mask[:, None].copy()
    elif length == "0d":
        mask = np.array(bool(mask[0]) if mask.size else True)
    form = draw(st.sampled_from(
        ["bool"] * 4 + ["int", "uint8", "float", "nan_float", "complex", "object", "str", "list_bool",
                        "list_int", "tuple", "none", "poison", "int_scalar"]))
    note("selection: length %s, form %s" % (length, form))
    if form == "none":
        return None, None, True
    if form == "poison":
        return Poison(), UNAVAILABLE, False
    if form == "int_scalar":
        return 1, 1, True
    with quiet():
        if form == "bool":
            y = mask
        elif form == "nan_float":
            y = np.where(mask, np.nan, 0.0)
        elif form == "list_bool":
            y = [bool(v) for v in np.atleast_1d(mask)] if mask.ndim <= 1 else mask.tolist()
        elif form == "list_int":
            y = [int(v) for v in np.atleast_1d(mask)] if mask.ndim <= 1 else mask.astype(int).tolist()
        elif form == "tuple":
            y = tuple(bool(v) for v in np.atleast_1d(mask)) if mask.ndim <= 1 else tuple(mask.tolist())
        elif form == "str":
            y = np.where(mask, "x", "")
        else:
            y = mask.astype({"int": np.int64, "uint8": np.uint8, "float": float, "complex": complex,
                             "object": object}[form])
    y, lop = draw(laid_out(y)) if isinstance(y, np.ndarray) else (y, "contig")
    note("selection layout: %s" % lop)
    if for_reduction:
        # Marks are taken as booleans: any dtype NumPy converts gives the same outcome.
        with quiet():
            try:
                twin = np.array(np.asarray(y, dtype=bool), order="C")
            except Exception:
                twin = UNAVAILABLE
        strict = lop in STRICT_LAYOUTS and form not in ("list_bool", "list_int", "tuple")
    else:
        # The parts index the matrices as they are: keep the dtype.
        # An empty list is an empty selection of its form's type, not of floats.
        listed = {"list_bool": bool, "tuple": bool, "list_int": np.int64}.get(form)
        twin = np.array(np.asarray(y, dtype=listed), order="C")
        strict = isinstance(y, np.ndarray) and lop in STRICT_LAYOUTS
    return y, twin, strict


# ---------------------------------------------------------------------------
# Outcomes and comparisons
# ---------------------------------------------------------------------------


class Returned:
    def __init__(self, value):
        self.value = value

    def __repr__(self):
        return "Returned(%r)" % (self.value,)


class Raised:
    def __init__(self, exc):
        self.exc = exc
        self.type = type(exc)

    def __repr__(self):
        return "Raised(%s: %s)" % (self.type.__name__, self.exc)


def run(fn, seed):
    np.random.seed(seed)
    try:
        return Returned(fn())
    except Exception as exc:  # any ordinary exception is an acceptable outcome
        return Raised(exc)


def values_of(v):
    with quiet():
        return np.array(v)


def assert_values_agree(a, b, path):
    """Equal values and shapes (the dtype may differ: bool against 0/1)."""
    if isinstance(a, (list, tuple, str, dict)) and path.endswith("names"):
        assert [a[i] for i in range(len(a))] == [b[i] for i in range(len(b))], "%s: %r vs %r" % (path, a, b)
        return
    na, nb = values_of(a), values_of(b)
    assert na.shape == nb.shape, "%s: shape %s vs %s" % (path, na.shape, nb.shape)
    both_inexact = na.dtype.kind in "fc" and nb.dtype.kind in "fc"
    assert np.array_equal(na, nb, equal_nan=both_inexact), "%s:\n%r\nvs\n%r" % (path, na, nb)


def assert_state_agrees(bad, twin, keys):
    """Attributes agree in value.  Matrices that were carried along rather
    than computed keep the dtype they had, so both sides are compared as the
    clean copies of their natural dtype (a conversion commutes with the
    restriction that carried them)."""
    for k in keys:
        a, b = getattr(bad, k), getattr(twin, k)
        if a is b:
            continue
        if k in ARRAY_ATTRS:
            a, b = clean(a, ARRAY_ATTRS[k]), clean(b, ARRAY_ATTRS[k])
        assert_values_agree(a, b, k)


def record(outcome, label):
    """Notes an outcome for the report and the statistics; an internal
    error (SystemError) is a fault."""
    note("%s: %r" % (label, outcome))
    event("%s: %s" % (label, "returned" if isinstance(outcome, Returned)
                      else "raised " + outcome.type.__name__))
    if isinstance(outcome, Raised):
        assert not issubclass(outcome.type, SystemError), "internal error: %r" % outcome


def check(call_bad, call_twin, seed, *, comparable=True, strict=False, compare=assert_same, label=""):
    """The common property; returns the two outcomes."""
    bad = run(call_bad, seed)
    record(bad, label)
    if not comparable:
        return bad, None
    twin = run(call_twin, seed)
    note("twin: %r" % twin)
    if isinstance(bad, Returned):
        assert isinstance(twin, Returned), "succeeded on the variant but not on the clean input: %r" % twin
        compare(bad.value, twin.value)
    elif strict:
        assert isinstance(twin, Raised), "a layout variant failed where the clean input succeeded: %r" % bad
        assert twin.type is bad.type, "%r vs %r" % (bad, twin)
    return bad, twin


def check_read_only(bad, call_bad, call_twin, seed, label, **options):
    """check() of a method that reads the object: the call leaves every
    attribute of bad as it was, whatever its outcome."""
    snap = snapshot(bad)
    outcome, _ = check(call_bad, call_twin, seed, label=label, **options)
    assert_unchanged(bad, snap, label)
    return outcome


def twin_indices(make_X, make_R, shape, shared=False):
    """The twin's species and reaction indices: what the membership questions
    give on fresh containers (shared: one container for both), or fresh
    containers where they cannot be asked."""
    try:
        X = make_X()
        R = X if shared else make_R()
        return emulate_membership(X, R, *shape) if shape else (make_X(), make_R())
    except Exception:
        X = make_X()
        return X, X if shared else make_R()


@contextlib.contextmanager
def fast_signdet():
    """signdet_subnetwork looks signdet up in the module at every call: one trial keeps it quick."""
    original = cq.signdet

    def one_trial(A, trials=10):
        return original(A, 1)

    cq.signdet = one_trial
    try:
        yield
    finally:
        cq.signdet = original


SEEDS = st.integers(0, 2**32 - 1)
READ_ATTRS = list(ARRAY_ATTRS) + list(NAME_ATTRS)


# ---------------------------------------------------------------------------
# Construction
# ---------------------------------------------------------------------------


@st.composite
def init_argument(draw, x, allow_none):
    kind = draw(st.sampled_from(["array"] * 8 + ["nested_list", "tuple", "scalar", "poison", "none"]))
    if kind == "none" and allow_none:
        return None, None, True
    if kind == "nested_list":
        return x.tolist(), x.tolist(), True
    if kind == "tuple":
        return tuple(map(tuple, x)), tuple(map(tuple, x)), True
    if kind == "scalar":
        return 1.5, 1.5, True
    if kind == "poison":
        p = Poison()
        return p, p, True
    y, twin, strict = draw(array_variant(x, np.float64))
    if twin is PRISTINE or twin is UNAVAILABLE:
        twin = y
    return y, twin, strict


@st.composite
def init_names(draw, count):
    kind = draw(st.sampled_from(["none"] * 3 + ["list", "short", "long", "empty", "tuple", "poison", "int"]))
    return {
        "none": lambda: None,
        "list": lambda: ["s%d" % i for i in range(count)],
        "short": lambda: ["s%d" % i for i in range(max(0, count - 1))],
        "long": lambda: ["s%d" % i for i in range(count + 2)],
        "empty": lambda: [],
        "tuple": lambda: tuple("s%d" % i for i in range(count)),
        "poison": Poison,
        "int": lambda: 3,
    }[kind]()


@budget(400)
@given(net=networks(), data=st.data())
def test_construction(net, data):
    stoi, reginfo = net
    m, n = stoi.shape
    s_bad, s_twin, s_strict = data.draw(init_argument(stoi, False), label="stoi")
    if reginfo is None:
        reginfo = np.where(stoi < 0, np.inf, 0.0)
    r_bad, r_twin, r_strict = data.draw(init_argument(reginfo, True), label="reginfo")
    X_names = data.draw(init_names(m), label="X_names")
    R_names = data.draw(init_names(n), label="R_names")
    name = data.draw(st.sampled_from([None, "net", 3, Poison()]), label="name")

    bad = cq.CRN.__new__(cq.CRN)
    twin = cq.CRN.__new__(cq.CRN)
    outcome, _ = check(
        lambda: bad.__init__(s_bad, r_bad, X_names, R_names, name),
        lambda: twin.__init__(s_twin, r_twin, X_names, R_names, name),
        0,
        strict=s_strict and r_strict,
        label="CRN()",
    )
    assigned = list(vars(bad))
    assert assigned == INIT_ORDER[: len(assigned)], assigned
    assert bad.name is name
    if isinstance(outcome, Returned):
        assert assigned == INIT_ORDER
        assert_state_agrees(bad, twin, INIT_ORDER[1:])
        assert bad.X_names is X_names or X_names is None
        assert bad.R_names is R_names or R_names is None
        if type(s_bad) is np.ndarray and s_bad.dtype == np.float64:
            assert bad.stoi is s_bad  # a float64 array is held, not copied
        assert isinstance(bad.A, MEMVIEW) and isinstance(bad._CRN__cq_class, MEMVIEW)
        M, N = bad.stoi.shape
        assert bad.stoi.dtype == np.float64 and bad.reginfo.dtype == np.float64
        A = np.array(bad.A)
        assert A.ndim == 2 and A.shape[0] == A.shape[1] >= max(M, N), A.shape
        cqc = np.array(bad._CRN__cq_class)
        assert cqc.shape == (M, M) and cqc.dtype == np.bool_ and cqc.diagonal().all()
        assert bad._CRN__oc_keeper.dtype == np.bool_ and bad._CRN__oc_keeper.shape == bad.reginfo.shape


# ---------------------------------------------------------------------------
# Read-only methods
# ---------------------------------------------------------------------------


def call_with_trial(method, trial, how):
    if how == "default":
        return method()
    if how == "keyword":
        return method(trial=trial)
    return method(trial)


def assert_sensitivity(bad, S, trial):
    M, N = bad.stoi.shape[:2]
    assert type(S) is np.ndarray and S.dtype == np.bool_ and S.shape == (M, N)
    # The species-by-reaction block must lie inside the A-matrix.
    L = bad.A.shape[0]  # all that is read of A when it is empty
    assert max(M, N) <= L, "a %d x %d sensitivity matrix from an A-matrix of order %d" % (M, N, L)
    if isinstance(trial, int) and trial <= 0:
        assert not S.any()  # no trial, no sensitivity


def assert_structures(bad, found, trial):
    M, N = bad.stoi.shape[:2]
    assert isinstance(found, list) and found
    assert len({id(a) for a in found}) == len(found)  # independent arrays
    keys = []
    for a in found:
        assert type(a) is np.ndarray and a.dtype == np.bool_ and a.shape == (M + N,)
        keys.append((int(a[:M].sum()), int(a[M:].sum())))
    assert keys == sorted(keys), keys
    assert len({a.tobytes() for a in found}) == len(found)  # no duplicates


@pytest.mark.parametrize("method, overrides, assert_result", [
    ("_smat_", (), assert_sensitivity),
    ("search_for_isoBSs", ("_smat_",), assert_structures),
], ids=["_smat_", "search_for_isoBSs"])
@budget(300)
@given(net=networks(), data=st.data(), seed=SEEDS)
def test_methods_with_a_trial(method, overrides, assert_result, net, data, seed):
    bad, twin, comparable, strict = data.draw(
        perturbed_pair(net, READ_ATTRS, overrides=overrides), label="network"
    )
    trial = data.draw(TRIALS, label="trial")
    how = data.draw(st.sampled_from(["positional", "keyword", "default"]))
    outcome = check_read_only(
        bad,
        lambda: call_with_trial(getattr(bad, method), trial, how),
        lambda: call_with_trial(getattr(twin, method), twin_trial(trial), how),
        seed, method, comparable=comparable, strict=strict,
    )
    if isinstance(outcome, Returned):
        assert_result(bad, outcome.value, 2 if how == "default" else twin_trial(trial))


@budget(300)
@given(net=networks(), data=st.data(), seed=SEEDS)
def test_isoBS_searchfrom(net, data, seed):
    bad, twin, comparable, strict = data.draw(
        perturbed_pair(net, READ_ATTRS, overrides=("_smat_",)), label="network"
    )
    m, n = net[0].shape
    make_X, _ = data.draw(index_container(m), label="X")
    make_R, _ = data.draw(index_container(n), label="R")
    shared = data.draw(st.booleans())  # the same container as X and R
    trial = data.draw(st.sampled_from([2, 1, 0, 2.5, None]), label="trial")
    X = make_X()
    R = X if shared else make_R()
    shape = shape_of(bad)
    tX, tR = twin_indices(make_X, make_R, shape, shared)
    outcome = check_read_only(
        bad,
        lambda: bad.isoBS_searchfrom(X, R, trial),
        lambda: twin.isoBS_searchfrom(tX, tR, twin_trial(trial)),
        seed, "isoBS_searchfrom", comparable=comparable, strict=strict,
    )
    if isinstance(outcome, Returned):
        Xs, Rs = outcome.value
        M, N = shape
        for got, size in ((Xs, M), (Rs, N)):
            assert all(type(i) is int and 0 <= i < size for i in got), got
            assert got == sorted(set(got)), got
        if isinstance(tX, list) and isinstance(tR, list):
            assert set(tX) <= set(Xs) and set(tR) <= set(Rs)  # the seed is kept


@budget(300)
@given(net=networks(), data=st.data())
def test_compute_index(net, data):
    bad, twin, comparable, strict = data.draw(perturbed_pair(net, READ_ATTRS), label="network")
    m, n = net[0].shape
    make_X, _ = data.draw(index_container(m), label="X")
    make_R, _ = data.draw(index_container(n), label="R")
    X, R = make_X(), make_R()
    tX, tR = twin_indices(make_X, make_R, shape_of(bad))
    keyword = data.draw(st.booleans())
    outcome = check_read_only(
        bad,
        (lambda: bad.compute_index(R=R, X=X)) if keyword else (lambda: bad.compute_index(X, R)),
        lambda: twin.compute_index(tX, tR),
        0, "compute_index", comparable=comparable, strict=strict,
    )
    if isinstance(outcome, Returned):
        assert type(outcome.value) is int


def draw_with_selection(data, net, for_reduction):
    """A perturbed pair of the network and a selection variant for it:
    (bad, twin, comparable, strict, selection, twin's selection)."""
    bad, twin, comparable, strict = data.draw(perturbed_pair(net, READ_ATTRS), label="network")
    m, n = net[0].shape
    sel, tsel, sstrict = data.draw(selection_variant(m, n, for_reduction=for_reduction), label="XandR")
    return bad, twin, comparable and tsel is not UNAVAILABLE, strict and sstrict, sel, tsel


@pytest.mark.filterwarnings("ignore::UserWarning")
@budget(120)
@given(net=networks(max_m=3, max_n=3), data=st.data(), seed=SEEDS)
def test_signdet_subnetwork(net, data, seed):
    bad, twin, comparable, strict, sel, tsel = draw_with_selection(data, net, for_reduction=False)
    with fast_signdet():
        outcome = check_read_only(
            bad,
            lambda: bad.signdet_subnetwork(sel),
            lambda: twin.signdet_subnetwork(tsel),
            seed, "signdet_subnetwork", comparable=comparable, strict=strict,
        )
    if isinstance(outcome, Returned):
        assert_sign(outcome.value)


# ---------------------------------------------------------------------------
# Structural reduction
# ---------------------------------------------------------------------------


@budget(400)
@given(net=networks(), data=st.data(), seed=SEEDS)
def test_structural_reduction(net, data, seed):
    bad, twin, comparable, strict, sel, tsel = draw_with_selection(data, net, for_reduction=True)
    snap = snapshot(bad)
    outcome, twin_outcome = check(
        lambda: bad.structural_reduction(sel),
        lambda: twin.structural_reduction(tsel),
        seed, comparable=comparable, strict=strict, label="structural_reduction",
    )
    if isinstance(outcome, Raised):
        assert_unchanged(bad, snap, "a failed structural_reduction")
        return
    assert outcome.value is None
    assert bad.name is snap["name"][0]
    assert isinstance(bad.A, MEMVIEW)
    if twin_outcome is None:
        return
    assert_state_agrees(bad, twin, REDUCED)
    assert len(bad.X_names) == bad.stoi.shape[0] and len(bad.R_names) == bad.stoi.shape[1]
    # The reduced network keeps working, and alike on both objects.
    check(
        lambda: bad.search_for_isoBSs(),
        lambda: twin.search_for_isoBSs(),
        seed, strict=strict, label="search after the reduction",
    )
    check(
        lambda: bad._smat_(1),
        lambda: twin._smat_(1),
        seed, strict=strict, label="_smat_ after the reduction",
    )


# ---------------------------------------------------------------------------
# signdet
# ---------------------------------------------------------------------------

@st.composite
def sign_matrices(draw):
    k = draw(st.sampled_from([2, 3, 1, 0, 4]))
    A = draw(hnp.arrays(np.float64, (k, k), elements=st.sampled_from([0.0, 1.0, -1.0, 2.0, 3.0])))
    if k:
        free = draw(st.lists(st.integers(0, k * k - 1), unique=True, max_size=min(4, k * k)))
        for p in free:
            A.flat[p] = draw(st.sampled_from([np.inf, -np.inf, np.nan]))
    return A


@pytest.mark.filterwarnings("ignore::UserWarning")
@budget(80)
@given(A=sign_matrices(), data=st.data(), seed=SEEDS)
def test_signdet(A, data, seed):
    kind = data.draw(st.sampled_from(["array"] * 6 + ["nested_list", "nested_tuple", "memview", "poison", "none", "string"]))
    event("signdet input: %s, %d free entries" % (kind, int(np.sum(~(np.abs(A) < np.inf)))))
    strict = False
    if kind == "array":
        y, _, strict = data.draw(array_variant(A, np.float64))
        # The determinant of a matrix without free entries is NumPy's, in the dtype it is given.
        if isinstance(y, np.ndarray) and y.dtype.kind in "biufc":
            twin = np.array(y, order="C", dtype=y.dtype.newbyteorder("="))
        else:
            twin = clean(y, np.float64)
        if twin is PRISTINE or twin is UNAVAILABLE:
            twin = y
    elif kind == "nested_list":
        y, twin = A.tolist(), A
    elif kind == "nested_tuple":
        # A tuple is one argument, never spread into several (an empty one
        # has lost the matrix's second dimension).
        y, twin, strict = tuple(map(tuple, A.tolist())), A, A.size > 0
    elif kind == "memview":
        mv = cq.CRN(np.array([[-1.0, 1.0, 0.0], [1.0, 0.0, -1.0]])).A  # free entries on a memory view
        y, twin, strict = data.draw(memview_variant(mv, np.float64))
    else:
        y = twin = {"poison": Poison(), "none": None, "string": "abc"}[kind]
    trials = data.draw(st.sampled_from([1, 1, 1, 0, -1, True, np.int64(1), 2.5, None, 2**70]), label="trials")
    keyword = data.draw(st.booleans())
    outcome, _ = check(
        (lambda: cq.signdet(A=y, trials=trials)) if keyword else (lambda: cq.signdet(y, trials)),
        lambda: cq.signdet(twin, twin_trial(trials)),
        seed, strict=strict, label="signdet",
    )
    if isinstance(outcome, Returned):
        assert_sign(outcome.value)


# ---------------------------------------------------------------------------
# indicator_diagnose
# ---------------------------------------------------------------------------


@pytest.mark.filterwarnings("ignore::UserWarning")
@budget(80)
@given(net=networks(max_m=3, max_n=3), data=st.data(), seed=SEEDS)
def test_indicator_diagnose(net, data, seed):
    target = data.draw(st.sampled_from(["crn"] * 6 + ["subclass", "not_a_crn", "search_override"]))
    if target == "not_a_crn":
        junk = data.draw(st.sampled_from([None, Poison(), 3, "crn", Shaped((2, 2))]))
        outcome = run(lambda: cq.indicator_diagnose(junk), seed)
        assert isinstance(outcome, Raised) and outcome.type is AssertionError, outcome
        return
    if target == "subclass":
        bad = CRNSub(net[0].copy(), None if net[1] is None else net[1].copy())
        twin = build(*net)
        comparable, strict = True, True
    else:
        bad, twin, comparable, strict = data.draw(
            perturbed_pair(net, READ_ATTRS, max_changes=1), label="network"
        )
    if target == "search_override":
        m, n = net[0].shape
        sel, tsel, sstrict = data.draw(selection_variant(m, n, for_reduction=False), label="selection")
        strict = False  # the whole-network case writes into the selection it was given

        def bad_search(trial=2):
            return [sel]

        def twin_search(trial=2):
            return [tsel.copy() if isinstance(tsel, np.ndarray) else tsel]

        bad.search_for_isoBSs = bad_search
        twin.search_for_isoBSs = twin_search
        comparable = comparable and tsel is not UNAVAILABLE
    with fast_signdet():
        outcome, twin_outcome = check(
            lambda: cq.indicator_diagnose(bad),
            lambda: cq.indicator_diagnose(crn=twin),
            seed, comparable=comparable, strict=strict, label="indicator_diagnose",
        )
    if isinstance(outcome, Returned):
        records = outcome.value
        assert isinstance(records, list)
        for r in records:
            assert list(r) == ["chemicals", "reactions", "sign_det"]
        if twin_outcome is not None and target != "search_override":
            assert_state_agrees(bad, twin, REDUCED)


# ---------------------------------------------------------------------------
# Re-entrant changes: Python code that runs inside a call changes the object
# ---------------------------------------------------------------------------


def mutations(crn):
    """Changes that code running inside a method may make to the object."""

    def resize_stoi():
        crn.stoi.resize((1, 1), refcheck=False)

    def grow_stoi():
        crn.stoi = np.zeros((7, 6))

    def delete_A():
        del crn.A

    def small_A():
        crn.A = np.zeros((1, 1))

    def junk_classes():
        crn._CRN__cq_class = None

    def float_keeper():
        crn._CRN__oc_keeper = np.ones((5, 5))

    def short_names():
        crn.X_names = []

    def reduce_it():
        m, n = crn.stoi.shape
        crn.structural_reduction(np.ones(m + n, bool))

    return [resize_stoi, grow_stoi, delete_A, small_A, junk_classes, float_keeper, short_names, reduce_it]


class MutatingContainer:
    """A membership test that changes the network after `after` questions."""

    def __init__(self, change, after):
        self.change = change
        self.after = after
        self.asked = 0

    def __contains__(self, x):
        self.asked += 1
        if self.asked == self.after:
            self.change()
        return x == 0


@pytest.mark.parametrize(
    "entry", ["isoBS_searchfrom", "compute_index", "search_for_isoBSs", "indicator_diagnose", "structural_reduction"]
)
@budget(30)
@given(net=networks(min_m=1, min_n=1), data=st.data(), seed=SEEDS)
def test_reentrant_changes(entry, net, data, seed):
    crn = build(*net)
    change = data.draw(st.sampled_from(mutations(crn)), label="change")
    note("change %s during %s" % (change.__name__, entry))
    m, n = net[0].shape
    if entry in ("isoBS_searchfrom", "compute_index"):
        X = MutatingContainer(change, data.draw(st.integers(1, m + n)))
        call = lambda: getattr(crn, entry)(X, [0])
    elif entry == "search_for_isoBSs":
        real = crn._smat_

        def smat(trial=2):
            change()
            return real(trial)

        crn._smat_ = smat
        call = crn.search_for_isoBSs
    elif entry == "indicator_diagnose":
        real_search = crn.search_for_isoBSs

        def search(trial=2):
            found = real_search(trial)
            change()
            return found

        crn.search_for_isoBSs = search
        call = lambda: cq.indicator_diagnose(crn)
    else:
        class Marks(list):
            def __getitem__(self, i):
                if isinstance(i, int) and i == len(self) - 1:
                    change()
                return list.__getitem__(self, i)

        marks = Marks(data.draw(st.lists(st.booleans(), min_size=m + n, max_size=m + n)))
        call = lambda: crn.structural_reduction(marks)
    with fast_signdet():
        outcome = run(call, seed)
    record(outcome, entry)


# ---------------------------------------------------------------------------
# Module globals replaced: np, minimize, signdet and CRN are looked up in the
# module at every call
# ---------------------------------------------------------------------------


class NumpyProxy:
    """numpy, with one name answering something else."""

    def __init__(self, name, value):
        self._name = name
        self._value = value

    def __getattr__(self, attr):
        if attr == self._name:
            return self._value
        return getattr(np, attr)


class Namespace:
    def __init__(self, **kw):
        self.__dict__.update(kw)


JUNK_RESULTS = [
    lambda *a, **k: [1, 2, 3],
    lambda *a, **k: None,
    lambda *a, **k: 7,
    lambda *a, **k: np.zeros((2, 2, 2)),
    lambda *a, **k: np.ones((3, 3), complex),
    lambda *a, **k: np.array("x"),
    lambda *a, **k: np.zeros(1),
    lambda *a, **k: Poison(),
]


def _raise(*a, **k):
    raise RuntimeError("replaced function failed")


JUNK_RESULTS.append(_raise)
LATE_OBJECTIVES = []


def junk_minimizers():
    def no_fun(fun, x0):
        return Namespace()

    def text_fun(fun, x0):
        return Namespace(fun="low")

    def array_fun(fun, x0):
        return Namespace(fun=np.array([1.0, 2.0]))

    def wrong_size(fun, x0):
        return Namespace(fun=fun(np.zeros(np.size(x0) + 1)))

    def two_d(fun, x0):
        return Namespace(fun=fun(np.reshape(np.asarray(x0, float), (1, -1))))

    def strings(fun, x0):
        return Namespace(fun=fun(np.array(["a"] * np.size(x0))))

    def keeps_objective(fun, x0):
        LATE_OBJECTIVES.append((fun, np.array(x0, float)))
        return Namespace(fun=fun(x0))

    return [no_fun, text_fun, array_fun, wrong_size, two_d, strings, keeps_objective, _raise]


@st.composite
def replaced_global(draw):
    which = draw(st.sampled_from(["np." + f for f in ("array", "asarray", "abs", "sum", "zeros", "bool_", "sign", "any", "all")]
                                 + ["np.linalg", "np.random", "np", "minimize", "signdet", "CRN"]))
    if which == "minimize":
        return which, draw(st.sampled_from(junk_minimizers()))
    if which == "np":
        return which, draw(st.sampled_from([None, Poison(), 3]))
    if which == "CRN":
        return which, draw(st.sampled_from([3, None, Namespace, cq.CRN]))
    junk = draw(st.sampled_from(JUNK_RESULTS))
    if which == "np.linalg":
        return which, NumpyProxy("linalg", Namespace(det=junk, pinv=junk))
    if which == "np.random":
        return which, NumpyProxy("random", Namespace(normal=junk))
    if which == "signdet":
        return which, junk
    return which, NumpyProxy(which[3:], junk)


ENTRIES = ["CRN", "_smat_", "isoBS_searchfrom", "compute_index", "search_for_isoBSs",
           "signdet_subnetwork", "structural_reduction", "signdet", "indicator_diagnose"]


@pytest.mark.filterwarnings("ignore::UserWarning")
@pytest.mark.parametrize("entry", ENTRIES)
@budget(25)
@given(net=networks(min_m=1, min_n=1, max_m=3, max_n=3), replacement=replaced_global(), seed=SEEDS)
def test_module_globals_replaced(entry, net, replacement, seed):
    name, value = replacement
    key = name.split(".")[0]
    original = getattr(cq, key)
    signdet = cq.signdet
    crn = build(*net)
    m, n = net[0].shape
    sel = np.ones(m + n, bool)
    calls = {
        "CRN": lambda: cq.CRN(net[0].copy()),
        "_smat_": lambda: crn._smat_(1),
        "isoBS_searchfrom": lambda: crn.isoBS_searchfrom([0], [0]),
        "compute_index": lambda: crn.compute_index([0], [0]),
        "search_for_isoBSs": lambda: crn.search_for_isoBSs(),
        "signdet_subnetwork": lambda: crn.signdet_subnetwork(sel),
        "structural_reduction": lambda: crn.structural_reduction(sel),
        "signdet": lambda: signdet(np.array([[np.inf, 1.0], [1.0, np.nan]]), 1),
        "indicator_diagnose": lambda: cq.indicator_diagnose(crn),
    }
    np.random.seed(seed)
    before = cq.CRN(net[0].copy()).search_for_isoBSs()
    snap = snapshot(crn)
    del LATE_OBJECTIVES[:]
    setattr(cq, key, value)
    try:
        outcome = run(calls[entry], seed)
        # An objective kept beyond its call still answers, or raises.
        late = [run(lambda: f(x), seed) for f, x in LATE_OBJECTIVES]
    finally:
        setattr(cq, key, original)
    note("%s replaced" % name)
    record(outcome, entry)
    for o in late:
        if isinstance(o, Raised):
            assert not issubclass(o.type, SystemError), o
    if entry not in ("structural_reduction", "indicator_diagnose") or isinstance(outcome, Raised) and entry == "structural_reduction":
        assert_unchanged(crn, snap, entry)
    # The module is whole again.
    np.random.seed(seed)
    assert_same(cq.CRN(net[0].copy()).search_for_isoBSs(), before)


# ---------------------------------------------------------------------------
# Methods called on other objects than a CRN
# ---------------------------------------------------------------------------

METHODS = ["_smat_", "isoBS_searchfrom", "compute_index", "search_for_isoBSs",
           "signdet_subnetwork", "structural_reduction"]


def method_args(name, m, n):
    sel = np.zeros(m + n, bool)
    sel[:: 2] = True
    return {
        "_smat_": (1,),
        "isoBS_searchfrom": ([0], [0], 1),
        "compute_index": ([0, 1], [0]),
        "search_for_isoBSs": (1,),
        "signdet_subnetwork": (sel,),
        "structural_reduction": (sel,),
    }[name]


class Duck:
    """A plain object holding a CRN's attributes, with the methods bound to it."""

    def __init__(self, crn):
        self.__dict__.update(vars(crn))
        for name in METHODS:
            setattr(self, name, getattr(cq.CRN, name).__get__(self))


@pytest.mark.filterwarnings("ignore::UserWarning")
@pytest.mark.parametrize("method", METHODS)
@budget(15)
@given(net=networks(min_m=1, min_n=1, max_m=3, max_n=3), who=st.sampled_from(["duck", "none", "int", "poison", "shaped"]),
       seed=SEEDS)
def test_methods_on_other_objects(method, net, who, seed):
    crn = build(*net)
    m, n = net[0].shape
    args = method_args(method, m, n)
    fn = getattr(cq.CRN, method)
    if who != "duck":
        self = {"none": None, "int": 5, "poison": Poison(), "shaped": Shaped((m, n))}[who]
        with fast_signdet():
            outcome = run(lambda: fn(self, *args), seed)
        assert isinstance(outcome, Raised) and not issubclass(outcome.type, SystemError), outcome
        return
    duck = Duck(crn)
    with fast_signdet():
        check(lambda: fn(duck, *args), lambda: fn(crn, *args), seed, strict=True, label=method)
    if method == "structural_reduction":
        assert_state_agrees(duck, crn, REDUCED)


# ---------------------------------------------------------------------------
# Regression cases of faults found by the properties above
# ---------------------------------------------------------------------------


@pytest.mark.parametrize("shape", [(-5, 10), (-1, 3), (10, -5), (2, -1), (-1, -1), (0, -1)])
def test_negative_extents_never_reach_outside_the_selection(shape):
    # Only an ndarray guarantees a non-negative shape.  The selection vector
    # has m + n entries and is filled with NumPy's index rules: with n < 0 the
    # species entries run past its end (IndexError); with m < 0 the reaction
    # entries wrap around, and the sensitivity matrix (ValueError: negative
    # dimensions) or the kernels (TypeError: not an ndarray) stop the call.
    crn = build(np.array([[-1.0, 1.0, 0.0], [1.0, -1.0, -1.0]]), None)
    crn.stoi = Shaped(shape)
    m, n = shape
    expected = IndexError if 0 <= m + n < m else (ValueError, TypeError)
    with pytest.raises(expected):
        crn.isoBS_searchfrom([0], [0])
    with pytest.raises(expected):
        crn.compute_index([0], [0])
    # With a sensitivity matrix supplied, the closure refuses the extents.
    crn._smat_ = lambda trial=2: np.ones((4, 12), bool)
    with pytest.raises((IndexError, ValueError)):
        crn.isoBS_searchfrom(range(3), range(3))


@pytest.mark.parametrize("A", [np.zeros((0, 0)), np.zeros((0, 3)), np.zeros((1, 1))])
def test_an_A_matrix_smaller_than_the_network_is_refused(A):
    crn = build(np.array([[-1.0, 1.0]]), None)
    crn.A = A
    with pytest.raises(ValueError, match="smaller than the stoichiometry matrix"):
        crn._smat_()
    with pytest.raises(ValueError):
        crn.search_for_isoBSs()
    with pytest.raises(ValueError):
        crn.isoBS_searchfrom([0], [0])
    # The empty network itself has an empty sensitivity matrix.
    S = cq.CRN(np.zeros((0, 0)))._smat_()
    assert S.shape == (0, 0) and S.dtype == np.bool_


def test_a_selection_that_numpy_does_not_turn_into_an_array_is_refused():
    crn = build(np.array([[-1.0, 1.0, 0.0], [1.0, -1.0, -1.0]]), None)
    snap = snapshot(crn)
    cq.np = NumpyProxy("array", lambda *a, **k: [1, 2, 3])
    try:
        with pytest.raises(TypeError, match="Cannot convert list to numpy.ndarray"):
            crn.structural_reduction(np.zeros(5, bool))
    finally:
        cq.np = np
    assert_unchanged(crn, snap, "structural_reduction")


# ---------------------------------------------------------------------------
# Hostile model files: quelmar.load returns a network or raises LoadError
# ---------------------------------------------------------------------------

SEED_FILES = {
    "xml": ('<?xml version="1.0" encoding="UTF-8"?>\n<sbml xmlns="http://www.sbml.org/sbml/'
            'level3/version2/core" level="3" version="2"><model id="m"><listOfCompartments>'
            '<compartment id="c" constant="true"/></listOfCompartments><listOfSpecies>'
            + "".join(f'<species id="{s}" compartment="c" hasOnlySubstanceUnits="false" '
                      'boundaryCondition="false" constant="false"/>' for s in "AB")
            + '</listOfSpecies><listOfReactions><reaction id="r" reversible="false">'
            '<listOfReactants><speciesReference species="A" stoichiometry="1" constant="true"/>'
            '</listOfReactants><listOfProducts><speciesReference species="B" stoichiometry="2" '
            'constant="true"/></listOfProducts><kineticLaw><math xmlns="http://www.w3.org/1998/'
            'Math/MathML"><apply><times/><ci>k</ci><ci>A</ci></apply></math><listOfLocalParameters>'
            '<localParameter id="k" value="1"/></listOfLocalParameters></kineticLaw></reaction>'
            "</listOfReactions></model></sbml>\n"),
    "json": ('{"id": "m", "metabolites": [{"id": "A"}, {"id": "B"}], "reactions": '
             '[{"id": "r", "lower_bound": -1, "metabolites": {"A": -1, "B": 2}}]}\n'),
    "ant": "model m()\n  r: A -> 2 B; k*(A)\n  k = 1\nend\n",
}
# where each kind of file takes nesting, a long run, and an id
NEST = {"xml": ("<model id=\"m\">", "<annotation>", "<x>", "</x>", "</annotation>"),
        "json": ('{"id": "m", ', '"notes": ', "[", "]", ", "),
        "ant": ("k*(", "", "(", ")", "")}


@st.composite
def hostile_files(draw):
    """A small valid model of each format, damaged the way hostile files are:
    deep nesting, long runs, other encodings, cut or flipped bytes,
    duplicated or odd ids, numbers beyond every range."""
    kind = draw(st.sampled_from(sorted(SEED_FILES)))
    text = SEED_FILES[kind]
    how = draw(st.sampled_from(["depth", "size", "encoding", "bytes", "ids", "numbers"]))
    if how == "depth":
        anchor, before, open_, close, after = NEST[kind]
        k = draw(st.sampled_from([1, 50, 999, 1001, 5000, 60000]))
        inner = open_ * k + close * k if kind != "ant" else open_ * k + "A" + close * k
        text = text.replace(anchor, anchor + before + inner + after, 1) if kind != "ant" \
            else text.replace(anchor + "A)", "k*" + inner, 1)
    elif how == "size":
        run = draw(st.sampled_from(["x", " ", "<", "+A", "\n", "(", "-"]))
        k = draw(st.sampled_from([10, 10_001, 300_000]))
        at = draw(st.integers(0, len(text)))
        text = text[:at] + run * k + text[at:]
    elif how == "ids":
        new = draw(st.sampled_from(["A", "B", "r", "m", "", "A\x1b[2J", "\x00", "\ud800",
                                    "9" * 5000, "A" * 100_000]))
        old = draw(st.sampled_from(["A", "B", "r"]))
        text = text.replace(f'"{old}"', f'"{new}"', draw(st.integers(1, 2)))
        text = text.replace(f"{old} ", f"{new} ", 1)
    elif how == "numbers":
        new = draw(st.sampled_from(["1e999", "-1e999", "NaN", "9" * 5000, "0x10", "1/0", "-0"]))
        text = text.replace("2", new, draw(st.integers(1, 3)))
    if how == "encoding":
        codec = draw(st.sampled_from(["utf-16", "utf-32", "latin-1", "cp500", "utf-8-sig"]))
        data = text.replace("m", "m\xe9", 1).encode(codec, "replace")
    else:
        data = text.encode("utf-8", "surrogatepass")
    if how == "bytes":
        data = bytearray(data)
        for _ in range(draw(st.integers(1, 3))):
            if draw(st.booleans()) and data:
                del data[draw(st.integers(0, len(data) - 1)):]
            elif data:
                data[draw(st.integers(0, len(data) - 1))] = draw(st.integers(0, 255))
        data = bytes(data)
    return kind, data


@budget(60)
@given(hostile_files())
def test_hostile_files_load_or_raise_load_error(tmp_path_factory, case):
    quelmar = pytest.importorskip("quelmar")
    pytest.importorskip("libsbml")
    pytest.importorskip("antimony")
    kind, data = case
    path = tmp_path_factory.mktemp("hostile") / f"model.{kind}"
    path.write_bytes(data)
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            crn = quelmar.load(path)
    except quelmar.LoadError as e:
        event(f"{kind}: LoadError")
        assert str(e).startswith(f"{path}: ") and "\n" not in str(e)
    else:
        event(f"{kind}: loaded")
        assert len(crn.X_names) == len(set(crn.X_names)) == crn.stoi.shape[0]
        assert len(crn.R_names) == len(set(crn.R_names)) == crn.stoi.shape[1]


# ---------------------------------------------------------------------------
# Absurd extents, arguments passed whole, inputs changed while a kernel runs,
# interrupts
# ---------------------------------------------------------------------------


@pytest.mark.parametrize("shape", [(0, 2**32), (2**32, 0), (0, 2**40)])
def test_absurd_extents_are_refused_before_allocating(shape):
    with pytest.raises(ValueError, match="at most 2147483647 species"):
        cq.CRN(np.zeros(shape), None, [], [], "absurd")
    with pytest.raises(MemoryError):  # n * (m + n) doubles of work space
        cq.CRN(np.zeros((0, 2**31 - 1)), None, [], [], "absurd")
    # refused at once, before a billion default names are made
    import time
    start = time.monotonic()
    with pytest.raises(MemoryError, match="A-matrix has order at least 1000000000"):
        cq.CRN(np.zeros((0, 10**9)))
    assert time.monotonic() - start < 1.0
    crn = cq.CRN(np.zeros((1, 1)))
    crn.stoi = np.zeros(shape)
    for call in (lambda: crn.isoBS_searchfrom([], []), lambda: crn.compute_index([], []),
                 crn._smat_, crn.search_for_isoBSs):
        with pytest.raises((ValueError, MemoryError, IndexError)):
            call()


def test_single_arguments_are_passed_whole():
    crn = build(np.array([[-1.0, 1.0]]), None)
    with pytest.raises(TypeError):
        crn.search_for_isoBSs(())
    with pytest.raises(TypeError):
        crn.isoBS_searchfrom([0], [0], ())
    with fast_signdet():
        np.random.seed(3)
        as_list = cq.signdet([[1.0, 2.0], [3.0, 4.0]])
        np.random.seed(3)
        assert cq.signdet(((1.0, 2.0), (3.0, 4.0))) == as_list == -1.0
        assert cq.signdet(((2.0,),)) == 1.0


def test_inputs_reallocated_meanwhile_are_not_read():
    # The module's np.random.normal runs between the trials of _smat_, and a
    # signal handler at the kernels' interrupt checks: both reallocate the
    # arrays of the network in place (smaller, or with the same values
    # elsewhere); the results are those of an untouched twin.
    stoi = np.array([[-1.0, 1.0, 0.0, 0.0], [1.0, -1.0, -1.0, 0.0], [0.0, 0.0, 1.0, -1.0]])
    crn, twin = build(stoi.copy(), None), build(stoi.copy(), None)
    arrays = [crn.stoi, crn.reginfo, crn.A.base, crn._CRN__cq_class.base, crn._CRN__oc_keeper]

    def reallocate(*_):
        for a in arrays:
            if a.size > 1:
                a.resize((1,) * a.ndim, refcheck=False)

    def normal(*args, **kwargs):
        reallocate()
        return np.random.normal(*args, **kwargs)

    np.random.seed(5)
    expected = twin._smat_(3)
    cq.np = NumpyProxy("random", Namespace(normal=normal))
    try:
        np.random.seed(5)
        got = crn._smat_(3)
    finally:
        cq.np = np
    np.testing.assert_array_equal(got, expected)
    import signal

    stoi = -np.eye(40)[:, :36] + np.eye(40, k=1)[:, :36]
    big, twin = build(stoi.copy(), None), build(stoi.copy(), None)
    arrays[:] = [big.stoi, big.reginfo, big.A.base, big._CRN__cq_class.base,
                 big._CRN__oc_keeper]

    def move(*_):
        for a in arrays:
            a.__setstate__(a.__reduce__()[2])

    np.random.seed(6)
    expected = [twin.search_for_isoBSs(), twin.compute_index(range(30), range(30))]
    previous = signal.signal(signal.SIGALRM, move)
    try:
        signal.setitimer(signal.ITIMER_REAL, 0.001, 0.001)
        np.random.seed(6)
        got = [big.search_for_isoBSs(), big.compute_index(range(30), range(30))]
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    assert_same(got, expected)


@contextlib.contextmanager
def interrupt_after(seconds):
    import signal

    def handler(*_):
        raise KeyboardInterrupt

    previous = signal.signal(signal.SIGALRM, handler)
    signal.setitimer(signal.ITIMER_REAL, seconds)
    try:
        yield
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)


def test_ctrl_c_ends_long_calls():
    import time
    crn = cq.CRN(np.zeros((0, 3)))  # nothing free to draw: trials take no time
    with pytest.raises(KeyboardInterrupt), interrupt_after(0.2):
        crn._smat_(10**15)
    crn = cq.CRN(np.zeros((1, 1)))
    crn.stoi = np.zeros((1, 50_000))  # 50 001 membership tests of a long list
    start = time.monotonic()
    with pytest.raises(KeyboardInterrupt), interrupt_after(0.2):
        crn.isoBS_searchfrom([], list(range(1, 200_000, 2)))
    assert time.monotonic() - start < 30
    # the pseudo-inverse of a large block
    rng = np.random.default_rng(1)
    m = 2500  # its pseudo-inverse takes seconds
    crn.stoi = rng.normal(size=(m, m))
    crn.reginfo = np.zeros((m, m))
    sel = np.zeros(2 * m, bool)
    sel[:m - 1] = sel[m:2 * m - 1] = True
    start = time.monotonic()
    with pytest.raises(KeyboardInterrupt), interrupt_after(0.05):
        crn.structural_reduction(sel)
    assert time.monotonic() - start < 2.5


def test_the_cofactor_fallback_refuses_large_networks():
    # An A-matrix that does not fit the network leaves the exact pattern
    # undecided: the cofactor method would need L**4 doubles (4 GiB here).
    crn = cq.CRN(np.array([[-1.0, 1.0]]))
    crn.A = np.eye(150) + np.diag(np.full(149, np.inf), 1)
    with pytest.raises(MemoryError, match="cofactor method would need 3.7 GiB"):
        crn._smat_()


# ---------------------------------------------------------------------------
# Batch tables: hostile names, foreign files, rows of any length, kills
# ---------------------------------------------------------------------------

# Names a model can hold: any code point (lone surrogates come from JSON
# escapes and from file names that are not UTF-8), control characters, what
# a spreadsheet would run as a formula, and very long ones.
HOSTILE_NAMES = (
    st.text(st.characters(codec=None, exclude_categories=()), max_size=12)
    | st.sampled_from(["=1+2", "+SUM(A1)", "-2", "@cmd", "'=x", "\ud800", "a\udfffb",
                       "\ud83d\ude00", "x\x00y", "\r\n", "$\\undefinedcommand{$"])
    | st.builds(lambda c, k: c * k, st.sampled_from(["a", "\u00e9", "\ud800"]),
                st.integers(1000, 70000)))


def table_rows(names):
    from quelmar.batching.plan import Task
    from quelmar.batching.run import _empty_row

    rows = []
    for k, name in enumerate(names):
        task = Task(k, name, f"/models/{name}.xml", name if k else "", None, None)
        row = _empty_row(task, 0, 2)
        row.update(species=k, error=name, structures=json.dumps([[[name], [name]]]))
        rows.append(row)
    return rows


@pytest.mark.parametrize("kind", ["csv", "parquet"])
@budget(40)
@given(names=st.lists(HOSTILE_NAMES, min_size=1, max_size=4, unique=True))
def test_any_name_goes_into_a_table_and_back(tmp_path_factory, kind, names):
    pytest.importorskip("pandas")
    pytest.importorskip("pyarrow")
    pytest.importorskip("distributed")
    from quelmar.batching import read_table
    from quelmar.batching.tables import open_table
    from quelmar.words import unicode_text

    path = str(tmp_path_factory.mktemp("t") / f"t.{kind}")
    rows = table_rows(names)
    table = open_table(path, resume=False)
    for r in rows:
        table.add(r)
    table.close()
    if kind == "csv":
        import csv

        limit = csv.field_size_limit(2**31 - 1)
        try:
            with open(path, encoding="utf-8", newline="") as f:
                for cells in csv.reader(f):
                    assert not cells[0].startswith(("=", "+", "-", "@")), cells[0]
        finally:
            csv.field_size_limit(limit)
    frame = read_table(path)
    assert list(frame["name"]) == [unicode_text(n) for n in names]
    assert list(frame["error"]) == list(frame["name"])
    assert list(frame["knockout"]) == [""] + [unicode_text(n) for n in names[1:]]
    assert [unicode_text(json.loads(s)[0][0][0]) for s in frame["structures"]] == \
        [unicode_text(n) for n in names]
    table = open_table(path, resume=True)  # resumes what it wrote, whatever the names
    assert len(table.rows) == len(names)
    table.close()


@budget(60)
@given(content=st.binary(max_size=300) | st.sampled_from(
    [b'{"name": "m", "species": ["A"]}', b"name,source", b"<sbml/>\n", b"A -> B\n"]))
def test_resume_never_writes_into_a_file_it_did_not_write(tmp_path_factory, content):
    pytest.importorskip("pandas")
    from quelmar.batching.tables import HEADER, CsvTable

    path = str(tmp_path_factory.mktemp("t") / "t.csv")
    with open(path, "wb") as f:
        f.write(content)
    try:
        table = CsvTable(path, resume=True)
    except ValueError as e:
        assert "not a table written by a batch" in str(e)
        with open(path, "rb") as f:
            assert f.read() == content  # refused untouched
        return
    table.close()
    assert content.startswith(HEADER) or HEADER.startswith(content)


def test_a_fifo_or_a_model_is_no_table(tmp_path):
    pytest.importorskip("pandas")
    pytest.importorskip("pyarrow")
    pytest.importorskip("distributed")
    import quelmar
    from quelmar.batching.tables import open_table

    fifo = str(tmp_path / "f.csv")
    os.mkfifo(fifo)
    for resume in (False, True):  # refused at once, never opened (which would block)
        with pytest.raises((ValueError, FileExistsError)):
            open_table(fifo, resume)
    model = tmp_path / "m.ant"
    model.write_text("A -> B; k*A\nB -> A; k*B\n")
    link = str(tmp_path / "m.csv")
    os.link(model, link)
    for m in (str(model), link):
        with pytest.raises(ValueError, match="is the model"):
            quelmar.batching.batch(m, out=link, resume=True)
    assert model.read_text() == "A -> B; k*A\nB -> A; k*B\n"
    directory = tmp_path / "models.parquet"
    directory.mkdir()
    (directory / "m.xml").write_text("<sbml/>")
    with pytest.raises(ValueError, match="not a table written by a batch"):
        open_table(str(directory), True)
    assert os.listdir(directory) == ["m.xml"]


@budget(15)
@given(kills=st.lists(st.integers(1, 200), min_size=1, max_size=4))
def test_the_journal_survives_any_number_of_kills(tmp_path_factory, kills):
    pytest.importorskip("pandas")
    pytest.importorskip("pyarrow")
    pytest.importorskip("distributed")
    from quelmar.batching import read_table
    from quelmar.batching.tables import ParquetTable

    path = str(tmp_path_factory.mktemp("t") / "t.parquet")
    names = [f"R{k}" for k in range(len(kills) + 1)]
    rows = table_rows(names)
    table = ParquetTable(path, resume=False)
    for row, cut in zip(rows, kills):
        table.add(row)
        line = (json.dumps(rows[-1]) + "\n").encode()
        os.write(table.fd, line[:cut % len(line) or 1])  # killed in mid-line
        os.close(table.fd)
        table = ParquetTable(path, resume=True)
    table.add(rows[-1])
    os.close(table.fd)  # killed once more, after a whole line
    frame = read_table(path)
    assert sorted(frame["knockout"]) == sorted(r["knockout"] for r in rows)


def test_rows_longer_than_the_csv_modules_default_limit_are_resumed(tmp_path):
    pytest.importorskip("pandas")
    pytest.importorskip("distributed")
    from quelmar.batching import read_table
    from quelmar.batching.tables import CsvTable

    path = str(tmp_path / "t.csv")
    row = table_rows(["net"])[0]
    row["structures"] = json.dumps([[[f"S{k}" for k in range(40)], ["R"]]] * 2000)
    assert len(row["structures"]) > 2**17
    table = CsvTable(path, resume=False)
    table.add(row)
    table.close()
    assert CsvTable(path, resume=True).rows[0]["structures"] == row["structures"]
    assert read_table(path)["structures"][0] == row["structures"]


# ---------------------------------------------------------------------------
# Every output writer takes any name a model can hold
# ---------------------------------------------------------------------------


@pytest.mark.filterwarnings("ignore::UserWarning")
@budget(12)
@given(names=st.lists(HOSTILE_NAMES, min_size=4, max_size=4, unique=True))
def test_any_name_reaches_every_output(tmp_path_factory, names):
    pytest.importorskip("matplotlib")
    pytest.importorskip("graphviz")
    import shutil
    import xml.dom.minidom

    import quelmar
    from quelmar.diagram import write_diagram
    from quelmar.plot import write_plot

    if shutil.which("dot") is None:
        pytest.skip("no Graphviz")
    a, b, r, name = names
    crn = cq.CRN(np.array([[1.0, -1.0, 0.0], [0.0, 1.0, -1.0]]),
                 X_names=[a, b], R_names=[r, "r2", "r3"], name=name)
    result = quelmar.analyze(crn, seed=0)
    assert result.species == [a, b]  # the data keeps every name as it is
    out = tmp_path_factory.mktemp("o")
    for ext in ("svg", "dot"):
        write_diagram(result, str(out / f"d.{ext}"))
    write_plot(result, str(out / "p.svg"))
    for f in ("d.svg", "p.svg"):
        xml.dom.minidom.parse(str(out / f))  # valid XML whatever the names
    html = result.to_html()
    assert html.count("<svg") >= 2  # the heat map and the diagram are on the page
    fileio = __import__("quelmar.fileio", fromlist=["write_atomic"])
    fileio.write_atomic(str(out / "r.html"), html)
    fileio.write_atomic(str(out / "r.txt"), result.report(full=True))
    from quelmar.words import unicode_text

    again = quelmar.Analysis.from_json(result.to_json())
    assert [unicode_text(x) for x in again.species] == [unicode_text(x) for x in names[:2]]


def test_graphviz_failures_are_reported_as_such():
    pytest.importorskip("graphviz")
    import shutil

    from quelmar.diagram import DiagramError, render

    if shutil.which("dot") is None:
        pytest.skip("no Graphviz")
    with pytest.raises(DiagramError, match="Graphviz failed: .*syntax error"):
        render("digraph { a -> ; }\n", "svg")
    huge = 'digraph { a [label="' + "x" * 200_000 + '"]; a -> ; }\n'
    with pytest.raises(DiagramError, match="Graphviz failed"):
        render(huge, "svg")
