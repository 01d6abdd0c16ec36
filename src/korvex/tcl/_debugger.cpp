// korvex.tcl._debugger: the command trace behind the Tcl debugger's stepping
// and its breakpoints on lines and methods (the Python side is
// korvex.tcl.debugger).
//
// A trace exists only while the debugger steps or has such a breakpoint set:
// Tcl calls a command trace before every command, and while one exists it
// compiles no command inline, so an interpreter without one runs at full
// speed. The trace procedure is C only: it evaluates the Tcl command the
// debugger names (a Python command of the interpreter, which takes the GIL
// the way every Python command of the package does) with the text of the
// command about to run. Tcl runs no trace while a trace procedure runs, so
// nothing the debugger's prompt evaluates is traced.
#include "support/bridge/debughold.hpp"
#include "support/python/module.hpp"
#include "support/tcl/tcllib.hpp"

#include <nanobind/stl/string.h>

#include <dlfcn.h>

#include <string>

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

// The trace of one interpreter: its token and the command it calls.
struct Trace {
    void *token = nullptr;
    Obj *handler = nullptr;  // one reference held
    int busy = 0;
};

void release(Trace *t) {
    if (t->handler)
        tcl::decr_ref(t->handler);
    delete t;
}

void trace_deleted(void *data) {
    // Tcl deletes the trace (DeleteTrace, or the interpreter's deletion).
    release(static_cast<Trace *>(data));
}

void assoc_deleted(void *, Interp *) {}

int on_command(void *data, Interp *interp, int, const char *command, void *, int, Obj *const[]) {
    Trace *t = static_cast<Trace *>(data);
    if (t->busy)
        return tcl::kOk;
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
// Tcl command `handler` with each command's text; a trace already there gets
// the new handler.
void start(nb::handle interp_obj, const std::string &handler) {
    Interp *interp = tcl::interp_ptr(interp_obj);
    if (!interp)
        throw nb::type_error("an interpreter is needed");
    const tcl::Api &api = tcl::api();
    Obj *name = api.NewStringObj(handler.data(), (int)handler.size());
    tcl::incr_ref(name);
    if (Trace *t = trace_of(interp)) {
        tcl::decr_ref(t->handler);
        t->handler = name;
        return;
    }
    Trace *t = new Trace;
    t->handler = name;
    t->token = g_tcl.CreateObjTrace(interp, 0, 0, on_command, t, trace_deleted);
    if (!t->token) {
        release(t);
        PyErr_SetString(PyExc_RuntimeError, "Tcl refused a command trace");
        throw nb::python_error();
    }
    api.SetAssocData(interp, kAssocKey, (void *)assoc_deleted, t);
}

// Ends the trace of `interp`, if any; returns whether there was one.
bool stop(nb::handle interp_obj) {
    Interp *interp = tcl::interp_ptr(interp_obj);
    if (!interp)
        return false;
    Trace *t = trace_of(interp);
    if (!t)
        return false;
    tcl::api().DeleteAssocData(interp, kAssocKey);
    g_tcl.DeleteTrace(interp, t->token);  // frees t
    return true;
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

    m.def("start", &start, "interp"_a.none(), "handler"_a,
          "Call the Tcl command `handler` with the text of each command the interpreter\n"
          "is about to run (a trace already there gets the new handler).");
    m.def("stop", &stop, "interp"_a.none(), "End the interpreter's trace; False when there was none.");
    m.def("shift_deadlines", [](nb::handle interp, double seconds) {
              bridge::shift_deadlines(attr(interp, KX_ID(tk)), seconds);
          }, "interp"_a.none(), "seconds"_a,
          "Move every time limit deadline of the interpreter `seconds` later (earlier\n"
          "when negative).");
    m.def("active", &active, "interp"_a.none(), "Whether the interpreter has a trace.");
}
