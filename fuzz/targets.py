"""Fuzz targets for the input paths that parse untrusted data (atheris, coverage-guided).

    python3 fuzz/targets.py TARGET [libFuzzer options...] [CORPUS_DIR...]

TARGET is one of: counts, masks, boxes, similarity, mot_text, kitti_text, mots_text. tools/fuzz.sh runs each for a bounded time on
a scratch copy of the seeds in fuzz/seeds/TARGET. Each target checks more than "no crash": results
are compared with a plain-Python oracle or with the same data given in another accepted form, and
only the documented exception types may escape.
"""

import math
import os
import sys

import atheris
import numpy as np  # imported first so that only the oracle module below is instrumented

# The Python reference readers (kept with the tests) are instrumented too: they are the oracles
# of the text targets.
sys.path.insert(1, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "tests",
                                "reference"))
with atheris.instrument_imports(include=["reference", "readers", "vestrim.datasets"]):
    import readers
    import reference
    from vestrim.datasets import kitti, motchallenge, mots

import vestrim
from vestrim import Mask
from vestrim.errors import MotFormatError

CONVERSION_ERRORS = (TypeError, ValueError, OverflowError, KeyError, IndexError)


def fail(message, *details):
    raise AssertionError(message + "".join(f"\n  {d!r}" for d in details))


# --- compressed counts ------------------------------------------------------------------------


def counts_target(data):
    """The compressed counts decoder, against the oracle, through str, bytes and mapping inputs."""
    if not data:
        return
    mode, text = data[0], data[1:]
    expected = reference.decode_counts(text)
    total = sum(expected) if isinstance(expected, list) else 0
    sizes = [(total, 1), (1, total), (0, 0), (2**32, 2**32 + mode), (mode % 7, (mode >> 3) % 5)]
    h, w = sizes[mode % len(sizes)]
    if isinstance(expected, list):
        expected = reference.create(h, w, expected)

    def outcome(call):
        try:
            return call().counts
        except ValueError as e:
            return str(e)

    try:
        as_text = text.decode("utf-8")
    except UnicodeDecodeError:
        as_text = None
    got = outcome(lambda: Mask.from_coco((h, w), text))
    want = expected if as_text is not None else "RLE counts bytes must be valid ASCII"
    if got != want:
        fail("from_coco(bytes) differs from the oracle", text, (h, w), got, want)
    if as_text is not None:
        for call in (lambda: Mask.from_coco([h, w], as_text),
                     lambda: Mask.from_coco(np.array([h, w], dtype=np.uint64), as_text)
                     if h < 2**63 and w < 2**63 else Mask.from_coco((h, w), as_text)):
            got = outcome(call)
            if got != expected:
                fail("from_coco(str) differs from the oracle", as_text, got, expected)
        area = None
        try:
            area = vestrim.mask_area({"size": (h, w), "counts": as_text})
        except ValueError as e:
            if str(e) != expected:
                fail("mask_area(dict) differs", as_text, str(e), expected)
        if area is not None:
            if not isinstance(expected, list) or area != sum(expected[1::2]):
                fail("mask_area(dict) differs", as_text, area, expected)
    if isinstance(expected, list):
        m = Mask((h, w), expected)
        again = m.to_coco()
        if again != reference.encode_counts(expected):
            fail("encoder differs from the oracle", expected, again)
        if Mask.from_coco((h, w), again).counts != expected:
            fail("encode/decode round trip lost runs", expected, again)


# --- masks ------------------------------------------------------------------------------------


def draw_runs(fdp, h, w):
    """A run list covering h * w pixels, zero-length runs included."""
    n = h * w
    cuts = sorted(fdp.ConsumeIntInRange(0, n) for _ in range(fdp.ConsumeIntInRange(0, 8)))
    bounds = [0, *cuts, n]
    return [b - a for a, b in zip(bounds, bounds[1:])]


def render_mask(fdp, h, w, runs):
    """The same mask in one of the accepted forms, or (rarely) a broken one: (object, valid)."""
    form = fdp.ConsumeIntInRange(0, 12)
    text = reference.encode_counts(runs)
    forms = [
        lambda: Mask((h, w), runs),
        lambda: {"size": [h, w], "counts": text},
        lambda: {"size": (h, w), "counts": text.encode()},
        lambda: {"size": np.array([h, w]), "counts": np.array(runs, dtype=np.int64)},
        lambda: {"size": [h, w], "counts": tuple(runs)},
        lambda: Mask.from_coco((h, w), text),
        lambda: {"size": Seq([h, w]), "counts": Seq(runs)},
        lambda: {"size": [h, w], "counts": runs},
    ]
    if form < len(forms):
        return forms[form](), True
    broken = [
        {"size": [h, w]},
        {"counts": runs},
        {"size": [h, w, 1], "counts": runs},
        {"size": [h, w], "counts": runs + [1]},
        {"size": [h, w], "counts": text + "1"},
        None,
    ]
    return broken[fdp.ConsumeIntInRange(0, len(broken) - 1)], False


