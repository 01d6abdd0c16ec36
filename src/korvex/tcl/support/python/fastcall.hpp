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

#include "support/python/pyutil.hpp"

#include <array>
#include <cstddef>
#include <exception>
#include <iterator>
#include <new>

namespace kx {

// Binds positional and keyword arguments to `out[0..n)` (borrowed; NULL for an
// optional argument not given), raising TypeError as Python does. `interned`
// (or NULL) holds the names as interned str: a keyword that is one of them
// (the caller's code holds the same interned str) is found by its address.
void bind_args(const char *fname, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames,
               const char *const *names, size_t n, size_t required, PyObject **out,
               PyObject *const *interned = nullptr);

// The names as interned str in `interned[0..n)`, made on the first call with
// keywords (`interned[0]` stays NULL until all are made).
void intern_names(const char *const *names, size_t n, PyObject **interned);

template <typename F>
PyObject *fastcall(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    constexpr size_t n = std::size(F::names);
    return c_entry([&] {
        if (!kwnames && (size_t)nargs == n)
            return F::body(args);
        static PyObject *interned[n];  // (zeroed before any code runs)
        if (kwnames && !interned[0])
            intern_names(F::names, n, interned);
        PyObject *bound[n];
        bind_args(F::name, args, nargs, kwnames, F::names, n, F::required, bound, interned);
        return F::body(bound);
    });
}

// A builtin function object for `def` (which must outlive it: make it static).
nb::object fastcall_function(PyMethodDef *def, nb::handle module);

// --- methods ------------------------------------------------------------
//
// Methods on the hottest paths (Interpreter.eval, History.append) are plain
// fast-call functions too, held by routines of their class
// (ClassDef::def_fast). Their bodies take `self` and the raw arguments:
//
//     const Params<2> kParams("eval", {"code", "record"}, 1);
//     nb::object eval(PyObject *self, PyObject *const *args, Py_ssize_t nargsf, PyObject *kwnames) {
//         PyObject *a[2];
//         kParams.parse(args, nargsf, kwnames, a);
//         ...
//     }
//     c.def_fast(fast_method<eval>("eval", "eval($self, /, code, record=True)\n--\n\nDoc."));

template <size_t N>
class Params {
public:
    Params(const char *func, std::array<const char *, N> names, size_t required)
        : func_(func), names_(names), required_(required) {}

    // Fills out[0..N) with borrowed references; parameters not given are NULL.
    void parse(PyObject *const *args, Py_ssize_t nargsf, PyObject *kwnames, PyObject *out[N]) const {
        if (kwnames && !interned_[0])
            intern_names(names_.data(), N, interned_.data());
        bind_args(func_, args, PyVectorcall_NARGS(nargsf), kwnames, names_.data(), N, required_, out,
                  interned_.data());
    }

private:
    const char *func_;
    std::array<const char *, N> names_;
    size_t required_;
    mutable std::array<PyObject *, N> interned_{};  // made on first use (see intern_names)
};

using FastBody = nb::object (*)(PyObject *self, PyObject *const *args, Py_ssize_t nargsf,
                                PyObject *kwnames);

// The C entry point for a FastBody: turns C++ exceptions into Python ones.
template <FastBody F>
PyObject *fast_entry(PyObject *self, PyObject *const *args, Py_ssize_t nargsf, PyObject *kwnames) {
    return c_entry([&] { return F(self, args, nargsf, kwnames); });
}

// A method definition that lives as long as the process. `doc` starts with
// the text signature ("name($self, /, a, b=1)\n--\n\n...").
template <FastBody F>
PyMethodDef *fast_method(const char *name, const char *doc) {
    static PyMethodDef def = {name, (PyCFunction)(void (*)(void))fast_entry<F>,
                              METH_FASTCALL | METH_KEYWORDS, doc};
    return &def;
}

}  // namespace kx
