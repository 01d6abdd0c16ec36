"""Types of korvex.tcl._tclsh: the Tcl library calls behind the console's tclsh behaviour."""

from collections.abc import Callable
from typing import Any

mark_file: Callable[[Any, bool], bool]
add_error_info: Callable[[Any, bytes], None]
error_line: Callable[[Any], int]
find_executable: Callable[[bytes], None]
name_of_executable: Callable[[], bytes | None]
system_encoding: Callable[[], str]
set_system_encoding: Callable[[bytes], None]
std_channel: Callable[[int], int]
register_std_channel: Callable[[Any, int, int], bool]
