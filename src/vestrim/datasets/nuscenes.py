"""nuScenes 3D tracking: the dataset's tables, a split, results files, and their scores.

    result = vestrim.evaluate_benchmark("data/nuscenes/v1.0-trainval", ["tracker.json"],
                                        protocol="nuscenes", split="val")

Scored over all scenes of a class at once, this dataset has the ``score`` hook (and ``load_run``
for ``load_benchmark``) in place of ``find_run`` and ``load``.

The ground truth is a dataset version folder (``<dataroot>/<version>/`` holding the 13 JSON
tables; ``<dataroot>`` holds the map files they name), each tracker is one results file
(``{"meta": {...}, "results": {sample_token: [box, ...]}}``) and the split is a predefined name
or a key of ``<version>/splits.json``. Per sample, each box (ground truth and predictions alike)
goes through these steps, in order:

1. ego distance: ``translation - ego_pose.translation`` of the sample the box is listed under;
   kept iff its xy length is below the range of its class (50 m for car, truck, bus, trailer;
   40 m for pedestrian, motorcycle, bicycle);
2. points: dropped iff its point count is 0 (ground truth: lidar plus radar points; a prediction
   without ``num_pts`` counts -1 and stays);
3. bicycle racks: a bicycle or motorcycle whose centre lies inside a bicycle rack annotation of
   the same sample (its 3D box, edges included) is dropped.

Then, per scene, every box of a predicted track gets the track's mean score, each track's missing
frames between its first and last are filled (ground truth too; see ``vestrim._native``'s
``nuscenes_score`` for the weights), and each class is swept over 40 recall points with
centre-distance matching (< 2 m). Needs the ``nuscenes`` extra (msgspec).
"""

from __future__ import annotations

import gc
import json
import math
import os
import time
from dataclasses import dataclass, field
from typing import Any, Literal, Optional

import numpy as np

from ..errors import BenchmarkError
from ..fields import FAMILY, TABLE_COLUMNS
from .text import open_regular

__all__ = [
    "CLASSES", "FIELDS", "CURVE_FIELDS", "SPLITS", "NuscenesError", "NuscenesDataset",
    "NuscenesResult", "NuscenesEntry", "read_dataset", "read_results", "score_tracker",
    "evaluate_nuscenes", "load_nuscenes", "score", "load_run",
]

CLASSES = ("bicycle", "bus", "car", "motorcycle", "pedestrian", "trailer", "truck")
# The 17 values of a class and of the combined entry, in output order (declared in fields).
FIELDS = tuple(f.key for f in FAMILY["nuscenes"].fields)
# The per-threshold values, each a 40-long curve (index 0: recall 1): all but the averages, in
# the order the native scorer returns them.
CURVE_FIELDS = ("recall", "motar", "gt", "mota", "motp", "mt", "ml", "faf", "tp", "fp", "fn",
                "ids", "frag", "tid", "lgd")
COUNT_FIELDS = frozenset(f.key for f in FAMILY["nuscenes"].fields if f.count)
PERCENT_FIELDS = frozenset({"amota", "motar", "mota", "recall"})

RANGES = {"car": 50.0, "truck": 50.0, "bus": 50.0, "trailer": 50.0,
          "pedestrian": 40.0, "motorcycle": 40.0, "bicycle": 40.0}
MATCH_DISTANCE = 2.0
MAX_BOXES_PER_SAMPLE = 500
RACK = "static_object.bicycle_rack"
CATEGORY_CLASSES = {
    "vehicle.bicycle": "bicycle",
    "vehicle.bus.bendy": "bus", "vehicle.bus.rigid": "bus",
    "vehicle.car": "car",
    "vehicle.motorcycle": "motorcycle",
    "human.pedestrian.adult": "pedestrian", "human.pedestrian.child": "pedestrian",
    "human.pedestrian.construction_worker": "pedestrian",
    "human.pedestrian.police_officer": "pedestrian",
    "vehicle.trailer": "trailer",
    "vehicle.truck": "truck",
}
TABLES = ("category", "attribute", "visibility", "instance", "sensor", "calibrated_sensor",
          "ego_pose", "log", "scene", "sample", "sample_data", "sample_annotation", "map")

_CLASS_INDEX = {c: k for k, c in enumerate(CLASSES)}


def _scenes(ranges: str) -> tuple:
    out: list[str] = []
    for part in ranges.split(","):
        low, _, high = part.strip().partition("-")
        out.extend(f"scene-{n:04d}" for n in range(int(low), int(high or low) + 1))
    return tuple(out)


_TRAIN_DETECT = _scenes(
    "1-2, 41-76, 161-168, 170-176, 190-196, 199-200, 202-204, 206-214, 254-264, 283-306, "
    "315-318, 321, 323-324, 347-375, 382, 420-439, 457-459, 461-465, 467-469, 471-472, 474-480, "
    "566, 568, 570-578, 580, 582-583, 665-679, 681, 683-689, 739-741, 744, 746-747, 749-752, "
    "757-765, 767-769, 868-873, 875-878, 880, 882-903, 945, 947, 949, 952-953, 955-961, 975-984, "
    "988-991, 1011-1025, 1074-1102, 1104-1105")
_TRAIN_TRACK = _scenes(
    "4-11, 19-34, 120-135, 138-139, 149-152, 154-155, 157-160, 177-185, 187-188, 218-220, 222, "
    "224-253, 328, 376-381, 383-386, 388-403, 405-408, 410-419, 440-456, 499-502, 504-515, "
    "517-518, 525-539, 541-546, 584-600, 639-664, 695-698, 700-701, 703-719, 726-728, 730-731, "
    "733-738, 786-787, 789-792, 803-806, 808-813, 815-817, 819-822, 847-856, 858, 860-866, 992, "
    "994-1010, 1044-1058, 1106-1110")
