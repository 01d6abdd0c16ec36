#include "support/handles/tclvariable.hpp"

#include "support/handles/tclbind.hpp"
#include "support/tcl/tclconvert.hpp"
#include "support/tcl/tclquote.hpp"

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
    nb::object script = set_script(name);
    return bind::tk(bind::target_of(bind::referent(tcl)), KX_ID(eval), {script.ptr()});
}

void set_core(nb::handle tcl, nb::handle name, nb::handle value, PyObject *array_index) {
    bind::Target tk = bind::target_of(bind::referent(tcl));
    // (_tkinter's setvar of an element crashes on a value it cannot convert.)
    nb::object obj = tk_value(tclobj(value));
    if (array_index && array_index != Py_None)
        bind::tk(tk, KX_ID(setvar), {name.ptr(), zelph(array_index).ptr(), obj.ptr()});
    else
        bind::tk(tk, KX_ID(setvar), {name.ptr(), obj.ptr()});
}

}  // namespace var
}  // namespace kx
