// The Tcl work of TclNamespace's operations: each builds the words of one
// "namespace" command and sends them, inside the namespace (through the
// object's own `call`) or at the interpreter's current level.
// namespace.cpp defines the class and its docstrings.
#pragma once

#include "support/python/pyutil.hpp"

namespace kx {
namespace nsops {

nb::object call(nb::handle self, nb::handle tclcmd, nb::args args);
nb::object eval(nb::handle self, nb::handle tclcmd, nb::args args);
nb::object current(nb::handle self);
nb::object children(nb::handle self, nb::handle pattern);
nb::object code(nb::handle self, nb::handle script);
void create(nb::handle self);
void remove(nb::handle self);  // delete
nb::object exists(nb::handle self);
nb::object export_(nb::handle self, nb::handle clear, nb::args patterns);
void forget(nb::handle self, nb::args patterns);
void import_(nb::handle self, nb::handle force, nb::args patterns);
nb::object origin(nb::handle self, nb::handle command);
nb::object parent(nb::handle self, nb::handle force_eval);
nb::object which(nb::handle self, nb::handle name, nb::handle command, nb::handle variable);
nb::object is_absolute(nb::handle self);
nb::object is_relative(nb::handle self);
nb::object absolute(nb::handle self);
void make_absolute(nb::handle self);
nb::object str(nb::handle self);
nb::object join(nb::handle string, nb::args args);  // the static join

}  // namespace nsops
}  // namespace kx
