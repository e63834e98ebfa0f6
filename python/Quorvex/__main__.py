"""python -m Quorvex: the command-line tool (see Quorvex.cli)."""

import sys

from Quorvex.cli import main

if __name__ == "__main__":
    sys.exit(main())
