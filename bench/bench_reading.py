"""Reading MOTChallenge files vs evaluating them, on the L-size synthetic sequence written as text.

    PYTHONPATH=<build>/pkg python3 bench/bench_reading.py [--dir DIR] [--repeat N]

Writes the file pair once (bench/mot_files.py; kept in DIR, default a folder under /tmp), then
measures, interleaved, the median wall-clock time and the smallest CPU time of:

- loading both files with `vestrim.mot.load_sequence` (native reader), and with the Python
  reference reader (once: it is slow by design);
- `vestrim.evaluate` on the loaded sequence;
- the command line end to end in a fresh process (`python -m vestrim GT PRED`, with `--jobs 1`
  when the command has that option), process start included; and, apart, what the process spends
  before reading: the interpreter alone and importing the command's modules.

Ratios are to `evaluate` on the loaded data, measured in the same run.
"""
from __future__ import annotations

import argparse
import os
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
# The Python reference reader is a test oracle, kept with the tests.
sys.path.insert(1, os.path.join(os.path.dirname(HERE), "tests", "reference"))

import readers  # noqa: E402
import vestrim  # noqa: E402
from vestrim import mot  # noqa: E402
from vestrim.datasets import motchallenge  # noqa: E402
from mot_files import write_split  # noqa: E402


def measure(fn, repeat):
    walls, cpus = [], []
    for _ in range(repeat):
        w, c = time.perf_counter(), time.process_time()
        fn()
        cpus.append(time.process_time() - c)
        walls.append(time.perf_counter() - w)
    return statistics.median(walls), min(cpus)


def run_process(argv):
    w = time.perf_counter()
    before = os.times()
    subprocess.run(argv, check=True, stdout=subprocess.DEVNULL)
    after = os.times()
    return time.perf_counter() - w, (after.children_user - before.children_user
                                     + after.children_system - before.children_system)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--dir", default=os.path.join(tempfile.gettempdir(), "vestrim-bench-L"))
    parser.add_argument("--repeat", type=int, default=7)
    args = parser.parse_args()
    (gt, pred), = write_split(args.dir, 1, "L")
    size = (os.path.getsize(gt) + os.path.getsize(pred)) / 1e6
    lines = sum(1 for path in (gt, pred) for _ in open(path, "rb"))
    seq = mot.load_sequence(gt, pred)
    evaluate = lambda: vestrim.evaluate(seq.gt_ids, seq.gt_boxes, seq.pred_ids, seq.pred_boxes)
    load = lambda: mot.load_sequence(gt, pred)

    rows = {"evaluate": [], "load_sequence (native)": [], "command line": []}
    env = {**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)}
    help_text = subprocess.run([sys.executable, "-m", "vestrim", "--help"], capture_output=True,
                               text=True, env=env).stdout
    command = [sys.executable, "-m", "vestrim", gt, pred] + (
        ["--jobs", "1"] if "--jobs" in help_text else [])
    os.environ["PYTHONPATH"] = env["PYTHONPATH"]
    for _ in range(args.repeat):  # interleaved, so that load on the machine hits all alike
        rows["evaluate"].append(measure(evaluate, 1))
        rows["load_sequence (native)"].append(measure(load, 1))
        rows["command line"].append(run_process(command))
    table = {name: (statistics.median(w for w, _ in r), min(c for _, c in r))
             for name, r in rows.items()}
    table["interpreter start"] = min((run_process([sys.executable, "-c", "pass"])
                                      for _ in range(args.repeat)), key=lambda t: t[1])
    table["import the command"] = min((run_process([sys.executable, "-c", "import vestrim.__main__"])
                                       for _ in range(args.repeat)), key=lambda t: t[1])
    original = motchallenge.parse_table
    motchallenge.parse_table = readers.parse_table
    try:
        table["load_sequence (Python reference)"] = measure(load, 1)
    finally:
        motchallenge.parse_table = original

    base_wall, base_cpu = table["evaluate"]
    print(f"L-size sequence as text: {lines} lines, {size:.1f} MB ({gt}, {pred})")
    print(f"command: {' '.join(os.path.basename(a) if os.sep in a else a for a in command[1:])}")
    print(f"{'':34} {'wall s':>8} {'cpu s':>8} {'wall/eval':>10} {'cpu/eval':>9}")
    for name, (wall, cpu) in table.items():
        print(f"{name:34} {wall:8.3f} {cpu:8.3f} {wall / base_wall:10.2f} {cpu / base_cpu:9.2f}")


if __name__ == "__main__":
    main()
