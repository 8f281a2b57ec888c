"""What every dataset's text files share: opening only regular files, reading a file's bytes, turning a native reader's fault
into ``MotFormatError``, the integer grammar of index files, the checks on frame ranges and
repeated ids, grouping rows by frame, and the counts of what is scored.

Imports only the package's errors, records and the private native module.
"""

from __future__ import annotations

import os
import re
import stat
from typing import BinaryIO, Callable, Optional

import numpy as np

from .. import _native
from ..errors import MotFormatError
from .records import Count

__all__ = ["MAX_FRAME", "MAX_COORDINATE", "EPSILON", "REMOVAL_THRESHOLD", "open_regular", "read_bytes", "read_native",
           "split_lines",
           "text_lines", "integer", "quoted", "check_range", "check_unique_ids",
           "frame_range_error", "check_frames", "rows_by_frame", "first_row", "count", "cached_gt", "both"]

# A frame number beyond this is taken for a typo: laying out that many (mostly empty) frames
# would exhaust memory long before any result.
MAX_FRAME: int = _native.MAX_FRAME

# Box corners are kept within this magnitude so that every area and union stays finite (and so
# every IoU is a number).
MAX_COORDINATE: float = _native.MAX_COORDINATE

# The benchmarks' comparison margin (machine epsilon of a double), and the IoU at which their
# removal matching pairs a prediction with a ground-truth box.
EPSILON = 2.0 ** -52
REMOVAL_THRESHOLD = 0.5

_TOO_LARGE = "cannot read: the file does not fit in memory"


_KINDS = ((stat.S_ISDIR, "a directory"), (stat.S_ISFIFO, "a FIFO"), (stat.S_ISCHR, "a device"),
          (stat.S_ISBLK, "a device"), (stat.S_ISSOCK, "a socket"))


def _not_regular(mode: int) -> OSError:
    kind = next((name for test, name in _KINDS if test(mode)), "something else")
    return OSError(f"not a regular file ({kind})")


def open_regular(path) -> BinaryIO:
    """``path`` opened for reading in binary, once it is known to be a regular file (following
    symbolic links); ``OSError`` whose text says what it is otherwise. A FIFO would block the
    opening or the reading for good, a device or a directory be read until memory runs out or
    fail obscurely: every file the package reads is opened here. The check comes before the
    opening, and again on what was opened (a path can change in between)."""
    mode = os.stat(path).st_mode
    if not stat.S_ISREG(mode):
        raise _not_regular(mode)
    fd = os.open(path, os.O_RDONLY | getattr(os, "O_NONBLOCK", 0) | getattr(os, "O_CLOEXEC", 0)
                 | getattr(os, "O_BINARY", 0))
    try:
        mode = os.fstat(fd).st_mode
        if not stat.S_ISREG(mode):
            raise _not_regular(mode)
        os.set_blocking(fd, True)
        return os.fdopen(fd, "rb")
    except BaseException:
        os.close(fd)
        raise


def both(first: Callable, second: Callable) -> tuple:
    """(first(), second()), the second on a helper thread while the first runs here when this
    process may use more than one core (the native readers release the interpreter lock while
    they parse): the two files of a pair are read at the same time. The helper is joined before
    returning, also when the first fails; the first's error comes first."""
    if _native.threads_per_call() < 2:
        return first(), second()
    import threading
    outcome: list = [None, None]

    def run() -> None:
        try:
            outcome[0] = second()
        except BaseException as e:  # handed to the caller below
            outcome[1] = e

    helper = threading.Thread(target=run, name="vestrim-read", daemon=True)
    helper.start()
    try:
        result = first()
    finally:
        helper.join()
    if outcome[1] is not None:
        raise outcome[1]
    return result, outcome[0]


def read_bytes(path: str) -> bytes:
    try:
        with open_regular(path) as f:
            data = f.read()
    except OSError as e:
        raise MotFormatError(path, f"cannot read: {e.strerror or e}") from None
    except MemoryError:
        raise MotFormatError(path, _TOO_LARGE) from None
    return data


def read_native(path: str, read, *args) -> tuple:
    """The columns a native reader returns for ``read(*args)``, its faults as ``MotFormatError``."""
    try:
        return read(*args)
    except ValueError as e:  # (message, line) of the first fault
        raise MotFormatError(path, *e.args) from None
    except MemoryError:
        raise MotFormatError(path, _TOO_LARGE) from None


def split_lines(data: bytes):
    """(line number, line) of every line of `data`, without its line end."""
    lines = data.split(b"\n")
    if lines and not lines[-1]:
        lines.pop()
    for number, line in enumerate(lines, 1):
        yield number, line[:-1] if line.endswith(b"\r") else line


def text_lines(path: str):
    """(line number, fields) of every non-blank line; fields are split at white space."""
    for number, line in split_lines(read_bytes(path)):
        fields = line.split()
        if fields:
            yield number, fields


# The grammar of an integer value: ``3``, ``-3``, ``+12`` or an integral decimal such as ``3.0``.
INTEGER = re.compile(rb"[+-]?[0-9]+")
INTEGRAL_DECIMAL = re.compile(rb"([+-]?[0-9]*)\.0*")  # with at least one digit somewhere
ORDINALS = ("1st", "2nd", "3rd", "4th", "5th", "6th", "7th", "8th", "9th", "10th")


def quoted(token: bytes) -> str:
    return repr(token.decode("utf-8", errors="replace"))