def masks_target(data):
    """Mask construction from every accepted form, and every mask operation, against dense numpy."""
    fdp = atheris.FuzzedDataProvider(data)
    if fdp.ConsumeIntInRange(0, 15) == 0:
        # Raw sizes and counts, anything at all: a clean exception or a valid mask.
        size = (fdp.ConsumeIntInRange(-2, 2**64 + 1), fdp.ConsumeIntInRange(-2, 2**64 + 1))
        counts = fdp.ConsumeIntListInRange(fdp.ConsumeIntInRange(0, 6), -1, 2**33)
        try:
            m = Mask(size, counts)
        except CONVERSION_ERRORS:
            return
        if sum(m.counts) != m.size[0] * m.size[1]:
            fail("invalid mask accepted", size, counts)
        vestrim.mask_area(m), vestrim.mask_to_bbox(m), vestrim.mask_merge([m, m]), vestrim.mask_iou(m, m)
        return
    h, w = fdp.ConsumeIntInRange(0, 9), fdp.ConsumeIntInRange(0, 9)
    count = fdp.ConsumeIntInRange(1, 4)
    runs = [draw_runs(fdp, h, w) for _ in range(count)]
    images = [reference.dense(h, w, r) for r in runs]
    rendered = [render_mask(fdp, h, w, r) for r in runs]
    masks = [m for m, _ in rendered]
    valid = all(ok for _, ok in rendered)
    try:
        matrix = vestrim.mask_iou_matrix(masks, masks[::-1], is_crowd=[bool(k % 2) for k in range(count)])
        union = vestrim.mask_merge(masks)
        inter = vestrim.mask_merge(masks, intersect=True)
        boxes = [vestrim.mask_to_bbox(m, box_format=f) for m in masks for f in ("xyxy", "xywh")]
        areas = [vestrim.mask_area(m) for m in masks]
        decoded = [vestrim.mask_decode(m) for m in masks]
        matching = vestrim.match_masks(masks, masks[::-1], iou_threshold=fdp.ConsumeFloatInRange(0.0, 1.0))
    except CONVERSION_ERRORS:
        if valid:
            raise
        return
    if not valid:
        fail("a broken mask was accepted", masks)
    flipped = images[::-1]
    for i in range(count):
        for j in range(count):
            want = reference.iou(images[i], flipped[j], crowd=bool(j % 2))
            if matrix[i][j] != want:
                fail("mask IoU differs from dense", runs[i], runs[count - 1 - j], matrix[i][j], want)
    if not np.array_equal(reference.dense(h, w, union.counts), np.logical_or.reduce(images)):
        fail("union differs", runs, union.counts)
    if not np.array_equal(reference.dense(h, w, inter.counts), np.logical_and.reduce(images)):
        fail("intersection differs", runs, inter.counts)
    want_boxes = [reference.bbox(im, xywh=f) for im in images for f in (False, True)]
    if boxes != want_boxes:
        fail("bbox differs", runs, boxes, want_boxes)
    if areas != [int(im.sum()) for im in images]:
        fail("area differs", runs, areas)
    for image, rows, r in zip(images, decoded, runs):
        if rows != image.astype(int).tolist() and not (h == 0 and rows == []):
            fail("decode differs", r, rows)
        bitmap = image.astype(np.uint8) * np.uint8(fdp.ConsumeIntInRange(1, 255))
        view = [bitmap, np.asfortranarray(bitmap), np.ascontiguousarray(bitmap[::-1, ::-1])[::-1, ::-1]][
            fdp.ConsumeIntInRange(0, 2)]
        encoded = vestrim.mask_encode(view)
        if not np.array_equal(reference.dense(h, w, encoded.counts), image):
            fail("encode differs", r, encoded.counts)
    pairs = matching.matches
    if len({a for a, _ in pairs}) != len(pairs) or len({b for _, b in pairs}) != len(pairs):
        fail("matching is not one-to-one", pairs)


