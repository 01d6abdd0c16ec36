// Forwarded attributes: a non-data descriptor that, read from an instance,
// gives get(instance, name). A class whose other names come from another
// object (tkinter.Tk's __getattr__ hands misses to its application object)
// can list that object's names this way instead, and keep
// object.__getattribute__ as its getattro: Python then calls its methods
// without making a bound method for each call, and specializes their lookup
// (it does neither for a class whose getattro is anything else).
#pragma once

#include "support/python/pyutil.hpp"

namespace kx {

// get: a new reference, or null with an exception set.
using ForwardFn = PyObject *(*)(PyObject *self, PyObject *name);

nb::object make_forwarder(nb::handle name, ForwardFn get);

// Whether `type` (or a base) has a forwarder for `name`.
bool forwards(PyTypeObject *type, PyObject *name);

// Gives `cls` (whose __getattr__ hands names to an object of `source`) a
// forwarder to `get` for each public name of `source` that `cls` does not
// have, then object.__getattribute__ as its getattro, and an
// __init_subclass__ that does the same for each subclass that defines
// neither __getattr__ nor __getattribute__. Setting either on a class later
// brings back Python's own getattro for it (and its __getattr__ is called
// again for names nobody has).
void forward_names(nb::handle cls, nb::handle source, ForwardFn get);

}  // namespace kx
