#include "support/python/fastcall.hpp"

#include <cstring>

namespace kx {

void intern_names(const char *const *names, size_t n, PyObject **interned) {
    // The first last: a thread that finds it set finds all of them set.
    for (size_t i = n; i-- > 0;)
        interned[i] = intern(names[i]);
}

void bind_args(const char *fname, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames,
               const char *const *names, size_t n, size_t required, PyObject **out,
               PyObject *const *interned) {
    if ((size_t)nargs > n) {
        if (required == n)
            PyErr_Format(PyExc_TypeError, "%s() takes %zu positional argument%s but %zd %s given",
                         fname, n, n == 1 ? "" : "s", nargs, nargs == 1 ? "was" : "were");
        else
            PyErr_Format(PyExc_TypeError,
                         "%s() takes from %zu to %zu positional arguments but %zd %s given", fname,
                         required, n, nargs, nargs == 1 ? "was" : "were");
        throw nb::python_error();
    }
    for (size_t i = 0; i < n; ++i)
        out[i] = i < (size_t)nargs ? args[i] : nullptr;
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject *key = PyTuple_GET_ITEM(kwnames, k);
        size_t i = 0;
        if (interned && interned[0])
            while (i < n && interned[i] != key)
                ++i;
        else
            i = n;
        if (i == n) {
            // Not by address: by its text.
            const char *text = PyUnicode_AsUTF8(key);
            if (!text)
                throw nb::python_error();
            i = 0;
            while (i < n && std::strcmp(names[i], text) != 0)
                ++i;
            if (i == n) {
                PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%s'", fname, text);
                throw nb::python_error();
            }
        }
        if (out[i]) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", fname, names[i]);
            throw nb::python_error();
        }
        out[i] = args[nargs + k];
    }
    for (size_t i = 0; i < required; ++i) {
        if (!out[i]) {
            PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s' (pos %zu)", fname,
                         names[i], i + 1);
            throw nb::python_error();
        }
    }
}

nb::object fastcall_function(PyMethodDef *def, nb::handle module) {
    nb::object name = check(PyObject_GetAttrString(module.ptr(), "__name__"));
    return check(PyCFunction_NewEx(def, module.ptr(), name.ptr()));
}

}  // namespace kx
