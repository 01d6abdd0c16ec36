// korvex.tcl.mardeck: TclX keyed lists as Python mappings with dotted keys.
#include "support/module.hpp"
#include "support/pyutil.hpp"

KX_MODULE(mardeck, m) {
    m.doc() = "TclX keyed lists as Python mappings with dotted keys.";
}
