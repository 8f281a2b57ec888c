"""Times the event log and the per-track tables against `vestrim.evaluate` on one synthetic sequence.

Run by hand: PYTHONPATH=<build>/pkg python3 bench/bench_events.py [--size L] [--repeat N]
The calls are interleaved and the best of N is reported, so background load affects every column
alike. "ratio" is the time over that of `vestrim.evaluate` (one thread) in the same sitting; the
log's target is at most 1.5. Memory: the bytes of the log's columns per event, and in all.
"""
import argparse
import os
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import vestrim  # noqa: E402
from synth import SIZES, make_sequence  # noqa: E402


def best_of(repeat, calls):
    best = {name: float("inf") for name in calls}
    results = {}
    for _ in range(repeat):
        for name, call in calls.items():
            start = time.perf_counter()
            results[name] = call()
            best[name] = min(best[name], time.perf_counter() - start)
    return best, results


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--size", default="L", choices=sorted(SIZES))
    parser.add_argument("--repeat", type=int, default=5)
    args = parser.parse_args()
    if vestrim.is_debug_build():
        print("warning: debug build, timings are not representative")
    seq = make_sequence(**SIZES[args.size]).as_arrays()
    calls = {
        "evaluate": lambda: vestrim.evaluate(*seq),
        "frame_events (module)": lambda: vestrim.frame_events(*seq),
        "frame_events (benchmark)": lambda: vestrim.frame_events(*seq, convention="benchmark"),
        "track_table": lambda: vestrim.track_table(*seq),
    }
    best, results = best_of(args.repeat, calls)
    base = best["evaluate"]
    print(f"size {args.size}: {len(seq[0])} frames, best of {args.repeat}")
    print(f"{'call':>26} {'ms':>9} {'ratio':>6}")
    for name, seconds in best.items():
        print(f"{name:>26} {seconds * 1e3:9.1f} {seconds / base:6.2f}")
    log = results["frame_events (module)"]
    nbytes = sum(getattr(log, c).nbytes for c in ("frame", "kind", "gt_id", "pred_id", "has_gt", "has_pred",
                                                  "similarity", "from_switch_matcher"))
    print(f"log: {len(log)} events, {nbytes / len(log):.0f} bytes per event, {nbytes / 2**20:.1f} MiB; {log!r}")


if __name__ == "__main__":
    main()
