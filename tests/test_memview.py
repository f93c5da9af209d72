"""The memory-view type behind ``CRN.A`` and ``CRN._CRN__cq_class``: indexing,
slicing, the buffer protocol, properties, copies and reference counts."""

import ctypes
import gc
import re

import numpy as np
import pytest

from support import assert_flat

cq = pytest.importorskip("quelmar.cyquelmar")

# Two independent conversions X0 -> X1 and X2 -> X3 with finite regulation:
# A is 4 x 4 with distinct rows, the classes are two 2 x 2 blocks.
STOI = np.array([[-1.0, 0.0], [1.0, 0.0], [0.0, -1.0], [0.0, 1.0]])
REGINFO = np.array([[1.5, 0.0], [0.0, 0.0], [0.0, 2.5], [0.0, 0.0]])
EXPECTED_A = np.array(
    [[1.5, 0.0, 0.0, 0.0], [0.0, 0.0, 2.5, 0.0], [1.0, 1.0, 0.0, 0.0], [0.0, 0.0, 1.0, 1.0]]
)
EXPECTED_CQ = np.array(
    [[True, True, False, False], [True, True, False, False],
     [False, False, True, True], [False, False, True, True]]
)


@pytest.fixture
def crn():
    return cq.CRN(STOI.copy(), REGINFO.copy())


@pytest.fixture
def A(crn):
    return crn.A


@pytest.fixture
def cqc(crn):
    return crn._CRN__cq_class


# ---------------------------------------------------------------------------
# The type


def test_type_identity(A, cqc):
    assert type(A).__name__ == "_memoryviewslice"
    assert type(cqc) is type(A)
    assert not isinstance(A, np.ndarray)
    assert gc.is_tracked(A)


def test_not_instantiable(A):
    with pytest.raises(TypeError):
        type(A)()
    with pytest.raises(TypeError):
        type(A)(np.zeros((2, 2)))


def test_values(A, cqc):
    a = np.asarray(A)
    assert a.dtype == np.float64
    np.testing.assert_array_equal(a, EXPECTED_A)
    c = np.asarray(cqc)
    assert c.dtype == np.bool_
    np.testing.assert_array_equal(c, EXPECTED_CQ)


# ---------------------------------------------------------------------------
# Conversion and the buffer protocol


def test_asarray_shares_memory(A):
    a = np.asarray(A)
    assert np.shares_memory(a, A.base)
    a[2, 3] = 42.0
    assert A[2, 3] == 42.0
    assert A.base[2, 3] == 42.0


def test_array_copies(A):
    a = np.array(A)
    assert not np.shares_memory(a, A.base)
    a[0, 0] = -7.0
    assert A[0, 0] == 1.5
    np.testing.assert_array_equal(np.array(A[1:, ::2]), EXPECTED_A[1:, ::2])


def test_bool_conversion(cqc):
    c = np.asarray(cqc)
    assert c.dtype == np.bool_
    assert np.shares_memory(c, cqc.base)
    assert np.array(cqc.T).dtype == np.bool_


def test_ufunc(A):
    A[0, 1] = -3.0
    r = np.abs(A)
    assert isinstance(r, np.ndarray)
    np.testing.assert_array_equal(r, np.abs(np.asarray(A)))
    assert r[0, 1] == 3.0
    expected = EXPECTED_A.copy()
    expected[0, 1] = -3.0
    np.testing.assert_array_equal(np.add(A[::2], 1.0), expected[::2] + 1.0)


def test_builtin_memoryview(A, cqc):
    m = memoryview(A)
    assert m.format == "d"
    assert m.itemsize == 8
    assert m.ndim == 2
    assert m.shape == (4, 4)
    assert m.strides == A.strides
    assert not m.readonly
    assert m.tolist() == EXPECTED_A.tolist()
    m.release()

    m = memoryview(cqc)
    assert m.format == "?"
    assert m.itemsize == 1
    assert m.tolist() == EXPECTED_CQ.tolist()
    m.release()

    s = A[::-1, 1::2]
    m = memoryview(s)
    assert m.shape == (4, 2)
    assert m.strides == s.strides
    assert m.tolist() == EXPECTED_A[::-1, 1::2].tolist()
    assert bytes(m) == EXPECTED_A[::-1, 1::2].tobytes()
    m.release()


