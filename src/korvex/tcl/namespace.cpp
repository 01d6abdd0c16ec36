// korvex.tcl.namespace: Tcl namespaces, commands and variables as Python objects.
//
// Every object holds its interpreter as a weak proxy (support/handles/tclbind) and
// caches nothing: each operation asks Tcl again. The name arithmetic lives in
// support/tcl/tclnames.
//
// The variable views and the accessors of the interpreter make a TclVariable
// per access. When the classes involved are this module's own (not
// subclasses), those paths build the handle without running __init__ through
// Python and call the handle's C++ bodies directly; the objects and the Tcl
// commands sent are the same as on the general path.
//
// Longer than the ~900 lines a source should keep to, on purpose: it declares
// the module's twelve classes (their method tables and docstrings are a third of
// it, as every module declares its own classes), and the rest is the bodies
// of the variable handle and its views, which share the small helpers above
// them (the handle's name, its interpreter, the lean handle) on the paths
// every variable access takes. The Tcl work behind the classes is already in
// support/handles (tclvariable, tclnamespace, tclcommand, commandviews).
#include "support/python/attrcache.hpp"
#include "support/bridge/bridge.hpp"
#include "support/python/module.hpp"
#include "support/python/classdef.hpp"
#include "support/handles/commandviews.hpp"
#include "support/handles/tclbind.hpp"
#include "support/handles/tclcommand.hpp"
#include "support/tcl/tclconvert.hpp"
#include "support/handles/tclnamespace.hpp"
#include "support/tcl/tclnames.hpp"
#include "support/handles/tclvariable.hpp"
#include "support/handles/temporaries.hpp"

#include <string>

using namespace nb::literals;

