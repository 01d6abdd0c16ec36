#include "support/tcl/tcllib.hpp"

#include "support/tcl/tclquote.hpp"

#include <dlfcn.h>

#include <cmath>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace kx {
namespace tcl {
namespace {

// Set once per extension module (each links its own copy of this library) and
// never changed afterwards.
Api g_api;
bool g_bound = false;
PyObject *g_interp_ptr_type;  // korvex.tcl.internal.Tcl_Interp_p, once that module is imported
PyObject *g_tk_type;          // tkinter.Tk
PyObject *g_tcl_error;        // tkinter.TclError

template <typename Fn>
void resolve(void *handle, const char *name, Fn &fn) {
    void *sym = dlsym(handle, name);
    if (!sym) {
        PyErr_Format(PyExc_AttributeError, "Tcl library has no symbol %s", name);
        throw nb::python_error();
    }
    fn = reinterpret_cast<Fn>(sym);
}

// Makes the library behind `symbol` global in the process. _tkinter's Tcl is
// loaded privately (RTLD_LOCAL, as a dependency of _tkinter), and some Tcl
// extensions (Debian's libexpect among them) call Tcl functions without stubs
// and without naming libtcl as a dependency: `load` of such an extension
// fails with "undefined symbol" unless libtcl's symbols are visible to all.
// Opening the same file again with RTLD_NOLOAD | RTLD_GLOBAL promotes it
// without loading anything; the handle is kept (the library stays anyway).
void make_global(void *symbol) {
    Dl_info info{};
    if (!symbol || !dladdr(symbol, &info) || !info.dli_fname)
        return;
    dlopen(info.dli_fname, RTLD_NOW | RTLD_NOLOAD | RTLD_GLOBAL);
}

bool is_cont(unsigned char c) { return (c & 0xC0) == 0x80; }

// The slow path of decode(): UTF-8 with Tcl's and CESU-8's liberties.
nb::object decode_lenient(const unsigned char *s, size_t n) {
    std::vector<Py_UCS4> out;
    out.reserve(n);
    size_t i = 0;
    auto three = [&](size_t at) -> Py_UCS4 {
        return ((s[at] & 0x0Fu) << 12) | ((s[at + 1] & 0x3Fu) << 6) | (s[at + 2] & 0x3Fu);
    };
    while (i < n) {
        unsigned char b = s[i];
        size_t left = n - i;
        if (b < 0x80) {
            out.push_back(b);
            i += 1;
        } else if (b == 0xC0 && left >= 2 && s[i + 1] == 0x80) {
            out.push_back(0);  // Tcl's NUL
            i += 2;
        } else if (b >= 0xC2 && b <= 0xDF && left >= 2 && is_cont(s[i + 1])) {
            out.push_back(((b & 0x1Fu) << 6) | (s[i + 1] & 0x3Fu));
            i += 2;
        } else if (b >= 0xE0 && b <= 0xEF && left >= 3 && is_cont(s[i + 1]) && is_cont(s[i + 2]) &&
                   (b != 0xE0 || s[i + 1] >= 0xA0)) {
            Py_UCS4 c = three(i);
            if (c < 0xD800 || c > 0xDFFF) {
                out.push_back(c);
                i += 3;
            } else if (c <= 0xDBFF && left >= 6 && s[i + 3] == 0xED && s[i + 4] >= 0xB0 &&
                       s[i + 4] <= 0xBF && is_cont(s[i + 5])) {
                // An encoded high surrogate followed by an encoded low one:
                // one character beyond U+FFFF.
                out.push_back(0x10000 + ((c - 0xD800) << 10) + (three(i + 3) - 0xDC00));
                i += 6;
            } else {
                // A lone surrogate keeps its bytes, escaped, as _tkinter does.
                for (int k = 0; k < 3; ++k)
                    out.push_back(0xDC00u + s[i + k]);
                i += 3;
            }
        } else if (b >= 0xF0 && b <= 0xF4 && left >= 4 && is_cont(s[i + 1]) && is_cont(s[i + 2]) &&
                   is_cont(s[i + 3]) && (b != 0xF0 || s[i + 1] >= 0x90) &&
                   (b != 0xF4 || s[i + 1] <= 0x8F)) {
            out.push_back(((b & 0x07u) << 18) | ((s[i + 1] & 0x3Fu) << 12) |
                          ((s[i + 2] & 0x3Fu) << 6) | (s[i + 3] & 0x3Fu));
            i += 4;
        } else {
            out.push_back(0xDC00u + b);  // surrogateescape
            i += 1;
        }
    }
    return check(PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, out.data(), (Py_ssize_t)out.size()));
}

void ensure_python_refs() {
    if (!g_tcl_error) {
        g_tk_type = keep(import_attr("tkinter", "Tk"));
        g_tcl_error = keep(import_attr("tkinter", "TclError"));
    }
}

// Tcl_Interp_p when korvex.tcl.internal (and so ctypes) has been imported;
// NULL before: until then no such pointer can exist.
PyObject *interp_ptr_type() {
    if (!g_interp_ptr_type) {
        nb::object internal = nb::steal(PyImport_GetModule(KX_STR("korvex.tcl.internal")));
        if (!internal.is_valid()) {
            if (PyErr_Occurred())
                throw nb::python_error();
            return nullptr;
        }
        g_interp_ptr_type = keep(check(PyObject_GetAttrString(internal.ptr(), "Tcl_Interp_p")));
    }
    return g_interp_ptr_type;
}

}  // namespace

