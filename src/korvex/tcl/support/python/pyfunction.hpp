// Function objects with C++ bodies that behave like plain Python functions
// where it matters: they carry a __dict__ (so `zelph.from_sequence = ...`
// works), a __name__, __qualname__, __module__ and __doc__, bind as methods
// when put in a class, show the signature set as __text_signature__ in their
// dict to inspect and help(), and are called through vectorcall with no
// argument-conversion layer in between.
//
//     nb::object body(PyObject *const *a, Py_ssize_t n, PyObject *kw) {
//         static const ArgSpec sig{"zelph", {{"obj"}}};
//         PyObject *obj;
//         parse_args(sig, a, n, kw, &obj);
//         ...
//     }
//     m.attr("zelph") = make_function(m, "zelph", doc, &body);
#pragma once

#include "support/python/pyutil.hpp"

#include <vector>

namespace kx {

// The body of a function: the vectorcall arguments (positional count already
// stripped of PY_VECTORCALL_ARGUMENTS_OFFSET). Throws nb::python_error (or
// any exception nanobind translates) on failure.
using FunctionBody = nb::object (*)(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames);

// A new function object named `name` of module `module` (qualname = name).
nb::object make_function(nb::handle module, const char *name, const char *doc, FunctionBody body);

// The parameter list of a function with only required parameters, given by
// position or by keyword, as a Python function without defaults. Each
// parameter is its name followed by further names accepted as keywords.
struct ArgSpec {
    const char *func;
    std::vector<std::vector<const char *>> params;
};

// Fills out[0 .. sig.params.size()) with borrowed references, or raises
// TypeError with Python's own messages for a missing, surplus, duplicated
// or unknown argument.
void parse_args(const ArgSpec &sig, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames,
                PyObject **out);

}  // namespace kx
