// The watcher: one thread of the process that, while any interpreter is
// registered, marks each registered Tcl asynchronous handler every
// kWatchMicros. Tcl then runs the handler on the interpreter's own thread at
// its next safe point: between commands, every few dozen bytecode
// instructions inside compiled loops, at each event-loop step and in slices
// of at most 500 ms inside `after`. The watcher never touches Python, takes no
// lock but its own, and sleeps while nothing is registered.
#pragma once

#include "support/tcllib.hpp"

namespace kx {
namespace watcher {

// How often registered handlers are marked.
constexpr long kWatchMicros = 50000;

// Starts marking `async` (a Tcl_AsyncHandler); the thread is started on first use.
void add(tcl::AsyncHandler async, void (*mark)(tcl::AsyncHandler));

// Stops marking `async`. Once this returns the watcher no longer uses it, so
// its owner thread may delete it.
void remove(tcl::AsyncHandler async);

}  // namespace watcher
}  // namespace kx
