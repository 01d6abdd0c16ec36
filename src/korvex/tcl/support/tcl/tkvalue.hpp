// Values as _tkinter hands them to Python, made what `eval` gives for the same
// Tcl value. _tkinter turns a Tcl byte array (what `binary format`,
// `encoding convertto`, `zlib` and base64 encoders return) into `bytes` when
// it converts a Tcl object (results of `call`, `getvar`, list elements),
// while `eval` gives the text Tcl makes of it: one character per byte, the
// byte's value as its code point (U+0000 included). Every path that takes a
// value from _tkinter passes it through here.
#pragma once

#include "support/python/pyutil.hpp"

namespace kx {

// `value` with every `bytes`, alone or inside tuples at any depth (the
// nested lists _tkinter makes), as its text: each byte as the character of
// the same code point. `value` itself when nothing needs it; other types as
// they are. No recursion limit: _tkinter makes lists as deep as Tcl holds.
nb::object from_tk(nb::handle value);

// The same for a new reference (NULL passes through with its error set):
// for results taken from _tkinter by raw C calls.
PyObject *from_tk_steal(PyObject *value);

}  // namespace kx
