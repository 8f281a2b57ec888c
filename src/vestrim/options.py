"""The options of a benchmark run, checked once for the command line and ``evaluate_benchmark``.

``run_options`` takes the values as either caller has them (the command line's text, split into
lists; the Python API's numbers and lists), converts what is text, checks everything against the
protocol and returns a ``RunOptions``. A fault is a ``ValueError`` (``TypeError`` for a value of
the wrong kind) whose message names the option as the caller spells it (``names``); the command
line only maps it to exit status 2. Numbers given as text (``from_text``, the command line's
values) are read here too, so that a bad one is worded the same either way.

Imports only the protocols and the fields.
"""

from __future__ import annotations

import re
from dataclasses import dataclass
from typing import Mapping, Optional, Union

from .fields import FAMILIES, RESERVED_CLASS_NAMES
from .protocols import PROTOCOLS, Protocol, protocol as find_protocol

__all__ = ["RunOptions", "run_options", "API_NAMES", "shown", "ClassMap", "class_map", "iou_threshold"]

# How the Python API names its options in messages (the command line passes its own spelling).
API_NAMES = {"classes": "classes", "gt_classes": "classes", "iou_threshold": "iou_threshold",
             "split": "split", "class_names": "class_names",
             "ignore_classes": "ignore_classes", "metrics": "metrics"}


@dataclass(frozen=True)
class RunOptions:
    protocol: Protocol
    families: tuple                # of FAMILIES, in their order
    iou_threshold: float
    # class names (benchmark), numbers (plain), all (None), or mot-multiclass's ClassMap
    classes: Union[tuple, frozenset, "ClassMap", None]
    split: Optional[str]
    jobs: int


def shown(value) -> str:
    """A value for a message, shortened when it is very long text."""
    if isinstance(value, str) and len(value) > 40:
        value = value[:24] + "..." + value[-8:]
    return repr(value)


def _families(metrics) -> tuple:
    """The metric families chosen, in their fixed order. Names in any case (HOTA, CLEAR,
    Identity); ``count`` is accepted and changes nothing (the counts are always reported)."""
    if metrics is None:
        return FAMILIES
    if isinstance(metrics, str):
        metrics = [m.strip() for m in metrics.split(",")]
    chosen = []
    for m in metrics:
        name = m.lower() if isinstance(m, str) else m
        if name not in FAMILIES and name != "count":
            raise ValueError(f"unknown metric {shown(m)} (choose from {', '.join(FAMILIES)}, "
                             f"count)")
        chosen.append(name)
    return tuple(f for f in FAMILIES if f in chosen)


def _threshold(proto: Protocol, value, name: str) -> float:
    if value is None:
        return proto.iou_threshold if proto.iou_threshold is not None else 0.5
    try:
        number = float(value)
    except (TypeError, ValueError):
        raise ValueError(f"the IoU threshold must be a number, got {shown(value)}") from None
    if not 0.0 < number <= 1.0:  # NaN fails too
        raise ValueError(f"the IoU threshold must be in (0, 1], got {shown(value)}")
    if proto.iou_threshold is not None and number != proto.iou_threshold:
        raise ValueError(f"{name}: {proto.name} scores at IoU {proto.iou_threshold:g} only")
    return number


def iou_threshold(protocol, value=None) -> float:
    """The IoU threshold a run under ``protocol`` (a name or ``Protocol``) matches at, checked as
    ``run_options`` checks it (the Python API's spelling)."""
    return _threshold(find_protocol(protocol), value, API_NAMES["iou_threshold"])


def _jobs(value, from_text: bool) -> int:
    if isinstance(value, str) and from_text:
        try:
            number = int(value)
        except ValueError:
            number = 0
    elif isinstance(value, bool) or not isinstance(value, int):
        number = 0
    else:
        number = value
    if number < 1:
        raise ValueError(f"jobs must be a positive integer, got {shown(value)}")
    return number


def _class_numbers(values, from_text: bool) -> frozenset:
    """Ground-truth classes by number (the 8th value), as integers or their text."""
    if isinstance(values, (str, bytes, int)):
        values = [values]
    out = []
    for item in values:
        if isinstance(item, str) and from_text:
            try:
                number = int(item)
            except ValueError:
                raise ValueError(f"classes must be integers, got {shown(item)}") from None
        elif isinstance(item, bool) or not hasattr(item, "__index__"):
            raise TypeError(f"classes must be integers, got {shown(item)}")
        else:
            number = int(item)
        if not -2**63 <= number < 2**63:
            raise ValueError(f"class {shown(item)} does not fit in 64 bits")
        out.append(number)
    return frozenset(out)


