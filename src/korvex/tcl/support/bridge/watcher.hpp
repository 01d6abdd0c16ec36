// The watcher: one thread of the process that marks an interpreter's Tcl
// asynchronous handler when there is something for it to do, so that Tcl
// runs the handler on the interpreter's own thread at its next safe point
// (between commands, every few dozen bytecode instructions inside compiled
// loops, at each event-loop step, in slices of at most 500 ms inside
// `after`). There is something to do when a deadline of the interpreter has
// passed, or when a signal arrived for which Python has a handler: Python
// writes its number to the wakeup file descriptor the watcher set up (when
// nothing else had one). A signal concerns only the interpreters of Python's
// main thread, the only thread where Python runs signal handlers. The watcher
// marks nothing otherwise, because Tcl's
// bytecode can hand the handler the stale error code of a just-caught error,
// and a handler that runs then (whatever it returns) lets that error escape
// the catch. It never touches Python, takes no lock but its own, and sleeps
// while nothing is registered.
#pragma once

#include "support/tcl/tcllib.hpp"

namespace kx {
namespace watcher {

// While a deadline has passed, its handler is marked again this often.
constexpr long kRemarkMicros = 50000;

// Starts watching `async` (a Tcl_AsyncHandler); the thread starts on first
// use. `on_signals`: whether signals mark it too, besides its deadlines.
void add(tcl::AsyncHandler async, void (*mark)(tcl::AsyncHandler), bool on_signals);

// Stops watching `async`. Once this returns the watcher no longer uses it, so
// its owner thread may delete it.
void remove(tcl::AsyncHandler async);

// Also calls `breaker(data, passed)` for `async`, under the watcher's lock,
// each time a deadline has passed (`passed`) and when Ctrl-C arrives: for
// waits inside Tcl work that the handler cannot reach (see labwaits.hpp).
void set_breaker(tcl::AsyncHandler async, void (*breaker)(void *, bool), void *data);

// The earliest deadline of `async`'s interpreter, `seconds` from now; a
// negative number for none.
void set_deadline(tcl::AsyncHandler async, double seconds);

// The write end of the pipe for Python's wakeup file descriptor (made on
// first use; -1 when none can be made), and whether Python writes to it now.
int signal_pipe();
void signals_seen(bool seen);

// Makes Python write the number of each signal it has a handler for to the
// watcher, unless something (an event loop) already has Python's wakeup file
// descriptor; from the main thread, at import. Without it, Ctrl-C and signal
// handlers reach Tcl work only at its end (time limits are not affected).
void watch_signals();

// The ident of Python's main thread (PyThread_get_thread_ident), as
// watch_signals learnt it; 0 when it ran in another thread.
unsigned long main_thread();

// Whether signals reach the watcher (the wakeup file descriptor is ours).
bool sees_signals();

}  // namespace watcher
}  // namespace kx
