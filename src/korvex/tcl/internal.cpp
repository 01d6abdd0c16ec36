// korvex.tcl.internal: Tcl internals: the Tcl shared library, list scanning and dictionary ordering.
#include "support/module.hpp"
#include "support/pyutil.hpp"

KX_MODULE(internal, m) {
    m.doc() = "Tcl internals: the Tcl shared library, list scanning and dictionary ordering.";
}
