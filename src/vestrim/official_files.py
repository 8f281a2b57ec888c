"""The result files and tables of the benchmarks' own evaluator, byte for byte.

Per tracker and class, beside the tracker's ``data/`` folder:

* ``<class>_summary.txt``: two lines (field names, then the COMBINED values), one space between
  fields, CRLF line ends; ratios as 100 x value in ``%.5g``, counts as integers.
* ``<class>_detailed.csv``: a header, one row per sequence in sorted name order, then COMBINED;
  CRLF line ends; values as fractions, each in the shortest spelling that reads back to the same
  double (``repr``), or as plain digits where the benchmark holds an integer. Which is which shows
  in the spelling, so it follows the benchmark: per-alpha values always floats; counts always
  integers; ``Frag`` and ``MOTP_sum`` floats, except ``0`` in a sequence with nothing on one side
  (and in a COMBINED row of only such sequences); ratios floats, except ``0`` in such a sequence
  (``LocA(0)`` and ``MLR`` are ``1.0`` there), and always floats in COMBINED.
* ``<class>_plot.png`` and ``<class>_plot.pdf`` on request: the COMBINED per-alpha curves.

``format_tables`` prints the benchmark's tables: per tracker, class and family a title row
``<Family>: <name>-<class>`` with the family's summary fields, a row per sequence and COMBINED,
the first cell padded to 35 characters and every other to 10.

Each file is written beside its place and renamed over it, so that a failure leaves every file
whole (the old one, or the new one).
"""

from __future__ import annotations

import csv
import io
import os
import tempfile
from typing import Any, Callable, Iterable, Mapping, Optional

from .derived import alpha_mean, derive_hota
from .fields import (COMBINATION_LABELS, OFFICIAL_ALPHA_FIELDS, OFFICIAL_FAMILIES,
                     OFFICIAL_SUMMARY_COLUMNS, OFFICIAL_TABLE_COLUMNS, alpha_label,
                     official_detailed_columns)

__all__ = ["OfficialFileError", "format_g5", "format_float", "official_rows", "summary_text",
           "detailed_text", "format_tables", "write_tracker_files"]


# Ratios: x 100 in the summary and the tables. Everything else there is a count.
_RATIOS = frozenset(
    ("HOTA", "DetA", "AssA", "DetRe", "DetPr", "AssRe", "AssPr", "LocA", "OWTA", "HOTA(0)",
     "LocA(0)", "HOTALocA(0)", "MOTA", "MOTP", "MODA", "CLR_Re", "CLR_Pr", "MTR", "PTR", "MLR",
     "sMOTA", "CLR_F1", "FP_per_frame", "MOTAL", "IDF1", "IDR", "IDP"))
# Held as floats in a sequence with boxes on both sides, as integer 0 in one without.
_FLOAT_UNLESS_EMPTY = _RATIOS | {"Frag", "MOTP_sum"}


class OfficialFileError(OSError):
    """A result file that could not be written (the path is in the message)."""


def format_g5(value) -> str:
    """C's ``%.5g``: five significant digits, trailing zeros dropped, exponent form below 1e-4
    and from 1e5."""
    return format(value, "1.5g")


def format_float(value) -> str:
    """A detailed-file value: the shortest spelling of a float that reads back to it, digits for
    an integer."""
    return repr(value) if isinstance(value, float) else str(value)


def _is_empty(result) -> bool:
    """Whether a sequence had nothing on one side, after the protocol's removals."""
    return result.count.num_gt == 0 or result.count.num_pred == 0


def _hota_values(h) -> dict:
    derived = derive_hota(h)
    curves = {  # every field of OFFICIAL_ALPHA_FIELDS
        "HOTA": h.hota_alphas, "DetA": h.deta_alphas, "AssA": h.assa_alphas,
        "DetRe": derived.det_re_alphas, "DetPr": derived.det_pr_alphas,
        "AssRe": h.ass_re_alphas, "AssPr": h.ass_pr_alphas, "LocA": h.loca_alphas,
        "OWTA": derived.owta_alphas, "HOTA_TP": h.hota_tp_alphas, "HOTA_FN": h.hota_fn_alphas,
        "HOTA_FP": h.hota_fp_alphas,
    }
    labels = [alpha_label(a) for a in h.alphas]
    out: dict[str, Any] = {
        "HOTA(0)": h.hota_alphas[0], "LocA(0)": h.loca_alphas[0],
        "HOTALocA(0)": h.hota_alphas[0] * h.loca_alphas[0],
    }
    for name in OFFICIAL_ALPHA_FIELDS:
        values = [float(v) for v in curves[name]]
        for label, v in zip(labels, values):
            out[f"{name}___{label}"] = v
        auc = alpha_mean(values)
        out[f"{name}___AUC"] = auc
        out[name] = auc  # the summary's value: the mean over the alphas
    return out