# The predefined splits: scene names, and the suffix the version's name must end in.
SPLITS = {
    "train": (_TRAIN_DETECT + _TRAIN_TRACK, "trainval"),
    "val": (_scenes(
        "3, 12-18, 35-36, 38-39, 92-110, 221, 268-278, 329-332, 344-346, 519-524, 552-565, "
        "625-627, 629-630, 632-638, 770-771, 775, 777-778, 780-784, 794-800, 802, 904-917, "
        "919-931, 962-963, 966-969, 971-972, 1059-1073"), "trainval"),
    "test": (_scenes(
        "77-91, 111-119, 140, 142-148, 265-266, 279-282, 307-314, 333-343, 481-498, 547-551, "
        "601-604, 606-624, 827-831, 833-842, 844-846, 932-933, 935-943, 1026-1043"), "test"),
    "mini_train": (_scenes("61, 553, 655, 757, 796, 1077, 1094, 1100"), "mini"),
    "mini_val": (_scenes("103, 916"), "mini"),
    "train_detect": (_TRAIN_DETECT, "trainval"),
    "train_track": (_TRAIN_TRACK, "trainval"),
}

# The configuration written with the official summary.
CONFIG = {
    "tracking_names": list(CLASSES),
    "pretty_tracking_names": {"bicycle": "Bicycle", "bus": "Bus", "car": "Car",
                              "motorcycle": "Motorcycle", "pedestrian": "Pedestrian",
                              "trailer": "Trailer", "truck": "Truck"},
    "tracking_colors": {"bicycle": "C9", "bus": "C2", "car": "C0", "motorcycle": "C6",
                        "pedestrian": "C5", "trailer": "C3", "truck": "C1"},
    "class_range": {"car": 50, "truck": 50, "bus": 50, "trailer": 50, "pedestrian": 40,
                    "motorcycle": 40, "bicycle": 40},
    "dist_fcn": "center_distance",
    "dist_th_tp": MATCH_DISTANCE,
    "min_recall": 0.1,
    "max_boxes_per_sample": MAX_BOXES_PER_SAMPLE,
    # Values of a class whose recall never reaches 0.1 (ml, gt and fn follow its ground truth).
    "metric_worst": {"amota": 0.0, "amotp": 2.0, "recall": 0.0, "motar": 0.0, "mota": 0.0,
                     "motp": 2.0, "mt": 0.0, "faf": 500.0, "tp": 0.0, "fp": math.nan,
                     "ids": math.nan, "frag": math.nan, "tid": 20.0, "lgd": 20.0},
    "num_thresholds": 40,
}


class NuscenesError(BenchmarkError):
    """A dataset, split or results file that cannot be scored (the message names the file and
    the sample, box or table row concerned)."""


def _msgspec():
    try:
        import msgspec
    except ImportError:
        raise NuscenesError("reading nuScenes tables needs msgspec: pip install "
                            "'vestrim[nuscenes]'") from None
    return msgspec


# --- the dataset's tables ------------------------------------------------------------------------

def _record_types(msgspec: Any, samples: Optional[list] = None, instances: Optional[list] = None,
                  sensors: Optional[list] = None) -> dict:
    """The record types of the tables: only the fields scored or checked are decoded. With
    ``samples``, the two big tables that name earlier records: where a token must name a record
    of an earlier table, its type lists the tokens there, so that the decoder checks the link
    and shares one string object per token."""

    def one_of(tokens: list) -> Any:
        return Literal.__getitem__(tuple(tokens)) if tokens else Literal[""]

    xyz = tuple[float, float, float]
    fields: dict[str, list] = {
        "category": [("token", str), ("name", str)],
        "attribute": [("token", str)],
        "visibility": [("token", str)],
        "instance": [("token", str), ("category_token", str)],
        "sensor": [("token", str), ("channel", str), ("modality", str)],
        "calibrated_sensor": [("token", str), ("sensor_token", str)],
        "ego_pose": [("token", str), ("translation", xyz)],
        "log": [("token", str)],
        "scene": [("token", str), ("name", str), ("first_sample_token", str),
                  ("last_sample_token", str)],
        "sample": [("token", str), ("scene_token", str), ("timestamp", int), ("next", str)],
        "map": [("token", str), ("filename", str), ("log_tokens", Optional[list[str]], None)],
    }
    if samples is not None:
        sample = one_of(samples)
        fields = {
            "sample_data": [("token", str), ("sample_token", sample), ("is_key_frame", bool),
                            ("calibrated_sensor_token", one_of(sensors or [])),
                            ("ego_pose_token", str)],
            "sample_annotation": [("token", str), ("sample_token", sample),
                                  ("instance_token", one_of(instances or [])),
                                  ("translation", xyz), ("size", xyz),
                                  ("rotation", tuple[float, float, float, float]),
                                  ("num_lidar_pts", int), ("num_radar_pts", int), ("prev", str),
                                  ("next", str)],
        }
    # Not tracked by the garbage collector: millions of records that hold no cycles.
    return {table: msgspec.defstruct(table.title().replace("_", ""), f, gc=False)
            for table, f in fields.items()}


def _read_table(msgspec, folder: str, name: str, record_type) -> list:
    import mmap
    path = os.path.join(folder, name + ".json")
    try:
        with open_regular(path) as f:
            # Mapped rather than read: the decoder reads the file's pages in place, no copy.
            data = mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ) if os.fstat(f.fileno()).st_size \
                else b""
    except OSError as e:
        raise NuscenesError(f"cannot read table {path}: {e.strerror or e}") from None
    enabled = gc.isenabled()
    gc.disable()  # millions of records: the collector would walk them again and again
    try:
        return msgspec.json.decode(data, type=list[record_type])
    except msgspec.ValidationError as e:
        raise NuscenesError(f"{path}: {_row_message(str(e))}") from None
    except msgspec.DecodeError as e:
        raise NuscenesError(f"{path}: not valid JSON ({e})") from None
    finally:
        if isinstance(data, mmap.mmap):
            data.close()
        if enabled:
            gc.enable()


def _row_message(text: str) -> str:
    """msgspec's "... - at `$[12].field`" as "row 12: field: ..."."""
    message, _, where = text.rpartition(" - at `")
    if not message:
        return text
    where = where.rstrip("`")
    if where.startswith("$[") and "]" in where:
        row, _, rest = where[2:].partition("]")
        rest = rest.lstrip(".")
        message = message.replace("Object missing required field", "missing field")
        message = message.replace("Invalid enum value", "no record with token")
        return f"row {row}: {rest + ': ' if rest else ''}{message}"
    return f"{message} (at {where})"


