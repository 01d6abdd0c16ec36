#include "support/pyutil.hpp"

namespace kx {

PyObject *intern(const char *text) {
    PyObject *s = PyUnicode_InternFromString(text);
    if (!s)
        throw nb::python_error();
    return s;
}

nb::object import_attr(const char *module, const char *name) {
    nb::object mod = check(PyImport_ImportModule(module));
    return check(PyObject_GetAttrString(mod.ptr(), name));
}

nb::object lazy_module_attr(nb::handle module, nb::handle name, const char *attr_name,
                            const char *target) {
    if (PyUnicode_Check(name.ptr()) && PyUnicode_CompareWithASCIIString(name.ptr(), attr_name) == 0)
        return check(PyImport_ImportModule(target));
    raise_no_module_attr(module, name);
}

void raise_no_module_attr(nb::handle module, nb::handle name) {
    nb::object modname = check(PyObject_GetAttrString(module.ptr(), "__name__"));
    PyErr_Format(PyExc_AttributeError, "module '%S' has no attribute '%S'", modname.ptr(), name.ptr());
    throw nb::python_error();
}

unsigned int version_tag(nb::handle type) {
    PyTypeObject *t = (PyTypeObject *)type.ptr();
    _PyType_Lookup(t, KX_ID(__init__));  // a lookup assigns a tag when missing
    return PyType_HasFeature(t, Py_TPFLAGS_VALID_VERSION_TAG) ? t->tp_version_tag : 0;
}

nb::object fetch_exception() {
#if PY_VERSION_HEX >= 0x030C0000
    return nb::steal(PyErr_GetRaisedException());
#else
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    if (!type)
        return nb::object();
    PyErr_NormalizeException(&type, &value, &tb);
    if (tb)
        PyException_SetTraceback(value, tb);
    Py_XDECREF(type);
    Py_XDECREF(tb);
    return nb::steal(value);
#endif
}

void reraise(nb::object exc) {
    PyErr_SetObject((PyObject *)Py_TYPE(exc.ptr()), exc.ptr());
    throw nb::python_error();
}

static nb::object make_exception(PyObject *exc_type, nb::handle arg) {
    return check(PyObject_CallOneArg(exc_type, arg.ptr()));
}

void raise_from_none(PyObject *exc_type, nb::handle arg, PyObject *context) {
    nb::object exc = make_exception(exc_type, arg);
    PyException_SetCause(exc.ptr(), nullptr);  // also sets __suppress_context__
    if (context)
        PyException_SetContext(exc.ptr(), nb::borrow(context).release().ptr());
    PyErr_SetObject(exc_type, exc.ptr());
    throw nb::python_error();
}

void raise_from(PyObject *exc_type, nb::handle arg, nb::handle cause) {
    nb::object exc = make_exception(exc_type, arg);
    PyException_SetCause(exc.ptr(), nb::borrow(cause).release().ptr());
    PyException_SetContext(exc.ptr(), nb::borrow(cause).release().ptr());
    PyErr_SetObject(exc_type, exc.ptr());
    throw nb::python_error();
}

RecursionGuard::RecursionGuard(const char *where, int depth) {
    if (depth > kMaxDepth) {
        PyErr_Format(PyExc_RecursionError, "maximum recursion depth exceeded%s", where);
        throw nb::python_error();
    }
    if (Py_EnterRecursiveCall(where))
        throw nb::python_error();
}

}  // namespace kx