def _class_names(proto: Protocol, values, name: str) -> tuple:
    """The protocol's classes chosen by name, in the protocol's order."""
    if isinstance(values, (str, bytes, int)):
        values = [values]
    values = list(values)
    scored = proto.classes or ()
    for c in values:
        if c not in scored:
            raise ValueError(f"{name}: {proto.name} scores {', '.join(scored)}, not {shown(c)}")
    return tuple(c for c in scored if c in values)


def _selected_names(proto: Protocol, values, name: str) -> tuple:
    """The protocol's classes chosen by name (any case), in the order given, each once; all of
    them by default."""
    if values is None:
        return tuple(proto.classes or ())
    if isinstance(values, (str, bytes, int)):
        values = [values]
    scored = proto.classes or ()
    out: list = []
    for c in values:
        key = c.lower() if isinstance(c, str) else c
        if key not in scored:
            raise ValueError(f"{name}: {proto.name} scores {', '.join(scored)}, not {shown(c)}")
        if key not in out:
            out.append(key)
    return tuple(out)


_NAME = re.compile(r"[a-z0-9_ -]+")


@dataclass(frozen=True)
class ClassMap:
    """The classes of a ``mot-multiclass`` run: number -> name of every mapped class (map order),
    the class numbers that mark ignore regions, and the names scored (result order)."""

    names: tuple          # ((number, name), ...)
    ignore: frozenset
    selected: tuple       # names

    def number(self, name: str) -> int:
        return next(n for n, m in self.names if m == name)


def _class_number(value, what: str) -> int:
    if isinstance(value, bool):
        raise ValueError(f"{what}: class numbers are integers, got {value!r}")
    if isinstance(value, str):
        text = value.strip()
        if not re.fullmatch(r"[+-]?[0-9]+", text):
            raise ValueError(f"{what}: class numbers are integers, got {value!r}")
        value = int(text)
    try:
        number = int(value)
    except (TypeError, ValueError):
        raise ValueError(f"{what}: class numbers are integers, got {value!r}") from None
    if number != value:
        raise ValueError(f"{what}: class numbers are integers, got {value!r}")
    if not -2**63 <= number < 2**63:
        raise ValueError(f"{what}: class {number} does not fit in 64 bits")
    return number


def class_map(class_names, ignore_classes=None, classes=None) -> ClassMap:
    """Check a class-name map (``{1: "pedestrian"}`` or ``"1=pedestrian,3=car"``), the ignore
    classes (``{13}`` or ``"13"``) and a selection of names; ValueError with the reason."""
    if class_names is None:
        raise ValueError("mot-multiclass needs a class-name map, e.g. 1=pedestrian,3=car")
    pairs: list
    if isinstance(class_names, str):
        pairs = []
        for item in class_names.split(","):
            text, sep, label = item.partition("=")
            if not sep or not item.strip():
                raise ValueError(f"class names: expected NUMBER=NAME, got {item.strip()!r}")
            pairs.append((text, label))
    elif isinstance(class_names, Mapping):
        pairs = list(class_names.items())
    else:
        raise ValueError("class names: a mapping of class numbers to names, e.g. "
                         "{1: 'pedestrian', 3: 'car'}")
    names: list = []
    for given, name in pairs:
        number = _class_number(given, "class names")
        if not isinstance(name, str):
            raise ValueError(f"class names: the name of class {number} is not a string")
        name = name.strip().lower()
        if not _NAME.fullmatch(name):
            raise ValueError(f"class names: {name!r} (class {number}) must be letters, digits, "
                             f"'_', '-' or spaces")
        if name in RESERVED_CLASS_NAMES:
            raise ValueError(f"class names: {name!r} is reserved for combined results")
        if any(n == number for n, _ in names):
            raise ValueError(f"class names: class {number} is named twice")
        if any(m == name for _, m in names):
            raise ValueError(f"class names: the name {name!r} is given to two classes")
        names.append((number, name))
    if not names:
        raise ValueError("class names: no class given")
    ignore_list: list = []
    if isinstance(ignore_classes, (str, int)):
        ignore_list = str(ignore_classes).split(",")
    elif ignore_classes is not None:
        ignore_list = list(ignore_classes)
    ignore = frozenset(_class_number(c, "ignore classes") for c in ignore_list)
    for ignored in sorted(ignore):
        if any(n == ignored for n, _ in names):
            raise ValueError(f"ignore classes: class {ignored} is also a named class")
    if classes is None:
        selected = tuple(m for _, m in names)
    else:
        if isinstance(classes, str):
            classes = [classes]
        selected_list: list = []
        for c in classes:
            if not isinstance(c, str):
                raise ValueError(f"classes are names under mot-multiclass, got {c!r}")
            c = c.strip().lower()
            if not any(m == c for _, m in names):
                raise ValueError(f"class {c!r} is not in the class-name map (named: "
                                 f"{', '.join(m for _, m in names)})")
            if c not in selected_list:
                selected_list.append(c)
        selected = tuple(selected_list)
    return ClassMap(tuple(names), ignore, selected)


