"""Every field of a result, declared once, and the column order of each output.

A metric family is declared as a ``Family``: its name, its title, and its fields in JSON order.
Each ``Field`` names the attribute the value is read from (which is also its JSON key), one
machine-readable column header (the benchmarks' name where they have one), the shorter header a
text table prints where it has one, whether the value is a count (printed as an integer, never
scaled by ``--percent``), and whether it is derived (see ``vestrim.derived``: HOTA's from its
per-alpha values, CLEAR's from its counts) rather than read off the metrics object.

The outputs (text table, CSV, JSON, DataFrame, plots) read these declarations and the named column
orders below; none spells a header or a key of its own. A new family (or a new field of an existing
one) is one declaration here, and a new output is one more named column order.

This module imports nothing from the package.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Optional

__all__ = ["Field", "Family", "FAMILY", "FAMILIES", "COMBINED", "ATTRIBUTES", "TABLE_COLUMNS",
           "DATAFRAME_COLUMNS", "FRAMES", "field", "CLASS_AVERAGED", "DETECTION_AVERAGED",
           "COMBINATION_LABELS", "RESERVED_CLASS_NAMES"]

# The row that holds the combination of a run's sequences.
COMBINED = "COMBINED"

# The class of the entries that combine a tracker's classes (see vestrim.combination): the
# class-averaged and detection-averaged combinations, then the super-categories a protocol
# defines. Such an entry has no sequences, only COMBINED.
CLASS_AVERAGED = "cls_comb_cls_av"
DETECTION_AVERAGED = "cls_comb_det_av"
COMBINATION_LABELS = (CLASS_AVERAGED, DETECTION_AVERAGED, "HUMAN", "VEHICLE", "BIKE")
# Names a caller may not give a class (compared lower-cased).
RESERVED_CLASS_NAMES = ("combined", *(label.lower() for label in COMBINATION_LABELS))


@dataclass(frozen=True)
class Field:
    family: str
    key: str                 # attribute of the metrics object, and JSON key
    header: Optional[str]    # column header (CSV, DataFrame); None: never a column
    abbreviation: Optional[str] = None  # the text table's header, where shorter than `header`
    count: bool = False      # an integer count (never scaled to percent)
    derived: bool = False    # computed by vestrim.derived (unless a result holds its own)

    @property
    def table_header(self) -> str:
        return self.abbreviation or self.header or self.key


@dataclass(frozen=True)
class Family:
    name: str
    title: str
    fields: tuple  # Field, in JSON order

    @property
    def keys(self) -> list:
        """The JSON keys read off the metrics object itself, in order (derived ones excluded)."""
        return [f.key for f in self.fields if not f.derived]

    @property
    def derived_keys(self) -> list:
        return [f.key for f in self.fields if f.derived]


def _family(name: str, title: str, *fields: tuple) -> Family:
    """A family from (key, header, abbreviation, count, derived) tuples, trailing ones optional."""
    return Family(name, title, tuple(Field(name, *f) for f in fields))


_C, _R = True, False  # count, ratio

# Every family, by name.
FAMILY = {f.name: f for f in [
    _family(
        "clear", "CLEAR MOT",
        ("mota", "MOTA"), ("motp", "MOTP"), ("moda", "MODA"), ("smota", "sMOTA"),
        ("motal", "MOTAL"), ("clr_re", "CLR_Re"), ("clr_pr", "CLR_Pr"),
        ("num_frames", "Frames", None, _C), ("num_gt", "CLR_GT", "GT", _C),
        ("num_matches", "CLR_TP", "TP", _C), ("num_false_positives", "CLR_FP", "FP", _C),
        ("num_misses", "CLR_FN", "FN", _C), ("num_switches", "IDSW", None, _C),
        ("mt", "MT", None, _C), ("pt", "PT", None, _C), ("ml", "ML", None, _C),
        ("frag", "Frag", None, _C), ("frag_present_only", None, None, _C),
        ("track_ratios", None),
        ("mtr", "MTR", None, _R, True), ("ptr", "PTR", None, _R, True),
        ("mlr", "MLR", None, _R, True), ("clr_f1", "CLR_F1", None, _R, True),
        ("fp_per_frame", "FP_per_frame", None, _R, True),
        ("motp_sum", "MOTP_sum", None, _R, True)),
    _family(
        "identity", "Identity",
        ("idf1", "IDF1"), ("idp", "IDP"), ("idr", "IDR"), ("idtp", "IDTP", None, _C),
        ("idfp", "IDFP", None, _C), ("idfn", "IDFN", None, _C), ("num_frames", None, None, _C),
        ("num_gt", None, None, _C), ("num_pred", None, None, _C)),
    _family(
        "hota", "HOTA",
        ("hota", "HOTA"), ("deta", "DetA"), ("assa", "AssA"), ("loca", "LocA"),
        ("alphas", None), ("hota_alphas", None), ("deta_alphas", None), ("assa_alphas", None),
        ("loca_alphas", None), ("hota_tp_alphas", None), ("hota_fn_alphas", None),
        ("hota_fp_alphas", None), ("ass_re_alphas", None), ("ass_pr_alphas", None),
        ("num_frames", None, None, _C), ("num_gt", None, None, _C), ("num_pred", None, None, _C),
        ("det_re", "DetRe", None, _R, True), ("det_pr", "DetPr", None, _R, True),
        ("ass_re", "AssRe", None, _R, True), ("ass_pr", "AssPr", None, _R, True),
        ("owta", "OWTA", None, _R, True), ("hota_0", "HOTA(0)", None, _R, True),
        ("loca_0", "LocA(0)", None, _R, True), ("hota_loca_0", "HOTALocA(0)", None, _R, True),
        ("det_re_alphas", None, None, _R, True), ("det_pr_alphas", None, None, _R, True),
        ("owta_alphas", None, None, _R, True)),
    # Detections and distinct ids scored on each side, after the protocol's removals.
    _family(
        "count", "Count",
        ("num_gt", "GT_Dets", None, _C), ("num_pred", "Dets", None, _C),
        ("num_gt_ids", "GT_IDs", None, _C), ("num_pred_ids", "IDs", None, _C)),
]}

# The metric families a run can be asked for, in output order ("count" is always given).
FAMILIES = ("clear", "identity", "hota")

# The JSON keys of each family read off its metrics object, in order.
ATTRIBUTES = {name: f.keys for name, f in FAMILY.items()}


def field(family_name: str, key: str) -> Field:
    for f in FAMILY[family_name].fields:
        if f.key == key:
            return f
    raise KeyError(f"{family_name} has no field {key!r}")


def _columns(*spec: tuple) -> tuple:
    return tuple(field(family_name, key) for family_name, key in spec)


def _family_columns(family_name: str, *keys: str) -> tuple:
    return _columns(*((family_name, k) for k in keys))


# The text table and the CSV: per family, its columns in this order (families in the run's order,
# then "count").
TABLE_COLUMNS = {
    "clear": _family_columns("clear", "mota", "motp", "moda", "smota", "motal", "clr_re",
                             "clr_pr", "num_gt", "num_matches", "num_false_positives",
                             "num_misses", "num_switches", "mt", "pt", "ml", "frag",
                             "num_frames"),
    "identity": _family_columns("identity", "idf1", "idp", "idr", "idtp", "idfp", "idfn"),
    "hota": _family_columns("hota", "hota", "deta", "assa", "loca", "det_re", "det_pr",
                            "ass_re", "ass_pr", "owta", "hota_0", "loca_0", "hota_loca_0"),
    "count": _family_columns("count", "num_pred", "num_gt", "num_pred_ids", "num_gt_ids"),
}

# The DataFrame: one flat order over every family, then FRAMES (the sequence length, taken from
# the first family present).
DATAFRAME_COLUMNS = _columns(
    *(("hota", k) for k in ("hota", "deta", "assa", "det_re", "det_pr", "ass_re", "ass_pr",
                            "loca", "owta", "hota_0", "loca_0", "hota_loca_0")),
    *(("clear", k) for k in ("mota", "motp", "moda", "smota", "motal", "clr_re", "clr_pr",
                             "num_matches", "num_misses", "num_false_positives", "num_switches",
                             "mt", "pt", "ml", "frag")),
    *(("identity", k) for k in ("idf1", "idr", "idp", "idtp", "idfn", "idfp")),
    *(("count", k) for k in ("num_pred", "num_gt", "num_pred_ids", "num_gt_ids")),
)
FRAMES = field("clear", "num_frames")
