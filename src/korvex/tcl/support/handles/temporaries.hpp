// What the temporary namespace, command and variable classes share: their
// generated names and the cooperative context-manager protocol (the next
// class in the method order may have its own __enter__ / __exit__).
#pragma once

#include "support/python/pyutil.hpp"

namespace kx {
namespace temp {

// templ.format(cls=type(self).__name__, id=id(self)): the name of a
// temporary object (the default template gives a fresh global name).
nb::object format_name(nb::handle self, nb::handle templ);

// super(cls, self).__init__(*args, **kwargs); `kwargs` may be NULL.
void super_init(nb::handle cls, nb::handle self, nb::handle args, PyObject *kwargs);

// getattr(super(cls, self), "__enter__", None)() when that is true, else self.
nb::object super_enter(nb::handle cls, nb::handle self);

// getattr(super(cls, self), "__exit__", None)(*exc_info) when that is true,
// else False.
nb::object super_exit(nb::handle cls, nb::handle self, nb::handle exc_info);

// getattr(super(cls, self), "__del__", None)() when that is true.
void super_del(nb::handle cls, nb::handle self);

// Runs fn(), swallowing an exception of type `ignored` (or of `also`, when
// given); other exceptions propagate.
template <typename Fn>
void ignoring(PyObject *ignored, Fn &&fn, PyObject *also = nullptr) {
    try {
        fn();
    } catch (nb::python_error &e) {
        if (!e.matches(ignored) && !(also && e.matches(also)))
            throw;
    }
}

// --- the temporary classes' methods; `cls` is the class that defines them -----

// super(cls, self).__init__(format_name(self, templ), **kwargs)
void init_named(nb::handle cls, nb::handle self, nb::handle templ, nb::handle kwargs);

// TempTclNamespace.__enter__: the next __enter__'s result (or self), after
// self.create().
nb::object ns_enter(nb::handle cls, nb::handle self);

// __exit__ of the namespace and the command: self.delete(), ignoring
// `tcl_error`, then the next class's __exit__ (or False).
nb::object exit_deleting(nb::handle cls, nb::handle self, nb::handle exc_info, PyObject *tcl_error);

// TempTclCommand.__init__: named as above; a true `func` is registered under
// the name and the object made its wrapper (`update_wrapper(self, func)`).
void cmd_init(nb::handle cls, nb::handle self, nb::handle func, nb::handle cmd_name, nb::handle kwargs,
              PyObject *update_wrapper);

// TempTclCommand.__del__: a command the object registered is deleted. A
// TclError (already deleted) and a ReferenceError (the interpreter, and its
// commands with it, are gone) are ignored.
void cmd_del(nb::handle cls, nb::handle self, PyObject *tcl_error);

// TempTclVariable.__init__: str(var_name) formatted, then the next __init__.
void var_init(nb::handle cls, nb::handle self, nb::handle var_name, nb::handle kwargs);

// TempTclVariable.__exit__: self.unset(nocomplain=True), then the next
// class's __exit__ (or False).
nb::object var_exit(nb::handle cls, nb::handle self, nb::handle exc_info);

}  // namespace temp
}  // namespace kx
