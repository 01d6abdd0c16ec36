#include "support/tcl/tkvalue.hpp"

#include <vector>

namespace kx {
namespace {

nb::object byte_text(PyObject *b) {
    return check(PyUnicode_DecodeLatin1(PyBytes_AS_STRING(b), PyBytes_GET_SIZE(b), nullptr));
}

// Whether anything inside the tuple `t` (at any depth) is `bytes`: most
// results hold none, and are then handed on without a copy.
bool holds_bytes(PyObject *t) {
    std::vector<std::pair<PyObject *, Py_ssize_t>> stack{{t, 0}};
    while (!stack.empty()) {
        auto &[tuple, i] = stack.back();
        if (i == PyTuple_GET_SIZE(tuple)) {
            stack.pop_back();
            continue;
        }
        PyObject *item = PyTuple_GET_ITEM(tuple, i++);
        if (PyBytes_CheckExact(item))
            return true;
        if (PyTuple_CheckExact(item) && PyTuple_GET_SIZE(item) > 0)
            stack.emplace_back(item, 0);
    }
    return false;
}

// A copy of the tuple `t` with each item converted, nested tuples copied
// the same way (without recursion: the depth is Tcl's).
nb::object convert_tuple(PyObject *t) {
    struct Frame {
        PyObject *source;  // borrowed: held by its parent, or by the caller
        nb::object out;
        Py_ssize_t next;
    };
    std::vector<Frame> stack;
    stack.push_back({t, check(PyTuple_New(PyTuple_GET_SIZE(t))), 0});
    for (;;) {
        Frame &top = stack.back();
        if (top.next == PyTuple_GET_SIZE(top.source)) {
            nb::object done = std::move(top.out);
            stack.pop_back();
            if (stack.empty())
                return done;
            Frame &parent = stack.back();
            PyTuple_SET_ITEM(parent.out.ptr(), parent.next++, done.release().ptr());
            continue;
        }
        PyObject *item = PyTuple_GET_ITEM(top.source, top.next);
        if (PyTuple_CheckExact(item) && PyTuple_GET_SIZE(item) > 0) {
            nb::object out = check(PyTuple_New(PyTuple_GET_SIZE(item)));
            stack.push_back({item, std::move(out), 0});
            continue;
        }
        nb::object value = PyBytes_CheckExact(item) ? byte_text(item) : nb::borrow(item);
        PyTuple_SET_ITEM(top.out.ptr(), top.next++, value.release().ptr());
    }
}

}  // namespace

nb::object from_tk(nb::handle value) {
    PyObject *o = value.ptr();
    if (PyUnicode_CheckExact(o))
        return nb::borrow(value);
    if (PyBytes_CheckExact(o))
        return byte_text(o);
    if (PyTuple_CheckExact(o) && holds_bytes(o))
        return convert_tuple(o);
    return nb::borrow(value);
}

PyObject *from_tk_steal(PyObject *value) {
    if (!value || PyUnicode_CheckExact(value) || !(PyBytes_CheckExact(value) || PyTuple_CheckExact(value)))
        return value;
    nb::object owned = nb::steal(value);
    try {
        return from_tk(owned).release().ptr();
    } catch (nb::python_error &e) {
        e.restore();
        return nullptr;
    } catch (const std::bad_alloc &) {
        PyErr_NoMemory();
        return nullptr;
    }
}

}  // namespace kx
