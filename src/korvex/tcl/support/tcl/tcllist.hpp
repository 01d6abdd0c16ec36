// Tcl list splitting with the Tcl library's own element scanner, and Tcl's
// "dictionary" string order: the C++ core behind GetListFromAny and
// DictionaryCompare, for every module that splits lists or sorts names.
#pragma once

#include "support/tcl/tcllib.hpp"

namespace kx {
namespace tcl {

// Splits Tcl list text (UTF-8, see Utf8) into a tuple of str
// with TclFindElement / TclCopyAndCollapse. A malformed list raises TclError
// with the interpreter's result, or "invalid list element" without one.
nb::tuple split_utf8(const char *data, size_t size, Interp *interp);

// Splits str(obj) (a str, a _tkinter.Tcl_Obj, anything) into a tuple of str.
// `interp` is anything interp_ptr accepts; it is converted only when there is
// text to scan.
nb::tuple split_list(nb::handle obj, nb::handle interp = nb::none());

// GetListFromAny: a tuple as it is, a lone int/float/bool as a 1-tuple, any
// other Sequence or Set as tuple(obj), None as (), everything else split as
// Tcl list text (str subclasses and Tcl_Obj included).
nb::tuple get_list_from_any(nb::handle obj, nb::handle interp = nb::none());

// get_list_from_any, with a malformed list answered by `false` instead of
// TclError (other errors still raise).
bool try_list_from_any(nb::handle obj, nb::tuple &out);

// Whether str(obj) is a Tcl list of two-element lists: the shape of a keyed
// list's fields. Never raises for a malformed list (that is no keyed list).
bool is_pair_list(nb::handle obj);

// Tcl's dictionary order of two str (other objects through str()): negative
// when `left` sorts first, zero when equal, positive when `right` does.
long dictionary_compare(nb::handle left, nb::handle right);

}  // namespace tcl
}  // namespace kx
