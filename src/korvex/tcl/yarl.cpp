// korvex.tcl.yarl: Quick command syntax: Tcl commands called as Python attributes.
//
//     interp.yarl.set('a', 5)                     ->  set a 5
//     interp.yarl.ns_a.ns_b.proc('x', opt='v')    ->  ns_a::ns_b::proc x -opt v
//
// Yarl is a plain Python class (state in the instance __dict__), built here
// with C++ bodies. Yarl_Code is a class whose instances keep `tcl` and `cmd`
// in C fields until something asks for their __dict__ (see fieldclass.hpp),
// and are called through vectorcall: a quick call creates, calls and drops
// one, so that costs no instance dict and no argument tuple. Every quick
// call goes through their attribute lookup and Yarl_Code.__call__, so those
// take the short way:
//   - the classes' tp_getattro finds real attributes as object.__getattribute__
//     does, but reaches __getattr__ without raising and clearing an
//     AttributeError first (the slot Python would install does that on 3.11);
//   - Yarl.__getattr__ builds the Yarl_Code directly when the class, its
//     __new__ and its __init__ are still ours;
//   - __call__ is a raw fast-call method; it converts the words with the zelph
//     core and calls History.append and tk.call by vectorcall.
// Replacing __getattr__ or __call__ on a class (or in a subclass) brings back
// Python's own slots, so overrides behave as they would in Python.
#include "support/python/module.hpp"
#include "support/python/attrcache.hpp"
#include "support/bridge/bridge.hpp"
#include "support/python/classdef.hpp"
#include "support/python/fieldclass.hpp"
#include "support/bridge/historyapi.hpp"
#include "support/handles/tclbind.hpp"
#include "support/tcl/tclconvert.hpp"
#include "support/tcl/tkvalue.hpp"

#include <utility>
#include <vector>

using namespace nb::literals;

