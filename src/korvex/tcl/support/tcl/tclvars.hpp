// A namespace variable read or replaced without running Tcl. Reading or
// setting a variable through Tcl (_tkinter's getvar, setvar or a `set`
// script) runs the variable's traces, and a trace may reach a command that
// only _tkinter can call into; with no trace on the variable nor on what it
// links to, Tcl would run nothing, and the value is read or replaced where
// Tcl keeps it. Whenever that does not hold (an array, an element, a trace, no
// such variable, an undefined one) these return null/false and the caller
// takes its path through Tcl, which also words every error.
//
// `name` is the name of a scalar, no array element: fully qualified, or
// relative to the global namespace (taken so only while Tcl runs nothing, as
// Tcl itself would resolve it then). The caller holds the GIL and is the
// interpreter's thread.
#pragma once

#include "support/tcl/tcllib.hpp"

namespace kx {
namespace tcl {

// The value object of the variable, borrowed (valid until Tcl next runs).
Obj *untraced_value(Interp *interp, const char *name);

// Makes `value` the variable's value (taking a reference to it) and gives
// true; false, with nothing changed, when Tcl must do it.
bool set_untraced(Interp *interp, const char *name, Obj *value);

}  // namespace tcl
}  // namespace kx