def _split(proto: Protocol, value, name: str) -> Optional[str]:
    if value is None:
        return None
    if proto.default_split is None:
        kitti = ", ".join(p.name for p in PROTOCOLS.values() if p.default_split is not None)
        raise ValueError(f"{name} applies under {kitti} only")
    if not isinstance(value, str) or not value or any(c in value for c in "/\\\0"):
        raise ValueError(f"{name} is a plain name such as {proto.default_split!r}, got "
                         f"{shown(value)}")
    return value


def _own_metrics_options(proto: Protocol, metrics, iou_threshold, classes, gt_classes, split,
                         jobs: int, names: dict) -> RunOptions:
    """A protocol scored with its dataset's own metrics: a split name is required, and metric
    families, an IoU threshold and ground-truth class numbers do not apply."""
    for option, value in (("metrics", metrics), ("iou_threshold", iou_threshold),
                          ("gt_classes", gt_classes)):
        if value is not None:
            raise ValueError(f"{names.get(option, option)} does not apply under {proto.name}")
    if not isinstance(split, str) or not split:
        raise ValueError(f"{proto.name} needs {names['split']}: a split name (a predefined one "
                         f"or a key of the version folder's splits.json)")
    chosen = _class_names(proto, classes, names["classes"]) if classes is not None else None
    return RunOptions(proto, (), 0.0, chosen, split, jobs)


def run_options(protocol="plain", *, metrics=None, iou_threshold=None, classes=None,
                gt_classes=None, split=None, jobs=1, names=None, class_names=None,
                ignore_classes=None, from_text: bool = False) -> RunOptions:
    """Checked options of a run. ``classes`` chooses among a benchmark protocol's classes by
    name; ``gt_classes`` keeps ground-truth classes by number under ``plain``;
    ``class_names`` and ``ignore_classes`` are mot-multiclass's class map (see ``class_map``).
    ``names`` spells the options in messages (``API_NAMES`` by default); ``from_text`` accepts
    the text of a number where a number is expected."""
    names = names or API_NAMES
    proto = find_protocol(protocol)
    if proto.own_metrics:
        if class_names is not None or ignore_classes is not None:
            raise ValueError(f"{names['class_names']} and {names['ignore_classes']} apply under "
                             f"mot-multiclass only")
        return _own_metrics_options(proto, metrics, iou_threshold, classes, gt_classes, split,
                                    _jobs(jobs, from_text), names)
    families = _families(metrics)
    jobs = _jobs(jobs, from_text)
    numbers = _class_numbers(gt_classes, from_text) if gt_classes is not None else None
    split = _split(proto, split, names["split"])
    if proto.dataset != "multiclass" and (class_names is not None
                                          or ignore_classes is not None):
        raise ValueError(f"{names['class_names']} and {names['ignore_classes']} apply under "
                         f"mot-multiclass only")
    if not proto.is_benchmark:
        if classes is not None:
            raise ValueError(f"{names['classes']} applies under the benchmark protocols (under "
                             f"plain, {names['gt_classes']} selects ground-truth classes by "
                             f"number)")
        return RunOptions(proto, families, _threshold(proto, iou_threshold,
                                                      names["iou_threshold"]),
                          numbers, split, jobs)
    chosen: Union[tuple, ClassMap, None]
    if proto.dataset == "multiclass":
        try:
            chosen = class_map(class_names, ignore_classes, classes)
        except ValueError as e:
            raise ValueError(f"{names['class_names']}, {names['ignore_classes']}, "
                             f"{names['classes']}: {e}") from None
    elif proto.selection_order:
        chosen = _selected_names(proto, classes, names["classes"])
    else:
        chosen = _class_names(proto, classes, names["classes"]) if classes is not None else None
    threshold = _threshold(proto, iou_threshold, names["iou_threshold"])
    if numbers is not None:
        raise ValueError(f"{names['gt_classes']} applies under the plain protocol only "
                         f"({proto.name} scores "
                         f"{', '.join(proto.classes or ()) or 'the classes of its class map'})")
    return RunOptions(proto, families, threshold, chosen, split, jobs)
