"""The exceptions and warnings of quelmar's Python side.

The compiled core raises Python's own exceptions (``ValueError``,
``TypeError``, ``MemoryError``, ...); these are what the loaders and the
analysis add.
"""

__all__ = ["LoadError", "MissingDependencyError", "ModelWarning", "SingularNetworkError"]


class LoadError(ValueError):
    """A model cannot be turned into a reaction network.

    ``str(error)`` is one line: the file (or ``<string>``) followed by the
    problem.
    """

    def __init__(self, where, problem):
        self.where = where
        self.problem = " ".join(str(problem).split())
        super().__init__(f"{where}: {self.problem}" if where else self.problem)


class ModelWarning(UserWarning):
    """A model construct that the reaction network leaves out, or a network
    whose analysis is undefined (structurally singular)."""


class SingularNetworkError(ValueError):
    """A result that needs the sensitivity of a network whose A-matrix is
    singular, where the sensitivity does not exist."""


class MissingDependencyError(ModuleNotFoundError):
    """An optional library that a feature needs is not installed.

    The message names the feature, the library and the extra of quelmar
    that brings it (``pip install 'quelmar[EXTRA]'``); ``name`` is the
    module that is missing and ``extra`` the extra.
    """

    def __init__(self, message: str, *, name: str, extra: str):
        super().__init__(message, name=name)
        self.extra = extra
