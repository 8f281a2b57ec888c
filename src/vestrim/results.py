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
import importlib
from typing import Any, Mapping, Optional, Sequence

from . import _native, _vestrim
from .combination import CombinedClear, CombinedHota, CombinedIdentity, CombinedResult
from .fields import ALPHA_COUNT_COLUMNS, DATAFRAME_COLUMNS, FAMILIES, FRAMES, alpha_label

__all__ = ["asdict", "to_dataframe", "dataframe_columns"]

# Every class of the extension that holds data; each is rebuilt by vestrim._native.
PICKLED_CLASSES: tuple[type, ...] = (
    _vestrim.ClearMetrics, _vestrim.IdentityMetrics, _vestrim.HotaMetrics,
    _vestrim.EvaluationResult, _vestrim.AccumulatorResult, _vestrim.Matching,
    _vestrim.QuorvantixSwitchEvents, _vestrim.Mask, _vestrim.Accumulator,
)
for _cls in PICKLED_CLASSES:
    copyreg.pickle(_cls, _native.reduce)
del _cls

_CLEAR_TYPES: tuple[type, ...] = (_vestrim.ClearMetrics, CombinedClear)
_IDENTITY_TYPES: tuple[type, ...] = (_vestrim.IdentityMetrics, CombinedIdentity)
_HOTA_TYPES: tuple[type, ...] = (_vestrim.HotaMetrics, CombinedHota)
_METRIC_TYPES: tuple[type, ...] = _CLEAR_TYPES + _IDENTITY_TYPES + _HOTA_TYPES
_FAMILY_TYPES: tuple[type, ...] = (_vestrim.EvaluationResult, _vestrim.AccumulatorResult, CombinedResult)


def _benchmark() -> Any:
    # The benchmark result classes live with the benchmark runs, which need NumPy: loaded on
    # first use so that `import vestrim` stays light.
    from .benchmark import result
    return result


def _is_benchmark_result(obj: Any) -> bool:
    return type(obj).__module__ in (f"{__package__}.benchmark.result",
                                    f"{__package__}.datasets.records")


def _plain(value: Any) -> Any:
    if isinstance(value, (list, tuple)):
        return [_plain(v) for v in value]
    return value


def _family(metrics: Any, family: str, stored: Optional[Mapping[str, Any]] = None
            ) -> dict[str, Any]:
    """One metric family's JSON object, NaN kept (CLEAR and HOTA with their derived columns,
    taken from ``stored`` where a result holds its own)."""
    from .derived import field_values
    return {key: _plain(value) for key, value in field_values(metrics, family, stored).items()}


def _family_of(metrics: Any) -> str:
    if isinstance(metrics, _CLEAR_TYPES):
        return "clear"
    if isinstance(metrics, _IDENTITY_TYPES):
        return "identity"
    return "hota"


def _families(result: Any) -> dict[str, Any]:
    """{family: dict} of the families a result holds (members that are None are left out)."""
    stored = getattr(result, "derived", None)
    return {f: _family(getattr(result, f), f, stored) for f in FAMILIES
            if getattr(result, f, None) is not None}


def _sequence(result: Any) -> dict[str, Any]:
    out = _families(result)
    out["count"] = _benchmark().count_values(result.count)
    return out


def _tracker(t: Any) -> dict[str, Any]:
    return {"name": t.tracker, "class": t.class_name,
            "sequences": [{"name": s.name, **_sequence(s)} for s in t.sequences],
            "combined": _sequence(t.combined)}


def asdict(result: Any) -> dict[str, Any]:
    """A result as nested dicts of plain Python values (floats, ints, strings, lists).

    Metric families are keyed as in the command line's JSON output (HOTA with its derived
    columns); results holding several families give one dict per family, and a
    ``BenchmarkResult`` gives the whole JSON document (per tracker and class, each sequence and
    COMBINED). ``Matching`` and ``QuorvantixSwitchEvents`` give their attributes, ``Mask`` its
    COCO dict ``{"size": [h, w], "counts": str}``. NaN stays a float NaN (the JSON output writes
    null). Raises ``TypeError`` for anything else.
    """
    if isinstance(result, _METRIC_TYPES):
        return _family(result, _family_of(result))
    if isinstance(result, _FAMILY_TYPES):
        return _families(result)
    if isinstance(result, _vestrim.Matching):
        return {"matches": _plain(result.matches), "scores": result.scores,
                "unmatched_a": result.unmatched_a, "unmatched_b": result.unmatched_b}
    if isinstance(result, _vestrim.QuorvantixSwitchEvents):
        return {"num_transfer": result.num_transfer, "num_ascend": result.num_ascend,
                "num_migrate": result.num_migrate}
    if isinstance(result, _vestrim.Mask):
        return {"size": list(result.size), "counts": result.to_coco()}
    if _is_benchmark_result(result):
        b = _benchmark()
        if isinstance(result, b.Count):
            return b.count_values(result)
        if isinstance(result, b.SequenceResult):
            return {"name": result.name, **_sequence(result)}
        if isinstance(result, b.TrackerResult):
            return _tracker(result)
        if isinstance(result, b.BenchmarkResult):
            return {"protocol": result.protocol, "iou_threshold": result.iou_threshold,
                    "trackers": [_tracker(t) for t in result.trackers]}
    if type(result).__module__ == f"{__package__}.events":
        return result.asdict()  # event logs and track tables
    raise TypeError(f"asdict() expects a vestrim result, not {type(result).__name__!r}")


