// korvex.tcl.namespace: Tcl namespaces, commands and variables as Python objects.
#include "support/pyutil.hpp"

NB_MODULE(namespace, m) {
    m.doc() = "Tcl namespaces, commands and variables as Python objects.";
}
