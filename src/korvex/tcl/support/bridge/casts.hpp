// The Interpreter's casts of Tcl results into Python values (cast_int,
// cast_double, cast_boolean, cast_list, cast_array, cast_keyed_list) and the
// tests cast_any's trials share with them. interpreter.cpp defines the
// methods and cast_any, which tries these in turn.
#pragma once

#include "support/python/pyutil.hpp"

namespace kx {
namespace casts {

// The classes the casts make and recognise, set once when the interpreter
// module is imported (module-lifetime references).
void init(PyObject *tcl_error, PyObject *array, PyObject *mardeck, PyObject *tcl_obj);

// self.name(value): through self, so that a subclass override takes effect.
PyObject *try_method(nb::handle self, PyObject *name, nb::handle value);

// self.tk, checked to belong to the calling thread: for the paths that reach
// Tcl through methods of _tkinter that do not check it themselves (getint,
// getdouble, getboolean) or through the Tcl library directly.
nb::object own_tk(nb::handle self);

nb::object cast_int(nb::handle self, nb::handle value);
nb::object cast_double(nb::handle self, nb::handle value);
nb::object cast_boolean(nb::handle self, nb::handle given);
nb::object cast_list(nb::handle value, nb::handle item_cast);
nb::object cast_array(nb::handle value, nb::handle item_cast);
nb::object cast_keyed_list(nb::handle value, nb::handle item_cast);

// Whether `value` is a Tcl object of TclX's keyed-list type.
bool is_keyed_list_obj(nb::handle value);

// True when the trial returned (into `out`), false when it raised TypeError
// or ValueError (passed over); other errors propagate.
bool trial(PyObject *r, nb::object &out);

// Whether a text may be a Tcl number or boolean at all (texts that cannot be
// skip the trials), and whether it holds no Tcl list element (then it is no
// keyed list).
bool may_be_number_or_boolean(nb::handle text);
bool holds_no_element(nb::handle text);

}  // namespace casts
}  // namespace kx
