// Tcl namespace name arithmetic on Python str, without asking Tcl: names are
// components separated by "::", an absolute name starts with "::", and a run
// of colons is read as str.split("::") reads it (four colons are two
// separators around an empty component, which is dropped; an odd run leaves a
// colon inside a component, which makes the name invalid).
//
// Every function first turns its arguments into their Tcl form (zelph), so
// any value zelph accepts may be given, namespace and variable objects too.
#pragma once

#include "support/python/pyutil.hpp"

namespace kx {
namespace names {

// The components as a list of str; an absolute name gets an empty first item.
// A colon inside a component raises ValueError "Invalid Tcl namespace '%s'".
nb::object split(nb::handle string);

// "::".join(split(string)); returns the converted string itself when it is
// already in that form.
nb::object normalize(nb::handle string);

// The names joined with "::" (an absolute name discards everything before it,
// empty names are skipped), then normalized.
nb::object join(nb::handle string, PyObject *const *args, Py_ssize_t nargs);
nb::object join2(nb::handle first, nb::handle second);

// Everything after the last "::"; the whole string when there is none.
nb::object tail(nb::handle string);

// Everything before the run of colons that ends at the last "::"; "" when
// there is none.
nb::object qualifiers(nb::handle string);

// The enclosing namespace of an absolute name as "namespace parent" reports
// it: "::a" for "::a::b", "::" for "::a", "" for "::".
nb::object parent(nb::handle absolute_name);

// Whether a str starts with "::".
bool is_absolute(nb::handle str);

}  // namespace names
}  // namespace kx
