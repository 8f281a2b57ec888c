"""Where a split folder keeps its sequences: the folder layouts the datasets share.

``motchallenge``
    ``GT/<seq>/gt/gt.txt`` per sequence and, under a benchmark protocol, ``GT/<seq>/seqinfo.ini``
    giving its length; an optional sequence map (a header line, then one name a line) chooses
    and orders the sequences, else every folder with ground truth is scored in name order.
``kitti``, ``kitti-mots``
    ``GT/label_02/<seq>.txt`` or ``GT/instances_txt/<seq>.txt`` (KITTI-MOTS: ``label_02/``
    when there is no ``instances_txt/``), the sequences and their
    lengths listed by a KITTI seqmap (``GT/evaluate_tracking.seqmap.<split>`` or
    ``GT/evaluate_mots.seqmap.<split>``, or the file given).

Each ``*_run`` function returns a ``Run``: the ground-truth side of every sequence to score, in
scoring order, and the names of all sequences the folder holds ground truth for. A ground-truth
file on its own is one sequence (named by the tracker's file later).
"""

from __future__ import annotations

import configparser
import io
import re
import os
import warnings
from dataclasses import dataclass
from typing import Optional

from ..errors import BenchmarkError, BenchmarkWarning, MotFormatError
from ..protocols import Protocol
from .records import SequenceFiles
from .text import MAX_FRAME, integer, open_regular, quoted, text_lines

__all__ = ["FIRST_FRAME", "Run", "list_dir", "read_seqmap", "read_seqinfo", "read_kitti_seqmap",
           "motchallenge_run", "kitti_run", "warn", "required_pred"]


# The number of the first frame in each layout's files: KITTI counts from 0, MOTChallenge from 1;
# BDD100K frames are numbered by their position in index order, from 0.
FIRST_FRAME = {"motchallenge": 1, "kitti": 0, "kitti-mots": 0, "bdd100k": 0}


@dataclass(frozen=True)
class Run:
    sequences: tuple         # SequenceFiles (pred None), in scoring order; name "" for one file
    names: frozenset         # every sequence the folder has ground truth for


def warn(message: str) -> None:
    warnings.warn(message, BenchmarkWarning, stacklevel=3)


def list_dir(path: str) -> list:
    try:
        return sorted(os.listdir(path))
    except OSError as e:
        raise BenchmarkError(f"cannot read {path}: {e.strerror or e}") from None


# --- MOTChallenge -------------------------------------------------------------------------------

def read_seqmap(path) -> list:
    """The sequence names of a sequence map: a header line, then one name per non-empty line."""
    path = os.fspath(path)
    try:
        with io.TextIOWrapper(open_regular(path), encoding="utf-8-sig") as f:
            lines = f.read().splitlines()
    except (OSError, UnicodeDecodeError) as e:
        raise BenchmarkError(f"cannot read {path}: {getattr(e, 'strerror', None) or e}") from None
    names: list[str] = []
    seen: dict[str, int] = {}
    for number, line in enumerate(lines[1:], 2):
        name = line.strip()
        if not name:
            continue
        # A name is one folder under GT: "../x" or "a/b" would read files from elsewhere.
        if name in (".", "..") or "/" in name or os.sep in name or "\0" in name:
            raise BenchmarkError(f"{path}:{number}: sequence name {name!r} is not a plain file name")
        if name in seen:
            raise BenchmarkError(
                f"{path}:{number}: sequence {name} is listed twice (first at line {seen[name]})")
        seen[name] = number
        names.append(name)
    if not names:
        raise BenchmarkError(f"{path}: no sequences listed (a header line, then one name a line)")
    return names


def read_seqinfo(path: str) -> int:
    """The number of frames of a sequence: ``seqLength`` in the ``[Sequence]`` section."""
    parser = configparser.ConfigParser(interpolation=None)
    try:
        with io.TextIOWrapper(open_regular(path), encoding="utf-8-sig") as f:
            parser.read_file(f)
        text = parser.get("Sequence", "seqLength")
    except (OSError, UnicodeDecodeError) as e:
        raise BenchmarkError(f"cannot read {path}: {getattr(e, 'strerror', None) or e}") from None
    except configparser.NoSectionError:
        raise BenchmarkError(f"{path}: no [Sequence] section") from None
    except configparser.NoOptionError:
        raise BenchmarkError(f"{path}: no seqLength in its [Sequence] section") from None
    except configparser.Error as e:
        raise BenchmarkError(f"{path}: not a valid ini file ({e.message.splitlines()[0]})") \
            from None
    try:
        # Leading zeros dropped first: int() refuses thousands of digits.
        length = int(re.sub(r"^([+-]?)0+(?=[0-9])", r"\1", text.strip()))
    except ValueError:
        length = -1
    if not 1 <= length <= MAX_FRAME:
        raise BenchmarkError(f"{path}: seqLength must be a whole number from 1 to {MAX_FRAME}, "
                             f"got {text.strip()!r}")
    return length


