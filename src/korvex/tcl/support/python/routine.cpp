#include "support/python/routine.hpp"

#include <structmember.h>

#include <cstring>
#include <string>
#include <vector>

namespace kx {
namespace {

struct Routine {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    PyObject *target;      // the nanobind function called, or NULL
    vectorcallfunc target_call;  // its vectorcall entry
    PyMethodDef *def;      // the fast-call body called, or NULL
    PyTypeObject *owner;   // for a fast body: the class whose instances it takes
    PyObject *name, *qualname;
    PyObject *text_signature;  // NULL until first asked for
    PyObject *dict;            // also holds __module__ and __doc__, as a function's do
    PyObject *weakrefs;
};

PyObject *call_target(PyObject *self, PyObject *const *args, size_t nargsf, PyObject *kwnames) {
    Routine *r = (Routine *)self;
    return r->target_call(r->target, args, nargsf, kwnames);
}

PyObject *call_target_generic(PyObject *self, PyObject *const *args, size_t nargsf, PyObject *kwnames) {
    return PyObject_Vectorcall(((Routine *)self)->target, args, nargsf, kwnames);
}

PyObject *call_fast(PyObject *self, PyObject *const *args, size_t nargsf, PyObject *kwnames) {
    Routine *r = (Routine *)self;
    Py_ssize_t n = PyVectorcall_NARGS(nargsf);
    if (n < 1) {
        PyErr_Format(PyExc_TypeError, "%U() missing required argument 'self' (pos 1)", r->name);
        return nullptr;
    }
    if (r->owner && !PyObject_TypeCheck(args[0], r->owner)) {
        PyErr_Format(PyExc_TypeError, "%U() requires a '%s' object but received a '%s'",
                     r->qualname, r->owner->tp_name, Py_TYPE(args[0])->tp_name);
        return nullptr;
    }
    using Body = PyObject *(*)(PyObject *, PyObject *const *, Py_ssize_t, PyObject *);
    return ((Body)(void (*)(void))r->def->ml_meth)(args[0], args + 1, n - 1, kwnames);
}

PyObject *rt_get(PyObject *self, PyObject *obj, PyObject *) {
    if (!obj || obj == Py_None) {
        Py_INCREF(self);
        return self;
    }
    return PyMethod_New(self, obj);
}

int rt_traverse(PyObject *self, visitproc visit, void *arg) {
    Routine *r = (Routine *)self;
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(r->target);
    Py_VISIT((PyObject *)r->owner);
    Py_VISIT(r->dict);
    return 0;
}

// The target and owner stay until deallocation: a routine is callable as long
// as it exists (breaking a cycle through the owner's namespace needs only the
// owner cleared).
int rt_clear(PyObject *self) {
    Py_CLEAR(((Routine *)self)->dict);
    return 0;
}

void rt_dealloc(PyObject *self) {
    Routine *r = (Routine *)self;
    PyTypeObject *tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (r->weakrefs)
        PyObject_ClearWeakRefs(self);
    rt_clear(self);
    Py_CLEAR(r->target);
    Py_CLEAR(r->owner);
    Py_CLEAR(r->name);
    Py_CLEAR(r->qualname);
    Py_CLEAR(r->text_signature);
    tp->tp_free(self);
    Py_DECREF(tp);
}

PyObject *rt_repr(PyObject *self) {
    return PyUnicode_FromFormat("<function %U at %p>", ((Routine *)self)->qualname, self);
}

// Pickled by reference, as Python pickles functions.
PyObject *rt_reduce(PyObject *self, PyObject *) {
    Py_INCREF(((Routine *)self)->qualname);
    return ((Routine *)self)->qualname;
}

// "name(sig)\n--\n\ndoc": the "(sig)" part, or NULL.
const char *doc_signature_end(const char *doc, const char *name) {
    size_t len = std::strlen(name);
    if (!doc || std::strncmp(doc, name, len) != 0 || doc[len] != '(')
        return nullptr;
    const char *end = std::strstr(doc, ")\n--\n\n");
    return end ? end + 1 : nullptr;
}

PyObject *fast_text_signature(Routine *r) {
    const char *doc = r->def->ml_doc;
    const char *end = doc_signature_end(doc, r->def->ml_name);
    if (!end)
        Py_RETURN_NONE;
    const char *start = doc + std::strlen(r->def->ml_name);
    return PyUnicode_FromStringAndSize(start, end - start);
}

PyObject *rt_get_text_signature(PyObject *self, void *) {
    Routine *r = (Routine *)self;
    if (!r->text_signature) {
        if (r->def) {
            r->text_signature = fast_text_signature(r);
        } else {
            r->text_signature = c_entry([&] { return nb_text_signature(r->target); });
        }
        if (!r->text_signature)
            return nullptr;
    }
    Py_INCREF(r->text_signature);
    return r->text_signature;
}

// Builds an inspect.Signature from a text signature; defaults written as
// "<text>" become stand-ins whose repr is that text.
const char *const kSignatureMaker = R"(
class Default:
    def __init__(self, text):
        self.text = text
    def __repr__(self):
        return self.text
def make(text):
    import inspect
    parts = text.replace('$self', 'self').split('=<')
    values = {}
    for i in range(1, len(parts)):
        shown, _, rest = parts[i].partition('>')
        values['_d%d' % i] = Default('<' + shown + '>')
        parts[i] = '_d%d' % i + rest
    exec('def f' + '='.join(parts) + ': pass', values)
    return inspect.signature(values['f'])
class CallSignature:
    """The signature inspect shows for instances: that of their __call__."""
    def __get__(self, obj, cls=None):
        if obj is None:
            return None
        import inspect
        return inspect.signature(obj.__call__)
class ClassSignature(CallSignature):
    """Also on the class: that of its __init__ (older inspect finds none for a
    class whose __new__ is a C slot)."""
    def __get__(self, obj, cls=None):
        if obj is not None:
            return CallSignature.__get__(self, obj, cls)
        import inspect
        sig = inspect.signature(cls.__init__)
        return sig.replace(parameters=list(sig.parameters.values())[1:])
)";

// The namespace of kSignatureMaker, run once (kept for the process).
PyObject *make_signature_helpers() {
    nb::dict d;
    nb::object code = check(Py_CompileString(kSignatureMaker, "<korvex.tcl.routine>", Py_file_input));
    d["__builtins__"] = nb::handle(PyEval_GetBuiltins());
    check(PyEval_EvalCode(code.ptr(), d.ptr(), d.ptr()));
    return d.release().ptr();
}

nb::handle signature_helpers() { return KX_ONCE(PyObject *, make_signature_helpers()); }

PyObject *rt_get_signature(PyObject *self, void *) {
    return c_entry([&]() -> nb::object {
        nb::object text = check(rt_get_text_signature(self, nullptr));
        if (!PyUnicode_Check(text.ptr()) ||
            PyUnicode_Find(text.ptr(), KX_STR("=<"), 0, PY_SSIZE_T_MAX, 1) < 0)
            return nb::none();
        return signature_from_text(text);
    });
}

PyObject *rt_get_str(PyObject *value) {
    Py_INCREF(value);
    return value;
}

int rt_set_str(PyObject **slot, PyObject *value, const char *what) {
    if (!value || !PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a string object", what);
        return -1;
    }
    Py_INCREF(value);
    Py_SETREF(*slot, value);
    return 0;
}

PyObject *rt_get_name(PyObject *self, void *) { return rt_get_str(((Routine *)self)->name); }
int rt_set_name(PyObject *self, PyObject *v, void *) {
    return rt_set_str(&((Routine *)self)->name, v, "__name__");
}
PyObject *rt_get_qualname(PyObject *self, void *) { return rt_get_str(((Routine *)self)->qualname); }
int rt_set_qualname(PyObject *self, PyObject *v, void *) {
    return rt_set_str(&((Routine *)self)->qualname, v, "__qualname__");
}

PyMemberDef rt_members[] = {
    {"__dictoffset__", T_PYSSIZET, offsetof(Routine, dict), READONLY, nullptr},
    {"__weaklistoffset__", T_PYSSIZET, offsetof(Routine, weakrefs), READONLY, nullptr},
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(Routine, vectorcall), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr}};

