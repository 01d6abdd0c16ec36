// FieldClass: a Python class whose instances keep their first two instance
// attributes in C fields until something asks for the instance dict, and
// which can be called through vectorcall. For a class of short-lived objects
// on a hot path (the quick-call worker), where creating an instance dict,
// storing two attributes in it and freeing it again costs more than the work.
//
// To Python it is an ordinary class: subclassable, weak-referenceable, with an
// instance __dict__ that shows the two attributes first, in their order,
// then any others; getattr, setattr, delattr, vars(), copy and pickle see one
// consistent state. While no other attribute was set and nobody asked for
// __dict__, the state lives in the fields (a prefix of them: the second is
// set only when the first is); from then on it lives in the dict alone.
//
// The caller adds the methods and the docstring once the class is made.
#pragma once

#include "support/python/pyutil.hpp"

namespace kx {

struct FieldObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;  // per instance (vectorcall protocol)
    PyObject *dict;             // NULL while the fields hold the state
    PyObject *weaklist;
    PyObject *fields[2];        // NULL: not set
    bool single;                // fields[1] is the only item of the list it stands for
};

struct FieldClassLayout {
    const char *name;      // "package.module.Name"
    const char *names[2];  // the attributes kept in fields, in dict order
    ternaryfunc call;      // tp_call
    vectorcallfunc vectorcall;
};

// Creates the class (only one FieldClass per process: the field names are
// the module's). Its __getattribute__ is object's, seeing the fields.
nb::object make_field_class(const FieldClassLayout &layout);

// object.__getattribute__ of the class, with the fields: NULL and no error
// set when the attribute is missing and `suppress` (Python's own
// AttributeError otherwise).
PyObject *field_getattribute(PyObject *self, PyObject *name, bool suppress);

// A new instance of `type` (the class or a subclass that keeps its __new__)
// with both fields set, as __init__ would leave it.
nb::object field_new_instance(PyTypeObject *type, nb::handle first, nb::handle second);

// The same, the second field standing for the one-item list [item] until it
// is read (most instances are called once and dropped, the list unseen).
nb::object field_new_instance_single(PyTypeObject *type, nb::handle first, nb::handle item);

// The item of a second field that still stands for a one-item list, when
// getattr(self, names[1]) would read that field (borrowed); NULL otherwise.
PyObject *field_single_item(PyObject *self);

// tp_new of the class (to tell whether a subclass or assignment replaced it).
PyObject *field_tp_new(PyTypeObject *type, PyObject *args, PyObject *kwargs);

// The instance dict, made now from the fields if needed (borrowed).
PyObject *field_dict(PyObject *self);

// `callable(*args, **kwargs)` through the class's tp_call, for a vectorcall
// that finds the class's __call__ replaced.
PyObject *call_through_tp_call(PyObject *callable, PyObject *const *args, size_t nargsf, PyObject *kwnames);

}  // namespace kx