def _last_index(records) -> dict:
    """Token -> index of the last record with that token (a repeated token resolves there)."""
    return {r.token: k for k, r in enumerate(records)}


@dataclass
class NuscenesDataset:
    """A split of a nuScenes version, read down to what scoring needs.

    ``samples`` lists the split's sample tokens in table order; ``sample_scene``,
    ``sample_time`` and ``ego_xy`` follow it. ``scene_frames`` gives each scene (in order of first
    appearance among the split's samples) its samples in time order, as indices into ``samples``.
    ``gt`` holds the split's tracking-class annotations and ``racks`` its bicycle racks, as
    arrays (see ``_Boxes``)."""

    path: str
    version: str
    split: str
    predefined: bool
    samples: list
    sample_index: dict
    sample_scene: np.ndarray
    sample_time: np.ndarray
    ego_xyz: np.ndarray
    scene_names: list
    scene_frames: list
    gt: "_Boxes"
    racks: "_Racks"


@dataclass
class _Boxes:
    """Boxes of one side, in sample then list order."""

    sample: np.ndarray      # index into the dataset's samples
    cls: np.ndarray         # int32 class index
    xyz: np.ndarray         # (n, 3) global translation
    num_pts: np.ndarray     # int64
    track: np.ndarray       # int64 index into track_names
    track_names: list       # track id strings (instance tokens for the ground truth)
    score: Optional[np.ndarray] = None


@dataclass
class _Racks:
    sample: np.ndarray
    centre: np.ndarray      # (n, 3)
    size: np.ndarray        # (n, 3) w, l, h
    rotation: np.ndarray    # (n, 4) w, x, y, z


def _check_split_name(version: str, split: str, folder: str) -> tuple:
    if split in SPLITS:
        names, suffix = SPLITS[split]
        if not version.endswith(suffix):
            raise NuscenesError(f"{folder}: split {split} belongs to a version ending in "
                                f"{suffix!r}, not {version!r}")
        return frozenset(names), True
    path = os.path.join(folder, "splits.json")
    try:
        with open_regular(path) as f:
            splits = json.loads(f.read().decode("utf-8"))
    except FileNotFoundError:
        raise NuscenesError(f"split {split!r} is not predefined (choose from "
                            f"{', '.join(SPLITS)}) and {path} does not exist") from None
    except (OSError, ValueError, RecursionError) as e:
        raise NuscenesError(f"cannot read {path}: {getattr(e, 'strerror', None) or e}") from None
    if not isinstance(splits, dict) or split not in splits:
        raise NuscenesError(f"{path}: no split named {split!r}")
    if not isinstance(splits[split], list):
        raise NuscenesError(f"{path}: split {split!r} is not a list of scene names")
    return frozenset(n for n in splits[split] if isinstance(n, str)), False


def read_dataset(path, split: str) -> NuscenesDataset:
    """Read the tables of the version folder ``path`` and lay out the split ``split``. Raises
    ``NuscenesError`` for a missing or faulty table, an unresolved link or an unusable split."""
    msgspec = _msgspec()
    folder = os.fspath(path)
    if not os.path.isdir(folder):
        raise NuscenesError(f"cannot read {folder}: not a dataset version folder")
    folder = os.path.normpath(folder)
    dataroot, version = os.path.split(os.path.abspath(folder))
    for name in TABLES:
        table = os.path.join(folder, name + ".json")
        if not os.path.isfile(table):
            raise NuscenesError(f"{folder}: no table {name}.json")
    scene_names, predefined = _check_split_name(version, split, folder)

    types = _record_types(msgspec)
    tables = {name: _read_table(msgspec, folder, name, types[name])
              for name in ("category", "attribute", "visibility", "instance", "sensor",
                           "calibrated_sensor", "log", "map", "scene", "sample")}

    def where(table, row):
        return f"{os.path.join(folder, table + '.json')}: row {row}"

    category = _last_index(tables["category"])
    for k, r in enumerate(tables["instance"]):
        if r.category_token not in category:
            raise NuscenesError(f"{where('instance', k)}: no category with token "
                                f"{r.category_token!r}")
    sensor = _last_index(tables["sensor"])
    for k, r in enumerate(tables["calibrated_sensor"]):
        if r.sensor_token not in sensor:
            raise NuscenesError(f"{where('calibrated_sensor', k)}: no sensor with token "
                                f"{r.sensor_token!r}")
    maps = tables["map"]
    if not maps:
        raise NuscenesError(f"{os.path.join(folder, 'map.json')}: no map record")
    if maps[0].log_tokens is None:
        raise NuscenesError(f"{where('map', 0)}: missing field log_tokens")
    mapped_logs = {t for m in maps for t in (m.log_tokens or ())}
    for k, r in enumerate(tables["log"]):
        if r.token not in mapped_logs:
            raise NuscenesError(f"{where('log', k)}: log {r.token!r} is in no map's log_tokens")
    for k, m in enumerate(maps):
        if not os.path.exists(os.path.join(dataroot, m.filename)):
            raise NuscenesError(f"{where('map', k)}: map file {m.filename!r} not found under "
                                f"{dataroot}")

    scenes = tables["scene"]
    scene_index = _last_index(scenes)
    sample_records = tables["sample"]
    if not sample_records:
        raise NuscenesError(f"{os.path.join(folder, 'sample.json')}: no sample record")
    sample_last = _last_index(sample_records)
    split_rows = []
    for k, r in enumerate(sample_records):
        s = scene_index.get(r.scene_token)
        if s is None:
            raise NuscenesError(f"{where('sample', k)}: no scene with token {r.scene_token!r}")
        if scenes[s].name in scene_names:
            split_rows.append(k)
    samples = [sample_records[k].token for k in split_rows]
    sample_index = {t: i for i, t in enumerate(samples)}
    sample_scene_rows = [scene_index[sample_records[k].scene_token] for k in split_rows]

    # Each scene's frames: its samples along `next` from the first to the last.
    order: dict[int, int] = {}
    for s in sample_scene_rows:
        order.setdefault(s, len(order))
    scene_frames = []
    for s in order:
        scene = scenes[s]
        chain: list[int] = []
        token = scene.first_sample_token
        while True:
            row = sample_last.get(token)
            if row is None or len(chain) > len(sample_records):
                raise NuscenesError(f"{where('scene', s)}: the samples from first_sample_token "
                                    f"do not reach last_sample_token {scene.last_sample_token!r}")
            i = sample_index.get(sample_records[row].token)
            if i is not None:
                chain.append(i)
            if token == scene.last_sample_token:
                break
            token = sample_records[row].next
        # A split sample of the scene off its chain still gets its own frame, at its time.
        on_chain = set(chain)
        extra = [i for i, sc in enumerate(sample_scene_rows) if sc == s and i not in on_chain]
        if extra:
            times = {i: sample_records[split_rows[i]].timestamp for i in chain + extra}
            chain = sorted(chain + extra, key=times.__getitem__)
        scene_frames.append(chain)
    scene_list = list(order)
    scene_of = {s: n for n, s in enumerate(scene_list)}
    sample_scene = np.array([scene_of[s] for s in sample_scene_rows], dtype=np.int64)
    sample_time = np.array([sample_records[k].timestamp for k in split_rows], dtype=np.int64)
    del tables["sample"]

    # The big tables, each typed against the tokens it must name.
    calibrated = tables["calibrated_sensor"]
    lidar_sensors = {t for t, k in _last_index(calibrated).items()
                     if tables["sensor"][sensor[calibrated[k].sensor_token]].channel == "LIDAR_TOP"}
    big = _record_types(msgspec, samples=[r.token for r in sample_records],
                        instances=[r.token for r in tables["instance"]],
                        sensors=[c.token for c in calibrated])
    del sample_records

    # Ego pose of each split sample: its last key-frame LIDAR_TOP record.
    sample_data = _read_table(msgspec, folder, "sample_data", big["sample_data"])
    lidar_row = {r.sample_token: k for k, r in enumerate(sample_data)
                 if r.is_key_frame and r.calibrated_sensor_token in lidar_sensors}
    wanted = {sample_data[k].token for t, k in lidar_row.items() if t in sample_index}
    data_last = {r.token: k for k, r in enumerate(sample_data) if r.token in wanted}
    pose_token = {}
    for t in samples:
        row = lidar_row.get(t)
        if row is None:
            raise NuscenesError(f"{os.path.join(folder, 'sample.json')}: sample {t} has no "
                                f"key-frame LIDAR_TOP sample_data record")
        pose_token[t] = sample_data[data_last[sample_data[row].token]].ego_pose_token
    del sample_data, data_last, lidar_row, wanted

    ego_poses = _read_table(msgspec, folder, "ego_pose", types["ego_pose"])
    wanted_poses = set(pose_token.values())
    pose_row = {r.token: k for k, r in enumerate(ego_poses) if r.token in wanted_poses}
    ego_xyz = np.zeros((len(samples), 3))
    for i, t in enumerate(samples):
        pose = pose_row.get(pose_token[t])
        if pose is None:
            raise NuscenesError(f"{os.path.join(folder, 'ego_pose.json')}: no ego pose "
                                f"{pose_token[t]!r} (of sample {t})")
        ego_xyz[i] = ego_poses[pose].translation
    del ego_poses, pose_row

    gt, racks = _read_annotations(msgspec, folder, big["sample_annotation"], tables, category,
                                  sample_index, version, split)
    return NuscenesDataset(folder, version, split, predefined, samples, sample_index,
                           sample_scene, sample_time, ego_xyz,
                           [scenes[s].name for s in scene_list], scene_frames, gt, racks)


