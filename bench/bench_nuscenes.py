"""nuScenes tracking at the full release's shape: the command line end to end and its peak memory.

    PYTHONPATH=<build>/pkg python3 bench/bench_nuscenes.py [--dir DIR] [--jobs 2] [--keep]
                                                           [--scenes 850] [--repeat 1]

Writes a dataset version folder with tables of the full release's size (850 scenes of 40
samples, 77 sample-data and 77 ego-pose records and about 35 annotations per sample), a split
`bench` of 150 scenes in splits.json, and one results file with exactly 300 boxes per split
sample (6,000 samples), a tenth of them with NaN velocities. Then it runs
`python -m vestrim DIR/v1.0-trainval RESULTS --protocol nuscenes --split bench --jobs N` and
reports its wall time and peak RSS (the command scores in one process), and, in this process,
where the time goes: reading the tables, laying out the ground truth, reading the results file,
filtering and scoring. The files (several GB) are deleted afterwards unless --keep is given.
Run on an idle machine for figures to quote; on a loaded one, repeat and take the best.
"""
from __future__ import annotations

import argparse
import os
import random
import resource
import shutil
import subprocess
import sys
import tempfile
import time

NAMES = ["vehicle.car", "vehicle.truck", "vehicle.bus.rigid", "vehicle.trailer", "vehicle.bicycle",
         "vehicle.motorcycle", "human.pedestrian.adult", "movable_object.barrier",
         "static_object.bicycle_rack"]
# Annotations per sample by category (about 35).
MIX = [14, 3, 1, 1, 2, 1, 9, 3, 1]
CLASSES = ["car", "truck", "bus", "trailer", "bicycle", "motorcycle", "pedestrian"]
SAMPLES_PER_SCENE = 40
CHANNELS = 77  # sample-data and ego-pose records per sample


def token(kind: str, *parts) -> str:
    text = f"{kind}{'_'.join(map(str, parts))}"
    return text.rjust(32, "0")[-32:] if len(text) < 32 else text


def write_array(path: str, records) -> int:
    """Write an iterable of JSON texts as one array, in chunks."""
    size = 0
    with open(path, "w") as f:
        f.write("[\n")
        first = True
        chunk = []
        for text in records:
            chunk.append(text if first else ",\n" + text)
            first = False
            if len(chunk) >= 20000:
                size += f.write("".join(chunk))
                chunk = []
        size += f.write("".join(chunk) + "\n]\n")
    return size


