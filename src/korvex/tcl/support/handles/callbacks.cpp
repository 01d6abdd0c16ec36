#include "support/handles/callbacks.hpp"
#include "support/handles/tclbind.hpp"
#include "support/tcl/tclnames.hpp"

namespace kx {
namespace callbacks {

namespace {

PyObject *g_interpreter;  // Interpreter
PyObject *g_command;      // TclCommand
PyObject *g_tcl_error;    // tkinter.TclError

// getattr(obj, name) into `out`; a missing attribute leaves `out` as it is.
void attr_if_any(nb::handle obj, PyObject *name, nb::object &out) {
    PyObject *value = PyObject_GetAttr(obj.ptr(), name);
    if (value) {
        out = nb::steal(value);
        return;
    }
    if (!PyErr_ExceptionMatches(PyExc_AttributeError))
        throw nb::python_error();
    PyErr_Clear();
}

// The commands view of the global namespace, and a command object of it.
nb::object global_cmds(nb::handle self) { return attr(attr(self, KX_ID(global_ns)), KX_ID(cmds)); }
nb::object global_cmd(nb::handle self, nb::handle name) {
    return check(PyObject_GetItem(global_cmds(self).ptr(), name.ptr()));
}

// Where a replaced command waits: "::auxKit::_cbBkup::" and its name
// without the leading colons.
nb::object backup_name(nb::handle full_name) {
    nb::object bare = check(PyObject_CallMethodObjArgs(full_name.ptr(), KX_ID(lstrip), KX_STR(":"), nullptr));
    return check(PyUnicode_Concat(KX_STR("::auxKit::_cbBkup::"), bare.ptr()));
}

[[noreturn]] void value_error(const char *format, nb::handle name) {
    nb::object msg = check(PyUnicode_Format(nb::str(format).ptr(), nb::make_tuple(name).ptr()));
    PyErr_SetObject(PyExc_ValueError, msg.ptr());
    throw nb::python_error();
}

}  // namespace

void init(PyObject *interpreter, PyObject *command, PyObject *tcl_error) {
    g_interpreter = interpreter;
    g_command = command;
    g_tcl_error = tcl_error;
}

nb::object callback_cmd_name(nb::handle callback, nb::handle mangle_cmd_name) {
    nb::object name = nb::str(""), func = nb::borrow(callback);
    attr_if_any(callback, KX_ID(__func__), func);  // a bound method: its function's name
    attr_if_any(func, KX_ID(__name__), name);
    if (!truth(name) || truth(mangle_cmd_name)) {
        nb::object id = check(PyLong_FromVoidPtr(callback.ptr()));
        nb::object prefix = check(PyUnicode_FromFormat("%S_", id.ptr()));
        name = check(PyNumber_Add(prefix.ptr(), name.ptr()));
    }
    return name;
}

nb::object create_callback(nb::handle self, nb::handle callback, nb::handle cmd_name, nb::handle force) {
    nb::object name = nb::borrow(cmd_name);
    if (!truth(name))
        name = call_method(g_interpreter, KX_ID(generate_callback_cmd_name), {callback.ptr()});
    nb::object tclcmd = global_cmd(self, check(PyObject_Str(name.ptr())));
    nb::object full = attr(tclcmd, KX_ID(cmd_name));  // fully qualified
    if (truth(call_method(tclcmd, KX_ID(exists)))) {
        if (!truth(force))
            value_error("Cannot create command '%s': command already exists", full);
        // Move the command out of the way, into a backup namespace made on demand.
        nb::object backup = backup_name(full);
        nb::object words = nb::make_tuple("::namespace", "eval", names::qualifiers(backup), "");
        bind::tk(attr(self, KX_ID(tk)), KX_ID(call), {words.ptr()});
        call_method(global_cmd(self, full), KX_ID(rename), {backup.ptr()});
    }
    call_method(tclcmd, KX_ID(createcommand), {callback.ptr()});
    if (PyObject_SetItem(attr(self, KX_ID(__callbacks__)).ptr(), full.ptr(), callback.ptr()) != 0)
        throw nb::python_error();
    return tclcmd;
}

void remove_callback(nb::handle self, nb::handle callback) {
    nb::object tclcmd;
    int is_command = PyObject_IsInstance(callback.ptr(), g_command);
    if (is_command < 0)
        throw nb::python_error();
    if (is_command)
        tclcmd = nb::borrow(callback);
    else if (PyCallable_Check(callback.ptr()))
        tclcmd = global_cmd(self, call_method(g_interpreter, KX_ID(generate_callback_cmd_name), {callback.ptr()}));
    else
        tclcmd = global_cmd(self, callback);
    nb::object full = attr(tclcmd, KX_ID(cmd_name));
    nb::object callbacks = attr(self, KX_ID(__callbacks__));
    int known = PySequence_Contains(callbacks.ptr(), full.ptr());
    if (known < 0)
        throw nb::python_error();
    if (!known)
        value_error("No callback in this interpreter named '%s'", full);
    try {
        call_method(tclcmd, KX_ID(delete));
    } catch (nb::python_error &e) {
        // Deleted behind our back (by Tcl code, say): there is nothing left
        // to delete, and the registry and the backup are still put right.
        if (!e.matches(g_tcl_error) || truth(call_method(tclcmd, KX_ID(exists))))
            throw;
    }
    if (PyObject_DelItem(callbacks.ptr(), full.ptr()) != 0)
        throw nb::python_error();
    nb::object tcl_kw = nb::make_tuple("tcl");
    nb::object backup_cmd = backup_name(full);
    PyObject *args[3] = {nullptr, backup_cmd.ptr(), self.ptr()};
    nb::object backup = check(PyObject_Vectorcall(g_command, args + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, tcl_kw.ptr()));
    if (truth(call_method(backup, KX_ID(exists))))
        call_method(backup, KX_ID(rename), {full.ptr()});
}

}  // namespace callbacks
}  // namespace kx
