// Waits inside Tcl extensions that neither Tcl's asynchronous handler nor its
// cancellation reaches by themselves, made stoppable by Ctrl-C and time
// limits (see bridge.cpp for the check that stops ordinary Tcl work):
//
// - Expect's `expect`, `expect_user`, `expect_tty` wait in a loop of their
//   own around Tcl's event loop. When the check unwinds the interpreter while
//   one waits, the spawn ids are marked closed for that instant and Expect's
//   configuration count is bumped: Expect re-validates its spawn ids at once
//   and returns an error (no case body runs, no spawn id is touched), and the
//   command's wrapper marks them open again.
// - sqlite queries run inside sqlite's C code: the watcher thread interrupts
//   the connections the interpreter opened (sqlite3_interrupt is thread-safe).
// - Blocking reads (`gets`, `read` on a channel in blocking mode) wait in a
//   system call: the watcher sends the interpreter's thread a signal whose
//   handler does nothing, so the call fails with EINTR (Ctrl-C does the same).
// - Thread's synchronous `thread::send` waits for the worker: stopping it
//   cancels the script the worker runs (see labwaits.cpp), so it answers.
// - TclX's `sleep` waits in Tcl_Sleep, which nothing interrupts: it waits in
//   Tcl's own `after` instead. TclX's `wait`, `select` and `flock` wait in a
//   system call: they are interrupted as blocking reads are.
// - Thread's `tpool::wait` waits for pool workers nobody outside can reach:
//   a second Ctrl-C during it ends the process as Ctrl-C ends tclsh.
//
// The wrappers are installed when `load` brings such an extension into the
// interpreter (the commands keep their names and behaviour); an interpreter
// without them pays nothing.
#pragma once

#include "support/tcl/tcllib.hpp"

namespace kx {
namespace labwaits {

struct Waits;

// Sets up the interpreter (on its thread): wraps `load`, `gets` and `read`.
Waits *attach(tcl::Interp *interp);

// The interpreter is going away or stops being checked (on its thread).
void detach(Waits *&w);

// The check began unwinding the interpreter's evaluation (on its thread,
// from Tcl's asynchronous handler).
void on_stop(Waits *w);

// From the watcher thread: a deadline of the interpreter has passed
// (`deadline`), or Ctrl-C arrived.
void on_watch(void *w, bool deadline);

}  // namespace labwaits
}  // namespace kx
