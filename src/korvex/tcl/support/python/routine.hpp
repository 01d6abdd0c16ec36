// Routines: the function objects that hold the C++ methods of our Python
// classes. They behave like Python functions where users and tools look:
//
//   - binding: instance.method is a real types.MethodType, so the same method
//     of the same object compares equal and hashes alike, weakref.WeakMethod
//     accepts it, and inspect.ismethod / __self__ / __func__ work;
//   - introspection: __name__, __qualname__, __module__, __doc__ and
//     __text_signature__, so inspect.signature() and help() show the
//     parameters with their defaults;
//   - speed: the type is a method descriptor (Py_TPFLAGS_METHOD_DESCRIPTOR)
//     called by vectorcall, so `obj.method(...)` usually creates no bound
//     method at all, and the body is reached without another layer.
//
// A routine either forwards to a nanobind function (whose __nb_signature__
// gives the text signature) or calls a raw fast-call body (see fastcall.hpp)
// whose docstring starts with its text signature.
#pragma once

#include "support/python/fastcall.hpp"

namespace kx {

// A routine calling the nanobind function `target` (self comes first in the
// arguments of a method). `qualname` defaults to the function's name.
nb::object make_routine(nb::handle target, nb::handle module, const char *qualname = nullptr);

// A routine calling a fast-call method body; `def->ml_doc` starts with
// "name($self, /, ...)\n--\n\n". Once the class exists, tie it with
// set_routine_owner: called unbound, it then checks that self is an instance.
nb::object make_fast_routine(PyMethodDef *def, nb::handle module, const char *qualname);
void set_routine_owner(nb::handle routine, nb::handle cls);

// Whether `obj` is a routine.
bool is_routine(nb::handle obj);

// The text signature "(a, b=None, *, c=0)" of a nanobind function, built from
// its __nb_signature__ without annotations; None when it has none.
nb::object nb_text_signature(nb::handle func);

// inspect.Signature of a text signature such as "(obj, /, cast=<no cast>)";
// a default written as "<...>" becomes a stand-in shown as that text. (inspect
// reads such text itself, from __text_signature__, only for literal defaults.)
nb::object signature_from_text(nb::handle text);

// A class attribute `__signature__` for a class whose instances are callable
// and also descriptors (inspect mistakes those for built-in methods): on an
// instance it gives the signature of its __call__, on the class None.
nb::object call_signature_descriptor();

// The same, and on the class the signature of its __init__: for classes made
// as C types, whose __new__ slot hides __init__ from inspect before 3.11.
nb::object class_signature_descriptor();

}  // namespace kx
