#!/usr/bin/env python3
"""Generate the bundled miniature nuScenes dataset and two trackers' results files.

    python examples/make_nuscenes_example.py [OUT_DIR]    (default: examples/nuscenes)

writes OUT_DIR/v1.0-mini/ (the 13 tables, no images or point clouds), OUT_DIR/maps/ (the map
file the tables name) and OUT_DIR/results/{good,jumpy}.json. The scenes carry the names of the
predefined mini_val split (scene-0103, scene-0916) plus one mini_train scene, so
`--split mini_val` scores the first two. Everything is written from the lists below; running the
script again reproduces the files byte for byte.

`write_dataset` and `write_results` build any such folder from plain scene descriptions (the
tests use them for hand-worked cases).
"""

from __future__ import annotations

import json
import math
import os
import sys

CATEGORIES = ["vehicle.car", "vehicle.bus.rigid", "vehicle.truck", "vehicle.trailer",
              "vehicle.bicycle", "vehicle.motorcycle", "human.pedestrian.adult",
              "static_object.bicycle_rack", "movable_object.barrier"]


def _dump(path: str, records) -> None:
    with open(path, "w", encoding="utf-8") as f:
        json.dump(records, f, indent=1)
        f.write("\n")


def write_dataset(root: str, scenes: list, version: str = "v1.0-mini", splits=None) -> str:
    """Write ROOT/VERSION/*.json for `scenes` and return the version folder.

    Each scene is {"name", "samples": [{"time": µs, "ego": (x, y, z), "boxes": [box]}]}; a box
    is {"instance": name, "category": category name, "xyz": (x, y, z), "size": (w, l, h) default
    (2, 4, 1.5), "rotation": (w, x, y, z) default (1, 0, 0, 0), "lidar": points default 5,
    "radar": default 0}. Tokens are made from the names: sample "<scene>-<k>", annotation
    "<scene>-<k>-<instance>", instance "<instance>"."""
    folder = os.path.join(root, version)
    os.makedirs(folder, exist_ok=True)
    os.makedirs(os.path.join(root, "maps"), exist_ok=True)
    open(os.path.join(root, "maps", "example.png"), "wb").close()
    categories = [{"token": f"cat-{name}", "name": name, "description": ""} for name in CATEGORIES]
    sensors = [{"token": "sensor-lidar", "channel": "LIDAR_TOP", "modality": "lidar"},
               {"token": "sensor-cam", "channel": "CAM_FRONT", "modality": "camera"}]
    calibrated = [{"token": "cs-lidar", "sensor_token": "sensor-lidar",
                   "translation": [0, 0, 1.8], "rotation": [1, 0, 0, 0], "camera_intrinsic": []},
                  {"token": "cs-cam", "sensor_token": "sensor-cam",
                   "translation": [1, 0, 1.5], "rotation": [1, 0, 0, 0], "camera_intrinsic": []}]
    logs = [{"token": "log-0", "logfile": "example", "vehicle": "v", "date_captured": "2019-01-01",
             "location": "example"}]
    maps = [{"token": "map-0", "log_tokens": ["log-0"], "category": "semantic_prior",
             "filename": "maps/example.png"}]
    scene_records, samples, sample_data, ego_poses, annotations = [], [], [], [], []
    instances: dict = {}
    for scene in scenes:
        name = scene["name"]
        tokens = [f"{name}-{k}" for k in range(len(scene["samples"]))]
        scene_records.append({"token": f"scene-token-{name}", "log_token": "log-0",
                              "nbr_samples": len(tokens), "first_sample_token": tokens[0],
                              "last_sample_token": tokens[-1], "name": name,
                              "description": ""})
        by_instance: dict = {}
        for k, sample in enumerate(scene["samples"]):
            token = tokens[k]
            samples.append({"token": token, "timestamp": sample["time"],
                            "prev": tokens[k - 1] if k else "",
                            "next": tokens[k + 1] if k + 1 < len(tokens) else "",
                            "scene_token": f"scene-token-{name}"})
            for channel in ("cam", "lidar"):
                sample_data.append({"token": f"{token}-{channel}", "sample_token": token,
                                    "ego_pose_token": f"{token}-pose-{channel}",
                                    "calibrated_sensor_token": f"cs-{channel}",
                                    "timestamp": sample["time"], "fileformat": "pcd",
                                    "is_key_frame": True, "height": 0, "width": 0,
                                    "filename": f"samples/{channel}/{token}", "prev": "",
                                    "next": ""})
                ego_poses.append({"token": f"{token}-pose-{channel}", "timestamp": sample["time"],
                                  "rotation": [1, 0, 0, 0], "translation": list(sample["ego"])})
            for box in sample["boxes"]:
                instance = box["instance"]
                instances.setdefault(instance, box["category"])
                ann = {"token": f"{token}-{instance}", "sample_token": token,
                       "instance_token": instance, "visibility_token": "4",
                       "attribute_tokens": [], "translation": list(box["xyz"]),
                       "size": list(box.get("size", (2, 4, 1.5))),
                       "rotation": list(box.get("rotation", (1, 0, 0, 0))), "prev": "",
                       "next": "", "num_lidar_pts": box.get("lidar", 5),
                       "num_radar_pts": box.get("radar", 0)}
                previous = by_instance.get(instance)
                if previous is not None:
                    previous["next"] = ann["token"]
                    ann["prev"] = previous["token"]
                by_instance[instance] = ann
                annotations.append(ann)
    instance_records = [{"token": i, "category_token": f"cat-{c}", "nbr_annotations": 0,
                         "first_annotation_token": "", "last_annotation_token": ""}
                        for i, c in instances.items()]
    tables = {
        "category": categories, "attribute": [], "visibility": [{"token": "4", "level": "v80-100",
                                                                 "description": ""}],
        "instance": instance_records, "sensor": sensors, "calibrated_sensor": calibrated,
        "ego_pose": ego_poses, "log": logs, "scene": scene_records, "sample": samples,
        "sample_data": sample_data, "sample_annotation": annotations, "map": maps,
    }
    for table, records in tables.items():
        _dump(os.path.join(folder, f"{table}.json"), records)
    if splits is not None:
        _dump(os.path.join(folder, "splits.json"), splits)
    return folder


