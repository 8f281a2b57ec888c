"""Typed use of the public API, checked by `mypy --strict` (test_typing.py) and also run.

Every `assert_type` pins what the type information promises; the file runs as a script, so the
calls are real calls."""

import copy
import os
import pickle
from typing import Any, assert_type

import numpy as np
from matplotlib.figure import Figure

import vestrim

box = (0.0, 0.0, 10.0, 10.0)
boxes = np.array([[0, 0, 10, 10], [20, 0, 30, 10]], dtype=np.float64)

# Box inputs as tuples, lists or arrays.
assert_type(vestrim.iou(box, [1, 0, 11, 10]), float)
assert_type(vestrim.iou_matrix(boxes, [box], box_format="xywh"), list[list[float]])
matching = vestrim.match_boxes(boxes, [box], iou_threshold=0.3, method="greedy")
assert_type(matching.matches, list[tuple[int, int]])

# A sequence as lists, and as arrays.
result = vestrim.evaluate([[1, 2]] * 3, [boxes] * 3, [np.array([7, 8])] * 3, [[box, box]] * 3)
assert_type(result, vestrim.EvaluationResult)
assert_type(result.clear.mota, float)
assert_type(result.hota.hota_alphas, list[float])
assert_type(result.identity.idtp, int)
hota = vestrim.compute_hota_from_similarity([[1]], [[5]], [[[0.8]]])
assert_type(hota.deta, float)

# Streaming, pickled on the way.
acc = vestrim.Accumulator(iou_threshold=0.5)
acc.update([1], [box], [9], np.array([box]))
restored: vestrim.Accumulator = pickle.loads(pickle.dumps(acc))
restored.update_from_similarity([1], [9], [[0.9]])
assert_type(restored.compute().clear.num_matches, int)
assert_type(copy.deepcopy(result), vestrim.EvaluationResult)

# Masks.
mask = vestrim.Mask((3, 3), [4, 1, 4])
assert_type(mask.size, tuple[int, int])
assert_type(vestrim.mask_iou(mask, {"size": [3, 3], "counts": "09"}), float)
assert_type(vestrim.mask_encode(np.zeros((2, 2), dtype=np.uint8)), vestrim.Mask)

# Combined results and plain data.
total = vestrim.combine([result, result])
assert_type(total, vestrim.CombinedResult)
assert_type(total.clear, vestrim.CombinedClear)
as_dict = vestrim.asdict(total)
print(sorted(as_dict))

# From files: the command line's engine, as Python.
root = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "examples", "mot17")
bench = vestrim.evaluate_benchmark(os.path.join(root, "gt"), [os.path.join(root, "trackers", "alpha")],
                                   protocol="mot17")
assert_type(bench, vestrim.BenchmarkResult)
sequence = vestrim.mot.load_sequence(os.path.join(root, "gt", "SYN-01", "gt", "gt.txt"),
                                     os.path.join(root, "trackers", "beta", "SYN-01.txt"))
frame_metrics = vestrim.compute_clear(sequence.gt_ids, sequence.gt_boxes, sequence.pred_ids,
                                      sequence.pred_boxes)
assert_type(frame_metrics, vestrim.ClearMetrics)

table: Any = vestrim.to_dataframe(bench)
figure = vestrim.plot_hota(bench, labels=["alpha"])
assert_type(figure, Figure)
print(table.shape, len(figure.axes))
