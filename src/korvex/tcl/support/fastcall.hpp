// Methods on the hottest paths (Interpreter.eval, History.append) skip the
// generic binding layer: they are plain METH_FASTCALL|METH_KEYWORDS functions
// turned into method descriptors of their class, with a small argument parser
// that behaves like Python's own.
#pragma once

#include "support/pyutil.hpp"

#include <array>
#include <exception>
#include <new>

namespace kx {

// A parameter list: names in order, how many are required, and whether the
// trailing ones are keyword-only.
template <size_t N>
class Params {
public:
    Params(const char *func, std::array<const char *, N> names, size_t required)
        : func_(func), required_(required) {
        for (size_t i = 0; i < N; ++i) {
            text_[i] = names[i];
            names_[i] = intern(names[i]);
        }
    }

    // Fills out[0..N) with borrowed references; parameters not given are NULL.
    void parse(PyObject *const *args, Py_ssize_t nargsf, PyObject *kwnames,
               PyObject *out[N]) const {
        Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
        if ((size_t)nargs > N) {
            PyErr_Format(PyExc_TypeError, "%s() takes at most %zu positional arguments (%zd given)",
                         func_, N, nargs);
            throw nb::python_error();
        }
        for (size_t i = 0; i < N; ++i)
            out[i] = i < (size_t)nargs ? args[i] : nullptr;
        Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            PyObject *key = PyTuple_GET_ITEM(kwnames, k);
            size_t i = find(key);
            if (i == N) {
                PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%S'", func_, key);
                throw nb::python_error();
            }
            if (out[i]) {
                PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", func_,
                             text_[i]);
                throw nb::python_error();
            }
            out[i] = args[nargs + k];
        }
        for (size_t i = 0; i < required_; ++i)
            if (!out[i]) {
                PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s' (pos %zu)", func_,
                             text_[i], i + 1);
                throw nb::python_error();
            }
    }

private:
    size_t find(PyObject *key) const {
        for (size_t i = 0; i < N; ++i)
            if (names_[i] == key)
                return i;
        for (size_t i = 0; i < N; ++i)
            if (PyUnicode_Check(key) && PyUnicode_Compare(names_[i], key) == 0)
                return i;
        return N;
    }

    const char *func_;
    size_t required_;
    std::array<const char *, N> text_;
    std::array<PyObject *, N> names_;
};

using FastBody = nb::object (*)(PyObject *self, PyObject *const *args, Py_ssize_t nargsf,
                                PyObject *kwnames);

// The C entry point for a FastBody: turns C++ exceptions into Python ones.
template <FastBody F>
PyObject *fast_entry(PyObject *self, PyObject *const *args, Py_ssize_t nargsf, PyObject *kwnames) {
    try {
        return F(self, args, nargsf, kwnames).release().ptr();
    } catch (nb::python_error &e) {
        e.restore();
    } catch (const std::bad_alloc &) {
        PyErr_NoMemory();
    } catch (const std::exception &e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    }
    return nullptr;
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
