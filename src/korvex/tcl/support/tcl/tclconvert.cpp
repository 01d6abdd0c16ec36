#include "support/tcl/tclconvert.hpp"

#include "support/tcl/tclquote.hpp"

#include <cstring>

namespace kx {
namespace {

const char *const kWhere = " while converting a Python object to Tcl";

// Module-lifetime references, taken on first use by each extension module.
PyObject *abc(const char *name) { return keep(import_attr("collections.abc", name)); }
PyObject *sequence_abc() {
    return KX_ONCE(PyObject *, abc("Sequence"));
}
PyObject *set_abc() {
    return KX_ONCE(PyObject *, abc("Set"));
}
PyObject *mapping_abc() {
    return KX_ONCE(PyObject *, abc("Mapping"));
}
PyTypeObject *tcl_obj_type() {
    return KX_ONCE(PyTypeObject *, (PyTypeObject *)keep(import_attr("_tkinter", "Tcl_Obj")));
}

bool is_instance(nb::handle obj, PyObject *cls) {
    int r = PyObject_IsInstance(obj.ptr(), cls);
    if (r < 0)
        throw nb::python_error();
    return r != 0;
}

// Built-in types cannot carry the conversion hooks: skip the lookup.
bool hookless(nb::handle obj) {
    PyTypeObject *t = Py_TYPE(obj.ptr());
    return t == &PyUnicode_Type || t == &PyLong_Type || t == &PyFloat_Type || t == &PyBool_Type ||
           t == &PyList_Type || t == &PyTuple_Type || t == &PyDict_Type || t == &PySet_Type ||
           t == &PyFrozenSet_Type || t == &PyBytes_Type || obj.is_none();
}

// getattr(obj, name, None), a false value counting as absent: the hook, or
// a null object.
nb::object hook(nb::handle obj, PyObject *name) {
    PyObject *found;
    if (get_optional_attr(obj.ptr(), name, &found) < 0)
        throw nb::python_error();
    nb::object h = nb::steal(found);
    if (h.is_valid() && !truth(h))
        h.reset();
    return h;
}

bool is_sequence_or_set(nb::handle obj) {
    PyTypeObject *t = Py_TYPE(obj.ptr());
    if (t == &PyList_Type || t == &PyTuple_Type || t == &PySet_Type || t == &PyFrozenSet_Type)
        return true;
    if (t == &PyDict_Type)
        return false;
    return is_instance(obj, sequence_abc()) || is_instance(obj, set_abc());
}

bool is_mapping(nb::handle obj) {
    return Py_TYPE(obj.ptr()) == &PyDict_Type || is_instance(obj, mapping_abc());
}

// Calls convert(item) for each item, in the order iterating `iterable` gives
// them. A list is read by index against its current size, as its iterator
// does, so a hook that changes the list cannot leave a stale pointer.
template <typename F>
void for_each_item(nb::handle iterable, F &&convert) {
    PyObject *o = iterable.ptr();
    if (PyList_CheckExact(o)) {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(o); ++i)
            convert(nb::borrow(PyList_GET_ITEM(o, i)));
    } else if (PyTuple_CheckExact(o)) {
        for (Py_ssize_t i = 0, n = PyTuple_GET_SIZE(o); i < n; ++i)
            convert(nb::borrow(PyTuple_GET_ITEM(o, i)));
    } else {
        nb::object it = check(PyObject_GetIter(o));
        while (PyObject *item = PyIter_Next(it.ptr()))
            convert(nb::steal(item));
        if (PyErr_Occurred())
            throw nb::python_error();
    }
}

// [key, value, key, value, ...] of a mapping: keys in iteration order, each
// value as mapping[key]. No user code runs while a dict is walked.
nb::object mapping_items(nb::handle mapping) {
    PyObject *o = mapping.ptr();
    if (PyDict_CheckExact(o)) {
        nb::object out = check(PyList_New(2 * PyDict_GET_SIZE(o)));
        Py_ssize_t pos = 0, i = 0;
        PyObject *key, *value;
        while (PyDict_Next(o, &pos, &key, &value)) {
            PyList_SET_ITEM(out.ptr(), i++, nb::borrow(key).release().ptr());
            PyList_SET_ITEM(out.ptr(), i++, nb::borrow(value).release().ptr());
        }
        return out;
    }
    nb::object out = check(PyList_New(0));
    nb::object it = check(PyObject_GetIter(o));
    while (PyObject *raw = PyIter_Next(it.ptr())) {
        nb::object key = nb::steal(raw);
        nb::object value = check(PyObject_GetItem(o, key.ptr()));
        if (PyList_Append(out.ptr(), key.ptr()) < 0 || PyList_Append(out.ptr(), value.ptr()) < 0)
            throw nb::python_error();
    }
    if (PyErr_Occurred())
        throw nb::python_error();
    return out;
}

// str(v) of an int: its decimal digits, made without Python's general
// conversion (a quick call converts its numbers on every call).
nb::object decimal(long long v) {
    char buf[24];
    char *end = buf + sizeof buf, *p = end;
    unsigned long long u = v < 0 ? 0ULL - (unsigned long long)v : (unsigned long long)v;
    do {
        *--p = (char)('0' + u % 10);
        u /= 10;
    } while (u);
    if (v < 0)
        *--p = '-';
    Py_ssize_t n = end - p;
    if (n == 1)
        return check(PyUnicode_FromOrdinal(*p));  // Python keeps these one-character strings
    nb::object s = check(PyUnicode_New(n, 127));
    std::memcpy(PyUnicode_1BYTE_DATA(s.ptr()), p, (size_t)n);
    return s;
}

nb::object str_of(nb::handle obj) {
    return check(PyObject_CallOneArg((PyObject *)&PyUnicode_Type, obj.ptr()));
}

}  // namespace