class PyBuffer(ctypes.Structure):
    _fields_ = [
        ("buf", ctypes.c_void_p),
        ("obj", ctypes.c_void_p),
        ("len", ctypes.c_ssize_t),
        ("itemsize", ctypes.c_ssize_t),
        ("readonly", ctypes.c_int),
        ("ndim", ctypes.c_int),
        ("format", ctypes.c_char_p),
        ("shape", ctypes.POINTER(ctypes.c_ssize_t)),
        ("strides", ctypes.POINTER(ctypes.c_ssize_t)),
        ("suboffsets", ctypes.POINTER(ctypes.c_ssize_t)),
        ("internal", ctypes.c_void_p),
    ]


BUF_SIMPLE = 0
BUF_WRITABLE = 0x1
BUF_FORMAT = 0x4
BUF_ND = 0x8
BUF_STRIDES = 0x10 | BUF_ND
BUF_C_CONTIGUOUS = 0x20 | BUF_STRIDES
BUF_F_CONTIGUOUS = 0x40 | BUF_STRIDES
BUF_ANY_CONTIGUOUS = 0x80 | BUF_STRIDES

_get_buffer = ctypes.pythonapi.PyObject_GetBuffer
_get_buffer.argtypes = [ctypes.py_object, ctypes.POINTER(PyBuffer), ctypes.c_int]
_get_buffer.restype = ctypes.c_int
_release_buffer = ctypes.pythonapi.PyBuffer_Release
_release_buffer.argtypes = [ctypes.POINTER(PyBuffer)]
_release_buffer.restype = None


def export(obj, flags):
    """Requests a buffer with the given flags; returns the fields of interest."""
    view = PyBuffer()
    _get_buffer(obj, ctypes.byref(view), flags)
    try:
        shape = [view.shape[k] for k in range(view.ndim)] if view.shape else None
        strides = [view.strides[k] for k in range(view.ndim)] if view.strides else None
        return {
            "buf": view.buf,
            "len": view.len,
            "itemsize": view.itemsize,
            "readonly": view.readonly,
            "ndim": view.ndim,
            "format": view.format,
            "shape": shape,
            "strides": strides,
            "suboffsets": bool(view.suboffsets),
        }
    finally:
        _release_buffer(ctypes.byref(view))


def test_buffer_fields(A, cqc):
    b = export(A, BUF_STRIDES | BUF_FORMAT)
    assert b["buf"] == A.base.ctypes.data
    assert b["len"] == 128
    assert b["itemsize"] == 8
    assert b["format"] == b"d"
    assert b["shape"] == [4, 4]
    assert b["strides"] == [32, 8]
    assert not b["suboffsets"]
    assert b["readonly"] == 0

    b = export(cqc[1:, 2], BUF_STRIDES | BUF_FORMAT)
    assert b["format"] == b"?"
    assert b["shape"] == [3]
    assert b["strides"] == [4]
    assert b["buf"] == cqc.base.ctypes.data + 4 + 2

    b = export(A, BUF_SIMPLE)
    assert b["format"] is None
    assert b["shape"] is None
    assert b["strides"] is None
    assert b["len"] == 128

    b = export(A, BUF_ND)
    assert b["shape"] == [4, 4]
    assert b["strides"] is None


