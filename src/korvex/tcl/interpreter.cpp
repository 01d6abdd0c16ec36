// korvex.tcl.interpreter: the Interpreter class, a tkinter.Tk without Tk that
// bridges Python test scripts to Tcl, and the shared interpreter. Its casts,
// callbacks, close() and TimeLimit live in support/ (bridge/casts,
// handles/callbacks, bridge/closing, bridge/timelimit).
#include "support/python/module.hpp"
#include "support/python/attrcache.hpp"
#include "support/python/classdef.hpp"
#include "support/python/foreigncalls.hpp"
#include "support/python/forwarder.hpp"
#include "support/bridge/bridge.hpp"
#include "support/bridge/quickeval.hpp"
#include "support/bridge/casts.hpp"
#include "support/bridge/closing.hpp"
#include "support/bridge/errorframes.hpp"
#include "support/bridge/timelimit.hpp"
#include "support/bridge/watcher.hpp"
#include "support/handles/callbacks.hpp"
#include "support/bridge/stdio.hpp"
#include "support/python/entrypoints.hpp"
#include "support/bridge/historyapi.hpp"
#include "support/python/lazylog.hpp"
#include "support/tcl/tclconvert.hpp"
#include "support/handles/tclbind.hpp"
#include "support/tcl/tcllib.hpp"
#include "support/tcl/tcllist.hpp"
#include "support/tcl/tclx.hpp"
#include "support/tcl/tkvalue.hpp"

#include <string>

using namespace nb::literals;