# --- box sets ---------------------------------------------------------------------------------


class Seq:
    """A user-defined sequence (no list fast path)."""

    def __init__(self, items):
        self.items = list(items)

    def __len__(self):
        return len(self.items)

    def __getitem__(self, i):
        return self.items[i]


def draw_boxes(fdp, n, columns=4):
    out = []
    for _ in range(n):
        x, y = fdp.ConsumeIntInRange(-4, 8), fdp.ConsumeIntInRange(-4, 8)
        box = [float(x), float(y), float(x + fdp.ConsumeIntInRange(0, 5)), float(y + fdp.ConsumeIntInRange(0, 5))]
        if fdp.ConsumeIntInRange(0, 30) == 0:
            box[fdp.ConsumeIntInRange(0, 3)] = fdp.PickValueInList([math.nan, math.inf, -math.inf, 0.5, 1e300])
        out.append(box[:columns] + [float(fdp.ConsumeIntInRange(0, 3)) for _ in range(columns - 4)])
    return out


def render_rows(fdp, rows, dtype=np.float64):
    """One box set (or one matrix) in one of the forms that must give the same values."""
    form = fdp.ConsumeIntInRange(0, 11)
    arr = np.array(rows, dtype=np.float64).reshape(len(rows), -1) if rows else np.zeros((0, 4))
    if form == 0:
        return [tuple(r) for r in rows]
    if form == 1:
        return rows
    if form == 2:
        return tuple(Seq(r) for r in rows)
    if form == 3:
        return Seq([np.array(r) for r in rows])
    if form == 4:
        return arr
    if form == 5:
        return np.asfortranarray(arr)
    if form == 6:  # a strided view of a bigger array
        big = np.zeros((arr.shape[0] * 2, arr.shape[1] * 3))
        big[::2, ::3] = arr
        return big[::2, ::3]
    if form == 7:
        return arr[::-1][::-1] if arr.shape[0] else arr
    if form == 8:  # misaligned
        raw = np.zeros(arr.size * 8 + 1, dtype=np.uint8)
        view = raw[1:].view(np.float64).reshape(arr.shape)
        view[...] = arr
        return view
    if form == 9:
        return arr.astype(">f8")
    if form == 10:
        return [[np.float64(v) for v in r] for r in rows]
    return [list(map(int, r)) if all(v == int(v) for v in r if math.isfinite(v)) and all(map(math.isfinite, r)) else r
            for r in rows]


def corrupt(fdp, value):
    """A box set with one thing wrong, or something that is not a box set at all."""
    choice = fdp.ConsumeIntInRange(0, 9)
    items = list(value) if isinstance(value, (list, tuple)) else []
    bad = [None, "abcd", (0, 0, 1), (0, 0, 1, 1, 1), ("a", 0, 0, 1), b"1234", np.zeros(4), np.zeros((2, 2)),
           object(), 3.5][fdp.ConsumeIntInRange(0, 9)]
    if choice < 5 and items:
        items[fdp.ConsumeIntInRange(0, len(items) - 1)] = bad
        return items
    return [bad, "xyxy", np.zeros((2, 5)), np.zeros((2, 4, 1)), np.zeros((2, 4), dtype=np.float32),
            np.zeros(4), 5, None, {"a": 1}, np.zeros((3, 4), dtype=np.int64)][choice]


def same(a, b):
    """Equality that treats NaN as equal to NaN, through nested lists."""
    if isinstance(a, list) and isinstance(b, list):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    if isinstance(a, float) and isinstance(b, float):
        return a == b or (math.isnan(a) and math.isnan(b))
    return a == b


def is_internal_error(e):
    return type(e).__name__ == "InternalError" and not isinstance(e, Exception)


def boxes_target(data):
    """Box-set conversion in every accepted form gives what the plain list gives; anything else
    raises TypeError or ValueError."""
    fdp = atheris.FuzzedDataProvider(data)
    fmt = fdp.PickValueInList(["xyxy", "xywh"])
    a = draw_boxes(fdp, fdp.ConsumeIntInRange(0, 5))
    b = draw_boxes(fdp, fdp.ConsumeIntInRange(0, 5))
    try:
        compare_box_forms(fdp, fmt, a, b)
    except BaseException as e:
        # A NaN IoU (from a NaN or infinite coordinate, or an area that overflows) is refused by
        # the optimal matchers with the internal error; a finite IoU matrix never may be.
        finite = all(math.isfinite(v) for row in vestrim.iou_matrix(a, b, box_format=fmt) for v in row)
        if not is_internal_error(e) or finite:
            raise
    broken_box_sets(fdp, fmt, a, b)


