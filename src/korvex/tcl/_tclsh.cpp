// korvex.tcl._tclsh: the few Tcl library calls that make the console tclsh
// (korvex.tcl_testing.tclsh), none of which runs Tcl code: the mark of an
// evaluation as a file's, the error line and errorInfo of a file's error,
// the name of the executable and the system encoding, the standard channels.
// A module of its own, so that a console start needs neither ctypes nor the
// ctypes mirrors of korvex.tcl.internal.
#include "support/python/module.hpp"
#include "support/tcl/tcllib.hpp"

#include <dlfcn.h>

#include <cstdint>
#include <cstring>

using namespace nb::literals;

namespace kx {
namespace {

using tcl::Interp;

// Tcl's Interp.evalFlags bits (tclInt.h).
constexpr int kEvalFile = 0x02;
constexpr int kAllowExceptions = 0x04;
// How far into Tcl's Interp structure evalFlags is looked for (the structure
// is several times larger).
constexpr size_t kProbeBytes = 1024;

struct Functions {
    void (*AllowExceptions)(Interp *);
    int (*GetErrorLine)(Interp *);
    void (*FindExecutable)(const char *);
    const char *(*GetNameOfExecutable)();
    void *(*GetStdChannel)(int);
    void (*RegisterChannel)(Interp *, void *);
    const char *(*GetEncodingName)(void *);
    int (*SetSystemEncoding)(Interp *, const char *);
};

// Bound once at import, never changed afterwards.
Functions g_fn;
// Where evalFlags sits: found on first use by watching the one public
// function that sets a bit there. kUnprobed until then, kNotFound when that
// failed (then files run through "source").
constexpr long kUnprobed = -1, kNotFound = -2;
long g_flags_offset = kUnprobed;

template <typename Fn>
void resolve(void *handle, const char *name, Fn &fn) {
    void *sym = dlsym(handle, name);
    if (!sym) {
        PyErr_Format(PyExc_ImportError, "Tcl library has no symbol %s", name);
        throw nb::python_error();
    }
    fn = reinterpret_cast<Fn>(sym);
}

// The interpreter of a _tkinter application object, checked to be this
// thread's; TypeError for anything else.
Interp *interp_of(nb::handle tk) {
    Interp *interp = tcl::tkapp_interp(tk);
    if (!interp)
        throw nb::type_error("expected a _tkinter application object (interp.tk)");
    tcl::check_thread(tk);
    return interp;
}

long probe_flags_offset(Interp *interp) {
    unsigned char before[kProbeBytes], after[kProbeBytes];
    std::memcpy(before, interp, kProbeBytes);
    g_fn.AllowExceptions(interp);
    std::memcpy(after, interp, kProbeBytes);
    long found = kNotFound;
    for (size_t i = 0; i < kProbeBytes; i += sizeof(int)) {
        if (std::memcmp(before + i, after + i, sizeof(int)) == 0)
            continue;
        if (found != kNotFound)
            return kNotFound;  // more than one field moved: not the one wanted
        found = (long)i;
    }
    if (found == kNotFound)
        return kNotFound;
    int old, now;
    std::memcpy(&old, before + found, sizeof(int));
    std::memcpy(&now, after + found, sizeof(int));
    if ((old & kAllowExceptions) || now != (old | kAllowExceptions))
        return kNotFound;
    std::memcpy(reinterpret_cast<unsigned char *>(interp) + found, &old, sizeof(int));  // as it was
    return found;
}

int *eval_flags(Interp *interp) {
    if (g_flags_offset == kUnprobed)
        g_flags_offset = probe_flags_offset(interp);
    if (g_flags_offset < 0)
        return nullptr;
    return reinterpret_cast<int *>(reinterpret_cast<unsigned char *>(interp) + g_flags_offset);
}

bool mark_file(nb::handle tk, bool on) {
    int *flags = eval_flags(interp_of(tk));
    if (!flags)
        return false;
    *flags = on ? (*flags | kEvalFile) : (*flags & ~kEvalFile);
    return true;
}

void add_error_info(nb::handle tk, nb::bytes message) {
    Interp *interp = interp_of(tk);
    tcl::api().AddObjErrorInfo(interp, message.c_str(), (int)message.size());
}

int error_line(nb::handle tk) { return g_fn.GetErrorLine(interp_of(tk)); }

void find_executable(nb::bytes path) { g_fn.FindExecutable(path.c_str()); }

nb::object name_of_executable() {
    const char *name = g_fn.GetNameOfExecutable();
    if (!name)
        return nb::none();
    return nb::bytes(name, std::strlen(name));
}

nb::str system_encoding() { return nb::str(g_fn.GetEncodingName(nullptr)); }

void set_system_encoding(nb::bytes name) { g_fn.SetSystemEncoding(nullptr, name.c_str()); }

// TCL_STDIN, TCL_STDOUT, TCL_STDERR.
int std_kind(int kind) {
    if (kind != 2 && kind != 4 && kind != 8)
        throw nb::value_error("kind must be 2 (stdin), 4 (stdout) or 8 (stderr)");
    return kind;
}

// The standard channel of `kind` as a number that tells channels apart (0:
// none), never used as a pointer from Python.
uintptr_t std_channel(int kind) { return reinterpret_cast<uintptr_t>(g_fn.GetStdChannel(std_kind(kind))); }

// Registers the standard channel of `kind` in the interpreter of `tk` if it
// is still `chan` (a number std_channel gave); whether it was.
bool register_std_channel(nb::handle tk, int kind, uintptr_t chan) {
    Interp *interp = interp_of(tk);
    void *current = g_fn.GetStdChannel(std_kind(kind));
    if (!current || reinterpret_cast<uintptr_t>(current) != chan)
        return false;
    g_fn.RegisterChannel(interp, current);
    return true;
}

}  // namespace
}  // namespace kx

