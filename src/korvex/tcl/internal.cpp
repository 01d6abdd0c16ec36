// korvex.tcl.internal: Tcl internals: the Tcl shared library, list scanning and dictionary ordering.
#include "support/pyutil.hpp"

NB_MODULE(internal, m) {
    m.doc() = "Tcl internals: the Tcl shared library, list scanning and dictionary ordering.";
}
