"""Results as plain data: pickling, dictionaries and DataFrames.

Every result class of the extension pickles and copies (``pickle``, ``copy.deepcopy``, process
pools): the reductions are registered here through ``copyreg`` and the objects are rebuilt
natively, checked field by field, as instances of the very classes of ``vestrim._vestrim``. An
``Accumulator`` pickles with its whole state and continues exactly where it was.

``asdict`` turns any result into nested dicts of plain Python values, keyed as the command line's
JSON output; ``to_dataframe`` lays several results out as one benchmark-style table (pandas).
"""

from __future__ import annotations

import copyreg
import math
from typing import Any, Callable, Iterable, Mapping, Optional, Sequence, Union

from . import _native, _vestrim
from .combination import CombinedClear, CombinedHota, CombinedIdentity, CombinedResult

__all__ = ["asdict", "to_dataframe", "dataframe_columns"]

# Every class of the extension that holds data; each is rebuilt by vestrim._native.
PICKLED_CLASSES = (
    _vestrim.ClearMetrics, _vestrim.IdentityMetrics, _vestrim.HotaMetrics,
    _vestrim.EvaluationResult, _vestrim.AccumulatorResult, _vestrim.Matching,
    _vestrim.QuorvantixSwitchEvents, _vestrim.Mask, _vestrim.Accumulator,
)
for _cls in PICKLED_CLASSES:
    copyreg.pickle(_cls, _native.reduce)
del _cls

# The keys of each metric family, in the command line's JSON order.
CLEAR_KEYS = ("mota", "motp", "moda", "smota", "motal", "clr_re", "clr_pr", "num_frames", "num_gt",
              "num_matches", "num_false_positives", "num_misses", "num_switches", "mt", "pt", "ml",
              "frag", "frag_present_only", "track_ratios")
IDENTITY_KEYS = ("idf1", "idp", "idr", "idtp", "idfp", "idfn", "num_frames", "num_gt", "num_pred")
HOTA_KEYS = ("hota", "deta", "assa", "loca", "alphas", "hota_alphas", "deta_alphas", "assa_alphas",
             "loca_alphas", "hota_tp_alphas", "hota_fn_alphas", "hota_fp_alphas", "ass_re_alphas",
             "ass_pr_alphas", "num_frames", "num_gt", "num_pred")

_CLEAR_TYPES = (_vestrim.ClearMetrics, CombinedClear)
_IDENTITY_TYPES = (_vestrim.IdentityMetrics, CombinedIdentity)
_HOTA_TYPES = (_vestrim.HotaMetrics, CombinedHota)
_FAMILY_TYPES = (_vestrim.EvaluationResult, _vestrim.AccumulatorResult, CombinedResult)


def _plain(value: Any) -> Any:
    if isinstance(value, (list, tuple)):
        return [_plain(v) for v in value]
    return value


def _family(metrics: Any, keys: Sequence[str]) -> dict:
    return {key: _plain(getattr(metrics, key)) for key in keys}


def _hota_dict(metrics: Any) -> dict:
    out = _family(metrics, HOTA_KEYS)
    out.update(_hota_derived(metrics))
    return out


def _families(result: Any) -> dict:
    """{family: dict} of a result holding ``clear``/``identity``/``hota`` members."""
    out = {"clear": _family(result.clear, CLEAR_KEYS),
           "identity": _family(result.identity, IDENTITY_KEYS)}
    hota = getattr(result, "hota", None)
    if hota is not None:
        out["hota"] = _hota_dict(hota)
    return out


def asdict(result: Any) -> dict:
    """A result as nested dicts of plain Python values (floats, ints, strings, lists).

    Metric families are keyed as in the command line's JSON output (HOTA with its derived
    columns), and results holding several families give one dict per family. ``Matching`` and
    ``QuorvantixSwitchEvents`` give their attributes, ``Mask`` its COCO dict
    ``{"size": [h, w], "counts": str}``. NaN stays a float NaN. Raises ``TypeError`` for anything
    else.
    """
    if isinstance(result, _CLEAR_TYPES):
        return _family(result, CLEAR_KEYS)
    if isinstance(result, _IDENTITY_TYPES):
        return _family(result, IDENTITY_KEYS)
    if isinstance(result, _HOTA_TYPES):
        return _hota_dict(result)
    if isinstance(result, _FAMILY_TYPES):
        return _families(result)
    if isinstance(result, _vestrim.Matching):
        return _family(result, ("matches", "scores", "unmatched_a", "unmatched_b"))
    if isinstance(result, _vestrim.QuorvantixSwitchEvents):
        return _family(result, ("num_transfer", "num_ascend", "num_migrate"))
    if isinstance(result, _vestrim.Mask):
        return {"size": list(result.size), "counts": result.to_coco()}
    raise TypeError(f"asdict() expects a vestrim result, not {type(result).__name__!r}")


# ---------------------------------------------------------------------------------------------
# HOTA's derived columns

def _mean(values: Sequence[float]) -> float:
    total = 0.0
    for v in values:
        total += v
    return total / len(values)


