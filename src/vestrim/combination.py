"""Combining per-sequence results into one benchmark-wide result.

Benchmark tables do not average the per-sequence scores: they add up the counts of all sequences
and recompute every ratio from the sums, so that a long sequence weighs more than a short one.
The functions here do exactly that for the three metric families:

* CLEAR MOT: every count is summed (frames, ground truth, matches, false positives, misses,
  switches, MT/PT/ML, both fragmentation counts); MOTA, MODA, MOTAL, recall and precision are
  recomputed from the summed counts with the per-sequence formulas; MOTP is the mean of the
  per-sequence MOTP weighted by matches (the summed IoU of all matches over all matches) and sMOTA
  uses that summed IoU; ``track_ratios`` is the union of all trajectories' ratios, sorted
  descending, so that MT + PT + ML still equals the number of trajectories.
* Identity: IDTP, IDFP, IDFN and the totals are summed; IDF1, IDP and IDR are recomputed from
  the sums.
* HOTA: for every alpha, TP, FN and FP are summed; DetA is recomputed from them; AssA, AssRe,
  AssPr and LocA are the per-sequence values weighted by that alpha's TP; HOTA per alpha is
  sqrt(DetA * AssA); the four summary scores are the means over the alphas.

Over classes (``combine_classes``), each taking the COMBINED result of every selected class,
empty classes included, in result order:

* class-averaged (``cls_comb_cls_av``): counts summed; every ratio the plain mean over the classes
  of the classes' own values, nothing recomputed (MOTA is not taken from the summed counts, HOTA
  per alpha is not sqrt(DetA x AssA) of the means). A single-number field is summed the way
  NumPy's ``add.reduce`` sums a row (left to right below 8 values, eight partial sums from 8 to
  128), a per-alpha field class by class, element by element; then divided by the number of
  classes. The single numbers of the per-alpha fields (HOTA, DetA, DetRe, OWTA, ...) are the means
  over the alphas of the averaged curves; HOTA(0), LocA(0), HOTALocA(0) and MOTP_sum are
  single-number means; track ratios are joined;
* detection-averaged (``cls_comb_det_av``, and the super-categories over their members): the
  classes combined as sequences are under the benchmark convention, counts (frames and the summed
  IoU included) summed and every ratio recomputed.

A single result combines to itself, value for value. Combined results have the attribute names of
the per-sequence classes, so they can be combined again (for example per-dataset results into an
overall one).

``convention="benchmark"`` combines results scored under a benchmark protocol the way the benchmark
does: every ratio is always recomputed from the summed counts (a single result included), with
max(1, .) denominators (MOTA = (TP - FP - IDSW) / max(1, TP + FN), MOTP = summed IoU / max(1, TP)),
the benchmark's alpha values, and HOTA's means summed as the extension sums them.

Combining is summing; the ratios come from the same finalisation that turns one sequence's counts
into its ratios (``vestrim._native.finalise_clear``, ``finalise_identity``, ``finalise_hota``).
"""

from __future__ import annotations

import math
from dataclasses import dataclass, field
from typing import Callable, Iterable, Optional, Sequence

from . import _native
from .derived import DERIVED_CLEAR_FIELDS, DerivedClear, DerivedHota, alpha_mean
from .fields import FAMILY

__all__ = [
    "COMBINERS",
    "combine_sequences",
    "combine_classes",
    "copy_clear",
    "combine",
    "combine_clear",
    "combine_identity",
    "combine_hota",
    "CombinedResult",
    "CombinedClear",
    "CombinedIdentity",
    "CombinedHota",
]

# The localisation thresholds of HOTA: k * 0.05 in double precision, as the extension sweeps them.
_ALPHAS = tuple(k * 0.05 for k in range(1, 20))

CONVENTIONS = ("module", "benchmark")


def _check_convention(convention: str) -> bool:
    """True for the benchmark convention."""
    if convention not in CONVENTIONS:
        raise ValueError(f"unknown convention {convention!r} (choose from module, benchmark)")
    return convention == "benchmark"


def _f4(value: float) -> str:
    if math.isnan(value):
        return "NaN"
    if math.isinf(value):
        return "inf" if value > 0 else "-inf"
    return f"{value:.4f}"