namespace kx {
namespace {

// Module-lifetime references, taken once at import.
PyObject *g_tcl_error;   // tkinter.TclError
PyObject *g_namespace;   // TclNamespace
PyObject *g_variable;    // TclVariable
PyObject *g_array_var;   // TclArrayVariable
PyObject *g_vars_view;   // TclNamespace.VariablesView
PyObject *g_objs_view;   // TclNamespace.ObjectsView
PyObject *g_cmds_view;   // TclNamespace.CommandsView
PyObject *g_procs_view;  // TclNamespace.ProcsView
PyObject *g_temp_ns;     // TempTclNamespace
PyObject *g_temp_cmd;    // TempTclCommand
PyObject *g_temp_var;    // TempTclVariable
PyObject *g_update_wrapper;  // functools.update_wrapper
PyObject *g_marker;      // TclVariable.__marker: no cast passed to get_obj
PyObject *g_ns_str;      // TclNamespace.__str__ as defined here
std::string *g_package;  // "korvex.tcl": the shared interpreter's module
bool g_asserts;          // Python runs without -O

nb::object bind_tcl(nb::handle tcl) { return bind::interp(tcl, g_package->c_str()); }

PyObject *arg_or_none(PyObject *a) { return a ? a : Py_None; }

// --- TclNamespace -------------------------------------------------------

nb::object ns_of(nb::handle self) { return attr(self, KX_ID(ns)); }

// The Tcl form of a namespace object: zelph(obj), read straight from `ns`
// when __str__ is ours.
nb::object ns_text(nb::handle obj) {
    if (Py_TYPE(obj.ptr()) == (PyTypeObject *)g_namespace ||
        type_lookup(Py_TYPE(obj.ptr()), KX_ID(__str__)) == g_ns_str)
        return zelph_str(ns_of(obj));
    return zelph_str(obj);
}

void ns_init(nb::handle self, nb::handle ns, nb::handle tcl) {
    nb::object super = check(PyObject_CallFunctionObjArgs((PyObject *)&PySuper_Type, g_namespace,
                                                          self.ptr(), nullptr));
    call_method(super, KX_ID(__init__));
    set_attr(self, KX_ID(ns), zelph(ns));
    set_attr(self, KX_ID(tcl), bind_tcl(tcl));
    set_attr(self, KX_ID(vars), call(g_vars_view, {self.ptr()}));
    set_attr(self, KX_ID(objs), call(g_objs_view, {self.ptr()}));
    set_attr(self, KX_ID(procs), call(g_procs_view, {self.ptr()}));
    set_attr(self, KX_ID(cmds), call(g_cmds_view, {self.ptr()}));
}

// --- TclVariable --------------------------------------------------------

using var::element;
using var::get_obj_core;
using var::get_str_core;
using var::index_text;
using var::set_core;

// A TclVariable made without calling __init__ through Python: the same
// attributes, in the same order, as __init__ sets them.
nb::object lean_variable(nb::handle tcl, nb::handle cast, nb::handle var_name) {
    PyTypeObject *type = (PyTypeObject *)g_variable;
    nb::object v = check(type->tp_alloc(type, 0));
    set_attr(v, KX_ID(tcl), bind_tcl(tcl));
    set_attr(v, KX_ID(cast), cast);
    set_attr(v, KX_ID(var_name), var_name);
    return v;
}

void var_init(nb::handle self, nb::handle var_name, nb::handle array_index, nb::handle tcl,
              nb::handle cast) {
    set_attr(self, KX_ID(tcl), bind_tcl(tcl));
    set_attr(self, KX_ID(cast), cast);
    set_attr(self, KX_ID(var_name), array_index.is_none() ? zelph(var_name) : element(var_name, array_index));
}

nb::object var_name(nb::handle self) { return attr(self, KX_ID(var_name)); }

nb::object get_obj(nb::handle self, PyObject *array_index, PyObject *cast) {
    nb::object value = get_obj_core(attr(self, KX_ID(tcl)), var_name(self), array_index);
    nb::object fn = (!cast || cast == g_marker) ? attr(self, KX_ID(cast)) : nb::borrow(cast);
    if (truth(fn))
        return call(fn, {value.ptr()});
    return value;
}

// The variable's name, or its element form for an index.
nb::object name_or_element(nb::handle self, PyObject *array_index) {
    nb::object name = var_name(self);
    if (array_index && array_index != Py_None)
        return element(name, array_index);
    return name;
}

nb::object get_str(nb::handle self, PyObject *array_index) {
    return get_str_core(attr(self, KX_ID(tcl)), name_or_element(self, array_index));
}

void var_set(nb::handle self, nb::handle value, PyObject *array_index) {
    set_core(attr(self, KX_ID(tcl)), var_name(self), value, array_index);
}

void var_unset(nb::handle self, PyObject *array_index, bool nocomplain) {
    nb::object tk = bind::tk_of_owner(self);
    nb::object name = var_name(self);
    try {
        if (array_index && array_index != Py_None)
            bind::tk(tk, KX_ID(unsetvar), {name.ptr(), zelph(array_index).ptr()});
        else
            bind::tk(tk, KX_ID(unsetvar), {name.ptr()});
    } catch (nb::python_error &e) {
        if (!nocomplain || !e.matches(g_tcl_error) || bridge::must_propagate(e.value()))
            throw;
    }
}

nb::object var_exists(nb::handle self, PyObject *array_index) {
    nb::object name = name_or_element(self, array_index);
    nb::object interp = bind::interp_of(self);
    nb::object r = bind::tk(bind::tk_of(interp), KX_ID(call),
                            {words({KX_STR("::info"), KX_STR("exists"), name.ptr()}).ptr()});
    return bind::cast(interp, KX_ID(cast_boolean), r);
}

// "::array <op>" var_name [zelph(pattern)] by call, or by eval.
nb::object array_cmd(nb::handle self, const char *op, nb::handle pattern, bool by_eval = false) {
    nb::object cmd = words({KX_STR("::array"), kx::intern(op), var_name(self).ptr()});
    if (!pattern.is_none())
        cmd = concat(cmd, words({zelph(pattern).ptr()}));
    nb::object tk = bind::tk_of_owner(self);
    if (by_eval)
        return bind::tk(tk, KX_ID(eval), {zelph(cmd).ptr()});
    return bind::tk(tk, KX_ID(call), {cmd.ptr()});
}

nb::object cast_by(nb::handle self, PyObject *cast, nb::handle value) {
    return bind::cast(bind::interp_of(self), cast, value);
}

// --- fast-call bodies ----------------------------------------------------

const Params<2> kGetObj("get_obj", {"array_index", "cast"}, 0);
nb::object get_obj_m(PyObject *self, PyObject *const *args, Py_ssize_t nargsf, PyObject *kw) {
    PyObject *a[2];
    kGetObj.parse(args, nargsf, kw, a);
    return get_obj(self, a[0], a[1]);
}

const Params<1> kGetStr("get_str", {"array_index"}, 0);
nb::object get_str_m(PyObject *self, PyObject *const *args, Py_ssize_t nargsf, PyObject *kw) {
    PyObject *a[1];
    kGetStr.parse(args, nargsf, kw, a);
    return get_str(self, a[0]);
}

const Params<2> kSet("set", {"value", "array_index"}, 1);
nb::object set_m(PyObject *self, PyObject *const *args, Py_ssize_t nargsf, PyObject *kw) {
    PyObject *a[2];
    kSet.parse(args, nargsf, kw, a);
    var_set(self, a[0], a[1]);
    return nb::none();
}


// raise KeyError(e) from e, for the exception being handled when it is a
// TclError (or, with `value_error`, a ValueError).
[[noreturn]] void key_error(nb::python_error &e, bool value_error) {
    if (!e.matches(g_tcl_error) && !(value_error && e.matches(PyExc_ValueError)))
        throw;
    if (bridge::must_propagate(e.value()))
        throw;
    nb::object exc = nb::borrow(e.value());
    raise_from(PyExc_KeyError, exc, exc);
}

// --- TclVariable (the remaining operations) ------------------------------

void var_unset_m(nb::handle self, nb::handle array_index, nb::handle nocomplain) {
    var_unset(self, array_index.ptr(), truth(nocomplain));
}

nb::object array_item_byref(nb::handle self, nb::handle array_index, nb::handle cast) {
    nb::object tcl = attr(self, KX_ID(tcl));
    return method_kw(nb::handle(g_variable), KX_ID(__call__), {self.ptr()},
                     {{KX_ID(array_index), array_index.ptr()}, {KX_ID(tcl), tcl.ptr()}, {KX_ID(cast), cast.ptr()}});
}

nb::object array_get_obj(nb::handle self, nb::handle pattern) {
    return cast_by(self, KX_ID(cast_array), array_cmd(self, "get", pattern));
}

nb::object array_get_str(nb::handle self, nb::handle pattern) {
    return cast_by(self, KX_ID(cast_array), array_cmd(self, "get", pattern, true));
}

void array_set(nb::handle self, nb::handle value) {
    nb::object cmd = words({KX_STR("::array"), KX_STR("set"), var_name(self).ptr(), tclobj_word(value).ptr()});
    bind::tk(bind::tk_of_owner(self), KX_ID(call), {cmd.ptr()});
}

void array_unset(nb::handle self, nb::handle pattern) { array_cmd(self, "unset", pattern); }

nb::object array_size(nb::handle self) { return array_cmd(self, "size", nb::none()); }

nb::object array_names(nb::handle self, nb::handle pattern) {
    return cast_by(self, KX_ID(cast_list), array_cmd(self, "names", pattern));
}

nb::object is_array(nb::handle self) {
    return cast_by(self, KX_ID(cast_boolean), array_cmd(self, "exists", nb::none()));
}

nb::object var_absolute(nb::handle self) {
    nb::object name = var_name(self);
    if (PyUnicode_Check(name.ptr()) && names::is_absolute(name))
        return name;
    nb::object current = bind::tk(bind::tk_of_owner(self), KX_ID(call),
                                  {words({KX_STR("namespace"), KX_STR("current")}).ptr()});
    return names::join2(current, name);
}

void var_make_absolute(nb::handle self) {
    set_attr(self, KX_ID(var_name), call_method(self, KX_ID(absolute)));
}

nb::object var_str(nb::handle self) { return var_name(self); }
nb::object var_tclobj(nb::handle self) { return zelph(var_name(self)); }

nb::object var_repr(nb::handle self) {
    nb::object cls = check(PyObject_GetAttr(self.ptr(), KX_ID(__class__)));
    nb::object name = check(PyObject_GetAttr(cls.ptr(), KX_ID(__name__)));
    return check(PyUnicode_FromFormat("%S(%R)", name.ptr(), var_name(self).ptr()));
}

// --- TclArrayVariable ----------------------------------------------------

void arr_init(nb::handle self, nb::handle var_name, nb::handle tcl, nb::handle cast) {
    nb::object super = check(PyObject_CallFunctionObjArgs((PyObject *)&PySuper_Type, g_array_var,
                                                          self.ptr(), nullptr));
    method_kw(super, KX_ID(__init__), {var_name.ptr()}, {{KX_ID(tcl), tcl.ptr()}, {KX_ID(cast), cast.ptr()}});
}

Py_ssize_t arr_len(nb::handle self) {
    nb::object size = check(PyNumber_Long(call_method(self, KX_ID(array_size)).ptr()));
    return PyLong_AsSsize_t(size.ptr());
}

nb::object arr_iter(nb::handle self) {
    return check(PyObject_GetIter(str_items(call_method(self, KX_ID(array_names))).ptr()));
}

bool arr_contains(nb::handle self, nb::handle key) {
    return truth(method_kw(self, KX_ID(exists), {}, {{KX_ID(array_index), key.ptr()}}));
}

nb::object arr_getitem(nb::handle self, nb::handle key) {
    return method_kw(self, KX_ID(get), {}, {{KX_ID(array_index), key.ptr()}});
}

void arr_setitem(nb::handle self, nb::handle key, nb::handle value) {
    method_kw(self, KX_ID(set), {value.ptr()}, {{KX_ID(array_index), key.ptr()}});
}

void arr_delitem(nb::handle self, nb::handle key) {
    method_kw(self, KX_ID(unset), {}, {{KX_ID(array_index), key.ptr()}});
}

void arr_clear(nb::handle self) { call_method(self, KX_ID(array_unset)); }

void arr_update(nb::handle self, nb::args args, nb::kwargs kwargs) {
    nb::object d = check(PyObject_Call((PyObject *)&PyDict_Type, args.ptr(), kwargs.ptr()));
    call_method(self, KX_ID(array_set), {d.ptr()});
}

// --- VariablesView / ObjectsView -----------------------------------------

// Methods as this module defines them, to tell whether a class (a subclass
// included) still has them: then their C++ bodies are called directly.
enum Own { kOwnByref, kOwnViewGet, kOwnViewSet, kOwnObjsGet, kOwnVarInit, kOwnGetStr, kOwnGetObj, kOwnVarSet, kOwnCount };
PyObject *g_own[kOwnCount];  // kept: compared by identity

bool own(nb::handle obj, PyObject *name, Own which) {
    return type_lookup(Py_TYPE(obj.ptr()), name) == g_own[which];
}

// Version tags of the views and TclVariable, taken once the module is made.
unsigned int g_vars_view_tag, g_objs_view_tag, g_variable_tag;

// Whether `self` is a VariablesView or ObjectsView as this module made it,
// handing out TclVariables as this module made them: every method is then
// known to be ours without looking each one up.
bool pristine(nb::handle self) {
    PyTypeObject *t = Py_TYPE(self.ptr());
    return ((t == (PyTypeObject *)g_vars_view && unchanged(t, g_vars_view_tag)) ||
            (t == (PyTypeObject *)g_objs_view && unchanged(t, g_objs_view_tag))) &&
           unchanged((PyTypeObject *)g_variable, g_variable_tag);
}

// Whether a handle from byref would be a plain TclVariable whose operations
// are all this module's: then the views do its work without making it.
bool plain_handles() {
    PyTypeObject *t = (PyTypeObject *)g_variable;
    return type_lookup(t, KX_ID(__init__)) == g_own[kOwnVarInit] &&
           type_lookup(t, KX_ID(get_str)) == g_own[kOwnGetStr] &&
           type_lookup(t, KX_ID(get_obj)) == g_own[kOwnGetObj] &&
           type_lookup(t, KX_ID(set)) == g_own[kOwnVarSet];
}

// What byref(var_name) makes: the handle's interpreter proxy and name.
struct Ref {
    nb::object tcl, name;
};

// The handle's attributes when byref is ours and handles are plain;
// otherwise `handle` gets self.byref(var_name).
// The namespace object of a view (view.ns), then its Tcl name and its
// interpreter (ns.ns and ns.tcl), from the instance dicts while they are
// unchanged: the views reach them on every access.
AttrCache<1> g_view_ns;
AttrCache<2> g_ns_parts;

void view_target(nb::handle self, nb::object &text, nb::object &tcl) {
    static const AttrCache<1>::Names view_names = {KX_ID(ns)};
    static const AttrCache<2>::Names ns_names = {KX_ID(ns), KX_ID(tcl)};
    PyObject *found[2];
    nb::object ns = g_view_ns.get(self.ptr(), view_names, found) ? nb::borrow(found[0]) : attr(self, KX_ID(ns));
    if (Py_TYPE(ns.ptr()) == (PyTypeObject *)g_namespace && g_ns_parts.get(ns.ptr(), ns_names, found)) {
        nb::handle name(found[0]), interp(found[1]);
        text = zelph_str(name);
        tcl = bind_tcl(interp);
        return;
    }
    text = ns_text(ns);
    tcl = bind_tcl(attr(ns, KX_ID(tcl)));
}

bool plain_ref(nb::handle self, nb::handle var_name, Ref &ref, nb::object &handle) {
    if (pristine(self) || (own(self, KX_ID(byref), kOwnByref) && plain_handles())) {
        nb::object text;
        view_target(self, text, ref.tcl);
        ref.name = names::join2(text, var_name);
        return true;
    }
    handle = call_method(self, KX_ID(byref), {var_name.ptr()});
    return false;
}

nb::object view_ref(nb::handle self, nb::handle var_name) {
    Ref ref;
    nb::object v;
    if (plain_ref(self, var_name, ref, v))
        return lean_variable(ref.tcl, nb::none(), ref.name);
    return v;
}

void view_init(nb::handle self, nb::handle ns) {
    if (g_asserts && !PyObject_IsInstance(ns.ptr(), g_namespace)) {
        if (PyErr_Occurred())
            throw nb::python_error();
        PyErr_SetNone(PyExc_AssertionError);
        throw nb::python_error();
    }
    nb::object super = check(PyObject_CallFunctionObjArgs((PyObject *)&PySuper_Type, g_vars_view,
                                                          self.ptr(), nullptr));
    call_method(super, KX_ID(__init__));
    set_attr(self, KX_ID(ns), ns);
}

[[noreturn]] void twice(nb::handle callee, const char *keyword) {
    nb::object name = check(PyObject_GetAttr(callee.ptr(), KX_ID(__name__)));
    PyErr_Format(PyExc_TypeError, "%U() got multiple values for keyword argument '%s'", name.ptr(), keyword);
    throw nb::python_error();
}

nb::object byref(nb::handle self, nb::handle var_name, nb::args args, nb::kwargs kwargs) {
    nb::object var_type = nb::borrow(g_variable);
    if (PyDict_GetItemWithError(kwargs.ptr(), KX_ID(var_type))) {
        var_type = nb::borrow(PyDict_GetItemWithError(kwargs.ptr(), KX_ID(var_type)));
        PyDict_DelItem(kwargs.ptr(), KX_ID(var_type));
    } else if (PyErr_Occurred()) {
        throw nb::python_error();
    }
    if (PyDict_Contains(kwargs.ptr(), KX_ID(tcl)))
        twice(var_type, "tcl");
    nb::object ns = attr(self, KX_ID(ns));
    nb::object name = names::join2(ns_text(ns), var_name);
    nb::object tcl = attr(ns, KX_ID(tcl));
    if (var_type.ptr() == g_variable && !PyTuple_GET_SIZE(args.ptr()) && !PyDict_GET_SIZE(kwargs.ptr()))
        return lean_variable(tcl, nb::none(), name);
    nb::dict kw;
    kw[nb::handle(KX_ID(tcl))] = tcl;
    if (PyDict_Update(kw.ptr(), kwargs.ptr()) != 0)
        throw nb::python_error();
    return check(PyObject_Call(var_type.ptr(), concat(words({name.ptr()}), args).ptr(), kw.ptr()));
}

nb::object array_byref(nb::handle self, nb::handle var_name, nb::args args, nb::kwargs kwargs) {
    nb::object byref_fn = check(PyObject_GetAttr(self.ptr(), KX_ID(byref)));
    if (PyDict_Contains(kwargs.ptr(), KX_ID(var_type)))
        twice(byref_fn, "var_type");
    nb::dict kw;
    kw[nb::handle(KX_ID(var_type))] = nb::handle(g_array_var);
    if (PyDict_Update(kw.ptr(), kwargs.ptr()) != 0)
        throw nb::python_error();
    return check(PyObject_Call(byref_fn.ptr(), concat(words({var_name.ptr()}), args).ptr(), kw.ptr()));
}

nb::object view_get(nb::handle self, nb::handle var_name) {
    Ref ref;
    nb::object v;
    if (plain_ref(self, var_name, ref, v))
        return get_str_core(ref.tcl, ref.name);
    return call_method(v, KX_ID(get_str));
}

nb::object objs_get(nb::handle self, nb::handle var_name, PyObject *array_index) {
    Ref ref;
    nb::object v;
    if (plain_ref(self, var_name, ref, v))
        return get_obj_core(ref.tcl, ref.name, array_index);  // a new handle has no cast
    return method_kw(v, KX_ID(get_obj), {}, {{KX_ID(array_index), arg_or_none(array_index)}});
}

void view_set(nb::handle self, nb::handle var_name, nb::handle value, PyObject *array_index) {
    Ref ref;
    nb::object v;
    if (plain_ref(self, var_name, ref, v))
        return set_core(ref.tcl, ref.name, value, array_index);
    method_kw(v, KX_ID(set), {value.ptr()}, {{KX_ID(array_index), arg_or_none(array_index)}});
}

void view_unset(nb::handle self, nb::handle var_name, nb::handle array_index, nb::handle nocomplain) {
    nb::object v = view_ref(self, var_name);
    method_kw(v, KX_ID(unset), {}, {{KX_ID(array_index), array_index.ptr()}, {KX_ID(nocomplain), nocomplain.ptr()}});
}

// view.op(var_name, pattern=pattern) as v.<method>(pattern=pattern).
nb::object with_pattern(nb::handle self, nb::handle var_name, PyObject *method, nb::handle pattern) {
    return method_kw(view_ref(self, var_name), method, {}, {{KX_ID(pattern), pattern.ptr()}});
}

nb::object view_array_get(nb::handle self, nb::handle var_name, nb::handle pattern) {
    return with_pattern(self, var_name, KX_ID(array_get_str), pattern);
}
nb::object objs_array_get(nb::handle self, nb::handle var_name, nb::handle pattern) {
    return with_pattern(self, var_name, KX_ID(array_get_obj), pattern);
}
void view_array_unset(nb::handle self, nb::handle var_name, nb::handle pattern) {
    with_pattern(self, var_name, KX_ID(array_unset), pattern);
}
nb::object view_array_names(nb::handle self, nb::handle var_name, nb::handle pattern) {
    return with_pattern(self, var_name, KX_ID(array_names), pattern);
}
void view_array_set(nb::handle self, nb::handle var_name, nb::handle value) {
    call_method(view_ref(self, var_name), KX_ID(array_set), {value.ptr()});
}
nb::object view_is_array(nb::handle self, nb::handle var_name) {
    return call_method(view_ref(self, var_name), KX_ID(is_array));
}
nb::object view_exists(nb::handle self, nb::handle var_name, nb::handle array_index) {
    nb::object v = view_ref(self, var_name);
    return method_kw(v, KX_ID(exists), {}, {{KX_ID(array_index), array_index.ptr()}});
}

// self.get(var_name): this module's own get without a Python call.
nb::object view_item(nb::handle self, nb::handle var_name) {
    if (pristine(self))
        return Py_TYPE(self.ptr()) == (PyTypeObject *)g_vars_view ? view_get(self, var_name)
                                                                   : objs_get(self, var_name, nullptr);
    PyObject *get = type_lookup(Py_TYPE(self.ptr()), KX_ID(get));
    if (get == g_own[kOwnViewGet])
        return view_get(self, var_name);
    if (get == g_own[kOwnObjsGet])
        return objs_get(self, var_name, nullptr);
    return call_method(self, KX_ID(get), {var_name.ptr()});
}

nb::object view_getitem(PyObject *self, PyObject *const *args, Py_ssize_t nargsf, PyObject *kw) {
    static const Params<1> params("__getitem__", {"var_name"}, 1);
    PyObject *a[1];
    params.parse(args, nargsf, kw, a);
    try {
        return view_item(self, a[0]);
    } catch (nb::python_error &e) {
        key_error(e, true);
    }
}

nb::object view_setitem(PyObject *self, PyObject *const *args, Py_ssize_t nargsf, PyObject *kw) {
    static const Params<2> params("__setitem__", {"var_name", "value"}, 2);
    PyObject *a[2];
    params.parse(args, nargsf, kw, a);
    if (pristine(self) || own(self, KX_ID(set), kOwnViewSet))
        view_set(self, a[0], a[1], nullptr);
    else
        call_method(self, KX_ID(set), {a[0], a[1]});
    return nb::none();
}

// The mapping slots of the views: Python calls these for view[name] without
// looking __getitem__ up first. A class that assigns or defines its own
// __getitem__/__setitem__/__delitem__ gets Python's slots back.
PyObject *view_subscript(PyObject *self, PyObject *key) {
    return c_entry([&] { return view_getitem(self, &key, 1, nullptr); });
}

void view_delitem(nb::handle self, nb::handle var_name);

int view_ass_subscript(PyObject *self, PyObject *key, PyObject *value) {
    nb::object done = nb::steal(c_entry([&] {
        if (value && pristine(self)) {
            view_set(self, key, value, nullptr);
            return nb::object(nb::none());
        }
        if (value) {
            PyObject *args[2] = {key, value};
            return view_setitem(self, args, 2, nullptr);
        }
        view_delitem(self, key);
        return nb::object(nb::none());
    }));
    return done.is_valid() ? 0 : -1;
}

void view_delitem(nb::handle self, nb::handle var_name) {
    try {
        call_method(self, KX_ID(unset), {var_name.ptr()});
    } catch (nb::python_error &e) {
        key_error(e, false);
    }
}

bool view_contains(nb::handle self, nb::handle var_name) {
    return truth(call_method(self, KX_ID(exists), {var_name.ptr()}));
}

nb::object view_iter(nb::handle self) { return views::names(self, KX_STR("vars")); }

Py_ssize_t view_len(nb::handle self) { return views::count(self); }

const Params<1> kViewGet("get", {"var_name"}, 1);
nb::object view_get_m(PyObject *self, PyObject *const *args, Py_ssize_t nargsf, PyObject *kw) {
    PyObject *a[1];
    kViewGet.parse(args, nargsf, kw, a);
    return view_get(self, a[0]);
}

const Params<2> kObjsGet("get", {"var_name", "array_index"}, 1);
nb::object objs_get_m(PyObject *self, PyObject *const *args, Py_ssize_t nargsf, PyObject *kw) {
    PyObject *a[2];
    kObjsGet.parse(args, nargsf, kw, a);
    return objs_get(self, a[0], a[1]);
}

const Params<3> kViewSet("set", {"var_name", "value", "array_index"}, 2);
nb::object view_set_m(PyObject *self, PyObject *const *args, Py_ssize_t nargsf, PyObject *kw) {
    PyObject *a[3];
    kViewSet.parse(args, nargsf, kw, a);
    view_set(self, a[0], a[1], a[2]);
    return nb::none();
}

}  // namespace
}  // namespace kx

