// TclCommand's C++ core: the words of one command from its name, bound
// arguments and options and a call's own arguments and options; names as
// "info commands" patterns that match only themselves; and the bodies of the
// class's methods (namespace.cpp defines the class and its docstrings).
#pragma once

#include "support/python/pyutil.hpp"

namespace kx {
namespace command {

// ("-key", value, ...) for each item of `mapping`, in its order. Values are
// passed on as they are; a key that is not a str raises TypeError.
nb::object dashed_args(nb::handle mapping);

// The words of a call, as one tuple:
//   name, the bound arguments (already converted), tclobj of each of the
//   call's `nargs` positional arguments, then the options: the bound ones
//   (a dict of converted values) with the call's keywords (names in
//   `kwnames`, values after the positional ones, as vectorcall passes them)
//   converted by tclobj; a call keyword replaces a bound one of the same key
//   where that key stands, new keys follow.
// `dashed` is called for the options when not NULL (an override of the
// option word builder); otherwise dashed_args is used.
nb::object build_words(nb::handle name, nb::handle bound_args, nb::handle bound_keywords,
                       PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames,
                       PyObject *dashed = nullptr);

// The same with the call's arguments as a tuple and its keywords as a dict
// (NULL or empty for none).
nb::object build_words(nb::handle name, nb::handle bound_args, nb::handle bound_keywords,
                       nb::handle args, PyObject *kwargs, PyObject *dashed = nullptr);

// The name as a pattern for "info commands" / "info procs" that matches only
// the command itself: the glob characters of its last component are escaped
// (the namespace qualifiers are looked up literally by Tcl).
nb::object literal_pattern(nb::handle name);

// Whether a Tcl result is non-empty (str, tuple, or anything through str()).
bool nonempty(nb::handle result);

// --- the class's methods -----------------------------------------------------

// What the method bodies refer to, set once when the module is imported.
struct Classes {
    PyObject *tcl_error = nullptr;  // tkinter.TclError
    PyObject *command = nullptr;    // TclCommand
    PyObject *temp_var = nullptr;   // TempTclVariable
    PyObject *temp_cmd = nullptr;   // TempTclCommand
    PyObject *ns_class = nullptr;   // TclNamespace
    PyObject *cmds_view = nullptr;  // TclNamespace.CommandsView
    // TclCommand.call, build_tclcmd and kwargs_to_dashed_args as defined
    // here: while a class keeps them, their bodies are run without a Python call.
    PyObject *own_call = nullptr, *own_build = nullptr, *own_dashed = nullptr;
    // The version tags of TclCommand and TempTclCommand as this module left
    // them: a class whose tag still matches has not been changed since, so
    // its methods are these and its instances' attributes are plain ones.
    unsigned int command_tag = 0, temp_cmd_tag = 0;
    const char *package = nullptr;  // the package module stands for the shared interpreter
    bool asserts = true;            // Python runs without -O
};
Classes &classes();

// Records the version tags above; called once the classes are complete.
void seal_classes();

void init(nb::handle self, nb::handle cmd, nb::handle args, nb::handle keywords, nb::handle tcl,
          nb::handle cast, nb::handle logger);
void createcommand(nb::handle self, nb::handle func);
bool exists(nb::handle self);
bool is_proc(nb::handle self);
nb::object is_command(nb::handle self);
void rename(nb::handle self, nb::handle new_name);
void remove(nb::handle self);  // delete
nb::object origin(nb::handle self);
nb::object proc_body(nb::handle self);
nb::object proc_args(nb::handle self);
nb::object proc_arg_default(nb::handle self, nb::handle arg_name);
nb::object build_tclcmd(nb::handle self, nb::handle args, PyObject *kwargs);
// call and __call__ as fast-call method bodies.
nb::object call(PyObject *self, PyObject *const *args, Py_ssize_t nargsf, PyObject *kwnames);
nb::object dunder_call(PyObject *self, PyObject *const *args, Py_ssize_t nargsf, PyObject *kwnames);
// tp_call for the class: __call__'s body without Python's slot looking it
// up and re-packing the arguments. Assigning __call__ on the class (or
// defining it in a subclass) brings back Python's own slot.
PyObject *tp_call(PyObject *self, PyObject *args, PyObject *kwargs);
nb::object eval(nb::handle self, nb::handle args, PyObject *kwargs);
nb::object absolute(nb::handle self);
void make_absolute(nb::handle self);
nb::object repr(nb::handle self);
nb::object str(nb::handle self);
nb::object tclobj_hook(nb::handle self);  // __tclobj__
nb::object get(nb::handle self, nb::handle instance);  // __get__

}  // namespace command
}  // namespace kx
