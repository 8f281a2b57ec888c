"""Scoring from a data root in the benchmarks' own folder tree, and writing their result files.

    result = vestrim.evaluate_official("data", "MOT17", write_files=True)

The tree, per benchmark (``<split>`` defaults to ``train``, ``training`` for KITTI and ``val``
for KITTI-MOTS; the MOTChallenge folder word is the benchmark name, ``MOTS`` for MOTS20):

* MOT15, MOT16, MOT17, MOT20, MOTS20: ground truth
  ``gt/mot_challenge/<BENCH>-<split>/<seq>/gt/gt.txt`` with ``<seq>/seqinfo.ini`` (required), the
  sequence map ``gt/mot_challenge/seqmaps/<BENCH>-<split>.txt`` (a header line, then the name as
  the first comma-separated field of each line, verbatim), trackers
  ``trackers/mot_challenge/<BENCH>-<split>/<tracker>/data/<seq>.txt``.
* KITTI: ``gt/kitti/kitti_2d_box_train/label_02/<seq>.txt``, the sequence map
  ``evaluate_tracking.seqmap.<split>`` in that folder (lines ``<seq> empty <first> <count>``, lines
  of fewer values ignored), trackers ``trackers/kitti/kitti_2d_box_train/<tracker>/data/``.
* KITTI-MOTS: ``gt/kitti/kitti_mots_val/label_02/<seq>.txt`` (or ``instances_txt/``, which wins),
  ``evaluate_mots.seqmap.<split>`` (the name an integer padded to four digits, the 4th value the
  last frame), trackers ``trackers/kitti/kitti_mots_val/<tracker>/data/``.

Sequences are scored, printed and written in sorted name order. Every tracker must have every
sequence, checked before anything is scored. A missing sequence map, ``seqinfo.ini``,
ground-truth or tracker file stops the run with the benchmark's own message and the full path.
"""

from __future__ import annotations

import os
import re
from dataclasses import dataclass
from typing import Callable, Optional

from .benchmark.plan import Tracker
from .benchmark.result import BenchmarkResult
from .benchmark.run import score_plan
from .datasets.records import SequenceFiles
from .datasets.text import MAX_FRAME, open_regular
from .errors import BenchmarkError
from .options import run_options

__all__ = ["evaluate_official", "discover", "OfficialLayout", "OfficialTracker",
           "OfficialLayoutError", "BENCHMARKS", "OfficialBenchmark"]


class OfficialLayoutError(BenchmarkError):
    """A data root that cannot be scored: the message ends with the full path concerned."""

    def __init__(self, text: str, path: Optional[str] = None):
        super().__init__(text if path is None else f"{text} ({path})")


@dataclass(frozen=True)
class OfficialBenchmark:
    name: str           # as the folder names write it: MOT17, KITTI-MOTS, ...
    protocol: str       # the vestrim protocol that scores it
    family: str         # "mot" (MOTChallenge and MOTS20), "kitti" or "kitti-mots"
    word: str           # MOTChallenge: the word before "-<split>" in folder and seqmap names
    default_split: str


BENCHMARKS = {b.name: b for b in (
    OfficialBenchmark("MOT15", "mot15", "mot", "MOT15", "train"),
    OfficialBenchmark("MOT16", "mot16", "mot", "MOT16", "train"),
    OfficialBenchmark("MOT17", "mot17", "mot", "MOT17", "train"),
    OfficialBenchmark("MOT20", "mot20", "mot", "MOT20", "train"),
    OfficialBenchmark("MOTS20", "mots20", "mot", "MOTS", "train"),
    OfficialBenchmark("KITTI", "kitti", "kitti", "", "training"),
    OfficialBenchmark("KITTI-MOTS", "kitti-mots", "kitti-mots", "", "val"),
)}


def find_benchmark(name) -> OfficialBenchmark:
    """The benchmark called ``name``, in any case."""
    found = BENCHMARKS.get(name.upper()) if isinstance(name, str) else None
    if found is None:
        raise ValueError(f"unknown benchmark {name!r} (choose from {', '.join(BENCHMARKS)})")
    return found


@dataclass(frozen=True)
class OfficialTracker:
    name: str             # its folder's name
    display_name: str     # the name table titles and plot titles show
    output_folder: str    # where its result files go
    files: tuple          # SequenceFiles, in sorted sequence order


@dataclass(frozen=True)
class OfficialLayout:
    benchmark: OfficialBenchmark
    split: str
    seqmap: str
    trackers_folder: str
    trackers: tuple       # OfficialTracker, in evaluation order