void bind(void *handle, nb::handle interp_ptr_type) {
    Api api{};
    resolve(handle, "TclFindElement", api.FindElement);
    resolve(handle, "TclCopyAndCollapse", api.CopyAndCollapse);
    resolve(handle, "Tcl_GetStringResult", api.GetStringResult);
    resolve(handle, "Tcl_ResetResult", api.ResetResult);
    resolve(handle, "Tcl_NewStringObj", api.NewStringObj);
    resolve(handle, "Tcl_NewUnicodeObj", api.NewUnicodeObj);
    resolve(handle, "Tcl_NewWideIntObj", api.NewWideIntObj);
    resolve(handle, "Tcl_NewDoubleObj", api.NewDoubleObj);
    resolve(handle, "Tcl_NewBooleanObj", api.NewBooleanObj);
    resolve(handle, "Tcl_NewByteArrayObj", api.NewByteArrayObj);
    resolve(handle, "Tcl_NewListObj", api.NewListObj);
    resolve(handle, "Tcl_DbIncrRefCount", api.DbIncrRefCount);
    resolve(handle, "Tcl_DbDecrRefCount", api.DbDecrRefCount);
    resolve(handle, "Tcl_GetStringFromObj", api.GetStringFromObj);
    resolve(handle, "Tcl_ListObjGetElements", api.ListObjGetElements);
    resolve(handle, "Tcl_DictObjGet", api.DictObjGet);
    resolve(handle, "Tcl_GetIntFromObj", api.GetIntFromObj);
    resolve(handle, "Tcl_SetObjResult", api.SetObjResult);
    resolve(handle, "Tcl_GetObjResult", api.GetObjResult);
    resolve(handle, "Tcl_SetObjErrorCode", api.SetObjErrorCode);
    resolve(handle, "Tcl_AddObjErrorInfo", api.AddObjErrorInfo);
    resolve(handle, "Tcl_GetReturnOptions", api.GetReturnOptions);
    resolve(handle, "Tcl_GetCommandInfo", api.GetCommandInfo);
    resolve(handle, "Tcl_SetCommandInfo", api.SetCommandInfo);
    resolve(handle, "Tcl_CreateObjCommand", api.CreateObjCommand);
    resolve(handle, "Tcl_FindCommand", api.FindCommand);
    resolve(handle, "Tcl_GetCommandFromObj", api.GetCommandFromObj);
    resolve(handle, "Tcl_DeleteCommandFromToken", api.DeleteCommandFromToken);
    resolve(handle, "Tcl_FindNamespaceVar", api.FindNamespaceVar);
    resolve(handle, "Tcl_SetVar2Ex", api.SetVar2Ex);
    resolve(handle, "Tcl_TraceVar2", api.TraceVar2);
    resolve(handle, "Tcl_UntraceVar2", api.UntraceVar2);
    resolve(handle, "Tcl_EvalObjEx", api.EvalObjEx);
    resolve(handle, "Tcl_EvalObjv", api.EvalObjv);
    resolve(handle, "Tcl_SaveInterpState", api.SaveInterpState);
    resolve(handle, "Tcl_RestoreInterpState", api.RestoreInterpState);
    resolve(handle, "Tcl_DiscardInterpState", api.DiscardInterpState);
    resolve(handle, "Tcl_GetCommandFullName", api.GetCommandFullName);
    resolve(handle, "Tcl_GetAssocData", api.GetAssocData);
    resolve(handle, "Tcl_SetAssocData", api.SetAssocData);
    resolve(handle, "Tcl_DeleteAssocData", api.DeleteAssocData);
    resolve(handle, "Tcl_CancelEval", api.CancelEval);
    resolve(handle, "TclResetCancellation", api.ResetCancellation);
    resolve(handle, "Tcl_AsyncInvoke", api.AsyncInvoke);
    resolve(handle, "Tcl_AsyncCreate", api.AsyncCreate);
    resolve(handle, "Tcl_AsyncMark", api.AsyncMark);
    resolve(handle, "Tcl_AsyncDelete", api.AsyncDelete);
    resolve(handle, "TclSetSlaveCancelFlags", api.SetChildCancelFlags);
    resolve(handle, "Tcl_GetMaster", api.GetParent);
    resolve(handle, "Tcl_SetRecursionLimit", api.SetRecursionLimit);
    resolve(handle, "Tcl_LimitTypeEnabled", api.LimitTypeEnabled);
    resolve(handle, "Tcl_LimitAddHandler", api.LimitAddHandler);
    resolve(handle, "Tcl_LimitRemoveHandler", api.LimitRemoveHandler);
    resolve(handle, "Tcl_LimitSetTime", api.LimitSetTime);
    resolve(handle, "Tcl_LimitSetGranularity", api.LimitSetGranularity);
    resolve(handle, "Tcl_LimitTypeSet", api.LimitTypeSet);
    resolve(handle, "Tcl_LimitTypeReset", api.LimitTypeReset);
    resolve(handle, "Tcl_GetTime", api.GetTime);
    resolve(handle, "Tcl_GetCurrentThread", api.GetCurrentThread);
    resolve(handle, "Tcl_InterpActive", api.InterpActive);
    resolve(handle, "Tcl_ThreadQueueEvent", api.ThreadQueueEvent);
    resolve(handle, "Tcl_ThreadAlert", api.ThreadAlert);
    resolve(handle, "Tcl_Alloc", api.Alloc);
    resolve(handle, "Tcl_Free", api.Free);
    resolve(handle, "Tcl_Preserve", api.Preserve);
    resolve(handle, "Tcl_Release", api.Release);
    resolve(handle, "Tcl_CreateObjTrace", api.CreateObjTrace);
    resolve(handle, "Tcl_DeleteTrace", api.DeleteTrace);
    resolve(handle, "Tcl_GetCommandInfoFromToken", api.GetCommandInfoFromToken);
    resolve(handle, "TclObjInterpProc", api.InterpProc);
    if (void *child = dlsym(handle, "Tcl_GetChild"))
        api.GetChild = reinterpret_cast<Interp *(*)(Interp *, const char *)>(child);
    else  // Tcl before 8.6.12
        resolve(handle, "Tcl_GetSlave", api.GetChild);
    make_global(reinterpret_cast<void *>(api.FindElement));
    ensure_python_refs();
    if (interp_ptr_type.is_valid())
        g_interp_ptr_type = keep(interp_ptr_type);
    g_api = api;
    g_bound = true;
}

