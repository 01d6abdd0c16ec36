#include "support/tcl/tclnames.hpp"

#include "support/tcl/tclconvert.hpp"

namespace kx {
namespace names {
namespace {

struct Text {
    explicit Text(nb::handle s)
        : kind(PyUnicode_KIND(s.ptr())), data(PyUnicode_DATA(s.ptr())),
          size(PyUnicode_GET_LENGTH(s.ptr())) {}
    Py_UCS4 operator[](Py_ssize_t i) const { return PyUnicode_READ(kind, data, i); }
    int kind;
    const void *data;
    Py_ssize_t size;
};

[[noreturn]] void invalid(nb::handle string) {
    nb::object msg = check(PyUnicode_FromFormat("Invalid Tcl namespace '%U'", string.ptr()));
    PyErr_SetObject(PyExc_ValueError, msg.ptr());
    throw nb::python_error();
}

// Calls f(begin, end) for each non-empty component of `s`, in order. Returns
// whether the name is already normalized (each separator a single "::", no
// trailing separator, not the bare global name). Raises for an odd colon run.
template <typename F>
bool scan(nb::handle s, F &&f) {
    Text t(s);
    bool normal = true;
    Py_ssize_t i = 0, components = 0;
    while (i < t.size) {
        Py_ssize_t run = i;
        while (i < t.size && t[i] == ':')
            ++i;
        Py_ssize_t colons = i - run;
        if (colons % 2)
            invalid(s);
        if (colons > 2 || (colons && i == t.size))
            normal = false;
        Py_ssize_t begin = i;
        while (i < t.size && t[i] != ':')
            ++i;
        if (i > begin) {
            f(begin, i);
            ++components;
        }
    }
    if (t.size && components == 0)
        normal = false;  // "::", "::::": the global name normalizes to ""
    return normal;
}

nb::object text(nb::handle value) { return zelph_str(value); }

}  // namespace

bool is_absolute(nb::handle str) {
    return PyUnicode_GET_LENGTH(str.ptr()) >= 2 && PyUnicode_READ_CHAR(str.ptr(), 0) == ':' &&
           PyUnicode_READ_CHAR(str.ptr(), 1) == ':';
}

// The components of a name, a leading "" for an absolute one.
static nb::object components(nb::handle s) {
    nb::object parts = check(PyList_New(0));
    if (is_absolute(s) && PyList_Append(parts.ptr(), KX_STR("")) != 0)
        throw nb::python_error();
    scan(s, [&](Py_ssize_t b, Py_ssize_t e) {
        nb::object item = check(PyUnicode_Substring(s.ptr(), b, e));
        if (PyList_Append(parts.ptr(), item.ptr()) != 0)
            throw nb::python_error();
    });
    return parts;
}

nb::object split(nb::handle string) { return components(text(string)); }

static nb::object normalize_str(nb::object s) {
    if (PyUnicode_CheckExact(s.ptr()) && scan(s, [](Py_ssize_t, Py_ssize_t) {}))
        return s;  // already normal: no list to build
    return check(PyUnicode_Join(KX_STR("::"), components(s).ptr()));
}

nb::object normalize(nb::handle string) { return normalize_str(text(string)); }

nb::object join(nb::handle string, PyObject *const *args, Py_ssize_t nargs) {
    nb::object s = text(string);
    for (Py_ssize_t k = 0; k < nargs; ++k) {
        nb::object arg = text(args[k]);
        if (PyUnicode_GET_LENGTH(s.ptr()) == 0 || is_absolute(arg))
            s = arg;
        else if (PyUnicode_GET_LENGTH(arg.ptr()) > 0)
            s = check(PyUnicode_FromFormat("%U::%U", s.ptr(), arg.ptr()));
    }
    return normalize_str(s);
}

nb::object join2(nb::handle first, nb::handle second) {
    PyObject *args[1] = {second.ptr()};
    return join(first, args, 1);
}

nb::object tail(nb::handle string) {
    nb::object s = text(string);
    Py_ssize_t n = PyUnicode_GET_LENGTH(s.ptr());
    Py_ssize_t p = PyUnicode_Find(s.ptr(), KX_STR("::"), 0, n, -1);
    if (p == -2)
        throw nb::python_error();
    if (p == -1)
        return s;
    return check(PyUnicode_Substring(s.ptr(), p + 2, n));
}

nb::object qualifiers(nb::handle string) {
    nb::object s = text(string);
    Py_ssize_t n = PyUnicode_GET_LENGTH(s.ptr());
    Py_ssize_t p = PyUnicode_Find(s.ptr(), KX_STR("::"), 0, n, -1);
    if (p == -2)
        throw nb::python_error();
    if (p == -1)
        return nb::borrow(KX_STR(""));
    while (p > 0 && PyUnicode_READ_CHAR(s.ptr(), p - 1) == ':')
        --p;
    return check(PyUnicode_Substring(s.ptr(), 0, p));
}

nb::object parent(nb::handle absolute_name) {
    nb::object parts = split(absolute_name);
    Py_ssize_t n = PyList_GET_SIZE(parts.ptr());
    if (n <= 1)
        return nb::borrow(KX_STR(""));
    if (n == 2)
        return nb::borrow(KX_STR("::"));
    nb::object head = check(PyList_GetSlice(parts.ptr(), 0, n - 1));
    return check(PyUnicode_Join(KX_STR("::"), head.ptr()));
}

}  // namespace names
}  // namespace kx
