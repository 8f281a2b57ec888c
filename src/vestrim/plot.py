"""HOTA curves: HOTA, DetA and AssA against the localisation threshold alpha (matplotlib)."""

from __future__ import annotations

import os
from typing import Any, Iterable, Mapping, Optional, Sequence, Union

__all__ = ["plot_hota"]

# (attribute of the per-alpha curve, panel title, attribute of the mean)
_PANELS = (("hota_alphas", "HOTA", "hota"), ("deta_alphas", "DetA", "deta"),
           ("assa_alphas", "AssA", "assa"))


def _matplotlib_figure() -> Any:
    try:
        from matplotlib.figure import Figure
    except ImportError as e:
        raise ImportError("plot_hota() needs matplotlib: pip install 'vestrim[plot]'") from e
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
              labels: Optional[Sequence[str]] = None, path: Union[str, os.PathLike, None] = None
              ) -> Any:
    """Draw HOTA, DetA and AssA against alpha, one line per result on each of three panels.

    ``results`` is one result, a list of results or a dict of label -> result; anything with
    HOTA works (``HotaMetrics``, ``EvaluationResult``, combined and benchmark results). Lines are
    labelled by ``labels`` (or the dict's keys), with each result's mean score in the legend.
    With ``path``, the figure is also written there as a PNG. Returns the
    ``matplotlib.figure.Figure``.
    """
    Figure = _matplotlib_figure()
    if isinstance(results, Mapping):
        if labels is None:
            labels = [str(k) for k in results.keys()]
        results = list(results.values())
    elif hasattr(results, "hota") or hasattr(results, "hota_alphas"):
        results = [results]
    else:
        results = list(results)
    curves = [hota_of(r) for r in results]
    if labels is None:
        labels = ["result"] if len(curves) == 1 else [f"result {k}" for k in range(1, len(curves) + 1)]
    labels = [str(label) for label in labels]
    if len(labels) != len(curves):
        raise ValueError(f"plot_hota() got {len(labels)} labels for {len(curves)} results")

    fig = Figure(figsize=(15, 4.8), layout="constrained")
    axes = fig.subplots(1, len(_PANELS), sharey=True)
    for ax, (curve, title, mean) in zip(axes, _PANELS):
        for label, h in zip(labels, curves):
            ax.plot(list(h.alphas), list(getattr(h, curve)), marker="o", markersize=3,
                    linewidth=1.5, label=f"{label} ({getattr(h, mean) * 100:.2f})")
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
