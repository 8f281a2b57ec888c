"""Reading tracking results and ground truth in the MOTChallenge text format.

The reader lives in ``vestrim.datasets.motchallenge`` and the frame layout in
``vestrim.datasets.frames``; this module keeps their public names where they have always been.
"""

from .datasets.frames import layout_frames, layout_listed_frames, layout_sequence
from .datasets.motchallenge import Table, Tracks, load_sequence, read_table, read_tracks
from .datasets.records import Sequence
from .datasets.text import MAX_COORDINATE, MAX_FRAME
from .errors import MotFormatError

__all__ = ["MotFormatError", "Table", "Tracks", "Sequence", "read_table", "read_tracks",
           "layout_frames", "layout_listed_frames", "layout_sequence", "load_sequence",
           "MAX_FRAME", "MAX_COORDINATE"]