def motchallenge_run(gt: str, proto: Protocol, seqmap, split: Optional[str]) -> Run:
    """The sequences of a MOTChallenge split folder (or one ground-truth file, with the
    ``seqinfo.ini`` beside its ``gt/`` folder under a benchmark protocol)."""
    if os.path.isfile(gt):
        seqinfo = None
        parent = os.path.dirname(os.path.abspath(gt))
        if proto.is_benchmark and os.path.basename(parent) == "gt":
            candidate = os.path.join(os.path.dirname(parent), "seqinfo.ini")
            seqinfo = candidate if os.path.isfile(candidate) else None
        return Run((SequenceFiles("", gt, None, seqinfo),), frozenset())
    entries = list_dir(gt)
    if seqmap is not None:
        names = read_seqmap(seqmap)
    else:
        names = [e for e in entries if os.path.isdir(os.path.join(gt, e))]
    out = []
    for name in names:
        folder = os.path.join(gt, name)
        gt_file = os.path.join(folder, "gt", "gt.txt")
        if not os.path.isfile(gt_file):
            if seqmap is not None:
                raise BenchmarkError(f"sequence {name} of {os.fspath(seqmap)} has no ground truth "
                                     f"({gt_file} not found)")
            warn(f"skipping {folder}: no gt/gt.txt in it")
            continue
        seqinfo = os.path.join(folder, "seqinfo.ini")
        out.append(SequenceFiles(name, gt_file, None, seqinfo if proto.is_benchmark and
                                 os.path.isfile(seqinfo) else None))
    if not out:
        raise BenchmarkError(f"no sequences in {gt} (expected <sequence>/gt/gt.txt under it)")
    return Run(tuple(out), frozenset(e for e in list_dir(gt)
                                     if os.path.isdir(os.path.join(gt, e))))


# --- KITTI --------------------------------------------------------------------------------------

_SEQMAP_NAMES = ("sequence", "empty", "first frame", "frames")


def read_kitti_seqmap(path, *, last_frame: bool = False) -> list:
    """Read a KITTI-style seqmap: lines ``<seq> empty <first> <n>``.

    Returns ``[(name, num_frames), ...]`` in file order. ``n`` is the number of frames, or with
    ``last_frame=True`` the last (0-based) frame, so the sequence has ``n + 1`` frames. The third
    value is not used.
    """
    path = os.fspath(path)
    entries, seen = [], set()
    for number, fields in text_lines(path):
        if len(fields) < 4:
            raise MotFormatError(
                path, f"expected '<sequence> empty <first> <{'last' if last_frame else 'count'}>'"
                f", found {len(fields)} values", number)
        name = fields[0].decode("utf-8", errors="replace")
        if name in (".", "..") or any(c in name for c in "/\\\0"):
            raise MotFormatError(path, f"sequence name {name!r} is not a plain file name", number)
        try:
            n = integer(fields[3], 3, _SEQMAP_NAMES)
        except ValueError:
            n = None
        length = None if n is None else n + 1 if last_frame else n
        if length is None or not 0 <= length <= MAX_FRAME:
            what = "last frame" if last_frame else "number of frames"
            raise MotFormatError(path, f"{what} (4th value) must be a whole number from "
                                 f"{-1 if last_frame else 0} to {MAX_FRAME - last_frame}, got "
                                 f"{quoted(fields[3])}", number)
        if name in seen:
            raise MotFormatError(path, f"sequence {name!r} is listed twice", number)
        seen.add(name)
        entries.append((name, length))
    return entries


# KITTI layouts: (folder of the ground-truth files, seqmap name before ".<split>", whether the
# seqmap's 4th value is the last frame rather than the number of frames).
_KITTI_LAYOUTS = {
    "kitti": ("label_02", "evaluate_tracking.seqmap", False),
    "kitti-mots": ("instances_txt", "evaluate_mots.seqmap", True),
}


def kitti_run(gt: str, proto: Protocol, seqmap, split: Optional[str]) -> Run:
    """The sequences of a KITTI seqmap and their lengths (or one ground-truth file, whose length
    the files it pairs give)."""
    if os.path.isfile(gt):
        return Run((SequenceFiles("", gt, None, None),), frozenset())
    folder_name, seqmap_name, last_frame = _KITTI_LAYOUTS[proto.layout]
    if seqmap is None:
        seqmap = os.path.join(gt, f"{seqmap_name}.{split or proto.default_split}")
        if not os.path.isfile(seqmap):
            raise BenchmarkError(f"no sequence map {seqmap} (choose the split with --split, or "
                                 f"give --seqmap FILE)")
    elif split is not None:
        raise BenchmarkError("give a sequence map or a split, not both")
    seqmap = os.fspath(seqmap)
    entries = read_kitti_seqmap(seqmap, last_frame=last_frame)
    if not entries:
        raise BenchmarkError(f"{seqmap}: no sequences listed")
    folder = os.path.join(gt, folder_name)
    if proto.layout == "kitti-mots" and not os.path.isdir(folder) \
            and os.path.isdir(os.path.join(gt, "label_02")):
        folder = os.path.join(gt, "label_02")  # where the benchmark's own tree keeps them
    out = []
    for name, num_frames in entries:
        gt_file = os.path.join(folder, name + ".txt")
        if not os.path.isfile(gt_file):
            raise BenchmarkError(f"sequence {name} of {seqmap} has no ground truth ({gt_file} "
                                 f"not found)")
        out.append(SequenceFiles(name, gt_file, None, None, num_frames))
    names = {os.path.splitext(e)[0] for e in list_dir(folder) if e.endswith(".txt")}
    return Run(tuple(out), frozenset(names))


def required_pred(files: SequenceFiles) -> str:
    """The prediction file of a sequence scored under a protocol that refuses a tracker without
    every file (refused before loading; this guards a direct call)."""
    if files.pred is None:
        raise BenchmarkError(f"no prediction file for sequence {files.name}")
    return files.pred