@dataclass(frozen=True, repr=False)
class CombinedClear:
    """CLEAR MOT metrics combined over several sequences (attributes as in ``ClearMetrics``)."""

    mota: float
    motp: float
    num_frames: int
    num_gt: int
    num_matches: int
    num_false_positives: int
    num_misses: int
    num_switches: int
    mt: int
    pt: int
    ml: int
    frag: int
    moda: float
    smota: float
    motal: float
    clr_re: float
    clr_pr: float
    track_ratios: list = field(default_factory=list)
    frag_present_only: int = 0
    # The summed IoU of the matches, which a further combination adds up (None: MOTP x TP).
    motp_sum: Optional[float] = None

    def __repr__(self) -> str:
        return (f"CombinedClear(mota={_f4(self.mota)}, motp={_f4(self.motp)}, "
                f"tp={self.num_matches}, fp={self.num_false_positives}, fn={self.num_misses}, "
                f"idsw={self.num_switches}, mt={self.mt}, pt={self.pt}, ml={self.ml}, "
                f"frag={self.frag})")


@dataclass(frozen=True, repr=False)
class CombinedIdentity:
    """Identity metrics combined over several sequences (attributes as in ``IdentityMetrics``)."""

    idf1: float
    idp: float
    idr: float
    idtp: int
    idfp: int
    idfn: int
    num_frames: int
    num_gt: int
    num_pred: int

    def __repr__(self) -> str:
        return (f"CombinedIdentity(idf1={_f4(self.idf1)}, idp={_f4(self.idp)}, "
                f"idr={_f4(self.idr)}, idtp={self.idtp}, idfp={self.idfp}, idfn={self.idfn})")


@dataclass(frozen=True, repr=False)
class CombinedHota:
    """HOTA metrics combined over several sequences (attributes as in ``HotaMetrics``)."""

    hota: float
    deta: float
    assa: float
    loca: float
    alphas: list
    hota_alphas: list
    deta_alphas: list
    assa_alphas: list
    loca_alphas: list
    hota_tp_alphas: list
    hota_fn_alphas: list
    hota_fp_alphas: list
    ass_re_alphas: list
    ass_pr_alphas: list
    num_frames: int
    num_gt: int
    num_pred: int

    def __repr__(self) -> str:
        return (f"CombinedHota(hota={_f4(self.hota)}, deta={_f4(self.deta)}, "
                f"assa={_f4(self.assa)}, loca={_f4(self.loca)})")


@dataclass(frozen=True)
class CombinedResult:
    """The combination of several ``EvaluationResult``s: ``clear``, ``identity``, ``hota``."""

    clear: CombinedClear
    identity: CombinedIdentity
    hota: CombinedHota


_CLEAR_FIELDS = [f.name for f in CombinedClear.__dataclass_fields__.values()
                 if f.name != "motp_sum"]
_IDENTITY_FIELDS = [f.name for f in CombinedIdentity.__dataclass_fields__.values()]
_HOTA_FIELDS = [f.name for f in CombinedHota.__dataclass_fields__.values()]
_CLEAR_COUNTS = [f.key for f in FAMILY["clear"].fields if f.count and not f.derived]


def _copy(cls, fields, metrics):
    values = {}
    for name in fields:
        value = getattr(metrics, name)
        values[name] = list(value) if isinstance(value, (list, tuple)) else value
    return cls(**values)


def copy_clear(metrics) -> CombinedClear:
    """A ``CombinedClear`` holding the values of a CLEAR result."""
    return _copy(CombinedClear, _CLEAR_FIELDS, metrics)


def combine_clear(results: Iterable, *, convention: str = "module",
                  motp_sums: Optional[Sequence[float]] = None) -> CombinedClear:
    """Combine ``ClearMetrics`` of several sequences: counts summed, ratios recomputed.

    MOTA = 1 - (FN + FP + IDSW) / GT (0 without ground truth); MOTP = sum over sequences of
    MOTP * TP, divided by TP; MODA, sMOTA, MOTAL, recall and precision follow from the summed
    counts as for one sequence. MT/PT/ML and both fragmentation counts are summed.
    ``motp_sums``, when given, are the sequences' exact summed similarities of their matches,
    added in order in place of MOTP * TP.
    """
    benchmark = _check_convention(convention)
    results = list(results)
    if motp_sums is not None:
        motp_sums = [float(v) for v in motp_sums]
        if len(motp_sums) != len(results):
            raise ValueError(f"{len(motp_sums)} MOTP sums for {len(results)} results")
    if len(results) == 1 and not benchmark:
        return _copy(CombinedClear, _CLEAR_FIELDS, results[0])
    sums = {name: sum(int(getattr(r, name)) for r in results) for name in _CLEAR_COUNTS}
    tp, fp = sums["num_matches"], sums["num_false_positives"]
    fn, idsw, num_gt = sums["num_misses"], sums["num_switches"], sums["num_gt"]
    iou_sum = 0.0
    if motp_sums is not None:
        for value in motp_sums:
            iou_sum += value
    else:
        for r in results:
            stored = getattr(r, "motp_sum", None)
            iou_sum += stored if stored is not None else r.motp * r.num_matches
    ratios = sorted((x for r in results for x in r.track_ratios), reverse=True)
    mota, motp, moda, smota, motal, clr_re, clr_pr = _native.finalise_clear(
        num_gt, tp, fp, fn, idsw, iou_sum, benchmark)
    return CombinedClear(mota=mota, motp=motp, moda=moda, smota=smota, motal=motal,
                         clr_re=clr_re, clr_pr=clr_pr, track_ratios=ratios, motp_sum=iou_sum,
                         **sums)