def _plain_name(name: str) -> bool:
    return bool(name) and name not in (".", "..") and "/" not in name and "\0" not in name \
        and os.sep not in name


def _read_text(path: str) -> list:
    try:
        with open_regular(path) as f:
            data = f.read()
    except OSError as e:
        raise OfficialLayoutError(f"cannot read the seqmap: {e.strerror or e}", path) from None
    try:
        text = data.decode("utf-8-sig")
    except UnicodeDecodeError:
        raise OfficialLayoutError("the seqmap is not UTF-8 text", path) from None
    return text.splitlines()


def _checked_name(name: str, path: str, number: int) -> str:
    # A name is one folder or file under the ground truth: "../x" or "a/b" would read elsewhere.
    if not _plain_name(name):
        raise OfficialLayoutError(f"line {number}: sequence name {name!r} is not a plain file name",
                                  path)
    return name


def read_mot_seqmap(path: str) -> list:
    """Sequence names of a MOTChallenge seqmap: the first line is skipped; of every other line the
    first comma-separated field, verbatim; lines with an empty first field are skipped."""
    names: list = []
    seen: dict[str, int] = {}
    for number, line in enumerate(_read_text(path)[1:], 2):
        name = line.split(",")[0]
        if not name:
            continue
        _checked_name(name, path, number)
        if name in seen:
            raise OfficialLayoutError(f"line {number}: sequence {name} is listed twice (first at "
                                      f"line {seen[name]})", path)
        seen[name] = number
        names.append((name, None))
    return names


_INTEGER = re.compile(r"[+-]?[0-9]{1,19}")


def read_kitti_seqmap(path: str, *, mots: bool) -> list:
    """(name, number of frames) of a KITTI seqmap: lines ``<seq> empty <first> <n>`` split at white
    space, lines of fewer than four values ignored. KITTI: the name verbatim and ``n`` frames;
    KITTI-MOTS: the name an integer padded to four digits and ``n`` the last frame."""
    entries: list = []
    seen: dict[str, int] = {}
    for number, line in enumerate(_read_text(path), 1):
        fields = line.split()
        if len(fields) < 4:
            continue
        name, value = fields[0], fields[3]
        if mots:
            if not _INTEGER.fullmatch(name) or int(name) < 0:
                raise OfficialLayoutError(f"line {number}: sequence {name!r} is not a "
                                          f"non-negative integer", path)
            name = "%04d" % int(name)
        _checked_name(name, path, number)
        n = int(value) + (1 if mots else 0) if _INTEGER.fullmatch(value) else -1
        if not 0 <= n <= MAX_FRAME:
            what = "last frame" if mots else "number of frames"
            raise OfficialLayoutError(f"line {number}: the {what} (4th value) must be a whole "
                                      f"number from {-1 if mots else 0} to {MAX_FRAME - mots}, got "
                                      f"{value!r}", path)
        if name in seen:
            raise OfficialLayoutError(f"line {number}: sequence {name} is listed twice (first at "
                                      f"line {seen[name]})", path)
        seen[name] = number
        entries.append((name, n))
    return entries


def _folder(path: str, what: str) -> str:
    if not os.path.isdir(path):
        raise OfficialLayoutError(f"no {what} folder", path)
    return path


def _sequences(bench: OfficialBenchmark, root: str, split: str, seqmap_file, skip_split_folder):
    """(seqmap path, [(name, gt file, seqinfo or None, number of frames or None)] sorted)."""
    if bench.family == "mot":
        gt_base = _folder(os.path.join(root, "gt", "mot_challenge"), "ground-truth")
        split_name = f"{bench.word}-{split}"
        seqmap = os.path.join(gt_base, "seqmaps", f"{split_name}.txt")
        gt_folder = gt_base if skip_split_folder else os.path.join(gt_base, split_name)
    else:
        folder = "kitti_2d_box_train" if bench.family == "kitti" else "kitti_mots_val"
        gt_folder = _folder(os.path.join(root, "gt", "kitti", folder), "ground-truth")
        name = "evaluate_tracking.seqmap" if bench.family == "kitti" else "evaluate_mots.seqmap"
        seqmap = os.path.join(gt_folder, f"{name}.{split}")
    if seqmap_file is not None:
        seqmap = os.path.abspath(os.fspath(seqmap_file))
    if not os.path.isfile(seqmap):
        raise OfficialLayoutError(f"no seqmap found: {os.path.basename(seqmap)}", seqmap)
    if bench.family == "mot":
        entries = read_mot_seqmap(seqmap)
    else:
        entries = read_kitti_seqmap(seqmap, mots=bench.family == "kitti-mots")
    if not entries:
        raise OfficialLayoutError("No sequences are selected to be evaluated.", seqmap)
    labels = "label_02"
    if bench.family == "kitti-mots" and os.path.isdir(os.path.join(gt_folder, "instances_txt")):
        labels = "instances_txt"
    out = []
    for name, num_frames in sorted(entries):
        if bench.family == "mot":
            seqinfo = os.path.join(gt_folder, name, "seqinfo.ini")
            if not os.path.isfile(seqinfo):
                raise OfficialLayoutError(f"ini file does not exist: {name}/seqinfo.ini", seqinfo)
            gt_file = os.path.join(gt_folder, name, "gt", "gt.txt")
        else:
            seqinfo = None
            gt_file = os.path.join(gt_folder, labels, f"{name}.txt")
        if not os.path.isfile(gt_file):
            raise OfficialLayoutError(f"GT file not found for sequence: {name}", gt_file)
        out.append((name, gt_file, seqinfo, num_frames))
    return seqmap, out


