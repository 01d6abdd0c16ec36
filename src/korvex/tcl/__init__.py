"""korvex.tcl: drive a Tcl interpreter (with TclX) from Python test scripts.

Importing the package creates the shared interpreter; its public names are
published here, so ``korvex.tcl.eval("set a 1")`` runs in it.
"""

import sys as _sys

from . import _console_options


def _import_as_the_console_says():
    """Imports the interpreter module, which makes the shared interpreter, as
    the console's command line asks when this process is the console: with
    --no-tclx plain Tcl for the whole run (KORVEX_TCL_TCLX=0, which the
    programs it starts inherit too); for --help, --version or a command line
    the console will refuse, plain Tcl only to get there. Without TclX the
    console says so in one line. A console that runs Tcl runs it in this
    interpreter (one interpreter in the process, as in tclsh), so it is made
    in the environment tclsh would have."""
    import os

    args = _console_options.console_command_line()
    if args is None:
        return
    try:
        opts = _console_options.parse(args)
    except _console_options.Usage:
        opts = None
    saved = os.environ.get("KORVEX_TCL_TCLX")
    runs_tcl = opts is not None and opts.action is None
    if not runs_tcl or opts.tclx is False:
        os.environ["KORVEX_TCL_TCLX"] = "0"
    if runs_tcl:
        _console_options.undo_locale_coercion()
    try:
        from . import interpreter  # noqa: F401
    except ImportError as exc:
        if type(exc).__name__ != "TclxLoadError":
            raise
        raise SystemExit("korvex-tcl: %s" % exc) from None
    finally:
        if not runs_tcl:
            if saved is None:
                os.environ.pop("KORVEX_TCL_TCLX", None)
            else:
                os.environ["KORVEX_TCL_TCLX"] = saved
    if runs_tcl:
        _console_options.made_for_console(args)


_import_as_the_console_says()
del _import_as_the_console_says

from .interpreter import Interpreter, TclError, TclTimeoutError, _global_interpreter
from .array import Array
from .mardeck import Mardeck
from .zelph import tclobj, zelph

# The shared interpreter's members as package-level names: the package module
# can stand wherever an interpreter object is expected.
for _name in _global_interpreter.__all__:
    globals()[_name] = getattr(_global_interpreter, _name)
del _name

__all__ = ["Interpreter", "TclError", "TclTimeoutError", "Array", "Mardeck", "zelph", "tclobj"] + list(_global_interpreter.__all__)

# The pytest plugin, when pytest loaded it before the package, watches the
# interpreters made from now on (it does not import the package itself).
_plugin = _sys.modules.get("korvex.tcl_testing.pytest_plugin")
if _plugin is not None:
    _plugin._package_imported()
del _plugin, _sys


def __getattr__(name):
    # The version comes from the installed distribution's metadata, read on
    # first use so that importing the package stays quick.
    if name == "__version__":
        from importlib.metadata import PackageNotFoundError, version

        try:
            value = version("korvex-tcl")
        except PackageNotFoundError:  # imported from a tree that is not installed
            value = "0+unknown"
        globals()["__version__"] = value
        return value
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
