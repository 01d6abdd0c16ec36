// korvex.tcl.namespace: Tcl namespaces, commands and variables as Python objects.
#include "support/module.hpp"
#include "support/pyutil.hpp"

KX_MODULE(namespace, m) {
    m.doc() = "Tcl namespaces, commands and variables as Python objects.";
}