def _trackers_folder(bench: OfficialBenchmark, root: str, split: str, skip_split_folder) -> str:
    if bench.family == "mot":
        base = os.path.join(root, "trackers", "mot_challenge")
        return base if skip_split_folder else os.path.join(base, f"{bench.word}-{split}")
    folder = "kitti_2d_box_train" if bench.family == "kitti" else "kitti_mots_val"
    return os.path.join(root, "trackers", "kitti", folder)


def _tracker_list(folder: str, trackers, tracker_names) -> list:
    """(name, display name) of every tracker, in evaluation order."""
    if trackers is None:
        if tracker_names is not None:
            raise OfficialLayoutError(
                "List of tracker files and tracker display names do not match.")
        _folder(folder, "trackers")
        try:
            entries = os.listdir(folder)
        except OSError as e:
            raise OfficialLayoutError(f"cannot list the trackers: {e.strerror or e}",
                                      folder) from None
        # Sub-folders only (a README or .DS_Store beside them is no tracker), hidden ones aside.
        names = sorted(e for e in entries
                       if not e.startswith(".") and os.path.isdir(os.path.join(folder, e)))
        if not names:
            raise OfficialLayoutError("no tracker folders in the trackers folder", folder)
        return [(n, n) for n in names]
    trackers = [trackers] if isinstance(trackers, str) else [os.fspath(t) for t in trackers]
    if tracker_names is not None:
        tracker_names = [tracker_names] if isinstance(tracker_names, str) else list(tracker_names)
        if len(tracker_names) != len(trackers):
            raise OfficialLayoutError(
                "List of tracker files and tracker display names do not match.")
    if not trackers:
        raise OfficialLayoutError("no tracker given")
    seen = set()
    for name in trackers:
        if not _plain_name(name):
            raise OfficialLayoutError(f"tracker {name!r} is not a folder name in the trackers "
                                      f"folder", folder)
        if name in seen:
            raise OfficialLayoutError(f"tracker {name} is listed twice")
        seen.add(name)
    return list(zip(trackers, tracker_names if tracker_names is not None else trackers))


def discover(root, benchmark_name, *, split: Optional[str] = None, trackers=None,
             tracker_names=None, seqmap_file=None, tracker_sub_folder: str = "data",
             output_folder=None, output_sub_folder: str = "",
             skip_split_folder: bool = False) -> OfficialLayout:
    """Finds the sequence map, the sequences and every tracker's files of a data root; raises
    ``OfficialLayoutError`` as the benchmark's evaluator stops (before anything is scored)."""
    bench = find_benchmark(benchmark_name)
    root = os.path.abspath(os.fspath(root))
    if not os.path.isdir(root):
        raise OfficialLayoutError("no data root folder", root)
    split = bench.default_split if split is None else split
    if not isinstance(split, str) or not _plain_name(split):
        raise ValueError(f"a split is a plain name such as {bench.default_split!r}, got {split!r}")
    if skip_split_folder and bench.family != "mot":
        raise ValueError(f"{bench.name} has no split folder to skip (its folders do not name the "
                         f"split)")
    for what, value in (("tracker sub-folder", tracker_sub_folder),
                        ("output sub-folder", output_sub_folder)):
        if not isinstance(value, str) or (value and not _plain_name(value)):
            raise ValueError(f"the {what} must be a plain folder name or empty, got {value!r}")
    seqmap, sequences = _sequences(bench, root, split, seqmap_file, skip_split_folder)
    folder = _trackers_folder(bench, root, split, skip_split_folder)
    chosen = _tracker_list(folder, trackers, tracker_names)
    out = []
    for name, display in chosen:
        data = os.path.join(folder, name, tracker_sub_folder)
        files = []
        for seq, gt_file, seqinfo, num_frames in sequences:
            pred = os.path.join(data, f"{seq}.txt")
            if not os.path.isfile(pred):
                shown = "/".join(p for p in (name, tracker_sub_folder, f"{seq}.txt") if p)
                raise OfficialLayoutError(f"Tracker file not found: {shown}", pred)
            files.append(SequenceFiles(seq, gt_file, pred, seqinfo, num_frames))
        base = folder if output_folder is None else os.path.abspath(os.fspath(output_folder))
        output = os.path.join(base, name, output_sub_folder) if output_sub_folder \
            else os.path.join(base, name)
        out.append(OfficialTracker(name, str(display), output, tuple(files)))
    return OfficialLayout(bench, split, seqmap, folder, tuple(out))


