"""The ``vestrim`` command: score tracker output against ground truth.

    vestrim GT PRED [PRED ...] [--protocol plain|mot15|mot16|mot17|mot20|kitti|kitti-mots|mots20|
                                           nuscenes]
                    [--seqmap FILE] [--split NAME] [--classes car,pedestrian]
                    [--iou-threshold T] [--metrics clear,identity,hota] [--gt-classes 1,...]
                    [--format table|csv|json|nuscenes] [--percent] [--output FILE] [--plot DIR]
                    [--jobs N]

A thin layer over ``vestrim.evaluate_benchmark``: it parses the arguments, reports errors as one
line (exit status 2) and writes the formatted result. Exit status 0 on success.
"""

from __future__ import annotations

import argparse
import os
import stat
import sys
import warnings

from . import _vestrim, plot
from .benchmark import FAMILIES, BenchmarkError, BenchmarkWarning, evaluate_benchmark
from .mot import MotFormatError
from .protocols import PROTOCOLS
from .report import format_csv, format_json, format_table

__all__ = ["main", "build_parser", "write_output"]


class UsageError(Exception):
    """Unusable input or arguments: reported as one line, exit status 2."""


class _Parser(argparse.ArgumentParser):
    def error(self, message):
        # One line, like every other error of the command.
        self.exit(2, f"{self.prog}: error: {message} (see {self.prog} --help)\n")


def _quote(text: str) -> str:
    """A command-line value for a message, shortened when it is very long."""
    return repr(text if len(text) <= 40 else text[:24] + "..." + text[-8:])


def _parse_list(text: str, what: str) -> list:
    items = [t.strip() for t in text.split(",")]
    if not all(items):
        raise argparse.ArgumentTypeError(f"empty entry in {what} list {_quote(text)}")
    return items


def _metrics_arg(text: str) -> list:
    chosen = _parse_list(text, "metrics")
    unknown = [m for m in chosen if m not in FAMILIES]
    if unknown:
        raise argparse.ArgumentTypeError(
            f"unknown metric {_quote(unknown[0])} (choose from {', '.join(FAMILIES)})")
    return [f for f in FAMILIES if f in chosen]


def _classes_arg(text: str) -> frozenset:
    classes = []
    for item in _parse_list(text, "class"):
        try:
            value = int(item)
        except ValueError:
            raise argparse.ArgumentTypeError(
                f"classes must be integers, got {_quote(item)}") from None
        if not -2**63 <= value < 2**63:
            raise argparse.ArgumentTypeError(f"class {_quote(item)} does not fit in 64 bits")
        classes.append(value)
    return frozenset(classes)


def _class_names_arg(text: str) -> list:
    return [c.lower() for c in _parse_list(text, "class")]


