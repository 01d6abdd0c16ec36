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
    "or run plain Tcl: KORVEX_TCL_TCLX=0, Interpreter(tclx=False), korvex-tcl --no-tclx, "
    "pytest --tcl-tclx=no (ini: tcl_tclx = no)";

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

// Declares Tclx as the package scan would, sourcing only the package indexes
// that mention it: those Tcl's package unknown handler would read (each
// pkgIndex.tcl one level below a directory of auto_path, then the
// directory's own, from the end of auto_path, directories that an index adds
// included) in the same order, with `dir` set, errors left for the scan to
// report. 1 when Tclx is declared then; 0 (nothing sourced, or the scan must
// run anyway) when the handler is not Tcl's own or a Tcl module could
// provide Tclx.
const char *const kDeclareTclx = R"tcl(apply {{} {
    if {[package unknown] ne {::tcl::tm::UnknownHandler ::tclPkgUnknown} || ![info exists ::auto_path]} {
        return 0
    }
    foreach path [::tcl::tm::path list] {
        if {[llength [glob -nocomplain -directory $path Tclx-*.tm]]} {
            return 0
        }
    }
    set old_path [set use_path $::auto_path]
    while {[llength $use_path]} {
        set dir [lindex $use_path end]
        set use_path [lrange $use_path 0 end-1]
        if {[info exists tclSeenPath($dir)]} {
            continue
        }
        set tclSeenPath($dir) 1
        set indexes {}
        catch {
            foreach file [glob -directory $dir -join -nocomplain * pkgIndex.tcl] {
                lappend indexes [file dirname $file] $file
            }
        }
        lappend indexes $dir [file join $dir pkgIndex.tcl]
        foreach {dir file} $indexes {
            if {[info exists procdDirs($dir)] || [catch {
                set chan [open $file]
                try {
                    chan configure $chan -translation binary
                    set text [read $chan]
                } finally {
                    close $chan
                }
            }] || [string first Tclx $text] < 0} {
                continue
            }
            if {![catch {source $file}]} {
                set procdDirs($dir) 1
            }
        }
        set index 0
        if {[llength $old_path] == [llength $::auto_path]} {
            foreach dir $::auto_path old $old_path {
                if {$dir ne $old} {
                    break
                }
                incr index
            }
        }
        foreach dir [lrange $::auto_path $index end] {
            if {![info exists tclSeenPath($dir)] && ($dir ni $use_path)} {
                lappend use_path $dir
            }
        }
        set old_path $::auto_path
    }
    expr {[llength [package versions Tclx]] > 0}
}})tcl";

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
    bool declared = known != nullptr;  // Tclx declared without the scan
    nb::object found;
    try {
        if (known)
            call_method(tk, KX_ID(call), {KX_STR("package"), KX_STR("ifneeded"), KX_STR("Tclx"),
                                          PyTuple_GET_ITEM(known, 0), PyTuple_GET_ITEM(known, 1)});
        else if (path)
            declared = nb::str(call_method(tk, KX_ID(eval), {KX_STR(kDeclareTclx)})).equal(nb::str("1"));
        call_method(tk, KX_ID(eval), {KX_STR("package require Tclx")});
        if (!known)
            found = loaded_script(tk);  // before the scan is deferred: it reads the package database
    } catch (nb::python_error &e) {
        if (path)
            tcl::decr_ref(path);
        if (Py_TYPE(e.value().ptr()) != (PyTypeObject *)tcl_error)
            throw;  // not Tcl's answer (a timeout, an interrupt...)
        nb::object cause = nb::borrow(e.value());
        raise_from(error_type, nb::str(kMissing), cause);
    }
    if (interp) {
        if (path && declared)
            defer_package_scan(interp, path);  // takes `path` over
        watch_signals(interp);
    }
    if (known)
        return;
    if (path && !declared) {
        // What the scan declared, for later interpreters' `package require`
        // (else kept when the deferred scan runs).
        if (found.is_valid()) {
            nb::object all = call_method(tk, KX_ID(eval), {KX_STR(kDeclared)});
            Py_ssize_t n = 0;
            const char *text = PyUnicode_Check(all.ptr()) ? PyUnicode_AsUTF8AndSize(all.ptr(), &n) : nullptr;
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
