// Plain CPython functions (METH_FASTCALL | METH_KEYWORDS) with C++ bodies, for
// module functions on hot paths: the cheapest call Python has, a docstring
// exactly as written, and an inspectable signature. A function is described
// by a struct:
//
//     struct F {
//         static constexpr const char *name = "f";
//         static constexpr const char *names[] = {"a", "b"};  // parameters
//         static constexpr size_t required = 1;               // b is optional
//         static nb::object body(PyObject *const *args);      // NULL: not given
//     };
//     static PyMethodDef def = {F::name, (PyCFunction)(void (*)())fastcall<F>,
//                               METH_FASTCALL | METH_KEYWORDS, "f(a, b=None)\n--\n\nDoc."};
//
// Arguments are bound as Python binds them for def f(a, b=None).
#pragma once

#include "support/pyutil.hpp"

#include <cstddef>
#include <iterator>
#include <new>

namespace kx {

// Binds positional and keyword arguments to `out[0..n)` (borrowed; NULL for an
// optional argument not given), raising TypeError as Python does.
void bind_args(const char *fname, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames,
               const char *const *names, size_t n, size_t required, PyObject **out);

template <typename F>
PyObject *fastcall(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    constexpr size_t n = std::size(F::names);
    try {
        if (!kwnames && (size_t)nargs == n)
            return F::body(args).release().ptr();
        PyObject *bound[n];
        bind_args(F::name, args, nargs, kwnames, F::names, n, F::required, bound);
        return F::body(bound).release().ptr();
    } catch (nb::python_error &e) {
        e.restore();
    } catch (const std::bad_alloc &) {
        PyErr_NoMemory();
    } catch (const std::exception &e) {
        PyErr_SetString(PyExc_SystemError, e.what());
    }
    return nullptr;
}

// A builtin function object for `def` (which must outlive it: make it static).
nb::object fastcall_function(PyMethodDef *def, nb::handle module);

}  // namespace kx
