// The threads that own Tcl interpreters, and the interpreters handed back to
// them. Tcl deletes an interpreter only in the thread that created it: when
// the last reference to one goes in another thread, the bridge hands it to
// its owner thread's record here, and the owner deletes it the next time it
// runs Tcl through the package or services its Tcl event loop (a Tcl event,
// queued with Tcl_ThreadQueueEvent and Tcl_ThreadAlert, wakes the loop). A
// record lives as long as its thread and whatever refers to it; once its
// thread has ended nothing more is handed to it, and what it had not taken
// yet is never freed.
//
// Nothing here touches Python; each record has a lock of its own that is
// never held while another lock is taken, except Tcl's own queue lock.
#pragma once

#include "support/tcl/tcllib.hpp"

#include <memory>
#include <vector>

namespace kx {
namespace owner {

struct Thread;
using Ref = std::shared_ptr<Thread>;

// The calling thread's record (made on first use; the thread must have a
// Tcl interpreter before anything is handed to it).
Ref current();

// Whether `t` is the calling thread's record. (Tcl's thread ids are reused
// once a thread has ended; records are not.)
bool is_current(const Ref &t);

// Hands `item` to the thread of `t` and wakes its Tcl event loop, where the
// function set with on_event runs. False when that thread has ended: the
// item stays the caller's.
bool hand_over(const Ref &t, void *item);

// Whether items wait for the calling thread (cheap: for every package call).
bool waiting();

// Takes the items handed to the calling thread; give_back() returns those it
// cannot deal with yet.
std::vector<void *> take();
void give_back(const std::vector<void *> &items);

// What the wake-up event runs on the owner thread, from inside its Tcl event
// loop (the GIL not held): set once at import.
void on_event(void (*run)());

}  // namespace owner
}  // namespace kx
