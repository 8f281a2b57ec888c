"""Deterministic synthetic tracking sequences for the benchmarks.

Ground truth: `num_gt_ids` objects moving on straight lines with a little wobble through a
1920x1080 scene, each alive over one contiguous stretch of frames, so that about
`gt_per_frame` are present in every frame (crowded scenes overlap, and the IoU matrices have
real off-diagonal entries).

Predictions: each ground-truth box is detected with probability 1 - `miss_rate`, its corners
jittered by a few percent of its size (IoUs spread from about 0.5 to 1, some below 0.5). Each
ground-truth trajectory is cut into fragments at random points; a fragment either gets a fresh
predicted id (fragmentation) or takes over the id that another trajectory's fragment just gave up
(an identity switch). False positives come as short spurious tracks with ids of their own, as
many as needed to reach exactly `num_pred_ids` predicted ids. Within a frame the objects are
listed in random order.

Everything is drawn from one seeded generator: equal arguments give equal sequences.

    from synth import SIZES, make_sequence
    seq = make_sequence(**SIZES["L"])
    seq.as_arrays()   # per frame: int64 id arrays and C-contiguous (N, 4) float64 box arrays
    seq.as_lists()    # per frame: lists of ints and lists of 4-tuples of floats
"""
from __future__ import annotations

from dataclasses import dataclass

import numpy as np

WIDTH, HEIGHT = 1920.0, 1080.0

SIZES = {
    "S": dict(num_frames=600, gt_per_frame=30, pred_per_frame=40, num_gt_ids=100, num_pred_ids=250),
    "L": dict(num_frames=3000, gt_per_frame=100, pred_per_frame=110, num_gt_ids=1250, num_pred_ids=4900),
}


@dataclass
class Sequence:
    """One sequence in flat form: frame k holds rows gt_start[k]:gt_start[k + 1] (and likewise pred)."""

    gt_ids: np.ndarray      # int64, all frames back to back
    gt_boxes: np.ndarray    # float64 (N, 4), xyxy
    gt_start: np.ndarray    # frame offsets, num_frames + 1
    pred_ids: np.ndarray
    pred_boxes: np.ndarray
    pred_start: np.ndarray

    @property
    def num_frames(self) -> int:
        return len(self.gt_start) - 1

    def _split(self, values, start):
        return [values[start[k]:start[k + 1]] for k in range(len(start) - 1)]

    def as_arrays(self):
        """(gt_ids, gt_boxes, pred_ids, pred_boxes): per-frame int64 and contiguous float64 arrays."""
        copy = lambda a: np.ascontiguousarray(a).copy()  # one independent array per frame
        return (
            [copy(a) for a in self._split(self.gt_ids, self.gt_start)],
            [copy(a) for a in self._split(self.gt_boxes, self.gt_start)],
            [copy(a) for a in self._split(self.pred_ids, self.pred_start)],
            [copy(a) for a in self._split(self.pred_boxes, self.pred_start)],
        )

    def as_lists(self):
        """(gt_ids, gt_boxes, pred_ids, pred_boxes): per-frame lists of ints and of 4-tuples."""
        ids = lambda a: a.tolist()
        boxes = lambda a: [tuple(b) for b in a.tolist()]
        return (
            [ids(a) for a in self._split(self.gt_ids, self.gt_start)],
            [boxes(a) for a in self._split(self.gt_boxes, self.gt_start)],
            [ids(a) for a in self._split(self.pred_ids, self.pred_start)],
            [boxes(a) for a in self._split(self.pred_boxes, self.pred_start)],
        )

    def counts(self):
        return {
            "frames": self.num_frames,
            "gt boxes": len(self.gt_ids),
            "pred boxes": len(self.pred_ids),
            "gt ids": len(np.unique(self.gt_ids)),
            "pred ids": len(np.unique(self.pred_ids)),
        }


def _lifetimes(rng, count, mean_length, num_frames):
    """Start frame and length of `count` stretches with the given mean length, inside the sequence."""
    mean_length = min(mean_length, num_frames)
    lengths = np.clip(np.rint(rng.uniform(0.5, 1.5, count) * mean_length), 1, num_frames).astype(np.int64)
    starts = np.floor(rng.random(count) * (num_frames - lengths + 1)).astype(np.int64)
    return starts, lengths


def _path(rng, start, length):
    """Boxes of one object over `length` frames: a straight walk with a little wobble."""
    w = rng.uniform(30.0, 110.0)
    h = w * rng.uniform(1.8, 3.0)
    x = rng.uniform(0.0, WIDTH - w)
    y = rng.uniform(0.0, HEIGHT - h)
    vx, vy = rng.normal(0.0, 1.5, 2)
    t = np.arange(length, dtype=np.float64)
    xs = x + vx * t + np.cumsum(rng.normal(0.0, 0.7, length))
    ys = y + vy * t + np.cumsum(rng.normal(0.0, 0.4, length))
    scale = np.exp(np.cumsum(rng.normal(0.0, 0.004, length)))
    ws, hs = w * scale, h * scale
    return np.stack([xs, ys, xs + ws, ys + hs], axis=1)