def _read_annotations(msgspec, folder, record_type, tables, category, sample_index, version,
                      split):
    path = os.path.join(folder, "sample_annotation.json")
    annotations = _read_table(msgspec, folder, "sample_annotation", record_type)
    if version.endswith("test") and split == "test" and not annotations:
        raise NuscenesError(f"{path}: no annotation (the test split needs ground truth)")
    instance = _last_index(tables["instance"])
    categories = tables["category"]
    instance_class = {}
    rack_instances = set()
    for r in tables["instance"]:
        name = categories[category[r.category_token]].name
        instance_class[r.token] = _CLASS_INDEX.get(CATEGORY_CLASSES.get(name, ""), -1)
        if name == RACK:
            rack_instances.add(r.token)
    del instance
    last = {r.token: k for k, r in enumerate(annotations)}
    rows = [last[r.token] for r in annotations if r.sample_token in sample_index]
    gt_rows, rack_rows = [], []
    for k in rows:
        r = annotations[k]
        cls = instance_class[r.instance_token]
        if cls >= 0:
            gt_rows.append(k)
        elif r.instance_token in rack_instances:
            rack_rows.append(k)
    # Links of every tracking-class annotation (read for its unused velocity elsewhere): looked
    # up all at once, and row by row only to name the first that fails.
    tracking = [r for r in annotations if instance_class[r.instance_token] >= 0]
    links = {r.prev for r in tracking}
    links.update(r.next for r in tracking)
    links.discard("")
    if not links <= last.keys():
        for k, r in enumerate(annotations):
            for link in (r.prev, r.next) if instance_class[r.instance_token] >= 0 else ():
                if link and link not in last:
                    raise NuscenesError(f"{path}: row {k}: no annotation with token {link!r}")
    del tracking, links
    names = {}  # instance token -> track index
    gt = _Boxes(
        sample=np.array([sample_index[annotations[k].sample_token] for k in gt_rows], np.int64),
        cls=np.array([instance_class[annotations[k].instance_token] for k in gt_rows], np.int32),
        xyz=np.array([annotations[k].translation for k in gt_rows], np.float64).reshape(-1, 3),
        num_pts=np.array([annotations[k].num_lidar_pts + annotations[k].num_radar_pts
                          for k in gt_rows], np.int64),
        track=np.fromiter((names.setdefault(annotations[k].instance_token, len(names))
                           for k in gt_rows), np.int64, len(gt_rows)),
        track_names=list(names))
    racks = _Racks(
        sample=np.array([sample_index[annotations[k].sample_token] for k in rack_rows], np.int64),
        centre=np.array([annotations[k].translation for k in rack_rows], np.float64).reshape(-1, 3),
        size=np.array([annotations[k].size for k in rack_rows], np.float64).reshape(-1, 3),
        rotation=np.array([annotations[k].rotation for k in rack_rows],
                          np.float64).reshape(-1, 4))
    return gt, racks