def compare_box_forms(fdp, fmt, a, b):
    want = vestrim.iou_matrix(a, b, box_format=fmt)
    ra, rb = render_rows(fdp, a), render_rows(fdp, b)
    got = vestrim.iou_matrix(ra, rb, box_format=fmt)
    if not same(got, want):
        fail("iou_matrix differs between forms", a, b, type(ra), type(rb), got, want)
    if a and b:
        got = vestrim.match_boxes(ra, rb, iou_threshold=0.3, box_format=fmt, method=fdp.PickValueInList(["hungarian", "greedy"]))
        if any(not (0 <= i < len(a) and 0 <= j < len(b)) for i, j in got.matches):
            fail("match index out of range", got.matches)
    # Per-frame sequences: the same frames through compute_clear and the streaming accumulator.
    frames = fdp.ConsumeIntInRange(1, 3)
    gt_ids = [list(range(len(a)))] * frames
    pred_ids = [list(range(len(b)))] * frames
    plain = vestrim.compute_clear(gt_ids, [a] * frames, pred_ids, [b] * frames, box_format=fmt)
    rendered = vestrim.compute_clear(gt_ids, [render_rows(fdp, a) for _ in range(frames)], pred_ids,
                                     [render_rows(fdp, b) for _ in range(frames)], box_format=fmt)
    if (plain.num_matches, plain.num_switches, plain.num_misses) != (rendered.num_matches, rendered.num_switches, rendered.num_misses) or not same(plain.motp, rendered.motp):
        fail("compute_clear differs between forms", a, b)
    acc = vestrim.Accumulator(box_format=fmt)
    for _ in range(frames):
        acc.update(gt_ids[0], render_rows(fdp, a), pred_ids[0], render_rows(fdp, b))
    if acc.compute().clear.num_matches != plain.num_matches:
        fail("accumulator differs from compute_clear", a, b)


def broken_box_sets(fdp, fmt, a, b):
    """Broken inputs: a clean TypeError or ValueError."""
    ra, rb = render_rows(fdp, a), render_rows(fdp, b)
    gt_ids, pred_ids = [list(range(len(a)))], [list(range(len(b)))]
    broken = corrupt(fdp, ra)
    for call in (lambda: vestrim.iou_matrix(broken, rb, box_format=fmt),
                 lambda: vestrim.compute_hota([gt_ids[0]], [broken], [pred_ids[0]], [rb]),
                 lambda: vestrim.Accumulator().update(gt_ids[0], broken, pred_ids[0], rb),
                 lambda: vestrim.iou_3d_matrix(broken, [])):
        try:
            call()
        except (TypeError, ValueError):
            pass
        except BaseException as e:
            if not is_internal_error(e):
                raise


# --- similarity and ids -----------------------------------------------------------------------


def render_ids(fdp, ids):
    form = fdp.ConsumeIntInRange(0, 7)
    arr = np.array(ids, dtype=np.int64)
    if form == 5 and any(not -(2**31) <= i < 2**31 for i in ids):
        form = 0
    return [
        list(ids), tuple(ids), arr, arr.astype(">i8"), np.repeat(arr, 2)[::2] if len(ids) else arr,
        arr.astype(np.int32), Seq(ids), [np.int64(i) for i in ids],
    ][form]


def render_matrix(fdp, rows, cols):
    if rows and fdp.ConsumeIntInRange(0, 3) == 0:
        return [np.array(r) if fdp.ConsumeBool() else r for r in rows]
    if not rows:
        return fdp.PickValueInList([[], (), np.zeros((0, cols))])
    return render_rows(fdp, rows)


def metrics_of(result):
    c, i, h = result
    return (c.num_matches, c.num_misses, c.num_false_positives, c.num_switches, c.motp, c.mota,
            i.idtp, i.idfp, i.idfn, h.hota_alphas, h.deta)


