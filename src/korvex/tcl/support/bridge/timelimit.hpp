// TimeLimit, the context manager Interpreter.time_limit() returns: a
// deadline of the interpreter's bridge, set on entry and withdrawn on exit.
#pragma once

#include "support/python/pyutil.hpp"

namespace kx {
namespace timelimit {

// Defines the class TimeLimit in `m` and returns it; `tcl_error` is
// tkinter.TclError (kept for the module's lifetime).
nb::object define(nb::module_ &m, PyObject *tcl_error);

}  // namespace timelimit
}  // namespace kx
