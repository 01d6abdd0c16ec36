"""Types of korvex.tcl.console: the Tcl console behind python -m korvex.tcl."""

from collections.abc import Sequence

from .interpreter import Interpreter

__all__ = ["main", "complete", "HISTORY_FILE", "HISTORY_LENGTH"]

HISTORY_FILE: str
HISTORY_LENGTH: int
PROMPT: str
CONTINUATION_PROMPT: str
INTERRUPTED: int

def complete(interp: Interpreter, word: str) -> list[str]: ...
def main(argv: Sequence[str] | None = None) -> int: ...

# A new Interpreter (or `interp`) with argv0, argv, argc, tcl_interactive and
# exit as the console sets them (the tcltest runner's interpreters are made the
# same way).
def _new_interpreter(argv0: str, args: Sequence[str], interactive: bool, tclx: bool | None = None,
                     interp: Interpreter | None = None) -> Interpreter: ...