namespace kx {
namespace {

using casts::holds_no_element;
using casts::is_keyed_list_obj;
using casts::may_be_number_or_boolean;
using casts::own_tk;
using casts::trial;
using casts::try_method;

// Module-lifetime references, taken once at import.
PyObject *g_module;       // this module (its globals are read at call time)
PyObject *g_tcl_error;    // tkinter.TclError
PyObject *g_history;      // History
PyObject *g_interpreter;  // Interpreter
PyObject *g_tcl_obj;      // _tkinter.Tcl_Obj
PyObject *g_array;        // Array
PyObject *g_mardeck;      // Mardeck
PyObject *g_zelph;        // zelph (the function)
PyObject *g_yarl;         // Yarl
PyObject *g_namespace;    // TclNamespace
PyObject *g_command;      // TclCommand
PyObject *g_timeout_error;  // TclTimeoutError
PyObject *g_misc;           // tkinter.Misc
PyObject *g_time_limit;     // TimeLimit
PyObject *g_tclx_error;     // TclxLoadError

// The module's logger (published as the module attribute `logger`).
LazyLogger g_logger("korvex.tcl.interpreter");

nb::object module_global(const char *name) {
    return check(PyObject_GetAttrString(g_module, name));
}

void init(nb::handle self, nb::handle tclx) {
    const bool load_tclx = tclx::wanted(tclx);  // a bad setting makes no interpreter
    // Tcl and TclX set up in one thread at a time (see TclxGuard); TclX's
    // start-up races with another interpreter's start-up or deletion.
    bridge::TclxGuard guard;
    nb::object super = check(PyObject_CallFunctionObjArgs((PyObject *)&PySuper_Type, g_interpreter,
                                                          self.ptr(), nullptr));
    nb::object base_init = check(PyObject_GetAttr(super.ptr(), KX_ID(__init__)));
    nb::object kwnames = nb::make_tuple("useTk");
    PyObject *args[2] = {nullptr, PyLong_FromLong(0)};
    nb::object zero = nb::steal(args[1]);
    check(PyObject_Vectorcall(base_init.ptr(), args + 1, PY_VECTORCALL_ARGUMENTS_OFFSET,
                              kwnames.ptr()));
    foreign::init();  // (before Tcl can reach the bridge's check from a ctypes call)
    set_attr(self, KX_ID(_korvex_bridge), bridge::attach(attr(self, KX_ID(tk)), g_timeout_error));
    stdio::attach();  // Tcl's and Python's output in the order written
    set_attr(self, KX_ID(_tclx), load_tclx ? Py_True : Py_False);

    set_attr(self, KX_ID(history), call(g_history));
    nb::object tcl_kw = nb::make_tuple("tcl");
    PyObject *yarl_args[2] = {nullptr, self.ptr()};
    nb::object yarl = check(PyObject_Vectorcall(g_yarl, yarl_args + 1, PY_VECTORCALL_ARGUMENTS_OFFSET,
                                                tcl_kw.ptr()));
    set_attr(self, KX_ID(Yarl), yarl);
    set_attr(self, KX_ID(yarl), yarl);
    set_attr(self, KX_ID(__callbacks__), nb::dict());

    auto make_ns = [&](PyObject *name) {
        PyObject *ns_args[3] = {nullptr, name, self.ptr()};
        return check(PyObject_Vectorcall(g_namespace, ns_args + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                         tcl_kw.ptr()));
    };
    nb::object global_ns = make_ns(KX_STR("::"));
    set_attr(self, KX_ID(global_ns), global_ns);
    nb::object local_ns = make_ns(Py_None);
    set_attr(self, KX_ID(local_ns), local_ns);
    set_attr(self, KX_ID(vars), attr(local_ns, KX_ID(vars)));
    set_attr(self, KX_ID(objs), attr(local_ns, KX_ID(objs)));

    nb::object globals = attr(global_ns, KX_ID(vars));
    nb::object empty_list = nb::tuple();
    auto set_global = [&](PyObject *name, PyObject *value) {
        if (PyObject_SetItem(globals.ptr(), name, value) != 0)
            throw nb::python_error();
    };
    nb::object tk = attr(self, KX_ID(tk));
    bridge::Entry entry(tk);  // a Ctrl-C while TclX loads is this call's
    try {
        set_global(KX_STR("argc"), zero.ptr());
        set_global(KX_STR("argv"), empty_list.ptr());
        set_global(KX_STR("argv0"), KX_STR(""));
        set_global(KX_STR("tcl_interactive"), zero.ptr());
        if (load_tclx)
            tclx::require(tk, g_tcl_error, g_tclx_error);
        call_method(self, KX_ID(_load_entrypoint));
    } catch (nb::python_error &e) {
        if (e.matches(g_tcl_error))
            bridge::check_deadline(tk);  // raises what stopped Tcl, if anything did
        throw;
    }
}

// tkinter's report of the exception a callback it registered raised (its
// `after`, say), which its wrapper caught: what stops Tcl work (Ctrl-C, a
// signal handler's exception, a timeout) goes on to the call that started
// the work, as it does from the package's own callbacks; the rest tkinter
// reports (report_callback_exception).
void report_exception(nb::handle self) {
    PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
    PyErr_GetExcInfo(&type, &value, &tb);
    nb::object t = nb::steal(type), v = nb::steal(value), b = nb::steal(tb);
    nb::object tk = nb::steal(PyObject_GenericGetAttr(self.ptr(), KX_ID(tk)));
    PyErr_Clear();
    if (tk.is_valid() && v.is_valid() && bridge::take_callback_exception(tk, v))
        return;
    PyErr_Clear();
    nb::object method = check(PyObject_GetAttr(g_misc, KX_ID(_report_exception)));
    call(method, {self.ptr()});
}

// A method tkinter defines in Python that runs Tcl through the application
// object (after, update, setvar...): tkinter.Misc's own, called as a package
// call, so that a Ctrl-C, a signal handler's exception or a timeout that
// stops its Tcl work is what it raises.
nb::object inherited(nb::handle self, PyObject *name, nb::args args, nb::kwargs kwargs) {
    nb::object tk = own_tk(self);
    nb::object method = check(PyObject_GetAttr(g_misc, name));
    nb::object all = check(PySequence_Concat(nb::make_tuple(self).ptr(), args.ptr()));
    bridge::Entry entry(tk);
    PyObject *r = PyObject_Call(method.ptr(), all.ptr(), kwargs.ptr());
    if (!r) {
        if (PyErr_ExceptionMatches(g_tcl_error)) {
            nb::object exc = fetch_exception();
            bridge::check_deadline(tk);
            ::kx::reraise(exc);
        }
        throw nb::python_error();
    }
    nb::object result = nb::steal(r);
    bridge::check_deadline(tk);
    return result;
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

// interp.createcommand(name, func): what the application object's method does,
// through the bridge, so that an exception in `func` comes back as a TclError
// with its cause instead of being parked inside _tkinter.
void bridged_createcommand(nb::handle interp, nb::handle name, nb::handle func) {
    bridge::create_command(attr(interp, KX_ID(tk)), name, func);
}

nb::object getattr_(nb::handle self, nb::handle name) {
    if (PyUnicode_Check(name.ptr()) && PyUnicode_Compare(name.ptr(), KX_ID(createcommand)) == 0)
        return check(PyMethod_New(module_global("_createcommand").ptr(), self.ptr()));
    nb::object tk = nb::steal(PyObject_GenericGetAttr(self.ptr(), KX_ID(tk)));
    if (tk.is_valid()) {
        if (PyObject *found = PyObject_GetAttr(tk.ptr(), name.ptr()))
            return nb::steal(found);
    }
    PyErr_Clear();
    // As Python words it for the class of `self`.
    PyErr_Format(PyExc_AttributeError, "'%.100s' object has no attribute '%S'", Py_TYPE(self.ptr())->tp_name,
                 name.ptr());
    throw nb::python_error();
}

// A name of the application object, read from an Interpreter (what
// __getattr__ does for it).
PyObject *tk_attribute(PyObject *self, PyObject *name) {
    return c_entry([&] { return getattr_(self, name); });
}

// The global errorInfo: the message and the Tcl stack of the latest error.
nb::object error_info(nb::handle self) {
    nb::object globals = attr(attr(self, KX_ID(global_ns)), KX_ID(vars));
    return check(PyObject_GetItem(globals.ptr(), KX_STR("errorInfo")));
}

const Params<3> kEvalParams("eval", {"code", "typecast", "record"}, 1);

// history and tk of the interpreter that evaluated last.
AttrCache<3> g_eval_attrs;

// self.history (i = 0), self.tk (i = 1) or the bridge registry (i = 2; an
// invalid object when there is none).
nb::object eval_attr(PyObject *self, size_t i) {
    static const AttrCache<3>::Names names = {KX_ID(history), KX_ID(tk), KX_ID(_korvex_bridge)};
    PyObject *found[3];
    if (g_eval_attrs.get(self, names, found))
        return nb::borrow(found[i]);
    if (i < 2)
        return attr(self, names[i]);
    PyObject *reg = generic_getattribute(self, names[i], true);
    if (!reg && PyErr_Occurred())
        throw nb::python_error();
    return nb::steal(reg);
}

// tk.eval(code): _tkinter's own C function, called directly while the
// application object's class is the one seen first and nobody changed it.
PyObject *tk_eval(nb::handle tk, PyObject *code) {
    static PyTypeObject *type = nullptr;
    static unsigned int tag = 0;
    static PyCFunction direct = nullptr;
    PyTypeObject *t = Py_TYPE(tk.ptr());
    if (t == type && unchanged(t, tag))
        return direct(tk.ptr(), code);
    if (!type) {
        PyObject *descr = type_lookup(t, KX_ID(eval));
        if (descr && Py_IS_TYPE(descr, &PyMethodDescr_Type)) {
            PyMethodDef *def = ((PyMethodDescrObject *)descr)->d_method;
            const int kinds = METH_VARARGS | METH_FASTCALL | METH_NOARGS | METH_O | METH_KEYWORDS;
            if ((def->ml_flags & kinds) == METH_O && (tag = version_tag(nb::handle((PyObject *)t)))) {
                direct = def->ml_meth;
                type = t;
            }
        }
    }
    PyObject *stack[2] = {tk.ptr(), code};
    return PyObject_VectorcallMethod(KX_ID(eval), stack, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
}

nb::object eval_in(PyObject *self, nb::object tk, nb::object registry, PyObject *code, PyObject *typecast);

nb::object eval(PyObject *self, PyObject *const *args, Py_ssize_t nargsf, PyObject *kwnames) {
    PyObject *a[3] = {nullptr, nullptr, nullptr};
    if (PyVectorcall_NARGS(nargsf) == 1 && !kwnames)
        a[0] = args[0];
    else
        kEvalParams.parse(args, nargsf, kwnames, a);
    PyObject *code = a[0], *typecast = a[1], *record = a[2];
    if (!record || truth(record))
        kx::record(eval_attr(self, 0), code);
    // (Looked up after recording, which may run a logging handler.)
    static const AttrCache<3>::Names names = {KX_ID(history), KX_ID(tk), KX_ID(_korvex_bridge)};
    PyObject *found[3];
    if (g_eval_attrs.get(self, names, found))
        return eval_in(self, nb::borrow(found[1]), nb::borrow(found[2]), code, typecast);
    return eval_in(self, eval_attr(self, 1), eval_attr(self, 2), code, typecast);
}

nb::object eval_in(PyObject *self, nb::object tk, nb::object registry, PyObject *code, PyObject *typecast) {
    bridge::Entry entry(tk, registry);
    entry.check();
    PyObject *result = nullptr;
    if (!bridge::quick_eval(entry, tk, code, &result))
        result = tk_eval(tk, code);
    if (!result) {
        // (The details were taken when Tcl failed: reading them cannot fail.)
        nb::object caught = bridge::caught(tk);
        bridge::raise_replacing(g_tcl_error, check(PyObject_GetAttr(caught.ptr(), KX_ID(errorinfo))), caught);
    }
    nb::object value = nb::steal(result);
    entry.check();
    entry.done();
    if (typecast && truth(typecast))
        return call_method(self, KX_ID(cast_any), {value.ptr()});
    return value;
}

// self.call(*words): tk.call with the history, a byte array result as text
// and a failure's details. One tuple as the only argument is the word list,
// as for tk.call.
nb::object call_words(PyObject *self, PyObject *const *args, Py_ssize_t nargsf, PyObject *kwnames) {
    if (kwnames && PyTuple_GET_SIZE(kwnames) > 0) {
        PyErr_SetString(PyExc_TypeError, "call() takes no keyword arguments");
        throw nb::python_error();
    }
    Py_ssize_t n = PyVectorcall_NARGS(nargsf);
    nb::object given;  // the lone tuple, held while its items are read
    if (n == 1 && PyTuple_Check(args[0])) {
        given = nb::borrow(args[0]);
        n = PyTuple_GET_SIZE(given.ptr());
        args = &PyTuple_GET_ITEM(given.ptr(), 0);
    }
    nb::object words = check(PyTuple_New(n)), texts = check(tuple_new_uncounted(n));  // (the history keeps texts)
    for (Py_ssize_t i = 0; i < n; ++i) {
        nb::object word = tcl_safe(args[i]);
        PyTuple_SET_ITEM(texts.ptr(), i, tk_text(word).release().ptr());
        PyTuple_SET_ITEM(words.ptr(), i, word.release().ptr());
    }
    track_unless_text(texts.ptr());
    record_words(eval_attr(self, 0), texts);
    return bind::call_words(eval_attr(self, 1), words);
}

// Whether the casts cast_any tries are this module's own, so that trials that
// cannot succeed may be skipped and the number trials may call the Tcl
// application directly.
constexpr size_t kCastNames = 5;
PyObject *cast_name(size_t i) {
    static PyObject *const names[kCastNames] = {KX_ID(cast_int), KX_ID(cast_double),
                                                KX_ID(cast_boolean), KX_ID(getint), KX_ID(getdouble)};
    return names[i];
}
PyObject *g_own_casts[kCastNames];  // Interpreter's own, taken when the class is made
PyObject *g_own_keyed_cast;         // Interpreter.__dict__['cast_keyed_list']
PyObject *g_own_from_tcl;           // Mardeck.__dict__['from_tcl']

bool own_casts(nb::handle self) {
    // The class last found to have them, while it is unchanged.
    static PyTypeObject *seen = nullptr;
    static unsigned int seen_tag = 0;
    PyTypeObject *type = Py_TYPE(self.ptr());
    if (type == seen && unchanged(type, seen_tag))
        return true;
    for (size_t i = 0; i < kCastNames; ++i)
        if (type_lookup(type, cast_name(i)) != g_own_casts[i])
            return false;
    seen_tag = version_tag(nb::handle((PyObject *)type));
    seen = type;
    return true;
}

// Whether cast_keyed_list, Mardeck.from_tcl and the package's cast_list are
// all this package's own: then a text is a keyed list exactly when its
// elements are pairs.
bool own_keyed_list_cast() {
    if (type_lookup((PyTypeObject *)g_interpreter, KX_ID(cast_keyed_list)) != g_own_keyed_cast ||
        type_lookup((PyTypeObject *)g_mardeck, KX_ID(from_tcl)) != g_own_from_tcl)
        return false;
    PyObject *pkg = PyImport_GetModule(KX_STR("korvex.tcl"));
    if (!pkg) {
        PyErr_Clear();
        return false;
    }
    nb::object package = nb::steal(pkg);
    PyObject *cast_list = PyObject_GetAttr(pkg, KX_ID(cast_list));
    if (!cast_list) {
        PyErr_Clear();
        return false;
    }
    nb::object fn = nb::steal(cast_list);
    nb::object own = check(PyObject_GetAttr(g_interpreter, KX_ID(cast_list)));
    return fn.is(own);
}

// tk.<getter>(text) for a number trial: the result, or NULL (error cleared)
// when Tcl does not read the text as that kind of number.
PyObject *tk_number(nb::handle tk, PyObject *getter, nb::handle text) {
    PyObject *r = try_method(tk, getter, text);
    if (!r && PyErr_ExceptionMatches(g_tcl_error) && !bridge::pending_must_propagate())
        PyErr_Clear();
    else if (!r)
        throw nb::python_error();
    return r;
}

// The int of a short plain decimal text ("0", "-12", "+7"): Tcl reads these
// as the same decimal integers. NULL for anything else (leading zeros, white
// space, other bases and long numbers are left to Tcl).
PyObject *plain_decimal(nb::handle text) {
    Py_ssize_t n = PyUnicode_GET_LENGTH(text.ptr());
    if (n == 0 || n > 18 || !PyUnicode_IS_ASCII(text.ptr()))
        return nullptr;
    const char *s = (const char *)PyUnicode_DATA(text.ptr());
    Py_ssize_t i = (s[0] == '+' || s[0] == '-') ? 1 : 0;
    if (i == n || (s[i] == '0' && n - i > 1))
        return nullptr;
    long long value = 0;
    for (Py_ssize_t j = i; j < n; ++j) {
        if (s[j] < '0' || s[j] > '9')
            return nullptr;
        value = value * 10 + (s[j] - '0');
    }
    return PyLong_FromLongLong(s[0] == '-' ? -value : value);
}

const Params<1> kCastAnyParams("cast_any", {"value"}, 1);

nb::object cast_any(PyObject *self, PyObject *const *args, Py_ssize_t nargsf, PyObject *kwnames) {
    nb::handle value;
    if (PyVectorcall_NARGS(nargsf) == 1 && !kwnames) {
        value = args[0];
    } else {
        PyObject *a[1];
        kCastAnyParams.parse(args, nargsf, kwnames, a);
        value = a[0];
    }
    nb::object converted = from_tk(value);  // a byte array as its text
    value = converted;
    PyTypeObject *type = Py_TYPE(value.ptr());
    if (type == &PyTuple_Type) {
        nb::object kwnames = nb::make_tuple("item_cast");
        PyObject *stack[3] = {self, value.ptr(), g_zelph};
        return check(PyObject_VectorcallMethod(KX_ID(cast_list), stack,
                                               2 | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames.ptr()));
    }
    if (type == &PyLong_Type || type == &PyFloat_Type || type == &PyBool_Type)
        return nb::borrow(value);
    nb::object cls = nb::borrow(g_interpreter);
    if (is_keyed_list_obj(value))
        return call_method(cls, KX_ID(cast_keyed_list), {value.ptr()});
    nb::object text = check(PyObject_Str(value.ptr()));
    nb::object out;
    bool own = own_casts(self);
    if (own && may_be_number_or_boolean(text)) {
        if (PyObject *r = plain_decimal(text))
            return nb::steal(r);
        // The base class's getint/getdouble are tk.getint/tk.getdouble with
        // TclError turned into ValueError: a failed trial needs neither.
        nb::object tk = own_tk(self);
        if (PyObject *r = tk_number(tk, KX_ID(getint), text))
            return nb::steal(r);
        if (PyObject *r = tk_number(tk, KX_ID(getdouble), text))
            return nb::steal(r);
        if (trial(try_method(self, KX_ID(cast_boolean), text), out))
            return out;
    } else if (!own) {
        if (trial(try_method(self, KX_ID(cast_int), text), out) ||
            trial(try_method(self, KX_ID(cast_double), text), out) ||
            trial(try_method(self, KX_ID(cast_boolean), text), out))
            return out;
    }
    if (!holds_no_element(text) && (!own_keyed_list_cast() || tcl::is_pair_list(text))) {
        PyObject *stack[2] = {cls.ptr(), text.ptr()};
        if (trial(PyObject_VectorcallMethod(KX_ID(cast_keyed_list), stack,
                                            2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr),
                  out))
            return out;
    }
    return text;
}

// --- typed variable access -------------------------------------------------
//
// All through the variables view `vars` of the current namespace.

// self.vars, from the instance dict while it is unchanged.
AttrCache<1> g_vars_attr;
nb::object vars_of(nb::handle self) {
    static const AttrCache<1>::Names names = {KX_ID(vars)};
    PyObject *found[1];
    if (g_vars_attr.get(self.ptr(), names, found))
        return nb::borrow(found[0]);
    return attr(self, KX_ID(vars));
}

// self.vars[name]: the view's own mapping slot does the work without a
// method lookup.
nb::object var_text(nb::handle self, PyObject *name) {
    return check(PyObject_GetItem(vars_of(self).ptr(), name));
}

void store(nb::handle self, PyObject *name, nb::handle value) {
    if (PyObject_SetItem(vars_of(self).ptr(), name, value.ptr()) != 0)
        throw nb::python_error();
}

// Method names for the argument errors, and the second parameter's name.
#define KX_NAME(id) constexpr char k_##id[] = #id;
KX_NAME(get_array) KX_NAME(get_list) KX_NAME(get_keyed_list) KX_NAME(get_int) KX_NAME(get_boolean)
KX_NAME(get_double) KX_NAME(get_var) KX_NAME(set_array) KX_NAME(set_keyed_list) KX_NAME(set_var)
KX_NAME(set_boolean) KX_NAME(set_list) KX_NAME(obj) KX_NAME(value)
#undef KX_NAME

// A method of one required parameter `name`.
template <nb::object (*F)(nb::handle self, PyObject *name), const char *Name>
nb::object named(PyObject *self, PyObject *const *args, Py_ssize_t nargsf, PyObject *kwnames) {
    static const Params<1> params(Name, {"name"}, 1);
    if (!kwnames && PyVectorcall_NARGS(nargsf) == 1)
        return F(self, args[0]);
    PyObject *a[1];
    params.parse(args, nargsf, kwnames, a);
    return F(self, a[0]);
}

// A method of the parameters `name` and `value` (or `obj`).
template <void (*F)(nb::handle self, PyObject *name, PyObject *value), const char *Name,
          const char *Second = k_value>
nb::object named_value(PyObject *self, PyObject *const *args, Py_ssize_t nargsf, PyObject *kwnames) {
    if (!kwnames && PyVectorcall_NARGS(nargsf) == 2) {
        F(self, args[0], args[1]);
        return nb::none();
    }
    static const Params<2> params(Name, {"name", Second}, 2);
    PyObject *a[2];
    params.parse(args, nargsf, kwnames, a);
    F(self, a[0], a[1]);
    return nb::none();
}

nb::object get_array(nb::handle self, PyObject *name) {
    return call_method(vars_of(self), KX_ID(array_get), {name});
}

nb::object get_list(nb::handle self, PyObject *name) {
    return call_method(g_interpreter, KX_ID(cast_list), {var_text(self, name).ptr()});
}

nb::object get_keyed_list(nb::handle self, PyObject *name) {
    return call_method(g_interpreter, KX_ID(cast_keyed_list), {var_text(self, name).ptr()});
}

// self.cast_int(text) or self.cast_double(text). With this class's own casts
// the number is read by tk straight away; a failure takes the full path, so
// the error is the cast's own.
nb::object cast_text(nb::handle self, PyObject *cast, PyObject *getter, nb::handle text) {
    if (PyUnicode_CheckExact(text.ptr()) && own_casts(self)) {
        if (getter == KX_ID(getint))
            if (PyObject *r = plain_decimal(text))
                return nb::steal(r);
        PyObject *r = try_method(own_tk(self), getter, text);
        if (r)
            return nb::steal(r);
        PyErr_Clear();
    }
    return call_method(self, cast, {text.ptr()});
}

nb::object get_int(nb::handle self, PyObject *name) {
    return cast_text(self, KX_ID(cast_int), KX_ID(getint), var_text(self, name));
}

nb::object get_boolean(nb::handle self, PyObject *name) {
    return call_method(self, KX_ID(cast_boolean), {var_text(self, name).ptr()});
}

nb::object get_double(nb::handle self, PyObject *name) {
    return cast_text(self, KX_ID(cast_double), KX_ID(getdouble), var_text(self, name));
}

nb::object get_var(nb::handle self, PyObject *name) { return var_text(self, name); }

void set_array(nb::handle self, PyObject *name, PyObject *obj) {
    call_method(vars_of(self), KX_ID(array_set), {name, obj});
}

void set_keyed_list(nb::handle self, PyObject *name, PyObject *obj) {
    nb::object value = nb::borrow(obj);
    int is = PyObject_IsInstance(obj, g_mardeck);
    if (is < 0)
        throw nb::python_error();
    if (!is)
        value = call(g_mardeck, {obj});
    store(self, name, value);
}

void set_var(nb::handle self, PyObject *name, PyObject *value) { store(self, name, value); }

void set_boolean(nb::handle self, PyObject *name, PyObject *value) {
    nb::object flag = nb::int_(truth(value) ? 1 : 0);
    store(self, name, flag);
}

void set_list(nb::handle self, PyObject *name, PyObject *value) {
    store(self, name, tclobj_from_sequence(value));
}

template <FastBody F>
PyMethodDef *accessor(const char *name, const char *doc) {
    static PyMethodDef def = {name, (PyCFunction)(void (*)(void))fast_entry<F>,
                              METH_FASTCALL | METH_KEYWORDS, doc};
    return &def;
}

void def_accessors(ClassDef &c) {
    c.def_fast(accessor<named<get_array, k_get_array>>("get_array", "get_array($self, /, name)\n--\n\n"
                                          "The array `name` as an Array of Tcl texts."))
        .def_fast(accessor<named<get_list, k_get_list>>("get_list", "get_list($self, /, name)\n--\n\n"
                                            "The variable as a tuple of str (a Tcl list)."))
        .def_fast(accessor<named<get_keyed_list, k_get_keyed_list>>("get_keyed_list", "get_keyed_list($self, /, name)\n--\n\n"
                                                  "The variable as a Mardeck (a TclX keyed list)."))
        .def_fast(accessor<named<get_int, k_get_int>>("get_int", "get_int($self, /, name)\n--\n\n"
                                           "The variable as an int."))
        .def_fast(accessor<named<get_boolean, k_get_boolean>>("get_boolean", "get_boolean($self, /, name)\n--\n\n"
                                               "The variable as a bool (a Tcl boolean or number)."))
        .def_fast(accessor<named<get_double, k_get_double>>("get_double", "get_double($self, /, name)\n--\n\n"
                                              "The variable as a float."))
        .def_fast(accessor<named<get_var, k_get_var>>("get_var", "get_var($self, /, name)\n--\n\n"
                                           "The variable's Tcl text."))
        .def_fast(accessor<named_value<set_array, k_set_array, k_obj>>("set_array", "set_array($self, /, name, obj)\n--\n\n"
                                                   "Set array elements from an Array or any mapping."))
        .def_fast(accessor<named_value<set_keyed_list, k_set_keyed_list, k_obj>>(
            "set_keyed_list", "set_keyed_list($self, /, name, obj)\n--\n\n"
                              "Store a keyed list (a Mardeck, or what Mardeck() accepts)."))
        .def_fast(accessor<named_value<set_var, k_set_var>>("set_var", "set_var($self, /, name, value)\n--\n\n"
                                                 "Set the variable to the Tcl form of `value`."))
        .set("set_int", nb::none())  // the same function as set_var, set when the class exists
        .set("set_double", nb::none())
        .def_fast(accessor<named_value<set_boolean, k_set_boolean>>("set_boolean", "set_boolean($self, /, name, value)\n--\n\n"
                                                     "Store 1 when `value` is true (Python truth), else 0."))
        .def_fast(accessor<named_value<set_list, k_set_list>>("set_list", "set_list($self, /, name, value)\n--\n\n"
                                                  "Store the items of any iterable as a Tcl list."));
}

nb::object enter(nb::handle self) { return nb::borrow(self); }

bool exit_(nb::handle self, nb::args) {
    call_method(self, KX_ID(close));
    return false;
}

nb::object time_limit(nb::handle self, nb::handle seconds) {
    return check(PyObject_CallFunctionObjArgs(g_time_limit, self.ptr(), seconds.ptr(), nullptr));
}

// Public names of the shared interpreter: the class members, then the
// instance attributes, each in definition order.
void publish_names(nb::handle interp) {
    nb::list names;
    auto add_public = [&](nb::handle mapping) {
        for (nb::handle key : mapping) {
            if (!PyUnicode_Check(key.ptr()) || PyUnicode_READ_CHAR(key.ptr(), 0) == '_')
                continue;
            // tkinter's own methods, made to raise what stops their Tcl work,
            // stay tkinter's: not names of the package.
            if (PyObject_HasAttr(g_misc, key.ptr()))
                continue;
            // The application object's names stay its own too.
            if (forwards((PyTypeObject *)g_interpreter, key.ptr()))
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
    g_misc = keep(import_attr("tkinter", "Misc"));
    watcher::watch_signals();
    g_tcl_error = keep(import_attr("tkinter", "TclError"));
    m.attr("TclError") = nb::handle(g_tcl_error);
    g_tcl_obj = keep(import_attr("_tkinter", "Tcl_Obj"));
    m.attr("Tcl_Obj") = nb::handle(g_tcl_obj);
    std::string package = PyUnicode_AsUTF8(nb::str(m.attr("__name__")).ptr());
    package = package.substr(0, package.rfind('.'));
    g_mardeck = keep(import_attr((package + ".mardeck").c_str(), "Mardeck"));
    m.attr("Mardeck") = nb::handle(g_mardeck);
    g_array = keep(import_attr((package + ".array").c_str(), "Array"));
    m.attr("Array") = nb::handle(g_array);
    g_history = keep(import_attr((package + ".history").c_str(), "History"));
    m.attr("History") = nb::handle(g_history);
    nb::object zelph_module = check(PyImport_ImportModule((package + ".zelph").c_str()));
    m.attr("tclobj") = zelph_module.attr("tclobj");
    g_namespace = keep(import_attr((package + ".namespace").c_str(), "TclNamespace"));
    m.attr("TclNamespace") = nb::handle(g_namespace);
    g_command = keep(import_attr((package + ".namespace").c_str(), "TclCommand"));
    m.attr("TclCommand") = nb::handle(g_command);
    g_zelph = keep(zelph_module.attr("zelph"));
    m.attr("zelph") = nb::handle(g_zelph);
    g_yarl = keep(import_attr((package + ".yarl").c_str(), "Yarl"));
    m.attr("Yarl") = nb::handle(g_yarl);
    casts::init(g_tcl_error, g_array, g_mardeck, g_tcl_obj);

    ClassDef te(m, "TclTimeoutError", {nb::handle(g_tcl_error), nb::handle(PyExc_TimeoutError)},
                "Tcl work took longer than the time limit set with Interpreter.time_limit().");
    te.def("__init__", [](nb::handle self, nb::args args) {
        // What super().__init__(*args) does: OSError takes the arguments.
        if (((PyTypeObject *)PyExc_OSError)->tp_init(self.ptr(), args.ptr(), nullptr) < 0)
            throw nb::python_error();
    }, "args"_a);
    g_timeout_error = keep(te.finish());
    set_attr(nb::handle(g_timeout_error), KX_ID(__module__), KX_STR("korvex.tcl"));
    // Both an ImportError (what a missing extension is to Python) and a TclError
    // (what Tcl's failure to load it was).
    ClassDef xe(m, "TclxLoadError", {nb::handle(PyExc_ImportError), nb::handle(g_tcl_error)},
                "TclX, which an Interpreter loads unless made with tclx=False, cannot be\n"
                "loaded: it is not installed where Tcl looks for packages, or it fails to\n"
                "load. Raised by Interpreter()\n"
                "and so by importing the package; the TclError behind it is its cause.");
    xe.def("__init__", [](nb::handle self, nb::args args, nb::kwargs kwargs) {
        // What super().__init__(*args, **kwargs) does: ImportError takes name= and path=.
        if (((PyTypeObject *)PyExc_ImportError)->tp_init(self.ptr(), args.ptr(), kwargs.ptr()) < 0)
            throw nb::python_error();
    }, "args"_a, "kwargs"_a);
    g_tclx_error = keep(xe.finish());
    m.attr("TclxLoadError") = nb::handle(g_tclx_error);
    g_time_limit = keep(timelimit::define(m, g_tcl_error));

    m.def("_tclx_wanted", [](nb::handle tclx) { return tclx::wanted(tclx); }, "tclx"_a.none() = nb::none(),
          "Whether Interpreter(tclx=tclx) loads TclX (None: as KORVEX_TCL_TCLX says).");
    m.def("_createcommand", &bridged_createcommand, "interp"_a.none(), "name"_a.none(), "func"_a.none(),
          "Register `func` as the Tcl command `name` of `interp` (Interpreter.createcommand).");
    m.def("_keep_error_frames", &errorframes::install_for, "interp"_a.none(), "name"_a.none(),
          "Create the Tcl command `name` of `interp`: `name INFO FRAMES` keeps both texts (C only).");
    m.def("_kept_error_frames", &errorframes::last_for, "interp"_a.none(),
          "(info, frames) as the command of _keep_error_frames last kept them, or None.");
    for (const char *name : {"_keep_error_frames", "_kept_error_frames"})
        m.attr(name) = make_routine(m.attr(name), m);
    m.def("_tk_command_data", &bridge::tk_data_ownership,
          "For tests: how command data holds the application (the running _tkinter's way, the one acted on).");
    m.attr("TCL_INIT_ENTRYPOINT") = "korvex.tcl";
    m.attr("TCL_ALLOWED_ENTRYPOINT_KEYS") = "tcl_init";
    // GetListFromAny and TclDLL come from the ctypes module, imported on
    // first use: ctypes and the structures built on it cost a few
    // milliseconds of every import of the package that never needs them.
    m.def("__getattr__", [m](nb::handle name) -> nb::object {
        for (const char *lazy : {"GetListFromAny", "TclDLL"}) {
            if (PyUnicode_Check(name.ptr()) && PyUnicode_CompareWithASCIIString(name.ptr(), lazy) == 0) {
                std::string internal = PyUnicode_AsUTF8(nb::str(m.attr("__name__")).ptr());
                internal = internal.substr(0, internal.rfind('.')) + ".internal";
                nb::object value = import_attr(internal.c_str(), lazy);
                m.attr(lazy) = value;
                return value;
            }
        }
        return lazy_logger_attr(g_logger, "logger", m, name);
    });

    // Based on tkinter.Tk through WithoutTk, whose methods that need Tk say
    // that it is not loaded (instead of "invalid command name").
    ClassDef c(m, "Interpreter", {import_attr("korvex.tcl._without_tk", "WithoutTk")},
               "A Tcl interpreter for test scripts: the standard Tk wrapper, without Tk,\n"
               "extended with Tcl bridging.\n\n"
               "On top of tkinter.Tk it offers:\n"
               "  - updating auto_path and loading the auxKit Tcl package (through the\n"
               "    start-up hooks of the 'korvex.tcl' entry point group),\n"
               "  - type casting of Tcl results into Python values,\n"
               "  - reading and setting Tcl variables from Python,\n"
               "  - a bounded history of the evaluated scripts.");
    c.set("__MAX_HISTORY__", nb::int_(9999))
        .def("__init__", &init, nb::kw_only(), "tclx"_a.none() = nb::none(),
             "A new Tcl interpreter, with TclX loaded unless `tclx` is false. Without\n"
             "`tclx` the environment variable KORVEX_TCL_TCLX decides: 0 (or no,\n"
             "false, off) gives plain Tcl, as tclsh has it.")
        .def("_load_entrypoint", &load_entrypoint,
             "Run the start-up hooks of the 'korvex.tcl' entry point group.")
        .def("__getattr__", &getattr_, "attr"_a.none(),
             "Forward other attributes to the Tcl application object `tk`.")
        .def_static("generate_callback_cmd_name", &callbacks::callback_cmd_name, "callback"_a.none(),
                    "mangle_cmd_name"_a.none() = false,
                    "The Tcl command name for a callable: its (function's) __name__; with\n"
                    "`mangle_cmd_name`, or for a callable without a name, prefixed with\n"
                    "its id and an underscore.")
        .def("create_callback", &callbacks::create_callback, "callback"_a.none(), "cmd_name"_a.none() = nb::none(),
             "force"_a.none() = false,
             "Register a Python callable as a Tcl command (named after it unless\n"
             "`cmd_name` is given) and return its TclCommand. An existing command of\n"
             "that name is an error, or with `force` is kept as a backup under\n"
             "::auxKit::_cbBkup until the callback is removed.")
        .def("remove_callback", &callbacks::remove_callback, "callback"_a.none(),
             "Remove a callback (given as its TclCommand, the callable or the command\n"
             "name) and put back the command it replaced, if any.")
        .def_fast(fast_method<eval>(
            "eval",
            "eval($self, /, code, typecast=False, record=True)\n--\n\n"
            "Evaluate Tcl `code`; return the result text, or its cast with `typecast`.\n\n"
            "The script is recorded in the history first unless `record` is false.\n"
            "A Tcl error raises TclError with the full errorInfo text."))
        .def("get_errorInfo", &error_info, "The global Tcl variable errorInfo.");
    def_accessors(c);
    c.def_static("cast_list", &casts::cast_list, "value"_a.none(), "item_cast"_a.none() = nb::none(),
                    "Split a Tcl list into a tuple of str; `item_cast` converts each element.\n\n"
                    "    cast_list('1 2 3')                 -> ('1', '2', '3')\n"
                    "    cast_list('1 2 3', item_cast=int)  -> (1, 2, 3)\n"
                    "    functools.partial(cast_list, item_cast=int) is a list-of-int cast.\n\n"
                    "A malformed list raises ValueError (caused by the TclError).")
        .def("cast_int", &casts::cast_int, "value"_a.none(),
             "The int of a Tcl integer text (any other value through its Tcl form).")
        .def("cast_double", &casts::cast_double, "value"_a.none(),
             "The float of a Tcl number text (any other value through its Tcl form).")
        .def("cast_boolean", &casts::cast_boolean, "value"_a.none(),
             "The bool of a Tcl boolean word, or of a number (true when not zero).")
        .def_static("cast_array", &casts::cast_array, "value"_a.none(), "item_cast"_a.none() = nb::none(),
                    "An Array of the name/value list of 'array get'; `item_cast` converts values.\n\n"
                    "    cast_array('a 1 b 2') -> Array({'a': '1', 'b': '2'})")
        .def_static("cast_keyed_list", &casts::cast_keyed_list, "value"_a.none(),
                    "item_cast"_a.none() = nb::none(),
                    "A Mardeck of keyed-list text; `item_cast` converts the leaf values.\n\n"
                    "    cast_keyed_list('{a 1} {b 2}') -> Mardeck({'a': '1', 'b': '2'})")
        .def_fast(fast_method<cast_any>(
            "cast_any",
            "cast_any($self, /, value)\n--\n\n"
            "The Python value of a Tcl result, by trial, first match wins:\n"
            "  a list arriving as a tuple -> tuple of str (text is never split),\n"
            "  an integer -> int, a double -> float, a boolean -> bool,\n"
            "  a keyed list -> Mardeck, anything else -> str."))
        .def("close", [](nb::handle self) { closing::close(self, g_tcl_error); },
             "Remove every Tcl command registered through this interpreter and let go\n"
             "of the Tcl interpreter. Any later use raises TclError. Closing again does\n"
             "nothing; `with Interpreter() as interp:` closes at the end of the block.\n"
             "An interpreter nobody refers to any more is closed the same way.")
        .def("__enter__", &enter)
        .def("__exit__", &exit_, "args"_a)
        .def("_report_exception", &report_exception,
             "tkinter's report of a callback's exception; what stops Tcl work goes to its caller.")
        .def("after", [](nb::handle self, nb::args a, nb::kwargs k) { return inherited(self, KX_ID(after), a, k); },
             "args"_a, "kwargs"_a, "tkinter's after(), raising what stops its Tcl work (Ctrl-C, a time limit).")
        .def("update", [](nb::handle self) { return inherited(self, KX_ID(update), nb::args(), nb::kwargs()); },
             "tkinter's update(), raising what stops its Tcl work (Ctrl-C, a time limit).")
        .def("update_idletasks",
             [](nb::handle self) { return inherited(self, KX_ID(update_idletasks), nb::args(), nb::kwargs()); },
             "tkinter's update_idletasks(), raising what stops its Tcl work (Ctrl-C, a time limit).")
        .def("setvar", [](nb::handle self, nb::args a, nb::kwargs k) { return inherited(self, KX_ID(setvar), a, k); },
             "args"_a, "kwargs"_a, "tkinter's setvar(), raising what stops its Tcl work (Ctrl-C, a time limit).")
        .def("getvar", [](nb::handle self, nb::args a, nb::kwargs k) { return inherited(self, KX_ID(getvar), a, k); },
             "args"_a, "kwargs"_a, "tkinter's getvar(), raising what stops its Tcl work (Ctrl-C, a time limit).")
        .def("coverage",
             [](nb::handle self, nb::handle paths) { return import_attr("korvex.tcl.tclcoverage", "Coverage")(paths, self); },
             "paths"_a.none(),
             "A korvex.tcl.tclcoverage.Coverage of the Tcl files under `paths` (files or\n"
             "directories) that this interpreter, and any other with coverage installed,\n"
             "sources while it runs: ``with interp.coverage(['lib']) as cov: ...``, then\n"
             "``cov.data().report('term')``.")
        .def("profile", [](nb::handle s, bool c) { return import_attr("korvex.tcl.profiler", "Profile")(s, c); },
             nb::kw_only(), "commands"_a = false, "A korvex.tcl.profiler.Profile: ``with interp.profile() as prof: ...``.")
        .def("time_limit", &time_limit, "seconds"_a.none(),
             "A context manager bounding all Tcl work started inside it: once\n"
             "`seconds` (wall clock, from entering) have passed, the running Tcl work\n"
             "unwinds and TclTimeoutError is raised. Nested limits: the earliest wins.")
        .def_fast(fast_method<call_words>(
            "call",
            "call($self, /, *args)\n--\n\n"
            "Run one Tcl command given as its words, without Tcl parsing (what\n"
            "``tk.call`` does): each argument is one word, so nothing needs quoting.\n"
            "str, int, float, bool and bytes go as they are, a tuple or list as one\n"
            "word holding a Tcl list, anything else as its str(). A lone tuple\n"
            "argument holds the words themselves.\n\n"
            "The command is recorded in the history. The result comes as Tcl holds\n"
            "it: an int, float or bool for a Tcl number or boolean, a tuple for a\n"
            "Tcl list, a str for text (a byte array as the text ``eval`` gives), a\n"
            "``_tkinter.Tcl_Obj`` for other Tcl types; ``eval`` always gives text.\n"
            "A Tcl error raises TclError with its details (message: Tcl's result)."));
    g_interpreter = keep(c.finish());
    callbacks::init(g_interpreter, g_command, g_tcl_error);
    forward_names(g_interpreter, import_attr("_tkinter", "TkappType"), tk_attribute);
    nb::object set_var_fn = nb::getattr(nb::handle(g_interpreter), "set_var");
    nb::setattr(nb::handle(g_interpreter), "set_int", set_var_fn);
    nb::setattr(nb::handle(g_interpreter), "set_double", set_var_fn);
    for (size_t i = 0; i < kCastNames; ++i)
        g_own_casts[i] = type_lookup((PyTypeObject *)g_interpreter, cast_name(i));
    g_own_keyed_cast = type_lookup((PyTypeObject *)g_interpreter, KX_ID(cast_keyed_list));
    g_own_from_tcl = type_lookup((PyTypeObject *)g_mardeck, KX_ID(from_tcl));

    nb::object shared = call(g_interpreter);
    m.attr("_global_interpreter") = shared;
    publish_names(shared);
}