PyGetSetDef rt_getset[] = {
    {"__name__", rt_get_name, rt_set_name, nullptr, nullptr},
    {"__qualname__", rt_get_qualname, rt_set_qualname, nullptr, nullptr},
    {"__text_signature__", rt_get_text_signature, nullptr, nullptr, nullptr},
    {"__signature__", rt_get_signature, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyMethodDef rt_methods[] = {{"__reduce__", rt_reduce, METH_NOARGS, nullptr},
                            {nullptr, nullptr, 0, nullptr}};

PyType_Slot rt_slots[] = {{Py_tp_call, (void *)PyVectorcall_Call},
                          {Py_tp_descr_get, (void *)rt_get},
                          {Py_tp_traverse, (void *)rt_traverse},
                          {Py_tp_clear, (void *)rt_clear},
                          {Py_tp_dealloc, (void *)rt_dealloc},
                          {Py_tp_repr, (void *)rt_repr},
                          {Py_tp_members, rt_members},
                          {Py_tp_getset, rt_getset},
                          {Py_tp_methods, rt_methods},
                          {0, nullptr}};

// Immutable, so that Python's attribute caches specialize on it as on its own
// method descriptors; routines are made only here (an empty one would crash).
PyType_Spec rt_spec = {"korvex.tcl.routine", sizeof(Routine), 0,
                       Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
                           Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_IMMUTABLETYPE |
                           Py_TPFLAGS_DISALLOW_INSTANTIATION,
                       rt_slots};

PyTypeObject *routine_type() {
    return KX_ONCE(PyTypeObject *, (PyTypeObject *)check(PyType_FromSpec(&rt_spec)).release().ptr());
}

nb::object new_routine(nb::handle module, nb::handle name, nb::handle qualname, nb::handle doc) {
    PyTypeObject *tp = routine_type();
    nb::object self = check(tp->tp_alloc(tp, 0));
    Routine *r = (Routine *)self.ptr();
    r->name = nb::borrow(name).release().ptr();
    r->qualname = nb::borrow(qualname).release().ptr();
    r->dict = check(PyDict_New()).release().ptr();
    nb::object modname = check(PyObject_GetAttr(module.ptr(), KX_ID(__name__)));
    if (PyDict_SetItem(r->dict, KX_ID(__module__), modname.ptr()) < 0 ||
        PyDict_SetItem(r->dict, KX_ID(__doc__), doc.ptr()) < 0)
        throw nb::python_error();
    return self;
}

// Splits "a, b: list[int, str] = \0, *args" at its top-level commas.
std::vector<std::string> split_params(const std::string &text) {
    std::vector<std::string> out;
    std::string cur;
    int depth = 0;
    char quote = 0;
    for (char ch : text) {
        if (quote) {
            if (ch == quote)
                quote = 0;
        } else if (ch == '\'' || ch == '"') {
            quote = ch;
        } else if (ch == '(' || ch == '[' || ch == '{') {
            ++depth;
        } else if (ch == ')' || ch == ']' || ch == '}') {
            --depth;
        } else if (ch == ',' && depth == 0) {
            out.push_back(cur);
            cur.clear();
            continue;
        }
        cur += ch;
    }
    if (cur.find_first_not_of(' ') != std::string::npos)
        out.push_back(cur);
    return out;
}

std::string trim(const std::string &s) {
    size_t a = s.find_first_not_of(' '), b = s.find_last_not_of(' ');
    return a == std::string::npos ? std::string() : s.substr(a, b - a + 1);
}

// The text of a default value that inspect can read back: literals as their
// repr, anything else as "...".
std::string default_text(nb::handle value) {
    PyObject *v = value.ptr();
    if (v == Py_None || PyBool_Check(v) || PyLong_CheckExact(v) || PyFloat_CheckExact(v) ||
        PyUnicode_CheckExact(v) || PyBytes_CheckExact(v)) {
        nb::object r = check(PyObject_Repr(v));
        return PyUnicode_AsUTF8(r.ptr());
    }
    return "...";
}

}  // namespace

nb::object signature_from_text(nb::handle text) {
    return call(signature_helpers()["make"], {text.ptr()});
}

nb::object call_signature_descriptor() {
    return call(signature_helpers()["CallSignature"]);
}

nb::object class_signature_descriptor() {
    return call(signature_helpers()["ClassSignature"]);
}

nb::object nb_text_signature(nb::handle func) {
    nb::object sigs = nb::steal(PyObject_GetAttrString(func.ptr(), "__nb_signature__"));
    if (!sigs.is_valid() || !PyTuple_Check(sigs.ptr()) || PyTuple_GET_SIZE(sigs.ptr()) < 1) {
        PyErr_Clear();
        return nb::none();
    }
    nb::handle first = PyTuple_GET_ITEM(sigs.ptr(), 0);
    const char *text = PyUnicode_AsUTF8(PyTuple_GET_ITEM(first.ptr(), 0));
    if (!text)
        throw nb::python_error();
    nb::handle defaults = PyTuple_GET_ITEM(first.ptr(), 2);
    std::string sig(text);
    size_t open = sig.find('(');
    size_t close = sig.rfind(") -> ");
    if (close == std::string::npos)
        close = sig.rfind(')');
    if (open == std::string::npos || close == std::string::npos || close < open)
        return nb::none();
    std::string result = "(";
    bool first_param = true;
    for (const std::string &raw : split_params(sig.substr(open + 1, close - open - 1))) {
        std::string p = trim(raw);
        std::string name = trim(p.substr(0, p.find_first_of(":=")));
        std::string item = name;
        size_t eq = p.find(" = ");
        if (eq != std::string::npos) {
            std::string dflt = trim(p.substr(eq + 3));
            if (dflt.size() > 1 && dflt[0] == '\\' && PyTuple_Check(defaults.ptr())) {
                Py_ssize_t i = std::stol(dflt.substr(1));
                dflt = i < PyTuple_GET_SIZE(defaults.ptr())
                           ? default_text(PyTuple_GET_ITEM(defaults.ptr(), i))
                           : "...";
            }
            item += "=" + dflt;
        }
        result += (first_param ? "" : ", ") + item;
        first_param = false;
    }
    result += ")";
    return nb::str(result.c_str());
}

nb::object make_routine(nb::handle target, nb::handle module, const char *qualname) {
    nb::object name = check(PyObject_GetAttr(target.ptr(), KX_ID(__name__)));
    nb::object doc = nb::none();
    nb::object sigs = nb::steal(PyObject_GetAttrString(target.ptr(), "__nb_signature__"));
    if (sigs.is_valid() && PyTuple_Check(sigs.ptr()) && PyTuple_GET_SIZE(sigs.ptr()) > 0)
        doc = nb::borrow(PyTuple_GET_ITEM(PyTuple_GET_ITEM(sigs.ptr(), 0), 1));
    else
        PyErr_Clear();
    nb::object qual = qualname ? nb::object(nb::str(qualname)) : name;
    nb::object self = new_routine(module, name, qual, doc);
    Routine *r = (Routine *)self.ptr();
    r->target = nb::borrow(target).release().ptr();
    r->target_call = PyVectorcall_Function(r->target);
    r->vectorcall = r->target_call ? call_target : call_target_generic;
    return self;
}

nb::object make_fast_routine(PyMethodDef *def, nb::handle module, const char *qualname) {
    const char *end = doc_signature_end(def->ml_doc, def->ml_name);
    nb::object doc = nb::none();
    if (end && std::strlen(end) > 5)
        doc = nb::str(end + 5);
    else if (!end && def->ml_doc)
        doc = nb::str(def->ml_doc);
    nb::object self = new_routine(module, nb::str(def->ml_name), nb::str(qualname), doc);
    Routine *r = (Routine *)self.ptr();
    r->def = def;
    r->vectorcall = call_fast;
    return self;
}

void set_routine_owner(nb::handle routine, nb::handle cls) {
    Routine *r = (Routine *)routine.ptr();
    Py_INCREF(cls.ptr());
    Py_XSETREF(r->owner, (PyTypeObject *)cls.ptr());
}

bool is_routine(nb::handle obj) { return Py_TYPE(obj.ptr()) == routine_type(); }

}  // namespace kx
