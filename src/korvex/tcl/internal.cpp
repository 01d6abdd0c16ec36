// korvex.tcl.internal: the Tcl shared library (the one _tkinter uses) through
// ctypes, mirrors of Tcl's object structures, list splitting with Tcl's own
// element scanner, and Tcl's dictionary order.
#include "support/python/module.hpp"
#include "support/python/classdef.hpp"
#include "support/python/fastcall.hpp"
#include "support/python/foreigncalls.hpp"
#include "support/tcl/tcllist.hpp"

#include <string>
#include <vector>

using namespace nb::literals;

namespace kx {
namespace {

// Module-lifetime references, taken once at import.
PyObject *g_cast;       // ctypes.cast
PyObject *g_c_void_p;   // ctypes.c_void_p
PyObject *g_c_char_p;   // ctypes.c_char_p
PyObject *g_interp_p;   // Tcl_Interp_p
PyObject *g_tk;         // tkinter.Tk

// --- pointer arithmetic on ctypes pointers ----------------------------------

nb::object ptr_value(nb::handle ptr) {
    nb::object p = call(g_cast, {ptr.ptr(), g_c_void_p});
    return check(PyObject_GetAttr(p.ptr(), KX_ID(value)));
}

// A pointer of ptr's type, `count` bytes further on (add) or back.
nb::object ptr_move(nb::handle ptr, nb::handle count, bool add) {
    nb::object p = call(g_cast, {ptr.ptr(), g_c_void_p});
    nb::object value = check(PyObject_GetAttr(p.ptr(), KX_ID(value)));
    nb::object moved = check(add ? PyNumber_Add(value.ptr(), count.ptr())
                                 : PyNumber_Subtract(value.ptr(), count.ptr()));
    set_attr(p, KX_ID(value), moved);
    return call(g_cast, {p.ptr(), (PyObject *)Py_TYPE(ptr.ptr())});
}

nb::object ptr_add(nb::handle ptr, nb::handle count) { return ptr_move(ptr, count, true); }
nb::object ptr_sub(nb::handle ptr, nb::handle count) { return ptr_move(ptr, count, false); }

nb::object ptr_diff(nb::handle ptr1, nb::handle ptr2) {
    nb::object a = ptr_value(ptr1), b = ptr_value(ptr2);
    return check(PyNumber_Subtract(a.ptr(), b.ptr()));
}

// --- interpreters and results -----------------------------------------------

nb::object interp_from_param(nb::handle, nb::handle interp) {
    int is = PyObject_IsInstance(interp.ptr(), g_interp_p);
    if (is < 0)
        throw nb::python_error();
    if (is)
        return nb::borrow(interp);
    if (interp.is_none())
        return call(g_interp_p);
    is = PyObject_IsInstance(interp.ptr(), g_tk);
    if (is < 0)
        throw nb::python_error();
    if (is)  // keeps the interpreter alive, and checks the thread where used
        return tcl::pointer_to(g_interp_p, interp);
    PyErr_SetObject(PyExc_ValueError, tcl::unrecognized_interp_message(interp).ptr());
    throw nb::python_error();
}

nb::object error_from_interp(nb::handle interp, nb::handle default_msg) {
    tcl::Interp *p = truth(interp) ? tcl::interp_ptr(interp) : nullptr;
    tcl::raise_error(p, default_msg);
}

nb::object c_char_p_from_obj(nb::handle obj) {
    nb::object data;
    if (obj.is_none()) {
        data = check(PyBytes_FromStringAndSize("", 0));
    } else {
        nb::object text = check(PyObject_Str(obj.ptr()));
        data = check(PyUnicode_AsUTF8String(text.ptr()));
    }
    return call(g_c_char_p, {data.ptr()});
}

// --- the hot functions ------------------------------------------------------

struct GetListFromAny {
    static constexpr const char *name = "GetListFromAny";
    static constexpr const char *names[] = {"obj", "interp"};
    static constexpr size_t required = 1;
    static nb::object body(PyObject *const *args) {
        nb::handle interp = args[1] ? nb::handle(args[1]) : nb::none();
        return tcl::get_list_from_any(args[0], interp);
    }
};

struct DictionaryCompare {
    static constexpr const char *name = "DictionaryCompare";
    static constexpr const char *names[] = {"left", "right"};
    static constexpr size_t required = 2;
    static nb::object body(PyObject *const *args) {
        return check(PyLong_FromLong(tcl::dictionary_compare(args[0], args[1])));
    }
};

PyMethodDef get_list_def = {
    GetListFromAny::name, (PyCFunction)(void (*)())fastcall<GetListFromAny>,
    METH_FASTCALL | METH_KEYWORDS,
    "GetListFromAny(obj, interp=None)\n--\n\n"
    "Convert any Tcl object/string to a Python list (tuple)\n\n"
    "An object that is already a valid Python list is returned unchanged\n"
    "(converted to list if necessary); anything else is split as Tcl list\n"
    "text by the Tcl library's own element scanner.\n\n"
    ">>> GetListFromAny(\"a b c {de} {f g h { i }}\")\n"
    "('a', 'b', 'c', 'de', 'f g h { i }')\n"};

PyMethodDef dictionary_compare_def = {
    DictionaryCompare::name, (PyCFunction)(void (*)())fastcall<DictionaryCompare>,
    METH_FASTCALL | METH_KEYWORDS,
    "DictionaryCompare(left, right)\n--\n\n"
    "DictionaryCompare\n\n"
    "    This function compares two strings as if they were being used in\n"
    "    an index or card catalog.  The case of alphabetic characters is\n"
    "    ignored, except to break ties.  Thus \"B\" comes before \"b\" but\n"
    "    after \"a\".  Also, integers embedded in the strings compare in\n"
    "    numerical order.  In other words, \"x10y\" comes after \"x9y\", not\n"
    "    before it as it would when using strcmp().\n\n"
    "Results:\n"
    "    A negative result means that the first element comes before the\n"
    "    second, and a positive result means that the second element\n"
    "    should come first.  A result of zero means the two elements are\n"
    "    equal and it doesn't matter which comes first.\n\n"
    "Side effects:\n"
    "    None.\n\n"
    "From: Tcl 8.4.19, generic/tclCmdIL.c, DictionaryCompare\n"};

// --- loading the library ----------------------------------------------------

nb::object load_library(nb::module_ &m, nb::handle ctypes) {
    nb::object cdll = nb::getattr(ctypes, "CDLL");
    for (const std::string &name : tcl::library_names()) {
        nb::str lib(name.c_str());
        m.attr("lib") = lib;
        PyObject *dll = PyObject_CallOneArg(cdll.ptr(), lib.ptr());
        if (dll)
            return nb::steal(dll);
        if (!PyErr_ExceptionMatches(PyExc_OSError))
            throw nb::python_error();
        PyErr_Clear();
    }
    PyErr_SetString(PyExc_ImportError, "Cannot load Tcl shared library (.so or .dylib)");
    throw nb::python_error();
}

// --- calls that give up the GIL behind _tkinter's back ----------------------

// ctypes releases the GIL around each call of a TclDLL function, and Tcl may
// run a command of the package from inside it: each call is marked on its
// thread (see foreigncalls.hpp), so that the command takes the GIL itself.
ternaryfunc g_foreign_call;  // ctypes' own call of a function pointer

nb::object marked_call(nb::handle self, nb::args args, nb::kwargs kwargs) {
    PyObject *r;
    {
        foreign::Scope in_tcl(true);
        r = g_foreign_call(self.ptr(), args.ptr(), kwargs.ptr());
    }
    if (!r)
        throw nb::python_error();
    return nb::steal(r);
}

// The library's function class (what `TclDLL.name` and `TclDLL[name]` make)
// becomes one whose calls are marked; the library object stays a ctypes.CDLL.
void mark_calls(nb::module_ &m, nb::handle dll) {
    foreign::init();
    nb::object base = dll.attr("_FuncPtr");
    g_foreign_call = ((PyTypeObject *)base.ptr())->tp_call;
    if (!g_foreign_call) {
        PyErr_SetString(PyExc_TypeError, "ctypes function pointers are not callable");
        throw nb::python_error();
    }
    ClassDef c(m, "_FuncPtr", {base}, "A function of the Tcl library whose calls are marked for the package.");
    c.set("_flags_", base.attr("_flags_")).set("_restype_", base.attr("_restype_"));
    c.set("__call__", nb::cpp_function(&marked_call, nb::is_method(), nb::name("__call__")));
    nb::setattr(dll, "_FuncPtr", c.finish(true));
}

void declare(nb::handle dll, const char *name, nb::list argtypes, nb::handle restype) {
    nb::object fn = nb::getattr(dll, name);
    nb::setattr(fn, "argtypes", argtypes);
    nb::setattr(fn, "restype", restype);
}

// ctypes.Structure / Union subclass with fields assigned after creation.
nb::object structure(nb::module_ &m, const char *name, nb::handle base, const char *doc,
                     const char *qualname = nullptr,
                     std::initializer_list<std::pair<const char *, nb::handle>> members = {}) {
    ClassDef c(m, name, {base}, doc, qualname);
    for (auto &member : members)
        c.set(member.first, member.second);
    return c.finish(qualname != nullptr);
}

}  // namespace
}  // namespace kx

