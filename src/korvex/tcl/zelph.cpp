// korvex.tcl.zelph: Tcl value formatting: Python values as Tcl words and Tcl list text.
#include "support/pyutil.hpp"

NB_MODULE(zelph, m) {
    m.doc() = "Tcl value formatting: Python values as Tcl words and Tcl list text.";
}
