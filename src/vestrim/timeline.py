"""Timeline pictures: ground-truth tracks as rows against frames, each cell coloured by what CLEAR
made of the track in that frame, with the false positives per frame as a strip below."""

from __future__ import annotations

import math
import os
from typing import TYPE_CHECKING, Any, Literal, Optional, Union

import numpy as np

from .events import EventLog, frame_events
from .plot import matplotlib_figure

if TYPE_CHECKING:
    from matplotlib.figure import Figure

__all__ = ["plot_timeline", "timeline_figure"]

# Cell states, in the order a binned cell prefers them (the largest wins).
ABSENT, MATCHED, MISSED, SWITCHED = 0, 1, 2, 3
COLOURS = ("#ffffff", "#9ecae1", "#e6550d", "#000000")
LABELS = ("absent", "matched", "missed", "switched (identity switch)")

MAX_WIDTH, MAX_HEIGHT = 4000, 3000  # pixels of the whole picture
DPI = 100
CELL = 2  # smallest cell, in pixels
# Room around the grid (axes labels, legend, the false-positive strip), in pixels.
MARGIN_X, MARGIN_TOP, STRIP, MARGIN_BOTTOM = 180, 120, 160, 70


def _bin(count: int, room: int) -> int:
    """How many tracks or frames one cell holds so that `count` of them fit `room` pixels."""
    return max(1, math.ceil(count * CELL / room)) if count * CELL > room else 1


