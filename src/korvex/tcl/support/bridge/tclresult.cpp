// Values a Python callable returns, as the Tcl objects _tkinter would make of
// them (see bridgestate.hpp), with U+0000 kept whole.
#include "support/bridge/bridgestate.hpp"

#include "support/tcl/tclquote.hpp"

#include <climits>
#include <cstring>
#include <string>

namespace kx {
namespace bridge {
namespace {

const char *const kWhere = " while converting a command's result for Tcl";

[[noreturn]] void too_long() {
    PyErr_SetString(PyExc_OverflowError, "string is too long");
    throw nb::python_error();
}

}  // namespace

PyTypeObject *tk_tcl_obj_type() {
    return KX_ONCE(PyTypeObject *, (PyTypeObject *)keep(import_attr("_tkinter", "Tcl_Obj")));
}

tcl::Obj *str_obj(nb::handle s) {
    const tcl::Api &api = tcl::api();
    Py_ssize_t n = PyUnicode_GET_LENGTH(s.ptr());
    if (n > INT_MAX / 4)
        too_long();
    if (PyUnicode_IS_ASCII(s.ptr())) {
        const char *data = (const char *)PyUnicode_DATA(s.ptr());
        if (!std::memchr(data, 0, (size_t)n))
            return api.NewStringObj(data, (int)n);
    }
    // A surrogate _tkinter could not hand over is refused, as it refuses it;
    // the others (bytes of text that came from Tcl) go back as _tkinter
    // sends them: UTF-8 with "surrogateescape", U+0000 as Tcl's C0 80.
    check_encodable(s.ptr());
    if (has_surrogate(s.ptr())) {
        nb::object utf8 = check(PyUnicode_AsEncodedString(s.ptr(), "utf-8", "surrogateescape"));
        std::string bytes;
        const char *p = PyBytes_AS_STRING(utf8.ptr());
        for (Py_ssize_t i = 0, m = PyBytes_GET_SIZE(utf8.ptr()); i < m; ++i) {
            if (p[i])
                bytes.push_back(p[i]);
            else
                bytes.append("\xC0\x80");
        }
        if (bytes.size() > (size_t)INT_MAX)
            too_long();
        return api.NewStringObj(bytes.data(), (int)bytes.size());
    }
    // As _tkinter hands Tcl 8.6 any other text: UTF-16; Tcl keeps U+0000
    // whole this way.
    nb::object utf16 = check(PyUnicode_AsEncodedString(s.ptr(), PY_LITTLE_ENDIAN ? "utf-16-le" : "utf-16-be",
                                                       "surrogatepass"));
    return api.NewUnicodeObj((const unsigned short *)PyBytes_AS_STRING(utf16.ptr()),
                             (int)(PyBytes_GET_SIZE(utf16.ptr()) / 2));
}

tcl::Obj *to_tcl(nb::handle value, int depth) {
    const tcl::Api &api = tcl::api();
    PyObject *v = value.ptr();
    if (PyBytes_Check(v)) {
        if (PyBytes_GET_SIZE(v) > INT_MAX)
            too_long();
        return api.NewByteArrayObj((const unsigned char *)PyBytes_AS_STRING(v), (int)PyBytes_GET_SIZE(v));
    }
    if (PyBool_Check(v))
        return api.NewBooleanObj(v == Py_True);
    if (PyLong_CheckExact(v)) {
        int overflow = 0;
        long long x = PyLong_AsLongLongAndOverflow(v, &overflow);
        if (x == -1 && PyErr_Occurred())
            throw nb::python_error();
        if (!overflow)
            return api.NewWideIntObj(x);
        return str_obj(check(PyObject_Str(v)));  // Tcl reads the digits as a big integer
    }
    if (PyFloat_Check(v))
        return api.NewDoubleObj(PyFloat_AS_DOUBLE(v));
    if (PyTuple_Check(v) || PyList_Check(v)) {
        RecursionGuard guard(kWhere, depth + 1);
        nb::object items = check(PySequence_Tuple(v));  // a snapshot: str() below runs user code
        Py_ssize_t n = PyTuple_GET_SIZE(items.ptr());
        if (n > INT_MAX / 8)
            too_long();
        std::vector<tcl::Obj *> objs;
        objs.reserve((size_t)n);
        try {
            for (Py_ssize_t i = 0; i < n; ++i) {
                tcl::Obj *o = to_tcl(PyTuple_GET_ITEM(items.ptr(), i), depth + 1);
                tcl::incr_ref(o);
                objs.push_back(o);
            }
        } catch (...) {
            for (tcl::Obj *o : objs)
                tcl::decr_ref(o);
            throw;
        }
        tcl::Obj *list = api.NewListObj((int)n, objs.data());
        for (tcl::Obj *o : objs)
            tcl::decr_ref(o);
        return list;
    }
    if (PyUnicode_Check(v))
        return str_obj(value);
    if (Py_TYPE(v) == tk_tcl_obj_type())
        return reinterpret_cast<TkTclObject *>(v)->value;
    return str_obj(check(PyObject_Str(v)));
}

}  // namespace bridge
}  // namespace kx
