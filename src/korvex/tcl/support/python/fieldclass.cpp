#include "support/python/fieldclass.hpp"

#include <structmember.h>

#include <cstddef>
#include <cstring>

namespace kx {

namespace {

// The field names (interned) and the instances' vectorcall entry; set once
// when the class is made.
PyObject *g_names[2];
vectorcallfunc g_vectorcall;

FieldObject *as_field(PyObject *self) { return reinterpret_cast<FieldObject *>(self); }

int field_index(PyObject *name) {
    for (int i = 0; i < 2; ++i)
        if (name == g_names[i])
            return i;
    if (!PyUnicode_Check(name))
        return -1;
    for (int i = 0; i < 2; ++i)
        if (PyUnicode_Compare(name, g_names[i]) == 0)
            return i;
    return -1;
}

int traverse(PyObject *self, visitproc visit, void *arg) {
    FieldObject *o = as_field(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(o->dict);
    Py_VISIT(o->fields[0]);
    Py_VISIT(o->fields[1]);
    return 0;
}

int clear(PyObject *self) {
    FieldObject *o = as_field(self);
    o->single = false;
    Py_CLEAR(o->dict);
    Py_CLEAR(o->fields[1]);
    Py_CLEAR(o->fields[0]);
    return 0;
}

// A few freed instances of the class itself are kept for reuse (a quick call
// creates and drops one each time). Each keeps its reference to the class.
PyTypeObject *g_class;
constexpr int kFreeMax = 8;
PyObject *g_free[kFreeMax];
int g_nfree = 0;

void dealloc(PyObject *self) {
    PyTypeObject *type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (as_field(self)->weaklist)
        PyObject_ClearWeakRefs(self);
    clear(self);
    if (type == g_class && g_nfree < kFreeMax && Py_REFCNT(self) == 0) {
        g_free[g_nfree++] = self;
        return;
    }
    type->tp_free(self);
    Py_DECREF(type);
}

// Makes the list a single item stands for. 0, or -1 with the error set.
int unsingle(FieldObject *o) {
    if (!o->single)
        return 0;
    PyObject *list = PyList_New(1);
    if (!list)
        return -1;
    PyList_SET_ITEM(list, 0, o->fields[1]);  // the field's reference moves into the list
    o->fields[1] = list;
    o->single = false;
    return 0;
}

// Moves the state from the fields into a new instance dict (borrowed; NULL
// with the error set).
PyObject *materialise(PyObject *self) {
    FieldObject *o = as_field(self);
    if (o->dict)
        return o->dict;
    if (unsingle(o) != 0)
        return nullptr;
    PyObject *dict = PyDict_New();
    if (!dict)
        return nullptr;
    for (int i = 0; i < 2; ++i) {
        if (o->fields[i] && PyDict_SetItem(dict, g_names[i], o->fields[i]) != 0) {
            Py_DECREF(dict);
            return nullptr;
        }
    }
    o->dict = dict;
    // The dict holds the values now: dropping the fields frees nothing.
    Py_CLEAR(o->fields[0]);
    Py_CLEAR(o->fields[1]);
    return dict;
}

PyObject *getattro(PyObject *self, PyObject *name) { return field_getattribute(self, name, false); }

int setattro(PyObject *self, PyObject *name, PyObject *value) {
    FieldObject *o = as_field(self);
    if (!o->dict && PyUnicode_Check(name)) {
        int i = field_index(name);
        if (i >= 0 && !type_lookup(Py_TYPE(self), name)) {
            // Stores that keep the fields a prefix keep the dict's order too.
            bool set = o->fields[i] != nullptr;
            if (i == 1)
                o->single = false;  // the item is dropped or replaced below
            if (value && (set || i == 0 || o->fields[0])) {
                Py_XSETREF(o->fields[i], Py_NewRef(value));
                return 0;
            }
            if (!value && set && (i == 1 || !o->fields[1])) {
                Py_CLEAR(o->fields[i]);
                return 0;
            }
        }
        if (!materialise(self))
            return -1;
    }
    return PyObject_GenericSetAttr(self, name, value);
}

PyObject *get_dict(PyObject *self, void *) { return Py_XNewRef(materialise(self)); }

int set_dict(PyObject *self, PyObject *value, void *) {
    if (PyObject_GenericSetDict(self, value, nullptr) != 0)
        return -1;
    FieldObject *o = as_field(self);
    o->single = false;
    Py_CLEAR(o->fields[0]);
    Py_CLEAR(o->fields[1]);
    return 0;
}

// The state for copy and pickle: the instance dict, or None when it is
// empty (what object.__getstate__ gives for a class without extra layout).
PyObject *getstate(PyObject *self, PyObject *) {
    PyObject *dict = materialise(self);
    if (!dict)
        return nullptr;
    return PyDict_GET_SIZE(dict) ? Py_NewRef(dict) : Py_NewRef(Py_None);
}

PyMemberDef g_members[] = {
    {"__dictoffset__", T_PYSSIZET, offsetof(FieldObject, dict), READONLY, nullptr},
    {"__weaklistoffset__", T_PYSSIZET, offsetof(FieldObject, weaklist), READONLY, nullptr},
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(FieldObject, vectorcall), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

// The first weak reference to the object, or None (what a class statement's
// __weakref__ gives).
PyObject *get_weakref(PyObject *self, void *) {
    PyObject *first = as_field(self)->weaklist;
    return Py_NewRef(first ? first : Py_None);
}

PyGetSetDef g_getset[] = {
    {"__dict__", get_dict, set_dict, nullptr, nullptr},
    {"__weakref__", get_weakref, nullptr, "list of weak references to the object", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef g_methods[] = {
    {"__getstate__", getstate, METH_NOARGS, "__getstate__($self, /)\n--\n\nThe instance dict, or None when empty."},
    {nullptr, nullptr, 0, nullptr},
};

// Whether `type` has no attribute named like a field: then the instance
// state alone answers for those names. Remembered for the class last seen,
// while it is unchanged.
bool no_class_fields(PyTypeObject *type) {
    static PyTypeObject *seen = nullptr;
    static unsigned int seen_tag = 0;
    if (type == seen && unchanged(type, seen_tag))
        return true;
    if (type_lookup(type, g_names[0]) || type_lookup(type, g_names[1]))
        return false;
    seen_tag = version_tag(nb::handle((PyObject *)type));
    seen = type;
    return true;
}

}  // namespace

PyObject *field_getattribute(PyObject *self, PyObject *name, bool suppress) {
    FieldObject *o = as_field(self);
    if (!o->dict) {
        int i = field_index(name);
        if (i >= 0 && o->fields[i]) {
            if (no_class_fields(Py_TYPE(self)) || !type_lookup(Py_TYPE(self), name)) {
                if (i == 1 && unsingle(o) != 0)
                    return nullptr;
                return Py_NewRef(o->fields[i]);
            }
            // A class attribute of that name: Python's own order decides.
            if (!materialise(self))
                return nullptr;
        }
    }
    return generic_getattribute(self, name, suppress);
}

PyObject *field_tp_new(PyTypeObject *type, PyObject *, PyObject *) {
    if (type == g_class && g_nfree > 0) {
        // Cleared by dealloc: no dict, fields or weak references.
        PyObject *self = g_free[--g_nfree];
        Py_SET_REFCNT(self, 1);
        PyObject_GC_Track(self);
        return self;
    }
    PyObject *self = type->tp_alloc(type, 0);
    if (self)
        as_field(self)->vectorcall = g_vectorcall;
    return self;
}

nb::object field_new_instance(PyTypeObject *type, nb::handle first, nb::handle second) {
    nb::object self = check(field_tp_new(type, nullptr, nullptr));
    FieldObject *o = as_field(self.ptr());
    o->fields[0] = nb::borrow(first).release().ptr();
    o->fields[1] = nb::borrow(second).release().ptr();
    return self;
}

nb::object field_new_instance_single(PyTypeObject *type, nb::handle first, nb::handle item) {
    nb::object self = field_new_instance(type, first, item);
    as_field(self.ptr())->single = true;
    return self;
}

PyObject *field_single_item(PyObject *self) {
    FieldObject *o = as_field(self);
    if (!o->single || o->dict || !no_class_fields(Py_TYPE(self)))
        return nullptr;
    return o->fields[1];
}

PyObject *field_dict(PyObject *self) { return materialise(self); }

PyObject *call_through_tp_call(PyObject *callable, PyObject *const *args, size_t nargsf, PyObject *kwnames) {
    ternaryfunc call = Py_TYPE(callable)->tp_call;
    if (!call) {
        PyErr_Format(PyExc_TypeError, "'%.200s' object is not callable", Py_TYPE(callable)->tp_name);
        return nullptr;
    }
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    PyObject *tuple = PyTuple_New(nargs);
    if (!tuple)
        return nullptr;
    for (Py_ssize_t i = 0; i < nargs; ++i)
        PyTuple_SET_ITEM(tuple, i, Py_NewRef(args[i]));
    PyObject *kwargs = nullptr;
    if (nkw) {
        kwargs = PyDict_New();
        for (Py_ssize_t k = 0; kwargs && k < nkw; ++k) {
            if (PyDict_SetItem(kwargs, PyTuple_GET_ITEM(kwnames, k), args[nargs + k]) != 0)
                Py_CLEAR(kwargs);
        }
        if (!kwargs) {
            Py_DECREF(tuple);
            return nullptr;
        }
    }
    PyObject *result = call(callable, tuple, kwargs);
    Py_DECREF(tuple);
    Py_XDECREF(kwargs);
    return result;
}

nb::object make_field_class(const FieldClassLayout &layout) {
    if (g_names[0]) {
        PyErr_SetString(PyExc_RuntimeError, "only one field class per process");
        throw nb::python_error();
    }
    PyType_Slot slots[] = {
        {Py_tp_dealloc, (void *)dealloc},
        {Py_tp_traverse, (void *)traverse},
        {Py_tp_clear, (void *)clear},
        {Py_tp_getattro, (void *)getattro},
        {Py_tp_setattro, (void *)setattro},
        {Py_tp_call, (void *)layout.call},
        {Py_tp_new, (void *)field_tp_new},
        {Py_tp_members, g_members},
        {Py_tp_getset, g_getset},
        {Py_tp_methods, g_methods},
        {0, nullptr},
    };
    PyType_Spec type_spec = {
        layout.name, (int)sizeof(FieldObject), 0,
        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL, slots};
    nb::object cls = check(PyType_FromSpec(&type_spec));
    // tp_name is the dotted name given (and, before 3.12, the caller's
    // buffer): the plain name, as a class statement gives, held by the class.
    const char *dot = std::strrchr(layout.name, '.');
    nb::setattr(cls, "__name__", nb::str(dot ? dot + 1 : layout.name));
    // The layout's offsets are the class's business, not attributes of it.
    for (const char *name : {"__dictoffset__", "__weaklistoffset__", "__vectorcalloffset__"})
        if (PyDict_GetItemString(((PyTypeObject *)cls.ptr())->tp_dict, name))
            nb::delattr(cls, name);
    for (int i = 0; i < 2; ++i)
        g_names[i] = intern(layout.names[i]);
    g_vectorcall = layout.vectorcall;
    g_class = (PyTypeObject *)cls.ptr();
    return cls;
}

}  // namespace kx
