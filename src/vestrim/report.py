"""Writing a ``BenchmarkResult`` as a text table, CSV or JSON."""

from __future__ import annotations

import csv
import io

from .benchmark.result import BenchmarkResult
from .derived import field_values
from .fields import (ALPHA_COUNT_COLUMNS, ATTRIBUTES, COMBINED, CSV_COLUMNS, FAMILIES, FAMILY,
                     TABLE_COLUMNS, alpha_label)

__all__ = ["format_table", "format_csv", "format_json", "FAMILIES", "ATTRIBUTES"]


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
        title = FAMILY[family].title
        if family in ("clear", "identity"):
            title += f" (IoU threshold {result.iou_threshold:g})"
        titles[family] = title
    blocks = []
    several_classes = len({t.class_name for t in result.trackers}) > 1
    if len({t.tracker for t in result.trackers}) == 1:
        for t in result.trackers:
            suffix = f" - {t.class_name}" if several_classes else ""
            if not t.sequences:  # a combination of the tracker's classes
                suffix = f" - {t.tracker} - {t.class_name}"
            rows = [(s.name, s) for s in t.sequences] + [(COMBINED, t.combined)]
            blocks += [_family_block(titles[f] + suffix, "Sequence", f, rows, percent)
                       for f in families]
    else:
        rows = [(_label(t, several_classes), t.combined) for t in result.trackers]
        blocks += [_family_block(titles[f], "Tracker", f, rows, percent) for f in families]
    return "\n\n".join(blocks) + "\n"


def _family_block(title, first, family, rows, percent) -> str:
    columns = TABLE_COLUMNS[family]
    cells = []
    for name, result in rows:
        values = field_values(getattr(result, family), family, getattr(result, "derived", None))
        cells.append([name] + [str(values[c.key]) if c.count else _ratio(values[c.key], percent)
                               for c in columns])
    return _block(title, first, [c.table_header for c in columns], cells)


# CLEAR's derived columns that are not shares: never scaled by --percent.
_UNSCALED = frozenset(("motp_sum", "fp_per_frame"))


def _csv_header(result: BenchmarkResult, family: str) -> list:
    header = [c.header for c in CSV_COLUMNS[family]]
    if family == "hota" and result.trackers:
        alphas = result.trackers[0].combined.hota.alphas
        header += [f"{name}___{alpha_label(a)}" for name, _ in ALPHA_COUNT_COLUMNS for a in alphas]
    return header


def _csv_cells(r, family: str, scale: float) -> list:
    values = field_values(getattr(r, family), family, r.derived)
    cells = [values[c.key] if c.count else repr(values[c.key] * (1.0 if c.key in _UNSCALED
                                                                 else scale))
             for c in CSV_COLUMNS[family]]
    if family == "hota":
        cells += [repr(float(v)) for _, key in ALPHA_COUNT_COLUMNS for v in values[key]]
    return cells


def format_csv(result: BenchmarkResult, percent: bool = False) -> str:
    """One row per (tracker, class, sequence) and a COMBINED row per (tracker, class): each
    family's table columns, CLEAR's derived columns and HOTA's per-alpha TP, FN and FP."""
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