def evaluate_official(root, benchmark, *, split: Optional[str] = None, trackers=None,
                      tracker_names=None, metrics=None, jobs: int = 1, write_files: bool = False,
                      plots: bool = False, seqmap_file=None, tracker_sub_folder: str = "data",
                      output_folder=None, output_sub_folder: str = "",
                      skip_split_folder: bool = False,
                      progress: Optional[Callable[[int, int, str], None]] = None
                      ) -> BenchmarkResult:
    """Score every tracker of a data root laid out as the benchmarks' own evaluator expects it.

    ``benchmark`` is one of MOT15, MOT16, MOT17, MOT20, MOTS20, KITTI, KITTI-MOTS (any case) and
    selects the protocol; ``split`` defaults to ``train`` (``training`` for KITTI, ``val`` for
    KITTI-MOTS). ``trackers`` picks tracker folders (default: every sub-folder of the trackers
    folder, sorted by name) and ``tracker_names`` gives them display names (same length; used in
    plot titles). ``metrics`` a subset of ``("clear", "identity", "hota")`` (any case).

    With ``write_files``, each tracker gets ``<class>_summary.txt`` and ``<class>_detailed.csv``
    beside its ``data/`` folder (or in ``output_folder/<tracker>/``, then ``output_sub_folder``),
    and with ``plots`` also ``<class>_plot.png`` and ``.pdf``. The other keywords mirror the
    evaluator's settings: ``seqmap_file`` replaces the computed seqmap path,
    ``tracker_sub_folder`` names the folder of ``<seq>.txt`` files (``""``: the tracker's own
    folder), ``skip_split_folder`` drops ``<BENCH>-<split>`` from the MOTChallenge paths.

    Returns a ``BenchmarkResult`` as ``evaluate_benchmark`` does, sequences in sorted order.
    Raises ``OfficialLayoutError`` for a missing seqmap, sequence or tracker file, before any
    scoring, and ``OfficialFileError`` (an ``OSError``) for a result file that cannot be
    written.
    """
    bench = find_benchmark(benchmark)
    layout = discover(root, bench.name, split=split, trackers=trackers,
                      tracker_names=tracker_names, seqmap_file=seqmap_file,
                      tracker_sub_folder=tracker_sub_folder, output_folder=output_folder,
                      output_sub_folder=output_sub_folder, skip_split_folder=skip_split_folder)
    result = score_layout(layout, metrics=metrics, jobs=jobs, progress=progress)
    if write_files:
        write_official_files(result, layout, plots=plots)
    return result


def score_layout(layout: OfficialLayout, *, metrics=None, classes=None, jobs: int = 1,
                 progress: Optional[Callable[[int, int, str], None]] = None) -> BenchmarkResult:
    """Scores every tracker of a discovered layout under its benchmark's protocol (``classes``
    a selection among the classes it scores)."""
    options = run_options(layout.benchmark.protocol, metrics=metrics, classes=classes, jobs=jobs)
    plan = [Tracker(t.name, t.output_folder, t.files) for t in layout.trackers]
    return score_plan(plan, options, progress)


def write_official_files(result: BenchmarkResult, layout: OfficialLayout, *,
                         plots: bool = False) -> list:
    """Every (tracker, class)'s result files into its tracker's output folder; the paths."""
    from .official_files import official_entries, write_tracker_files
    trackers = {t.name: t for t in layout.trackers}
    written = []
    for t in official_entries(result):
        info = trackers[t.tracker]
        written += write_tracker_files(info.output_folder, t, result.metrics, plots=plots,
                                       display_name=info.display_name)
    return written


def display_names(layout: OfficialLayout) -> dict:
    """{tracker name: display name} of a layout's trackers."""
    return {t.name: t.display_name for t in layout.trackers}
