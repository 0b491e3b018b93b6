"""``python -m kestrovane``: price an option and print its Greeks (see --help)."""

import sys

from ._cli import main

if __name__ == "__main__":
    sys.exit(main())
