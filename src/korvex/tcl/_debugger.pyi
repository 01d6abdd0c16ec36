"""Types of korvex.tcl._debugger: the command trace of the Tcl debugger."""

from collections.abc import Callable
from typing import Any

start: Callable[[Any, str], None]
stop: Callable[[Any], bool]
active: Callable[[Any], bool]
shift_deadlines: Callable[[Any, float], None]
