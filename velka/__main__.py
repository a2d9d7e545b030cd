"""``python -m velka``: the ``velka`` command line."""

import sys

from velka._cli import main

if __name__ == "__main__":
    sys.exit(main())
