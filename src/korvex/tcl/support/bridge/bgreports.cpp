// Tcl's background errors that an unwinding of the package queued: an
// `after` script (or any event handler) that the unwinding went through fails
// with "eval unwound", and Tcl would report that to bgerror once the event
// loop runs again. They belong to the unwinding, whose exception the caller
// gets, and are dropped once it is over. See bridgestate.hpp.
#include "support/bridge/bridgestate.hpp"

namespace kx {
namespace bridge {

namespace {

// Tcl's queue of an interpreter's background errors, its "tclBgError" data
// as Tcl 8.6 lays it out: Tcl_BackgroundException appends to it, an idle
// handler reports and frees the entries from the first on.
struct BgError {
    tcl::Obj *message;
    tcl::Obj *options;
    BgError *next;
};
struct BgErrors {
    tcl::Interp *interp;
    tcl::Obj *handler;
    BgError *first;
    BgError *last;
};

BgErrors *bg_errors(tcl::Interp *interp) {
    return static_cast<BgErrors *>(tcl::api().GetAssocData(interp, "tclBgError", nullptr));
}

}  // namespace

void note_reports(State *s) {
    if (s->reports_before >= 0 || !s->interp)
        return;
    int n = 0;
    if (BgErrors *q = bg_errors(s->interp))
        for (BgError *e = q->first; e; e = e->next)
            ++n;
    s->reports_before = n;
}

void drop_unwound_reports(State *s) {
    const tcl::Api &api = tcl::api();
    // (While Tcl works, the idle handler may be reporting the first entry.)
    if (s->reports_before < 0 || !s->interp || api.InterpActive(s->interp))
        return;
    int keep = s->reports_before;
    s->reports_before = -1;
    BgErrors *q = bg_errors(s->interp);
    if (!q)
        return;
    BgError *last = nullptr, *e = q->first;
    for (int i = 0; e && i < keep; ++i) {
        last = e;
        e = e->next;
    }
    if (!e)
        return;
    // (An empty queue leaves Tcl's idle handler nothing to do.)
    if (last)
        last->next = nullptr;
    else
        q->first = nullptr;
    q->last = last;
    while (e) {
        BgError *next = e->next;
        tcl::decr_ref(e->message);
        tcl::decr_ref(e->options);
        api.Free(reinterpret_cast<char *>(e));
        e = next;
    }
}

}  // namespace bridge
}  // namespace kx