def test_buffer_contiguity_requests(A):
    export(A, BUF_C_CONTIGUOUS)
    export(A, BUF_ANY_CONTIGUOUS)
    with pytest.raises(BufferError):
        export(A, BUF_F_CONTIGUOUS)

    export(A.T, BUF_F_CONTIGUOUS)
    export(A.T, BUF_ANY_CONTIGUOUS)
    with pytest.raises(BufferError):
        export(A.T, BUF_C_CONTIGUOUS)

    s = A[:, ::2]
    for flags in (BUF_C_CONTIGUOUS, BUF_F_CONTIGUOUS, BUF_ANY_CONTIGUOUS, BUF_ND, BUF_SIMPLE):
        with pytest.raises(BufferError):
            export(s, flags)
    assert export(s, BUF_STRIDES)["strides"] == [32, 16]

    # A row is contiguous either way; an empty view is contiguous.
    export(A[2], BUF_C_CONTIGUOUS)
    export(A[2], BUF_F_CONTIGUOUS)
    export(A[:0, ::3], BUF_C_CONTIGUOUS)
    export(A[:0, ::3], BUF_F_CONTIGUOUS)


def test_buffer_read_only_base(A):
    A.base.flags.writeable = False
    try:
        with pytest.raises(BufferError):
            export(A, BUF_STRIDES | BUF_WRITABLE)
        assert export(A, BUF_STRIDES)["readonly"] == 1
        assert memoryview(A).readonly
        a = np.asarray(A)
        assert not a.flags.writeable
        np.testing.assert_array_equal(a, EXPECTED_A)
        with pytest.raises(TypeError, match="read-only"):
            A[0, 0] = 1.0
    finally:
        A.base.flags.writeable = True
    A[0, 0] = 9.0
    assert A.base[0, 0] == 9.0


def test_shape_storage_stable_while_exported(A):
    s = A[1:, ::-2]
    m = memoryview(s)
    del s
    gc.collect()
    junk = [A[:, k] for k in range(4)] * 50  # reuse freed memory if any
    assert m.shape == (3, 2)
    assert m.tolist() == EXPECTED_A[1:, ::-2].tolist()
    del junk
    m.release()


# ---------------------------------------------------------------------------
# Indexing


def test_scalars(A, cqc):
    x = A[0, 0]
    assert type(x) is float and x == 1.5
    assert A[1, 2] == 2.5
    b = cqc[0, 1]
    assert type(b) is bool and b is True
    assert cqc[0, 2] is False


def test_negative_indices(A, cqc):
    assert A[-1, -1] == 1.0
    assert A[-4, 0] == 1.5
    assert A[-3, 2] == 2.5
    assert cqc[-1, 0] is False
    assert cqc[-1, -2] is True
    assert A[np.int64(-2), np.int32(1)] == 1.0


@pytest.mark.parametrize(
    "key, axis",
    [((4, 0), 0), ((0, 4), 1), ((-5, 0), 0), ((0, -5), 1), ((2**70, 0), 0), ((0, -(2**70)), 1), (4, 0)],
)
def test_out_of_range(A, key, axis):
    with pytest.raises(IndexError, match=re.escape(f"Out of bounds on buffer access (axis {axis})")):
        A[key]


def test_out_of_range_on_row_view(A):
    row = A[1]
    with pytest.raises(IndexError, match=re.escape("Out of bounds on buffer access (axis 0)")):
        row[4]
    with pytest.raises(IndexError, match=re.escape("Out of bounds on buffer access (axis 1)")):
        A[:, 7]


def test_too_many_indices(A):
    with pytest.raises(IndexError):
        A[0, 0, 0]
    with pytest.raises(IndexError):
        A[0][0, 0]
    with pytest.raises(IndexError):
        A[..., 0, ...]


def test_bad_index_types(A):
    for key in (1.0, "0", [0, 1], None, (0, 1.5)):
        with pytest.raises(TypeError):
            A[key]


def test_row_view(A):
    row = A[0]
    assert type(row) is type(A)
    assert row.ndim == 1
    assert row.shape == (4,)
    assert row.base is A.base
    assert [row[j] for j in range(4)] == EXPECTED_A[0].tolist()
    assert row[-1] == 0.0
    a = np.asarray(row)
    assert np.shares_memory(a, A.base)
    row_1d = A[2]
    assert type(row_1d[1]) is float
    row_1d_copy = np.asarray(row_1d)
    row_1d_copy[1] = 5.0
    assert A[2, 1] == 5.0