def write_results(path: str, boxes: dict, meta=None) -> str:
    """Write a results file: `boxes` maps a sample token to [(tracking_id, class, (x, y, z),
    score)] (a fifth item, a dict, adds or replaces fields)."""
    results = {}
    for token, items in boxes.items():
        results[token] = []
        for item in items:
            tracking_id, name, xyz, score = item[:4]
            box = {"sample_token": token, "translation": list(xyz), "size": [2, 4, 1.5],
                   "rotation": [1, 0, 0, 0], "velocity": [0, 0], "tracking_id": tracking_id,
                   "tracking_name": name, "tracking_score": score}
            if len(item) > 4:
                box.update(item[4])
            results[token].append(box)
    document = {"meta": meta if meta is not None else {"use_lidar": True}, "results": results}
    with open(path, "w", encoding="utf-8") as f:
        json.dump(document, f, indent=1)
        f.write("\n")
    return path


# --- the bundled example -----------------------------------------------------------------------

def _example_scenes() -> list:
    scenes = []
    # scene-0103: two cars driving side by side past the ego vehicle (one unseen by lidar in one
    # frame), a pedestrian crossing, a bicycle parked in a rack, a barrier (not scored).
    samples = []
    for k in range(8):
        boxes = [
            {"instance": "car-1", "category": "vehicle.car", "xyz": (5.0 + 4 * k, 3.0, 0.8),
             "lidar": 0 if k == 4 else 12},
            {"instance": "car-2", "category": "vehicle.car", "xyz": (10.0 + 4 * k, -3.5, 0.8)},
            {"instance": "ped-1", "category": "human.pedestrian.adult",
             "xyz": (20.0, -8.0 + 0.7 * k, 0.9), "size": (0.6, 0.6, 1.7)},
            {"instance": "rack-1", "category": "static_object.bicycle_rack",
             "xyz": (15.0, 9.0, 0.5), "size": (2.0, 4.0, 1.0)},
            {"instance": "bike-1", "category": "vehicle.bicycle", "xyz": (15.5, 9.0, 0.6),
             "size": (0.6, 1.7, 1.2)},
            {"instance": "barrier-1", "category": "movable_object.barrier",
             "xyz": (12.0, 6.0, 0.5)},
        ]
        samples.append({"time": 1_000_000 + 500_000 * k, "ego": (2.0 * k, 0.0, 0.0),
                        "boxes": boxes})
    scenes.append({"name": "scene-0103", "samples": samples})
    # scene-0916: a truck pulling away, a second pedestrian far away (beyond 40 m for part of it).
    samples = []
    for k in range(6):
        boxes = [
            {"instance": "truck-1", "category": "vehicle.truck", "xyz": (300.0 + 3 * k, 200.0, 1.5),
             "size": (2.5, 8.0, 3.0)},
            {"instance": "ped-2", "category": "human.pedestrian.adult",
             "xyz": (330.0 + 2 * k, 200.0, 0.9), "size": (0.6, 0.6, 1.7)},
        ]
        samples.append({"time": 9_000_000 + 500_000 * k, "ego": (295.0, 200.0, 0.0),
                        "boxes": boxes})
    scenes.append({"name": "scene-0916", "samples": samples})
    # scene-0061 (mini_train, not scored by mini_val): one car.
    samples = [{"time": 20_000_000 + 500_000 * k, "ego": (0.0, 0.0, 0.0),
                "boxes": [{"instance": "car-9", "category": "vehicle.car", "xyz": (8.0, 1.0, 0.8)}]}
               for k in range(3)]
    scenes.append({"name": "scene-0061", "samples": samples})
    return scenes


