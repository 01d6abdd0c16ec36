// Where each error of an interpreter happened, for the pytest plugin's Tcl
// tracebacks: a Tcl command of C only (no Python, so it runs however Tcl is
// reached: through _tkinter, from a ctypes call, with the GIL held) that keeps
// the latest errorInfo and frames a Tcl trace hands it.
#pragma once

#include "support/python/pyutil.hpp"

namespace kx {
namespace errorframes {

// Creates the command `name` (a str) in the Tcl interpreter of `interp` (an
// Interpreter, on its thread): `name INFO FRAMES` keeps both texts,
// replacing what it kept before.
void install_for(nb::handle interp, nb::handle name);

// (info, frames) as last kept in the Tcl interpreter of `interp`, or None.
nb::object last_for(nb::handle interp);

}  // namespace errorframes
}  // namespace kx
