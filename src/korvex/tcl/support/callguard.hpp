// Python callables registered as Tcl commands: _tkinter converts a command's
// result without checking the items of a tuple or list, so a result holding
// an item it cannot convert would crash the process. The guard calls the
// callable and makes such a result safe (or raises, which Tcl sees as the
// command's error).
#pragma once

#include "support/pyutil.hpp"

namespace kx {

// A callable forwarding every call to `func`, its result made safe.
nb::object guard_result(nb::handle func);

}  // namespace kx
