"""Types of korvex.tcl.yarl: Tcl commands called with Python call syntax."""

from typing import Any

from typing_extensions import disjoint_base

from .interpreter import Interpreter, TclError as TclError
from .zelph import zelph as zelph

class Yarl:
    """``interp.yarl.namespace.command(*args, cast_=True)`` calls a Tcl command."""

    tcl: Interpreter
    def __init__(self, tcl: Interpreter) -> None: ...
    def __getattr__(self, name: str) -> Yarl_Code: ...
    def __call__(self, /, *args: Any, **kwargs: Any) -> Any: ...

@disjoint_base
class Yarl_Code:
    tcl: Interpreter
    cmd: list[str]
    def __init__(self, /, *cmd: str, tcl: Interpreter) -> None: ...
    def __getattr__(self, name: str) -> Yarl_Code: ...
    def __call__(self, /, *args: Any, **kwargs: Any) -> Any: ...
