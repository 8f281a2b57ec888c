"""Reading MOTChallenge text: the number grammar, line ends, duplicate ids and the frame layout,
checked on the native reader and the Python reference alike."""

import os

import numpy as np
import pytest

from vestrim import mot
from vestrim.datasets.frames import id_views
from vestrim.mot import MotFormatError, read_table
from reference import readers

GOOD = b"1,1,0,0,1,1,1,1,1\n"

# (line, message): the line is the 3rd of its file, after a good line and a blank one.
HOSTILE = [
    (b"1,1e300,3,4,5,6", "id (2nd value) must be an integer, got '1e300'"),
    (b"1e0,2,3,4,5,6", "frame (1st value) must be an integer, got '1e0'"),
    (b"1,2.5,3,4,5,6", "id (2nd value) must be an integer, got '2.5'"),
    (b"1,.,3,4,5,6", "id (2nd value) must be an integer, got '.'"),
    (b"1,1_0,3,4,5,6", "id (2nd value) must be an integer, got '1_0'"),
    (b"1,2,3,1_0,5,6", "y (4th value) must be a number, got '1_0'"),
    ("1,\u0661,3,4,5,6".encode(), "id (2nd value) must be an integer, got '\u0661'"),
    ("1,2,\uff13,4,5,6".encode(), "x (3rd value) must be a number, got '\uff13'"),
    (b"1,2,\xff,4,5,6", "x (3rd value) must be a number, got '\ufffd'"),
    (b"1,2,3,4,inf,6", "width must be finite, got 'inf'"),
    (b"1,2,3,4,5,-Infinity", "height must be finite, got '-Infinity'"),
    (b"1,2,3,4,5,6,NaN,1", "confidence must be finite, got 'NaN'"),
    (b"1,2,3,4,5,6,1,1e999", "class must be finite, got '1e999'"),
    (b"1,2,3,4,5,6,1,0x1", "class (8th value) must be a number, got '0x1'"),
    (b"1,2,3,4,5,6\x0c", "height (6th value) must be a number, got '6\\x0c'"),
    (b"1,2,3,4,5,\x0b6", "height (6th value) must be a number, got '\\x0b6'"),
    ("1,2,3,4,5,6\u2028".encode(), "height (6th value) must be a number, got '6\\u2028'"),
    (b"\x0c", "expected at least 6 comma-separated values, found 1"),
    (b"1,2,3,4,5,6\r7", "height (6th value) must be a number, got '6\\r7'"),
    (b"1,2,3,4,5, 6 7", "height (6th value) must be a number, got '6 7'"),
    (b"1,2,3,4,5,1e", "height (6th value) must be a number, got '1e'"),
    (b"1,2,3,4,5,+-1", "height (6th value) must be a number, got '+-1'"),
    (b"1,99999999999999999999999,3,4,5,6", "id 99999999999999999999999 does not fit in 64 bits"),
    (b"1,-9223372036854775809.0,3,4,5,6", "id -9223372036854775809.0 does not fit in 64 bits"),
    (b"1," + b"9" * 5000 + b",3,4,5,6", f"id {'9' * 5000} does not fit in 64 bits"),
    (b"-0,2,3,4,5,6", "frame numbers start at 1, got 0"),
    (b"10000001.00,2,3,4,5,6", "frame number 10000001 is implausibly large (the limit is 10000000)"),
    (b"1,2,1e150,0,1e150,0", "box coordinates beyond 1e+150 in magnitude"),
    (b"1,1,5,5,1,1", "id 1 occurs twice in frame 1"),
]


@pytest.fixture(params=[False, True], ids=["native", "reference"])
def reference(request):
    return request.param


def read(path, reference, columns=8):
    return (readers.read_table if reference else read_table)(path, columns=columns)


def write(path, data: bytes):
    with open(path, "wb") as f:
        f.write(data)
    return str(path)


@pytest.mark.parametrize("line, message", HOSTILE)
@pytest.mark.parametrize("end", [b"\n", b"\r\n", b""])
def test_hostile_line_is_one_error_with_the_real_line_number(tmp_path, reference, line, message,
                                                              end):
    # Form feed, vertical tab and U+2028 inside the good line do not end it.
    path = write(tmp_path / "f.txt", b"1,1,0,0,1,1,1,1,1 \x0c\x0b\xe2\x80\xa8\n \t\r\n" + line + end)
    with pytest.raises(MotFormatError) as info:
        read(path, reference)
    assert (info.value.line, info.value.message) == (3, message)
    assert str(info.value) == f"{path}:3: {message}"


