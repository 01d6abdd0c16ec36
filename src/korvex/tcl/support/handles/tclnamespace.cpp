#include "support/handles/tclnamespace.hpp"

#include "support/handles/tclbind.hpp"
#include "support/tcl/tclconvert.hpp"
#include "support/tcl/tclnames.hpp"

namespace kx {
namespace nsops {
namespace {

// self.name(args...), looked up on self so that overrides take effect.
nb::object self_call(nb::handle self, PyObject *name, std::initializer_list<PyObject *> args = {}) {
    return call_method(self, name, args);
}

nb::object ns_of(nb::handle self) { return attr(self, KX_ID(ns)); }

}  // namespace

// tclcmd, or (tclcmd,) + args; wrapped in "namespace eval ns" when ns is set.
nb::object scoped(nb::handle self, nb::handle tclcmd, nb::handle args) {
    nb::object cmd = nb::borrow(tclcmd);
    if (PyTuple_GET_SIZE(args.ptr()))
        cmd = concat(words({tclcmd.ptr()}), args);
    nb::object ns = ns_of(self);
    if (truth(ns))
        cmd = words({KX_STR("namespace"), KX_STR("eval"), ns.ptr(), cmd.ptr()});
    return cmd;
}

nb::object call(nb::handle self, nb::handle tclcmd, nb::args args) {
    nb::object cmd = scoped(self, tclcmd, args);
    return bind::tk(bind::tk_of_owner(self), KX_ID(call), {tclobj(cmd).ptr()});
}

nb::object eval(nb::handle self, nb::handle tclcmd, nb::args args) {
    nb::object cmd = scoped(self, tclcmd, args);
    return bind::tk(bind::tk_of_owner(self), KX_ID(eval), {zelph(cmd).ptr()});
}

// self.call(words) for the operations below.
nb::object send(nb::handle self, nb::handle cmd) { return self_call(self, KX_ID(call), {cmd.ptr()}); }

// The words sent at the interpreter's current level, not inside ns.
nb::object send_here(nb::handle self, nb::handle cmd) {
    return bind::tk(bind::tk_of_owner(self), KX_ID(call), {tclobj(cmd).ptr()});
}

nb::object current(nb::handle self) {
    return send_here(self, words({KX_STR("namespace"), KX_STR("current")}));
}

// ns, or the current namespace for an object without a fixed name.
nb::object or_current(nb::handle self) {
    nb::object ns = ns_of(self);
    return truth(ns) ? ns : self_call(self, KX_ID(current));
}

nb::object children(nb::handle self, nb::handle pattern) {
    // Tcl reads a lone extra word as the namespace argument of "namespace
    // children", resolved inside this namespace.
    nb::object cmd = words({KX_STR("namespace"), KX_STR("children")});
    if (!pattern.is_none())
        cmd = concat(cmd, words({zelph(pattern).ptr()}));
    nb::object result = send(self, cmd);
    return bind::cast(bind::interp_of(self), KX_ID(cast_list), result);
}

nb::object code(nb::handle self, nb::handle script) {
    return send(self, words({KX_STR("namespace"), KX_STR("code"), script.ptr()}));
}

void create(nb::handle self) {
    if (!truth(ns_of(self))) {
        PyErr_SetString(PyExc_ValueError, "Cannot create current namespace");
        throw nb::python_error();
    }
    self_call(self, KX_ID(eval), {KX_STR("")});
}

void remove(nb::handle self) {
    nb::object name = or_current(self);
    send_here(self, words({KX_STR("namespace"), KX_STR("delete"), name.ptr()}));
}

nb::object exists(nb::handle self) {
    nb::object name = or_current(self);
    nb::object r = send_here(self, words({KX_STR("namespace"), KX_STR("exists"), name.ptr()}));
    return bind::cast(bind::interp_of(self), KX_ID(cast_boolean), r);
}

// "namespace <op>" [flag when `on`] patterns...
nb::object flagged(const char *op, const char *flag, bool on, nb::handle patterns) {
    nb::object cmd = words({KX_STR("namespace"), kx::intern(op)});
    if (on)
        cmd = concat(cmd, words({kx::intern(flag)}));
    return concat(cmd, patterns);
}

nb::object export_(nb::handle self, nb::handle clear, nb::args patterns) {
    bool on = truth(clear);
    nb::object r = send(self, flagged("export", "-clear", on, patterns));
    if (on || PyTuple_GET_SIZE(patterns.ptr()))
        return nb::none();
    return bind::cast(bind::interp_of(self), KX_ID(cast_list), r);
}

void forget(nb::handle self, nb::args patterns) {
    send(self, concat(words({KX_STR("namespace"), KX_STR("forget")}), patterns));
}

void import_(nb::handle self, nb::handle force, nb::args patterns) {
    send(self, flagged("import", "-force", truth(force), patterns));
}

nb::object origin(nb::handle self, nb::handle command) {
    return send(self, words({KX_STR("namespace"), KX_STR("origin"), command.ptr()}));
}

nb::object parent(nb::handle self, nb::handle force_eval) {
    if (!truth(force_eval) && truth(self_call(self, KX_ID(is_absolute))))
        return names::parent(ns_of(self));
    nb::object cmd = words({KX_STR("namespace"), KX_STR("parent")});
    nb::object ns = ns_of(self);
    if (truth(ns))
        cmd = concat(cmd, words({ns.ptr()}));
    return send_here(self, cmd);
}

nb::object which(nb::handle self, nb::handle name, nb::handle command, nb::handle variable) {
    nb::object cmd = words({KX_STR("namespace"), KX_STR("which")});
    if (truth(command))
        cmd = concat(cmd, words({KX_STR("-command")}));
    if (truth(variable))
        cmd = concat(cmd, words({KX_STR("-variable")}));
    return send(self, concat(cmd, words({name.ptr()})));
}

nb::object is_absolute(nb::handle self) {
    nb::object ns = ns_of(self);
    if (!truth(ns))
        return ns;
    return nb::bool_(PyUnicode_Check(ns.ptr()) && names::is_absolute(ns));
}

nb::object is_relative(nb::handle self) {
    nb::object ns = ns_of(self);
    if (!truth(ns))
        return ns;
    return nb::bool_(!(PyUnicode_Check(ns.ptr()) && names::is_absolute(ns)));
}

nb::object absolute(nb::handle self) {
    if (truth(self_call(self, KX_ID(is_absolute))))
        return ns_of(self);
    nb::object current = self_call(self, KX_ID(current));
    return names::join2(current, ns_of(self));
}

void make_absolute(nb::handle self) {
    set_attr(self, KX_ID(ns), self_call(self, KX_ID(absolute)));
}

nb::object str(nb::handle self) { return ns_of(self); }

nb::object join(nb::handle string, nb::args args) {
    return names::join(string, &PyTuple_GET_ITEM(args.ptr(), 0), PyTuple_GET_SIZE(args.ptr()));
}

}  // namespace nsops
}  // namespace kx