def generate(root: str, scenes: int, split_scenes: int) -> tuple[str, str]:
    rng = random.Random(24)
    folder = os.path.join(root, "v1.0-trainval")
    os.makedirs(folder, exist_ok=True)
    os.makedirs(os.path.join(root, "maps"), exist_ok=True)
    open(os.path.join(root, "maps", "m.png"), "wb").close()
    w = lambda name, recs: write_array(os.path.join(folder, name + ".json"), recs)  # noqa: E731
    w("category", (f'{{"token": "{token("cat", k)}", "name": "{n}", "description": ""}}'
                   for k, n in enumerate(NAMES)))
    w("attribute", [])
    w("visibility", ['{"token": "4", "level": "v80-100", "description": ""}'])
    w("sensor", (f'{{"token": "{token("sen", c)}", "channel": "{"LIDAR_TOP" if c == 0 else f"CH{c}"}",'
                 f' "modality": "lidar"}}' for c in range(CHANNELS)))
    w("calibrated_sensor", (f'{{"token": "{token("cs", c)}", "sensor_token": "{token("sen", c)}", '
                            f'"translation": [0, 0, 1], "rotation": [1, 0, 0, 0], '
                            f'"camera_intrinsic": []}}' for c in range(CHANNELS)))
    w("log", ['{"token": "log0", "logfile": "l", "vehicle": "v", "date_captured": "d", '
              '"location": "x"}'])
    w("map", ['{"token": "map0", "log_tokens": ["log0"], "category": "c", "filename": "maps/m.png"}'])
    names = [f"scene-{n:04d}" for n in range(1, scenes + 1)]
    w("scene", (f'{{"token": "{token("sc", s)}", "log_token": "log0", "nbr_samples": 40, '
                f'"first_sample_token": "{token("sa", s, 0)}", '
                f'"last_sample_token": "{token("sa", s, SAMPLES_PER_SCENE - 1)}", '
                f'"name": "{names[s]}", "description": ""}}' for s in range(scenes)))

    def samples():
        for s in range(scenes):
            for k in range(SAMPLES_PER_SCENE):
                nxt = token("sa", s, k + 1) if k + 1 < SAMPLES_PER_SCENE else ""
                prv = token("sa", s, k - 1) if k else ""
                stamp = 1_500_000_000_000_000 + s * 100_000_000 + k * 500_000
                yield (f'{{"token": "{token("sa", s, k)}", "timestamp": {stamp}, '
                       f'"prev": "{prv}", "next": "{nxt}", '
                       f'"scene_token": "{token("sc", s)}"}}')
    w("sample", samples())

    def ego(s, k):
        return (1000.0 + s * 3.0 + k * 2.0, 800.0 + s, 0.0)

    def sample_data():
        for s in range(scenes):
            for k in range(SAMPLES_PER_SCENE):
                sa = token("sa", s, k)
                for c in range(CHANNELS):
                    yield (f'{{"token": "{token("sd", s, k, c)}", "sample_token": "{sa}", '
                           f'"ego_pose_token": "{token("ep", s, k, c)}", '
                           f'"calibrated_sensor_token": "{token("cs", c)}", "timestamp": 0, '
                           f'"fileformat": "pcd", "is_key_frame": {"true" if c < 12 else "false"}, '
                           f'"height": 0, "width": 0, "filename": "sweeps/CH{c}/'
                           f'n008-2018-08-01-15-16-36-0400__CH{c}__1533151603547590.pcd.bin", '
                           f'"prev": "", "next": ""}}')
    w("sample_data", sample_data())

    def ego_poses():
        for s in range(scenes):
            for k in range(SAMPLES_PER_SCENE):
                x, y, z = ego(s, k)
                for c in range(CHANNELS):
                    yield (f'{{"token": "{token("ep", s, k, c)}", "timestamp": 0, "rotation": '
                           f'[0.5720320396729045, -0.0016977771610471074, 0.011798001930183783, '
                           f'-0.8201446642457809], "translation": [{x + c * 1e-3!r}, {y!r}, {z!r}]}}')
    w("ego_pose", ego_poses())

    instances = []  # (token, category index)
    tracks = {}     # scene -> [(instance token, category, start x, y, speed)]
    for s in range(scenes):
        tracks[s] = []
        for cat, n in enumerate(MIX):
            for i in range(n):
                inst = token("in", s, cat, i)
                instances.append((inst, cat))
                tracks[s].append((inst, cat, rng.uniform(-30, 30), rng.uniform(-30, 30),
                                  rng.uniform(-1, 1)))
    w("instance", (f'{{"token": "{t}", "category_token": "{token("cat", c)}", "nbr_annotations": '
                   f'40, "first_annotation_token": "", "last_annotation_token": ""}}'
                   for t, c in instances))

    def annotations():
        for s in range(scenes):
            for k in range(SAMPLES_PER_SCENE):
                ex, ey, _ = ego(s, k)
                for inst, cat, x0, y0, v in tracks[s]:
                    prv = token("an", inst, k - 1) if k else ""
                    nxt = token("an", inst, k + 1) if k + 1 < SAMPLES_PER_SCENE else ""
                    yield (f'{{"token": "{token("an", inst, k)}", "sample_token": '
                           f'"{token("sa", s, k)}", "instance_token": "{inst}", '
                           f'"visibility_token": "4", "attribute_tokens": [], "translation": '
                           f'[{ex + x0 + v * k!r}, {ey + y0!r}, 1.0], "size": [1.9, 4.5, 1.6], '
                           f'"rotation": [0.99, 0.0, 0.0, 0.14], "prev": "{prv}", "next": "{nxt}", '
                           f'"num_lidar_pts": {(k * 7 + cat) % 40}, "num_radar_pts": 1}}')
    w("sample_annotation", annotations())

    split = names[:split_scenes]
    with open(os.path.join(folder, "splits.json"), "w") as f:
        f.write('{"bench": [' + ", ".join(f'"{n}"' for n in split) + "]}\n")

    def boxes(s, k):
        ex, ey, _ = ego(s, k)
        out = []
        for j in range(300):
            if j < len(tracks[s]) and tracks[s][j][1] < 7:
                _, cat, x0, y0, v = tracks[s][j]
                x, y, name = ex + x0 + v * k + rng.gauss(0, 0.5), ey + y0 + rng.gauss(0, 0.5), \
                    CLASSES[cat]
            else:
                x, y, name = ex + rng.uniform(-60, 60), ey + rng.uniform(-60, 60), CLASSES[j % 7]
            vel = "[NaN, NaN]" if rng.random() < 0.1 else f"[{rng.uniform(-5, 5)!r}, 0.0]"
            out.append(f'{{"sample_token": "{token("sa", s, k)}", "translation": [{x!r}, {y!r}, 1.0], '
                       f'"size": [1.9, 4.5, 1.6], "rotation": [0.99, 0.0, 0.0, 0.14], '
                       f'"velocity": {vel}, "tracking_id": "{s}-{j}", "tracking_name": "{name}", '
                       f'"tracking_score": {rng.random()!r}}}')
        return out

    results = os.path.join(root, "tracker.json")
    with open(results, "w") as f:
        f.write('{"meta": {"use_lidar": true}, "results": {')
        first = True
        for s in range(split_scenes):
            for k in range(SAMPLES_PER_SCENE):
                f.write(("" if first else ",\n") + f'"{token("sa", s, k)}": [' +
                        ", ".join(boxes(s, k)) + "]")
                first = False
        f.write("}}\n")
    return folder, results


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--dir", default=None)
    parser.add_argument("--jobs", type=int, default=2)
    parser.add_argument("--scenes", type=int, default=850)
    parser.add_argument("--split-scenes", type=int, default=150)
    parser.add_argument("--repeat", type=int, default=1)
    parser.add_argument("--keep", action="store_true")
    args = parser.parse_args()
    root = args.dir or tempfile.mkdtemp(prefix="vestrim-nuscenes-")
    try:
        folder = os.path.join(root, "v1.0-trainval")
        results = os.path.join(root, "tracker.json")
        if not os.path.exists(results):
            start = time.perf_counter()
            generate(root, args.scenes, args.split_scenes)
            print(f"generated in {time.perf_counter() - start:.1f} s")
        sizes = {n: os.path.getsize(os.path.join(folder, n)) for n in os.listdir(folder)}
        print(f"tables: {sum(sizes.values()) / 1e9:.2f} GB (sample_data "
              f"{sizes['sample_data.json'] / 1e9:.2f}, ego_pose {sizes['ego_pose.json'] / 1e9:.2f}, "
              f"sample_annotation {sizes['sample_annotation.json'] / 1e9:.2f}); results "
              f"{os.path.getsize(results) / 1e9:.2f} GB")

        # The command line's own main, in a process that then reports its peak RSS and that of its
        # largest worker process.
        argv = [folder, results, "--protocol", "nuscenes", "--split", "bench", "--jobs",
                str(args.jobs), "--output", os.devnull]
        command = [sys.executable, "-c",
                   "import resource, sys\n"
                   "from vestrim.cli import main\n"
                   f"status = main({argv!r})\n"
                   "own = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss\n"
                   "workers = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss\n"
                   "print(f'peak RSS: command {own / 1e6:.2f} GB + largest worker "
                   "{workers / 1e6:.2f} GB = {(own + workers) / 1e6:.2f} GB')\n"
                   "sys.exit(status)\n"]
        best = None
        for _ in range(args.repeat):
            before = resource.getrusage(resource.RUSAGE_CHILDREN)
            start = time.perf_counter()
            subprocess.run(command, check=True)
            wall = time.perf_counter() - start
            after = resource.getrusage(resource.RUSAGE_CHILDREN)
            cpu = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
            best = wall if best is None else min(best, wall)
            print(f"command line: {wall:.1f} s wall, {cpu:.1f} s CPU (workers included)")
        print(f"command line best of {args.repeat}: {best:.1f} s")

        from vestrim.datasets import nuscenes
        phases = []

        class Clock:  # wall and CPU seconds of a phase
            def __enter__(self):
                self.wall, self.cpu = time.perf_counter(), time.process_time()

            def __exit__(self, *exc):
                phases.append((self.name, time.perf_counter() - self.wall,
                               time.process_time() - self.cpu))

            def __call__(self, name):
                self.name = name
                return self

        clock = Clock()
        t = time.perf_counter()
        del t
        with clock("read tables, lay out split"):
            dataset = nuscenes.read_dataset(folder, "bench")
        with clock("filter ground truth"):
            prepared = nuscenes._prepare(dataset)
        with clock("read results file"):
            _, boxes = nuscenes.read_results(results, dataset)
        with clock("filter predictions, lay out"):
            pred = nuscenes._layout(boxes, nuscenes._filter(boxes, dataset), dataset,
                                    prepared.frame_of_sample)
        from vestrim import _native
        import numpy as np
        with clock(f"score 7 classes, {args.jobs} threads"):
            _native.nuscenes_score(prepared.scene_offsets, prepared.timestamps, *prepared.gt[:4],
                                   *pred, np.arange(7), threads=args.jobs)
        print(f"{'phase':<32} {'wall s':>8} {'CPU s':>8}")
        for name, wall, cpu in phases:
            print(f"{name:<32} {wall:8.2f} {cpu:8.2f}")
    finally:
        if not args.keep:
            shutil.rmtree(root, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
