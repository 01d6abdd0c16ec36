#include "support/callguard.hpp"

#include "support/tclconvert.hpp"

namespace kx {
namespace {

struct Guard {
    PyObject_HEAD
    PyObject *func;
};

Guard *as_guard(PyObject *o) { return reinterpret_cast<Guard *>(o); }

PyObject *guard_call(PyObject *self, PyObject *args, PyObject *kwargs) {
    PyObject *result = PyObject_Call(as_guard(self)->func, args, kwargs);
    if (!result || (!PyTuple_Check(result) && !PyList_Check(result)))
        return result;
    nb::object r = nb::steal(result);
    return c_entry([&] { return tcl_safe(r); });
}

int guard_traverse(PyObject *self, visitproc visit, void *arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(as_guard(self)->func);
    return 0;
}

int guard_clear(PyObject *self) {
    Py_CLEAR(as_guard(self)->func);
    return 0;
}

void guard_dealloc(PyObject *self) {
    PyTypeObject *type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    guard_clear(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject *guard_repr(PyObject *self) {
    PyObject *func = as_guard(self)->func;
    return func ? PyObject_Repr(func) : PyUnicode_FromString("<command>");
}

PyType_Slot guard_slots[] = {{Py_tp_call, (void *)guard_call},
                             {Py_tp_traverse, (void *)guard_traverse},
                             {Py_tp_clear, (void *)guard_clear},
                             {Py_tp_dealloc, (void *)guard_dealloc},
                             {Py_tp_repr, (void *)guard_repr},
                             {0, nullptr}};

PyType_Spec guard_spec = {"korvex.tcl.command", sizeof(Guard), 0,
                          Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, guard_slots};

}  // namespace

nb::object guard_result(nb::handle func) {
    static PyTypeObject *const type = (PyTypeObject *)check(PyType_FromSpec(&guard_spec)).release().ptr();
    Guard *g = PyObject_GC_New(Guard, type);
    if (!g)
        throw nb::python_error();
    g->func = nb::borrow(func).release().ptr();
    PyObject_GC_Track(g);
    return nb::steal((PyObject *)g);
}

}  // namespace kx
