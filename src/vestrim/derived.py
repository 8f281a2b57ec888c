"""The HOTA columns that papers report beside HOTA, DetA, AssA and LocA, derived from a HOTA
result's per-alpha counts and curves. Every output (tables, csv, JSON, data frames) takes them from
here, so each has one definition:

* DetRe = TP / max(1, TP + FN) and DetPr = TP / max(1, TP + FP) per alpha;
* OWTA = sqrt(DetRe * AssA) per alpha;
* DetRe, DetPr, OWTA, AssRe and AssPr as single numbers: their means over the alphas, summed as the
  extension sums HOTA's own means;
* HOTA(0) and LocA(0): the values at the first alpha; HOTALocA(0) = HOTA(0) * LocA(0).
"""

from __future__ import annotations

import math
from dataclasses import dataclass

from . import _native
from .fields import FAMILY

__all__ = ["DerivedHota", "derive_hota", "alpha_mean", "DERIVED_FIELDS", "field_values"]


def alpha_mean(values) -> float:
    """The mean over alphas, computed exactly as the extension computes HOTA's means."""
    return _native.alpha_mean(list(values))


@dataclass(frozen=True)
class DerivedHota:
    det_re: float
    det_pr: float
    ass_re: float
    ass_pr: float
    owta: float
    hota_0: float
    loca_0: float
    hota_loca_0: float
    det_re_alphas: list
    det_pr_alphas: list
    owta_alphas: list


DERIVED_FIELDS = tuple(DerivedHota.__dataclass_fields__)


def derive_hota(hota) -> DerivedHota:
    """The derived columns of a HOTA result (``HotaMetrics`` or a combined one)."""
    tp, fn, fp = hota.hota_tp_alphas, hota.hota_fn_alphas, hota.hota_fp_alphas
    det_re = [t / max(1.0, t + n) for t, n in zip(tp, fn)]
    det_pr = [t / max(1.0, t + p) for t, p in zip(tp, fp)]
    owta = [math.sqrt(r * a) for r, a in zip(det_re, hota.assa_alphas)]
    hota_0 = hota.hota_alphas[0]
    loca_0 = hota.loca_alphas[0]
    return DerivedHota(
        det_re=alpha_mean(det_re),
        det_pr=alpha_mean(det_pr),
        ass_re=alpha_mean(hota.ass_re_alphas),
        ass_pr=alpha_mean(hota.ass_pr_alphas),
        owta=alpha_mean(owta),
        hota_0=hota_0,
        loca_0=loca_0,
        hota_loca_0=hota_0 * loca_0,
        det_re_alphas=det_re,
        det_pr_alphas=det_pr,
        owta_alphas=owta,
    )


def field_values(metrics, family_name: str) -> dict:
    """{JSON key: value} of every field of a family, in the order ``vestrim.fields`` declares
    them (HOTA's derived fields computed here), values as the metrics object holds them."""
    family = FAMILY[family_name]
    out = {key: getattr(metrics, key) for key in family.keys}
    if family.derived_keys:
        derived = derive_hota(metrics)
        out.update((key, getattr(derived, key)) for key in family.derived_keys)
    return out