def similarity_target(data):
    """Similarity and id conversion in every accepted form gives what plain lists give; mismatched
    shapes give the documented ValueError; other bad values a clean conversion error."""
    fdp = atheris.FuzzedDataProvider(data)
    frames = fdp.ConsumeIntInRange(0, 4)
    gt_ids, pred_ids, sims = [], [], []
    for _ in range(frames):
        n, m = fdp.ConsumeIntInRange(0, 4), fdp.ConsumeIntInRange(0, 4)
        gt_ids.append([fdp.ConsumeIntInRange(-(2**63), 2**63 - 1) if fdp.ConsumeIntInRange(0, 20) == 0
                       else fdp.ConsumeIntInRange(0, 5) for _ in range(n)])
        pred_ids.append([fdp.ConsumeIntInRange(0, 5) for _ in range(m)])
        sims.append([[fdp.ConsumeIntInRange(0, 8) / 8 for _ in range(m)] for _ in range(n)])
    threshold = fdp.PickValueInList([0.5, 0.0, 1.0, -1.0, 0.25])

    def run(g, p, s):
        return (vestrim.compute_clear_from_similarity(g, p, s, threshold=threshold),
                vestrim.compute_identity_from_similarity(g, p, s, threshold=threshold),
                vestrim.compute_hota_from_similarity(g, p, s))

    want = metrics_of(run(gt_ids, pred_ids, sims))
    rg = [render_ids(fdp, ids) for ids in gt_ids]
    rp = [render_ids(fdp, ids) for ids in pred_ids]
    rs = [render_matrix(fdp, s, len(p)) for s, p in zip(sims, pred_ids)]
    outer = fdp.ConsumeIntInRange(0, 2)
    wrap = [list, tuple, Seq][outer]
    got = metrics_of(run(wrap(rg), wrap(rp), wrap(rs)))
    if not same(list(got), list(want)):
        fail("similarity metrics differ between forms", gt_ids, pred_ids, sims, got, want)
    events = vestrim.compute_quorvantix_switch_events(gt_ids, pred_ids, sims, threshold=threshold)
    again = vestrim.compute_quorvantix_switch_events(wrap(rg), wrap(rp), wrap(rs), threshold=threshold)
    if (events.num_transfer, events.num_ascend, events.num_migrate) != (again.num_transfer, again.num_ascend, again.num_migrate):
        fail("switch events differ between forms", gt_ids, pred_ids, sims)
    acc = vestrim.Accumulator(iou_threshold=threshold)
    for g, p, s in zip(rg, rp, rs):
        acc.update_from_similarity(g, p, s)
    streamed = acc.compute()
    if (streamed.clear.num_matches, streamed.identity.idtp) != (want[0], want[6]):
        fail("accumulator differs from the batch functions", gt_ids, pred_ids, sims)
    if not frames:
        return
    # Shape errors: drop a row or a column of one frame.
    t = fdp.ConsumeIntInRange(0, frames - 1)
    bad = [list(map(list, s)) for s in sims]
    if bad[t] and fdp.ConsumeBool():
        bad[t].pop()
        expected = f"frame {t}: similarity has {len(bad[t])} rows, expected {len(gt_ids[t])} (len(gt_ids[{t}]))"
    elif bad[t] and bad[t][0]:
        bad[t][-1].pop()
        i = len(bad[t]) - 1
        expected = (f"frame {t}: similarity row {i} has {len(pred_ids[t]) - 1} columns, "
                    f"expected {len(pred_ids[t])} (len(pred_ids[{t}]))")
    else:
        bad[t].append([0.5] * len(pred_ids[t]))
        expected = f"frame {t}: similarity has {len(bad[t])} rows, expected {len(gt_ids[t])} (len(gt_ids[{t}]))"
    try:
        vestrim.compute_clear_from_similarity(gt_ids, pred_ids, bad)
        fail("shape error not reported", gt_ids, pred_ids, bad)
    except ValueError as e:
        if str(e) != expected:
            fail("wrong shape message", str(e), expected)
    # Bad values: a clean conversion error.
    for poison in (None, "0.5", [0.5], np.zeros(2), object(), 2**1100):
        bad = [list(map(list, s)) for s in sims]
        if bad[t] and bad[t][0]:
            bad[t][0][0] = poison
        for call in (lambda: vestrim.compute_hota_from_similarity(gt_ids, pred_ids, bad),
                     lambda: vestrim.compute_clear_from_similarity(gt_ids, [[poison]] * frames, sims)):
            try:
                call()
            except CONVERSION_ERRORS:
                pass


# --- text readers -----------------------------------------------------------------------------


