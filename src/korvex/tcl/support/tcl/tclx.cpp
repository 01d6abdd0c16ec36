#include "support/tcl/tclx.hpp"
#include "support/tcl/tclxhooks.hpp"

#include <atomic>
#include <climits>
#include <cstdlib>
#include <string>

namespace kx {
namespace tclx {

const char *const kMissing =
    "korvex.tcl needs TclX, which this Tcl cannot load: install it (on Debian: apt-get install tclx8.4), "
    "or run plain Tcl with KORVEX_TCL_TCLX=0 or Interpreter(tclx=False)";

namespace {

// The environment variable that decides whether an Interpreter made without
// `tclx` loads TclX: 0, no, false or off (any case) for plain Tcl.
constexpr const char *kTclxVariable = "KORVEX_TCL_TCLX";

// (version, load script) of Tclx as the first interpreter that loaded it found
// them; null until then. Set once and never released: interpreters made in
// any thread read it, and a thread that finds it already set drops its own.
std::atomic<PyObject *> g_known{nullptr};

// The version and load script of the Tclx that `tk` has loaded, or null when
// Tcl cannot say (a TclX built into the program has no load script).
// Every package the interpreter has declared: {name {version script ...} ...}.
const char *const kDeclared =
    "apply {{} {set all {}; foreach p [package names] {set vs {}; foreach v [package versions $p] "
    "{lappend vs $v [package ifneeded $p $v]}; lappend all $p $vs}; return $all}}";

nb::object loaded_script(nb::handle tk) {
    nb::object script = call_method(tk, KX_ID(eval), {KX_STR("package ifneeded Tclx [package provide Tclx]")});
    if (!PyUnicode_Check(script.ptr()) || PyUnicode_GET_LENGTH(script.ptr()) == 0)
        return nb::object();
    nb::object version = call_method(tk, KX_ID(eval), {KX_STR("package provide Tclx")});
    return nb::make_tuple(version, script);
}

}  // namespace

void require(nb::handle tk, PyObject *tcl_error, PyObject *error_type) {
    PyObject *known = g_known.load(std::memory_order_acquire);
    tcl::Interp *interp = tcl::tkapp_interp(tk);
    tcl::Obj *path = interp ? auto_path(interp) : nullptr;  // as the deferred scan needs it
    try {
        if (known)
            call_method(tk, KX_ID(call), {KX_STR("package"), KX_STR("ifneeded"), KX_STR("Tclx"),
                                          PyTuple_GET_ITEM(known, 0), PyTuple_GET_ITEM(known, 1)});
        call_method(tk, KX_ID(eval), {KX_STR("package require Tclx")});
    } catch (nb::python_error &e) {
        if (path)
            tcl::decr_ref(path);
        if (Py_TYPE(e.value().ptr()) != (PyTypeObject *)tcl_error)
            throw;  // not Tcl's answer (a timeout, an interrupt...)
        nb::object cause = nb::borrow(e.value());
        raise_from(error_type, nb::str(kMissing), cause);
    }
    if (interp) {
        if (path && known)
            defer_package_scan(interp, path);
        watch_signals(interp);
    }
    if (known)
        return;
    nb::object found = loaded_script(tk);
    if (path) {
        // What the scan declared, for later interpreters' `package require`.
        if (found.is_valid()) {
            nb::object declared = call_method(tk, KX_ID(eval), {KX_STR(kDeclared)});
            Py_ssize_t n = 0;
            const char *text = PyUnicode_Check(declared.ptr()) ? PyUnicode_AsUTF8AndSize(declared.ptr(), &n) : nullptr;
            if (text && n < INT_MAX)
                record_declared(path, text, (int)n);
            PyErr_Clear();
        }
        tcl::decr_ref(path);
    }
    if (!found.is_valid())
        return;
    PyObject *expected = nullptr;
    if (g_known.compare_exchange_strong(expected, found.ptr(), std::memory_order_acq_rel))
        found.release();  // kept for the life of the process
}

// Whether a new interpreter loads TclX: `tclx` (a bool) when given, else
// what KORVEX_TCL_TCLX says (unset or empty: yes).
bool wanted(nb::handle tclx) {
    if (!tclx.is_none()) {
        if (!PyLong_Check(tclx.ptr()))  // bool is an int
            throw nb::type_error(("tclx must be True, False or None, not " +
                                  std::string(Py_TYPE(tclx.ptr())->tp_name)).c_str());
        int truth = PyObject_IsTrue(tclx.ptr());
        if (truth < 0)
            throw nb::python_error();
        return truth != 0;
    }
    const char *raw = std::getenv(kTclxVariable);
    std::string value = raw ? raw : "";
    size_t first = value.find_first_not_of(" \t"), last = value.find_last_not_of(" \t");
    value = first == std::string::npos ? std::string() : value.substr(first, last - first + 1);
    std::string lower;
    for (char ch : value)
        lower += static_cast<char>(ch >= 'A' && ch <= 'Z' ? ch - 'A' + 'a' : ch);
    for (const char *no : {"0", "no", "false", "off"})
        if (lower == no)
            return false;
    for (const char *yes : {"", "1", "yes", "true", "on"})
        if (lower == yes)
            return true;
    throw nb::value_error((std::string(kTclxVariable) + " must be 1 or 0 (or yes/no, true/false, on/off), not \"" +
                           (raw ? raw : "") + "\"").c_str());
}

}  // namespace tclx
}  // namespace kx