std::vector<std::string> library_names() {
    std::vector<std::string> names;
    nb::object tkinter = check(PyImport_ImportModule("_tkinter"));
    nb::object version = nb::steal(PyObject_GetAttrString(tkinter.ptr(), "TCL_VERSION"));
    const char *text = version.is_valid() && PyUnicode_Check(version.ptr())
                           ? PyUnicode_AsUTF8(version.ptr()) : nullptr;
    if (text) {
        names.push_back(std::string("libtcl") + text + ".so");
        names.push_back(std::string("libtcl") + text + ".dylib");
    }
    PyErr_Clear();
    for (const char *v : {"8.4", "8.5", "8.6"})
        for (const char *ext : {".so", ".dylib"}) {
            std::string name = std::string("libtcl") + v + ext;
            bool seen = false;
            for (const std::string &n : names)
                seen = seen || n == name;
            if (!seen)
                names.push_back(name);
        }
    return names;
}

const Api &api() {
    if (!g_bound) {
        // The library as ctypes.CDLL opens it for korvex.tcl.internal (the
        // same names, the same mode), without importing ctypes: the loader
        // hands back the library already loaded under that name.
        void *h = nullptr;
        for (const std::string &name : library_names())
            if ((h = dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL)))
                break;
        if (!h) {
            PyErr_SetString(PyExc_ImportError, "Cannot load Tcl shared library (.so or .dylib)");
            throw nb::python_error();
        }
        bind(h, nb::handle());
    }
    return g_api;
}