def combine_identity(results: Iterable, *, convention: str = "module") -> CombinedIdentity:
    """Combine ``IdentityMetrics`` of several sequences: IDTP, IDFP, IDFN summed and
    IDF1 = IDTP / (IDTP + 0.5 IDFP + 0.5 IDFN), IDP = IDTP / (IDTP + IDFP),
    IDR = IDTP / (IDTP + IDFN) recomputed from the sums (0 where a denominator is 0, which is
    also what the benchmark's max(1, .) denominators give for these integer counts)."""
    _check_convention(convention)
    results = list(results)
    idtp = sum(int(r.idtp) for r in results)
    idfp = sum(int(r.idfp) for r in results)
    idfn = sum(int(r.idfn) for r in results)
    num_gt = sum(int(r.num_gt) for r in results)
    idf1, idp, idr = _native.finalise_identity(idtp, idfp, idfn, num_gt)
    return CombinedIdentity(
        idf1=idf1, idp=idp, idr=idr, idtp=idtp, idfp=idfp, idfn=idfn,
        num_frames=sum(int(r.num_frames) for r in results),
        num_gt=num_gt,
        num_pred=sum(int(r.num_pred) for r in results),
    )


def combine_hota(results: Iterable, *, convention: str = "module") -> CombinedHota:
    """Combine ``HotaMetrics`` of several sequences, alpha by alpha.

    Per alpha: TP, FN, FP summed; DetA = TP / max(1, TP + FN + FP); AssA, AssRe and AssPr the
    TP-weighted means of the per-sequence values, sum(x * TP) / max(1, TP); LocA likewise
    weighted, max(1e-10, sum(LocA * TP)) / max(1e-10, TP) (1.0 without any TP); HOTA =
    sqrt(DetA * AssA). ``hota``, ``deta``, ``assa`` and ``loca`` are the means over the alphas.
    """
    benchmark = _check_convention(convention)
    results = list(results)
    if len(results) == 1 and not benchmark:
        return _copy(CombinedHota, _HOTA_FIELDS, results[0])
    alphas = list(_native.benchmark_alphas()) if benchmark else list(_ALPHAS)
    n = len(alphas)
    tp, fn, fp = [0.0] * n, [0.0] * n, [0.0] * n
    assa_sum, re_sum, pr_sum, loca_sum = [0.0] * n, [0.0] * n, [0.0] * n, [0.0] * n
    for r in results:
        r_tp, r_fn, r_fp = r.hota_tp_alphas, r.hota_fn_alphas, r.hota_fp_alphas
        r_assa, r_re, r_pr, r_loca = r.assa_alphas, r.ass_re_alphas, r.ass_pr_alphas, r.loca_alphas
        for a in range(n):
            t = r_tp[a]
            tp[a] += t
            fn[a] += r_fn[a]
            fp[a] += r_fp[a]
            if t > 0:  # a sequence without matches at this alpha carries no association data
                assa_sum[a] += r_assa[a] * t
                re_sum[a] += r_re[a] * t
                pr_sum[a] += r_pr[a] * t
                loca_sum[a] += r_loca[a] * t
    # Under the module's convention the means have always been the plain sums over the alphas.
    deta, assa, ass_re, ass_pr, loca, hota, hota_mean, deta_mean, assa_mean, loca_mean = \
        _native.finalise_hota(tp, fn, fp, assa_sum, re_sum, pr_sum, loca_sum,
                              plain_means=not benchmark)
    return CombinedHota(
        hota=hota_mean, deta=deta_mean, assa=assa_mean, loca=loca_mean,
        alphas=alphas, hota_alphas=hota, deta_alphas=deta, assa_alphas=assa,
        loca_alphas=loca, hota_tp_alphas=tp, hota_fn_alphas=fn, hota_fp_alphas=fp,
        ass_re_alphas=ass_re, ass_pr_alphas=ass_pr,
        num_frames=sum(int(r.num_frames) for r in results),
        num_gt=sum(int(r.num_gt) for r in results),
        num_pred=sum(int(r.num_pred) for r in results),
    )


