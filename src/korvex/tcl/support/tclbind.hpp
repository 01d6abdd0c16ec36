// How the namespace, command and variable objects reach their interpreter:
// each holds it as a weak proxy in its attribute `tcl` (the package module
// `korvex.tcl`, that is the shared interpreter, when none is given), and
// sends Tcl work to the interpreter's _tkinter application object `tk`.
#pragma once

#include "support/pyutil.hpp"

namespace kx {
namespace bind {

// The binding rule: a false `tcl` means the package module `package`
// (imported now); a weak proxy is kept as it is; anything else is wrapped in
// weakref.proxy.
nb::object interp(nb::handle tcl, const char *package);

// The object behind a weak proxy (anything else as it is). Raises
// ReferenceError when the object is gone.
nb::object referent(nb::handle proxy);

// obj.tcl, dereferenced: the interpreter (or package module) itself.
nb::object interp_of(nb::handle obj);

// interp.tk: read as an instance attribute first (tkinter.Tk has __getattr__,
// which makes ordinary lookup slow), with the full lookup as fallback.
nb::object tk_of(nb::handle interp);

// obj.tcl.tk in one step.
inline nb::object tk_of_owner(nb::handle obj) { return tk_of(interp_of(obj)); }

// tk.<method>(args...) through vectorcall.
nb::object tk(nb::handle tk, PyObject *method, std::initializer_list<PyObject *> args);

// interp.<method>(value): a cast of the interpreter (cast_list, cast_boolean, ...).
nb::object cast(nb::handle interp, PyObject *method, nb::handle value);

}  // namespace bind
}  // namespace kx
