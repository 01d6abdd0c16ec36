#include "support/bridge/casts.hpp"
#include "support/bridge/bridge.hpp"
#include "support/tcl/tclconvert.hpp"
#include "support/tcl/tcllib.hpp"
#include "support/tcl/tcllist.hpp"
#include "support/tcl/tkvalue.hpp"

#include <cstring>

namespace kx {
namespace casts {

namespace {

PyObject *g_tcl_error;  // tkinter.TclError
PyObject *g_array;      // Array
PyObject *g_mardeck;    // Mardeck
PyObject *g_tcl_obj;    // _tkinter.Tcl_Obj

// The name under which TclX registers its keyed-list object type.
constexpr const char *kKeyedListType = "keyedList";

}  // namespace

void init(PyObject *tcl_error, PyObject *array, PyObject *mardeck, PyObject *tcl_obj) {
    g_tcl_error = tcl_error;
    g_array = array;
    g_mardeck = mardeck;
    g_tcl_obj = tcl_obj;
}

PyObject *try_method(nb::handle self, PyObject *name, nb::handle value) {
    PyObject *stack[2] = {self.ptr(), value.ptr()};
    return PyObject_VectorcallMethod(name, stack, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
}

nb::object own_tk(nb::handle self) {
    nb::object tk = attr(self, KX_ID(tk));
    bridge::check_open(tk);
    tcl::check_thread(tk);
    return tk;
}

// self.<getter>(value), and on TypeError self.<getter>(zelph(value)).
static nb::object cast_number(nb::handle self, PyObject *getter, nb::handle given) {
    own_tk(self);
    nb::object value = from_tk(given);
    PyObject *r = try_method(self, getter, value);
    if (r)
        return nb::steal(r);
    if (!PyErr_ExceptionMatches(PyExc_TypeError))
        throw nb::python_error();
    PyErr_Clear();
    nb::object text = zelph(value);
    return check(try_method(self, getter, text));
}

nb::object cast_int(nb::handle self, nb::handle value) {
    return cast_number(self, KX_ID(getint), value);
}

nb::object cast_double(nb::handle self, nb::handle value) {
    return cast_number(self, KX_ID(getdouble), value);
}

// value != 0 for a number cast of `value`, or NULL (error set) when the cast
// raised.
static PyObject *nonzero(nb::handle self, PyObject *cast, nb::handle value, PyObject *zero) {
    nb::object number = nb::steal(try_method(self, cast, value));
    if (!number.is_valid())
        return nullptr;
    return PyObject_RichCompare(number.ptr(), zero, Py_NE);
}

nb::object cast_boolean(nb::handle self, nb::handle given) {
    nb::object tk = own_tk(self);
    nb::object value = from_tk(given);
    tcl::api().ResetResult(tcl::interp_ptr(self));
    PyObject *r = try_method(tk, KX_ID(getboolean), value);
    if (!r && PyErr_ExceptionMatches(PyExc_TypeError)) {
        PyErr_Clear();
        nb::object text = zelph(value);
        r = try_method(tk, KX_ID(getboolean), text);
    }
    if (r) {
        nb::object flag = nb::steal(r);
        return nb::bool_(truth(flag));
    }
    if (!PyErr_ExceptionMatches(g_tcl_error) || bridge::pending_must_propagate())
        throw nb::python_error();
    nb::object exc = fetch_exception();
    nb::object zero = nb::int_(0);
    r = nonzero(self, KX_ID(cast_int), value, zero.ptr());
    if (!r && PyErr_ExceptionMatches(PyExc_ValueError)) {
        PyErr_Clear();
        nb::object fzero = nb::float_(0.0);
        r = nonzero(self, KX_ID(cast_double), value, fzero.ptr());
        if (!r && PyErr_ExceptionMatches(PyExc_ValueError)) {
            PyErr_Clear();
            raise_from(PyExc_ValueError, exc, exc);
        }
    }
    return check(r);
}

nb::object cast_list(nb::handle value, nb::handle item_cast) {
    nb::tuple result;
    try {
        result = tcl::get_list_from_any(from_tk(value));
    } catch (nb::python_error &e) {
        if (!e.matches(g_tcl_error) || bridge::must_propagate(e.value()))
            throw;
        nb::object exc = nb::borrow(e.value());
        raise_from(PyExc_ValueError, exc, exc);
    }
    if (item_cast.is_none())
        return result;
    Py_ssize_t n = PyTuple_GET_SIZE(result.ptr());
    nb::object out = check(PyTuple_New(n));
    for (Py_ssize_t i = 0; i < n; ++i)
        PyTuple_SET_ITEM(out.ptr(), i, call(item_cast, {PyTuple_GET_ITEM(result.ptr(), i)}).release().ptr());
    return out;
}

// container.from_tcl(value), then each value (of `pairs`) through item_cast.
static nb::object cast_container(PyObject *cls, PyObject *pairs_method, nb::handle value, nb::handle item_cast) {
    nb::object result = call_method(cls, KX_ID(from_tcl), {from_tk(value).ptr()});
    if (item_cast.is_none())
        return result;
    nb::object pairs = check(PySequence_List(call_method(result, pairs_method).ptr()));
    Py_ssize_t index = 0;
    for (nb::handle element : pairs) {
        nb::object pair = as_pair(element, index++);  // the method may be replaced
        nb::object key = nb::borrow(PyTuple_GET_ITEM(pair.ptr(), 0));
        nb::object item = call(item_cast, {PyTuple_GET_ITEM(pair.ptr(), 1)});
        if (PyObject_SetItem(result.ptr(), key.ptr(), item.ptr()) != 0)
            throw nb::python_error();
    }
    return result;
}

nb::object cast_array(nb::handle value, nb::handle item_cast) {
    return cast_container(g_array, KX_ID(items), value, item_cast);
}

nb::object cast_keyed_list(nb::handle value, nb::handle item_cast) {
    return cast_container(g_mardeck, KX_ID(all_items), value, item_cast);
}

bool is_keyed_list_obj(nb::handle value) {
    if (Py_TYPE(value.ptr()) != (PyTypeObject *)g_tcl_obj)
        return false;
    nb::object name = check(PyObject_GetAttr(value.ptr(), KX_ID(typename)));
    return PyUnicode_Check(name.ptr()) &&
           PyUnicode_CompareWithASCIIString(name.ptr(), kKeyedListType) == 0;
}

bool trial(PyObject *r, nb::object &out) {
    if (r) {
        out = nb::steal(r);
        return true;
    }
    if ((!PyErr_ExceptionMatches(PyExc_TypeError) && !PyErr_ExceptionMatches(PyExc_ValueError)) ||
        bridge::pending_must_propagate())
        throw nb::python_error();
    PyErr_Clear();
    return false;
}

// Whether a text may be a Tcl number or boolean at all: those start (after
// white space) with a digit, a sign, a point, or the first letter of a
// boolean word, "inf" or "nan", and hold no NUL. Texts that cannot be skip
// the trials.
bool may_be_number_or_boolean(nb::handle text) {
    Py_ssize_t n = PyUnicode_GET_LENGTH(text.ptr());
    if (PyUnicode_IS_ASCII(text.ptr())) {
        // The same, reading the text once: its first character that is not
        // white space, then no U+0000 anywhere.
        const char *s = (const char *)PyUnicode_DATA(text.ptr());
        Py_ssize_t i = 0;
        while (i < n && Py_UNICODE_ISSPACE((Py_UCS4)(unsigned char)s[i]))
            ++i;
        if (i == n || s[i] == 0 || !std::strchr("0123456789+-.tTfFyYnNoOiI", s[i]))
            return false;
        return !std::memchr(s + i, 0, (size_t)(n - i));
    }
    if (PyUnicode_FindChar(text.ptr(), 0, 0, n, 1) != -1)
        return false;
    int kind = PyUnicode_KIND(text.ptr());
    const void *data = PyUnicode_DATA(text.ptr());
    for (Py_ssize_t i = 0; i < n; ++i) {
        Py_UCS4 c = PyUnicode_READ(kind, data, i);
        if (Py_UNICODE_ISSPACE(c))
            continue;
        return c < 128 && std::strchr("0123456789+-.tTfFyYnNoOiI", (int)c) != nullptr;
    }
    return false;
}

// Whether a text holds no Tcl list element: empty, or only the white space
// that separates list elements. Such a text is no keyed list (a keyed-list
// cast would make an empty Mardeck of it and lose the text).
bool holds_no_element(nb::handle text) {
    Py_ssize_t n = PyUnicode_GET_LENGTH(text.ptr());
    int kind = PyUnicode_KIND(text.ptr());
    const void *data = PyUnicode_DATA(text.ptr());
    for (Py_ssize_t i = 0; i < n; ++i) {
        Py_UCS4 c = PyUnicode_READ(kind, data, i);
        if (c != ' ' && (c < '\t' || c > '\r'))
            return false;
    }
    return true;
}

}  // namespace casts
}  // namespace kx
