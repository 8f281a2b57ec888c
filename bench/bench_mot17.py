"""The whole benchmark path at MOT17-train scale: `vestrim GT T1 T2 T3 --protocol mot17 --jobs N`.

    PYTHONPATH=<build>/pkg python3 bench/bench_mot17.py [--dir DIR] [--repeat N] [--jobs 1 2]
                                                        [--wait-idle] [--builds PKG ...]

Writes (once, into DIR) a MOT17-shaped split with the seven MOT17 train lengths (600, 1050, 837,
525, 654, 900, 750 frames): per sequence a seqinfo.ini and ground truth of all classes, about
38 boxes a frame (about 200k lines): people from synth.py (class 1, a few marked 0, and about
one in eight a distractor: 2, 7, 8 or 12) and, apart, vehicles and other objects (classes 3-6, 9,
10, 11, 13, marked 0); about 120k scored pedestrian boxes. Three trackers of about 120k boxes each
see the people only (the same ground truth, drawn with other miss rates and noise). Then times the
command end to end in a fresh process (start included) for each --jobs value, median of N: wall
clock, and the CPU time of the command and its worker processes. On a shared machine,
--wait-idle starts each run only once every core has been idle for 0.3 s (Linux). With --builds
(directories to put on PYTHONPATH, e.g. dev builds' pkg/) every build runs in each round, the
builds and --jobs values interleaved, and each row also gives its ratio to the first build's.
"""
from __future__ import annotations

import argparse
import os
import resource
import statistics
import subprocess
import sys
import tempfile
import time

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
from synth import make_sequence  # noqa: E402

LENGTHS = {"MOT17-02": 600, "MOT17-04": 1050, "MOT17-05": 837, "MOT17-09": 525,
           "MOT17-10": 654, "MOT17-11": 900, "MOT17-13": 750}
TRACKERS = {"T1": (0.08, 0.03), "T2": (0.12, 0.04), "T3": (0.16, 0.05)}  # miss rate, jitter
PEOPLE, OTHERS, PRED = 26, 12, 24  # boxes per frame


