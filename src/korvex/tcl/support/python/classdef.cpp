#include "support/python/classdef.hpp"

namespace kx {

// The most derived metaclass of the bases, as type.__new__ picks it.
static nb::object derive_metaclass(nb::handle bases) {
    PyObject *winner = (PyObject *)&PyType_Type;
    Py_ssize_t n = PyTuple_GET_SIZE(bases.ptr());
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject *meta = (PyObject *)Py_TYPE(PyTuple_GET_ITEM(bases.ptr(), i));
        if (PyType_IsSubtype((PyTypeObject *)winner, (PyTypeObject *)meta))
            continue;
        if (PyType_IsSubtype((PyTypeObject *)meta, (PyTypeObject *)winner)) {
            winner = meta;
            continue;
        }
        PyErr_SetString(PyExc_TypeError,
                        "metaclass conflict: the metaclass of a derived class must be a "
                        "(non-strict) subclass of the metaclasses of all its bases");
        throw nb::python_error();
    }
    return nb::borrow(winner);
}

ClassDef::ClassDef(nb::handle module, const char *name, std::initializer_list<nb::handle> bases,
                   const char *doc, const char *qualname)
    : module_(nb::borrow(module)), name_(name), qualname_(qualname ? qualname : name) {
    bases_ = check(PyTuple_New((Py_ssize_t)bases.size()));
    Py_ssize_t i = 0;
    for (nb::handle b : bases)
        PyTuple_SET_ITEM(bases_.ptr(), i++, nb::borrow(b).release().ptr());
    meta_ = derive_metaclass(bases_);
    nb::object prepare = nb::getattr(meta_, "__prepare__", nb::none());
    ns_ = prepare.is_none() ? nb::object(nb::dict()) : prepare(name, bases_);
    nb::object modname = nb::getattr(module_, "__name__");
    set("__module__", modname);
    set("__qualname__", nb::str(qualname_.c_str()));
    if (doc)
        set("__doc__", nb::str(doc));
}

ClassDef &ClassDef::set(const char *name, nb::handle value) {
    if (PyObject_SetItem(ns_.ptr(), nb::str(name).ptr(), value.ptr()) != 0)
        throw nb::python_error();
    return *this;
}

ClassDef &ClassDef::def_fast(PyMethodDef *def) {
    nb::object fn = make_fast_routine(def, module_, (qualname_ + "." + def->ml_name).c_str());
    fast_routines_.push_back(fn);
    return set(def->ml_name, fn);
}

nb::object ClassDef::finish(bool nested) {
    nb::object cls = meta_(nb::str(name_.c_str()), bases_, ns_);
    for (const nb::object &fn : fast_routines_)
        set_routine_owner(fn, cls);
    if (!nested)
        nb::setattr(module_, name_.c_str(), cls);
    return cls;
}

nb::object ClassDef::finish_onto(nb::handle cls) {
    nb::object items = check(PyMapping_Items(ns_.ptr()));
    for (nb::handle item : items) {
        if (PyObject_SetAttr(cls.ptr(), PyTuple_GET_ITEM(item.ptr(), 0), PyTuple_GET_ITEM(item.ptr(), 1)) != 0)
            throw nb::python_error();
    }
    for (const nb::object &fn : fast_routines_)
        set_routine_owner(fn, cls);
    nb::setattr(module_, name_.c_str(), cls);
    return nb::borrow(cls);
}

}  // namespace kx
