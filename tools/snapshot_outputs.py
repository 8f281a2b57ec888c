"""Write the command line's table, CSV and JSON outputs for every bundled example and a set of
generated benchmark folders, and compare two such snapshots.

    python3 tools/snapshot_outputs.py write DIR        # every output into DIR/<case>.<format>
    python3 tools/snapshot_outputs.py compare OLD NEW  # differences, header renames listed

A refactoring that must not change results writes a snapshot before and after and compares them:
JSON must be byte-identical; a table or CSV may differ only in its header lines, and the compare
lists each renamed column once. Run with the package to test on PYTHONPATH.
"""
from __future__ import annotations

import contextlib
import io
import os
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
EXAMPLES = os.path.join(ROOT, "examples")
sys.path.insert(0, os.path.join(ROOT, "bench"))

FORMATS = (("table", []), ("table-pct", ["--percent"]), ("csv", ["--format", "csv"]),
           ("csv-pct", ["--format", "csv", "--percent"]), ("json", ["--format", "json"]))
SUBSETS = ((None, []), ("clear", ["--metrics", "clear"]), ("id-hota", ["--metrics", "identity,hota"]))


def _write(path: str, text: str) -> None:
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w") as f:
        f.write(text)


def _generated(root: str) -> dict:
    """Benchmark folders in the shape the tests build: seqinfo lengths, distractors, zero-marked
    lines, a tracker without every file (plain), classes for --gt-classes."""
    from mot_files import write_sequence
    gen = os.path.join(root, "synth")
    for k, name in enumerate(["S-01", "S-02"]):
        write_sequence(os.path.join(gen, "gt"), os.path.join(gen, "trk"), name, k + 1,
                       size="S", num_frames=60)
    hand = os.path.join(root, "hand")
    gt = {"a": ["1,1,0,0,10,10,1,1,1", "1,2,50,0,10,10,0,7,1", "2,1,1,0,10,10,1,1,1",
                "2,3,100,0,10,10,1,8,1", "3,1,2,0,10,10,1,1,1", "3,4,200,0,10,10,0,1,1",
                "4,1,3,0,10,10,1,2,1", "5,5,0,50,10,10,1,6,1"],
          "b": ["1,7,0,0,20,20,1,1,1", "2,7,2,0,20,20,1,1,1", "4,7,4,0,20,20,1,1,1"]}
    trk = {"t1": {"a": ["1,11,0,0,10,10,0.9,-1,-1", "1,12,50,0,10,10,0.9,-1,-1",
                        "2,11,1,0,10,10,1,-1", "2,13,100,0,10,10,1", "3,14,2,0,10,10",
                        "4,14,3,0,10,10", "5,15,0,50,10,10"],
                  "b": ["1,1,0,0,20,20", "2,2,2,0,20,20", "3,2,9,9,5,5", "4,1,4,0,20,20"]},
           "t2": {"a": ["1,1,0,0,9,9", "2,1,1,0,9,9", "3,1,2,0,9,9", "5,2,0,50,9,9"]}}
    for seq, lines in gt.items():
        _write(os.path.join(hand, "gt", seq, "gt", "gt.txt"), "\n".join(lines) + "\n")
        _write(os.path.join(hand, "gt", seq, "seqinfo.ini"), "[Sequence]\nseqLength=6\n")
    for name, files in trk.items():
        for seq, lines in files.items():
            _write(os.path.join(hand, name, f"{seq}.txt"), "\n".join(lines) + "\n")
    return {"synth": gen, "hand": hand}