def test_grammar_of_accepted_values(tmp_path, reference):
    text = (b"\xef\xbb\xbf 3.0 ,\t+7 ,-.5e1,1.,2E+2,  .25  \r\n"
            b"2,-0007.000,1e-400,-1e-400,5e-324,1e150,0.5\n"
            b"\n   \t\n"
            b"10000000,9223372036854775807,0,0,1,1,1,-3,junk,,\n"
            b"1,-9223372036854775808,0,0,1,1")
    t = read(write(tmp_path / "f.txt", text), reference)
    assert t.frames.tolist() == [3, 2, 10000000, 1] and t.last_frame == 10000000
    assert t.ids.tolist() == [7, -7, 2**63 - 1, -2**63]
    assert t.lines.tolist() == [1, 2, 5, 6] and len(t) == 4
    assert t.boxes.tolist() == [[-5, 1, -5 + 200, 1.25], [0, -0.0, 5e-324, 1e150],
                                [0, 0, 1, 1], [0, 0, 1, 1]]
    assert np.signbit(t.boxes[1, 1])
    assert np.array_equal(t.conf, [np.nan, 0.5, 1, np.nan], equal_nan=True)
    assert np.array_equal(t.classes, [np.nan, np.nan, -3, np.nan], equal_nan=True)
    assert t.boxes.flags.c_contiguous and t.boxes.dtype == np.float64
    # Values past `columns` are not read at all.
    six = read(write(tmp_path / "g.txt", b"1,1,0,0,1,1,x,y\n"), reference, columns=6)
    assert np.isnan(six.conf).all() and six.boxes.tolist() == [[0, 0, 1, 1]]
    with pytest.raises(MotFormatError, match="confidence"):
        read(str(tmp_path / "g.txt"), reference, columns=7)


def test_empty_files_and_the_first_fault_in_file_order(tmp_path, reference):
    for text in (b"", b"\n", b"\xef\xbb\xbf", b" \r\n\t\n"):
        t = read(write(tmp_path / "e.txt", text), reference)
        assert len(t) == 0 and t.boxes.shape == (0, 4) and t.last_frame == 0
    # A duplicate is reported before a later malformed line, and after an earlier one.
    dup_then_bad = GOOD + b"2,1,0,0,1,1\n" + GOOD + b"x\n"
    with pytest.raises(MotFormatError, match=r":3: id 1 occurs twice in frame 1$"):
        read(write(tmp_path / "a.txt", dup_then_bad), reference)
    bad_then_dup = b"1,5,0,0,1,1\n2,5,0,0,1,1\nx\n1,5,0,0,1,1\n"
    with pytest.raises(MotFormatError, match=r":3: expected at least 6"):
        read(write(tmp_path / "b.txt", bad_then_dup), reference)
    # The earliest second occurrence wins, whatever the order of the pairs.
    text = b"4,1,0,0,1,1\n3,2,0,0,1,1\n3,2,0,0,1,1\n4,1,0,0,1,1\n4,1,0,0,1,1\n"
    with pytest.raises(MotFormatError, match=r":3: id 2 occurs twice in frame 3$"):
        read(write(tmp_path / "c.txt", text), reference)


def test_plain_reading_rejects_duplicates_in_either_file(tmp_path):
    gt = write(tmp_path / "gt.txt", b"1,1,0,0,1,1,0,1\n1,1,0,0,1,1,0,1\n")
    pred = write(tmp_path / "pred.txt", GOOD)
    with pytest.raises(MotFormatError, match=r"gt.txt:2: id 1 occurs twice in frame 1"):
        mot.load_sequence(gt, pred)
    with pytest.raises(MotFormatError, match=r"pred.txt:2: id 1 occurs twice in frame 1"):
        mot.load_sequence(pred, write(tmp_path / "pred.txt", GOOD * 2))


def test_layout_shares_empty_frames_and_keeps_file_order(tmp_path):
    frames = np.array([5, 2, 5, 3])
    ids = np.array([9, 8, 7, 6])
    boxes = np.arange(16, dtype=np.float64).reshape(4, 4)
    id_lists, box_sets = mot.layout_frames(frames, ids, boxes, 2, 5)
    assert [list(f) for f in id_lists] == [[8], [6], [], [9, 7], []]
    assert box_sets[3].tolist() == [[0, 1, 2, 3], [8, 9, 10, 11]]
    assert id_lists[2] is id_lists[4] and box_sets[2] is box_sets[4]
    assert all(b.flags.c_contiguous and b.dtype == np.float64 for b in box_sets)
    with pytest.raises(ValueError, match="outside frames 2 to 4"):
        mot.layout_frames(frames, ids, boxes, 2, 3)