KX_MODULE(namespace, m) {
    using namespace kx;
    m.doc() = "Tcl namespaces, commands and variables as Python objects.";
    std::string package = PyUnicode_AsUTF8(nb::str(m.attr("__name__")).ptr());
    g_package = new std::string(package.substr(0, package.rfind('.')));  // lives with the process
    g_asserts = !truth(import_attr("sys", "flags").attr("optimize"));

    nb::object mutable_mapping = import_attr("collections.abc", "MutableMapping");
    m.attr("MutableMapping") = mutable_mapping;
    nb::object zelph_module = check(PyImport_ImportModule((*g_package + ".zelph").c_str()));
    m.attr("zelph") = zelph_module.attr("zelph");
    m.attr("tclobj") = zelph_module.attr("tclobj");
    g_tcl_error = keep(import_attr("tkinter", "TclError"));
    m.attr("TclError") = nb::handle(g_tcl_error);
    m.attr("Tk") = import_attr("tkinter", "Tk");
    m.attr("MethodType") = import_attr("types", "MethodType");
    // `weakref` (proxies are made with the C API; the module is published lazily)
    m.def("__getattr__", [m](nb::handle name) { return lazy_module_attr(m, name, "weakref", "weakref"); });
    m.attr("sys") = nb::module_::import_("sys");
    m.attr("functools") = nb::module_::import_("functools");
    // The names published so far; the command and temporary classes join them.
    m.attr("__all__") = nb::make_tuple("TclVariable", "TempTclVariable", "TclArrayVariable", "TempTclArrayVariable",
                                       "TclCommand", "TempTclCommand", "TclNamespace", "TempTclNamespace");
    g_update_wrapper = keep(import_attr("functools", "update_wrapper"));

    // TclVariable
    ClassDef v(m, "TclVariable", {},
               "A handle on one Tcl variable of one interpreter: a scalar, a whole array,\n"
               "or one array element (named \"array(index)\"). Nothing is cached: every\n"
               "operation asks Tcl.");
    g_marker = keep(check(PyObject_CallNoArgs((PyObject *)&PyBaseObject_Type)));
    v.def("__init__", &var_init, "var_name"_a.none(), "array_index"_a.none() = nb::none(),
          "tcl"_a.none() = nb::none(), "cast"_a.none() = nb::none())
        .set("_TclVariable__marker", g_marker)
        .def_fast(fast_method<get_obj_m>(
            "get_obj", "get_obj($self, /, array_index=None, cast=<no cast given>)\n--\n\n"
                       "The value (of an element) as _tkinter delivers it, through `cast`\n"
                       "(the handle's own cast when none is given; None for no cast)."))
        .def_fast(fast_method<get_str_m>("get_str", "get_str($self, /, array_index=None)\n--\n\n"
                                                    "The value (of an element) as Tcl text."))
        .set("get", nb::none())  // the same function as get_obj, set below
        .def_fast(fast_method<set_m>("set", "set($self, /, value, array_index=None)\n--\n\n"
                                            "Set the variable (or an element) to `value`."))
        .def("unset", &var_unset_m, "array_index"_a.none() = nb::none(), "nocomplain"_a.none() = false,
             "Unset the variable (or an element); `nocomplain` ignores Tcl's errors.")
        .def("exists", [](nb::handle self, nb::handle index) { return var_exists(self, index.ptr()); },
             "array_index"_a.none() = nb::none(), "Whether the variable (or an element) exists.")
        .def("array_item_byref", &array_item_byref, "array_index"_a.none(), "cast"_a.none() = nb::none(),
             "A TclVariable handle on one element of this array.")
        .def("array_get_obj", &array_get_obj, "pattern"_a.none() = nb::none(),
             "The array (the elements matching `pattern`) as an Array, read by word list.")
        .def("array_get_str", &array_get_str, "pattern"_a.none() = nb::none(),
             "The array (the elements matching `pattern`) as an Array, read by script.")
        .set("array_get", nb::none())
        .def("array_set", &array_set, "value"_a.none(), "Set elements from a mapping or a flat list.")
        .def("array_unset", &array_unset, "pattern"_a.none() = nb::none(),
             "Unset the array, or the elements matching `pattern`.")
        .def("array_size", &array_size, "The number of elements, as Tcl returns it.")
        .def("array_names", &array_names, "pattern"_a.none() = nb::none(),
             "The element names (matching `pattern`) as a tuple.")
        .def("is_array", &is_array, "Whether the variable is an array.")
        .def("absolute", &var_absolute, "The name qualified with the current namespace.")
        .def("make_absolute", &var_make_absolute, "Qualify `var_name` with the current namespace.")
        .def("__str__", &var_str)
        .def("__tclobj__", &var_tclobj, "The Tcl form of a variable object: its name.")
        .def("__repr__", &var_repr);
    g_variable = keep(v.finish());
    nb::setattr(nb::handle(g_variable), "get", nb::getattr(nb::handle(g_variable), "get_obj"));
    nb::setattr(nb::handle(g_variable), "array_get", nb::getattr(nb::handle(g_variable), "array_get_obj"));

    // TclArrayVariable
    ClassDef a(m, "TclArrayVariable", {mutable_mapping, nb::handle(g_variable)},
               "A handle on a Tcl array, as a mutable mapping of element names to values.");
    a.def("__init__", &arr_init, "var_name"_a.none(), "tcl"_a.none() = nb::none(), "cast"_a.none() = nb::none())
        .set("get", nb::getattr(nb::handle(g_variable), "get"))
        .def("__len__", &arr_len)
        .def("__iter__", &arr_iter)
        .def("__contains__", &arr_contains, "key"_a.none())
        .def("__getitem__", &arr_getitem, "key"_a.none())
        .def("__setitem__", &arr_setitem, "key"_a.none(), "value"_a.none())
        .def("__delitem__", &arr_delitem, "key"_a.none())
        .def("clear", &arr_clear, "Unset the whole array variable.")
        .def("update", &arr_update, "args"_a, "kwargs"_a, "Set elements as ``dict(*args, **kwargs)`` gives them.");
    g_array_var = keep(a.finish());

    // TclNamespace with its nested views
    ClassDef vv(m, "VariablesView", {mutable_mapping},
                "The variables of a namespace as a mapping of names to their Tcl text.",
                "TclNamespace.VariablesView");
    vv.def("__init__", &view_init, "ns"_a.none())
        .def("byref", &byref, "var_name"_a.none(), "args"_a, "kwargs"_a,
             "A handle on the variable (`var_type`, default TclVariable), its name\n"
             "qualified with this namespace; other arguments go to the handle.")
        .def("array_byref", &array_byref, "var_name"_a.none(), "args"_a, "kwargs"_a,
             "A TclArrayVariable handle on the array.")
        .def_fast(fast_method<view_get_m>("get", "get($self, /, var_name)\n--\n\n"
                                                 "The variable's value as Tcl text."))
        .def_fast(fast_method<view_set_m>("set", "set($self, /, var_name, value, array_index=None)\n--\n\n"
                                                 "Set the variable (or an element)."))
        .def("unset", &view_unset, "var_name"_a.none(), "array_index"_a.none() = nb::none(),
             "nocomplain"_a.none() = false, "Unset the variable (or an element).")
        .def("array_get", &view_array_get, "var_name"_a.none(), "pattern"_a.none() = nb::none(),
             "The array as an Array, values as Tcl text.")
        .def("array_set", &view_array_set, "var_name"_a.none(), "value"_a.none(),
             "Set array elements from a mapping or flat list.")
        .def("array_unset", &view_array_unset, "var_name"_a.none(), "pattern"_a.none() = nb::none(),
             "Unset the array, or its elements matching `pattern`.")
        .def("array_names", &view_array_names, "var_name"_a.none(), "pattern"_a.none() = nb::none(),
             "The array's element names.")
        .def("is_array", &view_is_array, "var_name"_a.none(), "Whether the variable is an array.")
        .def("exists", &view_exists, "var_name"_a.none(), "array_index"_a.none() = nb::none(),
             "Whether the variable (or an element) exists.")
        .def_fast(fast_method<view_getitem>("__getitem__", "__getitem__($self, var_name, /)\n--\n\n"))
        .def("__contains__", &view_contains, "var_name"_a.none())
        .def_fast(fast_method<view_setitem>("__setitem__", "__setitem__($self, var_name, value, /)\n--\n\n"))
        .def("__delitem__", &view_delitem, "var_name"_a.none())
        .def("__len__", &view_len)
        .def("__iter__", &view_iter);
    g_vars_view = keep(vv.finish(true));

    ClassDef ov(m, "ObjectsView", {nb::handle(g_vars_view)},
                "The variables of a namespace as a mapping of names to the values\n"
                "_tkinter delivers.",
                "TclNamespace.ObjectsView");
    ov.def_fast(fast_method<objs_get_m>("get", "get($self, /, var_name, array_index=None)\n--\n\n"
                                               "The value (of an element) as _tkinter delivers it."))
        .def("array_get", &objs_array_get, "var_name"_a.none(), "pattern"_a.none() = nb::none(),
             "The array as an Array of the values _tkinter delivers.");
    g_objs_view = keep(ov.finish(true));
    for (PyObject *view : {g_vars_view, g_objs_view}) {
        PyMappingMethods *mapping = ((PyTypeObject *)view)->tp_as_mapping;
        mapping->mp_subscript = view_subscript;
        mapping->mp_ass_subscript = view_ass_subscript;
    }

    // The command views, nested in TclNamespace as well
    ClassDef cv(m, "CommandsView", {mutable_mapping},
                "The commands of a namespace as a mapping of names to TclCommand objects.\n"
                "Assigning a callable registers it as a Tcl command; iteration lists the\n"
                "names 'info commands' reports inside the namespace.",
                "TclNamespace.CommandsView");
    auto on = [](PyObject *method) {
        return [method](nb::handle self, nb::handle cmd_name) { return views::on_command(self, cmd_name, method); };
    };
    cv.def("__init__", &views::init, "ns"_a.none())
        .def("byref", [](nb::handle self, nb::handle cmd_name, nb::args args, nb::kwargs kwargs) {
                 return views::byref(self, cmd_name, args, kwargs);
             }, "cmd_name"_a.none(), "args"_a, "kwargs"_a,
             "A TclCommand for the name joined to this namespace, in its interpreter;\n"
             "other arguments go to TclCommand.")
        .def("exists", on(KX_ID(exists)), "cmd_name"_a.none(), "Whether the command exists.")
        .def("createcommand", [](nb::handle self, nb::handle cmd_name, nb::handle func) {
                 views::on_command(self, cmd_name, KX_ID(createcommand), {func.ptr()});
             }, "cmd_name"_a.none(), "func"_a.none(), "Register a Python callable as the Tcl command.")
        .def("delete", [](nb::handle self, nb::handle cmd_name) { views::on_command(self, cmd_name, KX_ID(delete)); },
             "cmd_name"_a.none(), "Delete the command.")
        .def("rename", &views::rename, "cmd_name"_a.none(), "new_name"_a.none(),
             "Rename the command; a relative new name stays in this namespace.")
        .def("origin", on(KX_ID(origin)), "cmd_name"_a.none(), "The original of an imported command.")
        .def("proc_body", on(KX_ID(proc_body)), "cmd_name"_a.none(), "The body of the procedure.")
        .def("proc_args", on(KX_ID(proc_args)), "cmd_name"_a.none(), "The argument names of the procedure.")
        .def("proc_arg_default", [](nb::handle self, nb::handle cmd_name, nb::handle arg_name) {
                 return views::on_command(self, cmd_name, KX_ID(proc_arg_default), {arg_name.ptr()});
             }, "cmd_name"_a.none(), "arg_name"_a.none(),
             "The default of a procedure argument, or None when it has none.")
        .def("__getitem__", [](nb::handle self, nb::handle cmd_name) {
                 return call_method(self, KX_ID(byref), {cmd_name.ptr()});
             }, "cmd_name"_a.none())
        .def("__contains__", &views::contains, "cmd_name"_a.none())
        .def("__setitem__", &views::setitem, "cmd_name"_a.none(), "func"_a.none())
        .def("__delitem__", &views::delitem, "cmd_name"_a.none())
        .def("__len__", &views::count)
        .def("__iter__", [](nb::handle self) { return views::names(self, KX_STR("commands")); });
    g_cmds_view = keep(cv.finish(true));

    ClassDef pv(m, "ProcsView", {nb::handle(g_cmds_view)},
                "The procedures of a namespace: a commands view whose membership and\n"
                "iteration cover procedures only.",
                "TclNamespace.ProcsView");
    pv.def("exists", on(KX_ID(is_proc)), "cmd_name"_a.none(), "Whether the procedure exists.")
        .def("__iter__", [](nb::handle self) { return views::names(self, KX_STR("procs")); });
    g_procs_view = keep(pv.finish(true));

    ClassDef n(m, "TclNamespace", {},
               "A Tcl namespace of one interpreter. An empty name stands for whatever\n"
               "namespace is current. Nothing is cached: every operation asks Tcl.");
    n.def("__init__", &ns_init, "ns"_a.none(), "tcl"_a.none() = nb::none())
        .def("children", &nsops::children, "pattern"_a.none() = nb::none(),
             "The child namespaces (matching `pattern`), fully qualified.")
        .def("code", &nsops::code, "script"_a.none(), "The script wrapped by 'namespace code'.")
        .def("current", &nsops::current, "The interpreter's current namespace.")
        .def("create", &nsops::create, "Create the namespace if it is missing.")
        .def("delete", &nsops::remove, "Delete the namespace.")
        .def("eval", &nsops::eval, "tclcmd"_a.none(), "args"_a,
             "Evaluate a script (or the words given) inside the namespace.")
        .def("call", &nsops::call, "tclcmd"_a.none(), "args"_a,
             "Call a command given as words inside the namespace.")
        .def("exists", &nsops::exists, "Whether the namespace exists.")
        .def("export", &nsops::export_, "clear"_a.none() = false, "patterns"_a,
             "Add export patterns (`clear` first drops the old ones); without\n"
             "arguments, return the export patterns.")
        .def("forget", &nsops::forget, "patterns"_a, "Remove imported commands.")
        .def("import_", &nsops::import_, "force"_a.none() = false, "patterns"_a,
             "Import commands (`force` replaces existing ones).")
        .def("origin", &nsops::origin, "command"_a.none(), "The original of an imported command.")
        .def("parent", &nsops::parent, "force_eval"_a.none() = false,
             "The parent namespace; computed without Tcl for an absolute name\n"
             "unless `force_eval`.")
        .def("which", &nsops::which, "name"_a.none(), "command"_a.none() = false, "variable"_a.none() = false,
             "The fully qualified name of a command or variable.")
        .def("is_absolute", &nsops::is_absolute, "Whether the name starts with '::' ('' for no name).")
        .def("is_relative", &nsops::is_relative, "Whether the name is relative ('' for no name).")
        .def("absolute", &nsops::absolute, "The name qualified with the current namespace.")
        .def("make_absolute", &nsops::make_absolute, "Qualify `ns` with the current namespace.")
        .def("__str__", &nsops::str)
        .def_static("qualifiers", [](nb::handle s) { return names::qualifiers(s); }, "string"_a.none(),
                    "Everything before the last '::'.")
        .def_static("tail", [](nb::handle s) { return names::tail(s); }, "string"_a.none(),
                    "Everything after the last '::'.")
        .def_static("join", &nsops::join, "string"_a.none(), "args"_a, "The names joined with '::', normalized.")
        .def_static("split", [](nb::handle s) { return names::split(s); }, "string"_a.none(),
                    "The name's components; an absolute name gets an empty first item.")
        .def_static("normalize", [](nb::handle s) { return names::normalize(s); }, "string"_a.none(),
                    "The name with single separators and no trailing one.")
        .set("VariablesView", nb::handle(g_vars_view))
        .set("ObjectsView", nb::handle(g_objs_view))
        .set("CommandsView", nb::handle(g_cmds_view))
        .set("ProcsView", nb::handle(g_procs_view));
    g_namespace = keep(n.finish());
    auto lookup = [](PyObject *cls, const char *name) {
        return keep(type_lookup((PyTypeObject *)cls, nb::str(name).ptr()));  // held for identity tests
    };
    g_own[kOwnByref] = lookup(g_vars_view, "byref");
    g_own[kOwnViewGet] = lookup(g_vars_view, "get");
    g_own[kOwnViewSet] = lookup(g_vars_view, "set");
    g_own[kOwnObjsGet] = lookup(g_objs_view, "get");
    g_own[kOwnVarInit] = lookup(g_variable, "__init__");
    g_own[kOwnGetStr] = lookup(g_variable, "get_str");
    g_own[kOwnGetObj] = lookup(g_variable, "get_obj");
    g_own[kOwnVarSet] = lookup(g_variable, "set");
    g_ns_str = type_lookup((PyTypeObject *)g_namespace, KX_ID(__str__));

    // TclCommand
    ClassDef c(m, "TclCommand", {},
               "A Tcl command (built-in, procedure or Python callback) as a Python callable,\n"
               "with leading arguments and options bound in advance. Calling it sends the\n"
               "name, the bound arguments, the call's arguments, then every option as\n"
               "'-name value'. Stored on a class, it works as a method.");
    c.def("__init__", &command::init, "cmd"_a.none(), "args"_a.none() = nb::none(), "keywords"_a.none() = nb::none(),
          "tcl"_a.none() = nb::none(), "cast"_a.none() = nb::none(), "logger"_a.none() = nb::none())
        .def("createcommand", &command::createcommand, "func"_a.none(),
             "Register a Python callable as the Tcl command of this name.")
        .def("exists", &command::exists, "Whether the command exists.")
        .def("is_command", &command::is_command, "Whether the command exists and is not a procedure.")
        .def("is_proc", &command::is_proc, "Whether the command is a procedure.")
        .def("rename", &command::rename, "new_name"_a.none(), "Rename the command and follow it.")
        .def("delete", &command::remove, "Delete the command.")
        .def("origin", &command::origin, "The original of an imported command.")
        .def("proc_body", &command::proc_body, "The body of the procedure.")
        .def("proc_args", &command::proc_args, "The argument names of the procedure, as a tuple.")
        .def("proc_arg_default", &command::proc_arg_default, "arg_name"_a.none(),
             "The default of a procedure argument, or None when it has none.")
        .def("build_tclcmd", [](nb::handle self, nb::args args, nb::kwargs kwargs) {
                 return command::build_tclcmd(self, args, kwargs.ptr());
             }, "args"_a, "kwargs"_a,
             "All words of a call: name, bound and given arguments, then the options\n"
             "(a given option replaces a bound one in its place).")
        .def_static("kwargs_to_dashed_args", [](nb::kwargs kwargs) { return command::dashed_args(kwargs); },
                    "kwargs"_a, "('-key', value, ...) for each keyword, in order.")
        .def_fast(fast_method<command::call>(
            "call", "call($self, /, *args, **kwargs)\n--\n\n"
                    "Send the command by word list; the result, cast when `cast` is set.\n"
                    "With a `logger`, each call is logged first at info level."))
        .def_fast(fast_method<command::dunder_call>("__call__", "__call__($self, /, *args, **kwargs)\n--\n\n"
                                                                 "self.call(*args, **kwargs)"))
        .def("eval", [](nb::handle self, nb::args args, nb::kwargs kwargs) {
                 return command::eval(self, args, kwargs.ptr());
             }, "args"_a, "kwargs"_a, "Evaluate the words as one quoted script; the result, cast when `cast` is set.")
        .def("absolute", &command::absolute, "The name qualified with the current namespace.")
        .def("make_absolute", &command::make_absolute, "Qualify `cmd_name` with the current namespace.")
        .def("__repr__", &command::repr)
        .def("__str__", &command::str)
        .def("__tclobj__", &command::tclobj_hook, "The Tcl form of a command object: its words.")
        .def("__get__", [](nb::handle self, nb::handle instance, nb::handle) { return command::get(self, instance); },
             "instance"_a.none(), "owner"_a.none() = nb::none())
        .set("__signature__", call_signature_descriptor());
    nb::object command_class = c.finish();
    ((PyTypeObject *)command_class.ptr())->tp_call = command::tp_call;
    command::Classes &cc = command::classes();
    cc.tcl_error = g_tcl_error;
    cc.command = keep(command_class);
    cc.ns_class = g_namespace;
    cc.cmds_view = g_cmds_view;
    cc.package = g_package->c_str();
    cc.asserts = g_asserts;
    cc.own_call = type_lookup((PyTypeObject *)cc.command, KX_ID(call));
    cc.own_build = type_lookup((PyTypeObject *)cc.command, KX_ID(build_tclcmd));
    cc.own_dashed = type_lookup((PyTypeObject *)cc.command, KX_ID(kwargs_to_dashed_args));

    // The temporaries
    const char *temp_name = "::__korvex__{cls}_{id}_tmp";
    ClassDef tn(m, "TempTclNamespace", {nb::handle(g_namespace)},
                "A namespace with a generated unique name, created on entering a `with`\n"
                "block and deleted on leaving it.");
    tn.def("__init__", [](nb::handle self, nb::handle ns, nb::kwargs kw) { temp::init_named(g_temp_ns, self, ns, kw); },
           "ns"_a.none() = temp_name, "kwargs"_a)
        .def("__enter__", [](nb::handle self) { return temp::ns_enter(g_temp_ns, self); })
        .def("__exit__", [](nb::handle self, nb::args exc_info) {
                 return temp::exit_deleting(g_temp_ns, self, exc_info, g_tcl_error);
             }, "exc_info"_a);
    g_temp_ns = keep(tn.finish());

    ClassDef tc(m, "TempTclCommand", {nb::handle(cc.command)},
                "A Python callable registered as a Tcl command under a generated unique\n"
                "name; the command goes when the `with` block ends or the object is\n"
                "collected.");
    tc.def("__init__", [](nb::handle self, nb::handle func, nb::handle cmd_name, nb::kwargs kw) {
               temp::cmd_init(g_temp_cmd, self, func, cmd_name, kw, g_update_wrapper);
           }, "func"_a.none() = nb::none(), "cmd_name"_a.none() = temp_name, "kwargs"_a)
        .def("__enter__", [](nb::handle self) { return temp::super_enter(g_temp_cmd, self); })
        .def("__exit__", [](nb::handle self, nb::args exc_info) {
                 return temp::exit_deleting(g_temp_cmd, self, exc_info, g_tcl_error);
             }, "exc_info"_a)
        .def("__del__", [](nb::handle self) { temp::cmd_del(g_temp_cmd, self, g_tcl_error); });
    g_temp_cmd = keep(tc.finish());
    ((PyTypeObject *)g_temp_cmd)->tp_call = command::tp_call;
    cc.temp_cmd = g_temp_cmd;

    ClassDef tv(m, "TempTclVariable", {nb::handle(g_variable)},
                "A variable handle with a generated unique global name; the variable is\n"
                "unset when the `with` block ends.");
    tv.def("__init__", [](nb::handle self, nb::handle var_name, nb::kwargs kw) {
               temp::var_init(g_temp_var, self, var_name, kw);
           }, "var_name"_a.none() = temp_name, "kwargs"_a)
        .def("__enter__", [](nb::handle self) { return temp::super_enter(g_temp_var, self); })
        .def("__exit__", [](nb::handle self, nb::args exc_info) { return temp::var_exit(g_temp_var, self, exc_info); },
             "exc_info"_a);
    g_temp_var = keep(tv.finish());
    cc.temp_var = g_temp_var;

    ClassDef ta(m, "TempTclArrayVariable", {nb::handle(g_temp_var), nb::handle(g_array_var)},
                "A temporary array variable: an array mapping that is unset when the\n"
                "`with` block ends.");
    ta.finish();
    command::seal_classes();
    g_vars_view_tag = version_tag(g_vars_view);
    g_objs_view_tag = version_tag(g_objs_view);
    g_variable_tag = version_tag(g_variable);
}
