// korvex.tcl.zelph: Tcl value formatting: Python values as Tcl words and Tcl list text.
#include "support/module.hpp"
#include "support/pyutil.hpp"

KX_MODULE(zelph, m) {
    m.doc() = "Tcl value formatting: Python values as Tcl words and Tcl list text.";
}
