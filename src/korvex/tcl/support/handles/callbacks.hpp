// Python callables as Tcl commands of an interpreter, kept by name in its
// __callbacks__ (Interpreter.create_callback, remove_callback and
// generate_callback_cmd_name): through the TclCommand objects of its global
// namespace, a replaced command kept under ::auxKit::_cbBkup.
#pragma once

#include "support/python/pyutil.hpp"

namespace kx {
namespace callbacks {

// The classes the callbacks use, set once when the interpreter module has
// made Interpreter (module-lifetime references): Interpreter, TclCommand and
// tkinter.TclError.
void init(PyObject *interpreter, PyObject *command, PyObject *tcl_error);

// Interpreter.generate_callback_cmd_name(callback, mangle_cmd_name).
nb::object callback_cmd_name(nb::handle callback, nb::handle mangle_cmd_name);

// Interpreter.create_callback(callback, cmd_name, force).
nb::object create_callback(nb::handle self, nb::handle callback, nb::handle cmd_name, nb::handle force);

// Interpreter.remove_callback(callback).
void remove_callback(nb::handle self, nb::handle callback);

}  // namespace callbacks
}  // namespace kx
