#include "support/handles/tclcommand.hpp"

#include "support/python/attrcache.hpp"
#include "support/bridge/bridge.hpp"
#include "support/handles/tclbind.hpp"
#include "support/tcl/tclconvert.hpp"
#include "support/tcl/tclnames.hpp"

#include <algorithm>
#include <utility>

#include <vector>

namespace kx {
namespace command {
namespace {

// "-" + key
nb::object dashed(PyObject *key) {
    if (!PyUnicode_Check(key)) {
        PyErr_Format(PyExc_TypeError, "keywords must be strings, not '%.100s'", Py_TYPE(key)->tp_name);
        throw nb::python_error();
    }
    return check(PyUnicode_Concat(KX_STR("-"), key));
}

// The options as words: through `override` (called with **options) when
// given, else built here.
nb::object option_words(nb::handle options, PyObject *override) {
    if (override) {
        nb::object none = nb::steal(PyTuple_New(0));
        return check(PyObject_Call(override, none.ptr(), options.ptr()));
    }
    return dashed_args(options);
}

// name + bound + converted call arguments + option words, in one new tuple.
nb::object assemble(nb::handle name, nb::handle bound_args, PyObject *const *args, Py_ssize_t nargs,
                    nb::handle options) {
    if (!PyTuple_Check(bound_args.ptr())) {
        nb::object t = check(PySequence_Tuple(bound_args.ptr()));
        return assemble(name, t, args, nargs, options);
    }
    Py_ssize_t nopt = PyTuple_GET_SIZE(options.ptr());
    Py_ssize_t nb_args = PyTuple_GET_SIZE(bound_args.ptr());
    nb::object out = check(PyTuple_New(1 + nb_args + nargs + nopt));
    Py_ssize_t i = 0;
    PyTuple_SET_ITEM(out.ptr(), i++, nb::borrow(name).release().ptr());
    for (Py_ssize_t k = 0; k < nb_args; ++k)
        PyTuple_SET_ITEM(out.ptr(), i++, nb::borrow(PyTuple_GET_ITEM(bound_args.ptr(), k)).release().ptr());
    for (Py_ssize_t k = 0; k < nargs; ++k)
        PyTuple_SET_ITEM(out.ptr(), i++, tclobj(args[k]).release().ptr());
    for (Py_ssize_t k = 0; k < nopt; ++k)
        PyTuple_SET_ITEM(out.ptr(), i++, nb::borrow(PyTuple_GET_ITEM(options.ptr(), k)).release().ptr());
    return out;
}

nb::object no_options() { return check(PyTuple_New(0)); }

}  // namespace

nb::object dashed_args(nb::handle mapping) {
    nb::object items = check(PyMapping_Items(mapping.ptr()));
    Py_ssize_t n = PyList_GET_SIZE(items.ptr());
    nb::object out = check(PyTuple_New(2 * n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject *pair = PyList_GET_ITEM(items.ptr(), i);
        if (!PyTuple_Check(pair) || PyTuple_GET_SIZE(pair) != 2) {
            PyErr_SetString(PyExc_TypeError, "mapping items must be (key, value) pairs");
            throw nb::python_error();
        }
        PyTuple_SET_ITEM(out.ptr(), 2 * i, dashed(PyTuple_GET_ITEM(pair, 0)).release().ptr());
        PyTuple_SET_ITEM(out.ptr(), 2 * i + 1, nb::borrow(PyTuple_GET_ITEM(pair, 1)).release().ptr());
    }
    return out;
}

nb::object build_words(nb::handle name, nb::handle bound_args, nb::handle bound_keywords,
                       PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames, PyObject *dashed) {
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    nb::object options;
    if (nkw) {
        nb::object keywords = check(PyDict_Copy(bound_keywords.ptr()));
        for (Py_ssize_t k = 0; k < nkw; ++k)
            if (PyDict_SetItem(keywords.ptr(), PyTuple_GET_ITEM(kwnames, k), tclobj(args[nargs + k]).ptr()))
                throw nb::python_error();
        options = option_words(keywords, dashed);
    } else if (!dashed && PyDict_Check(bound_keywords.ptr()) && PyDict_GET_SIZE(bound_keywords.ptr()) == 0) {
        options = no_options();
    } else {
        options = option_words(bound_keywords, dashed);
    }
    if (!PyTuple_Check(options.ptr()))
        options = check(PySequence_Tuple(options.ptr()));
    return assemble(name, bound_args, args, nargs, options);
}

nb::object build_words(nb::handle name, nb::handle bound_args, nb::handle bound_keywords, nb::handle args,
                       PyObject *kwargs, PyObject *dashed) {
    std::vector<PyObject *> stack;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(args.ptr()); ++i)
        stack.push_back(PyTuple_GET_ITEM(args.ptr(), i));
    nb::object kwnames;
    if (kwargs && PyDict_GET_SIZE(kwargs)) {
        kwnames = check(PyTuple_New(PyDict_GET_SIZE(kwargs)));
        Py_ssize_t pos = 0, k = 0;
        PyObject *key, *value;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            PyTuple_SET_ITEM(kwnames.ptr(), k++, nb::borrow(key).release().ptr());
            stack.push_back(value);
        }
    }
    return build_words(name, bound_args, bound_keywords, stack.data(), PyTuple_GET_SIZE(args.ptr()),
                       kwnames.ptr(), dashed);
}

nb::object literal_pattern(nb::handle name) {
    if (!PyUnicode_Check(name.ptr()))
        return nb::borrow(name);
    Py_ssize_t n = PyUnicode_GET_LENGTH(name.ptr());
    int kind = PyUnicode_KIND(name.ptr());
    const void *data = PyUnicode_DATA(name.ptr());
    // The last component starts after the last "::".
    Py_ssize_t start = 0;
    for (Py_ssize_t i = n - 1; i > 0; --i)
        if (PyUnicode_READ(kind, data, i) == ':' && PyUnicode_READ(kind, data, i - 1) == ':') {
            start = i + 1;
            break;
        }
    auto special = [](Py_UCS4 c) { return c == '*' || c == '?' || c == '[' || c == ']' || c == '\\'; };
    Py_ssize_t extra = 0;
    for (Py_ssize_t i = start; i < n; ++i)
        extra += special(PyUnicode_READ(kind, data, i));
    if (!extra)
        return nb::borrow(name);
    std::vector<Py_UCS4> out;
    out.reserve(n + extra);
    for (Py_ssize_t i = 0; i < n; ++i) {
        Py_UCS4 c = PyUnicode_READ(kind, data, i);
        if (i >= start && special(c))
            out.push_back('\\');
        out.push_back(c);
    }
    return check(PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, out.data(), (Py_ssize_t)out.size()));
}

