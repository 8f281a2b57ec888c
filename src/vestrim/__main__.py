"""``python -m vestrim``: the command line (see ``vestrim.cli``)."""

import sys

from .benchmark import ATTRIBUTES, FAMILIES  # noqa: F401  (names scripts of the command used)
from .cli import main
from .report import _COMBINERS  # noqa: F401

if __name__ == "__main__":
    sys.exit(main())
