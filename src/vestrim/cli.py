"""The ``vestrim`` command: score tracker output against ground truth.

    vestrim GT PRED [PRED ...] [--protocol plain|mot15|mot16|mot17|mot20|kitti|kitti-mots|mots20|
                                           nuscenes]
                    [--seqmap FILE] [--split NAME] [--classes car,pedestrian]
                    [--class-names 1=pedestrian,3=car] [--ignore-classes 13]
                    [--iou-threshold T] [--metrics clear,identity,hota] [--gt-classes 1,...]
                    [--format table|csv|json|nuscenes] [--style vestrim|official] [--percent]
                    [--output FILE] [--plot DIR] [--events DIR] [--jobs N]
    vestrim --data-root ROOT --benchmark MOT17 [--split NAME] [--trackers A B ...]
                    [--tracker-names ...] [--no-files] [--official-plots] [...]

A thin layer over ``vestrim.evaluate_benchmark`` (and, for a data root in the benchmarks' own
folder tree, ``vestrim.official``): it parses the arguments, reports errors as one
line (exit status 2) and writes the formatted result. Exit status 0 on success.
"""

from __future__ import annotations

import argparse
import os
import stat
import sys
import warnings

from . import _vestrim, event_files, plot
from .benchmark import evaluate_benchmark
from .errors import BenchmarkError, BenchmarkWarning, MotFormatError
from .fields import FAMILIES
from .options import run_options, shown
from .pool import usable_cores
from .protocols import PROTOCOLS
from .report import format_csv, format_json, format_table

# The benchmarks the official layout mode knows (any case on the command line).
_BENCHMARKS = ("MOT15", "MOT16", "MOT17", "MOT20", "MOTS20", "KITTI", "KITTI-MOTS")

__all__ = ["main", "build_parser", "write_output"]


class UsageError(Exception):
    """Unusable input or arguments: reported as one line, exit status 2."""


class _Parser(argparse.ArgumentParser):
    def error(self, message):
        # One line, like every other error of the command.
        self.exit(2, f"{self.prog}: error: {message} (see {self.prog} --help)\n")


def _list(what: str, normalise=None):
    """An argument type: a comma-separated list, each entry stripped (and normalised)."""
    def parse(text: str) -> list:
        items = [t.strip() for t in text.split(",")]
        if not all(items):
            raise argparse.ArgumentTypeError(f"empty entry in {what} list {shown(text)}")
        return [normalise(t) for t in items] if normalise else items
    return parse


def _benchmark_arg(text: str) -> str:
    name = text.upper()
    if name not in _BENCHMARKS:
        raise argparse.ArgumentTypeError(
            f"unknown benchmark {shown(text)} (choose from {', '.join(_BENCHMARKS)})")
    return name