nb::object zelph(nb::handle obj, int depth) {
    PyObject *o = obj.ptr();
    if (PyUnicode_CheckExact(o))
        return nb::borrow(obj);
    if (!hookless(obj)) {
        if (nb::object h = hook(obj, KX_ID(__zelph__)); h.is_valid())
            return call(h);
        if (nb::object h = hook(obj, KX_ID(__tclobj__)); h.is_valid()) {
            RecursionGuard guard(kWhere, depth + 1);
            nb::object value = call(h);
            return zelph(value, depth + 1);
        }
    }
    if (o == Py_None)
        return nb::borrow(KX_STR(""));
    if (PyUnicode_Check(o))
        return str_of(obj);
    if (PyBool_Check(o))
        return nb::borrow(o == Py_True ? KX_STR("true") : KX_STR("false"));
    if (PyLong_CheckExact(o)) {
        int overflow = 0;
        long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
        if (!overflow && !(v == -1 && PyErr_Occurred()))
            return decimal(v);
        PyErr_Clear();
        return check(PyObject_Str(o));
    }
    if (PyFloat_CheckExact(o))
        return check(PyObject_Str(o));
    if (is_sequence_or_set(obj))
        return zelph_from_sequence(obj, depth);
    if (is_mapping(obj))
        return zelph_from_mapping(obj, depth);
    return str_of(obj);
}

nb::object zelph_str(nb::handle obj, int depth) {
    if (PyUnicode_CheckExact(obj.ptr()))
        return nb::borrow(obj);
    nb::object s = zelph(obj, depth);
    if (!PyUnicode_Check(s.ptr())) {
        PyErr_Format(PyExc_TypeError, "__zelph__ returned non-string (type %.200s)",
                     Py_TYPE(s.ptr())->tp_name);
        throw nb::python_error();
    }
    return s;
}

namespace {

// A list element: zelph(item), and that converted once more by zelph unless
// it is a plain str already (the scanner and quoter each take their argument
// through zelph), so a hook may return any value zelph can convert.
nb::object zelph_element(nb::handle item, int depth) {
    if (PyUnicode_CheckExact(item.ptr()))
        return nb::borrow(item);
    nb::object s = zelph(item, depth);
    if (PyUnicode_CheckExact(s.ptr()))
        return s;
    RecursionGuard guard(kWhere, depth + 1);
    return zelph_str(s, depth + 1);
}

}  // namespace

nb::object zelph_from_sequence(nb::handle iterable, int depth) {
    RecursionGuard guard(kWhere, depth + 1);
    std::vector<nb::object> strs;
    if (PyList_CheckExact(iterable.ptr()) || PyTuple_CheckExact(iterable.ptr()))
        strs.reserve((size_t)Py_SIZE(iterable.ptr()));
    for_each_item(iterable, [&](nb::handle item) { strs.push_back(zelph_element(item, depth + 1)); });
    return join_elements(strs);
}

nb::object zelph_from_mapping(nb::handle mapping, int depth) {
    return zelph_from_sequence(mapping_items(mapping), depth);
}

nb::object zelph_from_array(PyObject *const *items, Py_ssize_t n, int depth) {
    RecursionGuard guard(kWhere, depth + 1);
    std::vector<nb::object> strs;
    strs.reserve((size_t)n);
    for (Py_ssize_t i = 0; i < n; ++i)
        strs.push_back(zelph_element(items[i], depth + 1));
    return join_elements(strs);
}

