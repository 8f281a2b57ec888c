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
from typing import Iterable

from . import _native
from .fields import FAMILY

__all__ = [
    "COMBINERS",
    "combine_sequences",
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


_CLEAR_FIELDS = [f.name for f in CombinedClear.__dataclass_fields__.values()]
_IDENTITY_FIELDS = [f.name for f in CombinedIdentity.__dataclass_fields__.values()]
_HOTA_FIELDS = [f.name for f in CombinedHota.__dataclass_fields__.values()]
_CLEAR_COUNTS = [f.key for f in FAMILY["clear"].fields if f.count]


def _copy(cls, fields, metrics):
    values = {}
    for name in fields:
        value = getattr(metrics, name)
        values[name] = list(value) if isinstance(value, (list, tuple)) else value
    return cls(**values)


def combine_clear(results: Iterable, *, convention: str = "module") -> CombinedClear:
    """Combine ``ClearMetrics`` of several sequences: counts summed, ratios recomputed.

    MOTA = 1 - (FN + FP + IDSW) / GT (0 without ground truth); MOTP = sum over sequences of
    MOTP * TP, divided by TP; MODA, sMOTA, MOTAL, recall and precision follow from the summed
    counts as for one sequence. MT/PT/ML and both fragmentation counts are summed.
    """
    benchmark = _check_convention(convention)
    results = list(results)
    if len(results) == 1 and not benchmark:
        return _copy(CombinedClear, _CLEAR_FIELDS, results[0])
    sums = {name: sum(int(getattr(r, name)) for r in results) for name in _CLEAR_COUNTS}
    tp, fp = sums["num_matches"], sums["num_false_positives"]
    fn, idsw, num_gt = sums["num_misses"], sums["num_switches"], sums["num_gt"]
    iou_sum = 0.0
    for r in results:
        iou_sum += r.motp * r.num_matches
    ratios = sorted((x for r in results for x in r.track_ratios), reverse=True)
    mota, motp, moda, smota, motal, clr_re, clr_pr = _native.finalise_clear(
        num_gt, tp, fp, fn, idsw, iou_sum, benchmark)
    return CombinedClear(mota=mota, motp=motp, moda=moda, smota=smota, motal=motal,
                         clr_re=clr_re, clr_pr=clr_pr, track_ratios=ratios, **sums)


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
COMBINERS = {"clear": combine_clear, "identity": combine_identity, "hota": combine_hota}


def combine_sequences(results: Iterable, families: Iterable[str], convention: str) -> dict:
    """{family: combination} of several sequences' results (objects with one attribute per
    family), for each family asked for. This is the sequences-to-COMBINED step of a run; a later
    step over classes (class averages, detection averages) belongs beside it."""
    results = list(results)
    return {f: COMBINERS[f]([getattr(r, f) for r in results], convention=convention)
            for f in families}
