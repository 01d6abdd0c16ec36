#include "support/tcl/tcllist.hpp"

#include <climits>
#include <cstring>
#include <vector>

namespace kx {
namespace tcl {
namespace {

nb::tuple to_tuple(std::vector<nb::object> &items) {
    nb::object t = check(PyTuple_New((Py_ssize_t)items.size()));
    for (size_t i = 0; i < items.size(); ++i)
        PyTuple_SET_ITEM(t.ptr(), (Py_ssize_t)i, items[i].release().ptr());
    return nb::borrow<nb::tuple>(t);
}

// One element's text: ASCII straight into a new str, the rest through decode().
nb::object element(const char *data, size_t size) {
    const unsigned char *s = reinterpret_cast<const unsigned char *>(data);
    size_t i = 0;
    while (i < size && s[i] < 0x80)
        ++i;
    if (i < size)
        return decode(data, size);
    nb::object str = check(PyUnicode_New((Py_ssize_t)size, 127));
    std::memcpy(PyUnicode_DATA(str.ptr()), data, size);
    return str;
}

// The characters below U+0100 for which str.isdigit() is true: 0-9 and the
// superscripts two, three and one. A table, as most text compared is Latin-1.
struct Latin1Digits {
    bool is[256] = {};
    constexpr Latin1Digits() {
        for (int c = '0'; c <= '9'; ++c)
            is[c] = true;
        is[0xB2] = is[0xB3] = is[0xB9] = true;
    }
};
constexpr Latin1Digits kLatin1Digits;

inline bool is_digit(Py_UCS4 c) {
    if (c < 256)
        return kLatin1Digits.is[c];  // NUL is not a digit
    return Py_UNICODE_ISDIGIT(c);
}

inline Py_UCS4 lower(Py_UCS4 c) {
    if (c < 0x80)
        return (c >= 'A' && c <= 'Z') ? c + 32 : c;
    // The simple mapping is the first character of the full lower-case form
    // (U+0130 lowers to "i" + U+0307: "i").
    return Py_UNICODE_TOLOWER(c);
}

template <typename L, typename R>
long compare(const L *left, Py_ssize_t nl, const R *right, Py_ssize_t nr) {
    // Characters past either end read as NUL.
    auto cl = [&](Py_ssize_t i) -> long { return i < nl ? (long)left[i] : 0; };
    auto cr = [&](Py_ssize_t i) -> long { return i < nr ? (long)right[i] : 0; };
    Py_ssize_t il = 0, ir = 0;
    long secondary = 0, diff = 0;
    for (;;) {
        if (is_digit((Py_UCS4)cr(ir)) && is_digit((Py_UCS4)cl(il))) {
            // Two numbers: skip leading zeros (not the last digit), remember
            // which side had more of them as a tie-break.
            long zeros = 0;
            while (cr(ir) == '0' && is_digit((Py_UCS4)cr(ir + 1))) {
                ++ir;
                --zeros;
            }
            while (cl(il) == '0' && is_digit((Py_UCS4)cl(il + 1))) {
                ++il;
                ++zeros;
            }
            if (secondary == 0)
                secondary = zeros;
            // The longer number is the larger; of equal lengths, the first
            // differing digit decides.
            diff = 0;
            for (;;) {
                if (diff == 0)
                    diff = cl(il) - cr(ir);
                ++ir;
                ++il;
                if (!is_digit((Py_UCS4)cr(ir))) {
                    if (is_digit((Py_UCS4)cl(il)))
                        return 1;
                    if (diff != 0)
                        return diff;
                    break;
                }
                if (!is_digit((Py_UCS4)cl(il)))
                    return -1;
            }
            continue;
        }
        if (il >= nl || ir >= nr) {
            diff = cl(il) - cr(ir);
            break;
        }
        Py_UCS4 ul = (Py_UCS4)left[il++], ur = (Py_UCS4)right[ir++];
        diff = (long)lower(ul) - (long)lower(ur);
        if (diff != 0)
            return diff;
        if (secondary == 0)
            secondary = (long)ul - (long)ur;
    }
    return diff != 0 ? diff : secondary;
}

template <typename L>
long compare_right(const L *left, Py_ssize_t nl, PyObject *right) {
    Py_ssize_t nr = PyUnicode_GET_LENGTH(right);
    switch (PyUnicode_KIND(right)) {
    case PyUnicode_1BYTE_KIND:
        return compare(left, nl, PyUnicode_1BYTE_DATA(right), nr);
    case PyUnicode_2BYTE_KIND:
        return compare(left, nl, PyUnicode_2BYTE_DATA(right), nr);
    default:
        return compare(left, nl, PyUnicode_4BYTE_DATA(right), nr);
    }
}

nb::object as_str(nb::handle o) {
    if (PyUnicode_CheckExact(o.ptr()))
        return nb::borrow(o);
    return check(PyObject_Str(o.ptr()));
}

PyObject *abc(const char *name) { return keep(import_attr("collections.abc", name)); }

}  // namespace

nb::tuple split_utf8(const char *data, size_t size, Interp *interp) {
    if (size > (size_t)INT_MAX) {
        PyErr_SetString(PyExc_OverflowError, "string is too long");
        throw nb::python_error();
    }
    const Api &tcl = api();
    const char *const limit = data + size;
    const char *p = data;
    int remain = (int)size;
    std::vector<nb::object> items;
    std::vector<char> buffer;
    while (remain > 0) {
        const char *start = nullptr, *next = nullptr;
        int elem_size = 0, brace = 0;
        if (tcl.FindElement(interp, p, remain, &start, &next, &elem_size, &brace) != kOk)
            raise_error(interp, nb::str("invalid list element"));
        if (start >= limit)  // only white space was left
            break;
        size_t n = (size_t)elem_size;
        if (brace || !std::memchr(start, '\\', n)) {
            // Braced text is taken as it is; collapsing text without a
            // backslash would copy it unchanged.
            items.push_back(element(start, n));
        } else {
            // A backslash sequence may grow: "\" plus the first byte of a
            // 4-byte character becomes an encoded surrogate (3 bytes).
            buffer.resize(2 * n + 8);
            int written = tcl.CopyAndCollapse(elem_size, start, buffer.data());
            items.push_back(element(buffer.data(), (size_t)written));
        }
        p = next;
        remain = (int)(limit - next);
    }
    return to_tuple(items);
}

nb::tuple split_list(nb::handle obj, nb::handle interp) {
    nb::object text = as_str(obj);
    Utf8 utf8(text);
    if (utf8.size() == 0)
        return nb::tuple();
    return split_utf8(utf8.data(), utf8.size(), interp_ptr(interp));
}

nb::tuple get_list_from_any(nb::handle obj, nb::handle interp) {
    PyObject *const sequence = KX_ONCE(PyObject *, abc("Sequence"));
    PyObject *const set = KX_ONCE(PyObject *, abc("Set"));
    PyObject *o = obj.ptr();
    if (PyUnicode_Check(o))
        return split_list(obj, interp);
    PyTypeObject *type = Py_TYPE(o);
    if (type == &PyTuple_Type)
        return nb::borrow<nb::tuple>(obj);
    if (type == &PyLong_Type || type == &PyFloat_Type || type == &PyBool_Type)
        return nb::make_tuple(obj);
    if (type == &PyList_Type)
        return nb::steal<nb::tuple>(check(PyList_AsTuple(o)).release());
    int is = PyObject_IsInstance(o, sequence);
    if (is == 0)
        is = PyObject_IsInstance(o, set);
    if (is < 0)
        throw nb::python_error();
    if (is)
        return nb::steal<nb::tuple>(check(PySequence_Tuple(o)).release());
    if (obj.is_none())
        return nb::tuple();
    return split_list(obj, interp);
}

bool try_list_from_any(nb::handle obj, nb::tuple &out) {
    try {
        out = get_list_from_any(obj);
        return true;
    } catch (nb::python_error &e) {
        if (!e.matches(import_attr("tkinter", "TclError")))
            throw;
        return false;
    }
}

bool is_pair_list(nb::handle obj) {
    nb::tuple fields, pair;
    if (!try_list_from_any(obj, fields))
        return false;
    for (nb::handle field : fields)
        if (!try_list_from_any(field, pair) || pair.size() != 2)
            return false;
    return true;
}

long dictionary_compare(nb::handle left_obj, nb::handle right_obj) {
    nb::object left = as_str(left_obj), right = as_str(right_obj);
    PyObject *l = left.ptr(), *r = right.ptr();
    Py_ssize_t nl = PyUnicode_GET_LENGTH(l);
    switch (PyUnicode_KIND(l)) {
    case PyUnicode_1BYTE_KIND:
        return compare_right(PyUnicode_1BYTE_DATA(l), nl, r);
    case PyUnicode_2BYTE_KIND:
        return compare_right(PyUnicode_2BYTE_DATA(l), nl, r);
    default:
        return compare_right(PyUnicode_4BYTE_DATA(l), nl, r);
    }
}

}  // namespace tcl
}  // namespace kx