def cases(root: str) -> list:
    """(name, argv) of every run."""
    gen = _generated(root)
    mot17 = os.path.join(EXAMPLES, "mot17")
    runs = [
        ("plain-files", [os.path.join(EXAMPLES, "gt", "synth-01", "gt", "gt.txt"),
                         os.path.join(EXAMPLES, "pred", "synth-01.txt")]),
        ("plain-folder", [os.path.join(EXAMPLES, "gt"), os.path.join(EXAMPLES, "pred")]),
        ("plain-thr", [os.path.join(EXAMPLES, "gt"), os.path.join(EXAMPLES, "pred"),
                       "--iou-threshold", "0.3"]),
        ("plain-gtclasses", [os.path.join(gen["hand"], "gt"), os.path.join(gen["hand"], "t1"),
                             "--gt-classes", "1,2"]),
        ("plain-missing", [os.path.join(gen["hand"], "gt"), os.path.join(gen["hand"], "t2")]),
        ("plain-synth", [os.path.join(gen["synth"], "gt"), os.path.join(gen["synth"], "trk")]),
        ("mot17-synth", [os.path.join(gen["synth"], "gt"), os.path.join(gen["synth"], "trk"),
                         "--protocol", "mot17"]),
        ("hand-two", [os.path.join(gen["hand"], "gt"), os.path.join(gen["hand"], "t1"),
                      os.path.join(gen["hand"], "t2")]),
    ]
    for proto in ("mot15", "mot16", "mot17", "mot20"):
        runs.append((f"{proto}-hand", [os.path.join(gen["hand"], "gt"),
                                       os.path.join(gen["hand"], "t1"), "--protocol", proto]))
        runs.append((f"{proto}-example", [os.path.join(mot17, "gt"),
                                          os.path.join(mot17, "trackers", "alpha"),
                                          os.path.join(mot17, "trackers", "beta"),
                                          "--protocol", proto, "--seqmap",
                                          os.path.join(mot17, "seqmap.txt")]))
    runs.append(("mot17-one", [os.path.join(mot17, "gt"), os.path.join(mot17, "trackers", "alpha"),
                               "--protocol", "mot17"]))
    for proto, folder in (("kitti", "kitti"), ("kitti-mots", "kitti_mots"), ("mots20", "mots20")):
        runs.append((proto, [os.path.join(EXAMPLES, folder, "gt"),
                             os.path.join(EXAMPLES, folder, "tracker_a"), "--protocol", proto]))
    runs.append(("kitti-car", [os.path.join(EXAMPLES, "kitti", "gt"),
                               os.path.join(EXAMPLES, "kitti", "tracker_a"), "--protocol", "kitti",
                               "--classes", "car"]))
    out = []
    for name, argv in runs:
        for sub, sub_args in SUBSETS:
            for fmt, fmt_args in FORMATS:
                label = f"{name}{'-' + sub if sub else ''}.{fmt}"
                out.append((label, argv + sub_args + fmt_args + ["--jobs", "1"]))
    return out


def write(target: str) -> None:
    from vestrim import cli
    os.makedirs(target, exist_ok=True)
    with tempfile.TemporaryDirectory() as scratch:
        for label, argv in cases(scratch):
            out, err = io.StringIO(), io.StringIO()
            with contextlib.redirect_stdout(out), contextlib.redirect_stderr(err):
                status = cli.main(argv)
            text = f"status {status}\n" + out.getvalue() + "--- stderr\n" + \
                err.getvalue().replace(scratch, "<scratch>")
            _write(os.path.join(target, label), text)
    print(f"wrote {len(os.listdir(target))} outputs to {target}")


def _header_renames(old: list, new: list) -> set:
    renames = set()
    for a, b in zip(old, new):
        if a == b:
            continue
        sep = "," if a.count(",") >= 2 else None
        ta, tb = a.split(sep), b.split(sep)
        if len(ta) != len(tb):
            return {("<shape>", a, b)}
        renames |= {(x, y) for x, y in zip(ta, tb) if x != y}
    return renames


def _is_header(line: str) -> bool:
    return line.startswith(("Sequence", "Tracker", "tracker,class,sequence"))


def compare(old_dir: str, new_dir: str) -> int:
    names = sorted(set(os.listdir(old_dir)) | set(os.listdir(new_dir)))
    same, renames, faults = 0, set(), []
    for name in names:
        paths = [os.path.join(d, name) for d in (old_dir, new_dir)]
        if not all(os.path.exists(p) for p in paths):
            faults.append(f"{name}: only in one snapshot")
            continue
        old, new = (open(p).read().split("\n") for p in paths)
        if old == new:
            same += 1
            continue
        if name.endswith(".json") or len(old) != len(new):
            faults.append(f"{name}: differs")
            continue
        body = [(a, b) for a, b in zip(old, new) if a != b]
        if not all(_is_header(a) and _is_header(b) for a, b in body):
            faults.append(f"{name}: differs outside its header lines")
            continue
        found = _header_renames([a for a, _ in body], [b for _, b in body])
        if any(r[0] == "<shape>" for r in found):
            faults.append(f"{name}: header changed shape")
        renames |= found
    print(f"{same} of {len(names)} outputs byte-identical")
    for a, b in sorted(renames):
        print(f"  header renamed: {a} -> {b}")
    for fault in faults:
        print(f"  FAULT {fault}")
    return 1 if faults else 0


def main() -> int:
    if len(sys.argv) == 3 and sys.argv[1] == "write":
        write(sys.argv[2])
        return 0
    if len(sys.argv) == 4 and sys.argv[1] == "compare":
        return compare(sys.argv[2], sys.argv[3])
    print(__doc__, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main())
