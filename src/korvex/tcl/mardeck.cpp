// korvex.tcl.mardeck: TclX keyed lists as Python mappings with dotted keys.
#include "support/pyutil.hpp"

NB_MODULE(mardeck, m) {
    m.doc() = "TclX keyed lists as Python mappings with dotted keys.";
}