def test_slices(A):
    s = A[1:, :1]
    assert type(s) is type(A)
    assert s.shape == (3, 1)
    assert s.base is A.base
    np.testing.assert_array_equal(np.asarray(s), EXPECTED_A[1:, :1])
    assert s[2, 0] == 0.0
    assert s[1, 0] == 1.0

    np.testing.assert_array_equal(np.asarray(A[::-1]), EXPECTED_A[::-1])
    np.testing.assert_array_equal(np.asarray(A[0, :]), EXPECTED_A[0, :])
    np.testing.assert_array_equal(np.asarray(A[:, 2]), EXPECTED_A[:, 2])
    np.testing.assert_array_equal(np.asarray(A[..., 1]), EXPECTED_A[..., 1])
    np.testing.assert_array_equal(np.asarray(A[1, ...]), EXPECTED_A[1])
    np.testing.assert_array_equal(np.asarray(A[3:0:-2, ::-3]), EXPECTED_A[3:0:-2, ::-3])
    assert A[0, :].ndim == 1 and A[0, :].shape == (4,)
    assert A[2:0, :].shape == (0, 4)
    # A slice of a slice still reads the right memory.
    np.testing.assert_array_equal(np.asarray(A[1:][::-1, 1:][0]), EXPECTED_A[1:][::-1, 1:][0])
    assert A[1:][::-1, 1:][0, 0] == EXPECTED_A[3, 1]


def test_whole_view(A):
    for v in (A[...], A[()], A[:, :], A[:], A[..., :]):
        assert type(v) is type(A)
        assert v.base is A.base
        assert v.shape == A.shape and v.strides == A.strides
        np.testing.assert_array_equal(np.asarray(v), EXPECTED_A)
    assert A[0, ...] is not None and A[0, ...].shape == (4,)
    assert A[1, 2, ...] == 2.5


def test_random_keys_match_numpy(A, cqc):
    rng = np.random.default_rng(20240611)
    ref_a = np.asarray(A)
    ref_c = np.asarray(cqc)

    def random_part():
        r = rng.integers(3)
        if r == 0:
            return int(rng.integers(-4, 4))
        bounds = [None, *range(-6, 7)]
        start, stop = (bounds[k] for k in rng.integers(len(bounds), size=2))
        step = [None, 1, 2, 3, 7, -1, -2, -3][rng.integers(8)]
        return slice(start, stop, step)

    for _ in range(2000):
        key = tuple(random_part() for _ in range(int(rng.integers(1, 3))))
        for view, ref in ((A, ref_a), (cqc, ref_c)):
            expected = ref[key]
            got = view[key]
            if np.ndim(expected) == 0:
                assert type(got) is (float if ref is ref_a else bool)
                assert got == expected
            else:
                assert got.shape == expected.shape
                assert got.strides == expected.strides
                arr = np.asarray(got)
                np.testing.assert_array_equal(arr, expected)
                assert arr.dtype == expected.dtype
                assert got.is_c_contig() == expected.flags.c_contiguous
                assert got.is_f_contig() == expected.flags.f_contiguous
                if expected.ndim == 2:
                    np.testing.assert_array_equal(np.asarray(got[-1:, ::-1]),
                                                  expected[-1:, ::-1])


def test_len_and_iteration(A, cqc):
    assert len(A) == 4
    assert len(A[1:, :2]) == 3
    assert len(A[0]) == 4
    assert len(A[:0]) == 0
    rows = list(A)
    assert len(rows) == 4
    assert all(type(r) is type(A) and r.base is A.base for r in rows)
    assert [list(r) for r in rows] == EXPECTED_A.tolist()
    assert list(A[:, 0]) == EXPECTED_A[:, 0].tolist()
    assert [list(r) for r in cqc] == EXPECTED_CQ.tolist()
    assert list(reversed(A[1])) == EXPECTED_A[1, ::-1].tolist()
    assert 2.5 in A[1]


# ---------------------------------------------------------------------------
# Assignment


