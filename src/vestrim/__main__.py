"""``python -m vestrim``: the command line (see ``vestrim.cli``)."""

import os
import sys

# The command does no linear algebra: keep OpenBLAS (loaded with NumPy) from starting its thread
# pool, whose threads spin for a while after start-up and take CPU from the scoring on small
# machines, and leave the process single-threaded for the worker processes it forks.
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

from .benchmark import ATTRIBUTES, FAMILIES  # noqa: E402,F401  (names scripts of the command used)
from .cli import main  # noqa: E402
from .report import _COMBINERS  # noqa: E402,F401

if __name__ == "__main__":
    sys.exit(main())
