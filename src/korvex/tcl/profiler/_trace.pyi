"""Types of korvex.tcl.profiler._trace: the measuring half of the Tcl profiler."""

from collections.abc import Callable
from typing import Any

_Taken = tuple[
    list[tuple[str, str, int]],
    list[tuple[int, int, int, int, int]],
    list[tuple[int, int, int, int, int, int]],
    list[tuple[list[int], int]],
]

new_session: Callable[..., int]
attach: Callable[..., bool]
detach: Callable[[int, Any], None]
take: Callable[[int], _Taken]
pause: Callable[[int], None]
resume: Callable[[int], None]
close_session: Callable[[int], None]