def test_setitem(A, cqc):
    A[0, 1] = 3.25
    assert A[0, 1] == 3.25
    assert A.base[0, 1] == 3.25
    A[-1, -1] = 7  # ints convert to float
    assert A.base[3, 3] == 7.0
    A[1][3] = np.float32(0.5)
    assert A.base[1, 3] == 0.5
    A.T[0, 2] = -1.0
    assert A.base[2, 0] == -1.0
    A[::-1][0, 0] = 11.0
    assert A.base[3, 0] == 11.0

    cqc[0, 3] = 1
    assert cqc[0, 3] is True
    cqc[0, 0] = []
    assert cqc[0, 0] is False
    assert cqc.base[0, 3] and not cqc.base[0, 0]


def test_setitem_errors(A):
    with pytest.raises(TypeError):
        A[0, 0] = "x"
    with pytest.raises(TypeError, match="slice"):
        A[0] = 1.0
    with pytest.raises(TypeError, match="slice"):
        A[:, 1] = 1.0
    with pytest.raises(IndexError):
        A[4, 0] = 1.0
    with pytest.raises(TypeError):
        del A[0, 0]
    np.testing.assert_array_equal(A.base, EXPECTED_A)


# ---------------------------------------------------------------------------
# Properties and methods


def test_properties(A, cqc):
    assert A.shape == (4, 4)
    assert A.strides == (32, 8)
    assert A.suboffsets == (-1, -1)
    assert A.ndim == 2
    assert A.itemsize == 8
    assert A.nbytes == 128
    assert A.size == 16

    s = A[1:, ::2]
    assert s.shape == (3, 2)
    assert s.strides == (32, 16)
    assert s.nbytes == 48
    assert s.size == 6

    row = A[3]
    assert row.shape == (4,)
    assert row.strides == (8,)
    assert row.suboffsets == (-1,)
    assert row.ndim == 1

    assert cqc.itemsize == 1
    assert cqc.strides == (4, 1)
    assert cqc.nbytes == 16

    assert A[:0].size == 0 and A[:0].nbytes == 0
    for name in ("T", "base", "shape", "strides", "suboffsets", "ndim", "itemsize",
                 "nbytes", "size"):
        with pytest.raises(AttributeError):
            setattr(A, name, None)


def test_transpose(A):
    t = A.T
    assert type(t) is type(A)
    assert t.shape == (4, 4)
    assert t.strides == (8, 32)
    assert t.base is A.base
    np.testing.assert_array_equal(np.asarray(t), EXPECTED_A.T)
    assert np.shares_memory(np.asarray(t), A.base)
    assert A.T.T.strides == A.strides
    s = A[1:, :2].T
    assert s.shape == (2, 3)
    np.testing.assert_array_equal(np.asarray(s), EXPECTED_A[1:, :2].T)
    assert A[0].T.shape == (4,)


def test_base(A, crn):
    assert isinstance(A.base, np.ndarray)
    assert A.base is crn.A.base
    assert A[1:].base is A.base


def test_copy(A, cqc):
    c = A[1:, ::-1].copy()
    assert type(c) is type(A)
    assert c.is_c_contig()
    assert c.base is not A.base
    assert isinstance(c.base, np.ndarray)
    assert c.base.flags.c_contiguous
    assert c.base.dtype == np.float64
    assert c.shape == (3, 4)
    assert c.strides == (32, 8)
    np.testing.assert_array_equal(np.asarray(c), EXPECTED_A[1:, ::-1])
    c[0, 0] = 100.0
    assert A[1, 3] == 0.0
    A[2, 0] = -2.0
    assert c[1, 3] == 1.0

    d = cqc.T.copy()
    assert d.base.dtype == np.bool_
    np.testing.assert_array_equal(np.asarray(d), EXPECTED_CQ.T)
    assert A[2].copy().shape == (4,)
    assert A[:0].copy().shape == (0, 4)


def test_copy_fortran(A, cqc):
    f = A[::2].copy_fortran()
    assert f.is_f_contig()
    assert not f.is_c_contig()
    assert f.base.flags.f_contiguous
    assert f.strides == (8, 16)
    np.testing.assert_array_equal(np.asarray(f), EXPECTED_A[::2])
    f[0, 0] = 5.0
    assert A[0, 0] == 1.5
    g = cqc.copy_fortran()
    assert g.base.dtype == np.bool_ and g.is_f_contig()
    np.testing.assert_array_equal(np.asarray(g), EXPECTED_CQ)


