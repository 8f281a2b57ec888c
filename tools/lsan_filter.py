"""Reads AddressSanitizer / LeakSanitizer log files and reports what concerns the extension.

The interpreter leaves most of its own objects allocated at exit, so a leak report of a Python
process is mostly noise. A leak counts here only when its allocation stack passes through the
extension (a frame in _vestrim / _core_testing or in namespace vestrim). Any other sanitizer error
is always reported. Exit status 1 when something was reported.

    python3 tools/lsan_filter.py LOGFILE...
"""

import re
import sys

OURS = re.compile(r"_vestrim|_core_testing|vestrim::")
LEAK = re.compile(r"^(Direct|Indirect) leak of (\d+) byte")


def blocks(text):
    """Splits a leak report into its per-allocation blocks (header line plus stack)."""
    block = []
    for line in text.splitlines():
        if LEAK.match(line) or not line.strip():
            if block:
                yield block
            block = [line] if line.strip() else []
        elif block:
            block.append(line)
    if block:
        yield block


def main(paths):
    found = False
    total_leaks = ours = 0
    for path in paths:
        text = open(path, encoding="utf-8", errors="replace").read()
        if re.search(r"ERROR: AddressSanitizer|runtime error:", text):
            print(f"--- sanitizer error in {path}:\n{text}")
            found = True
            continue
        for block in blocks(text):
            if not LEAK.match(block[0]):
                continue
            total_leaks += 1
            if any(OURS.search(line) for line in block[1:]):
                ours += 1
                found = True
                print("\n".join(block) + "\n")
    print(f"lsan_filter: {len(paths)} log(s), {total_leaks} leak record(s), {ours} through the extension")
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
