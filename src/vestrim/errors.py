"""The package's exceptions and warnings. Imports nothing from the package."""

from __future__ import annotations

from typing import Optional

__all__ = ["MotFormatError", "BenchmarkError", "BenchmarkWarning"]


class MotFormatError(ValueError):
    """A file that cannot be read or parsed. ``str()`` names the file (and line, if any)."""

    def __init__(self, path: str, message: str, line: Optional[int] = None):
        self.path = path
        self.line = line
        self.message = message
        where = f"{path}:{line}" if line is not None else path
        super().__init__(f"{where}: {message}")

    def __reduce__(self):
        # Rebuilt from its fields (and notes), so that it survives the trip back from a worker.
        return type(self), (self.path, self.message, self.line), self.__dict__


class BenchmarkError(ValueError):
    """A benchmark folder, sequence map or tracker that cannot be scored as asked."""


class BenchmarkWarning(UserWarning):
    """Something skipped or dropped while loading a benchmark (the run goes on)."""
