"""Combining the per-class results of a tracker: class-averaged, detection-averaged and
super-category entries.

Each takes the COMBINED result (over sequences) of every selected class, empty classes included,
in result order:

* class-averaged (``cls_comb_cls_av``): counts summed; every ratio is the plain mean over the
  classes of the classes' own values, nothing recomputed (MOTA is not taken from the summed
  counts, HOTA per alpha is not sqrt(DetA x AssA) of the means). A single-number field is summed
  the way NumPy's ``add.reduce`` sums a row (left to right below 8 values, eight partial sums from
  8 to 128), a per-alpha field class by class, element by element; then divided by the number of
  classes. The single numbers of the per-alpha fields (HOTA, DetA, DetRe, OWTA, ...) are the means
  over the alphas of the averaged curves; HOTA(0), LocA(0), HOTALocA(0) and MOTP_sum are
  single-number means. Lists (track ratios) are joined;
* detection-averaged (``cls_comb_det_av``): the classes' results combined as sequences are, counts
  (frames and the summed IoU included) summed and every ratio recomputed;
* super-categories (``HUMAN``, ``VEHICLE``, ``BIKE``, where the protocol defines them): the
  detection-averaged combination of their selected members; one with no member selected is left
  out.
"""

from __future__ import annotations

import numpy as np

from .benchmark import COMBINED, Count, SequenceResult, TrackerResult
from .combination import (CombinedClear, CombinedHota, CombinedIdentity, combine_clear,
                          combine_hota, combine_identity)
from .derived import DERIVED_CLEAR_FIELDS, DerivedClear, DerivedHota, alpha_mean

__all__ = ["CLASS_AVERAGED", "DETECTION_AVERAGED", "COMBINATION_LABELS", "class_averaged",
           "detection_averaged", "class_combinations"]

CLASS_AVERAGED = "cls_comb_cls_av"
DETECTION_AVERAGED = "cls_comb_det_av"
# Every label a combination entry may carry, in output order.
COMBINATION_LABELS = (CLASS_AVERAGED, DETECTION_AVERAGED, "HUMAN", "VEHICLE", "BIKE")

_CLEAR_MEANS = ("mota", "motp", "moda", "smota", "motal", "clr_re", "clr_pr")
_CLEAR_SUMS = ("num_frames", "num_gt", "num_matches", "num_false_positives", "num_misses",
               "num_switches", "mt", "pt", "ml", "frag", "frag_present_only")
_HOTA_CURVE_MEANS = ("hota_alphas", "deta_alphas", "assa_alphas", "loca_alphas",
                     "ass_re_alphas", "ass_pr_alphas")
_HOTA_CURVE_SUMS = ("hota_tp_alphas", "hota_fn_alphas", "hota_fp_alphas")


def _mean(values: list) -> float:
    """The mean over classes of one number, summed as NumPy sums a contiguous row."""
    return float(np.add.reduce(np.array(values, dtype=np.float64))) / len(values)


def _curve_sum(curves: list) -> list:
    """The element-wise sum of per-alpha curves, class by class, left to right."""
    total = [0.0] * len(curves[0])
    for curve in curves:
        total = [t + v for t, v in zip(total, curve)]
    return total


def _curve_mean(curves: list) -> list:
    return [t / len(curves) for t in _curve_sum(curves)]


def _class_averaged_clear(results: list) -> tuple:
    clears = [r.clear for r in results]
    derived = [r.derived_clear() for r in results]
    means: dict = {name: _mean([getattr(c, name) for c in clears]) for name in _CLEAR_MEANS}
    sums: dict = {name: sum(int(getattr(c, name)) for c in clears) for name in _CLEAR_SUMS}
    extra = DerivedClear(*(_mean([getattr(d, name) for d in derived])
                           for name in DERIVED_CLEAR_FIELDS))
    clear = CombinedClear(**means, **sums,
                          track_ratios=[x for c in clears for x in c.track_ratios],
                          motp_sum=extra.motp_sum)
    return clear, extra


