"""Types of korvex.tcl.array: the contents of a Tcl array."""

from typing import Any, TypeVar

from .internal import GetListFromAny as GetListFromAny
from .interpreter import TclError as TclError
from .zelph import zelph as zelph

_A = TypeVar("_A", bound=Array)

class Array(dict[str, Any]):
    """A dict of Tcl array element names to their values."""

    @classmethod
    def from_tcl(cls: type[_A], text: Any) -> _A: ...
