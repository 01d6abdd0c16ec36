// Python callables registered as Tcl commands (see bridge.hpp): the guard
// object _tkinter calls, and the conversion of results for Tcl.
#pragma once

#include "support/python/pyutil.hpp"

namespace kx {

// A callable forwarding every call to `func`, its result made safe for
// _tkinter (a tuple or list holding items _tkinter cannot convert would
// crash it).
nb::object guard_result(nb::handle func);

// The callable a guard forwards to (a guard made by any of the package's
// modules, known by its type's name), borrowed; else `obj` itself.
PyObject *guarded_callable(PyObject *obj);

}  // namespace kx
