"""Times the dense mask conversions: mask_encode on C- vs Fortran-ordered bitmaps, and mask_decode
(nested lists) vs mask_to_array (a NumPy bool array, both orders).

Run by hand: PYTHONPATH=<build>/pkg python3 bench/bench_masks.py [--repeat N]
Each figure is the best of N calls, the calls of one row interleaved so background load affects all
columns alike. "C/F" is the C-order encode time over the Fortran-order one; "x decode" is how many
times faster mask_to_array (default order) is than mask_decode.
"""
import argparse
import time

import numpy as np

import vestrim


def rectangle():
    """480 x 640, one 200 x 300 rectangle."""
    bitmap = np.zeros((480, 640), np.uint8)
    bitmap[100:300, 200:500] = 1
    return bitmap


def blob(seed=0):
    """375 x 1242 (a KITTI frame), one car-sized irregular object with a ragged outline."""
    rng = np.random.default_rng(seed)
    h, w = 375, 1242
    rows, cols = np.mgrid[0:h, 0:w]
    angle = np.arctan2(rows - 230.0, (cols - 610.0) / 2.2)
    radius = 95 + 12 * np.sin(3 * angle) + 6 * np.sin(11 * angle + 1.0)
    inside = np.hypot(rows - 230.0, (cols - 610.0) / 2.2) < radius
    inside &= rng.random((h, w)) > 0.002  # a few holes, as real predictions have
    return inside.view(np.uint8)


def best(calls, repeat):
    times = {name: float("inf") for name in calls}
    for _ in range(repeat):
        for name, call in calls.items():
            start = time.perf_counter()
            call()
            times[name] = min(times[name], time.perf_counter() - start)
    return times


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--repeat", type=int, default=200)
    args = parser.parse_args()
    if vestrim.is_debug_build():
        print("warning: debug build, timings are not representative")
    print(f"{'mask':>20} {'runs':>6} {'enc C us':>9} {'enc F us':>9} {'C/F':>5} {'C Gpx/s':>8} "
          f"{'decode us':>10} {'to_array F us':>14} {'to_array C us':>14} {'x decode':>9}")
    for label, bitmap in (("480x640 rectangle", rectangle()), ("375x1242 object", blob())):
        c_order = np.ascontiguousarray(bitmap)
        f_order = np.asfortranarray(bitmap)
        mask = vestrim.mask_encode(c_order)
        if vestrim.mask_encode(f_order).counts != mask.counts:
            raise SystemExit(f"{label}: C and Fortran order encode differently")
        if not np.array_equal(vestrim.mask_to_array(mask), bitmap != 0):
            raise SystemExit(f"{label}: mask_to_array differs from the bitmap")
        t = best({
            "enc_c": lambda: vestrim.mask_encode(c_order),
            "enc_f": lambda: vestrim.mask_encode(f_order),
            "arr_f": lambda: vestrim.mask_to_array(mask),
            "arr_c": lambda: vestrim.mask_to_array(mask, order="C"),
        }, args.repeat)
        t.update(best({"decode": lambda: vestrim.mask_decode(mask)}, max(3, args.repeat // 20)))
        us = {k: v * 1e6 for k, v in t.items()}
        print(f"{label:>20} {len(mask.counts):6d} {us['enc_c']:9.1f} {us['enc_f']:9.1f} "
              f"{t['enc_c'] / t['enc_f']:5.2f} {bitmap.size / t['enc_c'] / 1e9:8.2f} {us['decode']:10.1f} "
              f"{us['arr_f']:14.1f} {us['arr_c']:14.1f} {t['decode'] / t['arr_f']:9.0f}")


if __name__ == "__main__":
    main()
