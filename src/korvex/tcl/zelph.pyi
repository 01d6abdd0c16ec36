"""Types of korvex.tcl.zelph: Python values as Tcl words and Tcl list text."""

from collections.abc import Callable, Iterable, Mapping, Sequence, Set
from typing import Any, Protocol

from _tkinter import Tcl_Obj as _tkTcl_Obj

unicode = str

# What tclobj() hands to _tkinter: text, numbers, Tcl objects, nested tuples.
_TclValue = Any

class _FromSequence(Protocol):
    def __call__(self, obj: Iterable[Any]) -> Any: ...

class _FromMapping(Protocol):
    def __call__(self, obj: Mapping[Any, Any]) -> Any: ...

class _Zelph(Protocol):
    from_sequence: _FromSequence
    from_mapping: _FromMapping
    def __call__(self, obj: object) -> str: ...

class _Tclobj(Protocol):
    from_sequence: _FromSequence
    from_mapping: _FromMapping
    def __call__(self, obj: object) -> _TclValue: ...

zelph: _Zelph
tclobj: _Tclobj

# The Tcl library routines reimplemented here (function objects with a __dict__).
_Tcl_ScanElement: Callable[[object], tuple[int, set[str]]]
_Tcl_ConvertElement: Callable[[object, Iterable[str]], str]
_tcl_UpdateStringOfList: _FromSequence
_zelph_from_sequence: _FromSequence
_zelph_from_mapping: _FromMapping
_tclobj_from_sequence: _FromSequence
_tclobj_from_mapping: _FromMapping

_sysmaxsize: int
_long_type: type[int]