namespace {

// What _tkinter converts natively, and so without running any Python code
// (the same on every supported Python version): a str or bytes (subclasses
// included, read from their own data), a bool, an int of exactly the built-in
// type (int subclasses go through str()), a float (subclasses included), a
// Tcl_Obj, and a tuple or list (subclasses included, read from their own
// storage, never through __iter__ or __getitem__) of such values. Everything
// else it converts with str(). Inside a tuple or list it does not check
// either conversion: an item whose str() raises, or a str it cannot encode
// (a lone surrogate), crashes the process; where it writes an array element
// it does not check the value either. So everything this package hands over
// is made safe first: tuples and lists hold native values only, and strs are
// encodable.

// Before 3.13 _tkinter hands the text of a str holding U+0000 to Tcl with a
// raw zero byte, where Tcl's own encoding has the two bytes C0 80: Tcl then
// cuts the text wherever it reads it as a C string (script results, for
// one). Its encoder (UTF-8 with "surrogateescape", on every platform but
// Windows) turns U+DCC0 U+DC80 into exactly those two bytes, so a text
// handed to _tkinter has each NUL replaced by that pair; Tcl, and everything
// reading back from it, sees U+0000.
#if PY_VERSION_HEX < 0x030D0000 && !defined(_WIN32)
constexpr bool kMapNul = true;
#else
constexpr bool kMapNul = false;
#endif

bool has_nul(PyObject *s) {
    Py_ssize_t n = PyUnicode_GET_LENGTH(s);
    if (PyUnicode_KIND(s) == PyUnicode_1BYTE_KIND)
        return n && std::memchr(PyUnicode_DATA(s), 0, (size_t)n) != nullptr;
    return PyUnicode_FindChar(s, 0, 0, n, 1) >= 0;
}

nb::object nul_as_tcl(PyObject *s) {
    PyObject *const nul = KX_ONCE(PyObject *, PyUnicode_FromOrdinal(0));
    static const Py_UCS2 units[2] = {0xDCC0, 0xDC80};
    PyObject *const pair = KX_ONCE(PyObject *, PyUnicode_FromKindAndData(PyUnicode_2BYTE_KIND, units, 2));
    if (!nul || !pair)
        throw nb::python_error();
    return check(PyUnicode_Replace(s, nul, pair, -1));
}

// Whether _tkinter converts `o` (not a tuple or list) natively, without fail;
// `wire`: and it reaches Tcl as it is (see kMapNul). A str it cannot encode
// raises what _tkinter would have failed with.
bool native_scalar(PyObject *o, bool wire) {
    if (PyUnicode_Check(o)) {
        check_encodable(o);
        return !(wire && kMapNul && has_nul(o));
    }
    return PyBytes_Check(o) || PyLong_CheckExact(o) || PyBool_Check(o) || PyFloat_Check(o) ||
           Py_IS_TYPE(o, tcl_obj_type());
}

// The items of a tuple or list as _tkinter reads them: a tuple itself, a
// list's storage as a new tuple (so a hook cannot change it meanwhile).
nb::object storage_tuple(PyObject *o) {
    if (PyTuple_Check(o))
        return nb::borrow(o);
    nb::object items = check(PyList_GetSlice(o, 0, PY_SSIZE_T_MAX));
    return check(PyList_AsTuple(items.ptr()));
}

// Whether `o`, a tuple or list, holds only what _tkinter converts natively,
// at any depth. With `lists`, lists count as well as tuples. Runs no Python
// code, so nothing can change the containers while they are looked at.
bool native_items(PyObject *o, int depth, bool lists, bool wire) {
    RecursionGuard guard(kWhere, depth + 1);
    bool is_list = PyList_Check(o);
    for (Py_ssize_t i = 0; i < (is_list ? PyList_GET_SIZE(o) : PyTuple_GET_SIZE(o)); ++i) {
        PyObject *p = is_list ? PyList_GET_ITEM(o, i) : PyTuple_GET_ITEM(o, i);
        if (PyUnicode_CheckExact(p) && PyUnicode_IS_ASCII(p)) {
            if (wire && kMapNul && has_nul(p))
                return false;
            continue;  // the common word
        }
        bool ok;
        if (PyTuple_Check(p) || PyList_Check(p))
            ok = (lists || PyTuple_Check(p)) && native_items(p, depth + 1, lists, wire);
        else
            ok = native_scalar(p, wire);
        if (!ok)
            return false;
    }
    return true;
}

nb::object make_safe(nb::handle v, int depth, bool wire) {
    PyObject *o = v.ptr();
    if (!PyTuple_Check(o) && !PyList_Check(o)) {
        if (native_scalar(o, wire))
            return nb::borrow(v);
        if (PyUnicode_Check(o))
            return nul_as_tcl(o);  // encodable, holding NUL
        return make_safe(check(PyObject_Str(o)), depth, wire);  // what _tkinter would send
    }
    // A tuple of native items is kept; a list becomes a tuple (a snapshot).
    if (PyTuple_Check(o) && native_items(o, depth, false, wire))
        return nb::borrow(v);
    RecursionGuard guard(kWhere, depth + 1);
    nb::object items = storage_tuple(o);
    Py_ssize_t n = PyTuple_GET_SIZE(items.ptr());
    nb::object out = check(PyTuple_New(n));
    for (Py_ssize_t i = 0; i < n; ++i)
        PyTuple_SET_ITEM(out.ptr(), i, make_safe(PyTuple_GET_ITEM(items.ptr(), i), depth + 1, wire)
                                           .release().ptr());
    return out;
}

bool all_safe(PyObject *o, int depth) { return native_items(o, depth, true, false); }

}  // namespace

