// Three counters of Tcl 8.6's interpreter record that no public call sets:
// how deeply Tcl is nested in command calls, how many commands it has run,
// and the head of its list of command traces. A command that stands in for
// another piece of work (see bridge/quickeval.cpp) adjusts the first two so
// that Tcl sees only that work, and steps aside while the third is set.
//
// The fields are found by a copy of the record's head, and used only after
// that copy was checked against the running library: the nesting limit
// (Tcl_SetRecursionLimit) and a trace made and deleted for the purpose must
// show in the fields beside and after them, as they would in Tcl's own.
#pragma once

#include "support/tcl/tcllib.hpp"

namespace kx {
namespace tcl {

struct InterpCounters {
    int *num_levels = nullptr;  // nested command calls under way
    int *cmd_count = nullptr;   // commands run (`info cmdcount`)
    void **traces = nullptr;    // Tcl_CreateObjTrace's list; null when none
    explicit operator bool() const { return num_levels != nullptr; }
};

// The counters of `interp`, checked as above; empty when the record is not
// laid out as the copy says. Call only while Tcl runs nothing, on the
// interpreter's thread. The pointers live as long as the interpreter.
InterpCounters interp_counters(Interp *interp);

}  // namespace tcl
}  // namespace kx