def _class_averaged_identity(results: list) -> CombinedIdentity:
    ids = [r.identity for r in results]
    return CombinedIdentity(
        idf1=_mean([i.idf1 for i in ids]), idp=_mean([i.idp for i in ids]),
        idr=_mean([i.idr for i in ids]),
        **{name: sum(int(getattr(i, name)) for i in ids)
           for name in ("idtp", "idfp", "idfn", "num_frames", "num_gt", "num_pred")})


def _class_averaged_hota(results: list) -> tuple:
    hotas = [r.hota for r in results]
    derived = [r.derived_hota() for r in results]
    curves = {name: _curve_mean([getattr(h, name) for h in hotas]) for name in _HOTA_CURVE_MEANS}
    totals = {name: _curve_sum([getattr(h, name) for h in hotas]) for name in _HOTA_CURVE_SUMS}
    det_re = _curve_mean([d.det_re_alphas for d in derived])
    det_pr = _curve_mean([d.det_pr_alphas for d in derived])
    owta = _curve_mean([d.owta_alphas for d in derived])
    hota = CombinedHota(
        hota=alpha_mean(curves["hota_alphas"]), deta=alpha_mean(curves["deta_alphas"]),
        assa=alpha_mean(curves["assa_alphas"]), loca=alpha_mean(curves["loca_alphas"]),
        alphas=list(hotas[0].alphas), **curves, **totals,
        num_frames=sum(int(h.num_frames) for h in hotas),
        num_gt=sum(int(h.num_gt) for h in hotas),
        num_pred=sum(int(h.num_pred) for h in hotas))
    extra = DerivedHota(
        det_re=alpha_mean(det_re), det_pr=alpha_mean(det_pr),
        ass_re=alpha_mean(curves["ass_re_alphas"]), ass_pr=alpha_mean(curves["ass_pr_alphas"]),
        owta=alpha_mean(owta),
        hota_0=_mean([d.hota_0 for d in derived]), loca_0=_mean([d.loca_0 for d in derived]),
        hota_loca_0=_mean([d.hota_loca_0 for d in derived]),
        det_re_alphas=det_re, det_pr_alphas=det_pr, owta_alphas=owta)
    return hota, extra


def _count(results: list) -> Count:
    return Count.combine(r.count for r in results)


def class_averaged(results: list, families) -> SequenceResult:
    """The class-averaged combination of per-class COMBINED results (at least one)."""
    values: dict = dict.fromkeys(("clear", "identity", "hota"))
    derived: dict = {}
    if "clear" in families:
        values["clear"], derived["clear"] = _class_averaged_clear(results)
    if "identity" in families:
        values["identity"] = _class_averaged_identity(results)
    if "hota" in families:
        values["hota"], derived["hota"] = _class_averaged_hota(results)
    return SequenceResult(COMBINED, values["clear"], values["identity"], values["hota"],
                          _count(results), derived)


def detection_averaged(results: list, families) -> SequenceResult:
    """The per-class COMBINED results combined as sequences are: counts summed, ratios
    recomputed with the benchmark's formulas."""
    values: dict = dict.fromkeys(("clear", "identity", "hota"))
    combiners = {"clear": combine_clear, "identity": combine_identity, "hota": combine_hota}
    for family in families:
        values[family] = combiners[family]([getattr(r, family) for r in results],
                                           convention="benchmark")
    return SequenceResult(COMBINED, values["clear"], values["identity"], values["hota"],
                          _count(results))


def class_combinations(entries: list, families, super_categories=None) -> list:
    """The combination entries (``TrackerResult`` with no sequences) of one tracker's per-class
    entries, in output order."""
    if len(entries) == 0:
        return []
    tracker = entries[0].tracker
    combined = [e.combined for e in entries]
    out = [TrackerResult(tracker, CLASS_AVERAGED, (), class_averaged(combined, families)),
           TrackerResult(tracker, DETECTION_AVERAGED, (), detection_averaged(combined, families))]
    for label, members in (super_categories or {}).items():
        chosen = [e.combined for e in entries if e.class_name in members]
        if chosen:
            out.append(TrackerResult(tracker, label, (), detection_averaged(chosen, families)))
    return out