def _clear_values(c, extra) -> dict:
    return {
        "MOTA": c.mota, "MOTP": c.motp, "MODA": c.moda, "CLR_Re": c.clr_re, "CLR_Pr": c.clr_pr,
        "MTR": extra.mtr, "PTR": extra.ptr, "MLR": extra.mlr, "sMOTA": c.smota,
        "CLR_F1": extra.clr_f1, "FP_per_frame": extra.fp_per_frame, "MOTAL": c.motal,
        "MOTP_sum": extra.motp_sum, "CLR_TP": c.num_matches, "CLR_FN": c.num_misses,
        "CLR_FP": c.num_false_positives, "IDSW": c.num_switches, "MT": c.mt, "PT": c.pt,
        "ML": c.ml, "Frag": float(c.frag), "CLR_Frames": extra.clr_frames,
    }


def _identity_values(i) -> dict:
    return {"IDF1": i.idf1, "IDR": i.idr, "IDP": i.idp, "IDTP": i.idtp, "IDFN": i.idfn,
            "IDFP": i.idfp}


def _count_values(n) -> dict:
    return {"Dets": n.num_pred, "GT_Dets": n.num_gt, "IDs": n.num_pred_ids,
            "GT_IDs": n.num_gt_ids}


def _row_values(result, families, held_as_floats: bool) -> dict:
    """Every field of one row, as the benchmark holds it: ``held_as_floats`` False for a sequence
    with nothing on one side (its ratios, Frag and MOTP_sum are integer zeros there)."""
    values: dict[str, Any] = {}
    if "hota" in families:
        values.update(_hota_values(result.hota))
    if "clear" in families:
        values.update(_clear_values(result.clear, result.derived_clear()))
    if "identity" in families:
        values.update(_identity_values(result.identity))
    values.update(_count_values(result.count))
    for name, value in values.items():
        if name in _FLOAT_UNLESS_EMPTY:
            values[name] = float(value) if held_as_floats or value != 0 else 0
        elif name not in _RATIOS:
            values[name] = value if isinstance(value, float) else int(value)
    return values


def _families(families) -> list:
    chosen = set(families) | {"count"}
    return [f for f, _ in OFFICIAL_FAMILIES if f in chosen]


def official_rows(tracker, families) -> list:
    """(row name, {field: value}) of every sequence in sorted name order, then COMBINED."""
    families = _families(families)
    sequences = sorted(tracker.sequences, key=lambda s: s.name)
    rows = [(s.name, _row_values(s, families, not _is_empty(s))) for s in sequences]
    combined = _row_values(tracker.combined, families, True)
    if sequences and all(_is_empty(s) for s in sequences):
        for name in ("Frag", "MOTP_sum"):
            if name in combined:
                combined[name] = 0
    rows.append(("COMBINED", combined))
    return rows


def _summary_cell(name: str, value) -> str:
    return format_g5(100 * value) if name in _RATIOS else "%d" % value


def summary_text(tracker, families) -> str:
    """``<class>_summary.txt``: the summary fields and the COMBINED values."""
    names = [n for f in _families(families) for n in OFFICIAL_SUMMARY_COLUMNS[f]]
    combined = official_rows(tracker, families)[-1][1]
    return (" ".join(names) + "\r\n"
            + " ".join(_summary_cell(n, combined[n]) for n in names) + "\r\n")


def detailed_text(tracker, families) -> str:
    """``<class>_detailed.csv``: every sequence in sorted order, then COMBINED."""
    rows = official_rows(tracker, families)
    hota = getattr(tracker.combined, "hota", None)
    alphas = hota.alphas if hota is not None else ()
    names = [n for f in _families(families) for n in official_detailed_columns(f, alphas)]
    buffer = io.StringIO()
    writer = csv.writer(buffer, lineterminator="\r\n")
    writer.writerow(["seq", *names])
    for row_name, values in rows:
        writer.writerow([row_name, *(format_float(values[n]) for n in names)])
    return buffer.getvalue()


def official_entries(result) -> list:
    """The (tracker, class) entries the benchmark evaluator reports: each class on its own (the
    combinations of a tracker's classes are vestrim's)."""
    return [t for t in result.trackers if t.class_name not in COMBINATION_LABELS]


def _table_line(cells) -> str:
    return "%-35s" % cells[0] + "".join("%-10s" % c for c in cells[1:])


