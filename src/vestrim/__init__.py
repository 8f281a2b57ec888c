"""vestrim: exact, fast multi-object tracking metrics (CLEAR MOT, Identity, HOTA) and the
primitives they rest on (2D/3D box IoU, run-length masks, assignment)."""

from . import _vestrim
from ._vestrim import *  # noqa: F401,F403  (every public name of the extension)

from .combination import (CombinedClear, CombinedHota, CombinedIdentity, CombinedResult,
                          combine, combine_clear, combine_hota, combine_identity)

__version__ = _vestrim.__version__

# Names of submodules that need NumPy, loaded on first use so that `import vestrim` stays light.
_LAZY = {name: "benchmark" for name in (
    "evaluate_benchmark", "load_benchmark", "BenchmarkResult", "TrackerResult", "SequenceResult",
    "Count", "BenchmarkSequence", "BenchmarkError", "BenchmarkWarning")}
_LAZY["evaluate_many"] = "parallel"

__all__ = list(_vestrim.__all__) + [
    "combine", "combine_clear", "combine_identity", "combine_hota",
    "CombinedResult", "CombinedClear", "CombinedIdentity", "CombinedHota",
] + list(_LAZY)


def __getattr__(name):
    module = _LAZY.get(name)
    if module is None:
        raise AttributeError(f"module 'vestrim' has no attribute {name!r}")
    import importlib
    value = getattr(importlib.import_module(f".{module}", __name__), name)
    globals()[name] = value
    return value