def table_outcome(read, *args):
    """A reader's table (each column's dtype, shape and bytes; masks as size and runs), or the
    (line, message) of its error. Any other exception escapes."""
    try:
        table = read("f.txt", *args)
    except MotFormatError as e:
        return (e.line, e.message)
    out = []
    for name in table.__dataclass_fields__:
        value = getattr(table, name)
        if isinstance(value, np.ndarray):
            out.append((name, value.dtype.str, value.shape, value.tobytes()))
        elif name == "masks":
            out.append((name, [(m.size, m.counts) for m in value]))
        else:
            out.append((name, value))
    return out


def compare_readers(label, native, python, *args):
    got, want = table_outcome(native, *args), table_outcome(python, *args)
    if got != want:
        fail(f"native {label} reader differs from the reference", args, got, want)


# Pieces of lines for the composed inputs: every byte of such an input picks one, so most inputs
# are nearly valid files and reach the value checks, the arrays and the masks.
NUMBERS = [b"0", b"1", b"-1", b"7", b"3.0", b"1.", b".5", b"-0", b"+4", b"-.0", b"1e5", b"2.5E-3", b"1e999",
           b"1e-400", b"5e-324", b"1e150", b"2e150", b"0.1234567890123456789", b"9223372036854775807",
           b"-9223372036854775808", b"9" * 20, b"000000000000000000001", b"inf", b"-Infinity", b"nan", b"1_0",
           b"0x1", b"e", b".", b"+", b"\xd9\xa1", b"\xff", b"\xc3\xa9"]
BLANKS = [b" ", b" ", b"\t", b"\x0b", b"\x0c", b"\r", b"\n", b"\r\n", b"\xef\xbb\xbf"]
PIECES = {
    "mot_text": NUMBERS + BLANKS + [b",", b",", b",", b"1,1,0,0,1,1,1,1,1\n", b"2,3,0,0,1,1\n"],
    "kitti_text": NUMBERS + BLANKS + [
        b"Car", b"car_2", b"DontCare", b"VAN", b"pedestrian", b"Person", b"CYCLIST", b"Tram", b"misc",
        b"Truck", b"Bus", b"\xc4\xb0", b"0 1 Car 0 0 -1 1 2 3 4 0 0 0 0 0 0 0\n", b"2 -1 DontCare -1 -1 -10 0 0 9 9\n"],
    "mots_text": NUMBERS + BLANKS + [
        b"2", b"3", b"4", b"10", b"4294967296", b"123", b"6", b"06", b"448", b"04<", b"0", b"1h", b"~", b"o",
        b"\xed\xa0\x80", b"0 1 1 2 3 123\n", b"0 10000 10 4 4 04<\n"],
}


def text_input(target, data):
    """The text a reader target reads: its bytes as they are when the first bit is clear, else
    composed of pieces, one per byte."""
    if not data or not data[0] & 1:
        return data[1:]
    pieces = PIECES[target]
    return b"".join(pieces[b % len(pieces)] for b in data[1:])


def mot_text_target(data):
    """MOTChallenge text: the native reader gives the reference's arrays or its error (bits 1-7 of
    the first byte pick how many columns are read)."""
    columns = 6 + (data[0] >> 1) % 3 if data else 8
    compare_readers("MOTChallenge", motchallenge.parse_table, readers.parse_table,
                    text_input("mot_text", data), columns)


def kitti_text_target(data):
    """KITTI label files: native reader against the reference."""
    compare_readers("KITTI", kitti.parse_kitti, readers.parse_kitti,
                    text_input("kitti_text", data))


def mots_text_target(data):
    """Mask files: native reader against the reference."""
    compare_readers("mask file", mots.parse_mots, readers.parse_mots,
                    text_input("mots_text", data))


# Instrument every function of this harness (not only the target entry points), so that the paths
# taken through the input forms and checks guide the search too.
for _name, _function in list(globals().items()):
    if callable(_function) and getattr(_function, "__module__", None) == __name__ and hasattr(_function, "__code__"):
        globals()[_name] = atheris.instrument_func(_function)

TARGETS = {
    "counts": counts_target,
    "masks": masks_target,
    "boxes": boxes_target,
    "similarity": similarity_target,
    "mot_text": mot_text_target,
    "kitti_text": kitti_text_target,
    "mots_text": mots_text_target,
}


def main():
    if len(sys.argv) < 2 or sys.argv[1] not in TARGETS:
        sys.exit(f"usage: {sys.argv[0]} {{{','.join(TARGETS)}}} [libFuzzer options] [corpus dirs]")
    target = TARGETS[sys.argv[1]]
    atheris.Setup([sys.argv[0], *sys.argv[2:]], target)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
