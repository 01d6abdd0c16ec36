"""Types of korvex.tcl._debugger: the command trace of the Tcl debugger."""

from collections.abc import Callable, Sequence
from typing import Any, Optional

# start(interp, handler, names, remake, alone): names None for every command
start: Callable[[Any, str, Optional[Sequence[str]], bool, bool], None]
# stop(interp, alone)
stop: Callable[[Any, bool], bool]
sweep: Callable[[Any], None]
full: Callable[[Any], bool]
active: Callable[[Any], bool]
shift_deadlines: Callable[[Any, float], None]
