"""Writing a ``BenchmarkResult`` as a text table, CSV or JSON."""

from __future__ import annotations

import csv
import io

from .benchmark import ATTRIBUTES, COMBINED, FAMILIES, BenchmarkResult
from .combination import combine_clear, combine_hota, combine_identity
from .derived import derive_hota

__all__ = ["format_table", "format_csv", "format_json", "COLUMNS", "FAMILIES", "ATTRIBUTES"]

_COMBINERS = {"clear": combine_clear, "identity": combine_identity, "hota": combine_hota}
_TITLES = {"clear": "CLEAR MOT", "identity": "Identity", "hota": "HOTA", "count": "Count"}

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
        ("LocA", "loca", False), ("DetRe", "det_re", False), ("DetPr", "det_pr", False),
        ("AssRe", "ass_re", False), ("AssPr", "ass_pr", False), ("OWTA", "owta", False),
        ("HOTA(0)", "hota_0", False), ("LocA(0)", "loca_0", False),
        ("HOTALocA(0)", "hota_loca_0", False),
    ],
    "count": [
        ("Dets", "num_pred", True), ("GT_Dets", "num_gt", True), ("IDs", "num_pred_ids", True),
        ("GT_IDs", "num_gt_ids", True),
    ],
}


def _values(result, family) -> dict:
    """{attribute: value} of one family's columns (HOTA's derived columns included)."""
    metrics = getattr(result, family)
    attributes = [a for _, a, _ in COLUMNS[family]]
    if family == "hota":
        derived = derive_hota(metrics)
        return {a: getattr(derived if hasattr(derived, a) else metrics, a) for a in attributes}
    return {a: getattr(metrics, a) for a in attributes}


def _ratio(value: float, percent: bool) -> str:
    if value != value:
        return "NaN"
    return f"{value * 100:.3f}" if percent else f"{value:.4f}"


def _label(t, several_classes: bool) -> str:
    return f"{t.tracker} ({t.class_name})" if several_classes else t.tracker


def _block(title: str, first: str, header: list, rows: list) -> str:
    widths = [max(len(first), *(len(r[0]) for r in rows))]
    widths += [max(len(h), *(len(r[k + 1]) for r in rows)) for k, h in enumerate(header)]
    lines = [title, _table_line([first, *header], widths)]
    lines += [_table_line(r, widths) for r in rows]
    return "\n".join(lines)


def _table_line(cells, widths) -> str:
    first = cells[0].ljust(widths[0])
    rest = (c.rjust(w) for c, w in zip(cells[1:], widths[1:]))
    return "  ".join([first, *rest]).rstrip()


def format_table(result: BenchmarkResult, percent: bool = False) -> str:
    """One block per metric family: with one tracker a row per sequence and COMBINED; with
    several, a leaderboard with a row per (tracker, class) holding its COMBINED values."""
    families = (*result.metrics, "count")
    titles = {}
    for family in families:
        title = _TITLES[family]
        if family in ("clear", "identity"):
            title += f" (IoU threshold {result.iou_threshold:g})"
        titles[family] = title
    blocks = []
    several_classes = len({t.class_name for t in result.trackers}) > 1
    if len({t.tracker for t in result.trackers}) == 1:
        for t in result.trackers:
            suffix = f" - {t.class_name}" if several_classes else ""
            rows = [(s.name, s) for s in t.sequences] + [(COMBINED, t.combined)]
            blocks += [_family_block(titles[f] + suffix, "Sequence", f, rows, percent)
                       for f in families]
    else:
        rows = [(_label(t, several_classes), t.combined) for t in result.trackers]
        blocks += [_family_block(titles[f], "Tracker", f, rows, percent) for f in families]
    return "\n\n".join(blocks) + "\n"


def _family_block(title, first, family, rows, percent) -> str:
    header = [c[0] for c in COLUMNS[family]]
    cells = []
    for name, result in rows:
        values = _values(result, family)
        cells.append([name] + [str(values[a]) if count else _ratio(values[a], percent)
                               for _, a, count in COLUMNS[family]])
    return _block(title, first, header, cells)


# Columns the CSV adds after a family's table columns: CLEAR's extra columns (header, attribute
# of the ClearExtra, is a count) and HOTA's per-alpha counts (header, attribute of the curve).
CSV_CLEAR_EXTRA = [
    ("CLR_F1", "clr_f1", False), ("FP_per_frame", "fp_per_frame", False),
    ("MOTP_sum", "motp_sum", False), ("CLR_Frames", "clr_frames", True), ("MTR", "mtr", False),
    ("PTR", "ptr", False), ("MLR", "mlr", False),
]
CSV_HOTA_ALPHA_COUNTS = [("HOTA_TP", "hota_tp_alphas"), ("HOTA_FN", "hota_fn_alphas"),
                         ("HOTA_FP", "hota_fp_alphas")]


def _alpha_label(alpha: float) -> str:
    return str(int(round(alpha * 100)))


def _csv_header(result: BenchmarkResult, family: str) -> list:
    header = [c[0] for c in COLUMNS[family]]
    if family == "clear":
        header += [c[0] for c in CSV_CLEAR_EXTRA]
    elif family == "hota" and result.trackers:
        alphas = result.trackers[0].combined.hota.alphas
        header += [f"{name}___{_alpha_label(a)}" for name, _ in CSV_HOTA_ALPHA_COUNTS
                   for a in alphas]
    return header


def _csv_cells(r, family: str, scale: float) -> list:
    values = _values(r, family)
    cells = [values[a] if count else repr(values[a] * scale) for _, a, count in COLUMNS[family]]
    if family == "clear":
        extra = r.clear_extra
        cells += [getattr(extra, a) if count else repr(getattr(extra, a) * (
            1.0 if a == "motp_sum" or a == "fp_per_frame" else scale))
            for _, a, count in CSV_CLEAR_EXTRA]
    elif family == "hota":
        cells += [repr(float(v)) for _, a in CSV_HOTA_ALPHA_COUNTS for v in getattr(r.hota, a)]
    return cells


def format_csv(result: BenchmarkResult, percent: bool = False) -> str:
    """One row per (tracker, class, sequence) and a COMBINED row per (tracker, class): each
    family's table columns, CLEAR's extra columns and HOTA's per-alpha TP, FN and FP."""
    buffer = io.StringIO()
    writer = csv.writer(buffer, lineterminator="\n")
    families = (*result.metrics, "count")
    writer.writerow(["tracker", "class", "sequence"]
                    + [h for f in families for h in _csv_header(result, f)])
    scale = 100.0 if percent else 1.0
    for t in result.trackers:
        for name, r in [(s.name, s) for s in t.sequences] + [(COMBINED, t.combined)]:
            row = [t.tracker, t.class_name or "", name]
            for family in families:
                row += _csv_cells(r, family, scale)
            writer.writerow(row)
    return buffer.getvalue()


def format_json(result: BenchmarkResult) -> str:
    """The JSON document (ratios never scaled; null for NaN and infinities)."""
    return result.to_json()