def _people(frames, seed, miss_rate=0.1, jitter=0.04):
    # The ground truth is drawn first from the seed: equal for every tracker.
    return make_sequence(frames, PEOPLE, PRED, max(1, frames * PEOPLE // 60),
                         max(1, frames * PRED // 40), miss_rate=miss_rate, jitter=jitter,
                         seed=seed)


def _rows(ids, boxes, start):
    frames = np.repeat(np.arange(1, len(start)), np.diff(start))
    return frames, ids, np.column_stack([boxes[:, :2], boxes[:, 2:] - boxes[:, :2]])


def _write(path, frames, ids, xywh, tail):
    order = np.lexsort((ids, frames))
    with open(path, "w") as f:
        f.write("".join(f"{fr},{i},{x:.2f},{y:.2f},{w:.2f},{h:.2f},{t}\n" for fr, i, (x, y, w, h), t
                        in zip(frames[order].tolist(), ids[order].tolist(), xywh[order].tolist(),
                               [tail[k] for k in order.tolist()])))


def write_split(out: str) -> tuple:
    gt_root = os.path.join(out, "gt")
    trackers = [os.path.join(out, "trackers", name) for name in TRACKERS]
    if os.path.exists(os.path.join(out, "done")):
        return gt_root, trackers
    for k, (name, length) in enumerate(LENGTHS.items()):
        rng = np.random.default_rng(100 + k)
        folder = os.path.join(gt_root, name)
        os.makedirs(os.path.join(folder, "gt"), exist_ok=True)
        with open(os.path.join(folder, "seqinfo.ini"), "w") as f:
            f.write(f"[Sequence]\nname={name}\nframeRate=30\nseqLength={length}\n"
                    "imWidth=1920\nimHeight=1080\n")
        people = _people(length, k)
        pf, pi, pb = _rows(people.gt_ids, people.gt_boxes, people.gt_start)
        unique = np.unique(pi)
        person_class = dict(zip(unique.tolist(), rng.choice(
            [1, 2, 7, 8, 12], len(unique), p=[0.87, 0.03, 0.05, 0.03, 0.02]).tolist()))
        others = make_sequence(length, OTHERS, OTHERS, max(1, length * OTHERS // 80), 1,
                               seed=1000 + k)
        of, oi, ob = _rows(others.gt_ids, others.gt_boxes, others.gt_start)
        oi = oi + 100_000
        other_class = dict(zip(np.unique(oi).tolist(), rng.choice(
            [3, 4, 5, 6, 9, 10, 11, 13], len(np.unique(oi))).tolist()))
        tails = [f"{0 if rng.random() < 0.02 else 1},{person_class[i]},1" for i in pi.tolist()]
        tails += [f"0,{other_class[i]},1" for i in oi.tolist()]
        _write(os.path.join(folder, "gt", "gt.txt"), np.concatenate([pf, of]),
               np.concatenate([pi, oi]), np.concatenate([pb, ob]), tails)
        for path, (miss_rate, jitter) in zip(trackers, TRACKERS.values()):
            os.makedirs(path, exist_ok=True)
            seq = _people(length, k, miss_rate, jitter)
            f, i, b = _rows(seq.pred_ids, seq.pred_boxes, seq.pred_start)
            conf = rng.uniform(0.3, 1.0, len(f))
            _write(os.path.join(path, name + ".txt"), f, i, b,
                   [f"{c:.3f},-1,-1,-1" for c in conf.tolist()])
    open(os.path.join(out, "done"), "w").close()
    return gt_root, trackers


def wait_idle(seconds: float = 0.3, idle: float = 0.97) -> None:
    """Returns once the machine's cores were idle for `seconds` (from /proc/stat)."""
    def sample():
        values = [int(v) for v in open("/proc/stat").readline().split()[1:]]
        return values[3] + values[4], sum(values)  # idle + iowait, all
    while True:
        idle0, total0 = sample()
        time.sleep(seconds)
        idle1, total1 = sample()
        if idle1 - idle0 >= idle * max(total1 - total0, 1):
            return


def count_lines(paths) -> int:
    return sum(1 for p in paths for _ in open(p, "rb"))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--dir", default=os.path.join(tempfile.gettempdir(), "vestrim-bench-mot17"))
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--jobs", type=int, nargs="+", default=[1, 2])
    parser.add_argument("--wait-idle", action="store_true",
                        help="start each run once every core was idle for 0.3 s")
    parser.add_argument("--builds", nargs="+", default=[None],
                        help="PYTHONPATH of each build to time (default: this environment's)")
    args = parser.parse_args()
    gt, trackers = write_split(args.dir)
    gt_files = [os.path.join(gt, s, "gt", "gt.txt") for s in LENGTHS]
    print(f"MOT17-train-shaped split: {sum(LENGTHS.values())} frames, "
          f"{count_lines(gt_files)} ground-truth lines; trackers of "
          + ", ".join(str(count_lines(os.path.join(t, s + ".txt") for s in LENGTHS))
                      for t in trackers) + " lines")
    cases = [(build, jobs) for build in args.builds for jobs in args.jobs]
    outputs, walls, cpus, loads = {}, {c: [] for c in cases}, {c: [] for c in cases}, []
    for _ in range(args.repeat):  # builds and --jobs values interleaved, against a shared machine's drift
        for build, jobs in cases:
            command = [sys.executable, "-m", "vestrim", gt, *trackers, "--protocol", "mot17",
                       "--jobs", str(jobs)]
            env = dict(os.environ) if build is None else dict(os.environ, PYTHONPATH=build)
            if args.wait_idle:
                wait_idle()
            before = resource.getrusage(resource.RUSAGE_CHILDREN)
            start = time.perf_counter()
            done = subprocess.run(command, capture_output=True, check=True, env=env)
            walls[build, jobs].append(time.perf_counter() - start)
            after = resource.getrusage(resource.RUSAGE_CHILDREN)
            cpus[build, jobs].append(after.ru_utime + after.ru_stime - before.ru_utime - before.ru_stime)
            outputs[build, jobs] = done.stdout
        loads.append(os.getloadavg()[0])
    print(f"median of {args.repeat}; {len(os.sched_getaffinity(0))} usable cores; load average "
          f"{min(loads):.2f} to {max(loads):.2f} while timing"
          + ("; each run started on idle cores" if args.wait_idle else ""))
    first = args.builds[0]
    for build, jobs in cases:
        wall = statistics.median(walls[build, jobs])
        name = "" if build is None else f"{build[-32:]:<32} "
        ratio = ""
        if len(args.builds) > 1:
            ratio = (f" ({wall / statistics.median(walls[first, jobs]):.2f}x the first build's median, "
                     f"{min(walls[build, jobs]) / min(walls[first, jobs]):.2f}x its fastest)")
        print(f"{name}--jobs {jobs}: {wall:.3f} s end to end (fastest {min(walls[build, jobs]):.3f} s), "
              f"{statistics.median(cpus[build, jobs]):.3f} s of CPU in all processes{ratio}")
    if len(set(outputs.values())) > 1:
        print("WARNING: the outputs differ between builds or --jobs values")
    print(outputs[cases[0]].decode())


if __name__ == "__main__":
    main()