def _threshold_arg(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(
            f"the IoU threshold must be a number, got {_quote(text)}") from None
    if not 0.0 < value <= 1.0:  # NaN fails too
        raise argparse.ArgumentTypeError(
            f"the IoU threshold must be in (0, 1], got {_quote(text)}")
    return value


def _jobs_arg(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        value = 0
    if value < 1:
        raise argparse.ArgumentTypeError(f"jobs must be a positive integer, got {_quote(text)}")
    return value


def build_parser() -> argparse.ArgumentParser:
    parser = _Parser(
        prog="vestrim",
        description="Score multi-object tracker output (MOTChallenge, KITTI tracking or MOTS "
                    "text format) against ground truth with CLEAR MOT, Identity and HOTA "
                    "metrics.",
        epilog="GT is a benchmark folder (<seq>/gt/gt.txt per sequence) and each PRED a tracker "
               "folder (<seq>.txt files, directly or under data/); or GT and PRED are two files "
               "(one sequence). Prints one row per sequence and a COMBINED row (counts summed, "
               "ratios recomputed); with several trackers, one row per tracker.")
    parser.add_argument("gt", metavar="GT", help="ground-truth folder or file")
    parser.add_argument("pred", metavar="PRED", nargs="+",
                        help="tracker folder or prediction file (several: one per tracker)")
    parser.add_argument("--protocol", choices=tuple(PROTOCOLS), default="plain",
                        help="the benchmark's rules (default plain: every ground-truth line "
                             "not marked 0, the module's conventions)")
    parser.add_argument("--seqmap", metavar="FILE",
                        help="score only the sequences listed in FILE (a header line, then one "
                             "name a line), in that order")
    parser.add_argument("--split", metavar="NAME",
                        help="kitti, kitti-mots: the seqmap read when --seqmap is not given, "
                             "GT/evaluate_tracking.seqmap.NAME or GT/evaluate_mots.seqmap.NAME "
                             "(default training and val); nuscenes (required): a predefined "
                             "split (train, val, test, mini_train, mini_val, train_detect, "
                             "train_track) or a key of GT/splits.json")
    parser.add_argument("--classes", type=_class_names_arg, default=None, metavar="LIST",
                        help="benchmark protocols: score only these of the protocol's classes "
                             "(kitti, kitti-mots: car,pedestrian, the default; mots20 and the "
                             "MOTChallenge protocols: pedestrian)")
    parser.add_argument("--iou-threshold", type=_threshold_arg, default=None, metavar="T",
                        help="IoU a match must reach for CLEAR and Identity, in (0, 1] "
                             "(default 0.5; fixed at 0.5 by the benchmark protocols)")
    parser.add_argument("--metrics", type=_metrics_arg, default=None,
                        metavar="LIST", help="comma-separated subset of clear,identity,hota "
                        "(default all)")
    parser.add_argument("--gt-classes", type=_classes_arg, default=None, metavar="LIST",
                        help="plain protocol: keep only ground truth of these classes "
                             "(8th column), e.g. 1 or 1,2")
    parser.add_argument("--format", choices=("table", "csv", "json", "nuscenes"),
                        default="table",
                        help="output format (default table); nuscenes: the official summary "
                             "document of one results file (--protocol nuscenes)")
    parser.add_argument("--percent", action="store_true",
                        help="ratios x 100 in the table and csv (JSON keeps plain ratios)")
    parser.add_argument("--output", "-o", metavar="FILE",
                        help="write the results to FILE instead of standard output")
    parser.add_argument("--plot", metavar="DIR",
                        help="also draw HOTA curves into DIR: <tracker>.png per tracker and, "
                             "with several trackers, comparison.png (needs vestrim[plot])")
    parser.add_argument("--jobs", "-j", type=_jobs_arg, default=None, metavar="N",
                        help="score sequences and trackers on N processes in parallel (default: "
                             "the number of usable cores)")
    parser.add_argument("--version", action="version", version=f"vestrim {_vestrim.__version__}")
    return parser


def _usable_cores() -> int:
    try:
        return len(os.sched_getaffinity(0))
    except (AttributeError, OSError):  # no affinity on this platform
        return os.cpu_count() or 1


class _Progress:
    """A one-line counter on stderr, only when stderr is a terminal and there is more than one
    sequence."""

    def __init__(self):
        try:
            self.enabled = sys.stderr.isatty()
        except (AttributeError, ValueError):
            self.enabled = False
        self.width = 0

    def __call__(self, index: int, total: int, name: str) -> None:
        if self.enabled and total > 1 and index < total:
            text = f"[{index}/{total}] {name}"
            self.width = max(self.width, len(text))
            sys.stderr.write("\r" + text.ljust(self.width))
            sys.stderr.flush()

    def done(self) -> None:
        if self.enabled and self.width:
            sys.stderr.write("\r" + " " * self.width + "\r")
            sys.stderr.flush()


def _show_warning(message, category, filename, lineno, file=None, line=None):
    print(f"vestrim: warning: {message}", file=sys.stderr)


def _check_nuscenes_options(args) -> None:
    if args.split is None:
        raise UsageError("--protocol nuscenes needs --split NAME (a predefined split or a key "
                         "of splits.json)")
    for option, value in (("--metrics", args.metrics), ("--iou-threshold", args.iou_threshold),
                          ("--gt-classes", args.gt_classes), ("--seqmap", args.seqmap)):
        if value is not None:
            raise UsageError(f"{option} does not apply under --protocol nuscenes")
    from .nuscenes import CLASSES
    for name in args.classes or ():
        if name not in CLASSES:
            raise UsageError(f"--classes: nuscenes scores {', '.join(CLASSES)}, not "
                             f"{_quote(name)}")
    if args.format == "nuscenes" and len(args.pred) != 1:
        raise UsageError("--format nuscenes writes the summary of one results file, "
                         f"got {len(args.pred)}")


def _check_protocol_options(args) -> None:
    proto = PROTOCOLS[args.protocol]
    if proto.format == "nuscenes":
        _check_nuscenes_options(args)
        return
    if args.format == "nuscenes":
        raise UsageError("--format nuscenes applies under --protocol nuscenes only")
    if args.metrics is None:
        args.metrics = list(FAMILIES)
    if args.split is not None and proto.default_split is None:
        kitti = ", ".join(p.name for p in PROTOCOLS.values() if p.default_split is not None)
        raise UsageError(f"--split applies under {kitti} only")
    if not proto.is_benchmark:
        if args.classes is not None:
            raise UsageError("--classes applies under the benchmark protocols (under plain, "
                             "--gt-classes selects ground-truth classes by number)")
        return
    scored = proto.classes or ()
    for name in args.classes or ():
        if name not in scored:
            raise UsageError(f"--classes: {proto.name} scores {', '.join(scored)}, "
                             f"not {_quote(name)}")
    if args.iou_threshold is not None and args.iou_threshold != proto.iou_threshold:
        raise UsageError(f"--iou-threshold: {proto.name} scores at IoU "
                         f"{proto.iou_threshold:g} only")
    if args.gt_classes is not None:
        raise UsageError(f"--gt-classes applies under the plain protocol only ({proto.name} "
                         f"scores {', '.join(scored)})")


def _check_plot_options(args) -> None:
    if args.plot is None:
        return
    if "hota" not in args.metrics:
        raise UsageError("--plot draws HOTA curves: keep hota in --metrics")
    try:
        plot.matplotlib_figure("--plot")
    except ImportError as e:
        raise UsageError(str(e)) from None


def _run_nuscenes(args) -> str:
    from . import nuscenes
    if args.plot is not None:
        try:
            plot.matplotlib_figure("--plot")
        except ImportError as e:
            raise UsageError(str(e)) from None
    result = evaluate_benchmark(args.gt, args.pred, protocol="nuscenes", split=args.split,
                                classes=args.classes, jobs=args.jobs or _usable_cores())
    if args.plot is not None:
        try:
            plot.write_nuscenes_plots(result, args.plot)
        except OSError as e:
            raise UsageError(f"cannot write plots to {args.plot}: {e.strerror or e}") from None
    if args.format == "nuscenes":
        return nuscenes.format_summary(result)
    if args.format == "json":
        return result.to_json()
    if args.format == "csv":
        return nuscenes.format_csv(result, percent=args.percent)
    return nuscenes.format_table(result, percent=args.percent)


def run(args) -> str:
    _check_protocol_options(args)
    if PROTOCOLS[args.protocol].format == "nuscenes":
        return _run_nuscenes(args)
    _check_plot_options(args)
    progress = _Progress()
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("always", BenchmarkWarning)
            warnings.showwarning = _show_warning
            result = evaluate_benchmark(
                args.gt, args.pred, protocol=args.protocol, seqmap=args.seqmap,
                classes=args.gt_classes if args.classes is None else args.classes,
                metrics=args.metrics, jobs=args.jobs or _usable_cores(),
                iou_threshold=args.iou_threshold, split=args.split, progress=progress)
    finally:
        progress.done()
    if args.plot is not None:
        try:
            plot.write_benchmark_plots(result, args.plot)
        except OSError as e:
            raise UsageError(f"cannot write plots to {args.plot}: {e.strerror or e}") from None
    if args.format == "json":
        return format_json(result)
    if args.format == "csv":
        return format_csv(result, percent=args.percent)
    return format_table(result, percent=args.percent)


def write_output(path: str, text: str) -> None:
    """Write ``text`` to ``path``. A regular file (or a new one) is written beside its place and
    renamed over it, keeping an existing file's permissions, so that a failure leaves the old
    file intact; other targets (a terminal, /dev/stdout, a pipe) are written directly."""
    import tempfile  # only here: a few milliseconds of every run's start-up otherwise
    try:
        info = os.stat(path)
    except FileNotFoundError:
        info = None
    except OSError as e:
        raise UsageError(f"cannot write {path}: {e.strerror or e}") from None
    try:
        if info is not None and not stat.S_ISREG(info.st_mode):
            with open(path, "w", encoding="utf-8") as f:
                f.write(text)
            return
        target = os.path.realpath(path)  # through a symbolic link, replace the file it names
        if info is not None:
            mode = stat.S_IMODE(info.st_mode)
        else:
            umask = os.umask(0)
            os.umask(umask)
            mode = 0o666 & ~umask
        fd, temporary = tempfile.mkstemp(dir=os.path.dirname(target),
                                         prefix=f".{os.path.basename(target)}.", suffix=".tmp")
        try:
            with os.fdopen(fd, "w", encoding="utf-8") as f:
                f.write(text)
                f.flush()
                os.fsync(f.fileno())
            os.chmod(temporary, mode)
            os.replace(temporary, target)
        except BaseException:
            try:
                os.unlink(temporary)
            except OSError:
                pass
            raise
    except OSError as e:
        raise UsageError(f"cannot write {path}: {e.strerror or e}") from None


def _nuscenes_error() -> type[Exception]:
    # Loaded only when the protocol was used: the class is the one its errors are raised with.
    module = sys.modules.get("vestrim.nuscenes")
    return module.NuscenesError if module is not None else UsageError


def main(argv=None) -> int:
    args = build_parser().parse_args(argv)
    try:
        text = run(args)
        if args.output:
            write_output(args.output, text)
        else:
            sys.stdout.write(text)
            sys.stdout.flush()
    except (UsageError, BenchmarkError, MotFormatError) as e:
        print(f"vestrim: error: {e}", file=sys.stderr)
        return 2
    except ValueError as e:
        if not isinstance(e, _nuscenes_error()):
            raise
        print(f"vestrim: error: {e}", file=sys.stderr)
        return 2
    except MemoryError:
        print("vestrim: error: not enough memory for this input", file=sys.stderr)
        return 2
    except RuntimeError as e:
        pool = sys.modules.get("concurrent.futures.process")
        if pool is None or not isinstance(e, pool.BrokenProcessPool):
            raise
        print("vestrim: error: a worker process ended abruptly (out of memory?); --jobs 1 scores "
              "in this process", file=sys.stderr)
        return 2
    except KeyboardInterrupt:
        return 130
    except BrokenPipeError:
        # The reader went away (e.g. `| head`): not an error; keep Python from complaining at exit.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return 0
    return 0
