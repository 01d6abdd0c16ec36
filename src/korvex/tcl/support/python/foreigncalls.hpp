// Calls into Tcl that leave Python without _tkinter knowing.
//
// _tkinter releases the GIL around each of its calls into Tcl and keeps the
// thread state it released where only its own command procedure finds it.
// A ctypes call through korvex.tcl.internal.TclDLL releases the GIL too, but
// _tkinter has no thread state then: its command procedure, reached from such
// a call, would abort the process. Such a call is marked on its thread for as
// long as it runs, so that the package's own command procedures, and its
// asynchronous check, take the GIL themselves instead (see callguard.cpp,
// bridge.cpp). The mark is one per thread for all the extension modules,
// whichever module set it.
#pragma once

namespace kx {
namespace foreign {

// Makes the mark usable by this extension module (the GIL held; at import,
// or before the module makes anything Tcl may call). Idempotent.
void init();

// Whether the calling thread's innermost way from Python into Tcl is a
// marked call (no GIL needed).
bool active();

// For its lifetime, the calling thread's innermost way into Tcl is a marked
// call (`foreign`), or Python itself (Python code running from inside one,
// which reaches Tcl through _tkinter again).
class Scope {
public:
    explicit Scope(bool foreign);
    ~Scope();
    Scope(const Scope &) = delete;
    Scope &operator=(const Scope &) = delete;

private:
    void *saved_ = nullptr;
    bool set_ = false;
};

}  // namespace foreign
}  // namespace kx