namespace {

// The head of _tkinter's application object, the same on every supported
// Python version: the interpreter, then whether Tcl is threaded and the
// thread that created the interpreter (the fields _tkinter compares for its
// own check). Verified against tk.interpaddr() before it is relied on.
struct TkappHead {
    PyObject_HEAD
    Interp *interp;
    int wantobjects;
    int threaded;
    void *thread_id;
};

PyTypeObject *g_tkapp_type = nullptr;  // _tkinter's application type, once seen

bool is_tkapp(PyObject *o) {
    PyTypeObject *t = Py_TYPE(o);
    if (t == g_tkapp_type)
        return true;
    if (std::strcmp(t->tp_name, "_tkinter.tkapp") != 0 || t->tp_basicsize < (Py_ssize_t)sizeof(TkappHead))
        return false;
    if (!g_tkapp_type) {
        // Held from now on, so that the comparison above stays sound
        // (_tkinter's type lives as long as the process anyway).
        Py_INCREF(t);
        g_tkapp_type = t;
    }
    return true;
}

// Whether TkappHead matches this _tkinter: checked on the first application
// object seen. 1 yes, 0 no, -1 not known yet.
int g_head_known = -1;

bool head_matches(PyObject *tk) {
    if (g_head_known < 0) {
        nb::object addr = call_method(tk, KX_ID(interpaddr));
        void *p = PyLong_AsVoidPtr(addr.ptr());
        if (!p && PyErr_Occurred())
            throw nb::python_error();
        const TkappHead *head = reinterpret_cast<const TkappHead *>(tk);
        g_head_known = p && head->interp == p && (head->threaded == 0 || head->threaded == 1);
    }
    return g_head_known == 1;
}

// Attribute of a pointer object holding the application object it was made
// from.
PyObject *owner_name() { return KX_ID(_tkapp); }

}  // namespace

Interp *tkapp_interp(nb::handle tk) {
    PyObject *o = tk.ptr();
    if (!is_tkapp(o) || !head_matches(o))
        return nullptr;
    return reinterpret_cast<const TkappHead *>(o)->interp;
}