# --- results files -------------------------------------------------------------------------------

def _holds_tuple(value) -> bool:
    if type(value) is tuple:
        return True
    if type(value) is dict:
        return any(_holds_tuple(v) for v in value.values())
    if type(value) is list:
        return any(_holds_tuple(v) for v in value)
    return False


@dataclass
class _ParsedResults:
    """A results file as parsed, before it is held against a split: ``samples`` maps each key of
    ``results`` to the indices of its boxes (an int64 array), or to the value as written where
    that is not a list of boxes; the box arrays are as ``nuscenes_box_reader`` stores them."""

    meta: Any
    samples: dict
    xyz: np.ndarray
    cls: np.ndarray
    score: np.ndarray
    num_pts: np.ndarray
    track: np.ndarray       # int64 index into track_names
    track_names: list
    faults: dict


def parse_results(path) -> _ParsedResults:
    """Parse a results file (a top-level function of plain arguments, so that it can run in
    another process). Raises ``NuscenesError`` if it is not a results document."""
    path = os.fspath(path)
    try:
        with open_regular(path) as f:
            data = f.read()
    except OSError as e:
        raise NuscenesError(f"cannot read results file {path}: "
                            f"{getattr(e, 'strerror', None) or e}") from None
    # msgspec first, with the literals written as strings (the original is kept only as long as
    # the quoted copy is not made: one of the two at a time)
    quoted, literals = _native_quote(data)
    del data
    parsed = _parse_strictly(quoted, literals)
    if parsed is not None:
        return parsed
    return _parse_permissively(path, _unquote(quoted) if literals else quoted)


def _native_quote(data: bytes) -> tuple:
    from .. import _native
    return _native.nuscenes_quote_literals(data)


def _unquote(text: bytes) -> bytes:
    """The text ``nuscenes_quote_literals`` was given, from its result."""
    return (text.replace(b'"-Infinity"', b"-Infinity").replace(b'"Infinity"', b"Infinity")
            .replace(b'"NaN"', b"NaN"))


def _parse_permissively(path: str, data: bytes) -> _ParsedResults:
    """The results file through the standard library's parser, which takes the literals NaN,
    Infinity and -Infinity, and words every refusal."""
    from .. import _native
    try:
        text = data.decode("utf-8")
    except UnicodeDecodeError as e:
        raise NuscenesError(f"cannot read results file {path}: {e}") from None
    del data
    # Each box is checked and stored natively as soon as it is parsed, leaving (its index,) in
    # its list: a results file's boxes never exist as dictionaries all at once.
    hook, take, _ = _native.nuscenes_box_reader()
    try:
        document = json.loads(text, object_hook=hook)
    except (ValueError, RecursionError) as e:
        raise NuscenesError(f"{path}: not valid JSON ({e})") from None
    xyz, cls, score, num_pts, track, names, faults = take()
    if type(document) is not dict:
        raise NuscenesError(f"{path}: not an object with meta and results")
    for key in ("meta", "results"):
        if key not in document:
            raise NuscenesError(f"{path}: no {key!r}")
    meta = document["meta"]
    if _holds_tuple(meta):  # box-like objects inside meta: read it again as it is written
        meta = json.loads(text)["meta"]
    del text
    results = document.pop("results")
    del document
    if type(results) is not dict:
        raise NuscenesError(f"{path}: 'results' is not an object")
    samples = {}
    for token, boxes in results.items():
        if type(boxes) is list and all(type(b) is tuple for b in boxes):
            samples[token] = np.fromiter((b[0] for b in boxes), np.int64, len(boxes))
        else:
            samples[token] = boxes
    return _ParsedResults(meta, samples, xyz, cls, score, num_pts, track, names, faults)


_DOCUMENT_TYPE: list = []


def _parse_strictly(quoted: bytes, literals: int) -> Optional[_ParsedResults]:
    """A results file through msgspec, several times faster than the standard library's parser;
    None wherever the outcome could differ from that parser's, which then reads the file.

    msgspec refuses the literals NaN, Infinity and -Infinity, so ``quoted`` has them written as
    strings (``nuscenes_quote_literals``; ``literals`` of them). In a file without backslashes, a
    literal inside a string then breaks the document, and a string exactly "NaN", "Infinity" or
    "-Infinity" can only be a quoted literal; a box's such strings are numbers again
    (``box_list``), as are those of ``meta``, which the standard library parses from its unquoted
    text. The result stands only if that accounts for every literal quoted (none was an object key
    or elsewhere). The document is split into samples first and each is decoded on its own:
    Ctrl-C acts between samples."""
    try:
        import msgspec
    except ImportError:
        return None
    from .. import _native
    ascii = quoted.isascii()
    if not ascii:
        try:
            quoted.decode("utf-8")
        except UnicodeDecodeError:
            return None
    if literals and quoted.find(b"\\") >= 0:
        return None
    if not _DOCUMENT_TYPE:
        _DOCUMENT_TYPE.append(msgspec.defstruct(
            "ResultsDocument", [("meta", msgspec.Raw), ("results", dict[str, msgspec.Raw])],
            gc=False))
    try:
        document = msgspec.json.decode(quoted, type=_DOCUMENT_TYPE[0])
        meta_text = _unquote(bytes(document.meta)) if literals else bytes(document.meta)
        meta = json.loads(meta_text.decode("ascii" if ascii else "utf-8"))
        accounted = meta_text.count(b"NaN") + meta_text.count(b"Infinity")
        _, take, box_list = _native.nuscenes_box_reader()
        decode = msgspec.json.Decoder().decode
        samples = {}
        enabled = gc.isenabled()
        gc.disable()  # each sample's objects are dropped as soon as its boxes are stored
        try:
            for token, raw in document.results.items():
                samples[token], restored = box_list(decode(raw), literals > 0)
                if restored < 0:
                    return None
                accounted += restored
        finally:
            if enabled:
                gc.enable()
    except (msgspec.MsgspecError, ValueError, RecursionError):
        return None
    if accounted != literals:
        return None
    xyz, cls, score, num_pts, track, names, faults = take()
    return _ParsedResults(meta, samples, xyz, cls, score, num_pts, track, names, faults)


