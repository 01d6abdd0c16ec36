// The per-interpreter state behind the bridge (bridge.cpp) and the commands
// it registers (callguard.cpp). Internal to those two files, and to
// debughold.cpp (the debugger holding the deadlines off).
//
// Every Python callable registered as a Tcl command runs through _tkinter's
// own command procedure (so that _tkinter's record of the thread state it
// released stays right, whatever Tcl and Python calls nest inside), but under
// a command procedure of ours that wraps it: _tkinter calls a guard object,
// the guard calls the callable and leaves what Tcl must see (the result, or
// an error with its -errorcode and -errorinfo, or an unwinding of the whole
// evaluation) in the command's Outcome; our procedure hands that to Tcl once
// _tkinter's procedure has returned.
#pragma once

#include "support/bridge/labwaits.hpp"
#include "support/bridge/owner.hpp"
#include "support/python/pyutil.hpp"
#include "support/tcl/tcllib.hpp"

#include <string>
#include <vector>

namespace kx {
namespace bridge {

// The message of the TclError that any use of a closed interpreter raises.
constexpr const char *kClosed = "this Interpreter is closed";

// _tkinter's data of a command it created (a PythonCmd_ClientData).
struct TkCommandData {
    PyObject *self;  // the application object
    PyObject *func;  // the callable
};

// How _tkinter's command data holds the application object: a strong
// reference (older _tkinter), borrowed (newer), or not known (then never
// released: one reference kept for good rather than one released too many).
// See tkcmddata.cpp.
enum class TkSelf { kUnknown, kOwned, kBorrowed };

// What a guarded call leaves for Tcl.
struct Outcome {
    enum Kind { kAsIs, kResult, kError, kUnwind } kind = kAsIs;
    tcl::Obj *result = nullptr;  // new, or null
    tcl::Obj *code = nullptr;    // -errorcode (kError)
    std::string info;            // appended to -errorinfo after the result (kError)
};

struct State;
struct CommandWords;  // see cmdwords.cpp

// _tkinter's Tcl_Obj wrapper (its layout in every version it has had).
struct TkTclObject {
    PyObject_HEAD
    tcl::Obj *value;
    PyObject *string;  // its str, once asked for
};

// _tkinter.Tcl_Obj
PyTypeObject *tk_tcl_obj_type();

// One Tcl command registered from Python.
struct Command {
    State *state = nullptr;           // null once the registry let go of it
    tcl::ObjCmdProc tk_proc = nullptr;  // _tkinter's command procedure
    TkCommandData *tk_data = nullptr;   // and its data, owned here
    TkSelf tk_self = TkSelf::kUnknown;  // how that data holds the application
    tcl::Command token = nullptr;
    PyObject *guard = nullptr;  // borrowed: tk_data->func holds it
    Outcome outcome;
    tcl::Interp *interp_in_call = nullptr;  // where the call in progress runs
    int busy = 0;          // calls in progress
    bool deleted = false;  // Tcl deleted it while a call was in progress
};

struct Deadline {
    tcl::Time at;
    double seconds;
    long id;
};

// The bridge's state of one Tcl interpreter.
struct State {
    PyObject *tk = nullptr;  // the application object (strong)
    tcl::Interp *interp = nullptr;
    void *thread = nullptr;  // the Tcl thread that owns the interpreter
    owner::Ref owner;        // and its record (see owner.hpp)
    std::vector<Command *> commands;
    // The exception of the latest failed callback and the -errorcode object
    // it gave Tcl (one reference kept): a TclError whose -errorcode is that
    // very object was caused by it.
    PyObject *last_exc = nullptr;
    tcl::Obj *last_code = nullptr;
    // ...and its result (Tcl rewrites the -errorcode of an error from a
    // trace; the message it makes ends with this one).
    tcl::Obj *last_result = nullptr;
    // An exception to raise in place of the TclError that an unwinding
    // evaluation ends with (KeyboardInterrupt, SystemExit, a signal
    // handler's, a timeout).
    PyObject *unwinding = nullptr;
    bool unwind_now = false;
    // Package calls into Tcl in progress (see Entry): with none, the Tcl
    // work was started through tkinter's own methods, and nobody would take
    // an exception parked for it.
    int depth = 0;
    // The package cancelled an evaluation of the interpreter (unwinding it
    // for an exception): Tcl clears its own flag when the evaluation ends,
    // not its children's; the next outermost entry clears what is left.
    bool cancelled = false;
    // How many background errors Tcl had queued when the package first
    // cancelled the evaluation (-1: none cancelled): the ones queued after
    // are that unwinding failing the event handlers it went through (an
    // `after` script's "eval unwound"), not errors to report.
    int reports_before = -1;
    // The deadline that stopped Tcl work started through tkinter's own
    // methods (nobody to raise the timeout then): its time limit's exit
    // raises TclTimeoutError in place of Tcl's "eval unwound".
    long raw_timeout = 0;
    // close() is deleting the commands: a signal is kept for its end, and
    // Tcl is not unwound under it.
    bool closing = false;
    // The registry let go while an Entry still held the state: the last
    // entry frees it.
    bool orphaned = false;
    // The periodic check (signals, time limits): Tcl's asynchronous handler,
    // marked by the watcher thread, runs it through _tkinter's command
    // procedure with our checker object as its callable.
    tcl::AsyncHandler async = nullptr;
    tcl::ObjCmdProc check_proc = nullptr;
    TkCommandData *check_data = nullptr;
    // How _tkinter's data (the checker's, the commands' when taken over)
    // holds the application object, and the references to add to it when
    // one is taken over (nonzero only where a test stands in for the other
    // kind of _tkinter).
    TkSelf tk_self = TkSelf::kUnknown;
    int tk_self_adjust = 0;
    bool checking = false;
    labwaits::Waits *waits = nullptr;  // extensions' waits (see labwaits.hpp)
    CommandWords *command_words = nullptr;  // command names kept as Tcl objects
    std::vector<Deadline> deadlines;
    long next_deadline_id = 1;
    PyObject *timeout_type = nullptr;  // TclTimeoutError
    bool closed = false;
};

// The registry object: a Python object (GC-tracked) that owns a State. It
// sits in the interpreter object's __dict__; its traversal visits the guards
// that Tcl holds, so a cycle through Tcl (a callback that refers to its
// interpreter) is one Python's collector can see and break.
struct Registry {
    PyObject_HEAD
    State *state;
};

// The State of the interpreter behind `tk`, when the bridge knows it and the
// calling thread owns it; else null (no error set).
State *state_of_tk(nb::handle tk);

// The live State of Tcl interpreter `interp` on the calling thread, else null.
State *state_of_interp(tcl::Interp *interp);

// Releases the command's _tkinter data (the GIL held), which holds the
// application object as `how` says.
void release_tk_data(TkCommandData *&data, TkSelf how);

// Lets go of the data's application object as `how` says.
void release_tk_self(TkCommandData *data, TkSelf how);

// Learns how _tkinter's command data holds the application object (once per
// process; see tkcmddata.cpp) and records it in `s`: on the interpreter's
// thread, the GIL held, before any data of it is taken over.
void learn_tk_self(State *s, nb::handle tk);

// Takes over _tkinter's data of a command of `s`.
void adopt_tk_data(State *s, TkCommandData *data);

// Deletes the interpreters handed back to the calling thread (see
// owner.hpp) that are not in use; on the owner thread, the GIL held, where
// Python may call into Tcl (a package call, a command's callable).
void reap_here();

// Forgets the latest callback exception.
void forget_last(State *s);

// Lets go of the command names kept as Tcl objects: on the owner thread
// (drop), or elsewhere (abandon: Tcl's objects belong to its thread, and are
// left to it).
void drop_command_words(State *s);
void abandon_command_words(State *s);

// Takes `exc` (a BaseException that is not an Exception, a signal handler's
// or a timeout) to be raised when the evaluation has unwound.
void set_unwinding(State *s, nb::handle exc);

// Before the package cancels the state's evaluation: notes the background
// errors queued so far (see State::reports_before).
void note_reports(State *s);

// Once the cancellation is over and the interpreter idle: drops the
// background errors the unwinding queued.
void drop_unwound_reports(State *s);

// Whether `exc`, raised by Python code that Tcl called, must stop the whole
// evaluation rather than be a Tcl error: not an Exception, a timeout, or a
// signal handler's.
bool stops_evaluation(State *s, nb::handle exc);

}  // namespace bridge
}  // namespace kx

