// Who owns the application object in _tkinter's command data.
//
// The bridge takes over the data of the commands _tkinter makes for it (see
// bridgestate.hpp) and frees that data itself. Older _tkinter keeps a strong
// reference to the application object in it (and drops it when Tcl deletes
// the command); newer _tkinter only borrows it. Which one the running
// _tkinter does is learnt once per process, by watching the application
// object's reference count across the making and the deleting of a
// throwaway command, never by version number.
//
// For tests, KORVEX_TCL_TEST_TK_SELF=owned|borrowed (read when the first
// interpreter of the process is made) makes the bridge stand in for that
// kind of _tkinter: the data of each command taken over is adjusted to what
// that kind would have made, then released accordingly.
#include "support/bridge/bridgestate.hpp"

#include <cstdlib>
#include <cstring>

namespace kx {
namespace bridge {
namespace {

// What the running _tkinter does, once learnt; what the bridge acts on.
TkSelf g_actual = TkSelf::kUnknown;
TkSelf g_assumed = TkSelf::kUnknown;
bool g_forced_read = false;

// Keeps Python's cyclic collector from running while it is alive: a
// collection could run finalizers that take or drop references to the
// application object (GC-tracked on newer versions) in the middle of a
// measurement.
class NoCollection {
public:
    NoCollection() : was_enabled_(PyGC_Disable() != 0) {}
    ~NoCollection() {
        if (was_enabled_)
            PyGC_Enable();
    }
    NoCollection(const NoCollection &) = delete;
    NoCollection &operator=(const NoCollection &) = delete;

private:
    bool was_enabled_;
};

TkSelf measure(nb::handle tk, tcl::Interp *interp) {
    // A name nobody uses: making the command must not delete another one
    // (whose deletion could release references of its own).
    nb::object name = check(PyUnicode_FromFormat("::__korvex__probe_%p", (void *)interp));
    tcl::CmdInfo info;
    if (tcl::api().GetCommandInfo(interp, PyUnicode_AsUTF8(name.ptr()), &info))
        return TkSelf::kUnknown;  // left to the next interpreter
    nb::object func = make_guard(nb::object(), nullptr);  // never called
    NoCollection no_collection;
    // _tkinter lets go of the GIL while Tcl makes and deletes the command:
    // another thread may take or drop a reference meanwhile. The count must
    // be back where it was once the command is gone, and have moved by 0 or
    // 1 while it existed; a measurement that is not is taken again.
    for (int attempt = 0; attempt < 5; ++attempt) {
        Py_ssize_t before = Py_REFCNT(tk.ptr());
        call_method(tk, KX_ID(createcommand), {name.ptr(), func.ptr()});
        Py_ssize_t during = Py_REFCNT(tk.ptr());
        call_method(tk, KX_ID(deletecommand), {name.ptr()});
        Py_ssize_t after = Py_REFCNT(tk.ptr());
        if (after == before && (during == before || during == before + 1))
            return during == before ? TkSelf::kBorrowed : TkSelf::kOwned;
    }
    return TkSelf::kUnknown;
}

const char *mode_name(TkSelf how) {
    switch (how) {
    case TkSelf::kOwned:
        return "owned";
    case TkSelf::kBorrowed:
        return "borrowed";
    default:
        return "unknown";
    }
}

}  // namespace

void learn_tk_self(State *s, nb::handle tk) {
    if (!g_forced_read) {
        g_forced_read = true;
        if (const char *forced = std::getenv("KORVEX_TCL_TEST_TK_SELF")) {
            if (!std::strcmp(forced, "owned"))
                g_assumed = TkSelf::kOwned;
            else if (!std::strcmp(forced, "borrowed"))
                g_assumed = TkSelf::kBorrowed;
        }
    }
    if (g_actual == TkSelf::kUnknown)
        g_actual = measure(tk, s->interp);
    TkSelf how = g_assumed != TkSelf::kUnknown && g_actual != TkSelf::kUnknown ? g_assumed : g_actual;
    s->tk_self = how;
    s->tk_self_adjust = 0;
    if (how == TkSelf::kOwned && g_actual == TkSelf::kBorrowed)
        s->tk_self_adjust = 1;
    else if (how == TkSelf::kBorrowed && g_actual == TkSelf::kOwned)
        s->tk_self_adjust = -1;
}

void adopt_tk_data(State *s, TkCommandData *data) {
    if (!data->self || s->tk_self_adjust == 0)
        return;
    if (s->tk_self_adjust > 0)
        Py_INCREF(data->self);
    else
        Py_DECREF(data->self);  // the state holds the application too
}

void release_tk_self(TkCommandData *data, TkSelf how) {
    if (how == TkSelf::kOwned)
        Py_CLEAR(data->self);
    else
        data->self = nullptr;
}

nb::object tk_data_ownership() {
    return nb::make_tuple(nb::str(mode_name(g_actual)),
                          nb::str(mode_name(g_assumed != TkSelf::kUnknown && g_actual != TkSelf::kUnknown
                                                ? g_assumed
                                                : g_actual)));
}

}  // namespace bridge
}  // namespace kx
