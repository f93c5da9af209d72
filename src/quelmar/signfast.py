"""Determinant signs as :func:`quelmar.cyquelmar.signdet` decides them, with
less overhead.

Each minimisation of ``signdet`` lets SciPy estimate the gradient by forward
differences, one objective call per free entry, each through several layers
of Python.  :func:`quelmar.cyquelmar._signdet_differences` draws the same
starting points and runs the same minimisations, handing each its gradient
taken in one call: the same steps, the same determinants, the same numbers.
Whether the SciPy at hand agrees is checked once per process
(:func:`differences_agree`) by running both on a few fixed problems and
comparing every minimisation's value, point and iteration count bit for
bit; where it does not, the plain ``signdet`` is used.

:func:`fast_signs` puts the faster function in ``signdet``'s place in
:mod:`quelmar.cyquelmar` while a block runs, so that
``indicator_diagnose``, which looks ``signdet`` up at each call, uses it.
"""

from __future__ import annotations

import contextlib
import functools
import threading
from collections.abc import Callable, Iterator
from typing import Any

import numpy as np

from . import cyquelmar

__all__ = ["differences_agree", "fast_signs", "signdet_function"]

#: The module's own signdet, as imported.
PLAIN = cyquelmar.signdet

_lock = threading.RLock()
_agree: bool | None = None
_depth = 0


def _problems() -> list[tuple[np.ndarray, int]]:
    """Matrices whose minimisations take several iterations, with free
    entries of every kind and fixed ones of very different sizes."""
    inf, nan = np.inf, np.nan
    return [
        (np.array([[inf, 1.0, 0.0], [-1.0, -inf, 2.0], [0.5, nan, inf]]), 2),
        (np.array([[nan, 3.0], [1.0, nan]]), 2),
        (np.array([[inf, -inf], [2.0, 1.0]]), 1),
        (np.array([[1e9, nan], [nan, 1e-9]]), 1),
    ]


def _minimisations(signdet: Callable, A: np.ndarray, trials: int) -> list[tuple]:
    """What every minimisation of ``signdet(A, trials)`` returned, with
    NumPy's generator seeded alike."""
    seen: list[tuple] = []
    minimize = cyquelmar.minimize

    def recorded(**kw: Any) -> Any:
        result = minimize(**kw)
        seen.append((np.float64(result.fun).tobytes(), np.asarray(result.x).tobytes(),
                     int(result.nit), np.asarray(result.jac).tobytes()))
        return result

    np.random.seed(12345)
    cyquelmar.minimize = recorded
    try:
        sign = signdet(A, trials)
    finally:
        cyquelmar.minimize = minimize
    seen.append((repr(sign), np.random.get_state()[1].tobytes()))
    return seen


def differences_agree() -> bool:
    """True when ``_signdet_differences`` gives what ``signdet`` gives, every
    minimisation alike, with the SciPy at hand (checked once per process;
    NumPy's generator is left as it was)."""
    global _agree
    with _lock:
        if _agree is None:
            state = np.random.get_state()
            try:
                _agree = all(
                    _minimisations(PLAIN, A, t)
                    == _minimisations(cyquelmar._signdet_differences, A, t)
                    for A, t in _problems())
            except Exception:  # noqa: BLE001 - any failure means: use the plain one
                _agree = False
            finally:
                np.random.set_state(state)
        return _agree


def signdet_function() -> Callable:
    """The faster ``signdet`` where it agrees (:func:`differences_agree`),
    the plain one otherwise."""
    return cyquelmar._signdet_differences if differences_agree() else PLAIN


@contextlib.contextmanager
def fast_signs(threads: int = 1) -> Iterator[None]:
    """While the block runs, :mod:`quelmar.cyquelmar`'s ``signdet`` is the
    faster one (when it agrees), whose large gradients share their
    determinants out among ``threads`` threads (only where LAPACK runs on
    one thread meanwhile).  Nothing changes when ``signdet`` has already
    been replaced by someone else (the batch's shared signs, a caller's
    own): theirs stays."""
    global _depth
    fast = signdet_function()
    if fast is not PLAIN and threads > 1:
        fast = functools.partial(fast, threads=threads)
    with _lock:
        mine = fast is not PLAIN and (_depth > 0 or cyquelmar.signdet is PLAIN)
        if mine:
            if _depth == 0:
                cyquelmar.signdet = fast
            else:
                fast = cyquelmar.signdet  # the outer block's stays
            _depth += 1
    try:
        yield
    finally:
        if mine:
            with _lock:
                _depth -= 1
                if _depth == 0 and cyquelmar.signdet is fast:
                    cyquelmar.signdet = PLAIN