Interp *own_thread_interp(nb::handle tk) {
    PyObject *o = tk.ptr();
    if (!is_tkapp(o) || !head_matches(o))
        return nullptr;
    const TkappHead *head = reinterpret_cast<const TkappHead *>(o);
    return head->threaded && head->thread_id == api().GetCurrentThread() ? head->interp : nullptr;
}

void check_thread(nb::handle tk) {
    PyObject *o = tk.ptr();
    if (!is_tkapp(o) || !head_matches(o))
        return;
    const TkappHead *head = reinterpret_cast<const TkappHead *>(o);
    if (head->threaded && head->thread_id != api().GetCurrentThread()) {
        PyErr_SetString(PyExc_RuntimeError,
                        "this Tcl interpreter belongs to another thread: use it only from the thread "
                        "that created it");
        throw nb::python_error();
    }
}

nb::object pointer_to(nb::handle ptr_type, nb::handle tk_interp) {
    nb::object tk = check(PyObject_GetAttr(tk_interp.ptr(), KX_ID(tk)));
    check_thread(tk);
    nb::object addr = call_method(tk, KX_ID(interpaddr));
    nb::object ptr = call(ptr_type, {addr.ptr()});
    set_attr(ptr, owner_name(), tk);
    return ptr;
}

void decr_ref(Obj *o) { g_api.DbDecrRefCount(o, __FILE__, __LINE__); }

nb::object unrecognized_interp_message(nb::handle interp) {
    return check(PyUnicode_FromFormat("Unrecognized Tcl interpreter object: %R", interp.ptr()));
}

Interp *interp_ptr(nb::handle interp, int argpos) {
    api();  // binds the Python references too
    if (interp.is_none())
        return nullptr;
    PyObject *ptr_type = interp_ptr_type();
    int is = ptr_type ? PyObject_IsInstance(interp.ptr(), ptr_type) : 0;
    if (is < 0)
        throw nb::python_error();
    if (!is) {
        is = PyObject_IsInstance(interp.ptr(), g_tk_type);
        if (is < 0)
            throw nb::python_error();
        if (!is) {
            nb::object msg = unrecognized_interp_message(interp);
            nb::object text = check(PyUnicode_FromFormat("argument %d: ValueError: %U", argpos, msg.ptr()));
            nb::object cause = check(PyObject_CallOneArg(PyExc_ValueError, msg.ptr()));
            // (ctypes is imported by the first such failure: a Tcl_Interp_p can only
            // come from the internal module, which imports it anyway.)
            PyObject *argument_error = KX_ONCE(PyObject *, keep(import_attr("ctypes", "ArgumentError")));
            raise_from_none(argument_error, text, cause.ptr());
        }
        nb::object tk = check(PyObject_GetAttr(interp.ptr(), KX_ID(tk)));
        check_thread(tk);
        nb::object addr = call_method(tk, KX_ID(interpaddr));
        void *p = PyLong_AsVoidPtr(addr.ptr());
        if (!p && PyErr_Occurred())
            throw nb::python_error();
        return static_cast<Interp *>(p);
    }
    PyObject *owner;
    if (get_optional_attr(interp.ptr(), owner_name(), &owner) < 0)
        throw nb::python_error();
    if (owner) {
        nb::object tk = nb::steal(owner);
        check_thread(tk);
    }
    nb::object value = check(PyObject_GetAttr(interp.ptr(), KX_ID(value)));
    if (value.is_none())
        return nullptr;
    void *p = PyLong_AsVoidPtr(value.ptr());
    if (!p && PyErr_Occurred())
        throw nb::python_error();
    return static_cast<Interp *>(p);
}

nb::object decode(const char *data, size_t size) {
    PyObject *r = PyUnicode_DecodeUTF8(data, (Py_ssize_t)size, nullptr);
    if (r)
        return nb::steal(r);
    if (!PyErr_ExceptionMatches(PyExc_UnicodeDecodeError))
        throw nb::python_error();
    PyErr_Clear();
    return decode_lenient(reinterpret_cast<const unsigned char *>(data), size);
}