def make_sequence(num_frames, gt_per_frame, pred_per_frame, num_gt_ids, num_pred_ids,
                  miss_rate=0.1, fragment_rate=0.006, switch_share=0.3, jitter=0.04,
                  fp_track_length=40, seed=0) -> Sequence:
    rng = np.random.default_rng(seed)

    # Ground truth.
    starts, lengths = _lifetimes(rng, num_gt_ids, gt_per_frame * num_frames / num_gt_ids, num_frames)
    tracks = []
    for g in range(num_gt_ids):
        gt_id = 1 + g
        boxes = _path(rng, starts[g], lengths[g])
        frames = np.arange(starts[g], starts[g] + lengths[g])
        tracks.append((gt_id, frames, boxes))

    # Fragments of every gt trajectory, each to receive a predicted id.
    fragments = []  # (start frame, gt track index, first row, last row + 1)
    for k, (_, frames, _) in enumerate(tracks):
        cuts = np.flatnonzero(rng.random(len(frames) - 1) < fragment_rate) + 1
        bounds = np.concatenate([[0], cuts, [len(frames)]])
        for a, b in zip(bounds[:-1], bounds[1:]):
            fragments.append((int(frames[a]), k, int(a), int(b)))
    fragments.sort()

    # Pred ids of the fragments: fresh, or (an identity switch) the id another trajectory's
    # fragment gave up most recently, if that fragment has ended by now.
    next_pred = 1
    released = []  # (end frame, pred id) of finished fragments whose id may be taken over
    fragment_ids = []
    for start, k, a, b in fragments:
        pid = None
        if released and rng.random() < switch_share:
            pick = int(rng.integers(len(released)))
            end, candidate = released[pick]
            if end <= start:
                pid = candidate
                released.pop(pick)
        if pid is None:
            pid = next_pred
            next_pred += 1
        fragment_ids.append(pid)
        released.append((start + (b - a), pid))
        if len(released) > 32:
            released.pop(0)
    num_fragment_ids = next_pred - 1

    # Detections of the fragments: misses, then jitter proportional to the box size.
    det_parts = []
    for (start, k, a, b), pid in zip(fragments, fragment_ids):
        _, frames, boxes = tracks[k]
        keep = rng.random(b - a) >= miss_rate
        keep[0] = True  # every fragment's id is seen at least once
        f = frames[a:b][keep]
        bx = boxes[a:b][keep]
        size = np.stack([bx[:, 2] - bx[:, 0], bx[:, 3] - bx[:, 1]] * 2, axis=1)
        det_parts.append((f, np.full(len(f), pid, dtype=np.int64), bx + rng.normal(0.0, jitter, bx.shape) * size))

    # False positives: short spurious tracks, filling the predicted id count and box budget.
    num_fp_tracks = max(num_pred_ids - num_fragment_ids, 0)
    detected = sum(len(f) for f, _, _ in det_parts)
    fp_boxes = max(pred_per_frame * num_frames - detected, num_fp_tracks)
    if num_fp_tracks:
        fp_starts, fp_lengths = _lifetimes(rng, num_fp_tracks, fp_boxes / num_fp_tracks, num_frames)
        for t in range(num_fp_tracks):
            f = np.arange(fp_starts[t], fp_starts[t] + fp_lengths[t])
            det_parts.append((f, np.full(len(f), next_pred + t, dtype=np.int64), _path(rng, fp_starts[t], len(f))))

    def flatten(parts):
        frames = np.concatenate([p[0] for p in parts])
        ids = np.concatenate([p[1] for p in parts])
        boxes = np.concatenate([p[2] for p in parts])
        # Random order within each frame: sort by (frame, random key).
        order = np.lexsort((rng.random(len(frames)), frames))
        frames, ids, boxes = frames[order], ids[order], np.ascontiguousarray(boxes[order])
        start = np.searchsorted(frames, np.arange(num_frames + 1))
        return ids, boxes, start

    gt_parts = [(frames, np.full(len(frames), gt_id, dtype=np.int64), boxes) for gt_id, frames, boxes in tracks]
    gt_ids, gt_boxes, gt_start = flatten(gt_parts)
    pred_ids, pred_boxes, pred_start = flatten(det_parts)
    return Sequence(gt_ids, gt_boxes, gt_start, pred_ids, pred_boxes, pred_start)


if __name__ == "__main__":
    for name, size in SIZES.items():
        print(name, make_sequence(**size).counts())
