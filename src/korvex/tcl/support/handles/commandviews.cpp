#include "support/bridge/bridge.hpp"
#include "support/handles/commandviews.hpp"

#include "support/handles/tclbind.hpp"
#include "support/handles/tclcommand.hpp"
#include "support/tcl/tclconvert.hpp"
#include "support/tcl/tclnames.hpp"

namespace kx {
namespace views {
namespace {

const command::Classes &classes() { return command::classes(); }

nb::object ns_of(nb::handle self) { return attr(self, KX_ID(ns)); }

// The view's namespace name joined with `name`.
nb::object joined(nb::handle self, nb::handle name) { return names::join2(zelph_str(ns_of(self)), name); }

}  // namespace

void init(nb::handle self, nb::handle ns) {
    if (classes().asserts) {
        int is = PyObject_IsInstance(ns.ptr(), classes().ns_class);
        if (is < 0)
            throw nb::python_error();
        if (!is) {
            PyErr_SetNone(PyExc_AssertionError);
            throw nb::python_error();
        }
    }
    nb::object super = check(PyObject_CallFunctionObjArgs((PyObject *)&PySuper_Type, classes().cmds_view,
                                                          self.ptr(), nullptr));
    call_method(super, KX_ID(__init__));
    set_attr(self, KX_ID(ns), ns);
}

nb::object byref(nb::handle self, nb::handle cmd_name, nb::handle args, nb::handle kwargs) {
    if (PyDict_Contains(kwargs.ptr(), KX_ID(tcl))) {
        PyErr_SetString(PyExc_TypeError, "TclCommand() got multiple values for keyword argument 'tcl'");
        throw nb::python_error();
    }
    nb::dict kw;
    kw[nb::handle(KX_ID(tcl))] = attr(ns_of(self), KX_ID(tcl));
    if (PyDict_Update(kw.ptr(), kwargs.ptr()) != 0)
        throw nb::python_error();
    nb::object words = concat(kx::words({joined(self, cmd_name).ptr()}), args);
    return check(PyObject_Call(classes().command, words.ptr(), kw.ptr()));
}

nb::object on_command(nb::handle self, nb::handle cmd_name, PyObject *method,
                      std::initializer_list<PyObject *> args) {
    nb::object command = call_method(self, KX_ID(byref), {cmd_name.ptr()});
    return call_method(command, method, args);
}

void rename(nb::handle self, nb::handle cmd_name, nb::handle new_name) {
    on_command(self, cmd_name, KX_ID(rename), {joined(self, new_name).ptr()});
}

bool contains(nb::handle self, nb::handle cmd_name) {
    return truth(call_method(self, KX_ID(exists), {cmd_name.ptr()}));
}

void setitem(nb::handle self, nb::handle cmd_name, nb::handle func) {
    call_method(self, KX_ID(createcommand), {cmd_name.ptr(), func.ptr()});
}

void delitem(nb::handle self, nb::handle cmd_name) {
    try {
        call_method(self, KX_ID(delete), {cmd_name.ptr()});
    } catch (nb::python_error &e) {
        if (!e.matches(classes().tcl_error) || bridge::must_propagate(e.value()))
            throw;
        nb::object exc = nb::borrow(e.value());
        raise_from(PyExc_KeyError, exc, exc);
    }
}

nb::object names(nb::handle self, PyObject *what) {
    nb::object ns = ns_of(self);
    nb::object result = call_method(ns, KX_ID(call), {words({KX_STR("::info"), what}).ptr()});
    nb::object listed = bind::cast(bind::interp_of(ns), KX_ID(cast_list), result);
    return check(PyObject_GetIter(str_items(listed).ptr()));
}

Py_ssize_t count(nb::handle self) {
    nb::object it = check(PyObject_GetIter(self.ptr()));
    Py_ssize_t n = 0;
    while (nb::object item = nb::steal(PyIter_Next(it.ptr()))) {
        (void)item;
        ++n;
    }
    if (PyErr_Occurred())
        throw nb::python_error();
    return n;
}

}  // namespace views
}  // namespace kx
