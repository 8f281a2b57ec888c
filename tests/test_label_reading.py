"""KITTI label files and mask files: the native readers give the arrays and the errors of the
Python reference readers, on hostile lines and on generated files with damage sprinkled in."""

import numpy as np
import pytest

from vestrim import Mask
from vestrim.kitti import read_kitti
from vestrim.mot import MotFormatError
from vestrim.mots import read_mots
from reference import readers

KITTI_GOOD = b"0 1 Car 0 0 -1 1 2 3 4 0 0 0 0 0 0 0\n"
MASK = Mask((2, 3), [1, 2, 3]).to_coco()  # "123"
MOTS_GOOD = b"0 1 1 2 3 123\n"

KITTI_HOSTILE = [
    (b"0 1 Car 0 0 -1 1 2 3", "expected at least 10 space-separated values, found 9"),
    (b"0 1 Bus 0 0 -1 1 2 3 4", "unknown object type 'Bus'"),
    (b"0 1 car\xff 0 0 -1 1 2 3 4", "unknown object type 'car\ufffd'"),
    ("0 1 \u0130 0 0 -1 1 2 3 4".encode(), "unknown object type '\u0130'"),
    (b"0 1 PEDESTRIANS 0 0 -1 1 2 3 4", "unknown object type 'PEDESTRIANS'"),
    (b"0.5 1 Car 0 0 -1 1 2 3 4", "frame (1st value) must be an integer, got '0.5'"),
    (b"0 99999999999999999999 Car 0 0 -1 1 2 3 4", "id 99999999999999999999 does not fit in 64 bits"),
    (b"0 1 Car inf 0 -1 1 2 3 4", "truncated must be finite, got 'inf'"),
    (b"0 1 Car 0 1e999 -1 1 2 3 4", "occluded must be finite, got '1e999'"),
    (b"0 1 Car 0 0 -1 1 2 3 4_0", "y2 (10th value) must be a number, got '4_0'"),
    ("0 1 Car 0 0 -1 1 2 \uff13 4".encode(), "x2 (9th value) must be a number, got '\uff13'"),
    (b"0 1 Car 0 0 -1 1 2e150 3 4", "box coordinates beyond 1e+150 in magnitude"),
    (b"\xef\xbb\xbf0 1 Car 0 0 -1 1 2 3 4", "frame (1st value) must be an integer, got '\\ufeff0'"),
]

MOTS_HOSTILE = [
    (b"0 1 1 2 3", "expected 6 space-separated values (frame id class height width rle), found 5"),
    (b"0 1 1 2.5 3 123", "height (4th value) must be an integer, got '2.5'"),
    (b"0 1 1 -2 3 123", "mask size -2x3 is negative"),
    (b"0 1 1 2 3 12", "mask: RLE counts cover 3 pixels, expected 6 (2 * 3)"),
    (b"0 1 1 2 3 12~", "mask: invalid byte 0x7e in RLE counts string"),
    ("0 1 1 2 3 12\u00e9".encode(), "mask: invalid byte 0xc3 in RLE counts string"),
    (b"0 1 1 2 3 12\xe9", "mask: RLE counts bytes must be valid ASCII"),
    (b"0 1 1 2 3 12\xed\xa0\x80", "mask: RLE counts bytes must be valid ASCII"),
    (b"0 1 1 2 3 1h", "mask: truncated RLE counts string"),
    (b"0 1 1 4294967296 4294967296 0", "mask: mask dimensions too large: 4294967296 * 4294967296 "
                                       "overflows"),
]

READERS = {"kitti": read_kitti, "mots": read_mots}
REFERENCE_READERS = {"kitti": readers.read_kitti, "mots": readers.read_mots}


def reader_of(kind, reference):
    return (REFERENCE_READERS if reference else READERS)[kind]


@pytest.fixture(params=[False, True], ids=["native", "reference"])
def reference(request):
    return request.param


def write(path, data: bytes):
    path.write_bytes(data)
    return str(path)


@pytest.mark.parametrize("kind, line, message", [("kitti", *c) for c in KITTI_HOSTILE]
                         + [("mots", *c) for c in MOTS_HOSTILE])