KX_MODULE(internal, m) {
    using namespace kx;
    m.doc() =
        "Access to some internals of Tcl's own code, including internal structures\n"
        "and APIs, next to the interpreter that tkinter creates.\n\n"
        "Implements:\n"
        "  ReturnCodes       Tcl's completion codes\n"
        "  TclDLL            the Tcl shared library (ctypes.CDLL) with the functions used here\n"
        "  Tcl_ObjType       Tcl's object type structure\n"
        "  Tcl_Obj           Tcl's object structure\n"
        "  GetListFromAny    Tcl list splitting with Tcl's own element scanner\n"
        "  DictionaryCompare Tcl's dictionary string order\n";

    nb::object ctypes = nb::module_::import_("ctypes");
    m.attr("ctypes") = ctypes;
    nb::object tkinter = nb::module_::import_("tkinter");
    m.attr("tkinter") = tkinter;
    m.attr("Sequence") = import_attr("collections.abc", "Sequence");
    m.attr("Set") = import_attr("collections.abc", "Set");
    m.attr("unicode") = nb::handle((PyObject *)&PyUnicode_Type);
    g_cast = keep(ctypes.attr("cast"));
    g_c_void_p = keep(ctypes.attr("c_void_p"));
    g_c_char_p = keep(ctypes.attr("c_char_p"));
    g_tk = keep(tkinter.attr("Tk"));

    ClassDef codes(m, "ReturnCodes", {}, "Tcl's completion codes.");
    codes.set("TCL_OK", nb::int_(0))
        .set("TCL_ERROR", nb::int_(1))
        .set("TCL_RETURN", nb::int_(2))
        .set("TCL_BREAK", nb::int_(3))
        .set("TCL_CONTINUE", nb::int_(4));
    codes.finish();

    nb::object dll = load_library(m, ctypes);
    mark_calls(m, dll);
    m.attr("TclDLL") = dll;

    m.def("_ptr_add", &ptr_add, "ptr"_a.none(), "count"_a.none(),
          "A pointer of the same ctypes type as `ptr`, `count` bytes further on.");
    m.def("_ptr_sub", &ptr_sub, "ptr"_a.none(), "count"_a.none(),
          "A pointer of the same ctypes type as `ptr`, `count` bytes back.");
    m.def("_ptr_diff", &ptr_diff, "ptr1"_a.none(), "ptr2"_a.none(),
          "The signed byte distance from `ptr2` to `ptr1`.");
    m.def("TclError_from_interp", &error_from_interp, "interp"_a.none(),
          "default_msg"_a.none() = nb::none(),
          "Raise tkinter.TclError with the interpreter's result text, or with\n"
          "`default_msg` when there is no interpreter or its result is empty.\n"
          "Never returns; write `raise TclError_from_interp(...)`.");
    m.attr("TclError_from_interp") = make_routine(m.attr("TclError_from_interp"), m);

    ClassDef interp_p(m, "Tcl_Interp_p", {ctypes.attr("c_void_p")},
                      "An opaque pointer to a Tcl interpreter (``Tcl_Interp *``).");
    interp_p.def_classmethod(
        "from_param", &interp_from_param, "interp"_a.none(),
        "Convert None, a Tcl_Interp_p or a tkinter.Tk to a Tcl_Interp_p.");
    g_interp_p = keep(interp_p.finish());

    nb::handle c_int = ctypes.attr("c_int"), c_char_p = g_c_char_p;
    nb::object ptr = ctypes.attr("POINTER");
    declare(dll, "TclFindElement",
            nb::list(nb::make_tuple(nb::handle(g_interp_p), c_char_p, c_int, ptr(c_char_p),
                                    ptr(c_char_p), ptr(c_int), ptr(c_int))),
            c_int);
    declare(dll, "TclCopyAndCollapse", nb::list(nb::make_tuple(c_int, c_char_p, c_char_p)), c_int);
    declare(dll, "Tcl_GetStringResult", nb::list(nb::make_tuple(nb::handle(g_interp_p))), c_char_p);
    declare(dll, "Tcl_ResetResult", nb::list(nb::make_tuple(nb::handle(g_interp_p))), nb::none());

    nb::object wide = ctypes.attr("c_longlong");
    m.attr("Tcl_WideInt") = wide;

    nb::handle structure_base = ctypes.attr("Structure"), union_base = ctypes.attr("Union");
    nb::object obj_type = structure(m, "Tcl_ObjType", structure_base, "Tcl's Tcl_ObjType.");
    nb::object two_ptr = structure(m, "s_twoPtrValue", structure_base, "Two pointers.",
                                   "Tcl_Obj.u_internalRep.s_twoPtrValue");
    nb::object rep = structure(m, "u_internalRep", union_base, "Internal representation.",
                               "Tcl_Obj.u_internalRep", {{"s_twoPtrValue", two_ptr}});
    nb::object obj = structure(m, "Tcl_Obj", structure_base, "Tcl's Tcl_Obj.", nullptr,
                               {{"u_internalRep", rep}});
    nb::handle c_void_p = g_c_void_p;
    nb::setattr(obj_type, "_fields_",
                nb::make_tuple(nb::make_tuple("name", c_char_p),
                               nb::make_tuple("freeIntRepProc", c_void_p),
                               nb::make_tuple("dupIntRepProc", c_void_p),
                               nb::make_tuple("updateStringProc", c_void_p),
                               nb::make_tuple("setFromAnyProc", c_void_p)));
    nb::setattr(two_ptr, "_fields_",
                nb::make_tuple(nb::make_tuple("ptr1", c_void_p), nb::make_tuple("ptr2", c_void_p)));
    nb::setattr(rep, "_fields_",
                nb::make_tuple(nb::make_tuple("longValue", ctypes.attr("c_long")),
                               nb::make_tuple("doubleValue", ctypes.attr("c_double")),
                               nb::make_tuple("otherValuePtr", c_void_p),
                               nb::make_tuple("wideValue", wide),
                               nb::make_tuple("twoPtrValue", two_ptr)));
    nb::setattr(obj, "_fields_",
                nb::make_tuple(nb::make_tuple("refCount", c_int),
                               nb::make_tuple("bytes", c_char_p),
                               nb::make_tuple("length", c_int),
                               nb::make_tuple("typePtr", ptr(obj_type)),
                               nb::make_tuple("internalRep", rep)));

    m.def("_c_char_p_from_obj", &c_char_p_from_obj, "obj"_a.none(),
          "Similar to Tcl_GetStringFromObj: the UTF-8 text of str(obj) (empty for\n"
          "None) as a ctypes.c_char_p byte array. The length can be obtained using\n"
          "len(string.value).");

    m.attr("GetListFromAny") = fastcall_function(&get_list_def, m);
    m.attr("DictionaryCompare") = fastcall_function(&dictionary_compare_def, m);

    nb::object handle = dll.attr("_handle");
    void *h = PyLong_AsVoidPtr(handle.ptr());
    if (!h && PyErr_Occurred())
        throw nb::python_error();
    tcl::bind(h, nb::handle(g_interp_p));
}