def read_results(path, dataset: NuscenesDataset, parsed: Optional[_ParsedResults] = None
                 ) -> tuple:
    """(meta, boxes) of a results file for the dataset's split: the boxes of the split's samples
    as ``_Boxes`` (in sample then list order). ``parsed``: the file as ``parse_results`` gave
    it, when it was parsed already. Raises ``NuscenesError`` for a refused file."""
    path = os.fspath(path)
    if parsed is None:
        parsed = parse_results(path)
    results, faults = parsed.samples, parsed.faults

    def check(token, boxes):
        if type(boxes) is not np.ndarray:
            if type(boxes) is not list:
                raise NuscenesError(f"{path}: sample {token}: not a list of boxes")
            for k, box in enumerate(boxes):
                if type(box) is not tuple:
                    reason = ("not an object" if type(box) is not dict
                              else "missing field tracking_name")
                    raise NuscenesError(f"{path}: sample {token}: box {k}: {reason}")
        if len(boxes) > MAX_BOXES_PER_SAMPLE:
            raise NuscenesError(f"{path}: sample {token}: {len(boxes)} boxes, more than "
                                f"{MAX_BOXES_PER_SAMPLE}")
        if faults:
            for k, index in enumerate(boxes.tolist()):
                if index in faults:
                    raise NuscenesError(f"{path}: sample {token}: box {k}: {faults[index]}")

    if dataset.predefined:
        expected = dataset.sample_index
        if len(results) != len(expected) or any(k not in expected for k in results):
            missing = next((t for t in dataset.samples if t not in results), None)
            extra = next((k for k in results if k not in expected), None)
            detail = (f"sample {missing} of split {dataset.split} is missing" if missing
                      else f"sample {extra} is not in split {dataset.split}")
            raise NuscenesError(f"{path}: the results' samples are not those of split "
                                f"{dataset.split}: {detail}")
        for token, boxes in results.items():
            check(token, boxes)
    else:
        for token in dataset.samples:
            if token not in results:
                raise NuscenesError(f"{path}: no results for sample {token} of split "
                                    f"{dataset.split}")
            check(token, results[token])

    counts = [len(results[t]) for t in dataset.samples]
    rows = (np.concatenate([results[t] for t in dataset.samples]) if dataset.samples
            else np.zeros(0, np.int64))
    sample = np.repeat(np.arange(len(dataset.samples), dtype=np.int64), counts)
    return parsed.meta, _Boxes(sample, parsed.cls[rows], parsed.xyz[rows], parsed.num_pts[rows],
                               parsed.track[rows], parsed.track_names, parsed.score[rows])


# --- filters and scoring -------------------------------------------------------------------------

_RANGE = np.array([RANGES[c] for c in CLASSES])


def _rotation_matrices(q: np.ndarray) -> np.ndarray:
    q = q / np.sqrt((q * q).sum(axis=1))[:, None]
    w, x, y, z = q.T
    return np.stack([
        np.stack([1 - 2 * (y * y + z * z), 2 * (x * y - z * w), 2 * (x * z + y * w)], -1),
        np.stack([2 * (x * y + z * w), 1 - 2 * (x * x + z * z), 2 * (y * z - x * w)], -1),
        np.stack([2 * (x * z - y * w), 2 * (y * z + x * w), 1 - 2 * (x * x + y * y)], -1),
    ], 1)


def _in_racks(boxes: _Boxes, keep: np.ndarray, racks: _Racks) -> np.ndarray:
    """Mask of the kept bicycles and motorcycles whose centre lies inside a rack of their sample."""
    inside = np.zeros(len(keep), bool)
    if not len(racks.sample):
        return inside
    bikes = np.flatnonzero(keep & np.isin(boxes.cls, [_CLASS_INDEX["bicycle"],
                                                      _CLASS_INDEX["motorcycle"]]))
    if not len(bikes):
        return inside
    rotation = _rotation_matrices(racks.rotation)
    w, l, h = racks.size[:, 0], racks.size[:, 1], racks.size[:, 2]

    def corner(sx, sy, sz):
        local = np.stack([sx * l / 2, sy * w / 2, sz * h / 2], -1)
        return np.einsum("nij,nj->ni", rotation, local) + racks.centre

    p1 = corner(1, 1, 1)
    edges = np.stack([corner(-1, 1, 1) - p1, corner(1, -1, 1) - p1, corner(1, 1, -1) - p1], 1)
    # Every (bike, rack) pair of one sample: racks sorted by sample, each bike against its range.
    order = np.argsort(racks.sample, kind="stable")
    sorted_samples = racks.sample[order]
    first = np.searchsorted(sorted_samples, boxes.sample[bikes], "left")
    count = np.searchsorted(sorted_samples, boxes.sample[bikes], "right") - first
    pair_bike = np.repeat(bikes, count)
    pair_rack = order[np.repeat(first - np.cumsum(count) + count, count) + np.arange(count.sum())]
    v = boxes.xyz[pair_bike] - p1[pair_rack]
    e = edges[pair_rack]                              # (pairs, 3 edges, 3)
    dot = (v[:, None, :] * e).sum(axis=2)
    hit = ((0 <= dot) & (dot <= (e * e).sum(axis=2))).all(axis=1)
    inside[pair_bike[hit]] = True
    return inside


def _filter(boxes: _Boxes, dataset: NuscenesDataset) -> np.ndarray:
    """Mask of the boxes kept by the three filters."""
    ego = boxes.xyz - dataset.ego_xyz[boxes.sample]
    distance = np.sqrt(ego[:, 0] * ego[:, 0] + ego[:, 1] * ego[:, 1])
    keep = distance < _RANGE[boxes.cls]
    keep &= boxes.num_pts != 0
    keep &= ~_in_racks(boxes, keep, dataset.racks)
    return keep


