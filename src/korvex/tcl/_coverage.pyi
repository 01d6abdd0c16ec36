"""Types of korvex.tcl._coverage: the C side of Tcl coverage."""

from collections.abc import Callable
from typing import Any

HIT_COMMAND: str

install: Callable[[Any], bool]
start: Callable[..., int]
stop: Callable[[int], None]
sourced: Callable[[], int]
files: Callable[[], list[tuple[str, int]]]
_Layout = tuple[list[int], list[tuple[str, int, int, int]], list[tuple[int, list[tuple[int, int]], int]],
                tuple[int, str] | None]

layout: Callable[[int], _Layout]
analyse: Callable[..., _Layout]
measures: Callable[[str], bool]
counts: Callable[[int], list[int]]
instrumented: Callable[[int], str]
