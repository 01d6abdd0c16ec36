// korvex.tcl.yarl: Quick command syntax: Tcl commands called as Python attributes.
#include "support/pyutil.hpp"

NB_MODULE(yarl, m) {
    m.doc() = "Quick command syntax: Tcl commands called as Python attributes.";
}
