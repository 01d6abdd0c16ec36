// korvex.tcl.zelph: Tcl value formatting: Python values as Tcl words and Tcl list text.
//
// The work is done by the quoting and conversion core in support/tcl/ (tclquote,
// tclconvert), which the other modules call directly; this module publishes
// it as Python functions.
#include "support/python/module.hpp"
#include "support/python/pyfunction.hpp"
#include "support/tcl/tclconvert.hpp"
#include "support/tcl/tclquote.hpp"

#include <utility>

namespace kx {
namespace {

const char *const kScanDoc =
    "Tcl_ScanElement --\n"
    "\n"
    "    This procedure is a companion procedure to Tcl_ConvertElement. It\n"
    "    scans a string to see what needs to be done to it (e.g. add\n"
    "    backslashes or enclosing braces) to make the string into a valid Tcl\n"
    "    list element.\n"
    "\n"
    "Results:\n"
    "    The return value is an overestimate of the number of characters that\n"
    "    will be needed by Tcl_ConvertElement to produce a valid list element\n"
    "    from string, together with the flag value that Tcl_ConvertElement\n"
    "    needs: a set of the names USE_BRACES, TCL_DONT_USE_BRACES and\n"
    "    BRACES_UNMATCHED.\n"
    "\n"
    "Side effects:\n"
    "    None.\n"
    "\n"
    "From: Tcl_ScanElement / Tcl_ScanCountedElement, generic/tclUtil.c,\n"
    "      Tcl 8.4.19\n";

const char *const kConvertDoc =
    "Tcl_ConvertElement --\n"
    "\n"
    "    This is a companion procedure to Tcl_ScanElement. Given the\n"
    "    information produced by Tcl_ScanElement, this procedure converts a\n"
    "    string to a list element equal to that string.\n"
    "\n"
    "Results:\n"
    "    The converted list element: splitting it as a Tcl list gives back\n"
    "    the string.\n"
    "\n"
    "Side effects:\n"
    "    None.\n"
    "\n"
    "From: Tcl_ConvertElement / Tcl_ConvertCountedElement, generic/tclUtil.c,\n"
    "      Tcl 8.4.19\n";

const char *const kListDoc =
    "UpdateStringOfList --\n"
    "\n"
    "    Returns the string representation of a list: the elements, each\n"
    "    quoted as a list element, separated by single spaces.\n"
    "\n"
    "Results:\n"
    "    The Tcl list string.\n"
    "\n"
    "Side effects:\n"
    "    None.\n"
    "\n"
    "From: UpdateStringOfList, generic/tclListObj.c, Tcl 8.4.19\n";

const char *const kZelphDoc =
    "zelph() Function/Class\n"
    "\n"
    "Converts any object into a string that is appropriate for use in Tcl.\n"
    "\n"
    "The result is a string. An object that defines __zelph__() has that\n"
    "method invoked to perform the conversion.\n"
    "\n"
    ">>> zelph([1, 2, [3, 4]])\n"
    "'1 2 {3 4}'\n"
    ">>> zelph({\"my key\": \"my value\", \"a\": \"b\"})\n"
    "'{my key} {my value} a b'\n";

const char *const kTclobjDoc =
    "Converts any object into a value that _tkinter passes to Tcl as a Tcl\n"
    "object: str, bytes, bool, float, Tcl_Obj and integers that fit a machine\n"
    "word stay as they are, sequences, sets and mappings become (nested)\n"
    "tuples, anything else becomes its zelph() string. An object that defines\n"
    "__tclobj__() has that method invoked, and its result used unchanged.\n";

PyObject *flag_name(unsigned flag) {
    switch (flag) {
    case kUseBraces:
        return KX_STR("USE_BRACES");
    case kDontUseBraces:
        return KX_STR("TCL_DONT_USE_BRACES");
    default:
        return KX_STR("BRACES_UNMATCHED");
    }
}

const unsigned kAllFlags[] = {kUseBraces, kDontUseBraces, kBracesUnmatched};

// The one argument of a single-parameter function.
PyObject *one_arg(const ArgSpec &sig, PyObject *const *args, Py_ssize_t nargs,
                  PyObject *kwnames) {
    if (nargs == 1 && !kwnames)
        return args[0];
    PyObject *arg;
    parse_args(sig, args, nargs, kwnames, &arg);
    return arg;
}

nb::object scan_element_fn(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    static const ArgSpec sig{"_Tcl_ScanElement", {{"string"}}};
    nb::object s = zelph_str(one_arg(sig, args, nargs, kwnames));
    ElementScan scan = scan_element(s.ptr());
    nb::object flags = check(PySet_New(nullptr));
    for (unsigned f : kAllFlags)
        if ((scan.flags & f) && PySet_Add(flags.ptr(), flag_name(f)) < 0)
            throw nb::python_error();
    nb::object size = check(PyLong_FromSsize_t(2 * scan.length + 2));
    return check(PyTuple_Pack(2, size.ptr(), flags.ptr()));
}

nb::object convert_element_fn(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    static const ArgSpec sig{"_Tcl_ConvertElement", {{"src"}, {"flags"}}};
    PyObject *argv[2];
    parse_args(sig, args, nargs, kwnames, argv);
    nb::object src = zelph_str(argv[0]);
    nb::handle given = argv[1];
    unsigned flags = 0;
    for (unsigned f : kAllFlags) {
        int in = PySequence_Contains(given.ptr(), flag_name(f));
        if (in < 0)
            throw nb::python_error();
        if (in)
            flags |= f;
    }
    const unsigned before = flags;
    nb::object out = convert_element(src.ptr(), flags);
    if (flags != before)  // the caller's set learns that braces go unmatched
        call_method(given, KX_ID(add), {flag_name(kBracesUnmatched)});
    return out;
}

nb::object update_string_of_list_fn(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    static const ArgSpec sig{"_tcl_UpdateStringOfList", {{"listObj", "obj"}}};
    return zelph_from_sequence(one_arg(sig, args, nargs, kwnames));
}

nb::object zelph_from_mapping_fn(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    static const ArgSpec sig{"_zelph_from_mapping", {{"obj"}}};
    return zelph_from_mapping(one_arg(sig, args, nargs, kwnames));
}

nb::object zelph_fn(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    static const ArgSpec sig{"zelph", {{"obj"}}};
    return zelph(one_arg(sig, args, nargs, kwnames));
}

nb::object tclobj_from_sequence_fn(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    static const ArgSpec sig{"_tclobj_from_sequence", {{"obj"}}};
    return tclobj_from_sequence(one_arg(sig, args, nargs, kwnames));
}

nb::object tclobj_from_mapping_fn(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    static const ArgSpec sig{"_tclobj_from_mapping", {{"obj"}}};
    return tclobj_from_mapping(one_arg(sig, args, nargs, kwnames));
}

nb::object tclobj_fn(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    static const ArgSpec sig{"tclobj", {{"obj"}}};
    return tclobj(one_arg(sig, args, nargs, kwnames));
}

}  // namespace
}  // namespace kx

