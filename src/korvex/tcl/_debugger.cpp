// korvex.tcl._debugger: the command trace behind the Tcl debugger's stepping
// and its breakpoints on lines and methods (the Python side is
// korvex.tcl.debugger).
//
// A trace exists only while the debugger steps or has such a breakpoint set,
// in one of two kinds. Full, while stepping, while a Ctrl-C waits for the
// next command, or while code a breakpoint may be in runs: Tcl calls it before
// every command and compiles no command inline meanwhile. Filtered, while a
// breakpoint on a line or a method is set: inline compilation stays, and the
// trace procedure, C only, passes on only the commands that may call what a
// breakpoint is in (the debugger then makes the trace full for that call).
// Passing on, it evaluates the Tcl command the debugger names (a Python
// command of the interpreter, which takes the GIL the way every Python
// command of the package does) with the text of the command about to run.
// Nothing the handler evaluates (the prompt's input) is traced.
#include "support/bridge/debughold.hpp"
#include "support/python/module.hpp"
#include "support/tcl/tcllib.hpp"

#include <nanobind/stl/optional.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include <dlfcn.h>

#include <set>
#include <string>
#include <string_view>
#include <vector>

using namespace nb::literals;

namespace kx {
namespace {

using tcl::Interp;
using tcl::Obj;

using ObjTraceProc = int (*)(void *clientData, Interp *interp, int level, const char *command, void *token,
                             int objc, Obj *const objv[]);
using ObjTraceDeleteProc = void (*)(void *clientData);

struct TraceApi {
    void *(*CreateObjTrace)(Interp *interp, int level, int flags, ObjTraceProc proc, void *clientData,
                            ObjTraceDeleteProc deleteProc);
    void (*DeleteTrace)(Interp *interp, void *trace);
    int (*EvalObjv)(Interp *interp, int objc, Obj *const objv[], int flags);
    void *(*SaveInterpState)(Interp *interp, int status);
    int (*RestoreInterpState)(Interp *interp, void *state);
    void (*DiscardInterpState)(void *state);
};

TraceApi g_tcl;

template <typename Fn>
void resolve(void *handle, const char *name, Fn &fn) {
    void *sym = dlsym(handle, name);
    if (!sym) {
        PyErr_Format(PyExc_AttributeError, "Tcl library has no symbol %s", name);
        throw nb::python_error();
    }
    fn = reinterpret_cast<Fn>(sym);
}

constexpr const char *kAssocKey = "korvex.tcl debugger trace";
constexpr int kAllowInline = 0x20000;  // TCL_ALLOW_INLINE_COMPILATION

// The trace of one interpreter. Full: every command, nothing compiled
// inline (stepping, a Ctrl-C waiting, the code a breakpoint may be in).
// Filtered: inline compilation kept, and the debugger called only for a
// command whose first or second word ends in one of `names` (what may
// call a procedure or method a breakpoint is in); the rest costs a lookup.
struct Trace {
    Interp *interp = nullptr;
    void *token = nullptr;
    Obj *handler = nullptr;  // one reference held
    bool full = true;
    std::set<std::string, std::less<>> names;
    int busy = 0;
    bool fresh = false;  // full, and not yet seen a command: made again then (see on_command)
    bool dead = false;  // stopped while its handler ran: freed when it returns
};

void release(Trace *t) {
    if (t->handler)
        tcl::decr_ref(t->handler);
    delete t;
}

void drop_token(Trace *t) {
    if (t->token) {
        void *token = t->token;
        t->token = nullptr;
        g_tcl.DeleteTrace(t->interp, token);
    }
}

// Ends the trace; the record goes once no handler of it runs.
void retire(Trace *t) {
    drop_token(t);
    t->dead = true;
    if (!t->busy)
        release(t);
}

void assoc_deleted(void *data, Interp *) {
    // The interpreter is deleted (or stop() took the record away).
    retire(static_cast<Trace *>(data));
}

std::string_view tail(Obj *word) {
    // Only a word with a string already: one made here could be a long
    // list's text, for nothing.
    if (!word->bytes)
        return {};
    std::string_view text(word->bytes, (size_t)word->length);
    size_t at = text.rfind("::");
    return at == std::string_view::npos ? text : text.substr(at + 2);
}

bool wakes(const Trace *t, int objc, Obj *const objv[]) {
    for (int i = 0; i < objc && i < 2; ++i) {
        std::string_view word = tail(objv[i]);
        if (!word.empty() && t->names.find(word) != t->names.end())
            return true;
    }
    return false;
}

int on_command(void *data, Interp *interp, int, const char *command, void *, int objc, Obj *const objv[]) {
    Trace *t = static_cast<Trace *>(data);
    if (t->busy || t->dead)
        return tcl::kOk;
    if (!t->full && !wakes(t, objc, objv))
        return tcl::kOk;
    if (t->fresh) {
        // A trace made while an execution trace's script ran (`trace add
        // execution ... enter`, `source` watched) loses Tcl's "compile
        // nothing inline" when that script returns: Tcl puts the
        // interpreter's flags back as they were. Made again here, out of
        // that script, Tcl sets it again.
        t->fresh = false;
        void *old = t->token;
        t->token = nullptr;
        g_tcl.DeleteTrace(interp, old);
        t->token = g_tcl.CreateObjTrace(interp, 0, 0, on_command, t, nullptr);
        if (!t->token) {  // (Tcl does not refuse one): no trace, stop() frees the record
            t->dead = true;
            return tcl::kOk;
        }
    }
    const tcl::Api &api = tcl::api();
    Obj *words[2] = {t->handler, api.NewStringObj(command, -1)};
    tcl::incr_ref(words[0]);
    tcl::incr_ref(words[1]);
    void *saved = g_tcl.SaveInterpState(interp, tcl::kOk);
    ++t->busy;
    int code = g_tcl.EvalObjv(interp, 2, words, 0);
    --t->busy;
    tcl::decr_ref(words[1]);
    tcl::decr_ref(words[0]);
    if (t->dead && !t->busy)
        release(t);  // stopped by its handler
    if (code == tcl::kOk) {
        g_tcl.RestoreInterpState(interp, saved);
        return tcl::kOk;
    }
    // The debugger stops the evaluation (quit, or an exception that unwinds
    // it): the command is not run and its error is the handler's.
    g_tcl.DiscardInterpState(saved);
    return code;
}

Trace *trace_of(Interp *interp) {
    return static_cast<Trace *>(tcl::api().GetAssocData(interp, kAssocKey, nullptr));
}

// Starts the trace of `interp` (an Interpreter, on its thread) calling the
// Tcl command `handler` with each command's text: every command when
// `names` is None, else those whose first or second word ends in one of
// them (after its last "::"). A trace already there gets the new handler
// and names (and is made again when it changes between the two kinds).
void start(nb::handle interp_obj, const std::string &handler, std::optional<std::vector<std::string>> names) {
    Interp *interp = tcl::interp_ptr(interp_obj);
    if (!interp)
        throw nb::type_error("an interpreter is needed");
    const tcl::Api &api = tcl::api();
    bool full = !names.has_value();
    Trace *t = trace_of(interp);
    bool made = false;
    if (!t) {
        t = new Trace;
        t->interp = interp;
        made = true;
    }
    Obj *name = api.NewStringObj(handler.data(), (int)handler.size());
    tcl::incr_ref(name);
    if (t->handler)
        tcl::decr_ref(t->handler);
    t->handler = name;
    t->names.clear();
    if (names)
        t->names.insert(names->begin(), names->end());
    if (t->token && t->full == full)
        return;
    drop_token(t);
    t->full = full;
    t->fresh = full;
    t->token = g_tcl.CreateObjTrace(interp, 0, full ? 0 : kAllowInline, on_command, t, nullptr);
    if (!t->token) {
        if (made) {
            release(t);
        } else {
            api.DeleteAssocData(interp, kAssocKey);  // retires it
        }
        PyErr_SetString(PyExc_RuntimeError, "Tcl refused a command trace");
        throw nb::python_error();
    }
    if (made)
        api.SetAssocData(interp, kAssocKey, (void *)assoc_deleted, t);
}

// Ends the trace of `interp`, if any; returns whether there was one.
bool stop(nb::handle interp_obj) {
    Interp *interp = tcl::interp_ptr(interp_obj);
    if (!interp)
        return false;
    if (!trace_of(interp))
        return false;
    tcl::api().DeleteAssocData(interp, kAssocKey);  // retires it
    return true;
}

// Whether the trace is there and calls the debugger for every command.
bool full(nb::handle interp_obj) {
    Interp *interp = tcl::interp_ptr(interp_obj);
    Trace *t = interp ? trace_of(interp) : nullptr;
    return t && t->full;
}

bool active(nb::handle interp_obj) {
    Interp *interp = tcl::interp_ptr(interp_obj);
    return interp && trace_of(interp) != nullptr;
}

}  // namespace
}  // namespace kx

