#include "support/python/forwarder.hpp"

#include "support/python/capi.hpp"

namespace kx {
namespace {

struct Forwarder {
    PyObject_HEAD
    PyObject *name;  // strong
    ForwardFn get;
};

PyObject *fw_descr_get(PyObject *self, PyObject *obj, PyObject *) {
    Forwarder *f = reinterpret_cast<Forwarder *>(self);
    if (!obj || obj == Py_None)
        return Py_NewRef(self);
    return f->get(obj, f->name);
}

void fw_dealloc(PyObject *self) {
    PyTypeObject *type = Py_TYPE(self);
    Py_CLEAR(reinterpret_cast<Forwarder *>(self)->name);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject *fw_repr(PyObject *self) {
    return PyUnicode_FromFormat("<forwarded attribute %R>", reinterpret_cast<Forwarder *>(self)->name);
}

// help() shows it for the name.
PyObject *fw_doc(PyObject *self, void *) {
    return PyUnicode_FromFormat("The application object's %U, read through the instance (self.tk.%U).",
                                reinterpret_cast<Forwarder *>(self)->name,
                                reinterpret_cast<Forwarder *>(self)->name);
}

PyGetSetDef fw_getset[] = {{"__doc__", fw_doc, nullptr, nullptr, nullptr}, {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyType_Slot fw_slots[] = {{Py_tp_descr_get, (void *)fw_descr_get},
                          {Py_tp_dealloc, (void *)fw_dealloc},
                          {Py_tp_repr, (void *)fw_repr},
                          {Py_tp_getset, (void *)fw_getset},
                          {0, nullptr}};

PyType_Spec fw_spec = {"korvex.tcl.forwarded_attribute", sizeof(Forwarder), 0,
                       Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
                       fw_slots};

PyTypeObject *forwarder_type() {
    return KX_ONCE(PyTypeObject *, (PyTypeObject *)check(PyType_FromSpec(&fw_spec)).release().ptr());
}

}  // namespace

nb::object make_forwarder(nb::handle name, ForwardFn get) {
    PyTypeObject *type = forwarder_type();
    nb::object made = check(PyType_GenericAlloc(type, 0));
    Forwarder *f = reinterpret_cast<Forwarder *>(made.ptr());
    f->name = nb::borrow(name).release().ptr();
    f->get = get;
    return made;
}

bool forwards(PyTypeObject *type, PyObject *name) {
    PyObject *found = type_lookup(type, name);
    return found && Py_IS_TYPE(found, forwarder_type());
}

namespace {

// Whether instances of `type` may skip __getattr__: it is `base`'s own (whose
// names are all forwarded) and __getattribute__ is object's.
bool may_skip_getattr(PyTypeObject *type, PyTypeObject *base) {
    return type_lookup(type, KX_ID(__getattr__)) == type_lookup(base, KX_ID(__getattr__)) &&
           type_lookup(type, KX_ID(__getattribute__)) ==
               type_lookup(&PyBaseObject_Type, KX_ID(__getattribute__));
}

void use_generic_getattro(PyTypeObject *type) {
    type->tp_getattro = PyObject_GenericGetAttr;
    PyType_Modified(type);
}

// __init_subclass__ of a class given forward_names (`self`): called by
// Python once the subclass's slots are set, with the subclass first.
PyObject *init_subclass(PyObject *self, PyObject *args, PyObject *kwargs) {
    return c_entry([&]() -> nb::object {
        PyObject *cls = PyTuple_GET_ITEM(args, 0);
        if (PyType_Check(cls) && may_skip_getattr((PyTypeObject *)cls, (PyTypeObject *)self))
            use_generic_getattro((PyTypeObject *)cls);
        // super(base, cls).__init_subclass__(**kwargs)
        nb::object super = check(PyObject_CallFunctionObjArgs((PyObject *)&PySuper_Type, self, cls, nullptr));
        nb::object next = check(PyObject_GetAttr(super.ptr(), KX_ID(__init_subclass__)));
        nb::object rest = check(PyTuple_GetSlice(args, 1, PyTuple_GET_SIZE(args)));
        return check(PyObject_Call(next.ptr(), rest.ptr(), kwargs));
    });
}

PyMethodDef init_subclass_def = {"__init_subclass__", (PyCFunction)(void (*)())init_subclass,
                                 METH_VARARGS | METH_KEYWORDS,
                                 "__init_subclass__($base, cls, /, **kwargs)\n--\n\n"
                                 "Gives the subclass the fast attribute lookup of its base when it keeps\n"
                                 "the base's __getattr__."};

}  // namespace

void forward_names(nb::handle cls, nb::handle source, ForwardFn get) {
    PyTypeObject *type = (PyTypeObject *)cls.ptr();
    nb::object names = check(PyObject_Dir(source.ptr()));
    for (Py_ssize_t i = 0, n = PyList_GET_SIZE(names.ptr()); i < n; ++i) {
        PyObject *name = PyList_GET_ITEM(names.ptr(), i);
        if (!PyUnicode_Check(name) || PyUnicode_READ_CHAR(name, 0) == '_' || type_lookup(type, name))
            continue;
        if (PyObject_SetAttr(cls.ptr(), name, make_forwarder(name, get).ptr()) < 0)
            throw nb::python_error();
    }
    nb::object hook = check(PyCFunction_New(&init_subclass_def, cls.ptr()));
    nb::object method = check(PyClassMethod_New(hook.ptr()));
    if (PyObject_SetAttr(cls.ptr(), KX_ID(__init_subclass__), method.ptr()) < 0)
        throw nb::python_error();
    if (type_lookup(type, KX_ID(__getattribute__)) == type_lookup(&PyBaseObject_Type, KX_ID(__getattribute__)))
        use_generic_getattro(type);
}

}  // namespace kx
