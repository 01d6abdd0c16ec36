#include "support/bridge/timelimit.hpp"
#include "support/bridge/bridge.hpp"
#include "support/bridge/closing.hpp"
#include "support/python/classdef.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>

using namespace nb::literals;

namespace kx {
namespace timelimit {

nb::object message(double seconds, const tcl::Time &at) {
    tcl::Time t = tcl::now();
    double late = double(t.sec - at.sec) + double(t.usec - at.usec) / 1e6;
    char ran[48] = "";
    if (std::isfinite(seconds) && late >= std::max(0.5, seconds * 0.25))
        std::snprintf(ran, sizeof ran, " (it ran %.1f seconds)", seconds + late);
    nb::object text = check(PyObject_Str(nb::float_(seconds).ptr()));
    return check(PyUnicode_FromFormat("Tcl work exceeded the time limit of %U seconds%s", text.ptr(), ran));
}

namespace {

PyObject *g_tcl_error;  // tkinter.TclError

// TimeLimit(interp, seconds): the deadline is set on __enter__, measured from
// then, and withdrawn on __exit__.
void time_limit_init(nb::handle self, nb::handle interp, nb::handle seconds) {
    if (PyBool_Check(seconds.ptr()) || !(PyLong_Check(seconds.ptr()) || PyFloat_Check(seconds.ptr()))) {
        PyErr_Format(PyExc_TypeError, "time_limit() takes a number of seconds (int or float), not %.100s",
                     Py_TYPE(seconds.ptr())->tp_name);
        throw nb::python_error();
    }
    double value = PyFloat_AsDouble(seconds.ptr());
    if (value == -1.0 && PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_OverflowError))
            throw nb::python_error();
        PyErr_Clear();
        value = truth(check(PyObject_RichCompare(seconds.ptr(), nb::int_(0).ptr(), Py_GT))) ? HUGE_VAL : -HUGE_VAL;
    }
    if (!(value > 0)) {
        nb::object text = check(PyObject_Repr(seconds.ptr()));
        PyErr_Format(PyExc_ValueError, "a time limit must be a positive number of seconds, not %U", text.ptr());
        throw nb::python_error();
    }
    nb::object dict;
    PyObject *reg = closing::registry_of(interp, dict);
    if (!reg) {
        PyErr_SetString(g_tcl_error, "this Interpreter has no Tcl interpreter");
        throw nb::python_error();
    }
    set_attr(self, KX_ID(seconds), nb::float_(value));
    set_attr(self, KX_ID(_registry), nb::handle(reg));
    set_attr(self, KX_ID(_id), nb::int_(0));
}

nb::object time_limit_enter(nb::handle self) {
    if (PyObject_IsTrue(attr(self, KX_ID(_id)).ptr())) {
        PyErr_SetString(PyExc_RuntimeError, "this time limit is already in force");
        throw nb::python_error();
    }
    double seconds = PyFloat_AsDouble(attr(self, KX_ID(seconds)).ptr());
    if (seconds == -1.0 && PyErr_Occurred())
        throw nb::python_error();
    long id = bridge::push_deadline(attr(self, KX_ID(_registry)), seconds);
    set_attr(self, KX_ID(_id), nb::int_(id));
    return nb::borrow(self);
}

bool time_limit_exit(nb::handle self, nb::args args) {
    long id = PyLong_AsLong(attr(self, KX_ID(_id)).ptr());
    if (id == -1 && PyErr_Occurred())
        throw nb::python_error();
    nb::object registry = attr(self, KX_ID(_registry));
    // Work started through tkinter's own methods that this limit stopped
    // ends in Tcl's "eval unwound": the timeout is raised in its place.
    nb::object timeout;
    if (id && PyTuple_GET_SIZE(args.ptr()) >= 2)
        timeout = bridge::raw_timeout(registry, id, PyTuple_GET_ITEM(args.ptr(), 1));
    if (id)
        bridge::pop_deadline(registry, id);
    set_attr(self, KX_ID(_id), nb::int_(0));
    if (timeout.is_valid()) {
        PyException_SetCause(timeout.ptr(), nullptr);  // (from None: Tcl's error stays as the context)
        PyErr_SetObject((PyObject *)Py_TYPE(timeout.ptr()), timeout.ptr());
        throw nb::python_error();
    }
    return false;
}

// A time limit entered and never left lets go of its deadline when collected.
void time_limit_del(nb::handle self) {
    PyObject *id = generic_getattribute(self.ptr(), KX_ID(_id), true);
    PyObject *reg = generic_getattribute(self.ptr(), KX_ID(_registry), true);
    nb::object held_id = nb::steal(id), held_reg = nb::steal(reg);
    PyErr_Clear();
    if (!id || !reg)
        return;
    long n = PyLong_AsLong(id);
    if (n > 0)
        bridge::pop_deadline(held_reg, n);
    PyErr_Clear();
}

}  // namespace

nb::object define(nb::module_ &m, PyObject *tcl_error) {
    g_tcl_error = tcl_error;
    ClassDef tl(m, "TimeLimit", {},
                "A time limit of an interpreter, as Interpreter.time_limit() makes it: a\n"
                "context manager bounding all Tcl work started inside it (wall-clock,\n"
                "measured from entry). ``seconds`` is the limit.");
    tl.def("__init__", &time_limit_init, "interp"_a.none(), "seconds"_a.none())
        .def("__enter__", &time_limit_enter)
        .def("__exit__", &time_limit_exit, "args"_a)
        .def("__del__", &time_limit_del);
    return tl.finish();
}

}  // namespace timelimit
}  // namespace kx