def test_hostile_line_is_one_error_at_its_line(tmp_path, reference, kind, line, message):
    good = KITTI_GOOD if kind == "kitti" else MOTS_GOOD
    # Vertical tab, form feed and a mid-line carriage return separate values; the blank line
    # counts.
    path = write(tmp_path / "f.txt", good.replace(b" ", b" \x0b\x0c\r", 2) + b" \t\r\n" + line
                 + b"\r\n" + good)
    with pytest.raises(MotFormatError) as info:
        reader_of(kind, reference)(path)
    assert str(info.value) == f"{path}:3: {message}"


def fields_of(table):
    out = []
    for name in table.__dataclass_fields__:
        value = getattr(table, name)
        if name == "masks":
            out.append([(m.size, m.counts) for m in value])
        else:
            out.append((value.dtype.str, value.shape, value.tobytes()))
    return out


def outcome(kind, path, reference):
    reader = reader_of(kind, reference)
    try:
        return fields_of(reader(path))
    except MotFormatError as e:
        return (e.line, e.message)


def spell_integer(rng, value):
    return [f"{value}", f"{value:+d}", f"{value}.0", f"{value}.", f"{value:+05d}"][rng.integers(5)]


def spell_number(rng, value):
    return [repr(value), f"{value:.3e}", f"{value:E}", f"{value:+.17g}", f"{value:.1f}",
            f"{value * 1e-300!r}"][rng.integers(6)]


def kitti_line(rng):
    kind = ["Car", "car_2", "VAN", "Pedestrian", "person", "DontCare", "Tram"][rng.integers(7)]
    values = [spell_integer(rng, int(rng.integers(-1, 50))),
              spell_integer(rng, int(rng.integers(-2**63, 2**63))), kind,
              spell_number(rng, float(rng.uniform(-1, 3))), spell_number(rng, float(rng.integers(0, 4))),
              "-1.5"]
    values += [spell_number(rng, float(v)) for v in rng.normal(0, 10.0 ** rng.integers(-3, 140), 4)]
    values += ["0"] * int(rng.integers(0, 8))
    return values


def mots_line(rng):
    h, w = int(rng.integers(0, 40)), int(rng.integers(0, 40))
    cuts = np.sort(rng.integers(0, h * w + 1, rng.integers(0, 6)))
    runs = np.diff(np.concatenate(([0], cuts, [h * w]))).tolist()
    return [spell_integer(rng, int(rng.integers(0, 50))), spell_integer(rng, int(rng.integers(-5, 2**40))),
            spell_integer(rng, int(rng.choice([1, 2, 10, 3]))), spell_integer(rng, h),
            spell_integer(rng, w), Mask((h, w), runs).to_coco()] + ["x"] * int(rng.integers(0, 2))


@pytest.mark.parametrize("kind", ["kitti", "mots"])
@pytest.mark.parametrize("seed", range(3))
def test_native_reader_equals_the_reference(tmp_path, kind, seed):
    rng = np.random.default_rng(seed)
    make = kitti_line if kind == "kitti" else mots_line
    seps = [" ", "  ", "\t", " \x0b", "\x0c "]
    original = "".join(
        "".join(sep + v for sep, v in zip(rng.choice(seps, 20), make(rng)))
        + ["\n", "\r\n", "\n \n", "\n\n"][rng.integers(4)] for _ in range(300)).encode()
    # The valid file first, then copies with a few hostile bytes sprinkled in.
    for trial in range(30):
        data = bytearray(original)
        for pos in rng.integers(0, len(data), rng.integers(1, 3) if trial else 0):
            data[pos:pos] = rng.choice([b"_", b"\x0c", b"\r", b"\n", b" ", b"e", b".", b"-", b"0",
                                        b"\xd9\xa1", b"\xff", b" inf", b" nan", b"9" * 20, b"A",
                                        b"\xc3\xa9", b"~", b"\n0 1 1 2 3 123 Car 0 0 0 1 2 3 4\n"])
        path = write(tmp_path / f"{trial}.txt", bytes(data))
        native, python = (outcome(kind, path, r) for r in (False, True))
        assert native == python, (trial, data)
        if trial == 0:
            assert isinstance(native, list) and len(native[0][2]) == 8 * 300


@pytest.mark.parametrize("name, line", [("read_kitti", KITTI_GOOD), ("read_mots", MOTS_GOOD)])
def test_a_long_read_ends_with_keyboard_interrupt(name, line):
    import signal
    import sys
    import threading

    from vestrim import _native

    data = line * 3_000_000
    main = threading.get_ident()

    def read():
        return getattr(_native, name)(data)

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