KX_MODULE(_tclsh, m) {
    using namespace kx;
    // The library korvex.tcl's other modules bind to (_tkinter's own).
    Dl_info info{};
    void *any = reinterpret_cast<void *>(tcl::api().FindElement);
    void *h = dladdr(any, &info) && info.dli_fname ? dlopen(info.dli_fname, RTLD_NOW | RTLD_NOLOAD) : nullptr;
    if (!h) {
        PyErr_SetString(PyExc_ImportError, "Cannot find the Tcl shared library");
        throw nb::python_error();
    }
    resolve(h, "Tcl_AllowExceptions", g_fn.AllowExceptions);
    resolve(h, "Tcl_GetErrorLine", g_fn.GetErrorLine);
    resolve(h, "Tcl_FindExecutable", g_fn.FindExecutable);
    resolve(h, "Tcl_GetNameOfExecutable", g_fn.GetNameOfExecutable);
    resolve(h, "Tcl_GetStdChannel", g_fn.GetStdChannel);
    resolve(h, "Tcl_RegisterChannel", g_fn.RegisterChannel);
    resolve(h, "Tcl_GetEncodingName", g_fn.GetEncodingName);
    resolve(h, "Tcl_SetSystemEncoding", g_fn.SetSystemEncoding);
    m.doc() = "The Tcl library calls behind the console's tclsh behaviour (korvex.tcl_testing.tclsh).";
    m.def("mark_file", &mark_file, "tk"_a.none(), "on"_a,
          "Sets (or clears) the interpreter's mark that the next evaluation is a file's, as\n"
          "Tcl_FSEvalFileEx sets it; False when this Tcl's structure hides the mark.");
    m.def("add_error_info", &add_error_info, "tk"_a.none(), "message"_a,
          "Tcl_AddErrorInfo: appends the UTF-8 `message` to the interpreter's errorInfo.");
    m.def("error_line", &error_line, "tk"_a.none(), "Tcl_GetErrorLine: the line of the latest error.");
    m.def("find_executable", &find_executable, "path"_a,
          "Tcl_FindExecutable: what info nameofexecutable names, for the whole process.");
    m.def("name_of_executable", &name_of_executable,
          "Tcl_GetNameOfExecutable: what info nameofexecutable names (bytes), or None.");
    m.def("system_encoding", &system_encoding, "The name of Tcl's system encoding.");
    m.def("set_system_encoding", &set_system_encoding, "name"_a, "Tcl_SetSystemEncoding.");
    m.def("std_channel", &std_channel, "kind"_a,
          "Tcl_GetStdChannel(kind) as a number telling channels apart (0: none).");
    m.def("register_std_channel", &register_std_channel, "tk"_a.none(), "kind"_a, "chan"_a,
          "Registers the standard channel of `kind` in the interpreter if it is still\n"
          "`chan` (a number std_channel gave); whether it was.");
}