bool nonempty(nb::handle result) {
    PyObject *r = result.ptr();
    if (PyUnicode_Check(r))
        return PyUnicode_GET_LENGTH(r) != 0;
    if (PyTuple_Check(r))
        return PyTuple_GET_SIZE(r) != 0;
    nb::object text = check(PyObject_Str(r));
    return PyUnicode_GET_LENGTH(text.ptr()) != 0;
}

// --- the class's methods -----------------------------------------------------

Classes &classes() {
    static Classes c;
    return c;
}

void seal_classes() {
    classes().command_tag = version_tag(classes().command);
    classes().temp_cmd_tag = version_tag(classes().temp_cmd);
}

namespace {

// Whether `self` is an instance of TclCommand or TempTclCommand themselves,
// unchanged since import.
bool pristine(PyObject *self) {
    PyTypeObject *t = Py_TYPE(self);
    const Classes &c = classes();
    return (t == (PyTypeObject *)c.command && unchanged(t, c.command_tag)) ||
           (t == (PyTypeObject *)c.temp_cmd && unchanged(t, c.temp_cmd_tag));
}

nb::object cast_by(nb::handle self, PyObject *cast, nb::handle value) {
    return bind::cast(bind::interp_of(self), cast, value);
}

nb::object bind_tcl(nb::handle tcl) { return bind::interp(tcl, classes().package); }

}  // namespace


bool is_command_object(nb::handle obj) {
    int r = PyObject_IsInstance(obj.ptr(), classes().command);
    if (r < 0)
        throw nb::python_error();
    return r != 0;
}

nb::object cmd_name_of(nb::handle self) { return attr(self, KX_ID(cmd_name)); }

// self.tcl.tk.call(words)
nb::object send(nb::handle self, nb::handle words) {
    return bind::tk(bind::target_of(bind::interp_of(self)), KX_ID(call), {words.ptr()});
}

// The words of a command about this one: op words, then cmd_name.
nb::object ask(nb::handle self, PyObject *a, PyObject *b) {
    return send(self, words({a, b, cmd_name_of(self).ptr()}));
}

