"""korvex.tcl: drive a Tcl interpreter (with TclX) from Python test scripts.

Importing the package creates the shared interpreter; its public names are
published here, so ``korvex.tcl.eval("set a 1")`` runs in it.
"""

import sys as _sys

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