def _example_results(scenes: list) -> dict:
    """Two trackers on scene-0103 and scene-0916: `good` follows every object closely; `jumpy`
    misses frames, swaps the two cars for a while and adds a false bus."""
    good, jumpy = {}, {}
    for scene in scenes[:2]:
        for k, sample in enumerate(scene["samples"]):
            token = f"{scene['name']}-{k}"
            good[token], jumpy[token] = [], []
            for box in sample["boxes"]:
                name = {"vehicle.car": "car", "vehicle.truck": "truck", "vehicle.bicycle": "bicycle",
                        "human.pedestrian.adult": "pedestrian"}.get(box["category"])
                if name is None:
                    continue
                x, y, z = box["xyz"]
                good[token].append((f"g-{box['instance']}", name, (x + 0.2, y - 0.1, z),
                                    0.9 if name != "pedestrian" else 0.6))
                if box["instance"] == "car-1" and k in (2, 3):
                    continue  # missed for two frames: interpolated back
                tid = f"j-{box['instance']}"
                if box["instance"] in ("car-1", "car-2") and 5 <= k <= 6:
                    tid = "j-car-2" if box["instance"] == "car-1" else "j-car-1"
                jitter = 0.5 * math.sin(1.3 * k + len(box["instance"]))
                jumpy[token].append((tid, name, (x + jitter, y + 0.3, z),
                                     round(0.5 + 0.4 * math.cos(0.7 * k + len(tid)), 3)))
            if scene["name"] == "scene-0103" and k % 3 == 0:
                jumpy[token].append(("j-ghost", "bus", (6.0 + k, 20.0, 1.0), 0.3))
    return {"good": good, "jumpy": jumpy}


def main(argv: list) -> int:
    out = argv[1] if len(argv) > 1 else os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                                     "nuscenes")
    scenes = _example_scenes()
    write_dataset(out, scenes, "v1.0-mini")
    os.makedirs(os.path.join(out, "results"), exist_ok=True)
    for name, boxes in _example_results(scenes).items():
        write_results(os.path.join(out, "results", f"{name}.json"), boxes,
                      {"use_lidar": True, "use_camera": False, "use_radar": False,
                       "use_map": False, "use_external": False})
    print(f"wrote {out}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