def integer(token: bytes, k: int, names) -> int:
    """Value k of a line (named ``names[k]``), an integer of 64 bits; ValueError with the
    message otherwise."""
    if INTEGER.fullmatch(token):
        digits = token
    else:
        m = INTEGRAL_DECIMAL.fullmatch(token)
        if m is None or not any(c in b"0123456789" for c in token):
            raise ValueError(f"{names[k]} ({ORDINALS[k]} value) must be an integer, got "
                             f"{quoted(token)}")
        digits = m.group(1)
    # Checked by length first, without its leading zeros (any number of them): int() of thousands
    # of digits is slow (and refused by Python).
    magnitude = digits.lstrip(b"+-").lstrip(b"0")
    value = (-1 if digits[:1] == b"-" else 1) * int(magnitude) if len(magnitude) <= 19 and magnitude else 0
    if len(magnitude) > 19 or not -2**63 <= value < 2**63:
        raise ValueError(f"{names[k]} {token.decode('ascii')} does not fit in 64 bits")
    return value


def frame_range_error(path: str, line: int, frame: int, first: int, num_frames: int):
    if num_frames == 0:
        return MotFormatError(path, f"frame {frame} is outside the sequence, which has no frames",
                              line)
    return MotFormatError(path, f"frame {frame} is outside the sequence's frames {first} to "
                          f"{first + num_frames - 1}", line)


def check_range(path: str, frames, lines, checked, first: int, num_frames: int) -> np.ndarray:
    """The rows inside the sequence; a `checked` row outside it raises at its line."""
    inside = (frames >= first) & (frames < first + num_frames)
    bad = np.flatnonzero(checked & ~inside)
    if len(bad):
        k = bad[0]
        raise frame_range_error(path, int(lines[k]), int(frames[k]), first, num_frames)
    return inside


def check_unique_ids(path: str, frames, ids, lines, rows, what: str = "") -> None:
    """Raise at the first line (in file order) whose (frame, id) occurred before among `rows`."""
    if len(rows) < 2:
        return
    order = np.lexsort((lines[rows], ids[rows], frames[rows]))
    f, i = frames[rows][order], ids[rows][order]
    repeat = np.flatnonzero((f[1:] == f[:-1]) & (i[1:] == i[:-1])) + 1
    if len(repeat):
        # Within a run of equal keys the lines ascend, so the second occurrences are these.
        k = rows[order[repeat[np.argmin(lines[rows][order][repeat])]]]
        raise MotFormatError(
            path, f"id {int(ids[k])} occurs twice in frame {int(frames[k])}{what}", int(lines[k]))


def rows_by_frame(table, rows: np.ndarray, frames: np.ndarray):
    """`rows` in frame order (file order within a frame) and the bounds of the rows of each of
    `frames` (ascending): frame k's rows are rows[lo[k]:hi[k]]."""
    rows = rows[np.argsort(table.frames[rows], kind="stable")]
    sorted_frames = table.frames[rows]
    return (rows, np.searchsorted(sorted_frames, frames, "left").tolist(),
            np.searchsorted(sorted_frames, frames, "right").tolist())


def first_row(table, mask) -> int:
    """The row of the first line (in file order) where mask is set."""
    rows = np.flatnonzero(mask)
    return int(rows[np.argmin(table.lines[rows])])


def distinct(values: np.ndarray) -> int:
    # Not len(np.unique(...)): it imports numpy.ma, about 20 ms in every worker process.
    if not len(values):
        return 0
    low, high = int(values.min()), int(values.max())
    if 0 <= low and high < 4 * len(values):  # the usual small ids: flag them, no sort
        seen = np.zeros(high + 1, dtype=bool)
        seen[values] = True
        return int(np.count_nonzero(seen))
    ordered = np.sort(values)
    return int(np.count_nonzero(ordered[1:] != ordered[:-1])) + 1


def count(gt_ids: np.ndarray, pred_ids: np.ndarray) -> Count:
    return Count(len(gt_ids), len(pred_ids), distinct(gt_ids), distinct(pred_ids))


def count_frames(gt_ids: list, pred_ids: list) -> Count:
    """The ``Count`` of per-frame id lists."""
    flat = [np.fromiter((i for frame in ids for i in frame), dtype=np.int64)
            for ids in (gt_ids, pred_ids)]
    return count(*flat)


# In a worker process (see vestrim.benchmark.score.score_task): the last ground-truth table read,
# so that a worker scoring several trackers of one sequence in a row reads the file once.
_gt_cache: Optional[dict] = None


def keep_last_gt() -> None:
    """From now on in this process, ``cached_gt`` keeps the last ground truth read."""
    global _gt_cache
    if _gt_cache is None:
        _gt_cache = {}


def cached_gt(key: tuple, read: Callable[[], object]):
    """``read()``, or in a worker the table it gave for ``key`` when that was the last one read."""
    if _gt_cache is None:
        return read()
    table = _gt_cache.get(key)
    if table is None:
        _gt_cache.clear()
        table = _gt_cache[key] = read()
    return table


def check_frames(path: str, table, num_frames: int, seqinfo: str) -> None:
    """A MOTChallenge-format table's frames against the sequence's seqLength (from ``seqinfo``):
    the first row beyond it is an error at its line."""
    outside = table.frames > num_frames
    if outside.any():
        row = first_row(table, outside)
        raise MotFormatError(
            path, f"frame {int(table.frames[row])} is outside the sequence's frames 1 to "
                  f"{num_frames} (seqLength of {seqinfo})", int(table.lines[row]))