namespace kx {
namespace {

// Module-lifetime references, taken once at import.
PyObject *g_module_dict;    // this module's globals (Yarl_Code is read at call time)
PyObject *g_tcl_error;      // tkinter.TclError
PyTypeObject *g_code_type;  // Yarl_Code
PyObject *g_code_init;      // Yarl_Code.__init__ as defined here
PyObject *g_object_getattribute;  // object.__getattribute__

// interp.name. For a class that only adds a __getattr__ hook (Interpreter
// has tkinter.Tk's), object.__getattribute__ is tried directly and the hook
// only on a miss: what Python does, without its slot's detours.
nb::object interp_attr(nb::handle interp, PyObject *name) {
    PyTypeObject *type = Py_TYPE(interp.ptr());
    if (type->tp_getattro != PyObject_GenericGetAttr &&
        type_lookup(type, KX_ID(__getattribute__)) == g_object_getattribute) {
        PyObject *found = PyObject_GenericGetAttr(interp.ptr(), name);
        if (found)
            return nb::steal(found);
        if (!PyErr_ExceptionMatches(PyExc_AttributeError))
            throw nb::python_error();
        PyErr_Clear();
    }
    return check(PyObject_GetAttr(interp.ptr(), name));
}

// history, tk and bridge registry of the interpreter that ran the latest
// quick call.
AttrCache<3> g_interp_attrs;
const AttrCache<3>::Names &interp_attr_names() {
    static const AttrCache<3>::Names names = {KX_ID(history), KX_ID(tk), KX_ID(_korvex_bridge)};
    return names;
}

// interp.history
nb::object interp_history(nb::handle interp) {
    PyObject *found[3];
    if (g_interp_attrs.get(interp.ptr(), interp_attr_names(), found))
        return nb::borrow(found[0]);
    return interp_attr(interp, KX_ID(history));
}

// interp.tk, and the bridge registry (an invalid object unless it is at hand
// in the instance dict).
std::pair<nb::object, nb::object> interp_tk(nb::handle interp) {
    PyObject *found[3];
    if (g_interp_attrs.get(interp.ptr(), interp_attr_names(), found))
        return {nb::borrow(found[1]), nb::borrow(found[2])};
    return {interp_attr(interp, KX_ID(tk)), nb::object()};
}

// The name last found missing from an instance dict, while that dict is
// unchanged (its version tag moves with every write). Not from 3.12 on: an
// object whose dict shares the object's inline values can gain an attribute
// without the dict's tag moving.
class MissCache {
public:
    bool knows(PyObject *dict, PyObject *name) const {
#if PY_VERSION_HEX < 0x030C0000
        uint64_t v = dict_version(dict);
        return v != 0 && dict == dict_ && v == version_ && name == name_;
#else
        (void)dict, (void)name;
        return false;
#endif
    }
    void remember(PyObject *dict, PyObject *name) {
        dict_ = dict;
        version_ = dict_version(dict);
        PyObject *old = name_;
        name_ = Py_NewRef(name);  // (held: no other str can take its address)
        Py_XDECREF(old);
    }

private:
    PyObject *dict_ = nullptr;  // only compared, never dereferenced
    uint64_t version_ = 0;
    PyObject *name_ = nullptr;  // kept for the process once set
};
MissCache g_no_own_method;

TypeAttrCache g_interp_method, g_interp_getattribute;

// interp.name(arg) for a method of the interpreter's class, bound as Python
// binds it but without making a bound method (the __getattr__ hook of
// tkinter.Tk keeps Python from taking that short way itself).

nb::object interp_method(nb::handle interp, PyObject *name, PyObject *arg) {
    PyTypeObject *type = Py_TYPE(interp.ptr());
    PyObject *descr = g_interp_method.lookup(type, name);
    if (descr && PyType_HasFeature(Py_TYPE(descr), Py_TPFLAGS_METHOD_DESCRIPTOR) &&
        g_interp_getattribute.lookup(type, KX_ID(__getattribute__)) == g_object_getattribute) {
        PyObject *dict = instance_dict(interp.ptr());
        if (!dict || !g_no_own_method.knows(dict, name)) {
            PyObject *own = dict ? PyDict_GetItemWithError(dict, name) : nullptr;
            if (own)
                return call_method(interp, name, {arg});
            if (PyErr_Occurred())
                throw nb::python_error();
            if (dict)
                g_no_own_method.remember(dict, name);
        }
        nb::object method = nb::borrow(descr);
        // A C method of the class: its function directly (what its
        // descriptor's vectorcall does after these same checks).
        if (Py_IS_TYPE(descr, &PyMethodDescr_Type)) {
            PyMethodDescrObject *m = (PyMethodDescrObject *)descr;
            if (m->d_method->ml_flags == (METH_FASTCALL | METH_KEYWORDS) &&
                PyObject_TypeCheck(interp.ptr(), m->d_common.d_type)) {
                PyObject *stack[1] = {arg};
                auto fn = (PyObject * (*)(PyObject *, PyObject *const *, Py_ssize_t, PyObject *))(
                    void (*)(void))m->d_method->ml_meth;
                return check(fn(interp.ptr(), stack, 1, nullptr));
            }
        }
        PyObject *stack[2] = {interp.ptr(), arg};
        return check(PyObject_Vectorcall(method.ptr(), stack, 2, nullptr));
    }
    return call_method(interp, name, {arg});
}

TypeAttrCache g_tk_call;

// _tkinter's C function behind tk.call, while the application object's class
// has it as its own method (it takes the tuple of words as its argument
// tuple, the one Python would build); null otherwise.
PyCFunction tk_call_function(nb::handle tk) {
    PyObject *descr = g_tk_call.lookup(Py_TYPE(tk.ptr()), KX_ID(call));
    if (descr && Py_IS_TYPE(descr, &PyMethodDescr_Type)) {
        PyMethodDescrObject *m = (PyMethodDescrObject *)descr;
        if (m->d_method->ml_flags == METH_VARARGS && PyObject_TypeCheck(tk.ptr(), m->d_common.d_type))
            return m->d_method->ml_meth;
    }
    return nullptr;
}

// tk.call(*words) for the tuple `words`, through `fn` when it is
// tk_call_function(tk). NULL with the error set.
PyObject *tk_call(PyCFunction fn, nb::handle tk, nb::handle words) {
    if (fn)
        return fn(tk.ptr(), words.ptr());
    PyObject *method = PyObject_GetAttr(tk.ptr(), KX_ID(call));
    if (!method)
        return nullptr;
    PyObject *result = PyObject_Call(method, words.ptr(), nullptr);
    Py_DECREF(method);
    return result;
}

// Python's special names (__x__) never become parts of a command name: they
// are protocol probes (copy, pickle, inspect.unwrap, mocks ask for
// __setstate__, __wrapped__, ...), and answering them would both lie and
// extend a kept Yarl_Code behind the caller's back.
void reject_special(nb::handle self, nb::handle name) {
    if (!PyUnicode_Check(name.ptr()))
        return;
    Py_ssize_t n = PyUnicode_GET_LENGTH(name.ptr());
    if (n > 4 && PyUnicode_READ_CHAR(name.ptr(), 0) == '_' && PyUnicode_READ_CHAR(name.ptr(), 1) == '_' &&
        PyUnicode_READ_CHAR(name.ptr(), n - 1) == '_' && PyUnicode_READ_CHAR(name.ptr(), n - 2) == '_') {
        PyErr_Format(PyExc_AttributeError, "'%.50s' object has no attribute '%U'",
                     Py_TYPE(self.ptr())->tp_name, name.ptr());
        throw nb::python_error();
    }
}

// The command name last found missing from a Yarl's instance dict.
MissCache g_yarl_miss;

// object.__getattribute__ of a Yarl: for a name its class does not have
// (a command name), the instance dict alone decides.
PyObject *yarl_getattribute(PyObject *self, PyObject *name, bool suppress) {
    if (PyUnicode_CheckExact(name) && !type_lookup(Py_TYPE(self), name)) {
        PyObject *dict = instance_dict(self);
        if (dict && g_yarl_miss.knows(dict, name)) {
            if (suppress)
                return nullptr;
        } else {
            PyObject *found = dict ? PyDict_GetItemWithError(dict, name) : nullptr;
            if (found)
                return Py_NewRef(found);
            if (PyErr_Occurred())
                return nullptr;
            if (dict)
                g_yarl_miss.remember(dict, name);
            if (suppress)
                return nullptr;
        }
    }
    return generic_getattribute(self, name, suppress);
}

// self.name of a Yarl_Code as object.__getattribute__ finds it (no __getattr__).
nb::object own(nb::handle self, PyObject *name) {
    return check(field_getattribute(self.ptr(), name, false));
}

// tp_getattro of both classes: object.__getattribute__ (Lookup), then Missing
// (the class's __getattr__ body) for names it does not find.
template <PyObject *(*Lookup)(PyObject *, PyObject *, bool), nb::object (*Missing)(nb::handle, nb::handle)>
PyObject *getattro(PyObject *self, PyObject *name) {
    PyObject *found = Lookup(self, name, true);
    if (found || PyErr_Occurred())
        return found;
    try {
        return Missing(self, name).release().ptr();
    } catch (nb::python_error &e) {
        e.restore();
    } catch (const std::bad_alloc &) {
        PyErr_NoMemory();
    }
    return nullptr;
}

// --- Yarl -----------------------------------------------------------------

void yarl_init(nb::handle self, nb::handle tcl) {
    // An interpreter already held through a weak proxy keeps that proxy.
    nb::object proxy = PyWeakref_CheckProxy(tcl.ptr()) ? nb::borrow(tcl)
                                                        : check(PyWeakref_NewProxy(tcl.ptr(), nullptr));
    set_attr(self, KX_ID(tcl), proxy);
}

// Yarl_Code(name, tcl=tcl)
nb::object new_code(nb::handle name, nb::handle tcl) {
    // The module's Yarl_Code, read again only when the module's globals changed.
    static uint64_t seen_version = 0;
    static PyObject *seen_cls = nullptr;
    uint64_t version = dict_version(g_module_dict);
    PyObject *cls = version != 0 && version == seen_version ? seen_cls : nullptr;
    if (!cls) {
        cls = PyDict_GetItemWithError(g_module_dict, KX_ID(Yarl_Code));
        if (!cls) {
            if (!PyErr_Occurred())
                PyErr_SetString(PyExc_NameError, "name 'Yarl_Code' is not defined");
            throw nb::python_error();
        }
        seen_version = version;
        seen_cls = cls;
    }
    static TypeAttrCache init;
    if (cls == (PyObject *)g_code_type && g_code_type->tp_new == field_tp_new &&
        init.lookup(g_code_type, KX_ID(__init__)) == g_code_init) {
        return field_new_instance_single(g_code_type, tcl, name);
    }
    nb::object kwnames = nb::make_tuple("tcl");
    PyObject *args[3] = {nullptr, name.ptr(), tcl.ptr()};
    return check(PyObject_Vectorcall(cls, args + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames.ptr()));
}

// tcl of the Yarl object used last (an interpreter's own, on every call).
AttrCache<1> g_yarl_tcl;

nb::object yarl_getattr(nb::handle self, nb::handle name) {
    reject_special(self, name);
    static const AttrCache<1>::Names names = {KX_ID(tcl)};
    PyObject *tcl;
    if (g_yarl_tcl.get(self.ptr(), names, &tcl))
        return new_code(name, nb::borrow(tcl));  // held: a Yarl_Code subclass runs user code
    return new_code(name, attr(self, KX_ID(tcl)));
}

nb::object yarl_call(PyObject *, PyObject *const *, Py_ssize_t, PyObject *) {
    PyErr_SetString(g_tcl_error, "invalid command name \"\"");
    throw nb::python_error();
}

// --- Yarl_Code --------------------------------------------------------------

nb::object code_init(PyObject *self, PyObject *const *args, Py_ssize_t nargsf, PyObject *kwnames) {
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    PyObject *tcl = nullptr;
    for (Py_ssize_t k = 0, n = kwnames ? PyTuple_GET_SIZE(kwnames) : 0; k < n; ++k) {
        PyObject *key = PyTuple_GET_ITEM(kwnames, k);
        if (key != KX_ID(tcl) && PyUnicode_CompareWithASCIIString(key, "tcl") != 0) {
            PyErr_Format(PyExc_TypeError, "Yarl_Code.__init__() got an unexpected keyword argument '%U'", key);
            throw nb::python_error();
        }
        tcl = args[nargs + k];
    }
    if (!tcl) {
        PyErr_SetString(PyExc_TypeError, "Yarl_Code.__init__() missing 1 required keyword-only argument: 'tcl'");
        throw nb::python_error();
    }
    set_attr(self, KX_ID(tcl), tcl);
    nb::object cmd = check(PyList_New(nargs));
    for (Py_ssize_t i = 0; i < nargs; ++i)
        PyList_SET_ITEM(cmd.ptr(), i, nb::borrow(args[i]).release().ptr());
    set_attr(self, KX_ID(cmd), cmd);
    return nb::none();
}

nb::object code_getattr(nb::handle self, nb::handle name) {
    reject_special(self, name);
    nb::object cmd = own(self, KX_ID(cmd));
    if (PyList_CheckExact(cmd.ptr())) {
        if (PyList_Append(cmd.ptr(), name.ptr()) != 0)
            throw nb::python_error();
    } else {
        call_method(cmd, KX_ID(append), {name.ptr()});
    }
    return nb::borrow(self);
}

// A vectorcall stack holding its own references, with one free slot in
// front (for `self` of a method call). Arguments may come from a list or
// dict that user code (a __zelph__ hook, a history) can change meanwhile.
class ArgStack {
public:
    explicit ArgStack(size_t capacity) {
        if (capacity >= kSmall) {
            big_.resize(capacity + 1);
            stack_ = big_.data();
        }
    }
    ~ArgStack() {
        for (size_t i = 1; i <= n_; ++i)
            Py_DECREF(stack_[i]);
    }
    ArgStack(const ArgStack &) = delete;
    ArgStack &operator=(const ArgStack &) = delete;

