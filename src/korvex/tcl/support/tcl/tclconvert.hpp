// Python values as Tcl values: `zelph` gives the Tcl string of any value,
// `tclobj` a value _tkinter passes to Tcl as a native object (scalars as they
// are, sequences and mappings as nested tuples). Both honour the hooks
// __zelph__ / __tclobj__ a class may define, and recurse into containers
// under a RecursionGuard.
//
// `depth` is the nesting level of the caller: 0 when called from outside a
// conversion, the caller's own level when a module recurses itself.
#pragma once

#include "support/python/pyutil.hpp"

#include <vector>

namespace kx {

// zelph(obj): a str, or whatever a __zelph__ hook returns.
nb::object zelph(nb::handle obj, int depth = 0);

// zelph(obj) where a str is required (a list element): raises TypeError when
// a __zelph__ hook returns anything else.
nb::object zelph_str(nb::handle obj, int depth = 0);

// Tcl list text of the items of any iterable, each through zelph.
nb::object zelph_from_sequence(nb::handle iterable, int depth = 0);

// Tcl list text key, value, key, value, ... of a mapping, in its key order.
nb::object zelph_from_mapping(nb::handle mapping, int depth = 0);

// Tcl list text of `n` values (for example the words of a command).
nb::object zelph_from_array(PyObject *const *items, Py_ssize_t n, int depth = 0);

// tclobj(obj): str, bytes, bool, float, int, Tcl_Obj, nested tuples of such,
// or whatever a __tclobj__ hook returns.
nb::object tclobj(nb::handle obj, int depth = 0);

// tclobj(obj) for a value that goes into a tuple handed to _tkinter (a word
// of a command): a str with a lone surrogate raises UnicodeEncodeError, lists
// become tuples and other objects their str(), so _tkinter, which does not
// check the items of a tuple, always gets what it can convert.
nb::object tclobj_word(nb::handle obj, int depth = 0);

// `v` made safe to hand to _tkinter inside a tuple (see tclobj_word): only
// values _tkinter converts natively, at any depth (lists become tuples, other
// objects their str()); a str it cannot encode raises UnicodeEncodeError.
nb::object tcl_safe(nb::handle v, int depth = 0);

// tcl_safe(v), and each text holding U+0000 in the form that reaches Tcl
// whole through this Python's _tkinter: for the value itself as it is handed
// to _tkinter (a word of tk.call, a value of tk.setvar), once, never for a
// value handed back to the caller.
nb::object tk_value(nb::handle v, int depth = 0);

// The text Tcl makes of a value tcl_safe made (str, bytes, bool, int, float,
// Tcl_Obj, tuples of such): a tuple as its Tcl list.
nb::object tk_text(nb::handle safe_value, int depth = 0);

// Tuple of tclobj of the items of any iterable.
nb::object tclobj_from_sequence(nb::handle iterable, int depth = 0);

// Tuple key, value, key, value, ... of a mapping, each through tclobj.
nb::object tclobj_from_mapping(nb::handle mapping, int depth = 0);

}  // namespace kx