void init(nb::handle self, nb::handle cmd, nb::handle args, nb::handle keywords, nb::handle tcl,
              nb::handle cast, nb::handle logger) {
    nb::object super = check(PyObject_CallFunctionObjArgs((PyObject *)&PySuper_Type, classes().command, self.ptr(), nullptr));
    call_method(super, KX_ID(__init__));
    nb::object proxy = bind_tcl(tcl);
    set_attr(self, KX_ID(tcl), proxy);
    nb::object name = nb::borrow(cmd), bound;
    if (args.is_none()) {
        if (is_command_object(name))
            name = call_method(name, KX_ID(build_tclcmd));
        else if (!PyTuple_CheckExact(name.ptr()))
            name = bind::cast(bind::referent(proxy), KX_ID(cast_list), name);
        bound = check(PySequence_GetSlice(name.ptr(), 1, PY_SSIZE_T_MAX));
        name = check(PySequence_GetItem(name.ptr(), 0));
    } else {
        bound = bind::cast(bind::referent(proxy), KX_ID(cast_list), args);
    }
    if (is_command_object(name)) {  // a command built on a command: its words come first
        nb::object first = check(PyObject_GetAttr(name.ptr(), KX_ID(build_tclcmd)));
        nb::object tclcmd = check(PyObject_Call(first.ptr(), check(PySequence_Tuple(bound.ptr())).ptr(), nullptr));
        bound = check(PySequence_GetSlice(tclcmd.ptr(), 1, PY_SSIZE_T_MAX));
        name = check(PySequence_GetItem(tclcmd.ptr(), 0));
    }
    set_attr(self, KX_ID(cmd_name), zelph(name));
    set_attr(self, KX_ID(args), tclobj(check(PySequence_Tuple(bound.ptr()))));
    nb::dict kw;
    if (truth(keywords)) {
        nb::object items = check(PyMapping_Items(keywords.ptr()));
        for (nb::handle pair : items)
            kw[pair[0]] = tclobj_word(pair[1]);
    }
    set_attr(self, KX_ID(keywords), kw);
    set_attr(self, KX_ID(cast), cast);
    set_attr(self, KX_ID(logger), logger);
}

void createcommand(nb::handle self, nb::handle func) {
    bridge::create_command(bind::tk_of_owner(self), cmd_name_of(self), func);
}

// "::info commands|procs" with the name as a pattern that matches only itself.
bool listed(nb::handle self, PyObject *what) {
    nb::object pattern = literal_pattern(cmd_name_of(self));
    return nonempty(send(self, words({KX_STR("::info"), what, pattern.ptr()})));
}

bool exists(nb::handle self) { return listed(self, KX_STR("commands")); }
bool is_proc(nb::handle self) { return listed(self, KX_STR("procs")); }

nb::object is_command(nb::handle self) {
    nb::object exists = call_method(self, KX_ID(exists));
    if (!truth(exists))
        return exists;
    return nb::bool_(!truth(call_method(self, KX_ID(is_proc))));
}

void rename(nb::handle self, nb::handle new_name) {
    nb::object name = zelph(new_name);
    send(self, words({KX_STR("::rename"), cmd_name_of(self).ptr(), name.ptr()}));
    set_attr(self, KX_ID(cmd_name), name);
}

void remove(nb::handle self) {
    send(self, words({KX_STR("::rename"), cmd_name_of(self).ptr(), KX_STR("")}));
}

nb::object origin(nb::handle self) { return ask(self, KX_STR("::namespace"), KX_STR("origin")); }
nb::object proc_body(nb::handle self) { return ask(self, KX_STR("::info"), KX_STR("body")); }

nb::object proc_args(nb::handle self) {
    return cast_by(self, KX_ID(cast_list), ask(self, KX_STR("::info"), KX_STR("args")));
}

