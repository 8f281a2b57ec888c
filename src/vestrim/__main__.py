"""The ``vestrim`` command: score tracker output files against ground truth.

    vestrim GT PRED [--iou-threshold T] [--metrics clear,identity,hota] [--gt-classes 1,...]
                    [--format table|csv|json] [--output FILE]

GT and PRED are either two files (one sequence) or two folders: ground truth as
``<seq>/gt/gt.txt`` under GT and predictions as ``<seq>.txt`` under PRED, matched by name. Prints
one row per sequence and a COMBINED row (counts summed, ratios recomputed from the sums).
Exit status: 0 on success, 2 for unusable input or arguments.
"""

from __future__ import annotations

import argparse
import csv
import io
import json
import os
import sys
from dataclasses import dataclass
from typing import Optional

from . import _vestrim
from .combination import combine_clear, combine_hota, combine_identity
from .mot import MotFormatError, load_sequence

FAMILIES = ("clear", "identity", "hota")
_COMBINERS = {"clear": combine_clear, "identity": combine_identity, "hota": combine_hota}
_TITLES = {"clear": "CLEAR MOT", "identity": "Identity", "hota": "HOTA"}
COMBINED = "COMBINED"

# (column header, attribute, is a count) per family, in table order.
COLUMNS = {
    "clear": [
        ("MOTA", "mota", False), ("MOTP", "motp", False), ("MODA", "moda", False),
        ("sMOTA", "smota", False), ("MOTAL", "motal", False), ("CLR_Re", "clr_re", False),
        ("CLR_Pr", "clr_pr", False), ("GT", "num_gt", True), ("TP", "num_matches", True),
        ("FP", "num_false_positives", True), ("FN", "num_misses", True),
        ("IDSW", "num_switches", True), ("MT", "mt", True), ("PT", "pt", True),
        ("ML", "ml", True), ("Frag", "frag", True), ("Frames", "num_frames", True),
    ],
    "identity": [
        ("IDF1", "idf1", False), ("IDP", "idp", False), ("IDR", "idr", False),
        ("IDTP", "idtp", True), ("IDFP", "idfp", True), ("IDFN", "idfn", True),
    ],
    "hota": [
        ("HOTA", "hota", False), ("DetA", "deta", False), ("AssA", "assa", False),
        ("LocA", "loca", False),
    ],
}

# Every attribute of each result class, for the JSON output.
ATTRIBUTES = {
    "clear": ["mota", "motp", "moda", "smota", "motal", "clr_re", "clr_pr", "num_frames",
              "num_gt", "num_matches", "num_false_positives", "num_misses", "num_switches",
              "mt", "pt", "ml", "frag", "frag_present_only", "track_ratios"],
    "identity": ["idf1", "idp", "idr", "idtp", "idfp", "idfn", "num_frames", "num_gt",
                 "num_pred"],
    "hota": ["hota", "deta", "assa", "loca", "alphas", "hota_alphas", "deta_alphas",
             "assa_alphas", "loca_alphas", "hota_tp_alphas", "hota_fn_alphas", "hota_fp_alphas",
             "ass_re_alphas", "ass_pr_alphas", "num_frames", "num_gt", "num_pred"],
}


class UsageError(Exception):
    """Unusable input: reported as one line, exit status 2."""


@dataclass(frozen=True)
class SequenceFiles:
    name: str
    gt: str
    pred: Optional[str]  # None: the tracker produced no file for this sequence


def _warn(message: str) -> None:
    print(f"vestrim: warning: {message}", file=sys.stderr)


