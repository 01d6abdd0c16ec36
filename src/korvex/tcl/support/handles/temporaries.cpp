#include "support/handles/temporaries.hpp"

namespace kx {
namespace temp {
namespace {

nb::object super_of(nb::handle cls, nb::handle self) {
    return check(PyObject_CallFunctionObjArgs((PyObject *)&PySuper_Type, cls.ptr(), self.ptr(), nullptr));
}

// getattr(super(cls, self), name, None)
nb::object next_method(nb::handle cls, nb::handle self, PyObject *name) {
    nb::object super = super_of(cls, self);
    PyObject *found = PyObject_GetAttr(super.ptr(), name);
    if (found)
        return nb::steal(found);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError))
        throw nb::python_error();
    PyErr_Clear();
    return nb::none();
}

}  // namespace

nb::object format_name(nb::handle self, nb::handle templ) {
    nb::object format = check(PyObject_GetAttr(templ.ptr(), KX_ID(format)));
    nb::object type = nb::borrow((PyObject *)Py_TYPE(self.ptr()));
    nb::object cls = check(PyObject_GetAttr(type.ptr(), KX_ID(__name__)));
    nb::object id = check(PyLong_FromVoidPtr(self.ptr()));
    nb::object kwnames = check(PyTuple_Pack(2, KX_ID(cls), KX_ID(id)));
    PyObject *args[3] = {nullptr, cls.ptr(), id.ptr()};
    return check(PyObject_Vectorcall(format.ptr(), args + 1, PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames.ptr()));
}

void super_init(nb::handle cls, nb::handle self, nb::handle args, PyObject *kwargs) {
    nb::object init = check(PyObject_GetAttr(super_of(cls, self).ptr(), KX_ID(__init__)));
    check(PyObject_Call(init.ptr(), args.ptr(), kwargs));
}

nb::object super_enter(nb::handle cls, nb::handle self) {
    nb::object enter = next_method(cls, self, KX_ID(__enter__));
    if (truth(enter))
        return call(enter);
    return nb::borrow(self);
}

nb::object super_exit(nb::handle cls, nb::handle self, nb::handle exc_info) {
    nb::object exit = next_method(cls, self, KX_ID(__exit__));
    if (truth(exit))
        return check(PyObject_Call(exit.ptr(), exc_info.ptr(), nullptr));
    return nb::borrow(Py_False);
}

void super_del(nb::handle cls, nb::handle self) {
    nb::object del = next_method(cls, self, KX_ID(__del__));
    if (truth(del))
        call(del);
}

void init_named(nb::handle cls, nb::handle self, nb::handle templ, nb::handle kwargs) {
    nb::object name = format_name(self, templ);
    nb::object args = check(PyTuple_Pack(1, name.ptr()));
    super_init(cls, self, args, kwargs.ptr());
}

nb::object ns_enter(nb::handle cls, nb::handle self) {
    nb::object result = super_enter(cls, self);
    call_method(self, KX_ID(create));
    return result;
}

nb::object exit_deleting(nb::handle cls, nb::handle self, nb::handle exc_info, PyObject *tcl_error) {
    ignoring(tcl_error, [&] { call_method(self, KX_ID(delete)); });
    return super_exit(cls, self, exc_info);
}

void cmd_init(nb::handle cls, nb::handle self, nb::handle func, nb::handle cmd_name, nb::handle kwargs,
              PyObject *update_wrapper) {
    init_named(cls, self, cmd_name, kwargs);
    if (truth(func)) {
        call_method(self, KX_ID(createcommand), {func.ptr()});
        call(update_wrapper, {self.ptr(), func.ptr()});
    }
}

void cmd_del(nb::handle cls, nb::handle self, PyObject *tcl_error) {
    nb::object wrapped = nb::steal(PyObject_GetAttr(self.ptr(), KX_ID(__wrapped__)));
    bool registered = wrapped.is_valid();
    if (!registered) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError))
            throw nb::python_error();
        PyErr_Clear();
    }
    if (registered)
        ignoring(tcl_error, [&] { call_method(self, KX_ID(delete)); }, PyExc_ReferenceError);
    super_del(cls, self);
}

void var_init(nb::handle cls, nb::handle self, nb::handle var_name, nb::handle kwargs) {
    nb::object text = check(PyObject_Str(var_name.ptr()));
    init_named(cls, self, text, kwargs);
}

nb::object var_exit(nb::handle cls, nb::handle self, nb::handle exc_info) {
    PyObject *args[2] = {self.ptr(), Py_True};
    nb::object kwnames = check(PyTuple_Pack(1, KX_ID(nocomplain)));
    check(PyObject_VectorcallMethod(KX_ID(unset), args, 1, kwnames.ptr()));
    return super_exit(cls, self, exc_info);
}

}  // namespace temp
}  // namespace kx