def _layout(boxes: _Boxes, keep: np.ndarray, dataset: NuscenesDataset, frame_of_sample):
    """(offsets, ids, classes, xy, scores) of the kept boxes laid out by frame, ids dense per
    (scene, track id)."""
    rows = np.flatnonzero(keep)
    frames = frame_of_sample[boxes.sample[rows]]
    rows = rows[np.argsort(frames, kind="stable")]
    frames = frame_of_sample[boxes.sample[rows]]
    scene = dataset.sample_scene[boxes.sample[rows]]
    # Dense ids in order of first appearance of each (scene, track id).
    key = scene * max(len(boxes.track_names), 1) + boxes.track[rows]
    _, first, inverse = np.unique(key, return_index=True, return_inverse=True)
    rank = np.empty(len(first), np.int64)
    rank[np.argsort(first, kind="stable")] = np.arange(len(first))
    ids = rank[inverse.reshape(-1)]
    offsets = np.searchsorted(frames, np.arange(len(dataset.sample_time) + 1)).astype(np.int64)
    xy = np.ascontiguousarray(boxes.xyz[rows, :2]).reshape(-1)
    scores = (np.ascontiguousarray(boxes.score[rows]) if boxes.score is not None
              else np.zeros(0))
    return offsets, ids, np.ascontiguousarray(boxes.cls[rows]), xy, scores


@dataclass
class _Prepared:
    scene_offsets: np.ndarray
    timestamps: np.ndarray
    frame_of_sample: np.ndarray
    gt: tuple
    gt_boxes: int


def _prepare(dataset: NuscenesDataset) -> _Prepared:
    order = [i for frames in dataset.scene_frames for i in frames]
    frame_of_sample = np.full(len(dataset.samples), -1, np.int64)
    frame_of_sample[order] = np.arange(len(order))
    scene_offsets = np.cumsum([0] + [len(f) for f in dataset.scene_frames]).astype(np.int64)
    timestamps = dataset.sample_time[order]
    keep = _filter(dataset.gt, dataset)
    gt = _layout(dataset.gt, keep, dataset, frame_of_sample)
    return _Prepared(scene_offsets, timestamps, frame_of_sample, gt, len(dataset.gt.sample))


@dataclass(frozen=True)
class NuscenesEntry:
    """One (tracker, class) result, or the tracker's combined entry (class ``overall``)."""

    tracker: str
    class_name: str
    values: dict                  # the 17 fields
    curves: Optional[dict] = None  # confidence, recall_hypo and the 15 per-threshold curves

    def to_dict(self) -> dict:
        combined = {f: _json_number(self.values[f]) for f in FIELDS}
        if self.curves is not None:
            for name, values in self.curves.items():
                key = name if name in ("confidence", "recall_hypo") else f"{name}_curve"
                combined[key] = [_json_number(v) for v in values]
        return {"name": self.tracker, "class": self.class_name, "sequences": [],
                "combined": {"nuscenes": combined}}


def _json_number(v: float):
    return v if math.isfinite(v) else None


@dataclass(frozen=True)
class NuscenesResult:
    """Every tracker's per-class entries and its combined entry (class ``overall``)."""

    split: str
    classes: tuple
    entries: tuple
    metas: dict = field(default_factory=dict)   # tracker -> the results file's meta
    eval_time: dict = field(default_factory=dict)  # tracker -> wall seconds
    protocol: str = "nuscenes"
    iou_threshold: None = None

    def to_dict(self) -> dict:
        return {"protocol": self.protocol, "iou_threshold": None,
                "trackers": [e.to_dict() for e in self.entries]}

    def to_json(self, indent: Optional[int] = 2) -> str:
        return json.dumps(self.to_dict(), indent=indent, allow_nan=False) + "\n"

    def summary(self, tracker: str) -> dict:
        """The official summary document of one tracker (NaN kept as NaN)."""
        label_metrics: dict[str, dict[str, float]] = {f: {} for f in FIELDS}
        overall = {}
        for e in self.entries:
            if e.tracker != tracker:
                continue
            if e.class_name == "overall":
                overall = e.values
                continue
            for f in FIELDS:
                label_metrics[f][e.class_name] = e.values[f]
        out: dict[str, Any] = {"label_metrics": label_metrics}
        out.update((f, overall[f]) for f in FIELDS)
        out["eval_time"] = self.eval_time.get(tracker, 0.0)
        out["cfg"] = CONFIG
        out["meta"] = self.metas.get(tracker)
        return out


def score_tracker(dataset: NuscenesDataset, prepared: _Prepared, results_path, name: str,
                  classes: tuple, threads: int = 1, parsed: Optional[_ParsedResults] = None
                  ) -> tuple:
    """(entries, meta, seconds) of one results file: one entry per class, then ``overall``."""
    from .. import _native
    start = time.perf_counter()
    meta, boxes = read_results(results_path, dataset, parsed)
    if prepared.gt_boxes == 0:
        raise NuscenesError(f"{dataset.path}: split {dataset.split} has no ground-truth box of a "
                            f"tracking class")
    if not len(boxes.sample):
        raise NuscenesError(f"{os.fspath(results_path)}: no box in the samples of split "
                            f"{dataset.split}")
    keep = _filter(boxes, dataset)
    pred = _layout(boxes, keep, dataset, prepared.frame_of_sample)
    del boxes
    selected = np.array([_CLASS_INDEX[c] for c in classes], np.int64)
    try:
        gt_offsets, gt_ids, gt_classes, gt_xy, _ = prepared.gt
        offsets, ids, pred_classes, xy, scores = pred
        records, combined = _native.nuscenes_score(
            prepared.scene_offsets, prepared.timestamps, gt_offsets, gt_ids, gt_classes, gt_xy,
            offsets, ids, pred_classes, xy, scores, selected, threads=threads)
    except ValueError as e:
        raise NuscenesError(f"{os.fspath(results_path)}: {e}") from None
    entries = []
    for c, (summary, confidence, recall_hypo, curves) in zip(classes, records):
        curve_map = {"confidence": confidence, "recall_hypo": recall_hypo}
        curve_map.update(zip(CURVE_FIELDS, curves))
        entries.append(NuscenesEntry(name, c, dict(zip(FIELDS, summary)), curve_map))
    entries.append(NuscenesEntry(name, "overall", dict(zip(FIELDS, combined))))
    return entries, meta, time.perf_counter() - start


def _tracker_names(paths: list) -> list:
    names: dict[str, str] = {}
    out = []
    for p in paths:
        base = os.path.basename(p)
        name = base[:-5] if base.endswith(".json") else base
        if name in names:
            raise NuscenesError(f"two trackers are named {name}: {names[name]} and {p}")
        names[name] = p
        out.append(name)
    return out


