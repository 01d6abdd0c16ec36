// korvex.tcl.interpreter: the Interpreter class, a tkinter.Tk without Tk that
// bridges Python test scripts to Tcl, and the shared interpreter.
#include "support/module.hpp"
#include "support/classdef.hpp"
#include "support/entrypoints.hpp"
#include "support/lazylog.hpp"

using namespace nb::literals;

namespace kx {
namespace {

// Module-lifetime references, taken once at import.
PyObject *g_module;       // this module (its globals are read at call time)
PyObject *g_tcl_error;    // tkinter.TclError
PyObject *g_history;      // History
PyObject *g_interpreter;  // Interpreter

// The module's logger (published as the module attribute `logger`).
LazyLogger g_logger("korvex.tcl.interpreter");

nb::object module_global(const char *name) {
    return check(PyObject_GetAttrString(g_module, name));
}

void init(nb::handle self) {
    nb::object super = check(PyObject_CallFunctionObjArgs((PyObject *)&PySuper_Type, g_interpreter,
                                                          self.ptr(), nullptr));
    nb::object base_init = check(PyObject_GetAttr(super.ptr(), KX_ID(__init__)));
    nb::object kwnames = nb::make_tuple("useTk");
    PyObject *args[2] = {nullptr, PyLong_FromLong(0)};
    nb::object zero = nb::steal(args[1]);
    check(PyObject_Vectorcall(base_init.ptr(), args + 1, PY_VECTORCALL_ARGUMENTS_OFFSET,
                              kwnames.ptr()));

    set_attr(self, KX_ID(history), call(g_history));
    set_attr(self, KX_ID(__callbacks__), nb::dict());

    nb::object tk = attr(self, KX_ID(tk));
    nb::object empty_list = nb::tuple();
    call_method(tk, KX_ID(setvar), {KX_STR("::argc"), zero.ptr()});
    call_method(tk, KX_ID(setvar), {KX_STR("::argv"), empty_list.ptr()});
    call_method(tk, KX_ID(setvar), {KX_STR("::argv0"), KX_STR("")});
    call_method(tk, KX_ID(setvar), {KX_STR("::tcl_interactive"), zero.ptr()});
    call_method(tk, KX_ID(eval), {KX_STR("package require Tclx")});
    call_method(self, KX_ID(_load_entrypoint));
}

void load_entrypoint(nb::handle self) {
    nb::object group = module_global("TCL_INIT_ENTRYPOINT");
    nb::object allowed = module_global("TCL_ALLOWED_ENTRYPOINT_KEYS");
    for (nb::handle ep : entry_points(group)) {
        nb::object name = check(PyObject_GetAttr(ep.ptr(), KX_ID(name)));
        nb::object module_name = check(PyObject_GetAttr(ep.ptr(), KX_ID(module)));
        int ok = PySequence_Contains(allowed.ptr(), name.ptr());
        if (ok < 0)
            throw nb::python_error();
        if (!ok) {
            nb::object msg = check(PyUnicode_Format(KX_STR("Unknown Tcl entrypoint: %s from %s"),
                                                    nb::make_tuple(name, module_name).ptr()));
            PyErr_SetObject(PyExc_ValueError, msg.ptr());
            throw nb::python_error();
        }
        nb::object msg = check(PyUnicode_Format(KX_STR("Loading Tcl-Init from %s"),
                                                nb::make_tuple(module_name).ptr()));
        if (g_logger.enabled_for(kDebug))
            g_logger.log(kDebug, msg);
        nb::object tcl_init = call_method(ep, KX_ID(load));
        if (!PyCallable_Check(tcl_init.ptr())) {
            nb::object text = check(PyObject_Repr(tcl_init.ptr()));
            nb::object err = check(PyUnicode_FromFormat("Tcl-Init must be callable, got: %U", text.ptr()));
            PyErr_SetObject(PyExc_TypeError, err.ptr());
            throw nb::python_error();
        }
        call(tcl_init, {self.ptr()});
    }
}

nb::object getattr_(nb::handle self, nb::handle name) {
    PyObject *tk = PyObject_GenericGetAttr(self.ptr(), KX_ID(tk));
    if (tk) {
        PyObject *found = PyObject_GetAttr(tk, name.ptr());
        Py_DECREF(tk);
        if (found)
            return nb::steal(found);
    }
    PyErr_Clear();
    nb::object msg = check(PyUnicode_Format(KX_STR("'Interpreter' object has no attribute '%s'"),
                                            nb::make_tuple(name).ptr()));
    PyErr_SetObject(PyExc_AttributeError, msg.ptr());
    throw nb::python_error();
}

// The global errorInfo: the message and the Tcl stack of the latest error.
nb::object error_info(nb::handle self) {
    return call_method(attr(self, KX_ID(tk)), KX_ID(getvar), {KX_STR("::errorInfo")});
}

const Params<3> kEvalParams("eval", {"code", "typecast", "record"}, 1);

nb::object eval(PyObject *self, PyObject *const *args, Py_ssize_t nargsf, PyObject *kwnames) {
    PyObject *a[3];
    kEvalParams.parse(args, nargsf, kwnames, a);
    PyObject *code = a[0], *typecast = a[1], *record = a[2];
    if (!record || truth(record)) {
        nb::object history = attr(self, KX_ID(history));
        PyObject *stack[2] = {history.ptr(), code};
        check(PyObject_VectorcallMethod(KX_ID(append), stack, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                        nullptr));
    }
    nb::object tk = attr(self, KX_ID(tk));
    PyObject *stack[2] = {tk.ptr(), code};
    PyObject *result = PyObject_VectorcallMethod(KX_ID(eval), stack,
                                                 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
    if (!result) {
        if (!PyErr_ExceptionMatches(g_tcl_error))
            throw nb::python_error();
        nb::object caught = fetch_exception();
        raise_from_none(g_tcl_error, error_info(self), caught.ptr());
    }
    nb::object value = nb::steal(result);
    if (typecast && truth(typecast))
        return call_method(self, KX_ID(cast_any), {value.ptr()});
    return value;
}

// Public names of the shared interpreter: the class members, then the
// instance attributes, each in definition order.
void publish_names(nb::handle interp) {
    nb::list names;
    auto add_public = [&](nb::handle mapping) {
        for (nb::handle key : mapping) {
            if (!PyUnicode_Check(key.ptr()) || PyUnicode_READ_CHAR(key.ptr(), 0) == '_')
                continue;
            names.append(key);
        }
    };
    add_public(attr(nb::handle(g_interpreter), KX_ID(__dict__)));
    set_attr(interp, KX_ID(__all__), names);
    nb::object all = attr(interp, KX_ID(__all__));
    nb::list more;
    for (nb::handle key : attr(interp, KX_ID(__dict__)))
        if (PyUnicode_Check(key.ptr()) && PyUnicode_GET_LENGTH(key.ptr()) &&
            PyUnicode_READ_CHAR(key.ptr(), 0) != '_')
            more.append(key);
    check(PyNumber_InPlaceAdd(all.ptr(), more.ptr()));
}

}  // namespace
}  // namespace kx

KX_MODULE(interpreter, m) {
    using namespace kx;
    g_module = m.ptr();  // the module outlives every call into it
    m.doc() = "The Interpreter class and the shared interpreter of the package.";

    m.attr("Tk") = import_attr("tkinter", "Tk");
    g_tcl_error = keep(import_attr("tkinter", "TclError"));
    m.attr("TclError") = nb::handle(g_tcl_error);
    m.attr("Tcl_Obj") = import_attr("_tkinter", "Tcl_Obj");
    std::string package = PyUnicode_AsUTF8(nb::str(m.attr("__name__")).ptr());
    package = package.substr(0, package.rfind('.'));
    m.attr("Array") = import_attr((package + ".array").c_str(), "Array");
    g_history = keep(import_attr((package + ".history").c_str(), "History"));
    m.attr("History") = nb::handle(g_history);

    m.attr("TCL_INIT_ENTRYPOINT") = "korvex.tcl";
    m.attr("TCL_ALLOWED_ENTRYPOINT_KEYS") = "tcl_init";
    m.def("__getattr__",
          [m](nb::handle name) { return lazy_logger_attr(g_logger, "logger", m, name); });

    ClassDef c(m, "Interpreter", {m.attr("Tk")},
               "A Tcl interpreter for test scripts: the standard Tk wrapper, without Tk,\n"
               "extended with Tcl bridging.\n\n"
               "On top of tkinter.Tk it offers:\n"
               "  - updating auto_path and loading the auxKit Tcl package (through the\n"
               "    start-up hooks of the 'korvex.tcl' entry point group),\n"
               "  - type casting of Tcl results into Python values,\n"
               "  - reading and setting Tcl variables from Python,\n"
               "  - a bounded history of the evaluated scripts.");
    c.set("__MAX_HISTORY__", nb::int_(9999))
        .def("__init__", &init)
        .def("_load_entrypoint", &load_entrypoint,
             "Run the start-up hooks of the 'korvex.tcl' entry point group.")
        .def("__getattr__", &getattr_, "attr"_a.none(),
             "Forward other attributes to the Tcl application object `tk`.")
        .def_fast(fast_method<eval>(
            "eval",
            "eval($self, /, code, typecast=False, record=True)\n--\n\n"
            "Evaluate Tcl `code`; return the result text, or its cast with `typecast`.\n\n"
            "The script is recorded in the history first unless `record` is false.\n"
            "A Tcl error raises TclError with the full errorInfo text."))
        .def("get_errorInfo", &error_info, "The global Tcl variable errorInfo.");
    g_interpreter = keep(c.finish());

    nb::object shared = call(g_interpreter);
    m.attr("_global_interpreter") = shared;
    publish_names(shared);
}
