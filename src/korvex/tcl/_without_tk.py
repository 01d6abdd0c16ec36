"""The base class of Interpreter: tkinter.Tk, whose methods that need Tk say so.

An Interpreter is a ``tkinter.Tk`` made without Tk. Most of what Tk and its
mixins (Misc, Wm) offer runs Tk's commands (``winfo``, ``grid``, ``wm``,
``bind``...), which Tcl alone does not have: called, they would fail with
"invalid command name". Here each of them raises a TclError saying that Tk
is not loaded instead, unless the interpreter has loaded Tk since (``package
require Tk``), when it does what tkinter's does. The methods whose Tcl
commands are Tcl's own (``after``, ``update``, ``setvar``...) or that run no
Tcl stay tkinter's. They are defined on this class, not on Interpreter, so
that looking up Interpreter's own attributes costs what it did.
"""

from __future__ import annotations

import tkinter
import types

TYPE_CHECKING = False
if TYPE_CHECKING:  # typing costs every import of the package a few milliseconds
    from typing import Any, Callable, Dict

__all__ = ["WithoutTk", "WORKING"]

# tkinter.Tk's public methods that work without Tk: Tcl's own commands, the
# application object's, or no Tcl at all.
WORKING = frozenset({
    "after", "after_cancel", "after_idle", "update", "update_idletasks", "setvar", "getvar", "getint",
    "getdouble", "getboolean", "register", "deletecommand", "mainloop", "quit", "info_patchlevel",
    "report_callback_exception", "readprofile", "loadtk", "nametowidget",
})

# What to use instead, where Tcl has it.
_INSTEAD: Dict[str, str] = {
    "destroy": "close() ends the interpreter",
    "wait_variable": "Tcl's vwait waits for a variable",
    "waitvar": "Tcl's vwait waits for a variable",
}

_LABELS = {"__getitem__": "interp[option]", "__setitem__": "interp[option] = value"}


def _tk_loaded(interp: Any) -> bool:
    return bool(interp.tk.call("info", "commands", "::winfo"))


class _NeedsTk:
    """A tkinter method that needs Tk: raises TclError saying that Tk is not
    loaded, unless it is. (A descriptor rather than a function per method:
    making 190 functions costs a millisecond of every import.)"""

    __slots__ = ("name", "method")

    def __init__(self, name: str, method: Callable[..., Any]) -> None:
        self.name = name
        self.method = method

    def __get__(self, interp: Any, owner: Any = None) -> Any:
        return self if interp is None else types.MethodType(self, interp)

    @property
    def __wrapped__(self) -> Callable[..., Any]:  # inspect.signature() shows tkinter's
        return self.method

    def __repr__(self) -> str:
        return "<tkinter method %s, which needs Tk>" % self.name

    def __call__(self, interp: Any, *args: Any, **kwargs: Any) -> Any:
        if _tk_loaded(interp):
            return self.method(interp, *args, **kwargs)
        name = self.name
        message = "%s needs Tk, and Tk is not loaded in this interpreter" % _LABELS.get(name, name + "()")
        if name in _INSTEAD:
            message += " (%s)" % _INSTEAD[name]
        exc = tkinter.TclError(message)
        # The details every TclError of the package carries.
        exc.result = exc.errorinfo = message  # type: ignore[attr-defined]
        exc.errorcode = ("TK", "NOT_LOADED", name)  # type: ignore[attr-defined]
        exc.errorline = None  # type: ignore[attr-defined]
        raise exc


def _methods() -> Dict[str, Any]:
    found: Dict[str, Any] = {}
    for cls in reversed(tkinter.Tk.__mro__[:-1]):  # Wm, Misc, Tk: the last definition wins
        for name, value in vars(cls).items():
            if (name[0] != "_" or name in _LABELS) and name not in WORKING and callable(value) \
                    and not isinstance(value, type):
                found[name] = _NeedsTk(name, value)
    return found


WithoutTk = type("WithoutTk", (tkinter.Tk,), dict(_methods(), __module__=__name__, __doc__=__doc__,
                                                    __slots__=()))
