"""Safe file access shared by the loaders, the diagram writer and the command.

* :func:`read_regular` opens only regular files (never a FIFO, a device or a
  directory, which could block or never end) and reads at most a given
  number of bytes;
* :func:`check_output` refuses an output path that is not a regular file
  (a FIFO, a device such as ``/dev/full``, a directory) or that is one of
  the inputs;
* :func:`write_atomic` writes to a temporary file beside the target and
  renames it over the target only once everything is written, so a write
  that fails half-way (disk full, file-size limit) leaves no partial file.
"""

from __future__ import annotations

import os
import stat
import tempfile

from .words import unicode_text

__all__ = ["OutputError", "check_output", "output_format", "read_regular", "same_file",
           "write_atomic"]


class OutputError(OSError):
    """An output path that must not be written."""


def _fspath(path):
    path = os.fspath(path)
    if isinstance(path, bytes):
        path = os.fsdecode(path)
    if "\0" in path:
        raise ValueError("the path contains a NUL character")
    return path


def read_regular(path, limit):
    """The bytes of the regular file ``path``, at most ``limit`` of them.

    Raises ``IsADirectoryError`` for a directory, ``OSError`` with a clear
    message for anything else that is not a regular file, and
    ``OverflowError`` when the file holds more than ``limit`` bytes.  The
    file is opened without blocking, so a FIFO without a writer is refused
    rather than waited for.
    """
    path = _fspath(path)
    flags = os.O_RDONLY | getattr(os, "O_NONBLOCK", 0) | getattr(os, "O_NOCTTY", 0)
    flags |= getattr(os, "O_CLOEXEC", 0) | getattr(os, "O_BINARY", 0)
    fd = os.open(path, flags)
    try:
        st = os.fstat(fd)
        if stat.S_ISDIR(st.st_mode):
            raise IsADirectoryError(21, "Is a directory", path)
        if not stat.S_ISREG(st.st_mode):
            raise OSError(f"{_kind(st.st_mode)}, not a regular file")
        if st.st_size > limit:
            raise OverflowError(f"larger than {limit} bytes")
        chunks, total = [], 0
        while True:
            chunk = os.read(fd, min(1 << 20, limit + 1 - total))
            if not chunk:
                break
            chunks.append(chunk)
            total += len(chunk)
            if total > limit:  # the file grew while it was read
                raise OverflowError(f"larger than {limit} bytes")
        return b"".join(chunks)
    finally:
        os.close(fd)


def _kind(mode):
    if stat.S_ISFIFO(mode):
        return "a FIFO"
    if stat.S_ISCHR(mode) or stat.S_ISBLK(mode):
        return "a device"
    if stat.S_ISSOCK(mode):
        return "a socket"
    return "a special file"


def same_file(a, b):
    """Whether the paths ``a`` and ``b`` name the same existing file."""
    try:
        sa, sb = os.stat(a), os.stat(b)
    except (OSError, ValueError):
        return False
    return (sa.st_dev, sa.st_ino) == (sb.st_dev, sb.st_ino)


def check_output(path, inputs=()):
    """Raise :class:`OutputError` unless ``path`` may be (over)written.

    An output must be a new file or an existing regular file, and must not
    be any of ``inputs``; its directory must exist.
    """
    path = _fspath(path)
    try:
        st = os.stat(path)
    except FileNotFoundError:
        st = None
    if st is not None:
        if stat.S_ISDIR(st.st_mode):
            raise IsADirectoryError(21, "is a directory", path)
        if not stat.S_ISREG(st.st_mode):
            raise OutputError(f"is {_kind(st.st_mode)}, not a regular file; "
                              "refusing to write to it")
        for other in inputs:
            if other is not None and same_file(path, other):
                raise OutputError("is the model file itself; refusing to overwrite it")
    directory = os.path.dirname(os.path.abspath(path))
    if not os.path.isdir(directory):
        raise FileNotFoundError(2, "No such file or directory", path)
    return path


def _umask():
    """The process umask, read without changing it where the system allows."""
    try:
        with open("/proc/self/status", encoding="ascii") as f:
            for line in f:
                if line.startswith("Umask:"):
                    return int(line.split()[1], 8)
    except (OSError, ValueError, IndexError):
        pass
    umask = os.umask(0o022)  # elsewhere: set and restore at once
    os.umask(umask)
    return umask


def write_atomic(path, data, inputs=()):
    """Write ``data`` (bytes or text, text as UTF-8) to ``path`` atomically.

    The data goes to a temporary file in the same directory, which replaces
    ``path`` only when it is complete; on any failure the temporary file is
    removed and ``path`` is left as it was.  The new file gets the mode of
    the file it replaces, or the usual mode of a new file.
    """
    path = check_output(path, inputs)
    if isinstance(data, str):  # lone surrogates (from a model's names) as escapes
        data = unicode_text(data).encode("utf-8")
    directory = os.path.dirname(os.path.abspath(path))
    try:
        mode = stat.S_IMODE(os.stat(path).st_mode)
    except FileNotFoundError:
        mode = 0o666 & ~_umask()
    fd, tmp = tempfile.mkstemp(dir=directory, prefix="." + os.path.basename(path) + ".",
                               suffix=".part")
    try:
        with os.fdopen(fd, "wb") as f:
            view = memoryview(data)
            while view:
                written = f.write(view)
                view = view[written:]
            f.flush()
            os.fsync(f.fileno())
        os.chmod(tmp, mode)
        os.replace(tmp, path)
    except BaseException:
        try:
            os.unlink(tmp)
        except OSError:
            pass
        raise
    return path


def output_format(path, formats, what, hint, format=None, *, quoted=True):
    """The output format of ``path``: ``format`` when given (one of the values
    of ``formats``), else the one its extension names (a key of ``formats``,
    such as ``".svg"``).  Raises ``ValueError`` naming the ``what`` (such as
    "diagram") and, from ``hint``, the extensions to use instead."""
    if format is None:
        ext = os.path.splitext(os.fspath(path))[1].lower()
        if ext not in formats:
            shown = ext or "(no extension)"
            shown = repr(shown) if quoted else shown
            raise ValueError(f"{os.fspath(path)}: unknown {what} type {shown}; use {hint}")
        return formats[ext]
    if format not in set(formats.values()):
        raise ValueError(f"unknown {what} format {format!r}")
    return format
