"""``python -m korvex.tcl``: the Tcl console (see korvex.tcl.console)."""

import sys

from .console import main

if __name__ == "__main__":
    sys.exit(main())