def timeline_figure(log: EventLog, *, frames: Optional[tuple[int, int]] = None,
                    title: Optional[str] = None) -> "Figure":
    """The timeline of an event log. ``frames`` = (first, last) frame number to span (by default
    the log's own; events outside are left out). Ground-truth tracks are rows in order of first
    appearance."""
    figure_class = matplotlib_figure("plot_timeline()")
    from matplotlib.colors import ListedColormap
    from matplotlib.patches import Patch
    from matplotlib.ticker import MaxNLocator

    if frames is None:
        frames = (int(log.frame.min()), int(log.frame.max())) if len(log) else (0, 0)
    first, last = frames
    num_frames = max(1, last - first + 1)
    shown = (log.frame >= first) & (log.frame <= last)
    kind = log.kind
    codes = {name: code for code, name in enumerate(EventLog.KINDS)}
    on_track = np.isin(kind, [codes["MATCH"], codes["SWITCH"], codes["MISS"]]) & shown
    state_of_kind = np.zeros(len(EventLog.KINDS), dtype=np.uint8)
    state_of_kind[[codes["MATCH"], codes["SWITCH"], codes["MISS"]]] = [MATCHED, SWITCHED, MISSED]

    track_ids, first_seen = np.unique(log.gt_id[on_track], return_index=True)
    order = np.argsort(first_seen, kind="stable")
    rank = np.empty(len(track_ids), dtype=np.int64)
    rank[order] = np.arange(len(track_ids), dtype=np.int64)
    num_tracks = max(1, len(track_ids))

    frames_per_cell = _bin(num_frames, MAX_WIDTH - MARGIN_X)
    tracks_per_cell = _bin(num_tracks, MAX_HEIGHT - MARGIN_TOP - STRIP - MARGIN_BOTTOM)
    cols = -(-num_frames // frames_per_cell)
    rows = -(-num_tracks // tracks_per_cell)

    grid = np.zeros((rows, cols), dtype=np.uint8)
    row = rank[np.searchsorted(track_ids, log.gt_id[on_track])] // tracks_per_cell
    col = (log.frame[on_track] - first) // frames_per_cell
    np.maximum.at(grid, (row, col), state_of_kind[kind[on_track]])
    fp = (kind == codes["FP"]) & shown
    fp_per_cell = np.bincount((log.frame[fp] - first) // frames_per_cell, minlength=cols)[:cols]

    grid_w = min(MAX_WIDTH - MARGIN_X, max(600, cols * CELL * max(1, 600 // (cols * CELL))))
    grid_h = min(MAX_HEIGHT - MARGIN_TOP - STRIP - MARGIN_BOTTOM, max(240, rows * CELL * max(1, 240 // (rows * CELL))))
    width, height = grid_w + MARGIN_X, grid_h + MARGIN_TOP + STRIP + MARGIN_BOTTOM
    fig: Figure = figure_class(figsize=(width / DPI, height / DPI), dpi=DPI)
    left, right = 110 / width, 1 - 70 / width
    bottom_strip = MARGIN_BOTTOM / height
    ax_fp = fig.add_axes((left, bottom_strip, right - left, (STRIP - 30) / height))
    ax = fig.add_axes((left, (MARGIN_BOTTOM + STRIP) / height, right - left, grid_h / height), sharex=ax_fp)

    x0, x1 = first - 0.5, first + cols * frames_per_cell - 0.5
    ax.imshow(grid, cmap=ListedColormap(COLOURS), vmin=0, vmax=3, interpolation="nearest", aspect="auto",
              extent=(x0, x1, rows * tracks_per_cell - 0.5, -0.5))
    ax.tick_params(labelbottom=False)
    if len(track_ids) <= 40 and tracks_per_cell == 1:
        ax.set_yticks(np.arange(len(track_ids)), [str(i) for i in track_ids[order]], fontsize="small")
        ax.set_ylabel("ground-truth id")
        ax.hlines(np.arange(len(track_ids) - 1) + 0.5, x0, x1, colors="white", linewidth=1)
    else:
        ax.set_ylabel("ground-truth tracks (order of first appearance)")
    ax.set_xlim(x0, x1)

    centres = first + np.arange(cols) * frames_per_cell + (frames_per_cell - 1) / 2
    ax_fp.bar(centres, fp_per_cell, width=frames_per_cell, color="#756bb1", linewidth=0)
    ax_fp.set_ylabel("FP" if frames_per_cell == 1 else f"FP per\n{frames_per_cell} frames", fontsize="small")
    ax_fp.set_xlabel("frame")
    ax_fp.xaxis.set_major_locator(MaxNLocator(integer=True))
    ax_fp.yaxis.set_major_locator(MaxNLocator(integer=True, nbins=4))
    ax_fp.set_ylim(0, max(1, int(fp_per_cell.max()) if cols else 1))

    binning = []
    if frames_per_cell > 1:
        binning.append(f"1 column = {frames_per_cell} frames")
    if tracks_per_cell > 1:
        binning.append(f"1 row = {tracks_per_cell} tracks")
    legend_title = ("; ".join(binning) + "; a cell shows the worst state in it (switched > missed > matched)"
                    if binning else None)
    fig.legend(handles=[Patch(facecolor=c, edgecolor="#888888", label=label) for c, label in zip(COLOURS, LABELS)],
               loc="upper left", ncols=4, fontsize="small", title=legend_title, title_fontsize="small",
               alignment="left", bbox_to_anchor=(left - 10 / width, 1 - 52 / height), frameon=False)
    counts = log.counts()
    heading = (f"{num_tracks if len(track_ids) else 0} tracks, {num_frames} frames: "
               f"{counts['MISS']} missed, {counts['SWITCH']} switches, {counts['FP']} false positives")
    fig.text(left, 1 - 10 / height, f"{title}\n{heading}" if title else heading, va="top", fontsize="medium")
    return fig


def plot_timeline(gt_ids: Any, gt_boxes: Any, pred_ids: Any, pred_boxes: Any, *, iou_threshold: float = 0.5,
                  box_format: str = "xyxy", convention: Literal["module", "benchmark"] = "module", title: Optional[str] = None,
                  path: Union[str, "os.PathLike[str]", None] = None) -> "Figure":
    """Ground-truth tracks as rows against frames, each cell coloured matched / missed / switched
    (white where the track is absent), and the false positives per frame as a strip below; the
    matching is that of ``frame_events`` with the same arguments. At most 4,000 x 3,000 pixels:
    when tracks or frames would not fit at 2 pixels a cell, several share a cell, which shows the
    worst state among them, and the legend says how many. With ``path``, the figure is also written
    there as a PNG. Returns the ``matplotlib.figure.Figure``."""
    matplotlib_figure("plot_timeline()")
    log = frame_events(gt_ids, gt_boxes, pred_ids, pred_boxes, iou_threshold=iou_threshold, box_format=box_format,
                       convention=convention)
    fig = timeline_figure(log, frames=(0, max(0, len(gt_ids) - 1)), title=title)
    if path is not None:
        fig.savefig(os.fspath(path), format="png", dpi=DPI)
    return fig