nb::object tcl_safe(nb::handle v, int depth) { return make_safe(v, depth, false); }

nb::object tk_value(nb::handle v, int depth) {
    PyObject *o = v.ptr();
    if (PyUnicode_CheckExact(o) && PyUnicode_IS_ASCII(o) && !(kMapNul && has_nul(o)))
        return nb::borrow(v);
    return make_safe(v, depth, true);
}

nb::object tk_text(nb::handle v, int depth) {
    PyObject *o = v.ptr();
    if (PyUnicode_CheckExact(o))
        return nb::borrow(v);
    if (PyBool_Check(o))
        return nb::borrow(o == Py_True ? KX_STR("1") : KX_STR("0"));
    if (PyBytes_Check(o))  // a Tcl byte array: one character per byte
        return check(PyUnicode_DecodeLatin1(PyBytes_AS_STRING(o), PyBytes_GET_SIZE(o), nullptr));
    if (PyTuple_Check(o) || PyList_Check(o)) {
        RecursionGuard guard(kWhere, depth + 1);
        nb::object items = storage_tuple(o);
        std::vector<nb::object> strs;
        for (nb::handle item : nb::borrow<nb::tuple>(items))
            strs.push_back(tk_text(item, depth + 1));
        return join_elements(strs);
    }
    return str_of(v);
}

// tclobj(obj), also telling whether a __tclobj__ hook made the value.
nb::object tclobj_impl(nb::handle obj, int depth, bool &from_hook) {
    PyObject *o = obj.ptr();
    from_hook = false;
    if (!hookless(obj))
        if (nb::object h = hook(obj, KX_ID(__tclobj__)); h.is_valid()) {
            from_hook = true;
            nb::object r = call(h);
            // A tuple or list is handed on as it is when _tkinter can take it.
            if ((PyTuple_Check(r.ptr()) || PyList_Check(r.ptr())) && !all_safe(r.ptr(), depth))
                return tcl_safe(r, depth);
            return r;
        }
    if (o == Py_None)
        return nb::borrow(KX_STR(""));
    if (PyUnicode_Check(o) || PyBytes_Check(o) || PyFloat_Check(o) || PyBool_Check(o) ||
        PyObject_TypeCheck(o, tcl_obj_type()))
        return nb::borrow(obj);
    if (PyLong_CheckExact(o)) {
        int overflow = 0;
        long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
        if (v == -1 && PyErr_Occurred())
            throw nb::python_error();
        if (!overflow && v >= -(long long)PY_SSIZE_T_MAX - 1 && v <= (long long)PY_SSIZE_T_MAX)
            return nb::borrow(obj);
    }
    if (is_sequence_or_set(obj))
        return tclobj_from_sequence(obj, depth);
    if (is_mapping(obj))
        return tclobj_from_mapping(obj, depth);
    // A __zelph__ hook may return anything: hand on only what _tkinter takes.
    nb::object text = zelph(obj, depth);
    if (PyUnicode_CheckExact(text.ptr()))
        return text;
    from_hook = true;
    return tcl_safe(text, depth);
}

nb::object tclobj(nb::handle obj, int depth) {
    bool from_hook;
    return tclobj_impl(obj, depth, from_hook);
}

nb::object tclobj_word(nb::handle obj, int depth) {
    bool from_hook;
    nb::object value = tclobj_impl(obj, depth, from_hook);
    if (PyUnicode_Check(value.ptr())) {
        check_encodable(value.ptr());
        return value;
    }
    // Tuples made here are safe already; what a hook made is checked again.
    if (from_hook || !PyTuple_CheckExact(value.ptr()))
        return tcl_safe(value, depth);
    return value;
}

nb::object tclobj_from_sequence(nb::handle iterable, int depth) {
    RecursionGuard guard(kWhere, depth + 1);
    nb::object out = check(PyList_New(0));
    for_each_item(iterable, [&](nb::handle item) {
        nb::object value = tclobj_word(item, depth + 1);
        if (PyList_Append(out.ptr(), value.ptr()) < 0)
            throw nb::python_error();
    });
    return check(PyList_AsTuple(out.ptr()));
}

nb::object tclobj_from_mapping(nb::handle mapping, int depth) {
    return tclobj_from_sequence(mapping_items(mapping), depth);
}

}  // namespace kx
