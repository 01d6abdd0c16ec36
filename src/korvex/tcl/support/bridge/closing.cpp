#include "support/bridge/closing.hpp"
#include "support/bridge/bridge.hpp"
#include "support/tcl/tcllib.hpp"
#include "support/tcl/tclxhooks.hpp"

namespace kx {
namespace closing {

PyObject *registry_of(nb::handle self, nb::object &dict) {
    dict = check(PyObject_GenericGetDict(self.ptr(), nullptr));
    PyObject *reg = PyDict_GetItemWithError(dict.ptr(), KX_ID(_korvex_bridge));
    if (!reg && PyErr_Occurred())
        throw nb::python_error();
    return reg;
}

namespace {

// Closes what Expect spawned from the interpreter, as the end of a script
// does: each spawned process's pty is closed (the process sees end of file
// and a hangup) and the process is handed to Tcl to be reaped when it ends,
// so that none is left running or a zombie for the rest of the process. Only
// where Expect is loaded; a failure here does not stop the closing.
const char kCloseSpawned[] =
    "apply {{} {foreach id [::chan names exp*] {"
    "if {![catch {::exp_pid -i $id} p] && $p > 0 && $p != [::pid]} {"
    "catch {::exp_close -i $id}; catch {::exp_wait -nowait -i $id}}}} ::}";

void close_spawned(nb::handle self, PyObject *tcl_error, nb::object &error) {
    nb::object tk = attr(self, KX_ID(tk));
    tcl::Interp *interp = tcl::tkapp_interp(tk);
    tcl::CmdInfo info;
    if (!interp || !tcl::api().GetCommandInfo(interp, "::exp_pid", &info))
        return;
    try {
        tcl::check_thread(tk);
        call_method(tk, KX_ID(eval), {KX_STR(kCloseSpawned)});
    } catch (nb::python_error &e) {
        if (!e.matches(tcl_error) && !e.matches(PyExc_RuntimeError))
            error = nb::borrow(e.value());
    }
}

}  // namespace

void close(nb::handle self, PyObject *tcl_error) {
    nb::object dict;
    PyObject *reg = registry_of(self, dict);
    nb::object interrupt;  // a Ctrl-C that came while closing: raised once closed
    if (reg)
        close_spawned(self, tcl_error, interrupt);
    if (!reg || !bridge::close(reg, &interrupt))
        return;
    PyObject *callbacks = PyDict_GetItemWithError(dict.ptr(), KX_ID(__callbacks__));
    if (callbacks && PyDict_Check(callbacks))
        PyDict_Clear(callbacks);
    if (PyErr_Occurred())
        throw nb::python_error();
    // The application object may go with the dict's reference: its Tcl
    // interpreter is deleted then.
    PyObject *app = PyDict_GetItemWithError(dict.ptr(), KX_ID(tk));
    if (!app && PyErr_Occurred())
        throw nb::python_error();
    if (app)
        tclx::release_signals(tcl::tkapp_interp(app));  // Python's signal handlers back
    Py_XINCREF(app);
    int failed = PyDict_SetItem(dict.ptr(), KX_ID(tk), bridge::closed_tk().ptr());
    bridge::drop_app(app);
    if (failed)
        throw nb::python_error();
    if (interrupt.is_valid())
        ::kx::reraise(interrupt);
}

}  // namespace closing
}  // namespace kx
