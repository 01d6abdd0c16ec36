// Recording into a History from the other modules. The history module offers
// its C entry points through the capsule korvex.tcl.history._C_API, so that
// eval and quick calls record a command without a Python method call.
#pragma once

#include "support/pyutil.hpp"

namespace kx {

struct HistoryApi {
    PyTypeObject *type;     // History
    unsigned int type_tag;  // History's version tag once the module was made
    // History.append's body: 0, or -1 with the Python error set.
    int (*append)(PyObject *history, PyObject *item);
};

constexpr const char *kHistoryApiName = "korvex.tcl.history._C_API";

// history.append(item): straight into the C body while `history` is a plain
// History whose class nobody changed, through the method otherwise.
void record(nb::handle history, nb::handle item);

}  // namespace kx
