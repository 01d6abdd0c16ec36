// Time limits held off while the Tcl debugger's prompt waits (a person reads
// and types there: that time is not the Tcl work's).
#pragma once

#include "support/python/pyutil.hpp"

namespace kx {
namespace bridge {

// Moves every deadline of the interpreter behind `tk` (a _tkinter application
// object, on its thread) `seconds` later, or earlier when negative. Nothing
// for an interpreter the bridge does not know or that has no time limit.
void shift_deadlines(nb::handle tk, double seconds);

}  // namespace bridge
}  // namespace kx
