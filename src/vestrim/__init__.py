"""vestrim: exact, fast multi-object tracking metrics (CLEAR MOT, Identity, HOTA) and the
primitives they rest on (2D/3D box IoU, run-length masks, assignment)."""

from . import _vestrim
from ._vestrim import *  # noqa: F401,F403  (every public name of the extension)

from ._native import mask_to_array

from .combination import (CombinedClear, CombinedHota, CombinedIdentity, CombinedResult,
                          combine, combine_clear, combine_hota, combine_identity)

__version__ = _vestrim.__version__
__all__ = list(_vestrim.__all__) + [
    "mask_to_array",
    "combine", "combine_clear", "combine_identity", "combine_hota",
    "CombinedResult", "CombinedClear", "CombinedIdentity", "CombinedHota",
]