def format_tables(result, display_names: Optional[Mapping[str, str]] = None) -> str:
    """The benchmark's printed tables for every (tracker, class) of a ``BenchmarkResult``: per
    family a title row, a row per sequence (sorted) and COMBINED, each table after an empty
    line. ``display_names`` maps a tracker's name to the name its titles show."""
    lines: list[str] = []
    families = _families(result.metrics)
    for t in official_entries(result):
        name = (display_names or {}).get(t.tracker, t.tracker)
        label = f"{name}-{t.class_name}" if t.class_name is not None else name
        rows = official_rows(t, result.metrics)
        for family, title in OFFICIAL_FAMILIES:
            if family not in families:
                continue
            fields = OFFICIAL_TABLE_COLUMNS[family]
            lines.append("")
            lines.append(_table_line([f"{title}: {label}", *fields]))
            for row_name, values in rows:
                lines.append(_table_line([row_name, *(_summary_cell(n, values[n])
                                                      for n in fields)]))
    return "\n".join(lines) + "\n" if lines else ""


# --- writing ------------------------------------------------------------------------------------

def _atomic_write(path: str, write: Callable[[Any], None]) -> None:
    """Calls ``write(binary file)`` on a new file beside ``path`` and renames it over ``path``."""
    folder = os.path.dirname(path) or "."
    try:
        os.makedirs(folder, exist_ok=True)
        fd, temporary = tempfile.mkstemp(dir=folder, prefix=f".{os.path.basename(path)}.",
                                         suffix=".tmp")
    except OSError as e:
        raise OfficialFileError(f"cannot write {path}: {e.strerror or e}") from None
    try:
        with os.fdopen(fd, "wb") as f:
            write(f)
            f.flush()
            os.fsync(f.fileno())
        umask = os.umask(0)
        os.umask(umask)
        os.chmod(temporary, 0o666 & ~umask)
        os.replace(temporary, path)
    except BaseException as e:
        try:
            os.unlink(temporary)
        except OSError:
            pass
        if isinstance(e, OSError):
            raise OfficialFileError(f"cannot write {path}: {e.strerror or e}") from None
        raise


def _write_text(path: str, text: str) -> None:
    data = text.encode("utf-8")
    _atomic_write(path, lambda f: f.write(data))


PLOT_CURVES = (  # (field, colour, line style); OWTA is not drawn
    ("HOTA", "r", "-"), ("DetA", "b", "-"), ("AssA", "g", "-"), ("DetRe", "b", "--"),
    ("DetPr", "b", ":"), ("AssRe", "g", "--"), ("AssPr", "g", ":"), ("LocA", "m", "-"))


def _plot_figure(tracker, display_name: str) -> Any:
    from .plot import matplotlib_figure
    figure_class = matplotlib_figure("the result plots")
    hota = tracker.combined.hota
    values = _hota_values(hota)
    labels = [alpha_label(a) for a in hota.alphas]
    fig = figure_class(figsize=(6.4, 4.8), dpi=100)
    ax = fig.subplots()
    for field, colour, style in PLOT_CURVES:
        ax.plot(list(hota.alphas), [values[f"{field}___{label}"] for label in labels],
                color=colour, linestyle=style,
                label=f"{field} ({round(values[f'{field}___AUC'], 2)})")
    ax.set_xlabel("alpha")
    ax.set_ylabel("score")
    ax.set_title(f"{display_name} - {tracker.class_name}")
    ax.set_xlim(0, 1)
    ax.set_ylim(0, 1)
    ax.legend(loc="lower left")
    return fig


def write_tracker_files(folder: str, tracker, families, *, plots: bool = False,
                        display_name: Optional[str] = None) -> list:
    """Writes one (tracker, class)'s summary and detailed files (and, with ``plots``, its plot
    files) into ``folder``; returns the paths written. Raises ``OfficialFileError`` naming the
    first path that could not be written (the files written before it stay whole)."""
    name = tracker.class_name
    written = []
    for suffix, text in (("summary.txt", summary_text(tracker, families)),
                         ("detailed.csv", detailed_text(tracker, families))):
        path = os.path.join(folder, f"{name}_{suffix}")
        _write_text(path, text)
        written.append(path)
    if plots and "hota" in families:
        fig = _plot_figure(tracker, display_name or tracker.tracker)
        for ext in ("pdf", "png"):
            path = os.path.join(folder, f"{name}_plot.{ext}")

            def save(f: Any, ext: str = ext) -> None:
                fig.savefig(f, format=ext)
            _atomic_write(path, save)
            written.append(path)
    return written
