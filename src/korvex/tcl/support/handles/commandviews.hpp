// The command views of a namespace object (TclNamespace.CommandsView and
// ProcsView): command objects for names joined to the namespace, and the
// names Tcl lists inside it. namespace.cpp defines the classes.
#pragma once

#include "support/python/pyutil.hpp"

namespace kx {
namespace views {

void init(nb::handle self, nb::handle ns);
// TclCommand(join(self.ns, cmd_name), *args, tcl=self.ns.tcl, **kwargs)
nb::object byref(nb::handle self, nb::handle cmd_name, nb::handle args, nb::handle kwargs);
// self.byref(cmd_name).<method>(*args)
nb::object on_command(nb::handle self, nb::handle cmd_name, PyObject *method,
                      std::initializer_list<PyObject *> args = {});
void rename(nb::handle self, nb::handle cmd_name, nb::handle new_name);
bool contains(nb::handle self, nb::handle cmd_name);
void setitem(nb::handle self, nb::handle cmd_name, nb::handle func);
// self.delete(cmd_name); a TclError becomes KeyError(exc) raised from it.
void delitem(nb::handle self, nb::handle cmd_name);
// An iterator over the names "::info <what>" lists inside the namespace, as str.
nb::object names(nb::handle self, PyObject *what);
// The number of names one pass of iter(self) yields.
Py_ssize_t count(nb::handle self);

}  // namespace views
}  // namespace kx