def combine(results: Iterable, *, convention: str = "module") -> CombinedResult:
    """Combine the ``EvaluationResult``s of several sequences into one benchmark-wide result.

    Counts are summed and every ratio is recomputed from the sums, as benchmark tables do
    (see ``combine_clear``, ``combine_identity`` and ``combine_hota``). Any objects with
    ``clear``, ``identity`` and ``hota`` attributes are accepted, combined results included.
    An empty input gives the result of an empty sequence.
    """
    results = list(results)
    return CombinedResult(
        clear=combine_clear((r.clear for r in results), convention=convention),
        identity=combine_identity((r.identity for r in results), convention=convention),
        hota=combine_hota((r.hota for r in results), convention=convention),
    )


# The combiner of each metric family, by its name in vestrim.fields.
COMBINERS: dict[str, Callable[..., object]] = {
    "clear": combine_clear, "identity": combine_identity, "hota": combine_hota}


def combine_sequences(results: Iterable, families: Iterable[str], convention: str, *,
                      motp_sums: Optional[Sequence[float]] = None) -> dict:
    """{family: combination} of several sequences' results (objects with one attribute per
    family), for each family asked for; ``motp_sums`` as ``combine_clear`` takes them. This is the
    sequences-to-COMBINED step of a run; a later step over classes (class averages, detection
    averages) belongs beside it."""
    results = list(results)
    out: dict[str, object] = {}
    for f in families:
        metrics = [getattr(r, f) for r in results]
        if f == "clear":
            out[f] = combine_clear(metrics, convention=convention, motp_sums=motp_sums)
        else:
            out[f] = COMBINERS[f](metrics, convention=convention)
    return out


# --- over classes -------------------------------------------------------------------------------

_CLEAR_MEANS = ("mota", "motp", "moda", "smota", "motal", "clr_re", "clr_pr")
_CLEAR_SUMS = ("num_frames", "num_gt", "num_matches", "num_false_positives", "num_misses",
               "num_switches", "mt", "pt", "ml", "frag", "frag_present_only")
_HOTA_CURVE_MEANS = ("hota_alphas", "deta_alphas", "assa_alphas", "loca_alphas",
                     "ass_re_alphas", "ass_pr_alphas")
_HOTA_CURVE_SUMS = ("hota_tp_alphas", "hota_fn_alphas", "hota_fp_alphas")


def _class_mean(values: list) -> float:
    """The mean over classes of one number, summed as NumPy sums a contiguous row."""
    import numpy as np  # only class combinations need it
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
    means: dict = {name: _class_mean([getattr(c, name) for c in clears]) for name in _CLEAR_MEANS}
    sums: dict = {name: sum(int(getattr(c, name)) for c in clears) for name in _CLEAR_SUMS}
    extra = DerivedClear(*(_class_mean([getattr(d, name) for d in derived])
                           for name in DERIVED_CLEAR_FIELDS))
    clear = CombinedClear(**means, **sums,
                          track_ratios=[x for c in clears for x in c.track_ratios],
                          motp_sum=extra.motp_sum)
    return clear, extra


def _class_averaged_identity(results: list) -> CombinedIdentity:
    ids = [r.identity for r in results]
    return CombinedIdentity(
        idf1=_class_mean([i.idf1 for i in ids]), idp=_class_mean([i.idp for i in ids]),
        idr=_class_mean([i.idr for i in ids]),
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
        hota_0=_class_mean([d.hota_0 for d in derived]),
        loca_0=_class_mean([d.loca_0 for d in derived]),
        hota_loca_0=_class_mean([d.hota_loca_0 for d in derived]),
        det_re_alphas=det_re, det_pr_alphas=det_pr, owta_alphas=owta)
    return hota, extra


def combine_classes(results: Iterable, families: Iterable[str], averaged: bool) -> tuple:
    """({family: combination}, {family: derived record}) over the COMBINED results of several
    classes (objects with a ``clear``, ``identity`` and ``hota`` attribute, and
    ``derived_clear()`` / ``derived_hota()``): class-averaged when ``averaged``, else
    detection-averaged (the derived records are then those of the combination's counts: {})."""
    results = list(results)
    families = list(families)
    if not averaged:
        return combine_sequences(results, families, "benchmark"), {}
    values: dict = {}
    derived: dict = {}
    if "clear" in families:
        values["clear"], derived["clear"] = _class_averaged_clear(results)
    if "identity" in families:
        values["identity"] = _class_averaged_identity(results)
    if "hota" in families:
        values["hota"], derived["hota"] = _class_averaged_hota(results)
    return values, derived
