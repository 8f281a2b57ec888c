"""The HOTA columns that papers report beside HOTA, DetA, AssA and LocA, derived from a HOTA
result's per-alpha counts and curves. Every output (tables, csv, JSON, data frames) takes them from
here, so each has one definition:

* DetRe = TP / max(1, TP + FN) and DetPr = TP / max(1, TP + FP) per alpha;
* OWTA = sqrt(DetRe * AssA) per alpha;
* DetRe, DetPr, OWTA, AssRe and AssPr as single numbers: their means over the alphas, summed as the
  extension sums HOTA's own means;
* HOTA(0) and LocA(0): the values at the first alpha; HOTALocA(0) = HOTA(0) * LocA(0).

Beside CLEAR's own numbers: MTR, PTR, MLR = MT, PT, ML / max(1, MT + PT + ML), CLR_F1 =
TP / max(1, TP + FN / 2 + FP / 2), FP_per_frame = FP / max(1, CLR_Frames), MOTP_sum, the summed
IoU of the matches (MOTP x TP where a result does not carry it), and CLR_Frames, the frames
counted. A benchmark run keeps the record the native evaluation fills for each sequence (its exact
MOTP_sum; a sequence with nothing on one side reports every one of them 0, CLR_Frames included,
except MLR = 1, as the benchmarks stop early there) and, for COMBINED, the record of the summed
counts with MOTP_sum and CLR_Frames summed over the sequences (``combine_derived_clear``).

A result may hold these values itself (``SequenceResult.derived``): a class-averaged result's are
means over classes, not derived from its summed counts.
"""

from __future__ import annotations

import math
from dataclasses import dataclass

from . import _native
from .fields import FAMILY

__all__ = ["DerivedHota", "derive_hota", "alpha_mean", "DERIVED_FIELDS", "field_values",
           "DerivedClear", "derive_clear", "DERIVED_CLEAR_FIELDS", "derived_values",
           "native_derived_clear", "combine_derived_clear"]


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


@dataclass(frozen=True)
class DerivedClear:
    mtr: float
    ptr: float
    mlr: float
    clr_f1: float
    fp_per_frame: float
    motp_sum: float
    clr_frames: float = 0  # a count, except in a class average


DERIVED_CLEAR_FIELDS = tuple(DerivedClear.__dataclass_fields__)


def derive_clear(clear) -> DerivedClear:
    """The derived columns of a CLEAR result (``ClearMetrics`` or a combined one)."""
    tp, fn, fp = clear.num_matches, clear.num_misses, clear.num_false_positives
    tracks = max(1, clear.mt + clear.pt + clear.ml)
    motp_sum = getattr(clear, "motp_sum", None)
    return DerivedClear(
        mtr=clear.mt / tracks,
        ptr=clear.pt / tracks,
        mlr=clear.ml / tracks,
        clr_f1=tp / max(1.0, tp + fn / 2 + fp / 2),
        fp_per_frame=fp / max(1, clear.num_frames),
        motp_sum=motp_sum if motp_sum is not None else clear.motp * tp,
        clr_frames=clear.num_frames,
    )


def native_derived_clear(values) -> DerivedClear:
    """The record of the tuple the native evaluation and ``finalise_clear_extra`` give:
    (clr_f1, fp_per_frame, motp_sum, clr_frames, mtr, ptr, mlr)."""
    clr_f1, fp_per_frame, motp_sum, clr_frames, mtr, ptr, mlr = values
    return DerivedClear(mtr=mtr, ptr=ptr, mlr=mlr, clr_f1=clr_f1, fp_per_frame=fp_per_frame,
                        motp_sum=motp_sum, clr_frames=clr_frames)


def combine_derived_clear(clears, records) -> DerivedClear:
    """The record of a combination of sequences from their CLEAR results and their own records
    (in the same order): MOTP_sum and CLR_Frames summed in that order, the ratios from the summed
    counts."""
    records = list(records)
    motp_sum = 0.0
    for r in records:
        motp_sum += r.motp_sum

    def total(name: str) -> int:
        return sum(int(getattr(c, name)) for c in clears)

    return native_derived_clear(_native.finalise_clear_extra(
        total("num_matches"), total("num_misses"), total("num_false_positives"), total("mt"),
        total("pt"), total("ml"), sum(int(r.clr_frames) for r in records), motp_sum))


_DERIVE = {"clear": derive_clear, "hota": derive_hota}


def derived_values(metrics, family_name: str, stored=None):
    """The derived record of a family (None for one without): the one ``stored`` holds for it
    ({family: record}, a result's own), else computed from ``metrics``."""
    record = (stored or {}).get(family_name)
    if record is None and family_name in _DERIVE:
        record = _DERIVE[family_name](metrics)
    return record


def field_values(metrics, family_name: str, stored=None) -> dict:
    """{JSON key: value} of every field of a family, in the order ``vestrim.fields`` declares
    them (derived fields computed here, or taken from ``stored``, a result's own derived
    records), values as the metrics object holds them."""
    family = FAMILY[family_name]
    out = {key: getattr(metrics, key) for key in family.keys}
    if family.derived_keys:
        derived = derived_values(metrics, family_name, stored)
        out.update((key, getattr(derived, key)) for key in family.derived_keys)
    return out
