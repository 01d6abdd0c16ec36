// TimeLimit, the context manager Interpreter.time_limit() returns: a
// deadline of the interpreter's bridge, set on entry and withdrawn on exit.
#pragma once

#include "support/python/pyutil.hpp"
#include "support/tcl/tcllib.hpp"

namespace kx {
namespace timelimit {

// Defines the class TimeLimit in `m` and returns it; `tcl_error` is
// tkinter.TclError (kept for the module's lifetime).
nb::object define(nb::module_ &m, PyObject *tcl_error);

// The message of a TclTimeoutError for a limit of `seconds` that ran out at
// `at`, noticed now: work blocked in the system (exec, a read) is noticed
// when it returns, so it says how long the work ran when that was well past.
nb::object message(double seconds, const tcl::Time &at);

}  // namespace timelimit
}  // namespace kx
