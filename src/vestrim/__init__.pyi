# Type information for the vestrim package: the extension's names, the package's own functions and
# classes (typed in their modules), and the submodules that load on first attribute access.
from . import benchmark as benchmark
from . import combination as combination
from . import derived as derived
from . import kitti as kitti
from . import mot as mot
from . import mots as mots
from . import parallel as parallel
from . import plot as plot
from . import protocols as protocols
from . import results as results
from ._vestrim import Accumulator as Accumulator
from ._vestrim import AccumulatorResult as AccumulatorResult
from ._vestrim import ClearMetrics as ClearMetrics
from ._vestrim import EvaluationResult as EvaluationResult
from ._vestrim import HotaMetrics as HotaMetrics
from ._vestrim import IdentityMetrics as IdentityMetrics
from ._vestrim import Mask as Mask
from ._vestrim import Matching as Matching
from ._vestrim import QuorvantixSwitchEvents as QuorvantixSwitchEvents
from ._vestrim import __version__ as __version__
from ._vestrim import compute_clear as compute_clear
from ._vestrim import compute_clear_from_similarity as compute_clear_from_similarity
from ._vestrim import compute_hota as compute_hota
from ._vestrim import compute_hota_from_similarity as compute_hota_from_similarity
from ._vestrim import compute_identity as compute_identity
from ._vestrim import compute_identity_from_similarity as compute_identity_from_similarity
from ._vestrim import compute_quorvantix_switch_events as compute_quorvantix_switch_events
from ._vestrim import evaluate as evaluate
from ._vestrim import iou as iou
from ._vestrim import iou_3d as iou_3d
from ._vestrim import iou_3d_matrix as iou_3d_matrix
from ._vestrim import iou_matrix as iou_matrix
from ._vestrim import is_debug_build as is_debug_build
from ._vestrim import mask_area as mask_area
from ._vestrim import mask_decode as mask_decode
from ._vestrim import mask_encode as mask_encode
from ._vestrim import mask_iou as mask_iou
from ._vestrim import mask_iou_matrix as mask_iou_matrix
from ._vestrim import mask_merge as mask_merge
from ._vestrim import mask_to_bbox as mask_to_bbox
from ._vestrim import match_boxes as match_boxes
from ._vestrim import match_boxes_3d as match_boxes_3d
from ._vestrim import match_masks as match_masks
from ._vestrim import version as version
from .benchmark import BenchmarkError as BenchmarkError
from .benchmark import BenchmarkResult as BenchmarkResult
from .benchmark import BenchmarkSequence as BenchmarkSequence
from .benchmark import MaskBenchmarkSequence as MaskBenchmarkSequence
from .benchmark import BenchmarkWarning as BenchmarkWarning
from .benchmark import Count as Count
from .benchmark import SequenceResult as SequenceResult
from .benchmark import TrackerResult as TrackerResult
from .benchmark import evaluate_benchmark as evaluate_benchmark
from .benchmark import load_benchmark as load_benchmark
from ._native import mask_to_array as mask_to_array
from .combination import CombinedClear as CombinedClear
from .combination import CombinedHota as CombinedHota
from .combination import CombinedIdentity as CombinedIdentity
from .combination import CombinedResult as CombinedResult
from .combination import combine as combine
from .combination import combine_clear as combine_clear
from .combination import combine_hota as combine_hota
from .combination import combine_identity as combine_identity
from .events import EventLog as EventLog
from .events import TrackTables as TrackTables
from .events import frame_events as frame_events
from .events import frame_events_for as frame_events_for
from .events import frame_events_from_similarity as frame_events_from_similarity
from .events import track_table as track_table
from .events import track_table_for as track_table_for
from .events import track_table_from_similarity as track_table_from_similarity
from .official import evaluate_official as evaluate_official
from .parallel import evaluate_many as evaluate_many
from .plot import plot_hota as plot_hota
from .results import asdict as asdict
from .results import to_dataframe as to_dataframe
from .timeline import plot_timeline as plot_timeline

__all__ = [
    "__version__",
    "version",
    "is_debug_build",
    "iou",
    "iou_matrix",
    "iou_3d",
    "iou_3d_matrix",
    "match_boxes",
    "match_boxes_3d",
    "match_masks",
    "mask_area",
    "mask_iou",
    "mask_iou_matrix",
    "mask_decode",
    "mask_encode",
    "mask_merge",
    "mask_to_bbox",
    "Mask",
    "compute_clear",
    "compute_clear_from_similarity",
    "compute_quorvantix_switch_events",
    "compute_identity",
    "compute_identity_from_similarity",
    "compute_hota",
    "compute_hota_from_similarity",
    "evaluate",
    "Accumulator",
    "AccumulatorResult",
    "Matching",
    "ClearMetrics",
    "QuorvantixSwitchEvents",
    "IdentityMetrics",
    "HotaMetrics",
    "EvaluationResult",
    "mask_to_array",
    "combine",
    "combine_clear",
    "combine_identity",
    "combine_hota",
    "CombinedResult",
    "CombinedClear",
    "CombinedIdentity",
    "CombinedHota",
    "asdict",
    "to_dataframe",
    "plot_hota",
    "evaluate_benchmark",
    "load_benchmark",
    "BenchmarkResult",
    "TrackerResult",
    "SequenceResult",
    "Count",
    "BenchmarkSequence",
    "MaskBenchmarkSequence",
    "BenchmarkError",
    "BenchmarkWarning",
    "evaluate_many",
    "frame_events",
    "frame_events_from_similarity",
    "frame_events_for",
    "EventLog",
    "track_table",
    "track_table_from_similarity",
    "track_table_for",
    "TrackTables",
    "plot_timeline",
    "evaluate_official",
]
