// What an Interpreter's application object becomes once closed (see
// bridge.hpp): an object whose every attribute raises TclError("this
// Interpreter is closed"), and the check for it.
#include "support/bridge/bridge.hpp"
#include "support/bridge/bridgestate.hpp"

namespace kx {
namespace bridge {

namespace {

PyObject *tcl_error_type() {
    return KX_ONCE(PyObject *, keep(import_attr("tkinter", "TclError")));
}

PyObject *closed_getattro(PyObject *, PyObject *) {
    PyErr_SetString(tcl_error_type(), kClosed);
    return nullptr;
}

PyObject *closed_repr(PyObject *) { return PyUnicode_FromString("<closed Tcl interpreter>"); }

PyType_Slot closed_slots[] = {{Py_tp_getattro, (void *)closed_getattro},
                              {Py_tp_repr, (void *)closed_repr},
                              {0, nullptr}};

PyType_Spec closed_spec = {"korvex.tcl.ClosedInterpreter", sizeof(PyObject), 0, Py_TPFLAGS_DEFAULT,
                           closed_slots};

}  // namespace

nb::object closed_tk() {
    PyObject *const type = KX_ONCE(PyObject *, check(PyType_FromSpec(&closed_spec)).release().ptr());
    return check(PyType_GenericAlloc((PyTypeObject *)type, 0));
}

void check_open(nb::handle tk) {
    if (Py_TYPE(tk.ptr())->tp_getattro == closed_getattro)
    {
        closed_getattro(tk.ptr(), nullptr);
        throw nb::python_error();
    }
}

}  // namespace bridge
}  // namespace kx
