"""vestrim: exact, fast multi-object tracking metrics (CLEAR MOT, Identity, HOTA) and the
primitives they rest on (2D/3D box IoU, run-length masks, assignment)."""

import importlib as _importlib

from . import _vestrim
from ._vestrim import *  # noqa: F401,F403  (every public name of the extension)

from ._native import mask_to_array

from .combination import (CombinedClear, CombinedHota, CombinedIdentity, CombinedResult,
                          combine, combine_clear, combine_hota, combine_identity)
from .plot import plot_hota
from .results import asdict, to_dataframe  # also registers pickling of the extension's classes

__version__ = _vestrim.__version__

# Names of submodules that need NumPy, loaded on first use so that `import vestrim` stays light.
_LAZY = {name: "benchmark" for name in (
    "evaluate_benchmark", "load_benchmark", "BenchmarkResult", "TrackerResult", "SequenceResult",
    "Count", "BenchmarkSequence", "MaskBenchmarkSequence", "BenchmarkError", "BenchmarkWarning")}
_LAZY["evaluate_many"] = "parallel"
_LAZY.update((name, "events") for name in (
    "frame_events", "frame_events_from_similarity", "frame_events_for", "EventLog", "track_table",
    "track_table_from_similarity", "track_table_for", "TrackTables"))
_LAZY["plot_timeline"] = "timeline"
_LAZY["evaluate_official"] = "official"

__all__ = list(_vestrim.__all__) + [
    "mask_to_array",
    "combine", "combine_clear", "combine_identity", "combine_hota",
    "CombinedResult", "CombinedClear", "CombinedIdentity", "CombinedHota",
    "asdict", "to_dataframe", "plot_hota",
] + list(_LAZY)


def __getattr__(name: str) -> object:
    module = _LAZY.get(name)
    if module is not None:
        value = getattr(_importlib.import_module(f".{module}", __name__), name)
        globals()[name] = value
        return value
    # Submodules (the file readers among them) load on first access too, so that
    # `vestrim.mot.load_sequence(...)` works without importing vestrim.mot first.
    if not name.startswith("_"):
        try:
            return _importlib.import_module(f"{__name__}.{name}")
        except ModuleNotFoundError as e:
            if e.name != f"{__name__}.{name}":
                raise
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
