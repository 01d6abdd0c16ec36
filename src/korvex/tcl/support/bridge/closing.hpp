// Interpreter.close(): the end of an interpreter's Tcl side, as the bridge
// sees it (its commands, what Expect spawned, TclX's signal traps, the
// application object).
#pragma once

#include "support/python/pyutil.hpp"

namespace kx {
namespace closing {

// The bridge's registry in the instance dict of the Interpreter `self` (null
// when there is none); `dict` receives that dict.
PyObject *registry_of(nb::handle self, nb::object &dict);

// Interpreter.close(): removes every Tcl command registered through `self`
// and lets go of the Tcl interpreter; a Ctrl-C that came meanwhile is raised
// once closed. `tcl_error` is tkinter.TclError.
void close(nb::handle self, PyObject *tcl_error);

}  // namespace closing
}  // namespace kx