KX_MODULE(zelph, m) {
    using namespace kx;
    m.doc() = "Tcl value formatting: Python values as Tcl words and Tcl list text.";

    m.attr("Mapping") = import_attr("collections.abc", "Mapping");
    m.attr("Sequence") = import_attr("collections.abc", "Sequence");
    m.attr("Set") = import_attr("collections.abc", "Set");
    m.attr("_tkTcl_Obj") = import_attr("_tkinter", "Tcl_Obj");
    nb::object sys = nb::module_::import_("sys");
    m.attr("sys") = sys;
    m.attr("unicode") = nb::handle((PyObject *)&PyUnicode_Type);

    m.attr("_Tcl_ScanElement") = make_function(m, "_Tcl_ScanElement", kScanDoc, &scan_element_fn);
    m.attr("_Tcl_ConvertElement") =
        make_function(m, "_Tcl_ConvertElement", kConvertDoc, &convert_element_fn);
    nb::object from_sequence =
        make_function(m, "_tcl_UpdateStringOfList", kListDoc, &update_string_of_list_fn);
    m.attr("_tcl_UpdateStringOfList") = from_sequence;
    m.attr("_zelph_from_sequence") = from_sequence;
    nb::object from_mapping = make_function(
        m, "_zelph_from_mapping", "Tcl list key, value, key, value, ... of a mapping.",
        &zelph_from_mapping_fn);
    m.attr("_zelph_from_mapping") = from_mapping;
    nb::object zelph_obj = make_function(m, "zelph", kZelphDoc, &zelph_fn);
    m.attr("zelph") = zelph_obj;

    m.attr("_sysmaxsize") = sys.attr("maxsize");
    m.attr("_long_type") = nb::handle((PyObject *)&PyLong_Type);

    nb::object tclobj_sequence = make_function(
        m, "_tclobj_from_sequence", "Tuple of tclobj() of the items of an iterable.",
        &tclobj_from_sequence_fn);
    m.attr("_tclobj_from_sequence") = tclobj_sequence;
    nb::object tclobj_mapping = make_function(
        m, "_tclobj_from_mapping", "Tuple key, value, key, value, ... of a mapping, each through tclobj().",
        &tclobj_from_mapping_fn);
    m.attr("_tclobj_from_mapping") = tclobj_mapping;
    nb::object tclobj_obj = make_function(m, "tclobj", kTclobjDoc, &tclobj_fn);
    m.attr("tclobj") = tclobj_obj;

    const std::pair<nb::handle, const char *> signatures[] = {
        {m.attr("_Tcl_ScanElement"), "(string)"}, {m.attr("_Tcl_ConvertElement"), "(src, flags)"},
        {from_sequence, "(listObj)"},             {from_mapping, "(obj)"},
        {zelph_obj, "(obj)"},                     {tclobj_sequence, "(obj)"},
        {tclobj_mapping, "(obj)"},                {tclobj_obj, "(obj)"}};
    for (const auto &[fn, text] : signatures)
        set_attr(fn, KX_ID(__text_signature__), nb::str(text));
    set_attr(zelph_obj, KX_ID(from_sequence), from_sequence);
    set_attr(zelph_obj, KX_ID(from_mapping), from_mapping);
    set_attr(tclobj_obj, KX_ID(from_sequence), tclobj_sequence);
    set_attr(tclobj_obj, KX_ID(from_mapping), tclobj_mapping);
}