namespace kx {
namespace bridge {

// --- shared between bridge.cpp and callguard.cpp ------------------------------

// The guard object _tkinter's procedure calls: for `func`, or, with
// `check_state`, the periodic check of that state.
nb::object make_guard(nb::handle func, State *check_state);

// The periodic check's body (the GIL held): signals, time limits.
void run_check(State *s);

// The same where _tkinter's procedure cannot run it (see callguard.cpp):
// takes the GIL itself.
void run_check_here(State *s);

// The State registered commands of `tk` report to (made on demand for an
// application object the bridge did not set up); null off its thread.
State *state_for_commands(nb::handle tk);

// Drops a command from its state's list.
void unlink_command(State *s, Command *c);

// Whether `guard` is what _tkinter's command `name` calls; then `info` holds
// the command's procedure and data.
bool take_tk_command(tcl::Interp *interp, const std::string &name, nb::handle guard, tcl::CmdInfo &info);

// What Tcl sees of an exception a callable raised (recorded as the state's
// latest callback exception, or as the one to unwind with).
void outcome_of_exception(State *s, Outcome &out, nb::object exc);

// A str as a new Tcl object (U+0000 kept whole), and any result value as
// _tkinter would convert it; failures raise.
tcl::Obj *str_obj(nb::handle s);
tcl::Obj *to_tcl(nb::handle value, int depth = 0);

}  // namespace bridge
}  // namespace kx