// "::info default" stores the default in a temporary variable, which is
// removed again whatever happens.
nb::object proc_arg_default(nb::handle self, nb::handle arg_name) {
    nb::object tmp = method_kw(nb::handle(classes().temp_var), KX_ID(__call__), {}, {{KX_ID(tcl), attr(self, KX_ID(tcl)).ptr()}});
    nb::object var = call_method(tmp, KX_ID(__enter__));
    nb::object value;
    try {
        nb::object r = send(self, words({KX_STR("::info"), KX_STR("default"), cmd_name_of(self).ptr(),
                                         zelph(arg_name).ptr(), var.ptr()}));
        if (truth(cast_by(self, KX_ID(cast_boolean), r)))
            value = call_method(var, KX_ID(get));
        else
            value = nb::none();
    } catch (nb::python_error &e) {
        nb::object exc = nb::borrow(e.value());
        nb::object type = nb::borrow((PyObject *)Py_TYPE(exc.ptr()));
        PyObject *traceback = PyException_GetTraceback(exc.ptr());
        nb::object tb = traceback ? nb::steal(traceback) : nb::none();
        if (truth(call_method(tmp, KX_ID(__exit__), {type.ptr(), exc.ptr(), tb.ptr()})))
            return nb::none();
        throw;
    }
    call_method(tmp, KX_ID(__exit__), {Py_None, Py_None, Py_None});
    return value;
}

// Whether the class of `self` still has the method `name` as defined here.
bool own(nb::handle self, PyObject *name, PyObject *defined) {
    return type_lookup(Py_TYPE(self.ptr()), name) == defined;
}

// The option word builder to use: NULL for ours, else self.kwargs_to_dashed_args.
nb::object dashed_override(nb::handle self) {
    if (own(self, KX_ID(kwargs_to_dashed_args), classes().own_dashed))
        return nb::object();
    return check(PyObject_GetAttr(self.ptr(), KX_ID(kwargs_to_dashed_args)));
}

nb::object build_tclcmd(nb::handle self, nb::handle args, PyObject *kwargs) {
    nb::object dashed = dashed_override(self);
    return build_words(cmd_name_of(self), attr(self, KX_ID(args)), attr(self, KX_ID(keywords)), args, kwargs,
                       dashed.ptr());
}

// self.name(*args, **kw) with the arguments as vectorcall passed them.
nb::object forward(PyObject *self, PyObject *name, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    Py_ssize_t total = nargs + (kwnames ? PyTuple_GET_SIZE(kwnames) : 0);
    std::vector<PyObject *> stack(1 + total);
    stack[0] = self;
    std::copy(args, args + total, stack.begin() + 1);
    return check(PyObject_VectorcallMethod(name, stack.data(), (size_t)(nargs + 1), kwnames));
}

nb::object cast_result(nb::handle self, nb::object result) {
    nb::object cast = attr(self, KX_ID(cast));
    if (truth(cast))
        return kx::call(cast, {result.ptr()});
    return result;
}

// The instance attributes the call path reads: straight from the instance
// dict for a pristine instance, otherwise by the generic lookup (a subclass
// may define properties).
//
// For a pristine instance the six fields a call reads are taken at once from
// the instance dict while it is unchanged since the last call (held here:
// the call may run Python code that changes the dict).
AttrCache<6> g_call_fields;

class Fields {
public:
    Fields(PyObject *self, bool plain) : self_(self) {
        if (!plain)
            return;
        static const AttrCache<6>::Names names = {KX_ID(cmd_name), KX_ID(args), KX_ID(keywords),
                                                  KX_ID(logger), KX_ID(tcl), KX_ID(cast)};
        PyObject *found[6];
        if (g_call_fields.get(self, names, found)) {
            for (size_t i = 0; i < 6; ++i) {
                names_[i] = names[i];
                values_[i] = nb::borrow(found[i]);
            }
            return;
        }
        dict_ = check(PyObject_GenericGetDict(self, nullptr));
    }
    nb::object operator[](PyObject *name) const {
        for (size_t i = 0; i < 6; ++i)
            if (names_[i] == name)
                return values_[i];
        if (dict_.is_valid()) {
            if (PyObject *value = PyDict_GetItemWithError(dict_.ptr(), name))
                return nb::borrow(value);
            if (PyErr_Occurred())
                throw nb::python_error();
        }
        return attr(self_, name);  // raises the usual AttributeError when missing
    }

private:
    PyObject *self_;
    nb::object dict_;
    PyObject *names_[6] = {};
    nb::object values_[6];
};