    void push(PyObject *borrowed) { stack_[++n_] = Py_NewRef(borrowed); }
    PyObject *const *args() const { return stack_ + 1; }
    size_t size() const { return n_; }

    // obj.name(*args); NULL with the error set when the method raised.
    PyObject *call_method(nb::handle obj, PyObject *name) {
        stack_[0] = obj.ptr();
        return PyObject_VectorcallMethod(name, stack_, (n_ + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
    }

private:
    static constexpr size_t kSmall = 16;
    size_t n_ = 0;
    PyObject *small_[kSmall];
    std::vector<PyObject *> big_;
    PyObject **stack_ = small_;
};

// The text of a result when no cast is asked for. A Tcl list arrives as a
// tuple: its text is the Tcl list, not the Python repr of the tuple.
nb::object result_text(nb::handle result) {
    if (PyUnicode_CheckExact(result.ptr()))
        return nb::borrow(result);
    if (PyTuple_Check(result.ptr()))
        return zelph_from_sequence(result);
    return check(PyObject_Str(result.ptr()));
}

// zelph(value) as a word for _tkinter: a __zelph__ hook may return anything,
// and _tkinter does not check the items of a tuple it converts.
nb::object word(nb::handle value) {
    if (PyUnicode_CheckExact(value.ptr()))
        return nb::borrow(value);  // zelph's answer for a str
    nb::object w = zelph(value);
    return PyUnicode_CheckExact(w.ptr()) ? w : tcl_safe(w);
}

// The words as the history records them: each as the text Tcl gets (a
// __zelph__ hook may have made a word a tuple, that is a Tcl list).
nb::object sent_words(nb::handle words) {
    Py_ssize_t n = PyTuple_GET_SIZE(words.ptr());
    Py_ssize_t i = 0;
    while (i < n && PyUnicode_CheckExact(PyTuple_GET_ITEM(words.ptr(), i)))
        ++i;
    if (i == n)
        return nb::borrow(words);
    nb::object out = check(PyTuple_New(n));
    for (i = 0; i < n; ++i)
        PyTuple_SET_ITEM(out.ptr(), i, tk_text(PyTuple_GET_ITEM(words.ptr(), i)).release().ptr());
    return out;
}

// The words in the form _tkinter hands them to Tcl whole (text holding U+0000
// is mapped; see tk_value), the first one replaced by `first` when that is
// valid (the command name as a word of the interpreter's, see
// bridge::Entry::command_word). The tuple itself when no word needs it.
nb::object tk_words(nb::handle words, nb::handle first) {
    Py_ssize_t n = PyTuple_GET_SIZE(words.ptr());
    nb::object out;
    if (first.is_valid()) {
        out = check(PyTuple_New(n));
        PyTuple_SET_ITEM(out.ptr(), 0, nb::borrow(first).release().ptr());
    }
    for (Py_ssize_t i = out.is_valid() ? 1 : 0; i < n; ++i) {
        PyObject *w = PyTuple_GET_ITEM(words.ptr(), i);
        nb::object v = tk_value(w);
        if (v.ptr() != w && !out.is_valid()) {
            out = check(PyTuple_New(n));
            for (Py_ssize_t j = 0; j < i; ++j)
                PyTuple_SET_ITEM(out.ptr(), j, nb::borrow(PyTuple_GET_ITEM(words.ptr(), j)).release().ptr());
        }
        if (out.is_valid())
            PyTuple_SET_ITEM(out.ptr(), i, v.release().ptr());
    }
    return out.is_valid() ? out : nb::borrow(words);
}

nb::object code_call(PyObject *self, PyObject *const *args, Py_ssize_t nargsf, PyObject *kwnames) {
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    PyObject *cast = Py_True;
    Py_ssize_t cast_at = -1;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject *key = PyTuple_GET_ITEM(kwnames, k);  // (most often the interned name itself)
        if (key == KX_ID(cast_) || PyUnicode_CompareWithASCIIString(key, "cast_") == 0) {
            cast = args[nargs + k];
            cast_at = k;
        }
    }

    // The words: the command name, the positional arguments, then the
    // keyword arguments as -name value, in the order the caller wrote them.
    // A tuple: _tkinter takes it as the argument tuple of tk.call, and the
    // history entry keeps it (so it does not count toward the collector's
    // threshold).
    nb::object words = check(tuple_new_uncounted(1 + nargs + 2 * (nkw - (cast_at >= 0))));
    // A single name part (most often one not even made into a list yet) is
    // the name itself; "::".join(cmd) otherwise.
    PyObject *first = field_single_item(self);
    nb::object parts;
    if (!first) {
        parts = own(self, KX_ID(cmd));
        if (PyList_CheckExact(parts.ptr()) && PyList_GET_SIZE(parts.ptr()) == 1)
            first = PyList_GET_ITEM(parts.ptr(), 0);
    }
    if (first && PyUnicode_CheckExact(first)) {
        PyTuple_SET_ITEM(words.ptr(), 0, Py_NewRef(first));
    } else {
        if (!parts.is_valid())
            parts = own(self, KX_ID(cmd));
        PyTuple_SET_ITEM(words.ptr(), 0, check(PyUnicode_Join(KX_STR("::"), parts.ptr())).release().ptr());
    }
    Py_ssize_t w = 1;
    for (Py_ssize_t i = 0; i < nargs; ++i)
        PyTuple_SET_ITEM(words.ptr(), w++, word(args[i]).release().ptr());
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        if (k == cast_at)
            continue;
        PyObject *option = check(PyUnicode_Concat(KX_STR("-"), PyTuple_GET_ITEM(kwnames, k))).release().ptr();
        PyTuple_SET_ITEM(words.ptr(), w++, option);
        PyTuple_SET_ITEM(words.ptr(), w++, word(args[nargs + k]).release().ptr());
    }
    track_unless_text(words.ptr());