# ---------------------------------------------------------------------------------------------
# DataFrames

# (column, family, key) in DataFrame order, as this module has always named them.
COLUMNS = tuple((c.header, c.family, c.key) for c in DATAFRAME_COLUMNS)


def dataframe_columns(result: Any) -> dict[str, Any]:
    """One result's row of ``to_dataframe``: {column: value} for the families it has (and its
    Count), then ``Frames``, then HOTA's per-alpha TP, FN and FP (``HOTA_TP___5`` ...
    ``HOTA_FP___95``)."""
    if isinstance(result, _METRIC_TYPES):
        data = {_family_of(result): asdict(result)}
    elif isinstance(result, _FAMILY_TYPES):
        data = _families(result)
    elif _is_benchmark_result(result) and hasattr(result, "count"):
        data = _sequence(result)
    else:
        raise TypeError(f"to_dataframe() expects metric results, not {type(result).__name__!r}")
    row = {c.header: data[c.family][c.key] for c in DATAFRAME_COLUMNS if c.family in data}
    for family in FAMILIES:
        if family in data:
            row[FRAMES.header] = data[family][FRAMES.key]
            break
    if "hota" in data:
        hota = data["hota"]
        for header, key in ALPHA_COUNT_COLUMNS:
            row.update((f"{header}___{alpha_label(a)}", v) for a, v in zip(hota["alphas"], hota[key]))
    return row


def _pandas() -> Any:
    try:
        return importlib.import_module("pandas")
    except ImportError as e:
        raise ImportError("to_dataframe() needs pandas: pip install 'vestrim[pandas]'") from e


def _benchmark_table(result: Any, pd: Any) -> tuple[list[Any], Any]:
    """(rows, index) of a benchmark or tracker result: every sequence, then COMBINED, per
    (tracker, class)."""
    if isinstance(result, _benchmark().TrackerResult):
        rows = list(result.sequences) + [result.combined]
        return rows, pd.Index([r.name for r in rows], name="sequence")
    rows, labels = [], []
    for t in result.trackers:
        for r in list(t.sequences) + [t.combined]:
            rows.append(r)
            labels.append((t.tracker, t.class_name, r.name))
    return rows, pd.MultiIndex.from_tuples(labels, names=["tracker", "class", "sequence"])


def to_dataframe(results: Any, index: Optional[Sequence[Any]] = None) -> Any:
    """A pandas DataFrame with one row per result, columns named as benchmark tables name them:
    HOTA DetA AssA DetRe DetPr AssRe AssPr LocA OWTA HOTA(0) LocA(0) HOTALocA(0) MOTA MOTP MODA
    sMOTA MOTAL CLR_Re CLR_Pr CLR_TP CLR_FN CLR_FP IDSW MT PT ML Frag CLR_F1 FP_per_frame MOTP_sum
    CLR_Frames MTR PTR MLR IDF1 IDR IDP IDTP IDFN IDFP, Dets GT_Dets IDs GT_IDs where the result
    has a Count, Frames, and HOTA's per-alpha counts HOTA_TP___5 ... HOTA_FP___95.

    ``results`` is a list of results (``index`` optionally labels the rows) or a dict of
    label -> result. A ``BenchmarkResult`` (or one tracker's ``TrackerResult``) gives its whole
    table: every sequence and COMBINED, indexed by tracker, class and sequence. Columns of
    families a result lacks are NaN in its row. Needs pandas (``vestrim[pandas]``).
    """
    pd = _pandas()
    if _is_benchmark_result(results) and (hasattr(results, "trackers") or hasattr(results, "tracker")):
        if index is not None:
            raise TypeError("to_dataframe() takes no index with a benchmark result")
        results, index = _benchmark_table(results, pd)
    elif isinstance(results, Mapping):
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
    order = [c.header for c in DATAFRAME_COLUMNS] + [FRAMES.header]
    present = [c for c in order if any(c in row for row in rows)]
    seen = set(present)
    for row in rows:  # the per-alpha columns, in the order of the first row that has them
        for column in row:
            if column not in seen:
                seen.add(column)
                present.append(column)
    return pd.DataFrame(rows, index=index, columns=present)
