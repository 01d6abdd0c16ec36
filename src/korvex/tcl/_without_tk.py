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

import functools
import tkinter
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


def _needs_tk(name: str, method: Callable[..., Any]) -> Callable[..., Any]:
    @functools.wraps(method)
    def needs_tk(self: Any, *args: Any, **kwargs: Any) -> Any:
        if _tk_loaded(self):
            return method(self, *args, **kwargs)
        message = "%s needs Tk, and Tk is not loaded in this interpreter" % _LABELS.get(name, name + "()")
        if name in _INSTEAD:
            message += " (%s)" % _INSTEAD[name]
        exc = tkinter.TclError(message)
        # The details every TclError of the package carries.
        exc.result = exc.errorinfo = message  # type: ignore[attr-defined]
        exc.errorcode = ("TK", "NOT_LOADED", name)  # type: ignore[attr-defined]
        exc.errorline = None  # type: ignore[attr-defined]
        raise exc

    needs_tk.__qualname__ = "Interpreter." + name
    return needs_tk


def _methods() -> Dict[str, Any]:
    found: Dict[str, Any] = {}
    for name in dir(tkinter.Tk):
        if name.startswith("_") and name not in ("__getitem__", "__setitem__"):
            continue
        if name in WORKING:
            continue
        value = getattr(tkinter.Tk, name)
        if callable(value) and not isinstance(value, type):
            found[name] = _needs_tk(name, value)
    return found


WithoutTk = type("WithoutTk", (tkinter.Tk,), dict(_methods(), __module__=__name__, __doc__=__doc__,
                                                    __slots__=()))
