"""korvex.tcl: drive a Tcl interpreter (with TclX) from Python test scripts.

Importing the package creates the shared interpreter; its public names are
published here, so ``korvex.tcl.eval("set a 1")`` runs in it.
"""

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
