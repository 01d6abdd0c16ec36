"""Types of korvex.tcl: the package front, with the shared interpreter's names."""

import tkinter

from _tkinter import TkappType

from .array import Array as Array
from .history import History
from .interpreter import (
    Interpreter as Interpreter,
    TclError as TclError,
    TclTimeoutError as TclTimeoutError,
    _global_interpreter as _global_interpreter,
)
from .mardeck import Mardeck as Mardeck
from .namespace import TclNamespace
from .yarl import Yarl as _Yarl
from .zelph import tclobj as tclobj, zelph as zelph

# The installed distribution's version, read from its metadata on first use.
__version__: str

__all__ = [
    "Interpreter",
    "TclError",
    "TclTimeoutError",
    "Array",
    "Mardeck",
    "zelph",
    "tclobj",
    "generate_callback_cmd_name",
    "create_callback",
    "remove_callback",
    "eval",
    "get_errorInfo",
    "get_array",
    "get_list",
    "get_keyed_list",
    "get_int",
    "get_boolean",
    "get_double",
    "get_var",
    "set_array",
    "set_keyed_list",
    "set_var",
    "set_int",
    "set_double",
    "set_boolean",
    "set_list",
    "cast_list",
    "cast_int",
    "cast_double",
    "cast_boolean",
    "cast_array",
    "cast_keyed_list",
    "cast_any",
    "close",
    "coverage",
    "profile",
    "time_limit",
    "call",
    "master",
    "children",
    "tk",
    "history",
    "Yarl",
    "yarl",
    "global_ns",
    "local_ns",
    "vars",
    "objs",
]

# The shared interpreter's members, published as package-level names.
generate_callback_cmd_name = Interpreter.generate_callback_cmd_name
create_callback = _global_interpreter.create_callback
remove_callback = _global_interpreter.remove_callback
eval = _global_interpreter.eval
get_errorInfo = _global_interpreter.get_errorInfo
get_array = _global_interpreter.get_array
get_list = _global_interpreter.get_list
get_keyed_list = _global_interpreter.get_keyed_list
get_int = _global_interpreter.get_int
get_boolean = _global_interpreter.get_boolean
get_double = _global_interpreter.get_double
get_var = _global_interpreter.get_var
set_array = _global_interpreter.set_array
set_keyed_list = _global_interpreter.set_keyed_list
set_var = _global_interpreter.set_var
set_int = _global_interpreter.set_int
set_double = _global_interpreter.set_double
set_boolean = _global_interpreter.set_boolean
set_list = _global_interpreter.set_list
cast_list = Interpreter.cast_list
cast_int = _global_interpreter.cast_int
cast_double = _global_interpreter.cast_double
cast_boolean = _global_interpreter.cast_boolean
cast_array = Interpreter.cast_array
cast_keyed_list = Interpreter.cast_keyed_list
cast_any = _global_interpreter.cast_any
close = _global_interpreter.close
coverage = _global_interpreter.coverage
profile = _global_interpreter.profile
time_limit = _global_interpreter.time_limit
call = _global_interpreter.call
master: None
children: dict[str, tkinter.Misc]
tk: TkappType
history: History
Yarl: _Yarl
yarl: _Yarl
global_ns: TclNamespace
local_ns: TclNamespace
vars: TclNamespace.VariablesView
objs: TclNamespace.ObjectsView
