#include "support/handles/tclvariable.hpp"

#include "support/bridge/bridge.hpp"
#include "support/handles/tclbind.hpp"
#include "support/tcl/tclconvert.hpp"
#include "support/tcl/tclquote.hpp"
#include "support/tcl/tclvars.hpp"

#include <cstring>

namespace kx {
namespace var {
namespace {

// The script "set <name>" as a Tcl list: a name that needs no quoting is
// appended as it is.
nb::object set_script(nb::handle name) {
    if (PyUnicode_CheckExact(name.ptr())) {
        ElementScan sc = scan_element(name.ptr());
        if (sc.flags == 0 && sc.length > 0 && quoted_length(sc, 0) == sc.length)
            return check(PyUnicode_Concat(KX_STR("set "), name.ptr()));
    }
    PyObject *cmd[2] = {KX_STR("set"), name.ptr()};
    return zelph_from_array(cmd, 2);
}

// A variable name as the C string Tcl takes, when it is ASCII without NUL
// (borrowed from the str); else null.
const char *ascii_name(nb::handle name) {
    PyObject *o = name.ptr();
    if (!PyUnicode_CheckExact(o) || !PyUnicode_IS_ASCII(o))
        return nullptr;
    const char *s = static_cast<const char *>(PyUnicode_DATA(o));
    return std::strlen(s) == static_cast<size_t>(PyUnicode_GET_LENGTH(o)) ? s : nullptr;
}

// A new Tcl value (no reference taken) for the values whose conversion is
// plain and the same in every _tkinter: an ASCII str without NUL, an int of
// 64 bits, a float (exact types: a subclass may convert itself); else null.
tcl::Obj *plain_value(nb::handle value) {
    PyObject *o = value.ptr();
    const tcl::Api &t = tcl::api();
    if (PyUnicode_CheckExact(o)) {
        const char *s = ascii_name(value);
        return s ? t.NewStringObj(s, static_cast<int>(PyUnicode_GET_LENGTH(o))) : nullptr;
    }
    if (PyLong_CheckExact(o)) {
        int overflow = 0;
        long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
        return overflow ? nullptr : t.NewWideIntObj(v);
    }
    if (PyFloat_CheckExact(o))
        return t.NewDoubleObj(PyFloat_AS_DOUBLE(o));
    return nullptr;
}

// The interpreter behind `target` when this thread may read or set its
// variables directly, and the name is one Tcl can take as it is; else null.
tcl::Interp *direct(const bind::Target &target, const char *name) {
    return name && std::strlen(name) < 4096 ? tcl::own_thread_interp(target.tk) : nullptr;
}

}  // namespace

nb::object element(nb::handle name, nb::handle index) {
    return check(PyUnicode_FromFormat("%S(%S)", zelph(name).ptr(), zelph(index).ptr()));
}

nb::object index_text(nb::handle index) {
    return PyUnicode_CheckExact(index.ptr()) ? nb::borrow(index) : zelph(index);
}

nb::object get_obj_core(nb::handle tcl, nb::handle name, PyObject *array_index) {
    bind::Target tk = bind::target_of(bind::referent(tcl));
    if (array_index && array_index != Py_None)
        return bind::tk(tk, KX_ID(getvar), {name.ptr(), index_text(array_index).ptr()});
    return bind::tk(tk, KX_ID(getvar), {name.ptr()});
}

nb::object get_str_core(nb::handle tcl, nb::handle name) {
    bind::Target target = bind::target_of(bind::referent(tcl));
    const char *n = ascii_name(name);
    if (tcl::Interp *interp = direct(target, n)) {
        // A variable no trace can see: its text is read where Tcl keeps it.
        bridge::Entry entry(target.tk, target.registry);
        entry.check();
        if (tcl::Obj *value = tcl::untraced_value(interp, n)) {
            int length = 0;
            const char *text = tcl::api().GetStringFromObj(value, &length);
            nb::object result = tcl::decode(text, static_cast<size_t>(length));
            entry.done();
            return result;
        }
    }
    nb::object script = set_script(name);
    return bind::tk(target, KX_ID(eval), {script.ptr()});
}

void set_core(nb::handle tcl, nb::handle name, nb::handle value, PyObject *array_index) {
    bind::Target tk = bind::target_of(bind::referent(tcl));
    const char *n = array_index && array_index != Py_None ? nullptr : ascii_name(name);
    if (tcl::Interp *interp = direct(tk, n)) {
        // A variable no trace can see, given a plain value: replaced in place.
        bool done = false;
        {
            bridge::Entry entry(tk.tk, tk.registry);
            entry.check();
            if (tcl::Obj *plain = plain_value(value)) {
                tcl::incr_ref(plain);
                done = tcl::set_untraced(interp, n, plain);
                tcl::decr_ref(plain);
            }
            if (done)
                entry.done();
        }
        if (done)
            return;
    }
    // (_tkinter's setvar of an element crashes on a value it cannot convert.)
    nb::object obj = tk_value(tclobj(value));
    if (array_index && array_index != Py_None)
        bind::tk(tk, KX_ID(setvar), {name.ptr(), zelph(array_index).ptr(), obj.ptr()});
    else
        bind::tk(tk, KX_ID(setvar), {name.ptr(), obj.ptr()});
}

}  // namespace var
}  // namespace kx
