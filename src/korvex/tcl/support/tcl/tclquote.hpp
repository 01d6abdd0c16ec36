// Tcl list element quoting over a str's own code points: how one element must
// be quoted so that Tcl reads it back unchanged (scan_element), the quoted
// element itself (convert_element), and a whole Tcl list (join_elements).
//
// The rules are those of Tcl's classic list formatter: an element is written
// as it is, inside braces, or with backslashes; "#" is never quoted. One rule
// is stricter than that formatter's: braces are used only where Tcl's reader
// gives the element back (it does not count a brace right after a backslash),
// otherwise the element is backslash-quoted.
#pragma once

#include "support/python/pyutil.hpp"

#include <vector>

namespace kx {

enum QuoteFlags : unsigned {
    kUseBraces = 1,        // needs quoting, and braces would do
    kDontUseBraces = 2,    // braces would not read back: backslash-quote instead
    kBracesUnmatched = 4,  // every "{" and "}" must be backslashed
};

// What the scan of one element found.
struct ElementScan {
    unsigned flags = 0;      // QuoteFlags
    Py_ssize_t length = 0;   // code points in the element
    Py_ssize_t escapes = 0;  // characters that take a backslash outside braces
    Py_ssize_t braces = 0;   // "{" and "}" (backslashed when unmatched)
    bool leading_brace = false;
};

// Raises UnicodeEncodeError (as encoding to UTF-8 does) when `str` holds a
// lone surrogate: Tcl cannot hold one.
void check_encodable(PyObject *str);

// Whether `str` holds any surrogate (encodable or not).
bool has_surrogate(PyObject *str);

// Scans `str` (a str instance). Raises UnicodeEncodeError for a lone
// surrogate: Tcl cannot hold one.
ElementScan scan_element(PyObject *str);

// Exact length of the element quoted under `flags`.
Py_ssize_t quoted_length(const ElementScan &scan, unsigned flags);

// The element quoted under `flags`. When backslash quoting starts with a "{",
// kBracesUnmatched is added to `flags`, as the classic formatter does.
nb::object convert_element(PyObject *str, unsigned &flags);

// The Tcl list text of `strs` (str instances): each quoted by its own scan,
// joined by single spaces. No elements give the empty string.
nb::object join_elements(const std::vector<nb::object> &strs);

}  // namespace kx
