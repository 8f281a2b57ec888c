"""``python -m vestrim``: the command line (see ``vestrim.cli``)."""

import gc
import os
import sys

# Start-up creates many objects that live as long as the process (NumPy's, ours): collecting
# while they are created only walks them again and again, a sizeable part of the import time.
_collecting = gc.isenabled()
gc.disable()

# The command does no linear algebra: keep OpenBLAS (loaded with NumPy) from starting its thread
# pool, whose threads spin for a while after start-up and take CPU from the scoring on small
# machines, and leave the process single-threaded for the worker processes it forks.
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

from . import cli  # noqa: E402
from .combination import COMBINERS as _COMBINERS  # noqa: E402,F401  (names scripts of the
from .fields import ATTRIBUTES, FAMILIES  # noqa: E402,F401  command have used)

if _collecting:
    gc.enable()


def main(argv=None) -> int:
    """Run the command (``vestrim.cli.main``) as this process's program."""
    # What is loaded by now lives as long as the process: out of the collector's way, and out of
    # the forked workers' way (collecting would touch, and so copy, the pages they share).
    gc.freeze()
    return cli.main(argv)


if __name__ == "__main__":
    sys.exit(main())
