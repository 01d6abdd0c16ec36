// The Tcl work behind a variable handle, given the handle's interpreter
// proxy and the variable's name: shared by TclVariable and the variable views
// (which do a handle's work without making one).
#pragma once

#include "support/python/pyutil.hpp"

namespace kx {
namespace var {

// "name(index)": the element form of a variable name.
nb::object element(nb::handle name, nb::handle index);

// The text of an element index; a str as it is.
nb::object index_text(nb::handle index);

// tk.getvar(name[, index]): the value as _tkinter delivers it.
nb::object get_obj_core(nb::handle tcl, nb::handle name, PyObject *array_index);

// The value as text, through the script "set <name>".
nb::object get_str_core(nb::handle tcl, nb::handle name);

// tk.setvar(name[, index], tclobj(value)).
void set_core(nb::handle tcl, nb::handle name, nb::handle value, PyObject *array_index);

}  // namespace var
}  // namespace kx
