#include "support/tcl/tclquote.hpp"

#include <cstdint>
#include <cstring>

namespace kx {
namespace {

// Classes of the ASCII characters that matter to quoting.
enum : uint8_t {
    kForce = 1,   // forces braces when scanned
    kEscape = 2,  // backslashed outside braces
    kControl = 4, // written as a two-character escape outside braces
    kOpen = 8,
    kClose = 16,
    kBackslash = 32,
};

struct CharTable {
    uint8_t cls[128] = {};
    char letter[128] = {};
    constexpr CharTable() {
        for (char c : {'[', '$', ';', ' '})
            cls[(int)c] |= kForce;
        for (char c : {']', '[', '$', ';', ' ', '\\', '"'})
            cls[(int)c] |= kEscape;
        const char controls[] = {'\f', '\n', '\r', '\t', '\v'};
        const char letters[] = {'f', 'n', 'r', 't', 'v'};
        for (int i = 0; i < 5; ++i) {
            cls[(int)controls[i]] |= kForce | kControl;
            letter[(int)controls[i]] = letters[i];
        }
        cls[(int)'{'] |= kOpen;
        cls[(int)'}'] |= kClose;
        cls[(int)'\\'] |= kBackslash;
    }
};

constexpr CharTable kTable;

[[noreturn]] void lone_surrogate(PyObject *str, Py_ssize_t pos) {
    nb::object exc = check(PyObject_CallFunction(PyExc_UnicodeEncodeError, "sOnns", "utf-8", str,
                                                 pos, pos + 1, "surrogates not allowed"));
    PyErr_SetObject(PyExc_UnicodeEncodeError, exc.ptr());
    throw nb::python_error();
}

// Whether the surrogate at s[p] cannot go to Tcl: _tkinter encodes text as
// UTF-8 with "surrogateescape", which carries U+DC80..U+DCFF (the bytes that
// text from Tcl decoded that way holds: Tcl's own lone surrogates among
// them) and nothing else. U+DCC0 U+DC80 would become Tcl's NUL: a NUL the
// text does not hold, so that pair is refused too.
template <typename In>
bool unencodable(const In *s, Py_ssize_t p, Py_ssize_t len) {
    Py_UCS4 c = s[p];
    if (c < 0xDC80 || c > 0xDCFF)
        return true;
    return c == 0xDCC0 && p + 1 < len && s[p + 1] == 0xDC80;
}

template <typename In>
ElementScan scan(PyObject *str, const In *s, Py_ssize_t len) {
    ElementScan r;
    r.length = len;
    unsigned flags = 0;
    if (len == 0 || s[0] == '{' || s[0] == '"')
        flags |= kUseBraces;
    r.leading_brace = len > 0 && s[0] == '{';
    long level = 0;        // nesting as the classic formatter counts it
    long tcl_level = 0;    // nesting as Tcl's reader counts it inside braces
    bool tcl_broken = false;
    bool escaped = false;  // previous character was an unescaped backslash
    for (Py_ssize_t p = 0; p < len; ++p) {
        Py_UCS4 c = s[p];
        if (c >= 128) {
            if (sizeof(In) > 1 && c >= 0xD800 && c <= 0xDFFF && unencodable(s, p, len))
                lone_surrogate(str, p);
            escaped = false;
            continue;
        }
        uint8_t cls = kTable.cls[c];
        if (!cls) {
            escaped = false;
            continue;
        }
        if (cls & (kEscape | kControl))
            ++r.escapes;
        if (cls & kForce)
            flags |= kUseBraces;
        if (cls & kOpen) {
            ++r.braces;
            ++level;
            if (!escaped)
                ++tcl_level;
        } else if (cls & kClose) {
            ++r.braces;
            if (--level < 0)
                flags |= kDontUseBraces | kBracesUnmatched;
            if (!escaped && --tcl_level < 0)
                tcl_broken = true;
        } else if (cls & kBackslash) {
            if (p + 1 == len || s[p + 1] == '\n')
                flags = kDontUseBraces | kBracesUnmatched;
            else
                flags |= kUseBraces;
            escaped = !escaped;
            continue;
        }
        escaped = false;
    }
    if (level != 0)
        flags = kDontUseBraces | kBracesUnmatched;
    // Braces that Tcl would not read back as written: quote with backslashes.
    if ((flags & kUseBraces) && !(flags & kDontUseBraces) && (tcl_broken || tcl_level != 0))
        flags |= kDontUseBraces | kBracesUnmatched;
    r.flags = flags;
    return r;
}

template <typename Out, typename In>
Out *write(Out *d, const In *s, Py_ssize_t len, unsigned flags) {
    if (len == 0) {
        *d++ = '{';
        *d++ = '}';
        return d;
    }
    if ((flags & kUseBraces) && !(flags & kDontUseBraces)) {
        *d++ = '{';
        if (sizeof(Out) == sizeof(In)) {
            std::memcpy(d, s, (size_t)len * sizeof(Out));
            d += len;
        } else {
            for (Py_ssize_t i = 0; i < len; ++i)
                *d++ = (Out)s[i];
        }
        *d++ = '}';
        return d;
    }
    Py_ssize_t i = 0;
    if (s[0] == '{') {
        *d++ = '\\';
        *d++ = '{';
        i = 1;
        flags |= kBracesUnmatched;
    }
    const bool unmatched = flags & kBracesUnmatched;
    for (; i < len; ++i) {
        Py_UCS4 c = s[i];
        if (c < 128) {
            uint8_t cls = kTable.cls[c];
            if (cls & kEscape) {
                *d++ = '\\';
            } else if (cls & kControl) {
                *d++ = '\\';
                *d++ = (Out)kTable.letter[c];
                continue;
            } else if ((cls & (kOpen | kClose)) && unmatched) {
                *d++ = '\\';
            }
        }
        *d++ = (Out)c;
    }
    return d;
}

void ready(PyObject *str) {
#if PY_VERSION_HEX < 0x030C0000
    if (PyUnicode_READY(str) < 0)
        throw nb::python_error();
#else
    (void)str;
#endif
}

// Writes `src` quoted under `flags` at code point `pos` of the new str `dst`.
Py_ssize_t write_at(PyObject *dst, Py_ssize_t pos, PyObject *src, unsigned flags) {
    const int dk = PyUnicode_KIND(dst), sk = PyUnicode_KIND(src);
    void *dd = PyUnicode_DATA(dst);
    const void *sd = PyUnicode_DATA(src);
    const Py_ssize_t n = PyUnicode_GET_LENGTH(src);
#define KX_WRITE(OUT, IN) \
    ((OUT *)write((OUT *)dd + pos, (const IN *)sd, n, flags) - (OUT *)dd)
    if (dk == PyUnicode_1BYTE_KIND)
        return KX_WRITE(Py_UCS1, Py_UCS1);
    if (dk == PyUnicode_2BYTE_KIND)
        return sk == PyUnicode_1BYTE_KIND ? KX_WRITE(Py_UCS2, Py_UCS1) : KX_WRITE(Py_UCS2, Py_UCS2);
    if (sk == PyUnicode_1BYTE_KIND)
        return KX_WRITE(Py_UCS4, Py_UCS1);
    if (sk == PyUnicode_2BYTE_KIND)
        return KX_WRITE(Py_UCS4, Py_UCS2);
    return KX_WRITE(Py_UCS4, Py_UCS4);
#undef KX_WRITE
}

Py_ssize_t add_length(Py_ssize_t a, Py_ssize_t b) {
    if (a > PY_SSIZE_T_MAX - b)
        throw std::bad_alloc();
    return a + b;
}

}  // namespace

void check_encodable(PyObject *str) {
    if (PyUnicode_KIND(str) == PyUnicode_1BYTE_KIND)
        return;
    Py_ssize_t n = PyUnicode_GET_LENGTH(str);
    const void *data = PyUnicode_DATA(str);
    for (Py_ssize_t p = 0; p < n; ++p) {
        bool bad = PyUnicode_KIND(str) == PyUnicode_2BYTE_KIND
                       ? (((const Py_UCS2 *)data)[p] >= 0xD800 && ((const Py_UCS2 *)data)[p] <= 0xDFFF &&
                          unencodable((const Py_UCS2 *)data, p, n))
                       : (((const Py_UCS4 *)data)[p] >= 0xD800 && ((const Py_UCS4 *)data)[p] <= 0xDFFF &&
                          unencodable((const Py_UCS4 *)data, p, n));
        if (bad)
            lone_surrogate(str, p);
    }
}

bool has_surrogate(PyObject *str) {
    if (PyUnicode_KIND(str) == PyUnicode_1BYTE_KIND)
        return false;
    Py_ssize_t n = PyUnicode_GET_LENGTH(str);
    int kind = PyUnicode_KIND(str);
    const void *data = PyUnicode_DATA(str);
    for (Py_ssize_t p = 0; p < n; ++p) {
        Py_UCS4 c = PyUnicode_READ(kind, data, p);
        if (c >= 0xD800 && c <= 0xDFFF)
            return true;
    }
    return false;
}

ElementScan scan_element(PyObject *str) {
    ready(str);
    const void *d = PyUnicode_DATA(str);
    Py_ssize_t n = PyUnicode_GET_LENGTH(str);
    switch (PyUnicode_KIND(str)) {
    case PyUnicode_1BYTE_KIND:
        return scan(str, (const Py_UCS1 *)d, n);
    case PyUnicode_2BYTE_KIND:
        return scan(str, (const Py_UCS2 *)d, n);
    default:
        return scan(str, (const Py_UCS4 *)d, n);
    }
}

Py_ssize_t quoted_length(const ElementScan &scan, unsigned flags) {
    if (scan.length == 0)
        return 2;
    if ((flags & kUseBraces) && !(flags & kDontUseBraces))
        return add_length(scan.length, 2);
    bool braces = (flags & kBracesUnmatched) || scan.leading_brace;
    return add_length(add_length(scan.length, scan.escapes), braces ? scan.braces : 0);
}

nb::object convert_element(PyObject *str, unsigned &flags) {
    ElementScan s = scan_element(str);
    nb::object out = check(PyUnicode_New(quoted_length(s, flags), PyUnicode_MAX_CHAR_VALUE(str)));
    write_at(out.ptr(), 0, str, flags);
    if (s.leading_brace && !((flags & kUseBraces) && !(flags & kDontUseBraces)))
        flags |= kBracesUnmatched;
    return out;
}

nb::object join_elements(const std::vector<nb::object> &strs) {
    const size_t n = strs.size();
    if (n == 0)
        return nb::borrow(KX_STR(""));
    std::vector<unsigned> flags(n);
    Py_ssize_t total = (Py_ssize_t)n - 1;
    Py_UCS4 maxchar = 0x7f;
    for (size_t i = 0; i < n; ++i) {
        PyObject *s = strs[i].ptr();
        ElementScan sc = scan_element(s);
        flags[i] = sc.flags;
        total = add_length(total, quoted_length(sc, sc.flags));
        Py_UCS4 m = PyUnicode_MAX_CHAR_VALUE(s);
        if (m > maxchar)
            maxchar = m;
    }
    nb::object out = check(PyUnicode_New(total, maxchar));
    Py_ssize_t pos = 0;
    for (size_t i = 0; i < n; ++i) {
        if (i)
            PyUnicode_WRITE(PyUnicode_KIND(out.ptr()), PyUnicode_DATA(out.ptr()), pos++, ' ');
        pos = write_at(out.ptr(), pos, strs[i].ptr(), flags[i]);
    }
    return out;
}

}  // namespace kx