# How the command line spells the options that the shared checks name in their messages.
_OPTION_NAMES = {"classes": "--classes", "gt_classes": "--gt-classes",
                 "iou_threshold": "--iou-threshold", "split": "--split",
                 "class_names": "--class-names", "ignore_classes": "--ignore-classes",
                 "metrics": "--metrics"}


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
    parser.add_argument("gt", metavar="GT", nargs="?", help="ground-truth folder or file")
    parser.add_argument("pred", metavar="PRED", nargs="*",
                        help="tracker folder or prediction file (several: one per tracker)")
    parser.add_argument("--protocol", choices=tuple(PROTOCOLS), default=None,
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
                             "train_track) or a key of GT/splits.json; with --data-root, the "
                             "benchmark's split")
    parser.add_argument("--classes", type=_list("class", str.lower), default=None, metavar="LIST",
                        help="benchmark protocols: score only these of the protocol's classes "
                             "(kitti, kitti-mots: car,pedestrian, the default; mots20 and the "
                             "MOTChallenge protocols: pedestrian; bdd100k: any of its eight, "
                             "reported in the order given; mot-multiclass: names of "
                             "--class-names)")
    parser.add_argument("--class-names", metavar="MAP",
                        help="mot-multiclass (required there): the classes scored, by the "
                             "number in the 8th value, e.g. 1=pedestrian,3=car (results in this "
                             "order)")
    parser.add_argument("--ignore-classes", metavar="LIST",
                        help="mot-multiclass: ground-truth classes that mark ignore regions, "
                             "e.g. 13")
    parser.add_argument("--iou-threshold", default=None, metavar="T",
                        help="IoU a match must reach for CLEAR and Identity, in (0, 1] "
                             "(default 0.5; fixed at 0.5 by the benchmark protocols)")
    parser.add_argument("--metrics", type=_list("metrics"), default=None,
                        metavar="LIST", help=f"comma-separated subset of {','.join(FAMILIES)} "
                        "in any case (default all; count is always reported)")
    parser.add_argument("--gt-classes", type=_list("class"), default=None, metavar="LIST",
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
    parser.add_argument("--events", metavar="DIR",
                        help="also write where each tracker fails: DIR/<tracker>/<class>/<sequence>/"
                             "events.csv (every match, switch, miss and false positive, frame by "
                             "frame), gt_tracks.csv and pred_tracks.csv (class 'all' under plain); "
                             "with --plot DIR2, timelines in DIR2/timelines/<tracker>/<class>/"
                             "<sequence>.png")
    parser.add_argument("--jobs", "-j", default=None, metavar="N",
                        help="score sequences and trackers on N processes in parallel, never "
                             "more than the usable cores (default: all of them)")
    parser.add_argument("--style", choices=("vestrim", "official"), default="vestrim",
                        help="table layout: vestrim's (default) or the benchmark evaluator's "
                             "(a table per tracker, class and family; ratios x 100)")
    official = parser.add_argument_group(
        "official layout",
        "Score every tracker of a data root kept in the benchmarks' own folder tree "
        "(gt/ and trackers/ under ROOT) and write the evaluator's result files beside each "
        "tracker's data/ folder: <class>_summary.txt and <class>_detailed.csv.")
    official.add_argument("--data-root", metavar="ROOT",
                          help="the folder holding gt/ and trackers/ (instead of GT and PRED)")
    official.add_argument("--benchmark", type=_benchmark_arg, metavar="NAME",
                          help="with --data-root: " + ", ".join(_BENCHMARKS) + " (any case); "
                               "selects the protocol. --split defaults to train (training for "
                               "KITTI, val for KITTI-MOTS)")
    official.add_argument("--trackers", nargs="+", metavar="NAME",
                          help="score these tracker folders, in this order (default: every "
                               "sub-folder of the trackers folder, sorted by name)")
    official.add_argument("--tracker-names", nargs="+", metavar="NAME",
                          help="display names of the --trackers, one each (table and plot "
                               "titles)")
    official.add_argument("--seqmap-file", metavar="FILE",
                          help="this sequence map instead of the benchmark's")
    official.add_argument("--tracker-sub-folder", metavar="NAME", default="data",
                          help="the folder in each tracker holding <seq>.txt (default data; "
                               "'' for the tracker folder itself)")
    official.add_argument("--output-folder", metavar="DIR",
                          help="write the result files to DIR/<tracker>/ instead of beside "
                               "each tracker's data")
    official.add_argument("--output-sub-folder", metavar="NAME", default="",
                          help="a folder appended after <tracker> in the output path")
    official.add_argument("--skip-split-folder", action="store_true",
                          help="MOTChallenge benchmarks: no <BENCH>-<split> folder under "
                               "gt/mot_challenge and trackers/mot_challenge")
    official.add_argument("--no-files", action="store_true",
                          help="do not write the result files")
    official.add_argument("--official-plots", action="store_true",
                          help="also write <class>_plot.png and <class>_plot.pdf beside the "
                               "result files (needs vestrim[plot])")
    parser.add_argument("--version", action="version", version=f"vestrim {_vestrim.__version__}")
    return parser


class _Ended(BaseException):
    """SIGTERM or SIGHUP arrived: unwinds like Ctrl-C, so that workers end and no temporary
    file stays behind."""

    def __init__(self, signum: int):
        super().__init__(signum)
        self.signum = signum


def _end_on_signal(signum, frame):
    raise _Ended(signum)


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


def _check_hota_plots(flag: str, draws: str, families) -> None:
    """An option drawing HOTA curves needs the hota family and matplotlib."""
    if "hota" not in families:
        raise UsageError(f"{flag} {draws} HOTA curves: keep hota in --metrics")
    try:
        plot.matplotlib_figure(flag)
    except ImportError as e:
        raise UsageError(str(e)) from None


def _check_plot_options(args, families) -> None:
    if args.plot is not None:
        _check_hota_plots("--plot", "draws", families)


def _check_events_options(args, options) -> None:
    if args.events is None:
        return
    if args.data_root is not None:
        raise UsageError("--events applies to GT and PRED runs, not with --data-root")
    if not event_files.events_supported(options):
        raise UsageError(f"--events: {options.protocol.name} is not scored sequence by sequence")


def _write_events(args, options) -> None:
    timelines = os.path.join(args.plot, "timelines") if args.plot is not None else None
    try:
        event_files.write_run_events(args.gt, args.pred, options, seqmap=args.seqmap,
                                     events_dir=args.events, timelines_dir=timelines)
    except OSError as e:
        where = e.filename if getattr(e, "filename", None) else args.events
        raise UsageError(f"cannot write event files to {where}: {e.strerror or e}") from None


_OFFICIAL_ONLY = (("benchmark", "--benchmark", None), ("trackers", "--trackers", None),
                  ("tracker_names", "--tracker-names", None),
                  ("seqmap_file", "--seqmap-file", None),
                  ("output_folder", "--output-folder", None), ("no_files", "--no-files", False),
                  ("official_plots", "--official-plots", False),
                  ("skip_split_folder", "--skip-split-folder", False),
                  ("output_sub_folder", "--output-sub-folder", ""),
                  ("tracker_sub_folder", "--tracker-sub-folder", "data"))


def _check_mode(args) -> None:
    """GT and PRED, or --data-root with --benchmark; the options of one mode not in the other."""
    if args.data_root is None:
        for name, flag, default in _OFFICIAL_ONLY:
            if getattr(args, name) != default:
                raise UsageError(f"{flag} applies with --data-root only")
        if args.gt is None or not args.pred:
            raise UsageError("the following arguments are required: GT, PRED (or --data-root "
                             "ROOT --benchmark NAME)")
        if args.protocol is None:
            args.protocol = "plain"
        return
    if args.gt is not None or args.pred:
        raise UsageError("--data-root finds ground truth and trackers itself: give no GT or "
                         "PRED arguments")
    if args.protocol is not None:
        raise UsageError("--data-root takes the protocol from --benchmark: drop --protocol")
    if args.benchmark is None:
        raise UsageError("--data-root needs --benchmark (one of " + ", ".join(_BENCHMARKS) + ")")
    if args.seqmap is not None:
        raise UsageError("--seqmap: with --data-root, give --seqmap-file")
    if args.tracker_names is not None and args.trackers is None:
        raise UsageError("List of tracker files and tracker display names do not match.")
    if args.official_plots and args.no_files:
        raise UsageError("--official-plots are written with the result files: drop --no-files")
    from .official import find_benchmark
    args.protocol = find_benchmark(args.benchmark).protocol


def _check_style(args) -> None:
    if args.style == "official" and args.format != "table":
        raise UsageError(f"--style applies to the table format, not --format {args.format}")
    if args.style == "official" and args.percent:
        raise UsageError("--style official prints ratios x 100 already: drop --percent")


def _check_official_plots(args, families) -> None:
    if args.official_plots:
        _check_hota_plots("--official-plots", "draw", families)


def _run_official(args, options, progress):
    """(result, display names) of a data root; writes the result files unless --no-files."""
    from .official import discover, score_layout, write_official_files
    try:
        layout = discover(args.data_root, args.benchmark, split=args.split,
                          trackers=args.trackers, tracker_names=args.tracker_names,
                          seqmap_file=args.seqmap_file,
                          tracker_sub_folder=args.tracker_sub_folder,
                          output_folder=args.output_folder,
                          output_sub_folder=args.output_sub_folder,
                          skip_split_folder=args.skip_split_folder)
    except ValueError as e:
        if isinstance(e, BenchmarkError):
            raise
        raise UsageError(str(e)) from None
    result = score_layout(layout, metrics=options.families, classes=options.classes,
                          jobs=options.jobs, progress=progress)
    if not args.no_files:
        try:
            write_official_files(result, layout, plots=args.official_plots)
        except OSError as e:
            raise UsageError(str(e)) from None
    return result, {t.name: t.display_name for t in layout.trackers}


def _run_nuscenes(args, options) -> str:
    from .datasets import nuscenes
    if args.seqmap is not None:
        raise UsageError("--seqmap does not apply under --protocol nuscenes")
    if args.format == "nuscenes" and len(args.pred) != 1:
        raise UsageError("--format nuscenes writes the summary of one results file, "
                         f"got {len(args.pred)}")
    if args.plot is not None:
        try:
            plot.matplotlib_figure("--plot")
        except ImportError as e:
            raise UsageError(str(e)) from None
    result = evaluate_benchmark(args.gt, args.pred, protocol="nuscenes", split=options.split,
                                classes=options.classes, jobs=options.jobs)
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
    _check_mode(args)
    _check_style(args)
    try:
        options = run_options(args.protocol, metrics=args.metrics,
                              iou_threshold=args.iou_threshold, classes=args.classes,
                              gt_classes=args.gt_classes,
                              split=args.split if args.data_root is None else None,
                              jobs=usable_cores() if args.jobs is None else args.jobs,
                              names=_OPTION_NAMES, class_names=args.class_names,
                              ignore_classes=args.ignore_classes, from_text=True)
    except (TypeError, ValueError) as e:
        raise UsageError(str(e)) from None
    _check_events_options(args, options)
    if options.protocol.own_metrics:
        return _run_nuscenes(args, options)
    if args.format == "nuscenes":
        raise UsageError("--format nuscenes applies under --protocol nuscenes only")
    _check_plot_options(args, options.families)
    _check_official_plots(args, options.families)
    progress = _Progress()
    display = None
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("always", BenchmarkWarning)
            warnings.showwarning = _show_warning
            if args.data_root is not None:
                result, display = _run_official(args, options, progress)
            else:
                result = evaluate_benchmark(
                    args.gt, args.pred, protocol=options.protocol, seqmap=args.seqmap,
                    classes=args.classes if args.class_names is not None else options.classes,
                    metrics=options.families, jobs=options.jobs,
                    iou_threshold=options.iou_threshold, split=options.split,
                    progress=progress, class_names=args.class_names,
                    ignore_classes=args.ignore_classes)
    finally:
        progress.done()
    if args.plot is not None:
        try:
            plot.write_benchmark_plots(result, args.plot)
        except OSError as e:
            raise UsageError(f"cannot write plots to {args.plot}: {e.strerror or e}") from None
    if args.events is not None:
        _write_events(args, options)
    if args.format == "json":
        return format_json(result)
    if args.format == "csv":
        return format_csv(result, percent=args.percent)
    if args.style == "official":
        from .official_files import format_tables
        return format_tables(result, display)
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


def main(argv=None) -> int:
    args = build_parser().parse_args(argv)
    import signal
    import threading
    ended = {}
    if threading.current_thread() is threading.main_thread():
        for signum in (signal.SIGTERM, getattr(signal, "SIGHUP", None)):
            if signum is not None:
                ended[signum] = signal.signal(signum, _end_on_signal)
    try:
        return _main(args)
    except _Ended as e:
        return 128 + e.signum
    finally:
        for signum, handler in ended.items():
            signal.signal(signum, handler)


def _main(args) -> int:
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
    except MemoryError as e:
        print(f"vestrim: error: {str(e) or 'not enough memory for this input'}", file=sys.stderr)
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
