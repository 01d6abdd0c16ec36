// Loading TclX into a new interpreter.
#pragma once

#include "support/python/pyutil.hpp"

namespace kx {
namespace tclx {

// Whether a new interpreter loads TclX: `tclx` (a bool) when given, else
// what KORVEX_TCL_TCLX says (unset or empty: yes; 0, no, false or off, in any
// case: no). Anything else raises ValueError, a `tclx` of another type TypeError.
bool wanted(nb::handle tclx);

// The sentence of the error raised when TclX cannot be loaded.
extern const char *const kMissing;

// `package require Tclx` in the interpreter of the application object `tk`.
//
// Tcl's package unknown handler would source every pkgIndex.tcl on auto_path
// to find TclX, which costs several times the load itself with a large Tcl
// library installed. The first interpreter of the process sources only the
// indexes the handler would read that mention Tclx (all of them, so that the
// highest version wins as after the scan), and takes the usual way when that
// declares no Tclx. The version and load script it found are kept, and every
// later interpreter gets them with `package ifneeded` before its `package
// require`. The scan is deferred, not dropped (tclxpackages.cpp): it runs, as
// it would have at start-up, at the first use of the package database or of
// auto_path that could tell. TclX's `signal` is watched in every interpreter
// (tclxsignal.cpp).
//
// A failure of Tcl's (an exception of exactly the type `tcl_error`) raises
// `error_type` with kMissing, caused by the TclError.
void require(nb::handle tk, PyObject *tcl_error, PyObject *error_type);

}  // namespace tclx
}  // namespace kx
