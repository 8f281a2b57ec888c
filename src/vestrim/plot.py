"""HOTA curves: HOTA, DetA and AssA against the localisation threshold alpha (matplotlib)."""

from __future__ import annotations

import os
from typing import TYPE_CHECKING, Any, Iterable, Mapping, Optional, Sequence, Union

from .fields import COMBINED, field

if TYPE_CHECKING:
    from matplotlib.figure import Figure

__all__ = ["plot_hota"]

# (attribute of the per-alpha curve, panel title, attribute of the mean)
_PANELS = tuple((f"{key}_alphas", field("hota", key).header, key)
                for key in ("hota", "deta", "assa"))


def matplotlib_figure(what: str = "plot_hota()") -> Any:
    """matplotlib's Figure class, or an ImportError naming the extra that provides it."""
    try:
        from matplotlib.figure import Figure
    except ImportError as e:
        raise ImportError(f"{what} needs matplotlib: pip install 'vestrim[plot]'") from e
    return Figure


def hota_of(result: Any) -> Any:
    """The HOTA metrics a result carries: itself, or its ``hota`` member."""
    if hasattr(result, "hota_alphas"):
        return result
    hota = getattr(result, "hota", None)
    if hota is None or not hasattr(hota, "hota_alphas"):
        raise TypeError(f"plot_hota() needs results with HOTA, not {type(result).__name__!r}")
    return hota


def plot_hota(results: Union[Any, Mapping[Any, Any], Iterable[Any]],
              labels: Optional[Sequence[str]] = None,
              path: Union[str, "os.PathLike[str]", None] = None) -> "Figure":
    """Draw HOTA, DetA and AssA against alpha, one line per result on each of three panels.

    ``results`` is one result, a list of results or a dict of label -> result; anything with
    HOTA works (``HotaMetrics``, ``EvaluationResult``, combined and benchmark results). Lines are
    labelled by ``labels`` (or the dict's keys), with each result's mean score in the legend; a
    line labelled COMBINED is drawn in black. A ``BenchmarkResult`` draws the COMBINED result of
    each (tracker, class), a ``TrackerResult`` each of its sequences and COMBINED.
    With ``path``, the figure is also written there as a PNG. Returns the
    ``matplotlib.figure.Figure``.
    """
    figure_class = matplotlib_figure()
    if hasattr(results, "trackers") or hasattr(results, "tracker"):
        results, labels = _benchmark_lines(results, labels)
    if isinstance(results, Mapping):
        if labels is None:
            labels = [str(k) for k in results.keys()]
        results = list(results.values())
    elif isinstance(results, Iterable):
        results = list(results)
    else:
        results = [results]  # a single result
    curves = [hota_of(r) for r in results]
    if not curves:
        raise ValueError("plot_hota() needs at least one result")
    if labels is None:
        labels = ["result"] if len(curves) == 1 else [f"result {k}" for k in range(1, len(curves) + 1)]
    labels = [str(label) for label in labels]
    if len(labels) != len(curves):
        raise ValueError(f"plot_hota() got {len(labels)} labels for {len(curves)} results")

    fig: Figure = figure_class(figsize=(15, 4.8), layout="constrained")
    axes = fig.subplots(1, len(_PANELS), sharey=True)
    for ax, (curve, title, mean) in zip(axes, _PANELS):
        for label, h in zip(labels, curves):
            style = {"color": "black", "linewidth": 2.5} if label == COMBINED else {"linewidth": 1.5}
            ax.plot(list(h.alphas), list(getattr(h, curve)), marker="o", markersize=3,
                    label=f"{label} ({getattr(h, mean) * 100:.2f})", **style)
        ax.set_title(f"{title} against alpha")
        ax.set_xlabel("alpha (localisation threshold)")
        ax.set_ylabel(title)
        ax.set_xlim(0.0, 1.0)
        ax.set_ylim(0.0, 1.0)
        ax.grid(True, alpha=0.3)
        ax.legend(loc="best", fontsize="small", title="mean x 100", title_fontsize="small")
    axes[0].yaxis.set_tick_params(labelleft=True)
    if path is not None:
        fig.savefig(os.fspath(path), format="png", dpi=100)
    return fig


def _benchmark_lines(result: Any, labels: Optional[Sequence[str]]) -> tuple[list[Any], Sequence[str]]:
    """(results, labels) of a benchmark result (COMBINED per tracker and class) or of one
    tracker's result (each sequence, then COMBINED)."""
    if hasattr(result, "tracker"):
        rows = list(result.sequences) + [result.combined]
        return rows, labels if labels is not None else [r.name for r in rows]
    trackers = list(result.trackers)
    several_classes = len({t.class_name for t in trackers}) > 1
    if labels is None:
        labels = [f"{t.tracker} ({t.class_name})" if several_classes else t.tracker
                  for t in trackers]
    return [t.combined for t in trackers], labels