Utf8::Utf8(nb::handle str) {
    if (PyUnicode_IS_ASCII(str.ptr())) {
        data_ = static_cast<const char *>(PyUnicode_DATA(str.ptr()));
        size_ = (size_t)PyUnicode_GET_LENGTH(str.ptr());
    } else {
        // As _tkinter encodes text for Tcl: the bytes of text that came
        // from Tcl (held as U+DC80..U+DCFF) go back as they were; no other
        // surrogate, and no pair that would make Tcl's NUL.
        check_encodable(str.ptr());
        owner_ = check(PyUnicode_AsEncodedString(str.ptr(), "utf-8", "surrogateescape"));
        data_ = PyBytes_AS_STRING(owner_.ptr());
        size_ = (size_t)PyBytes_GET_SIZE(owner_.ptr());
    }
}

nb::object string_result(Interp *interp) {
    if (!interp)
        return nb::str("");
    const char *text = api().GetStringResult(interp);
    return text ? decode(text, std::strlen(text)) : nb::str("");
}

void raise_error(Interp *interp, nb::handle default_msg) {
    ensure_python_refs();
    nb::object msg = string_result(interp);
    if (PyUnicode_GET_LENGTH(msg.ptr()) == 0)
        msg = nb::borrow(default_msg);
    nb::object exc = truth(msg) ? check(PyObject_CallOneArg(g_tcl_error, msg.ptr()))
                                : check(PyObject_CallNoArgs(g_tcl_error));
    // The details every TclError of the package carries.
    nb::object code = nb::tuple();
    if (interp) {
        Obj *options = api().GetReturnOptions(interp, kError);
        incr_ref(options);
        Obj *key = api().NewStringObj("-errorcode", -1);
        incr_ref(key);
        Obj *value = nullptr;
        int n = 0;
        Obj **words = nullptr;
        if (api().DictObjGet(nullptr, options, key, &value) == kOk && value &&
            api().ListObjGetElements(nullptr, value, &n, &words) == kOk) {
            code = check(PyTuple_New(n));
            for (int i = 0; i < n; ++i) {
                int size = 0;
                const char *text = api().GetStringFromObj(words[i], &size);
                PyTuple_SET_ITEM(code.ptr(), i, decode(text, (size_t)size).release().ptr());
            }
        }
        decr_ref(key);
        decr_ref(options);
    }
    nb::object text = truth(msg) ? nb::borrow(msg) : nb::str("");
    const std::pair<const char *, PyObject *> details[] = {
        {"result", text.ptr()}, {"errorcode", code.ptr()}, {"errorinfo", text.ptr()}, {"errorline", Py_None}};
    for (const auto &[name, value] : details)
        if (PyObject_SetAttrString(exc.ptr(), name, value) != 0)
            throw nb::python_error();
    PyErr_SetObject(g_tcl_error, exc.ptr());
    throw nb::python_error();
}

Time now() {
    Time t;
    api().GetTime(&t);
    return t;
}

bool before(const Time &a, const Time &b) {
    return a.sec < b.sec || (a.sec == b.sec && a.usec < b.usec);
}

Time plus(Time t, double seconds) {
    if (!(seconds < 4e9)) {
        // Beyond any run (infinity among them: its fraction would be NaN).
        t.sec = (long)4e9;
        t.usec = 0;
        return t;
    }
    double whole = std::floor(seconds);
    double sec = (double)t.sec + whole;
    if (sec > 4e9)
        sec = 4e9;  // far enough
    t.sec = (long)sec;
    t.usec += (long)((seconds - whole) * 1e6);
    while (t.usec >= 1000000) {
        t.usec -= 1000000;
        ++t.sec;
    }
    return t;
}

}  // namespace tcl
}  // namespace kx
