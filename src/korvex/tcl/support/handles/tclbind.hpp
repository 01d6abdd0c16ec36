// How the namespace, command and variable objects reach their interpreter:
// each holds it as a weak proxy in its attribute `tcl` (the package module
// `korvex.tcl`, that is the shared interpreter, when none is given), and
// sends Tcl work to the interpreter's _tkinter application object `tk`.
#pragma once

#include "support/python/pyutil.hpp"

#include <initializer_list>
#include <utility>

namespace kx {
namespace bind {

// The binding rule: a false `tcl` means the package module `package`
// (imported now); a weak proxy is kept as it is; anything else is wrapped in
// weakref.proxy.
nb::object interp(nb::handle tcl, const char *package);

// The object behind a weak proxy (anything else as it is). Raises
// ReferenceError when the object is gone.
nb::object referent(nb::handle proxy);

// obj.tcl, dereferenced: the interpreter (or package module) itself.
nb::object interp_of(nb::handle obj);

// interp.tk: read as an instance attribute first (tkinter.Tk has __getattr__,
// which makes ordinary lookup slow), with the full lookup as fallback.
nb::object tk_of(nb::handle interp);

// obj.tcl.tk in one step.
inline nb::object tk_of_owner(nb::handle obj) { return tk_of(interp_of(obj)); }

// Where Tcl work of an interpreter goes: its application object `tk`, and its
// bridge registry (its attribute _korvex_bridge; an invalid object when it
// has none, or it was not read), which spares the bridge a lookup in Tcl's
// per-interpreter data on each call.
struct Target {
    nb::object tk, registry;
};
Target target_of(nb::handle interp);

// tk.<method>(args...) through vectorcall. Results, here and in call_words,
// come as `eval` gives them (see tkvalue.hpp): a byte array is text.
nb::object tk(nb::handle tk, PyObject *method, std::initializer_list<PyObject *> args);
nb::object tk(const Target &target, PyObject *method, std::initializer_list<PyObject *> args);

// tk.call(*words) for a tuple of words: the application object's C method
// is called with the tuple itself as its argument tuple (what Python does
// for tk.call(*words), without building another tuple); any other object
// gets an ordinary method call.
nb::object call_words(nb::handle tk, nb::handle words, nb::handle registry = nb::handle());

// Tcl 8.6 crashes when `info frame` runs with no command frame at all, as a
// command that tk.call invokes while nothing of Tcl runs does (its procedure
// reads the head of an empty list of frames). Such a call is evaluated as the
// script of its words instead, as tk.eval would run it: Tcl then has that
// script's frame to answer from. True when `words` (the tuple for tk.call)
// are `info frame ...` (`info` under any of its names, `frame` or a prefix
// naming it) or `::tcl::info::frame ...` and nothing of Tcl runs.
bool frameless_frame_query(nb::handle tk, nb::handle words);

// tk.eval of `words` joined as one command: a new reference, or NULL with
// the error set.
PyObject *eval_as_script(nb::handle tk, nb::handle words);

// interp.<method>(value): a cast of the interpreter (cast_list, cast_boolean, ...).
nb::object cast(nb::handle interp, PyObject *method, nb::handle value);

}  // namespace bind

// The tuple of `items`: the words of a Tcl command for tk.call.
nb::object words(std::initializer_list<PyObject *> items);

// head + tail for tuples: a command's words with optional trailing words.
nb::object concat(nb::handle head, nb::handle tail);

// The items of a sequence, each through str(): Tcl hands some names back as
// Tcl_Obj.
nb::object str_items(nb::handle seq);

// obj.name(*args, **kws) through vectorcall (at most 7 arguments in all).
nb::object method_kw(nb::handle obj, PyObject *name, std::initializer_list<PyObject *> args,
                     std::initializer_list<std::pair<PyObject *, PyObject *>> kws);

}  // namespace kx