def _hota_derived(h: Any) -> dict:
    tp, fn, fp = h.hota_tp_alphas, h.hota_fn_alphas, h.hota_fp_alphas
    det_re = [t / max(1.0, t + n) for t, n in zip(tp, fn)]
    det_pr = [t / max(1.0, t + p) for t, p in zip(tp, fp)]
    owta = [math.sqrt(r * a) for r, a in zip(det_re, h.assa_alphas)]
    return {
        "det_re": _mean(det_re), "det_pr": _mean(det_pr), "ass_re": _mean(h.ass_re_alphas),
        "ass_pr": _mean(h.ass_pr_alphas), "owta": _mean(owta), "hota_0": h.hota_alphas[0],
        "loca_0": h.loca_alphas[0], "hota_loca_0": h.hota_alphas[0] * h.loca_alphas[0],
        "det_re_alphas": det_re, "det_pr_alphas": det_pr, "owta_alphas": owta,
    }


# ---------------------------------------------------------------------------------------------
# DataFrames

# (column, family, key) in benchmark-table order; the keys are those of ``asdict``.
COLUMNS = (
    ("HOTA", "hota", "hota"), ("DetA", "hota", "deta"), ("AssA", "hota", "assa"),
    ("DetRe", "hota", "det_re"), ("DetPr", "hota", "det_pr"), ("AssRe", "hota", "ass_re"),
    ("AssPr", "hota", "ass_pr"), ("LocA", "hota", "loca"), ("OWTA", "hota", "owta"),
    ("HOTA(0)", "hota", "hota_0"), ("LocA(0)", "hota", "loca_0"),
    ("HOTALocA(0)", "hota", "hota_loca_0"),
    ("MOTA", "clear", "mota"), ("MOTP", "clear", "motp"), ("MODA", "clear", "moda"),
    ("sMOTA", "clear", "smota"), ("MOTAL", "clear", "motal"), ("CLR_Re", "clear", "clr_re"),
    ("CLR_Pr", "clear", "clr_pr"), ("CLR_TP", "clear", "num_matches"),
    ("CLR_FN", "clear", "num_misses"), ("CLR_FP", "clear", "num_false_positives"),
    ("IDSW", "clear", "num_switches"), ("MT", "clear", "mt"), ("PT", "clear", "pt"),
    ("ML", "clear", "ml"), ("Frag", "clear", "frag"),
    ("IDF1", "identity", "idf1"), ("IDR", "identity", "idr"), ("IDP", "identity", "idp"),
    ("IDTP", "identity", "idtp"), ("IDFN", "identity", "idfn"), ("IDFP", "identity", "idfp"),
    ("Dets", "count", "num_pred"), ("GT_Dets", "count", "num_gt"), ("IDs", "count", "num_pred_ids"),
    ("GT_IDs", "count", "num_gt_ids"),
)


def dataframe_columns(result: Any) -> dict:
    """One result's row of ``to_dataframe``: {column: value} for the families it has, and
    ``Frames``. No per-alpha lists."""
    data = asdict(result)
    if not any(f in data for f in ("clear", "identity", "hota")):
        data = {_family_of(result): data}
    row = {column: data[family][key] for column, family, key in COLUMNS if family in data}
    for family in ("clear", "identity", "hota"):
        if family in data:
            row["Frames"] = data[family]["num_frames"]
            break
    return row


def _family_of(result: Any) -> str:
    if isinstance(result, _CLEAR_TYPES):
        return "clear"
    if isinstance(result, _IDENTITY_TYPES):
        return "identity"
    if isinstance(result, _HOTA_TYPES):
        return "hota"
    raise TypeError(f"to_dataframe() expects metric results, not {type(result).__name__!r}")


def _pandas() -> Any:
    try:
        import pandas
    except ImportError as e:
        raise ImportError("to_dataframe() needs pandas: pip install 'vestrim[pandas]'") from e
    return pandas


def to_dataframe(results: Union[Mapping[Any, Any], Iterable[Any]],
                 index: Optional[Sequence[Any]] = None) -> Any:
    """A pandas DataFrame with one row per result, columns named as benchmark tables name them
    (HOTA, DetA, ..., MOTA, ..., IDF1, ..., Frames).

    ``results`` is a list of results (``index`` optionally labels the rows) or a dict of
    label -> result. Columns of families a result lacks are NaN in its row.
    """
    pd = _pandas()
    if isinstance(results, Mapping):
        if index is not None:
            raise TypeError("to_dataframe() takes no index with a dict of results")
        index = list(results.keys())
        results = list(results.values())
    else:
        results = list(results)
        if index is not None:
            index = list(index)
            if len(index) != len(results):
                raise ValueError(f"index has {len(index)} labels for {len(results)} results")
    rows = [dataframe_columns(r) for r in results]
    order = [c for c, _, _ in COLUMNS] + ["Frames"]
    present = [c for c in order if any(c in row for row in rows)]
    return pd.DataFrame(rows, index=index, columns=present)
