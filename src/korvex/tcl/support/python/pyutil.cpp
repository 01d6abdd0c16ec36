#include "support/python/pyutil.hpp"

#include <pthread.h>

#include <algorithm>
#include <cstdint>

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

bool in_main_thread() {
    nb::object main = check(PyObject_CallNoArgs(import_attr("threading", "main_thread").ptr()));
    nb::object ident = check(PyObject_GetAttrString(main.ptr(), "ident"));
    unsigned long id = PyLong_AsUnsignedLong(ident.ptr());
    if (id == (unsigned long)-1 && PyErr_Occurred())
        throw nb::python_error();
    return id == PyThread_get_thread_ident();
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
    return assign_type_version(t, KX_ID(__init__));
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

nb::object as_pair(nb::handle item, Py_ssize_t index) {
    if (PyTuple_CheckExact(item.ptr()) && PyTuple_GET_SIZE(item.ptr()) == 2)
        return nb::borrow(item);
    PyObject *fast = PySequence_Fast(item.ptr(), "");
    if (!fast) {
        if (PyErr_ExceptionMatches(PyExc_TypeError))
            PyErr_Format(PyExc_TypeError,
                         "cannot convert dictionary update sequence element #%zd to a sequence", index);
        throw nb::python_error();
    }
    nb::object seq = nb::steal(fast);
    Py_ssize_t n = PySequence_Fast_GET_SIZE(fast);
    if (n != 2) {
        PyErr_Format(PyExc_ValueError, "dictionary update sequence element #%zd has length %zd; 2 is required",
                     index, n);
        throw nb::python_error();
    }
    return check(PyTuple_Pack(2, PySequence_Fast_GET_ITEM(fast, 0), PySequence_Fast_GET_ITEM(fast, 1)));
}

namespace {

// What must stay free below the deepest guarded call: enough for the Python
// code (hooks, dispatch) that runs between two guards and for raising.
constexpr size_t kStackMargin = 64 * 1024;

// The lowest address the calling thread may use before the margin, taken
// once per thread (stacks grow down on every platform the package runs on).
struct StackFloor {
    uintptr_t floor = 0;
    bool known = false;
    bool tried = false;
};
thread_local StackFloor t_stack;

void find_stack_floor() {
    t_stack.tried = true;
#if defined(__linux__)
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) != 0)
        return;
    void *addr = nullptr;
    size_t size = 0;
    if (pthread_attr_getstack(&attr, &addr, &size) == 0 && addr && size) {
        size_t margin = std::min(kStackMargin, size / 2);
        t_stack.floor = reinterpret_cast<uintptr_t>(addr) + margin;
        t_stack.known = true;
    }
    pthread_attr_destroy(&attr);
#endif
}

}  // namespace

bool stack_nearly_full() {
    if (!t_stack.tried)
        find_stack_floor();
    // The frame's own address: a local's may live elsewhere under sanitizers.
    return t_stack.known && reinterpret_cast<uintptr_t>(__builtin_frame_address(0)) < t_stack.floor;
}

void check_stack(const char *where) {
    if (stack_nearly_full()) {
        PyErr_Format(PyExc_RecursionError, "maximum recursion depth exceeded%s", where);
        throw nb::python_error();
    }
}

RecursionGuard::RecursionGuard(const char *where, int depth) {
    check_stack(where);
    if (depth > kMaxDepth) {
        PyErr_Format(PyExc_RecursionError, "maximum recursion depth exceeded%s", where);
        throw nb::python_error();
    }
    if (Py_EnterRecursiveCall(where))
        throw nb::python_error();
}

PyObject *generic_getattribute(PyObject *self, PyObject *name, bool suppress) {
    return generic_getattr(self, name, suppress);
}

}  // namespace kx
