// korvex.tcl.yarl: Quick command syntax: Tcl commands called as Python attributes.
#include "support/module.hpp"
#include "support/pyutil.hpp"

KX_MODULE(yarl, m) {
    m.doc() = "Quick command syntax: Tcl commands called as Python attributes.";
}
