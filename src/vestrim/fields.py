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
           "COMBINATION_LABELS", "RESERVED_CLASS_NAMES", "CSV_COLUMNS", "CLEAR_EXTRA_COLUMNS",
           "ALPHA_COUNT_COLUMNS", "alpha_label", "OFFICIAL_FAMILIES", "OFFICIAL_SUMMARY_COLUMNS",
           "OFFICIAL_TABLE_COLUMNS", "OFFICIAL_ALPHA_FIELDS", "OFFICIAL_DETAILED_COLUMNS",
           "official_detailed_columns"]

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
        ("motp_sum", "MOTP_sum", None, _R, True), ("clr_frames", "CLR_Frames", None, _C, True)),
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
    # nuScenes 3D tracking: a class's (or the combined entry's) 17 values. A class also carries
    # 40-point curves: "confidence", "recall_hypo" and "<key>_curve" of every field but the first
    # two.
    _family(
        "nuscenes", "nuScenes tracking",
        ("amota", "AMOTA"), ("amotp", "AMOTP"), ("recall", "Recall"), ("motar", "MOTAR"),
        ("gt", "GT", None, _C), ("mota", "MOTA"), ("motp", "MOTP"), ("mt", "MT", None, _C),
        ("ml", "ML", None, _C), ("faf", "FAF"), ("tp", "TP", None, _C), ("fp", "FP", None, _C),
        ("fn", "FN", None, _C), ("ids", "IDS", None, _C), ("frag", "Frag", None, _C),
        ("tid", "TID"), ("lgd", "LGD")),
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
    "nuscenes": FAMILY["nuscenes"].fields,
}

# The CSV: the table's columns, CLEAR's derived columns after CLEAR's, and HOTA's per-alpha counts
# (ALPHA_COUNT_COLUMNS) after HOTA's.
CLEAR_EXTRA_COLUMNS = _family_columns("clear", "clr_f1", "fp_per_frame", "motp_sum",
                                      "clr_frames", "mtr", "ptr", "mlr")
CSV_COLUMNS = dict(TABLE_COLUMNS, clear=TABLE_COLUMNS["clear"] + CLEAR_EXTRA_COLUMNS)

# HOTA's per-alpha counts as columns (CSV and DataFrame): (header, attribute of the curve), one
# column per alpha, named <header>___<alpha x 100>.
ALPHA_COUNT_COLUMNS = (("HOTA_TP", "hota_tp_alphas"), ("HOTA_FN", "hota_fn_alphas"),
                       ("HOTA_FP", "hota_fp_alphas"))


def alpha_label(alpha: float) -> str:
    """The suffix of a per-alpha column: the alpha x 100 as an integer (5, 10, ..., 95)."""
    return str(int(round(alpha * 100)))

# The DataFrame: one flat order over every family, then FRAMES (the sequence length, taken from
# the first family present).
DATAFRAME_COLUMNS = _columns(
    *(("hota", k) for k in ("hota", "deta", "assa", "det_re", "det_pr", "ass_re", "ass_pr",
                            "loca", "owta", "hota_0", "loca_0", "hota_loca_0")),
    *(("clear", k) for k in ("mota", "motp", "moda", "smota", "motal", "clr_re", "clr_pr",
                             "num_matches", "num_misses", "num_false_positives", "num_switches",
                             "mt", "pt", "ml", "frag", "clr_f1", "fp_per_frame", "motp_sum",
                             "clr_frames", "mtr", "ptr", "mlr")),
    *(("identity", k) for k in ("idf1", "idr", "idp", "idtp", "idfn", "idfp")),
    *(("count", k) for k in ("num_pred", "num_gt", "num_pred_ids", "num_gt_ids")),
)
FRAMES = field("clear", "num_frames")

# The benchmark evaluator's own outputs, family by family in its family order (a family not run
# drops out, the rest keep their order). Its HOTA summary values are means over the alphas. These
# lists are column headers: most name a field declared above, the per-alpha columns are formed
# from OFFICIAL_ALPHA_FIELDS.
OFFICIAL_FAMILIES = (("hota", "HOTA"), ("clear", "CLEAR"), ("identity", "Identity"),
                     ("count", "Count"))

# <class>_summary.txt: the COMBINED row (sMOTA after Frag here).
OFFICIAL_SUMMARY_COLUMNS = {
    "hota": ("HOTA", "DetA", "AssA", "DetRe", "DetPr", "AssRe", "AssPr", "LocA", "OWTA",
             "HOTA(0)", "LocA(0)", "HOTALocA(0)"),
    "clear": ("MOTA", "MOTP", "MODA", "CLR_Re", "CLR_Pr", "MTR", "PTR", "MLR", "CLR_TP", "CLR_FN",
              "CLR_FP", "IDSW", "MT", "PT", "ML", "Frag", "sMOTA"),
    "identity": ("IDF1", "IDR", "IDP", "IDTP", "IDFN", "IDFP"),
    "count": ("Dets", "GT_Dets", "IDs", "GT_IDs"),
}

# Its printed tables (sMOTA after MLR).
OFFICIAL_TABLE_COLUMNS = dict(OFFICIAL_SUMMARY_COLUMNS, clear=(
    "MOTA", "MOTP", "MODA", "CLR_Re", "CLR_Pr", "MTR", "PTR", "MLR", "sMOTA", "CLR_TP", "CLR_FN",
    "CLR_FP", "IDSW", "MT", "PT", "ML", "Frag"))

# <class>_detailed.csv: HOTA's three scalars, then per field of OFFICIAL_ALPHA_FIELDS a column per
# alpha (<field>___5 ... <field>___95) and their mean (<field>___AUC); then the other families.
OFFICIAL_ALPHA_FIELDS = ("HOTA", "DetA", "AssA", "DetRe", "DetPr", "AssRe", "AssPr", "LocA",
                         "OWTA", "HOTA_TP", "HOTA_FN", "HOTA_FP")
OFFICIAL_DETAILED_COLUMNS = {
    "hota": ("HOTA(0)", "LocA(0)", "HOTALocA(0)"),  # then the per-alpha columns
    "clear": ("MOTA", "MOTP", "MODA", "CLR_Re", "CLR_Pr", "MTR", "PTR", "MLR", "sMOTA", "CLR_F1",
              "FP_per_frame", "MOTAL", "MOTP_sum", "CLR_TP", "CLR_FN", "CLR_FP", "IDSW", "MT",
              "PT", "ML", "Frag", "CLR_Frames"),
    "identity": OFFICIAL_SUMMARY_COLUMNS["identity"],
    "count": OFFICIAL_SUMMARY_COLUMNS["count"],
}


def official_detailed_columns(family_name: str, alphas) -> tuple:
    """The detailed file's columns of one family, for these alphas."""
    columns = OFFICIAL_DETAILED_COLUMNS[family_name]
    if family_name != "hota":
        return columns
    labels = [alpha_label(a) for a in alphas] + ["AUC"]
    return columns + tuple(f"{f}___{label}" for f in OFFICIAL_ALPHA_FIELDS for label in labels)