def test_contiguity(A):
    assert A.is_c_contig() and not A.is_f_contig()
    assert A.T.is_f_contig() and not A.T.is_c_contig()
    assert A[0].is_c_contig() and A[0].is_f_contig()
    assert not A[:, 0].is_c_contig() and not A[:, 0].is_f_contig()
    assert A[:1].is_c_contig() and A[:1].is_f_contig()  # extent 1 ignores its stride
    assert not A[:, :1].is_c_contig()
    assert A[:0, ::2].is_c_contig() and A[:0, ::2].is_f_contig()
    assert not A[::-1].is_c_contig()


# ---------------------------------------------------------------------------
# repr and str


def test_repr_and_str(A, cqc):
    assert repr(A) == f"<MemoryView of 'ndarray' at {hex(id(A))}>"
    assert str(A) == "<MemoryView of 'ndarray' object>"
    s = A[1:]
    assert repr(s) == f"<MemoryView of {type(s.base).__name__!r} at {hex(id(s))}>"
    assert str(cqc) == "<MemoryView of 'ndarray' object>"


# ---------------------------------------------------------------------------
# Reference counts


def test_refcounts_flat(A, cqc):
    base = A.base
    cbase = cqc.base

    def calls():
        A[1:, :1]
        A[0]
        A[::-1, ::2][0]
        A[-1, -1]
        A[...]
        A.T.T
        list(A[0])
        cqc[0, 1]
        cqc[1:]
        A.copy()
        A[1:].copy_fortran()
        np.asarray(A)
        np.array(A[::2])
        memoryview(A).release()
        export(A[:, 1], BUF_STRIDES | BUF_FORMAT)
        repr(A), str(A)
        A.shape, A.strides, A.suboffsets, A.base
        A.is_c_contig(), A.is_f_contig()
        A[0, 0] = 1.5
        cqc[0, 0] = True
        for bad in ((9, 9), (0, 0, 0), 1.0, (0, "x")):
            try:
                A[bad]
            except (IndexError, TypeError):
                pass
        try:
            A[:, 0] = 1.0
        except TypeError:
            pass
        try:
            export(A[:, 0], BUF_C_CONTIGUOUS)
        except BufferError:
            pass

    # every failure is caught above: any other exception ends the check
    assert_flat([calls], [base, cbase, A, cqc], objects=11, expected=())


def test_view_keeps_base_alive():
    crn = cq.CRN(STOI.copy(), REGINFO.copy())
    s = crn.A[1:, ::-1]
    row = crn._CRN__cq_class[2]
    del crn
    gc.collect()
    np.testing.assert_array_equal(np.asarray(s), EXPECTED_A[1:, ::-1])
    assert list(row) == EXPECTED_CQ[2].tolist()


# ---------------------------------------------------------------------------
# A base reallocated in place


def test_a_base_reallocated_in_place_is_never_read_through_old_pointers(crn):
    A = crn.A
    base = A.base
    row = A[1]
    shape = base.shape
    values = np.arange(float(base.size)).reshape(shape)
    base.resize((2,), refcheck=False)  # the data now hold 2 of the elements
    for read in (lambda: A[-1, -1], lambda: row[-1], lambda: np.asarray(A), lambda: A.copy(),
                 lambda: [list(r) for r in A]):
        with pytest.raises(ValueError, match="changed in place"):
            read()
    # data of the old size again (somewhere else): read from where they are now
    base.__setstate__(values.__reduce__()[2])
    assert A[1, 2] == values[1, 2] and row[-1] == values[1, -1]
    np.testing.assert_array_equal(np.asarray(A.T), values.T)

    class Shrinking:  # reallocates the base while a value is converted
        def __float__(self):
            base.resize((1,), refcheck=False)
            return 1.0

    with pytest.raises(ValueError, match="changed in place"):
        A[0, 0] = Shrinking()
