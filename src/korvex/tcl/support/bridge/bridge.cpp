// The bridge between Python and Tcl: the per-interpreter registry of commands
// (a Python object the collector can see through), the periodic check for
// signals and time limits inside Tcl work, closing. See bridge.hpp.
//
// The check is a Tcl asynchronous handler that the watcher thread marks (see
// watcher.hpp), not a Tcl limit: Tcl copies an interpreter's limits into
// every child it creates, where nothing would renew them, while asynchronous
// handlers belong to the thread and so also run while a child works.
#include "support/bridge/bridge.hpp"

#include "support/bridge/bridgestate.hpp"
#include "support/bridge/labwaits.hpp"
#include "support/bridge/stdio.hpp"
#include "support/bridge/timelimit.hpp"
#include "support/bridge/watcher.hpp"
#include "support/python/foreigncalls.hpp"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <string>

namespace kx {
namespace bridge {
namespace {

constexpr const char *kAssocName = "korvex.tcl.bridge";

PyObject *tcl_error_type() {
    return KX_ONCE(PyObject *, keep(import_attr("tkinter", "TclError")));
}

using tcl::before;
using tcl::now;
using tcl::plus;

// Whether `interp` is the state's interpreter or one of its children.
bool ours(const State *s, tcl::Interp *interp) {
    for (int depth = 0; interp && depth < 1000; ++depth, interp = tcl::api().GetParent(interp))
        if (interp == s->interp)
            return true;
    return false;
}

// Unwinds the interpreter's evaluation (and its children's) for the
// exception the check recorded.
void unwind(State *s) {
    s->unwind_now = false;
    note_reports(s);
    s->cancelled = true;
    tcl::api().CancelEval(s->interp, nullptr, nullptr, tcl::kCancelUnwind);
}

// Tcl's asynchronous handler, on the interpreter's thread at a safe point of
// Tcl work (the GIL released by _tkinter), whichever interpreter of the
// thread is running then (`interp`, or null from the event loop). The Python
// side runs through _tkinter's own command procedure, which takes the GIL
// back the way _tkinter knows.
int async_proc(void *data, tcl::Interp *interp, int code) {
    State *s = static_cast<State *>(data);
    const tcl::Api &api = tcl::api();
    if (s->closed || !s->interp || s->checking || !s->check_proc)
        return code;
    // Only while a script of this interpreter (or of a child of it) runs: an
    // idle event loop, or another interpreter's work, leaves signals to
    // _tkinter. Tcl names the interpreter whose evaluation it checks; that
    // one may be at level 0 (between two commands of a script, or running
    // a compiled script), where "active" does not tell: a signal dropped
    // there would be lost for the rest of the script.
    if ((interp ? !ours(s, interp) : !api.InterpActive(s->interp)) || PyGILState_Check())
        return code;
    s->checking = true;
    tcl::Interp *target = interp ? interp : s->interp;
    tcl::Obj *saved = api.GetObjResult(target);
    tcl::incr_ref(saved);
    tcl::Obj *argv[1] = {saved};
    if (!foreign::active())
        s->check_proc(s->check_data, target, 1, argv);
    else
        run_check_here(s);  // (no thread state for _tkinter: a ctypes call)
    api.SetObjResult(target, saved);
    tcl::decr_ref(saved);
    s->checking = false;
    if (s->unwind_now && s->interp) {
        unwind(s);
        labwaits::on_stop(s->waits);
    }
    return code;
}

std::recursive_mutex &tclx_mutex() {
    static std::recursive_mutex m;  // (no Python involved in making it)
    return m;
}

void mark(tcl::AsyncHandler async) { tcl::api().AsyncMark(async); }

// Gives the watcher the interpreter's earliest deadline.
void tell_watcher(State *s) {
    if (!s->async)
        return;
    if (s->deadlines.empty()) {
        watcher::set_deadline(s->async, -1);
        return;
    }
    tcl::Time t = now();
    double earliest = 1e300;
    for (const Deadline &d : s->deadlines)
        earliest = std::min(earliest, (double)(d.at.sec - t.sec) + (double)(d.at.usec - t.usec) / 1e6);
    watcher::set_deadline(s->async, std::max(earliest, 0.0));
}

// Stops the periodic check; on the interpreter's thread only (Tcl deletes an
// asynchronous handler only there).
void stop_checks(State *s) {
    if (!s->async)
        return;
    watcher::remove(s->async);
    tcl::api().AsyncDelete(s->async);
    s->async = nullptr;
    labwaits::detach(s->waits);
}

// --- the registry object -------------------------------------------------------

State *state_of(PyObject *registry) { return reinterpret_cast<Registry *>(registry)->state; }

void assoc_deleted(void *data, tcl::Interp *) {
    // The Tcl interpreter is going away (on its own thread): nothing may
    // reach it any more.
    State *s = static_cast<State *>(data);
    stop_checks(s);
    s->interp = nullptr;
}

// The check data of the state whose checker the event loop called to reap
// (see reap_from_event_loop): _tkinter's procedure is still running with it,
// so reaping only lets go of its references, and records that it did.
thread_local TkCommandData *t_host_data = nullptr;
thread_local bool t_host_released = false;
thread_local bool t_reaping = false;

// Deletes the commands, then the interpreter with the last reference to its
// application object; on the owner thread.
void release_here(State *s) {
    nb::object pending = fetch_exception();
    const tcl::Api &api = tcl::api();
    // A Ctrl-C now must not stop the deletions: it is kept for close().
    s->closing = true;
    while (!s->commands.empty()) {
        Command *c = s->commands.back();
        tcl::Obj *name = api.NewStringObj("", 0);
        tcl::incr_ref(name);
        api.GetCommandFullName(s->interp, c->token, name);
        int size = 0;
        const char *text = api.GetStringFromObj(name, &size);
        nb::object full = nb::steal(PyUnicode_DecodeUTF8(text, size, "surrogateescape"));
        tcl::decr_ref(name);
        // Through _tkinter: Tcl may run delete traces.
        if (full.is_valid()) {
            PyObject *r = PyObject_CallMethod(s->tk, "call", "sOs", "::rename", full.ptr(), "");
            Py_XDECREF(r);
        }
        PyErr_Clear();
        if (!s->commands.empty() && s->commands.back() == c) {
            unlink_command(s, c);
            c->state = nullptr;
        }
    }
    s->closing = false;
    stop_checks(s);
    api.DeleteAssocData(s->interp, kAssocName);
    s->interp = nullptr;
    forget_last(s);
    drop_command_words(s);
    if (s->check_data && s->check_data == t_host_data) {
        release_tk_self(s->check_data, s->tk_self);
        Py_CLEAR(s->check_data->func);
        s->check_data = nullptr;  // freed once _tkinter's procedure has returned
        t_host_released = true;
    }
    release_tk_data(s->check_data, s->tk_self);
    Py_CLEAR(s->timeout_type);
    drop_app(s->tk);
    if (pending.is_valid())
        PyErr_SetObject((PyObject *)Py_TYPE(pending.ptr()), pending.ptr());
}

// Lets go of the Python side only, on a thread that does not own the
// interpreter, whose owner has ended: the commands stay, reporting nowhere,
// and they (with Tcl's asynchronous handler, which may only be deleted on its
// own thread) keep the interpreter and its application object for good.
void release_elsewhere(State *s) {
    nb::object pending = fetch_exception();
    if (s->async)
        watcher::remove(s->async);  // not marked any more; does nothing once closed
    for (Command *c : s->commands)
        c->state = nullptr;
    s->commands.clear();
    s->last_code = nullptr;  // Tcl's objects belong to its thread: left to it
    s->last_result = nullptr;
    forget_last(s);
    abandon_command_words(s);
    if (!s->async)
        release_tk_data(s->check_data, s->tk_self);
    Py_CLEAR(s->timeout_type);
    drop_app(s->tk);
    if (pending.is_valid())
        PyErr_SetObject((PyObject *)Py_TYPE(pending.ptr()), pending.ptr());
}

// Closes the state: deletes the commands and lets go of the interpreter. On
// the owner thread that happens now. Elsewhere the state is handed back to
// the owner thread, which deletes it when it next runs Tcl (true: the state
// is the owner's now, and the caller must forget it); when the owner has
// ended, only the Python side is let go.
bool shut(State *s) {
    if (s->closed)
        return false;
    s->closed = true;
    if (s->interp && owner::is_current(s->owner)) {
        release_here(s);
        return false;
    }
    if (s->interp && owner::hand_over(s->owner, s)) {
        if (s->async)
            watcher::remove(s->async);
        return true;
    }
    release_elsewhere(s);
    return false;
}

// Whether the owner thread can delete the state's interpreter now.
bool reapable(const State *s) {
    return s->depth == 0 && !(s->interp && tcl::api().InterpActive(s->interp));
}

// Tcl's event loop on an owner thread that has interpreters to delete (the
// GIL released by _tkinter): the deletion runs Python, which may run Tcl
// again, so it must take the GIL the way _tkinter knows. It runs through
// _tkinter's procedure for the checker of one of those interpreters (the
// "host"), called with an argument, which makes the checker reap.
void reap_from_event_loop() {
    if (t_reaping || PyGILState_Check() || foreign::active())
        return;  // left to the next package call of the thread
    std::vector<void *> items = owner::take();
    State *host = nullptr;
    for (void *p : items) {
        State *s = static_cast<State *>(p);
        if (!host && s->check_proc && s->check_data && s->interp && reapable(s))
            host = s;
    }
    owner::give_back(items);
    if (!host)
        return;
    const tcl::Api &api = tcl::api();
    tcl::Interp *interp = host->interp;
    TkCommandData *data = host->check_data;
    tcl::ObjCmdProc proc = host->check_proc;
    // _tkinter's procedure sets the result of the interpreter it is given,
    // which the reaping deletes: Tcl frees it only once released below.
    api.Preserve(interp);
    t_host_data = data;
    t_host_released = false;
    tcl::Obj *argv[2] = {api.NewStringObj("reap", 4), api.NewStringObj("reap", 4)};
    tcl::incr_ref(argv[0]);
    tcl::incr_ref(argv[1]);
    proc(data, interp, 2, argv);
    tcl::decr_ref(argv[0]);
    tcl::decr_ref(argv[1]);
    t_host_data = nullptr;
    if (t_host_released) {
        PyGILState_STATE gil = PyGILState_Ensure();
        PyMem_Free(data);
        PyGILState_Release(gil);
    }
    // The interpreter's deletion happens here: TclX's part of it is
    // serialised with other threads (see TclxGuard; the GIL is not held).
    std::lock_guard<std::recursive_mutex> lock(tclx_mutex());
    api.Release(interp);
}

int registry_traverse(PyObject *self, visitproc visit, void *arg) {
    Py_VISIT(Py_TYPE(self));
    State *s = state_of(self);
    if (!s)
        return 0;
    // The guards are held by Tcl (through _tkinter's command data); the
    // registry stands for those references.
    for (Command *c : s->commands)
        Py_VISIT(c->guard);
    if (s->check_data)
        Py_VISIT(s->check_data->func);
    Py_VISIT(s->last_exc);
    Py_VISIT(s->unwinding);
    Py_VISIT(s->timeout_type);
    return 0;
}

int registry_clear(PyObject *self) {
    if (State *s = state_of(self))
        if (shut(s))
            reinterpret_cast<Registry *>(self)->state = nullptr;
    return 0;
}

void registry_dealloc(PyObject *self) {
    PyTypeObject *type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    State *s = state_of(self);
    if (s && !shut(s)) {
        // A Tcl interpreter of another thread may still point here (its
        // asynchronous handler, its per-interpreter data): then the state
        // stays.
        if (!s->interp) {
            if (s->depth > 0)
                s->orphaned = true;  // freed by the last entry
            else
                delete s;
        }
    }
    type->tp_free(self);
    Py_DECREF(type);
}

PyType_Slot registry_slots[] = {{Py_tp_traverse, (void *)registry_traverse},
                                {Py_tp_clear, (void *)registry_clear},
                                {Py_tp_dealloc, (void *)registry_dealloc},
                                {0, nullptr}};

PyType_Spec registry_spec = {"korvex.tcl.CommandRegistry", sizeof(Registry), 0,
                             Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, registry_slots};

// One registry class for all the extension modules (each links its own copy
// of this code): kept in the Python interpreter's dict for extensions, so that
// every module recognises the registries the interpreter module makes.
PyTypeObject *shared_registry_type() {
    PyObject *shared = PyInterpreterState_GetDict(PyInterpreterState_Get());
    if (!shared) {
        PyErr_SetString(PyExc_RuntimeError, "no per-interpreter dict for korvex.tcl");
        throw nb::python_error();
    }
    PyObject *key = KX_STR("korvex.tcl.CommandRegistry");
    PyObject *type = PyDict_GetItemWithError(shared, key);
    if (type)
        return (PyTypeObject *)nb::borrow(type).release().ptr();
    if (PyErr_Occurred())
        throw nb::python_error();
    nb::object made = check(PyType_FromSpec(&registry_spec));
    // (Making it may give up the GIL: a class another thread stored meanwhile wins.)
    PyObject *stored = PyDict_SetDefault(shared, key, made.ptr());
    if (!stored)
        throw nb::python_error();
    return (PyTypeObject *)nb::borrow(stored).release().ptr();
}

PyTypeObject *registry_type() { return KX_ONCE(PyTypeObject *, shared_registry_type()); }

tcl::Interp *interp_of_tk(nb::handle tk) {
    if (tcl::Interp *interp = tcl::tkapp_interp(tk))
        return interp;
    PyObject *addr = PyObject_CallMethod(tk.ptr(), "interpaddr", nullptr);
    if (!addr) {
        PyErr_Clear();
        return nullptr;
    }
    void *p = PyLong_AsVoidPtr(addr);
    Py_DECREF(addr);
    if (!p)
        PyErr_Clear();
    return static_cast<tcl::Interp *>(p);
}

State *new_state(nb::handle tk, tcl::Interp *interp) {
    State *s = new State;
    s->tk = nb::borrow(tk).release().ptr();
    s->interp = interp;
    s->thread = tcl::api().GetCurrentThread();
    s->owner = owner::current();
    return s;
}

// A state the Tcl interpreter owns (for application objects that are not an
// Interpreter's): freed with the interpreter.
void owned_assoc_deleted(void *data, tcl::Interp *) {
    State *s = static_cast<State *>(data);
    PyGILState_STATE gil = PyGILState_Ensure();
    s->interp = nullptr;
    shut(s);
    delete s;
    PyGILState_Release(gil);
}

}  // namespace

TclxGuard::TclxGuard() {
    if (tclx_mutex().try_lock())
        return;
    Py_BEGIN_ALLOW_THREADS
    tclx_mutex().lock();
    Py_END_ALLOW_THREADS
}

TclxGuard::~TclxGuard() { tclx_mutex().unlock(); }

void drop_app(PyObject *&ref) {
    if (!ref)
        return;
    if (Py_REFCNT(ref) > 1) {
        Py_CLEAR(ref);
        return;
    }
    TclxGuard guard;
    Py_CLEAR(ref);
}

void release_tk_data(TkCommandData *&data, TkSelf how) {
    if (!data)
        return;
    release_tk_self(data, how);
    Py_CLEAR(data->func);
    PyMem_Free(data);
    data = nullptr;
}

void forget_last(State *s) {
    Py_CLEAR(s->last_exc);
    if (s->last_code) {
        tcl::decr_ref(s->last_code);
        s->last_code = nullptr;
    }
    if (s->last_result) {
        tcl::decr_ref(s->last_result);
        s->last_result = nullptr;
    }
}

void reap_here() {
    if (t_reaping)
        return;  // (a deletion's Tcl work calling the package again)
    t_reaping = true;
    std::vector<void *> later;
    for (void *p : owner::take()) {
        State *s = static_cast<State *>(p);
        if (!reapable(s)) {
            later.push_back(p);
            continue;
        }
        if (s->interp)
            release_here(s);
        else
            release_elsewhere(s);  // (its interpreter went meanwhile)
        delete s;
    }
    owner::give_back(later);
    t_reaping = false;
}

void set_unwinding(State *s, nb::handle exc) {
    if (!s->unwinding)
        s->unwinding = nb::borrow(exc).release().ptr();
}

void unlink_command(State *s, Command *c) {
    auto it = std::find(s->commands.begin(), s->commands.end(), c);
    if (it != s->commands.end())
        s->commands.erase(it);
}

State *state_of_tk(nb::handle tk) { return state_of_interp(interp_of_tk(tk)); }

State *state_of_interp(tcl::Interp *interp) {
    if (!interp)
        return nullptr;
    const tcl::Api &api = tcl::api();
    State *s = static_cast<State *>(api.GetAssocData(interp, kAssocName, nullptr));
    if (!s || s->interp != interp || s->closed || api.GetCurrentThread() != s->thread)
        return nullptr;
    return s;
}

State *state_for_commands(nb::handle tk) {
    if (State *s = state_of_tk(tk))
        return s;
    tcl::Interp *interp = interp_of_tk(tk);
    if (!interp || tcl::api().GetAssocData(interp, kAssocName, nullptr))
        return nullptr;  // none, or not this thread's
    State *s = new_state(tk, interp);
    tcl::api().SetAssocData(interp, kAssocName, (void *)owned_assoc_deleted, s);
    return s;
}

namespace {

// The TclTimeoutError of deadline `d`.
nb::object timeout_error(State *s, const Deadline &d) {
    nb::object msg = timelimit::message(d.seconds, d.at);
    nb::object exc = check(PyObject_CallOneArg(s->timeout_type, msg.ptr()));
    // The details every TclError carries; the code is Tcl's own for an
    // exceeded time limit.
    set_attr(exc, KX_ID(result), msg);
    set_attr(exc, KX_ID(errorcode), nb::make_tuple("TCL", "LIMIT", "TIME"));
    set_attr(exc, KX_ID(errorinfo), msg);
    set_attr(exc, KX_ID(errorline), nb::none());
    return exc;
}

const Deadline *passed_deadline(const State *s) {
    if (s->deadlines.empty())
        return nullptr;
    tcl::Time t = now();
    for (const Deadline &d : s->deadlines)
        if (!before(t, d.at))
            return &d;
    return nullptr;
}

// What a call started through tkinter's own methods leaves to Python once
// _tkinter returns: the interpreter's cancellation to clear (Tcl_EvalEx, which
// _tkinter uses, leaves it set after an unwound script: every later script
// would fail with "eval unwound") and the exception to raise, if any.
struct Later {
    PyObject *tk;   // strong
    PyObject *exc;  // strong, or null
};

// A pending call (run by Python in the main thread, where signal handlers
// run, at its next check).
int settle_later(void *data) {
    Later *later = static_cast<Later *>(data);
    nb::object tk = nb::steal(later->tk), exc = nb::steal(later->exc);
    delete later;
    if (State *s = state_of_tk(tk)) {
        if (s->interp && !tcl::api().InterpActive(s->interp)) {
            tcl::api().ResetCancellation(s->interp, 1);
            tcl::api().SetChildCancelFlags(s->interp, 0, 1);
            s->cancelled = false;
            drop_unwound_reports(s);
        }
    }
    if (!exc.is_valid())
        return 0;
    PyErr_SetObject((PyObject *)Py_TYPE(exc.ptr()), exc.ptr());
    return -1;
}

// Schedules settle_later for the state's interpreter (and `exc`, may be
// null); false when Python's queue of pending calls is full.
bool settle_after_tkinter(State *s, nb::handle exc) {
    Later *later = new Later{nb::borrow(s->tk).release().ptr(), exc.is_valid() ? nb::borrow(exc).release().ptr() : nullptr};
    if (Py_AddPendingCall(settle_later, later) == 0)
        return true;
    Py_XDECREF(later->tk);
    Py_XDECREF(later->exc);
    delete later;
    return false;
}

void check_now(State *s) {
    if (PyErr_CheckSignals() < 0) {
        nb::object exc = fetch_exception();
        if (s->closing) {
            set_unwinding(s, exc);  // close() raises it when it is done
            return;
        }
        s->unwind_now = true;
        if (s->depth > 0)
            set_unwinding(s, exc);
        else
            settle_after_tkinter(s, exc);  // started through tkinter: Python raises it once _tkinter returns
        return;
    }
    if (!s->timeout_type || s->closing)
        return;
    if (const Deadline *d = passed_deadline(s)) {
        if (s->depth > 0) {
            set_unwinding(s, timeout_error(s, *d));
        } else {
            settle_after_tkinter(s, nb::handle());
            s->raw_timeout = d->id;  // for its time limit's exit
        }
        s->unwind_now = true;
    }
}

}  // namespace

// Called from a C entry (the guard's tp_call): whatever fails here, even
// building the timeout error, unwinds the evaluation with that failure.
void run_check(State *s) {
    if (s->unwinding)
        return;
    try {
        check_now(s);
    } catch (nb::python_error &e) {
        e.restore();
        set_unwinding(s, fetch_exception());
        s->unwind_now = true;
    }
}

nb::object attach(nb::handle tk, nb::handle timeout_type) {
    tcl::Interp *interp = interp_of_tk(tk);
    if (!interp) {
        PyErr_SetString(PyExc_RuntimeError, "the Tcl interpreter's address is unavailable");
        throw nb::python_error();
    }
    const tcl::Api &api = tcl::api();
    Registry *r = PyObject_GC_New(Registry, registry_type());
    if (!r)
        throw nb::python_error();
    r->state = nullptr;
    PyObject_GC_Track(r);
    nb::object registry = nb::steal((PyObject *)r);
    State *s = new_state(tk, interp);
    s->timeout_type = nb::borrow(timeout_type).release().ptr();
    r->state = s;
    api.SetAssocData(interp, kAssocName, (void *)assoc_deleted, s);

    // The periodic check: _tkinter makes a command for our checker, whose
    // procedure and data are kept (the command itself is deleted again).
    learn_tk_self(s, tk);
    nb::object checker = make_guard(nb::object(), s);
    nb::object name = check(PyUnicode_FromFormat("::__korvex__check_%p", (void *)s));
    call_method(tk, KX_ID(createcommand), {name.ptr(), checker.ptr()});
    tcl::CmdInfo info;
    const char *text = PyUnicode_AsUTF8(name.ptr());
    if (take_tk_command(interp, text, checker, info)) {
        s->check_proc = info.objProc;
        s->check_data = static_cast<TkCommandData *>(info.objClientData);
        adopt_tk_data(s, s->check_data);
        info.deleteProc = nullptr;
        info.deleteData = nullptr;
        api.SetCommandInfo(interp, text, &info);
    }
    call_method(tk, KX_ID(deletecommand), {name.ptr()});
    owner::on_event(reap_from_event_loop);
    if (s->check_proc) {
        s->async = api.AsyncCreate(async_proc, s);
        // Python runs signal handlers in its main thread only: the handler
        // of an interpreter of another thread has nothing to do for a signal.
        unsigned long main = watcher::main_thread();
        watcher::add(s->async, mark, main ? main == PyThread_get_thread_ident() : in_main_thread());
        s->waits = labwaits::attach(interp);
        watcher::set_breaker(s->async, labwaits::on_watch, s->waits);
    }
    return registry;
}

bool close(nb::handle registry, nb::object *interrupt) {
    if (std::strcmp(Py_TYPE(registry.ptr())->tp_name, registry_spec.name) != 0)
        return false;
    State *s = state_of(registry.ptr());
    if (!s || s->closed)
        return false;
    if (shut(s)) {
        reinterpret_cast<Registry *>(registry.ptr())->state = nullptr;
        return true;
    }
    if (s->unwinding) {
        nb::object exc = nb::steal(s->unwinding);
        s->unwinding = nullptr;
        if (interrupt)
            *interrupt = exc;
    }
    return true;
}

void raise_pending(State *s);

namespace {

// The start of an entry into Tcl of the interpreter of state `s` (if any):
// returns `s`.
State *enter(State *s, tcl::Interp *interp) {
    if (!s)
        return nullptr;
    if (s->depth++ == 0) {
        // What an earlier evaluation started through tkinter's own methods
        // left behind belongs to nobody now.
        s->raw_timeout = 0;
        if (s->unwinding) {
            Py_CLEAR(s->unwinding);
            s->unwind_now = false;
        }
        if (s->cancelled) {
            const tcl::Api &api = tcl::api();
            api.ResetCancellation(interp, 0);
            if (!api.InterpActive(interp)) {
                api.SetChildCancelFlags(interp, 0, 1);
                s->cancelled = false;
            }
        }
        if (s->reports_before >= 0)
            drop_unwound_reports(s);
    }
    return s;
}

}  // namespace

Entry::Entry(nb::handle tk) {
    // Python and Tcl calling each other: each round takes C stack that no
    // recursion limit of either counts.
    check_stack(" while calling Tcl from Python");
    if (owner::waiting())
        reap_here();
    tcl::Interp *interp = tcl::tkapp_interp(tk);
    s_ = enter(state_of_interp(interp), interp);
}

Entry::Entry(nb::handle tk, nb::handle registry) {
    check_stack(" while calling Tcl from Python");
    if (owner::waiting())
        reap_here();
    tcl::Interp *interp = tcl::tkapp_interp(tk);
    State *s = nullptr;
    if (registry.is_valid() && Py_TYPE(registry.ptr()) == registry_type()) {
        s = state_of(registry.ptr());
        if (s && (!interp || s->interp != interp || s->closed || tcl::api().GetCurrentThread() != s->thread))
            s = nullptr;
    }
    s_ = enter(s ? s : state_of_interp(interp), interp);
}

Entry::~Entry() {
    State *s = s_;
    if (!s)
        return;
    // (The state outlives its interpreter while an entry holds it.)
    if (--s->depth == 0) {
        stdio::flush_tcl();  // what Tcl holds back, out before Python writes
        if (s->orphaned) {
            delete s;
            return;
        }
        if (s->unwinding) {
            // Not delivered by the call it belonged to (its caller left by
            // another way): it must not reach a later, unrelated one.
            Py_CLEAR(s->unwinding);
            s->unwind_now = false;
            if (s->interp && !s->closed)
                tcl::api().ResetCancellation(s->interp, 0);
        }
        if (s->reports_before >= 0 && s->interp && !s->closed)
            drop_unwound_reports(s);
    }
}

void Entry::check() {
    State *s = s_;
    if (!s || (s->deadlines.empty() && !s->unwinding) || s->closed || !s->interp || !s->timeout_type)
        return;
    raise_pending(s);
}

void Entry::done() {
    State *s = s_;
    if (s && s->last_exc && s->depth == 1 && s->interp && !s->closed && !tcl::api().InterpActive(s->interp))
        forget_last(s);
}

namespace {

State *live_state(nb::handle registry) {
    State *s = state_of(registry.ptr());
    if (!s || s->closed) {
        PyErr_SetString(tcl_error_type(), kClosed);
        throw nb::python_error();
    }
    if (tcl::api().GetCurrentThread() != s->thread) {
        PyErr_SetString(PyExc_RuntimeError, "a time limit can only be set from the interpreter's own thread");
        throw nb::python_error();
    }
    return s;
}

}  // namespace

long push_deadline(nb::handle registry, double seconds) {
    State *s = live_state(registry);
    Deadline d{plus(now(), seconds), seconds, s->next_deadline_id++};
    s->deadlines.push_back(d);
    tell_watcher(s);
    return d.id;
}

void pop_deadline(nb::handle registry, long id) {
    State *s = state_of(registry.ptr());
    if (!s)
        return;
    s->deadlines.erase(std::remove_if(s->deadlines.begin(), s->deadlines.end(),
                                      [id](const Deadline &d) { return d.id == id; }),
                       s->deadlines.end());
    tell_watcher(s);
}

void raise_pending(State *s) {
    tcl::Interp *interp = s->interp;
    if (s->unwinding && !tcl::api().InterpActive(interp)) {
        // Tcl finished before the unwinding took effect: the exception is
        // still this call's.
        nb::object exc = nb::steal(s->unwinding);
        s->unwinding = nullptr;
        s->unwind_now = false;
        tcl::api().ResetCancellation(interp, 1);
        tcl::api().SetChildCancelFlags(interp, 0, 1);
        drop_unwound_reports(s);
        ::kx::reraise(exc);
    }
    if (const Deadline *d = passed_deadline(s)) {
        nb::object exc = timeout_error(s, *d);
        PyErr_SetObject((PyObject *)Py_TYPE(exc.ptr()), exc.ptr());
        throw nb::python_error();
    }
}

bool must_propagate(nb::handle exc) {
    if (PyObject_IsInstance(exc.ptr(), PyExc_TimeoutError) == 1)
        return true;
    if (PyObject_IsInstance(exc.ptr(), tcl_error_type()) != 1) {
        PyErr_Clear();
        return false;
    }
    PyObject *args = PyObject_GetAttrString(exc.ptr(), "args");
    bool closed = args && PyTuple_Check(args) && PyTuple_GET_SIZE(args) == 1 &&
                  PyUnicode_Check(PyTuple_GET_ITEM(args, 0)) &&
                  PyUnicode_CompareWithASCIIString(PyTuple_GET_ITEM(args, 0), kClosed) == 0;
    Py_XDECREF(args);
    PyErr_Clear();
    return closed;
}

bool pending_must_propagate() {
    nb::object exc = fetch_exception();
    bool result = exc.is_valid() && must_propagate(exc);
    if (exc.is_valid())
        PyErr_SetObject((PyObject *)Py_TYPE(exc.ptr()), exc.ptr());
    return result;
}

void check_deadline(nb::handle tk) {
    tcl::Interp *interp = tcl::tkapp_interp(tk);
    if (!interp)
        return;
    State *s = static_cast<State *>(tcl::api().GetAssocData(interp, kAssocName, nullptr));
    if (!s || (s->deadlines.empty() && !s->unwinding) || s != state_of_interp(interp) || !s->timeout_type)
        return;
    raise_pending(s);
}

nb::object raw_timeout(nb::handle registry, long id, nb::handle exc) {
    if (Py_TYPE(registry.ptr()) != registry_type() || PyObject_IsInstance(exc.ptr(), tcl_error_type()) != 1) {
        PyErr_Clear();
        return nb::object();
    }
    State *s = state_of(registry.ptr());
    if (!s || s->closed || !s->timeout_type || !id || s->raw_timeout != id ||
        PyObject_IsInstance(exc.ptr(), s->timeout_type) != 0) {
        PyErr_Clear();
        return nb::object();
    }
    s->raw_timeout = 0;
    for (const Deadline &d : s->deadlines)
        if (d.id == id)
            return timeout_error(s, d);
    return nb::object();
}

bool take_callback_exception(nb::handle tk, nb::handle exc) {
    State *s = state_of_tk(tk);
    if (!s || s->closing || !s->interp || !exc.is_valid() || exc.is_none())
        return false;
    if (!stops_evaluation(s, exc)) {
        PyErr_Clear();
        // Tcl's error of work that the package is unwinding (a call of the
        // callback's into Tcl) is that unwinding's, not the callback's.
        if (PyObject_IsInstance(exc.ptr(), tcl_error_type()) != 1) {
            PyErr_Clear();
            return false;
        }
        if (s->unwinding)
            return true;
        nb::object text = nb::steal(PyObject_Str(exc.ptr()));
        PyErr_Clear();
        return s->cancelled && text.is_valid() && PyUnicode_Check(text.ptr()) &&
               PyUnicode_CompareWithASCIIString(text.ptr(), "eval unwound") == 0;
    }
    // Only a package call delivers it: under tkinter's own mainloop, say,
    // the exception is reported as tkinter reports it.
    if (s->depth == 0)
        return false;
    set_unwinding(s, exc);
    unwind(s);
    return true;
}

}  // namespace bridge
}  // namespace kx
