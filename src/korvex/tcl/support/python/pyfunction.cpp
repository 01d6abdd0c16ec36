#include "support/python/pyfunction.hpp"
#include "support/python/routine.hpp"

#include <structmember.h>

#include <cstring>
#include <new>

namespace kx {
namespace {

struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    PyObject *dict;
    FunctionBody body;
};

PyObject *trampoline(PyObject *self, PyObject *const *args, size_t nargsf, PyObject *kwnames) {
    FunctionObject *f = (FunctionObject *)self;
    return c_entry([&] { return f->body(args, PyVectorcall_NARGS(nargsf), kwnames); });
}

// Binds as a Python function does (help() and inspect then treat it as one).
PyObject *fn_descr_get(PyObject *self, PyObject *obj, PyObject *) {
    if (!obj || obj == Py_None) {
        Py_INCREF(self);
        return self;
    }
    return PyMethod_New(self, obj);
}

int fn_traverse(PyObject *self, visitproc visit, void *arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(((FunctionObject *)self)->dict);
    return 0;
}

int fn_clear(PyObject *self) {
    Py_CLEAR(((FunctionObject *)self)->dict);
    return 0;
}

void fn_dealloc(PyObject *self) {
    PyTypeObject *tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    fn_clear(self);
    tp->tp_free(self);
    Py_DECREF(tp);
}

PyObject *fn_repr(PyObject *self) {
    nb::object name = nb::steal(PyObject_GetAttrString(self, "__qualname__"));
    if (!name.is_valid()) {
        PyErr_Clear();
        return PyUnicode_FromFormat("<function at %p>", self);
    }
    return PyUnicode_FromFormat("<function %S at %p>", name.ptr(), self);
}

// Pickled by reference, as Python pickles functions: module and qualified name.
PyObject *fn_reduce(PyObject *self, PyObject *) {
    return PyObject_GetAttrString(self, "__qualname__");
}

PyMemberDef fn_members[] = {
    {"__dictoffset__", T_PYSSIZET, offsetof(FunctionObject, dict), READONLY, nullptr},
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(FunctionObject, vectorcall), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr}};

// inspect.signature() reads this: built from the __text_signature__ that the
// module set in the function's dict (None without one).
PyObject *fn_get_signature(PyObject *self, void *) {
    return c_entry([&]() -> nb::object {
        PyObject *dict = ((FunctionObject *)self)->dict;
        PyObject *text = dict ? PyDict_GetItemWithError(dict, KX_ID(__text_signature__)) : nullptr;
        if (!text) {
            if (PyErr_Occurred())
                throw nb::python_error();
            return nb::none();
        }
        return signature_from_text(text);
    });
}

PyGetSetDef fn_getset[] = {
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {"__signature__", fn_get_signature, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyMethodDef fn_methods[] = {{"__reduce__", fn_reduce, METH_NOARGS, nullptr},
                            {nullptr, nullptr, 0, nullptr}};

PyType_Slot fn_slots[] = {{Py_tp_call, (void *)PyVectorcall_Call},
                          {Py_tp_descr_get, (void *)fn_descr_get},
                          {Py_tp_traverse, (void *)fn_traverse},
                          {Py_tp_clear, (void *)fn_clear},
                          {Py_tp_dealloc, (void *)fn_dealloc},
                          {Py_tp_repr, (void *)fn_repr},
                          {Py_tp_members, fn_members},
                          {Py_tp_getset, fn_getset},
                          {Py_tp_methods, fn_methods},
                          {0, nullptr}};

// Immutable (attribute caches specialize on it); made only by make_function.
PyType_Spec fn_spec = {"korvex.tcl.function", sizeof(FunctionObject), 0,
                       Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
                           Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
                       fn_slots};

PyTypeObject *function_type() {
    return KX_ONCE(PyTypeObject *, (PyTypeObject *)check(PyType_FromSpec(&fn_spec)).release().ptr());
}

[[noreturn]] void type_error(PyObject *msg) {
    nb::object owned = check(msg);
    PyErr_SetObject(PyExc_TypeError, owned.ptr());
    throw nb::python_error();
}

}  // namespace

nb::object make_function(nb::handle module, const char *name, const char *doc, FunctionBody body) {
    PyTypeObject *tp = function_type();
    nb::object self = check(tp->tp_alloc(tp, 0));
    FunctionObject *f = (FunctionObject *)self.ptr();
    f->vectorcall = trampoline;
    f->body = body;
    f->dict = check(PyDict_New()).release().ptr();
    nb::object pyname = nb::str(name);
    set_attr(self, KX_ID(__name__), pyname);
    set_attr(self, KX_ID(__qualname__), pyname);
    set_attr(self, KX_ID(__module__), check(PyObject_GetAttr(module.ptr(), KX_ID(__name__))));
    set_attr(self, KX_ID(__doc__), doc ? nb::object(nb::str(doc)) : nb::none());
    return self;
}

void parse_args(const ArgSpec &sig, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames,
                PyObject **out) {
    const Py_ssize_t nparams = (Py_ssize_t)sig.params.size();
    if (nargs > nparams)
        type_error(PyUnicode_FromFormat("%s() takes %zd positional argument%s but %zd %s given",
                                        sig.func, nparams, nparams == 1 ? "" : "s", nargs,
                                        nargs == 1 ? "was" : "were"));
    for (Py_ssize_t i = 0; i < nparams; ++i)
        out[i] = i < nargs ? args[i] : nullptr;
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject *key = PyTuple_GET_ITEM(kwnames, k);
        Py_ssize_t slot = -1;
        for (Py_ssize_t i = 0; i < nparams && slot < 0; ++i)
            for (const char *alias : sig.params[(size_t)i])
                if (PyUnicode_CompareWithASCIIString(key, alias) == 0) {
                    slot = i;
                    break;
                }
        if (slot < 0)
            type_error(PyUnicode_FromFormat("%s() got an unexpected keyword argument '%U'",
                                            sig.func, key));
        if (out[slot])
            type_error(PyUnicode_FromFormat("%s() got multiple values for argument '%s'",
                                            sig.func, sig.params[(size_t)slot][0]));
        out[slot] = args[nargs + k];
    }
    for (Py_ssize_t i = 0; i < nparams; ++i)
        if (!out[i])
            type_error(PyUnicode_FromFormat("%s() missing 1 required positional argument: '%s'",
                                            sig.func, sig.params[(size_t)i][0]));
}

}  // namespace kx
