// A script evaluated again from the words Tcl parsed it into the first time
// it was run twice, with the result and every detail of a failure what
// _tkinter's eval gives (see quickeval.cpp for how, and what qualifies).
#pragma once

#include "support/bridge/bridge.hpp"

namespace kx {
namespace bridge {

// tk.eval(code) from the cache when `code` qualifies: true, with `*result`
// the new result, or null with _tkinter's TclError set, exactly as tk.eval
// would have left it. False when the caller must run tk.eval itself (the
// script was not run). `entry` is the caller's, for tk.
bool quick_eval(Entry &entry, nb::handle tk, PyObject *code, PyObject **result);

}  // namespace bridge
}  // namespace kx
