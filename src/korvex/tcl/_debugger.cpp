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


#include <set>
#include <string>
#include <string_view>
#include <vector>

using namespace nb::literals;

namespace kx {
namespace {

using tcl::Interp;
using tcl::Obj;

constexpr const char *kAssocKey = "korvex.tcl debugger trace";
constexpr int kAllowInline = 0x20000;  // TCL_ALLOW_INLINE_COMPILATION

// The trace of one interpreter. Full: every command, nothing compiled
// inline (stepping, a Ctrl-C waiting, the code a breakpoint may be in).
// Filtered: inline compilation kept, and the debugger called only for a
// command whose first or second word ends in one of `names` (what may
// call a procedure or method a breakpoint is in); the rest costs a lookup.
//
// Tcl calls the traces of a command oldest first, finding each next one by
// the one it called last: a trace deleted while its own procedure runs, with
// a newer trace (a step trace of Tcl's) still to call, leaves Tcl looking
// for it past the end of its list. A trace of ours that ends while one of
// ours runs is left in place, inert (stale), and deleted once none runs.
struct Trace;

struct Slot {
    Trace *owner;
    void *token = nullptr;
    bool stale = false;
};

struct Trace {
    Interp *interp = nullptr;
    Slot *current = nullptr;
    std::vector<Slot *> stale;
    Obj *handler = nullptr;  // one reference held
    bool full = true;
    std::set<std::string, std::less<>> names;
    int busy = 0;
    bool alone = false;  // no step trace can be about (the caller says): one of ours may go at once
    bool fresh = false;  // full, made in an enter or leave trace's script: made again at its first command
    bool dead = false;   // the interpreter deleted it while its handler ran: freed when it returns
};

int on_command(void *data, Interp *interp, int, const char *command, void *, int objc, Obj *const objv[]);

void release(Trace *t) {
    if (t->handler)
        tcl::decr_ref(t->handler);
    delete t;
}

void delete_slot(Trace *t, Slot *s) {
    if (s->token)
        tcl::api().DeleteTrace(t->interp, s->token);
    delete s;
}

// Deletes the stale traces, when no handler of ours runs (or when no other
// trace can be about).
void sweep(Trace *t) {
    if ((t->busy && !t->alone) || t->stale.empty())
        return;
    std::vector<Slot *> stale;
    stale.swap(t->stale);
    for (Slot *s : stale)
        delete_slot(t, s);
}

void retire_current(Trace *t) {
    Slot *s = t->current;
    if (!s)
        return;
    t->current = nullptr;
    s->stale = true;
    t->stale.push_back(s);
    sweep(t);
}

bool make_slot(Trace *t, bool full, bool remake) {
    Slot *s = new Slot{t};
    s->token = tcl::api().CreateObjTrace(t->interp, 0, full ? 0 : kAllowInline, on_command, s, nullptr);
    if (!s->token) {
        delete s;
        return false;
    }
    t->current = s;
    t->full = full;
    t->fresh = full && remake;
    return true;
}

void assoc_deleted(void *data, Interp *) {
    // The interpreter is deleted (Tcl runs no command of it meanwhile).
    Trace *t = static_cast<Trace *>(data);
    Slot *current = t->current;
    t->current = nullptr;
    if (current)
        delete_slot(t, current);
    for (Slot *s : t->stale)
        delete_slot(t, s);
    t->stale.clear();
    t->dead = true;
    if (!t->busy)
        release(t);
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
    Slot *slot = static_cast<Slot *>(data);
    Trace *t = slot->owner;
    if (slot->stale || t->busy || t->dead)
        return tcl::kOk;
    sweep(t);  // (this one is not stale: deleting the others is safe here)
    if (!t->full && !wakes(t, objc, objv))
        return tcl::kOk;
    if (t->fresh) {
        // The first trace forbidding inline compilation, made while an
        // execution trace's script ran (`source` watched), loses Tcl's
        // "compile nothing inline" when that script returns: Tcl puts the
        // interpreter's flags back as they were. Made again here, out of
        // that script, Tcl sets it again. (The caller says when: it is then
        // the newest trace, no step trace begun since, so that deleting it
        // here is safe. In a step trace's script there is no need: Tcl's
        // step trace already forbids inline compilation.)
        t->fresh = false;
        tcl::api().DeleteTrace(interp, slot->token);
        slot->token = tcl::api().CreateObjTrace(interp, 0, 0, on_command, slot, nullptr);
        if (!slot->token) {  // (Tcl does not refuse one)
            t->current = nullptr;
            delete slot;
            return tcl::kOk;
        }
    }
    const tcl::Api &api = tcl::api();
    Obj *words[2] = {t->handler, api.NewStringObj(command, -1)};
    tcl::incr_ref(words[0]);
    tcl::incr_ref(words[1]);
    void *saved = tcl::api().SaveInterpState(interp, tcl::kOk);
    ++t->busy;
    int code = tcl::api().EvalObjv(interp, 2, words, 0);
    --t->busy;
    tcl::decr_ref(words[1]);
    tcl::decr_ref(words[0]);
    if (t->dead && !t->busy) {
        release(t);
    }
    if (code == tcl::kOk) {
        tcl::api().RestoreInterpState(interp, saved);
        return tcl::kOk;
    }
    // The debugger stops the evaluation (quit, or an exception that unwinds
    // it): the command is not run and its error is the handler's.
    tcl::api().DiscardInterpState(saved);
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
void start(nb::handle interp_obj, const std::string &handler, std::optional<std::vector<std::string>> names,
           bool remake, bool alone) {
    Interp *interp = tcl::interp_ptr(interp_obj);
    if (!interp)
        throw nb::type_error("an interpreter is needed");
    const tcl::Api &api = tcl::api();
    bool full = !names.has_value();
    Trace *t = trace_of(interp);
    if (!t) {
        t = new Trace;
        t->interp = interp;
        api.SetAssocData(interp, kAssocKey, (void *)assoc_deleted, t);
    }
    Obj *name = api.NewStringObj(handler.data(), (int)handler.size());
    tcl::incr_ref(name);
    if (t->handler)
        tcl::decr_ref(t->handler);
    t->handler = name;
    t->names.clear();
    if (names)
        t->names.insert(names->begin(), names->end());
    t->alone = alone;
    sweep(t);
    if (t->current && t->full == full)
        return;
    retire_current(t);
    if (!make_slot(t, full, remake)) {
        PyErr_SetString(PyExc_RuntimeError, "Tcl refused a command trace");
        throw nb::python_error();
    }
}

// Ends the trace of `interp`, if any; returns whether there was one.
bool stop(nb::handle interp_obj, bool alone) {
    Interp *interp = tcl::interp_ptr(interp_obj);
    Trace *t = interp ? trace_of(interp) : nullptr;
    if (!t || !t->current)
        return false;
    t->alone = alone;
    retire_current(t);
    return true;
}

// Deletes what is left of ended traces, where that is safe (see Trace).
void sweep_interp(nb::handle interp_obj) {
    Interp *interp = tcl::interp_ptr(interp_obj);
    if (Trace *t = interp ? trace_of(interp) : nullptr)
        sweep(t);
}

// Whether the trace is there and calls the debugger for every command.
bool full(nb::handle interp_obj) {
    Interp *interp = tcl::interp_ptr(interp_obj);
    Trace *t = interp ? trace_of(interp) : nullptr;
    return t && t->current && t->full;
}

bool active(nb::handle interp_obj) {
    Interp *interp = tcl::interp_ptr(interp_obj);
    Trace *t = interp ? trace_of(interp) : nullptr;
    return t && t->current;
}

}  // namespace
}  // namespace kx

KX_MODULE(_debugger, m) {
    using namespace kx;
    tcl::api();  // (the Tcl library _tkinter uses, bound without importing ctypes)

    m.def("start", &start, "interp"_a.none(), "handler"_a, "names"_a.none() = nb::none(), "remake"_a = false,
          "alone"_a = false,
          "Call the Tcl command `handler` with the text of each command the interpreter\n"
          "is about to run; with `names`, only of those whose first or second word ends\n"
          "in one of them, inline compilation kept (a trace already there is updated).\n"
          "`remake`: made from an enter or leave trace's script (made again at its\n"
          "first command, for Tcl to compile nothing inline); `alone`: no step trace\n"
          "can be about (a trace replaced may be deleted at once).");
    m.def("stop", &stop, "interp"_a.none(), "alone"_a = false,
          "End the interpreter's trace; False when there was none. `alone`: as for start.");
    m.def("shift_deadlines", [](nb::handle interp, double seconds) {
              bridge::shift_deadlines(attr(interp, KX_ID(tk)), seconds);
          }, "interp"_a.none(), "seconds"_a,
          "Move every time limit deadline of the interpreter `seconds` later (earlier\n"
          "when negative).");
    m.def("sweep", &sweep_interp, "interp"_a.none(),
          "Delete what is left of the traces ended while a handler of them ran.");
    m.def("full", &full, "interp"_a.none(), "Whether the interpreter's trace sees every command.");
    m.def("active", &active, "interp"_a.none(), "Whether the interpreter has a trace.");
}