    nb::object interp = bind::referent(own(self, KX_ID(tcl)));
    record_words(interp_history(interp), sent_words(words));

    auto [tk, registry] = interp_tk(interp);
    bridge::Entry entry(tk, registry);  // (the registry finds the state at once)
    entry.check();
    // Through _tkinter's own call, the command name goes as the word the
    // interpreter keeps for it.
    PyCFunction call_fn = tk_call_function(tk);
    nb::object name_word = call_fn ? entry.command_word(PyTuple_GET_ITEM(words.ptr(), 0)) : nb::object();
    nb::object tk_args = tk_words(words, name_word);
    PyObject *result = from_tk_steal(bind::frameless_frame_query(tk, words) ? bind::eval_as_script(tk, words)
                                                                             : tk_call(call_fn, tk, tk_args));
    if (!result) {
        // (The details were taken when Tcl failed: reading them cannot fail.)
        nb::object caught = bridge::caught(tk);
        nb::object text = check(PyObject_GetAttr(caught.ptr(), KX_ID(errorinfo)));
        bridge::raise_replacing(g_tcl_error, text, caught);
    }
    nb::object value = nb::steal(result);
    entry.check();
    entry.done();
    if (truth(cast))
        return interp_method(interp, KX_ID(cast_any), value.ptr());
    return result_text(value);
}

// tp_call of Yarl_Code: calls the __call__ body above without looking it up
// and re-packing the arguments (Python's slot for a class's __call__ would).
PyObject *code_tp_call(PyObject *self, PyObject *args, PyObject *kwargs) {
    Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    if (!kwargs || PyDict_GET_SIZE(kwargs) == 0)
        return fast_entry<code_call>(self, &PyTuple_GET_ITEM(args, 0), nargs, nullptr);
    try {
        // Own references: the dict may be the caller's, and zelph runs user hooks.
        Py_ssize_t nkw = PyDict_GET_SIZE(kwargs);
        ArgStack stack((size_t)(nargs + nkw));
        for (Py_ssize_t i = 0; i < nargs; ++i)
            stack.push(PyTuple_GET_ITEM(args, i));
        nb::object kwnames = check(PyTuple_New(nkw));
        PyObject *key, *value;
        Py_ssize_t pos = 0, k = 0;
        while (k < nkw && PyDict_Next(kwargs, &pos, &key, &value)) {
            PyTuple_SET_ITEM(kwnames.ptr(), k++, nb::borrow(key).release().ptr());
            stack.push(value);
        }
        return fast_entry<code_call>(self, stack.args(), nargs, kwnames.ptr());
    } catch (nb::python_error &e) {
        e.restore();
    } catch (const std::bad_alloc &) {
        PyErr_NoMemory();
    }
    return nullptr;
}

// The vectorcall entry of Yarl_Code instances: the __call__ body directly,
// or the class's tp_call once __call__ was replaced (Python keeps the
// vectorcall flag of a class whose __call__ is assigned before 3.12).
PyObject *code_vectorcall(PyObject *self, PyObject *const *args, size_t nargsf, PyObject *kwnames) {
    if (Py_TYPE(self)->tp_call != code_tp_call)
        return call_through_tp_call(self, args, nargsf, kwnames);
    return fast_entry<code_call>(self, args, (Py_ssize_t)nargsf, kwnames);
}

nb::object code_str(nb::handle self) {
    nb::object name = check(PyUnicode_Join(KX_STR("::"), own(self, KX_ID(cmd)).ptr()));
    return check(PyUnicode_FromFormat("<tcl.Yarl magic, referring Tcl code ::%U>", name.ptr()));
}

nb::object code_repr(nb::handle self) {
    return call_method(self, KX_ID(__str__));
}

}  // namespace
}  // namespace kx