nb::object call(PyObject *self, PyObject *const *args, Py_ssize_t nargsf, PyObject *kwnames) {
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    bool plain = pristine(self);
    Fields f(self, plain);
    nb::object tclcmd;
    if (plain || own(self, KX_ID(build_tclcmd), classes().own_build)) {
        nb::object dashed = plain ? nb::object() : dashed_override(self);
        tclcmd = build_words(f[KX_ID(cmd_name)], f[KX_ID(args)], f[KX_ID(keywords)], args, nargs, kwnames,
                             dashed.ptr());
    } else {
        tclcmd = forward(self, KX_ID(build_tclcmd), args, nargs, kwnames);
    }
    nb::object logger = f[KX_ID(logger)];
    if (truth(logger)) {
        nb::object text = check(PyUnicode_Concat(KX_STR("Calling: "), zelph(tclcmd).ptr()));
        call_method(logger, KX_ID(info), {text.ptr()});
    }
    bind::Target tk = bind::target_of(bind::referent(f[KX_ID(tcl)]));
    nb::object result = bind::call_words(tk.tk, tclcmd, tk.registry);
    nb::object cast = f[KX_ID(cast)];
    if (truth(cast))
        return kx::call(cast, {result.ptr()});
    return result;
}

nb::object dunder_call(PyObject *self, PyObject *const *args, Py_ssize_t nargsf, PyObject *kwnames) {
    if (pristine(self) || own(self, KX_ID(call), classes().own_call))
        return call(self, args, nargsf, kwnames);
    return forward(self, KX_ID(call), args, PyVectorcall_NARGS(nargsf), kwnames);
}

PyObject *tp_call(PyObject *self, PyObject *args, PyObject *kwargs) {
    return c_entry([&]() -> nb::object {
        Py_ssize_t nargs = PyTuple_GET_SIZE(args);
        if (!kwargs || PyDict_GET_SIZE(kwargs) == 0)
            return dunder_call(self, &PyTuple_GET_ITEM(args, 0), nargs, nullptr);
        nb::object held = check(PyDict_Copy(kwargs));  // keeps keys and values alive
        std::vector<PyObject *> stack(&PyTuple_GET_ITEM(args, 0), &PyTuple_GET_ITEM(args, 0) + nargs);
        nb::object kwnames = check(PyTuple_New(PyDict_GET_SIZE(held.ptr())));
        PyObject *key, *value;
        Py_ssize_t pos = 0, k = 0;
        while (PyDict_Next(held.ptr(), &pos, &key, &value)) {
            PyTuple_SET_ITEM(kwnames.ptr(), k++, nb::borrow(key).release().ptr());
            stack.push_back(value);
        }
        return dunder_call(self, stack.data(), nargs, kwnames.ptr());
    });
}

nb::object eval(nb::handle self, nb::handle args, PyObject *kwargs) {
    nb::object build = check(PyObject_GetAttr(self.ptr(), KX_ID(build_tclcmd)));
    nb::object tclcmd = check(PyObject_Call(build.ptr(), args.ptr(), kwargs));
    return cast_result(self, bind::tk(bind::tk_of_owner(self), KX_ID(eval), {zelph(tclcmd).ptr()}));
}

nb::object absolute(nb::handle self) {
    nb::object name = cmd_name_of(self);
    if (PyUnicode_Check(name.ptr()) && names::is_absolute(name))
        return name;
    return names::join2(send(self, words({KX_STR("namespace"), KX_STR("current")})), name);
}

void make_absolute(nb::handle self) { set_attr(self, KX_ID(cmd_name), call_method(self, KX_ID(absolute))); }

nb::object repr(nb::handle self) {
    nb::object cls = check(PyObject_GetAttr(self.ptr(), KX_ID(__class__)));
    nb::object text = check(PyUnicode_FromFormat("%S(%R", check(PyObject_GetAttr(cls.ptr(), KX_ID(__name__))).ptr(),
                                                 cmd_name_of(self).ptr()));
    const std::pair<PyObject *, const char *> shown[] = {
        {KX_ID(args), ", args=%R"}, {KX_ID(keywords), ", keywords=%R"}, {KX_ID(cast), ", cast=%R"}};
    for (const auto &[name, label] : shown) {
        nb::object value = attr(self, name);
        if (truth(value))
            text = check(PyUnicode_Concat(text.ptr(), check(PyUnicode_FromFormat(label, value.ptr())).ptr()));
    }
    return check(PyUnicode_Concat(text.ptr(), KX_STR(")")));
}

nb::object str(nb::handle self) { return zelph(call_method(self, KX_ID(build_tclcmd))); }
nb::object tclobj_hook(nb::handle self) { return call_method(self, KX_ID(build_tclcmd)); }

nb::object get(nb::handle self, nb::handle instance) {
    if (instance.is_none())
        return nb::borrow(self);
    return check(PyMethod_New(self.ptr(), instance.ptr()));
}

}  // namespace command
}  // namespace kx
