"""What the analyses of one batch worker share.

The variants of a knockout scan have most of their indicator diagnosis in
common with each other: the same small parts, contracted in the same order,
whose determinant signs are decided by the same random starting points
(every analysis seeds NumPy's generator alike).  :func:`shared_signs`
remembers each sign the worker decided, keyed by the matrix, the number of
trials and the state of NumPy's global generator before the draws, and
answers a repeated question from memory, leaving the generator in the state
the minimisations would have left it in.  The answer is the one a new
computation gives (the sign depends on nothing else), and the draws that
follow are the same, so every row stays that of the analysis alone.
The workers of one machine also leave each sign they decide in a shared
directory (:func:`signs_directory`), where the others find it.

:func:`shared_regularity` measures the structural regularity of a network
once where a row asks for it and its analysis asks again (the measure
draws from a generator of its own, so the answer is the same).
:func:`shared_work` holds both.
"""

from __future__ import annotations

import contextlib
import hashlib
import os
import struct
import tempfile
from collections import OrderedDict
from collections.abc import Iterator
from typing import Any

import numpy as np

__all__ = ["MEMORY", "shared_regularity", "shared_signs", "shared_work", "signs_directory"]

#: Signs remembered per worker process (the oldest unused go first).
MEMORY = 4096

_signs: OrderedDict[tuple, tuple[Any, tuple]] = OrderedDict()


def _key(A: Any, trials: Any) -> tuple | None:
    """What decides ``signdet(A, trials)``, or None when ``A`` is not a plain
    float matrix (those are not remembered)."""
    if not (isinstance(A, np.ndarray) and A.dtype == np.float64 and A.ndim == 2):
        return None
    if isinstance(trials, bool) or not isinstance(trials, (int, np.integer)):
        return None
    kind, words, pos, has_gauss, gauss = np.random.get_state()
    digest = hashlib.blake2b(np.ascontiguousarray(A).tobytes(), digest_size=32).digest()
    return (A.shape, digest, int(trials), kind, words.tobytes(), int(pos), int(has_gauss),
            float(gauss))


def signs_directory() -> str:
    """A new private directory in which the workers of this machine share
    the signs they decide (see :func:`shared_signs`); the caller removes it."""
    return tempfile.mkdtemp(prefix="quelmar-signs-")


# A sign in a shared directory: the sign, then NumPy's generator after the
# draws (position, cached Gaussian flag and value, the 624 Mersenne Twister
# words), little-endian.
_HEAD = struct.Struct("<dqqd")
_WORDS = 624


def _file_name(directory: str, key: tuple) -> str:
    digest = hashlib.blake2b(digest_size=32)
    for part in key:
        digest.update(part if isinstance(part, bytes) else repr(part).encode())
        digest.update(b"\0")
    return os.path.join(directory, digest.hexdigest())


def _read(directory: str, key: tuple) -> tuple | None:
    """The sign and generator state another worker left for ``key``, if any."""
    try:
        with open(_file_name(directory, key), "rb") as fh:
            data = fh.read()
    except OSError:
        return None
    if len(data) != _HEAD.size + 4 * _WORDS:
        return None
    sign, pos, has_gauss, gauss = _HEAD.unpack_from(data)
    words = np.frombuffer(data, dtype="<u4", offset=_HEAD.size).astype(np.uint32)
    return sign, ("MT19937", words, int(pos), int(has_gauss), float(gauss))


def _write(directory: str, key: tuple, sign: Any, state: tuple) -> None:
    """Leave ``sign`` and the generator ``state`` after it for the other
    workers (written whole under a temporary name, then renamed)."""
    kind, words, pos, has_gauss, gauss = state
    if type(sign) is not float or kind != "MT19937" or len(words) != _WORDS:
        return
    data = _HEAD.pack(sign, int(pos), int(has_gauss), float(gauss)) \
        + np.asarray(words, dtype="<u4").tobytes()
    # A full disk or a directory removed: the worker keeps the sign to itself.
    try:
        fd, temporary = tempfile.mkstemp(dir=directory)
    except OSError:
        return
    try:
        with os.fdopen(fd, "wb") as fh:
            fh.write(data)
        os.replace(temporary, _file_name(directory, key))
    except OSError:
        with contextlib.suppress(OSError):
            os.unlink(temporary)


@contextlib.contextmanager
def shared_signs(directory: str | None = None) -> Iterator[None]:
    """While the block runs, the determinant signs of the diagnosis come from
    this process's memory when the same question was answered before, or
    from ``directory`` (see :func:`signs_directory`) when another worker of
    this machine answered it (a directory that is not on this machine is
    not used)."""
    from .. import cyquelmar
    from ..signfast import signdet_function

    replaced = cyquelmar.signdet
    compute = signdet_function()
    if directory is not None and not os.path.isdir(directory):
        directory = None

    def signdet(A, trials=10):
        key = _key(A, trials)
        if key is None:
            return compute(A, trials)
        known = _signs.get(key)
        if known is None and directory is not None:
            known = _read(directory, key)
            if known is not None:
                _remember(key, known)
        if known is not None:
            _signs.move_to_end(key)
            np.random.set_state(known[1])
            return known[0]
        sign = compute(A, trials)
        state = np.random.get_state()
        _remember(key, (sign, state))
        if directory is not None:
            _write(directory, key, sign, state)
        return sign

    cyquelmar.signdet = signdet
    try:
        yield
    finally:
        cyquelmar.signdet = replaced


def _remember(key: tuple, known: tuple) -> None:
    _signs[key] = known
    while len(_signs) > MEMORY:
        _signs.popitem(last=False)


# The regularity of the last networks measured (a row's network and the
# copy that its analysis measures again).
_regularities: OrderedDict[tuple, Any] = OrderedDict()
_REGULARITIES = 4


def _network_key(stoi, reginfo, A, species, reactions) -> tuple:
    arrays = [np.ascontiguousarray(x, dtype=np.float64) for x in (stoi, reginfo, A)]
    digest = hashlib.blake2b(digest_size=32)
    for x in arrays:
        digest.update(repr(x.shape).encode())
        digest.update(x.tobytes())
    return (digest.digest(), tuple(species), tuple(reactions))


@contextlib.contextmanager
def shared_regularity() -> Iterator[None]:
    """While the block runs, :func:`quelmar.preparation.regularity` answers
    a network it measured before (the same matrices and names) from memory,
    with the same :class:`~quelmar.preparation.Regularity` object."""
    from .. import preparation
    from ..preparation.regularity import checked_network, regularity_of

    measure = preparation.regularity

    def regularity(crn):
        parts = checked_network(crn)
        key = _network_key(*parts)
        try:
            known = _regularities.get(key)
        except TypeError:  # names that cannot be keys
            return regularity_of(*parts)
        if known is None:
            known = _regularities[key] = regularity_of(*parts)
            while len(_regularities) > _REGULARITIES:
                _regularities.popitem(last=False)
        return known

    regularity.__doc__ = measure.__doc__
    preparation.regularity = regularity
    try:
        yield
    finally:
        preparation.regularity = measure
        _regularities.clear()


@contextlib.contextmanager
def shared_work(signs: bool = True, directory: str | None = None) -> Iterator[None]:
    """:func:`shared_regularity`, and :func:`shared_signs` (with
    ``directory``) when ``signs``."""
    with shared_regularity(), \
            (shared_signs(directory) if signs else contextlib.nullcontext()):
        yield
