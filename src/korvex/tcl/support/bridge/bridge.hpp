// Python and Tcl failing into each other: Python callables registered as Tcl
// commands, the details every TclError carries, signals and time limits while
// Tcl runs, and the cleanup of an interpreter's commands.
//
// The interpreter's thread owns its Tcl interpreter: the direct Tcl calls made
// here happen only there. Tcl code is never run from here while the GIL is
// held; what runs Tcl goes through the _tkinter application object.
#pragma once

#include "support/python/pyutil.hpp"

namespace kx {
namespace bridge {

// Sets the bridge up for a new interpreter's application object `tk`: the
// registry object (to be kept in the interpreter object's __dict__, which
// makes it live as long as the interpreter), the periodic check for signals
// and time limits. `timeout_type` is TclTimeoutError.
nb::object attach(nb::handle tk, nb::handle timeout_type);

// For tests: how _tkinter's command data holds the application object, as
// (what the running _tkinter does, what the bridge acts on), each "owned",
// "borrowed" or "unknown" (see tkcmddata.cpp).
nb::object tk_data_ownership();

// Registers `func` as the Tcl command `name` of `tk` (what tk.createcommand
// does, with the bridge's error handling and result conversion).
void create_command(nb::handle tk, nb::handle name, nb::handle func);

// The failure of a call through `tk` whose Python error is set: returns the
// TclError, given its details (result, errorcode, errorinfo, errorline when
// `with_line`) and its cause (the callback exception behind it), with the
// error indicator cleared. Any other exception propagates; an exception
// waiting for the evaluation to unwind (see above) is raised instead.
nb::object caught(nb::handle tk, bool with_line = true);

// raise caught(tk, with_line)
[[noreturn]] void reraise(nb::handle tk, bool with_line = true);

// raise exc_type(text) in place of `caught`: the details and cause of
// `caught` carried over, `caught` as the context (suppressed).
[[noreturn]] void raise_replacing(PyObject *exc_type, nb::handle text, nb::handle caught);

// Deletes every Tcl command the bridge registered for the interpreter and
// releases its hold on the interpreter. Idempotent; false when there was
// nothing to close. `interrupt` receives an exception that arrived meanwhile
// (a Ctrl-C, say), for the caller to raise once it has finished closing.
bool close(nb::handle registry, nb::object *interrupt = nullptr);

// One package call into the Tcl interpreter of `tk`, for as long as it lives.
// The outermost one first settles what Tcl work started through tkinter's
// own methods may have left (a cancellation, a stale exception), so nothing
// of it reaches this call. While one lives, a signal handler's exception or a
// timeout that stops the Tcl work is kept for this call's caught() to raise;
// with none, Tcl work was started through tkinter's own methods: the work is
// still stopped, and a signal handler's exception is raised in Python right
// after _tkinter returns (a timeout then is only Tcl's "eval unwound").
struct State;

class Entry {
public:
    explicit Entry(nb::handle tk);
    // The same, with the interpreter's registry object at hand (the state is
    // then found without asking Tcl); `registry` may be anything, or null.
    Entry(nb::handle tk, nb::handle registry);
    ~Entry();
    Entry(const Entry &) = delete;
    Entry &operator=(const Entry &) = delete;

    // Before and after the Tcl work: raises TclTimeoutError when a deadline
    // has passed, or what stopped the work if Tcl finished before stopping
    // (see check_deadline).
    void check();

    // After Tcl work that succeeded: at the outermost level, the exception of
    // a callback failure that Tcl caught is let go.
    void done();

    // The word to hand _tkinter's call for the command name `name` (a str):
    // a _tkinter.Tcl_Obj of that text which the interpreter keeps, so that
    // Tcl's own record in it of the command it names is used again (Tcl
    // checks that record on every use, as it does in compiled scripts: a
    // command renamed, deleted or defined anew, or a namespace change, makes
    // it look the name up afresh, and a name it finds no command for is never
    // recorded). Null where the name has no such word (not plain ASCII text,
    // not on the interpreter's thread, closed).
    nb::object command_word(nb::handle name);

private:
    State *s_ = nullptr;
};

// What an Interpreter's `tk` becomes once closed: every attribute raises
// TclError("this Interpreter is closed") (closedtk.cpp).
nb::object closed_tk();

// Raises TclError("this Interpreter is closed") when `tk` is closed_tk().
void check_open(nb::handle tk);

// TclX keeps one table of interpreters for the whole process, without a
// lock: loading TclX into an interpreter and deleting an interpreter that has
// it must not run in two threads at once. While a TclxGuard lives, no other
// thread holds one. It is taken with the GIL released (so a thread waiting
// for it never holds the GIL) and may be taken again by the thread holding it.
class TclxGuard {
public:
    TclxGuard();
    ~TclxGuard();
    TclxGuard(const TclxGuard &) = delete;
    TclxGuard &operator=(const TclxGuard &) = delete;
};

// Drops the reference `ref` (an application object, maybe the last one, whose
// deallocation deletes its Tcl interpreter) under a TclxGuard.
void drop_app(PyObject *&ref);

// Whether `exc` must reach the caller as it is, never turned into the
// KeyError, ValueError or fallback of a lookup or a cast: a timeout, or the
// TclError of a closed interpreter. pending_must_propagate(): the same for the
// exception being raised (the error indicator set; it stays set).
bool must_propagate(nb::handle exc);
bool pending_must_propagate();

// Around Tcl work of `tk` inside a time limit: raises TclTimeoutError when a
// deadline of the interpreter has passed (Tcl work that overran without being
// stopped, such as a blocking system call, or a deadline that passed while
// Python ran). Costs one lookup of Tcl's per-interpreter data.
void check_deadline(nb::handle tk);


// Time limits: push a deadline `seconds` from now (returns its id), pop it.
long push_deadline(nb::handle registry, double seconds);
void pop_deadline(nb::handle registry, long id);

// Moves every deadline of the interpreter `seconds` later (earlier when
// negative): the debugger holds time limits off while its prompt waits.
void shift_deadlines(nb::handle registry, double seconds);

// At the exit of time limit `id` with `exc` raised: the TclTimeoutError to
// raise in its place when `exc` is Tcl's error for work started through
// tkinter's own methods (i.tk.call, i.tk.eval) that this limit's deadline
// stopped; else null (no error set).
nb::object raw_timeout(nb::handle registry, long id, nb::handle exc);

// tkinter's report of `exc`, raised by a callback it registered (its after,
// say) and caught by its wrapper: true when the bridge takes it, and nothing
// is to be reported. An exception that stops Tcl work (Ctrl-C, a signal
// handler's, a timeout) stops the evaluation that ran the callback, and the
// package call that started it raises it (with none, tkinter reports it as
// ever); Tcl's error of work that the package is unwinding is that
// unwinding's.
bool take_callback_exception(nb::handle tk, nb::handle exc);

}  // namespace bridge
}  // namespace kx
