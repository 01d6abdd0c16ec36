// Recording into a History from the other modules. The history module offers
// its C entry points through the capsule korvex.tcl.history._C_API, so that
// eval and quick calls record a command without a Python method call.
#pragma once

#include "support/python/pyutil.hpp"

namespace kx {

struct HistoryApi {
    PyTypeObject *type;     // History
    unsigned int type_tag;  // History's version tag once the module was made
    // History.append's body: 0, or -1 with the Python error set.
    int (*append)(PyObject *history, PyObject *item);
    // The same for a list or tuple of words that the caller hands over:
    // nothing else holds it or changes it afterwards.
    int (*append_words)(PyObject *history, PyObject *words);
};

constexpr const char *kHistoryApiName = "korvex.tcl.history._C_API";

// history.append(item): straight into the C body while `history` is a plain
// History whose class nobody changed, through the method otherwise.
void record(nb::handle history, nb::handle item);

// record(history, words) for a list or tuple of words made for this call
// and dropped after it: a plain History keeps it and makes its text only when
// read; any other history gets a list of the words.
void record_words(nb::handle history, nb::handle words);

}  // namespace kx