def find_sequences(gt: str, pred: str) -> list:
    """Pair ground-truth and prediction files; warns about unpaired ones."""
    for path in (gt, pred):
        if not os.path.exists(path):
            raise UsageError(f"cannot read {path}: no such file or directory")
    if os.path.isfile(gt) and os.path.isfile(pred):
        name = os.path.splitext(os.path.basename(pred))[0]
        return [SequenceFiles(name, gt, pred)]
    if not (os.path.isdir(gt) and os.path.isdir(pred)):
        raise UsageError("GT and PRED must both be files (one sequence) or both be folders")
    gt_entries, pred_entries = _list_dir(gt), _list_dir(pred)
    sequences = []
    for name in gt_entries:
        folder = os.path.join(gt, name)
        if not os.path.isdir(folder):
            continue
        gt_file = os.path.join(folder, "gt", "gt.txt")
        if not os.path.isfile(gt_file):
            _warn(f"skipping {folder}: no gt/gt.txt in it")
            continue
        pred_file = os.path.join(pred, name + ".txt")
        if not os.path.isfile(pred_file):
            _warn(f"no prediction file {pred_file}: sequence {name} scored as an empty output")
            pred_file = None
        sequences.append(SequenceFiles(name, gt_file, pred_file))
    if not sequences:
        raise UsageError(f"no sequences in {gt} (expected <sequence>/gt/gt.txt under it)")
    known = {s.name for s in sequences}
    for entry in pred_entries:
        stem, ext = os.path.splitext(entry)
        if ext == ".txt" and stem not in known:
            _warn(f"ignoring {os.path.join(pred, entry)}: no ground truth for sequence {stem}")
    return sequences


def _list_dir(path: str) -> list:
    try:
        return sorted(os.listdir(path))
    except OSError as e:
        raise UsageError(f"cannot read {path}: {e.strerror or e}") from None


def evaluate_sequence(files: SequenceFiles, families, iou_threshold: float,
                      gt_classes=None) -> dict:
    """Metrics of one sequence, {family: result object}."""
    seq = load_sequence(files.gt, files.pred, gt_classes=gt_classes)
    args = (seq.gt_ids, seq.gt_boxes, seq.pred_ids, seq.pred_boxes)
    if set(families) == set(FAMILIES):
        # One pass computes each frame's IoU matrix once for all three families.
        result = _vestrim.evaluate(*args, iou_threshold=iou_threshold)
        return {f: getattr(result, f) for f in families}
    out = {}
    for family in families:
        if family == "clear":
            out[family] = _vestrim.compute_clear(*args, iou_threshold=iou_threshold)
        elif family == "identity":
            out[family] = _vestrim.compute_identity(*args, iou_threshold=iou_threshold)
        else:
            out[family] = _vestrim.compute_hota(*args)
    return out


def _ratio(value: float) -> str:
    return f"{value:.4f}" if value == value else "NaN"


def format_table(rows, families, iou_threshold: float) -> str:
    blocks = []
    names = [name for name, _ in rows]
    name_width = max(len("Sequence"), *(len(n) for n in names))
    for family in families:
        title = _TITLES[family]
        if family != "hota":
            title += f" (IoU threshold {iou_threshold:g})"
        header = ["Sequence"] + [c[0] for c in COLUMNS[family]]
        cells = [[name] + [str(getattr(m[family], attr)) if count else _ratio(getattr(m[family], attr))
                           for _, attr, count in COLUMNS[family]]
                 for name, m in rows]
        widths = [name_width] + [max(len(h), *(len(r[k + 1]) for r in cells))
                                 for k, h in enumerate(header[1:])]
        lines = [title, _table_line(header, widths)]
        lines += [_table_line(r, widths) for r in cells]
        blocks.append("\n".join(lines))
    return "\n\n".join(blocks) + "\n"


def _table_line(cells, widths) -> str:
    first = cells[0].ljust(widths[0])
    rest = (c.rjust(w) for c, w in zip(cells[1:], widths[1:]))
    return "  ".join([first, *rest]).rstrip()


def format_csv(rows, families) -> str:
    buffer = io.StringIO()
    writer = csv.writer(buffer, lineterminator="\n")
    writer.writerow(["sequence"] + [c[0] for f in families for c in COLUMNS[f]])
    for name, m in rows:
        writer.writerow([name] + [repr(getattr(m[f], attr)) if not count else getattr(m[f], attr)
                                  for f in families for _, attr, count in COLUMNS[f]])
    return buffer.getvalue()


def format_json(rows, families, iou_threshold: float) -> str:
    def record(metrics):
        return {f: {a: getattr(metrics[f], a) for a in ATTRIBUTES[f]} for f in families}

    document = {
        "iou_threshold": iou_threshold,
        "sequences": [{"name": name, **record(m)} for name, m in rows[:-1]],
        "combined": record(rows[-1][1]),
    }
    return json.dumps(document, indent=2) + "\n"


def _parse_list(text: str, what: str) -> list:
    items = [t.strip() for t in text.split(",")]
    if not all(items):
        raise argparse.ArgumentTypeError(f"empty entry in {what} list {text!r}")
    return items