KX_MODULE(_debugger, m) {
    using namespace kx;
    nb::object dll = import_attr("korvex.tcl.internal", "TclDLL");
    nb::object handle = check(PyObject_GetAttrString(dll.ptr(), "_handle"));
    void *h = PyLong_AsVoidPtr(handle.ptr());
    if (!h && PyErr_Occurred())
        throw nb::python_error();
    resolve(h, "Tcl_CreateObjTrace", g_tcl.CreateObjTrace);
    resolve(h, "Tcl_DeleteTrace", g_tcl.DeleteTrace);
    resolve(h, "Tcl_EvalObjv", g_tcl.EvalObjv);
    resolve(h, "Tcl_SaveInterpState", g_tcl.SaveInterpState);
    resolve(h, "Tcl_RestoreInterpState", g_tcl.RestoreInterpState);
    resolve(h, "Tcl_DiscardInterpState", g_tcl.DiscardInterpState);
    tcl::api();

    m.def("start", &start, "interp"_a.none(), "handler"_a, "names"_a.none() = nb::none(),
          "Call the Tcl command `handler` with the text of each command the interpreter\n"
          "is about to run; with `names`, only of those whose first or second word ends\n"
          "in one of them, inline compilation kept (a trace already there is updated).");
    m.def("stop", &stop, "interp"_a.none(), "End the interpreter's trace; False when there was none.");
    m.def("shift_deadlines", [](nb::handle interp, double seconds) {
              bridge::shift_deadlines(attr(interp, KX_ID(tk)), seconds);
          }, "interp"_a.none(), "seconds"_a,
          "Move every time limit deadline of the interpreter `seconds` later (earlier\n"
          "when negative).");
    m.def("full", &full, "interp"_a.none(), "Whether the interpreter's trace sees every command.");
    m.def("active", &active, "interp"_a.none(), "Whether the interpreter has a trace.");
}