def write_benchmark_plots(result: Any, directory: Union[str, "os.PathLike[str]"]) -> list[str]:
    """Write a benchmark run's HOTA curves into ``directory`` (created if need be):
    ``<tracker>.png`` per tracker (``<tracker>_<class>.png`` when several classes were scored)
    with its sequences and COMBINED, and with several trackers ``comparison.png`` of their
    COMBINED results. Returns the paths written."""
    os.makedirs(directory, exist_ok=True)
    trackers = list(result.trackers)
    several_classes = len({t.class_name for t in trackers}) > 1
    pages = []
    for t in trackers:
        name = f"{t.tracker}_{t.class_name}" if several_classes else t.tracker
        title = f"{t.tracker} ({t.class_name})" if t.class_name else t.tracker
        pages.append((f"{name}.png", t, title))
    if len({t.tracker for t in trackers}) > 1:
        pages.append(("comparison.png", result, f"{COMBINED} of each tracker"))
    written = []
    for filename, results, title in pages:
        fig = plot_hota(results)
        fig.suptitle(f"{title}, protocol {result.protocol}")
        path = os.path.join(directory, filename)
        fig.savefig(path, format="png", dpi=100)
        written.append(path)
    return written


# nuScenes tracking: (curve, panel title) of each panel, drawn against the score threshold and
# against recall.
_NUSCENES_PANELS = (("mota", "MOTA"), ("motar", "MOTAR"), ("recall", "Recall"), ("motp", "MOTP (m)"))


def write_nuscenes_plots(result: Any, directory: Union[str, "os.PathLike[str]"]) -> list[str]:
    """Write a nuScenes run's curves into ``directory/nuscenes/`` (created if need be):
    ``<tracker>_<class>.png`` with MOTA, MOTAR, recall and MOTP against the score threshold (top
    row) and against recall (bottom row), and ``comparison_<class>.png`` with every tracker's
    MOTA against recall. Classes without ground truth are skipped. Returns the paths written."""
    import math
    Figure = matplotlib_figure("--plot")
    folder = os.path.join(directory, "nuscenes")
    os.makedirs(folder, exist_ok=True)
    written = []

    def reached(entry, name):
        points = [(c, r, v) for c, r, v in zip(entry.curves["confidence"],
                                                entry.curves["recall"], entry.curves[name])
                  if not (math.isnan(c) or math.isnan(v))]
        return [p[0] for p in points], [p[1] for p in points], [p[2] for p in points]

    by_class: dict = {}
    for entry in result.entries:
        if entry.curves is None or math.isnan(entry.values["gt"]):
            continue
        by_class.setdefault(entry.class_name, []).append(entry)
        fig = Figure(figsize=(14, 6.5))
        axes = fig.subplots(2, len(_NUSCENES_PANELS))
        for column, (name, title) in enumerate(_NUSCENES_PANELS):
            thresholds, recalls, values = reached(entry, name)
            axes[0][column].plot(thresholds, values, marker=".")
            axes[0][column].set_xlabel("score threshold")
            axes[1][column].plot(recalls, values, marker=".")
            axes[1][column].set_xlabel("recall")
            for row in (0, 1):
                axes[row][column].set_title(title)
                axes[row][column].grid(True, alpha=0.3)
        fig.suptitle(f"{entry.tracker} ({entry.class_name}): AMOTA {entry.values['amota']:.4f}, "
                     f"AMOTP {entry.values['amotp']:.4f}")
        fig.tight_layout()
        path = os.path.join(folder, f"{entry.tracker}_{entry.class_name}.png")
        fig.savefig(path, format="png", dpi=80)
        written.append(path)
    for class_name, entries in by_class.items():
        fig = Figure(figsize=(6, 4.5))
        ax = fig.subplots()
        for entry in entries:
            _, recalls, values = reached(entry, "mota")
            ax.plot(recalls, values, marker=".", label=f"{entry.tracker} "
                                                       f"(AMOTA {entry.values['amota']:.3f})")
        ax.set_xlabel("recall")
        ax.set_ylabel("MOTA")
        ax.set_title(f"{class_name}: MOTA against recall")
        ax.grid(True, alpha=0.3)
        ax.legend()
        fig.tight_layout()
        path = os.path.join(folder, f"comparison_{class_name}.png")
        fig.savefig(path, format="png", dpi=80)
        written.append(path)
    return written