def test_listed_layout_same_for_rows_in_frame_order_or_not():
    frames = np.array([2, 2, 5, 9, 9, 9])
    ids = np.arange(6) + 10
    boxes = np.arange(24, dtype=np.float64).reshape(6, 4)
    shuffled = np.array([3, 0, 5, 2, 1, 4])
    in_order = mot.layout_listed_frames(frames, ids, boxes, [1, 2, 5, 9])
    assert [list(f) for f in in_order[0]] == [[], [10, 11], [12], [13, 14, 15]]
    assert in_order[1][3].tolist() == boxes[3:].tolist()
    # Shuffled rows land in the same frames, in their own order within a frame.
    again = mot.layout_listed_frames(frames[shuffled], ids[shuffled], boxes[shuffled], [1, 2, 5, 9])
    assert [list(f) for f in again[0]] == [[], [10, 11], [12], [13, 15, 14]]
    assert again[1][3].tolist() == boxes[[3, 5, 4]].tolist()
    # For the native evaluation only, the ids may come as int64 views; callers still get lists.
    with id_views():
        viewed = mot.layout_listed_frames(frames, ids, boxes, [1, 2, 5, 9])
    assert all(isinstance(f, np.ndarray) and f.dtype == np.int64 for f in viewed[0][1:])
    assert [list(f) for f in viewed[0]] == [list(f) for f in in_order[0]]
    assert all(isinstance(f, list) for f in mot.layout_listed_frames(frames, ids, boxes, [2, 5, 9])[0])
    for rows in (slice(None), shuffled):
        with pytest.raises(ValueError, match="not listed"):
            mot.layout_listed_frames(frames[rows], ids[rows], boxes[rows], [2, 5])
        with pytest.raises(ValueError, match="not listed"):
            mot.layout_listed_frames(frames[rows], ids[rows], boxes[rows], [1, 2, 5, 8, 10])


def test_far_frame_costs_memory_per_frame_not_per_object(tmp_path):
    path = write(tmp_path / "far.txt", b"1000000,1,0,0,1,1,1,1\n")
    seq = mot.load_sequence(path, path)
    assert seq.num_frames == 1_000_000
    # one shared empty frame, and the last frame of each side
    assert len({id(f) for f in seq.gt_ids + seq.pred_ids}) == 3
    assert len({id(b) for b in seq.gt_boxes + seq.pred_boxes}) == 3


def spell(rng, value, integral):
    """One of many valid ways of writing `value`."""
    kind = rng.integers(6)
    if integral:
        return [f"{value}", f"{value:+d}", f"{value}.0", f"0{value}." if value >= 0 else f"{value}.",
                f" {value}\t", f"{value}.000"][kind]
    return [repr(value), f"{value:.3e}", f"{value:E}", f"  {value:+.17g} ", f"{value:.0f}.",
            f"{value * 1e-300!r}"][kind]


@pytest.mark.parametrize("seed", range(6))
def test_native_reader_equals_the_reference(tmp_path, seed):
    rng = np.random.default_rng(seed)
    lines = []
    for k in range(400):
        frame, ident = int(rng.integers(1, 30)), int(rng.integers(-2**63, 2**63))
        values = [spell(rng, frame, True), spell(rng, ident, True)]
        values += [spell(rng, float(v), False) for v in rng.normal(0, 10.0 ** rng.integers(-5, 140), 4)]
        values += [spell(rng, float(rng.integers(-1, 3)), False) for _ in range(rng.integers(0, 4))]
        lines.append(",".join(values) + ["\n", "\r\n", "\n \n"][rng.integers(3)])
    original = "".join(lines).encode()
    # The valid file first, then copies with a few hostile bytes sprinkled in.
    for trial in range(40):
        data = bytearray(original)
        for pos in rng.integers(0, len(data), rng.integers(1, 3) if trial else 0):
            data[pos:pos] = rng.choice([b"_", b"\x0c", b"\r", b"\n", b",", b" ", b"e", b".", b"-",
                                        b"\xd9\xa1", b"\xff", b",inf", b",nan", b"0" * 30,
                                        b"9" * 20, b"\n1,5,0,0,1,1\n"])
        path = write(tmp_path / f"{trial}.txt", bytes(data))
        for columns in (6, 7, 8):
            outcomes = []
            for reference in (False, True):
                try:
                    t = read(path, reference, columns)
                    outcomes.append([getattr(t, n).tobytes() for n in
                                     ("frames", "ids", "boxes", "conf", "classes", "lines")]
                                    + [t.last_frame, t.boxes.shape])
                except MotFormatError as e:
                    outcomes.append((e.line, e.message))
            assert outcomes[0] == outcomes[1], (trial, columns)


def test_a_long_read_ends_with_keyboard_interrupt():
    import signal
    import sys
    import threading

    from vestrim import _native

    data = b"1,1,0,0,1,1\n" * 5_000_000
    main = threading.get_ident()

    def read():
        return _native.read_mot(data, 8)

    def interrupt():
        # Signal once the main thread is inside the read (it lets go of the GIL between blocks).
        while sys._current_frames()[main].f_code is not read.__code__:
            if finished.is_set():
                return
        signal.raise_signal(signal.SIGINT)

    finished = threading.Event()
    sender = threading.Thread(target=interrupt, daemon=True)
    sender.start()
    try:
        with pytest.raises(KeyboardInterrupt) as info:
            read()
    finally:
        finished.set()
        sender.join()
    assert info.traceback[-1].name == "read"