KX_MODULE(yarl, m) {
    using namespace kx;
    m.doc() = "Quick command syntax: Tcl commands called as Python attributes.";
    g_module_dict = keep(nb::handle(PyModule_GetDict(m.ptr())));
    // `weakref` (proxies are made with the C API; the module is published lazily)
    m.def("__getattr__", [m](nb::handle name) { return lazy_module_attr(m, name, "weakref", "weakref"); });
    g_tcl_error = keep(import_attr("tkinter", "TclError"));
    m.attr("TclError") = nb::handle(g_tcl_error);
    std::string package = PyUnicode_AsUTF8(nb::str(m.attr("__name__")).ptr());
    package = package.substr(0, package.rfind('.'));
    m.attr("zelph") = import_attr((package + ".zelph").c_str(), "zelph");
    g_object_getattribute = keep(nb::handle(type_lookup(&PyBaseObject_Type, KX_ID(__getattribute__))));

    ClassDef y(m, "Yarl", {},
               "Quick command syntax: Tcl commands and procedures called as attributes::\n\n"
               "    interp.yarl.set('myVar', 'value')         ->  set myVar value\n"
               "    interp.yarl.ns_a.ns_b.procname('x', opt='v')\n"
               "                                   ->  ns_a::ns_b::procname x -opt v\n\n"
               "- positional arguments keep their order;\n"
               "- keyword arguments become dashed options, placed after all\n"
               "  positional arguments;\n"
               "- namespace and procedure names are limited to what a Python\n"
               "  attribute name can hold (letters, digits and underscores);\n"
               "- the keyword ``cast_`` (default True) switches the result cast on or off.\n\n"
               "Each call is recorded in the interpreter's history. The interpreter is\n"
               "held through a weak proxy.");
    y.def("__init__", &yarl_init, "tcl"_a.none())
        .def("__getattr__", &yarl_getattr, "name"_a.none(),
             "A new Yarl_Code for the command or namespace `name`.")
        .def_fast(fast_method<yarl_call>("__call__", "__call__($self, /, *args, **kwargs)\n--\n\n"
                                                     "Always TclError: the object itself names no command."));
    nb::object yarl = y.finish();

    ClassDef c(m, "Yarl_Code", {}, "A worker class that implements the Yarl logic.");
    c.def_fast(fast_method<code_init>("__init__", "__init__($self, /, *cmd, tcl)\n--\n\n"
                                                  "Start a command name from the parts `cmd`."))
        .def("__getattr__", &code_getattr, "name"_a.none(),
             "Append `name` to the command name; return this same object.")
        .def_fast(fast_method<code_call>(
            "__call__", "__call__($self, /, *args, **kwargs)\n--\n\n"
                        "Run the command with `args` and `kwargs` (as -name value options).\n\n"
                        "Returns the result through the interpreter's cast_any, or its text\n"
                        "with ``cast_=False``. A Tcl error raises TclError with the full errorInfo."))
        .def("__str__", &code_str)
        .def("__repr__", &code_repr)
        .set("__signature__", class_signature_descriptor());
    std::string qualified = nb::str(m.attr("__name__")).c_str();
    qualified += ".Yarl_Code";
    nb::object code = c.finish_onto(make_field_class({qualified.c_str(), {"tcl", "cmd"},
                                                      code_tp_call, code_vectorcall}));

    g_code_type = (PyTypeObject *)keep(code);
    g_code_init = keep(nb::handle(type_lookup(g_code_type, KX_ID(__init__))));
    ((PyTypeObject *)yarl.ptr())->tp_getattro = getattro<yarl_getattribute, yarl_getattr>;
    g_code_type->tp_getattro = getattro<field_getattribute, code_getattr>;
    g_code_type->tp_call = code_tp_call;
    g_code_type->tp_flags |= Py_TPFLAGS_HAVE_VECTORCALL;  // assigning __call__ may have cleared it
    PyType_Modified((PyTypeObject *)yarl.ptr());
    PyType_Modified(g_code_type);
}