def check_classes(classes) -> tuple:
    if classes is None:
        return CLASSES
    if isinstance(classes, str):
        classes = [classes]
    chosen = list(classes)
    for c in chosen:
        if c not in CLASSES:
            raise ValueError(f"class {c!r} is not scored under nuscenes (scored: "
                             f"{', '.join(CLASSES)})")
    return tuple(c for c in CLASSES if c in chosen)


def evaluate_nuscenes(gt, trackers, *, split: Optional[str], classes=None,
                      jobs: int = 1) -> NuscenesResult:
    """Score results files on a split of a dataset version folder (see the module docstring)."""
    if not isinstance(split, str) or not split:
        raise ValueError("nuscenes needs a split (a predefined name or a key of splits.json)")
    chosen = check_classes(classes)
    if isinstance(trackers, (str, os.PathLike)):
        trackers = [trackers]
    paths = [os.fspath(t) for t in trackers]
    if not paths:
        raise NuscenesError("no results file given")
    names = _tracker_names(paths)
    for p in paths:
        if not os.path.isfile(p):
            raise NuscenesError(f"cannot read results file {p}: no such file")
    # With several jobs, results files are parsed in other processes while this one reads the
    # dataset's tables (both are most of a run's time); the threshold passes run on `jobs` threads.
    pool = None
    if jobs > 1:
        from ..pool import local_pool
        try:
            pool = local_pool(min(jobs - 1, len(paths)))
        except (OSError, ImportError, NotImplementedError):  # no process support here
            pool = None
    try:
        parsing = [pool.submit(parse_results, p) if pool is not None else None for p in paths]
        start = time.perf_counter()
        dataset = read_dataset(gt, split)
        prepared = _prepare(dataset)
        shared = time.perf_counter() - start
        entries, metas, seconds = [], {}, {}
        for name, path, future in zip(names, paths, parsing):
            parsed = future.result() if future is not None else None
            tracker_entries, meta, spent = score_tracker(dataset, prepared, path, name, chosen,
                                                         threads=jobs, parsed=parsed)
            entries.extend(tracker_entries)
            metas[name] = meta
            seconds[name] = shared + spent
    finally:
        if pool is not None:
            pool.shutdown(cancel_futures=True)
    return NuscenesResult(split, chosen, tuple(entries), metas, seconds)


def score(gt, trackers, options) -> NuscenesResult:
    """The dataset's scoring hook: ``evaluate_benchmark`` under a nuscenes protocol (``options``:
    the checked run options)."""
    return evaluate_nuscenes(gt, trackers, split=options.split, classes=options.classes,
                             jobs=options.jobs)


def load_run(gt, tracker, options) -> list:
    """The dataset's loading hook: ``load_benchmark`` under a nuscenes protocol."""
    return load_nuscenes(gt, tracker, split=options.split)


def load_nuscenes(gt, tracker, *, split: str) -> list:
    """The split as it is scored, before track scores and gap filling: per scene (in order)
    ``{"scene", "timestamps", "gt": [(track, class, x, y)] per frame, "pred": [(track, class,
    x, y, score)] per frame}`` after the three filters."""
    if not isinstance(split, str) or not split:
        raise ValueError("nuscenes needs a split (a predefined name or a key of splits.json)")
    dataset = read_dataset(gt, split)
    _, boxes = read_results(tracker, dataset)
    out = []
    sides = {}
    for side, b in (("gt", dataset.gt), ("pred", boxes)):
        keep = _filter(b, dataset)
        per_sample: list = [[] for _ in dataset.samples]
        for k in np.flatnonzero(keep).tolist():
            item: tuple = (b.track_names[b.track[k]], CLASSES[b.cls[k]], float(b.xyz[k, 0]),
                           float(b.xyz[k, 1]))
            if b.score is not None:
                item += (float(b.score[k]),)
            per_sample[b.sample[k]].append(item)
        sides[side] = per_sample
    for name, frames in zip(dataset.scene_names, dataset.scene_frames):
        out.append({"scene": name, "timestamps": [int(dataset.sample_time[i]) for i in frames],
                    "gt": [sides["gt"][i] for i in frames],
                    "pred": [sides["pred"][i] for i in frames]})
    return out


# --- text output ---------------------------------------------------------------------------------



def _cell(name: str, value: float, percent: bool) -> str:
    if value != value:
        return "NaN"
    if name in COUNT_FIELDS:
        return str(int(value)) if name != "gt" or value == int(value) else f"{value:.4f}"
    if percent and name in PERCENT_FIELDS:
        value *= 100
    return f"{value:.4f}"


def format_table(result: NuscenesResult, percent: bool = False) -> str:
    columns = TABLE_COLUMNS["nuscenes"]
    header = ["Tracker", "Class"] + [c.table_header for c in columns]
    rows = [[e.tracker, e.class_name] + [_cell(c.key, e.values[c.key], percent) for c in columns]
            for e in result.entries]
    widths = [max(len(r[k]) for r in [header] + rows) for k in range(len(header))]

    def line(cells):
        return "  ".join(c.ljust(w) if k < 2 else c.rjust(w)
                         for k, (c, w) in enumerate(zip(cells, widths))).rstrip()

    title = f"nuScenes tracking, split {result.split}"
    return "\n".join([title, line(header)] + [line(r) for r in rows]) + "\n"


def format_csv(result: NuscenesResult, percent: bool = False) -> str:
    import csv
    import io
    out = io.StringIO()
    writer = csv.writer(out, lineterminator="\n")
    columns = TABLE_COLUMNS["nuscenes"]
    writer.writerow(["tracker", "class"] + [c.key for c in columns])
    for e in result.entries:
        writer.writerow([e.tracker, e.class_name] + [_cell(c.key, e.values[c.key], percent)
                                                     for c in columns])
    return out.getvalue()


def format_summary(result: NuscenesResult) -> str:
    """The official summary document of the (single) tracker, NaN written as NaN."""
    trackers = list(dict.fromkeys(e.tracker for e in result.entries))
    if len(trackers) != 1:
        raise NuscenesError("--format nuscenes writes one results file's summary: give exactly "
                            "one results file")
    return json.dumps(result.summary(trackers[0]), indent=2) + "\n"
