"""Plain-Python oracles for the fuzz targets: the compressed counts decoder and mask validation
written out step by step, and dense (pixel) mask operations. The fuzzer instruments this module, so
its branches also guide the search towards the decoder's corner cases."""

import numpy as np

MASK64 = (1 << 64) - 1
MAX_RUN = 0xFFFFFFFF


def decode_counts(data):
    """Run lengths of a compressed counts string (bytes), or the error message."""
    runs = []
    pos, n = 0, len(data)
    while pos < n:
        x = 0
        k = 0
        while True:
            b = data[pos]
            pos += 1
            c = (b - 48) & 0xFF
            if c >= 64:
                return f"invalid byte 0x{b:02x} in RLE counts string"
            more = c & 0x20
            if k == 12:
                x |= (c & 0x0F) << 60
                if more:
                    return "truncated RLE counts string" if pos >= n else "RLE counts string has an oversized run-length group"
                if c & 0x10:
                    return "RLE counts string has an oversized signed run-length group"
                break
            x |= (c & 0x1F) << (5 * k)
            if not more:
                if c & 0x10:
                    x |= (MASK64 << (5 * (k + 1))) & MASK64
                break
            if pos >= n:
                return "truncated RLE counts string"
            k += 1
        if len(runs) > 2:
            x = (x + runs[-2]) & MASK64
        if x > MAX_RUN:
            signed = x - (1 << 64) if x >= 1 << 63 else x
            return f"RLE counts string decodes to an out-of-range run length ({signed})"
        runs.append(x)
    return runs


def encode_counts(runs):
    out = []
    for i, run in enumerate(runs):
        x = run - runs[i - 2] if i > 2 else run
        while True:
            g = x & 0x1F
            x >>= 5
            finished = x == -1 if g & 0x10 else x == 0
            out.append(chr((g if finished else g | 0x20) + 48))
            if finished:
                break
    return "".join(out)


def create(h, w, runs):
    """The validated run list, or the constructor's error message."""
    if h * w > MASK64:
        return f"mask dimensions too large: {h} * {w} overflows"
    total = sum(runs)
    if total != h * w:
        return f"RLE counts cover {total} pixels, expected {h * w} ({h} * {w})"
    return list(runs)


def dense(h, w, runs):
    flat = np.repeat(np.arange(len(runs)) % 2, runs).astype(bool)
    return flat.reshape(w, h).T


def runs_of(image):
    """Run lengths of a dense (h, w) boolean image, column-major, starting with background."""
    flat = image.T.reshape(-1)
    runs, colour, count = [], False, 0
    for v in flat:
        if bool(v) == colour:
            count += 1
        else:
            runs.append(count)
            colour, count = not colour, 1
    runs.append(count)
    return runs


def iou(a, b, crowd=False):
    inter = int(np.logical_and(a, b).sum())
    if inter == 0:
        return 0.0
    den = int(a.sum()) if crowd else int(np.logical_or(a, b).sum())
    return inter / den if den else 0.0


def bbox(image, xywh=False):
    rows = np.flatnonzero(image.any(axis=1))
    cols = np.flatnonzero(image.any(axis=0))
    if len(rows) == 0:
        return (0.0, 0.0, 0.0, 0.0)
    x1, y1, x2, y2 = cols[0], rows[0], cols[-1] + 1, rows[-1] + 1
    if xywh:
        return (float(x1), float(y1), float(x2 - x1), float(y2 - y1))
    return (float(x1), float(y1), float(x2), float(y2))