def _metrics_arg(text: str) -> list:
    chosen = _parse_list(text, "metrics")
    unknown = [m for m in chosen if m not in FAMILIES]
    if unknown:
        raise argparse.ArgumentTypeError(
            f"unknown metric {unknown[0]!r} (choose from {', '.join(FAMILIES)})")
    return [f for f in FAMILIES if f in chosen]


def _classes_arg(text: str) -> frozenset:
    try:
        return frozenset(int(c) for c in _parse_list(text, "class"))
    except ValueError:
        raise argparse.ArgumentTypeError(f"classes must be integers, got {text!r}") from None


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="vestrim",
        description="Score multi-object tracker output (MOTChallenge text format) against "
                    "ground truth with CLEAR MOT, Identity and HOTA metrics.",
        epilog="GT and PRED are two files (one sequence), or two folders: ground truth as "
               "<seq>/gt/gt.txt under GT, predictions as <seq>.txt under PRED. Prints one row "
               "per sequence and a COMBINED row (counts summed, ratios recomputed).")
    parser.add_argument("gt", metavar="GT", help="ground-truth file or folder")
    parser.add_argument("pred", metavar="PRED", help="prediction file or folder")
    parser.add_argument("--iou-threshold", type=float, default=0.5, metavar="T",
                        help="IoU a match must reach for CLEAR and Identity (default 0.5)")
    parser.add_argument("--metrics", type=_metrics_arg, default=list(FAMILIES),
                        metavar="LIST", help="comma-separated subset of clear,identity,hota "
                        "(default all)")
    parser.add_argument("--gt-classes", type=_classes_arg, default=None, metavar="LIST",
                        help="keep only ground truth of these classes (8th column), "
                        "e.g. 1 or 1,2")
    parser.add_argument("--format", choices=("table", "csv", "json"), default="table",
                        help="output format (default table)")
    parser.add_argument("--output", "-o", metavar="FILE",
                        help="write the results to FILE instead of standard output")
    parser.add_argument("--version", action="version", version=f"vestrim {_vestrim.__version__}")
    return parser


class _Progress:
    """A one-line counter on stderr, only when stderr is a terminal and there is more than one
    sequence."""

    def __init__(self, total: int):
        self.total = total
        try:
            self.enabled = total > 1 and sys.stderr.isatty()
        except (AttributeError, ValueError):
            self.enabled = False
        self.width = 0

    def show(self, index: int, name: str) -> None:
        if self.enabled:
            text = f"[{index}/{self.total}] {name}"
            self.width = max(self.width, len(text))
            sys.stderr.write("\r" + text.ljust(self.width))
            sys.stderr.flush()

    def done(self) -> None:
        if self.enabled and self.width:
            sys.stderr.write("\r" + " " * self.width + "\r")
            sys.stderr.flush()


def run(args) -> str:
    sequences = find_sequences(args.gt, args.pred)
    families = args.metrics
    rows = []
    progress = _Progress(len(sequences))
    try:
        for index, files in enumerate(sequences, 1):
            progress.show(index, files.name)
            rows.append((files.name, evaluate_sequence(files, families, args.iou_threshold,
                                                       args.gt_classes)))
    finally:
        progress.done()
    rows.append((COMBINED, {f: _COMBINERS[f](m[f] for _, m in rows) for f in families}))
    if args.format == "json":
        return format_json(rows, families, args.iou_threshold)
    if args.format == "csv":
        return format_csv(rows, families)
    return format_table(rows, families, args.iou_threshold)


def main(argv=None) -> int:
    args = build_parser().parse_args(argv)
    try:
        text = run(args)
        if args.output:
            try:
                with open(args.output, "w", encoding="utf-8") as f:
                    f.write(text)
            except OSError as e:
                raise UsageError(f"cannot write {args.output}: {e.strerror or e}") from None
        else:
            sys.stdout.write(text)
            sys.stdout.flush()
    except (UsageError, MotFormatError) as e:
        print(f"vestrim: error: {e}", file=sys.stderr)
        return 2
    except KeyboardInterrupt:
        return 130
    except BrokenPipeError:
        # The reader went away (e.g. `| head`): not an error; keep Python from complaining at exit.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return 0
    return 0


if __name__ == "__main__":
    sys.exit(main())
