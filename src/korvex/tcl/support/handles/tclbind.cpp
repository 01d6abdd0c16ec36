#include "support/handles/tclbind.hpp"

#include "support/python/attrcache.hpp"
#include "support/bridge/bridge.hpp"
#include "support/tcl/tclconvert.hpp"
#include "support/tcl/tcllib.hpp"
#include "support/tcl/tkvalue.hpp"

#include <cstring>

namespace kx {
namespace bind {

nb::object interp(nb::handle tcl, const char *package) {
    if (!truth(tcl))
        return check(PyWeakref_NewProxy(check(PyImport_ImportModule(package)).ptr(), nullptr));
    if (PyWeakref_CheckProxy(tcl.ptr()))
        return nb::borrow(tcl);
    return check(PyWeakref_NewProxy(tcl.ptr(), nullptr));
}

nb::object referent(nb::handle proxy) {
    if (!PyWeakref_CheckProxy(proxy.ptr()))
        return nb::borrow(proxy);
#if PY_VERSION_HEX >= 0x030D0000
    PyObject *obj;
    if (PyWeakref_GetRef(proxy.ptr(), &obj) < 0)
        throw nb::python_error();
    if (obj)
        return nb::steal(obj);
#else
    PyObject *obj = PyWeakref_GET_OBJECT(proxy.ptr());
    if (obj != Py_None && Py_REFCNT(obj) > 0)
        return nb::borrow(obj);
#endif
    PyErr_SetString(PyExc_ReferenceError, "weakly-referenced object no longer exists");
    throw nb::python_error();
}

nb::object interp_of(nb::handle obj) { return referent(attr(obj, KX_ID(tcl))); }

nb::object tk_of(nb::handle interp) {
    static AttrCache<1> cache;  // the interpreter that sent work last
    static const AttrCache<1>::Names names = {KX_ID(tk)};
    PyObject *found[1];
    if (cache.get(interp.ptr(), names, found))
        return nb::borrow(found[0]);
    PyObject *tk = PyObject_GenericGetAttr(interp.ptr(), KX_ID(tk));
    if (tk)
        return nb::steal(tk);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError))
        throw nb::python_error();
    PyErr_Clear();
    return check(PyObject_GetAttr(interp.ptr(), KX_ID(tk)));
}

Target target_of(nb::handle interp) {
    static AttrCache<2> cache;  // the interpreter that sent work last
    static const AttrCache<2>::Names names = {KX_ID(tk), KX_ID(_korvex_bridge)};
    PyObject *found[2];
    if (cache.get(interp.ptr(), names, found))
        return {nb::borrow(found[0]), nb::borrow(found[1])};
    return {tk_of(interp), nb::object()};
}

namespace {

nb::object send(nb::handle tk, nb::handle registry, PyObject *method, std::initializer_list<PyObject *> args) {
    if (method == KX_ID(call) && args.size() == 1)
        return call_words(tk, *args.begin(), registry);  // a word list, made safe for _tkinter
    PyObject *stack[8];
    size_t n = 0;
    stack[n++] = tk.ptr();
    for (PyObject *a : args)
        stack[n++] = a;
    bridge::Entry entry(tk, registry);
    entry.check();
    PyObject *r = PyObject_VectorcallMethod(method, stack, n | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
    if (!r)  // variable access has no error line
        bridge::reraise(tk, method != KX_ID(getvar) && method != KX_ID(setvar) && method != KX_ID(unsetvar));
    nb::object result = from_tk(nb::steal(r));
    entry.check();
    entry.done();
    return result;
}

}  // namespace

nb::object tk(nb::handle tk, PyObject *method, std::initializer_list<PyObject *> args) {
    return send(tk, nb::handle(), method, args);
}

nb::object tk(const Target &target, PyObject *method, std::initializer_list<PyObject *> args) {
    return send(target.tk, target.registry, method, args);
}

namespace {

// The text of a word as Tcl takes it: a str, or a Tcl object's string; null
// for anything else (never a frame query).
nb::object word_text(PyObject *word) {
    if (PyUnicode_Check(word))
        return nb::borrow(word);
    if (std::strcmp(Py_TYPE(word)->tp_name, "_tkinter.Tcl_Obj") == 0)
        return nb::steal(PyObject_Str(word));
    return nb::object();
}

bool text_is(const nb::object &text, const char *const *names) {
    if (!text.is_valid() || !PyUnicode_Check(text.ptr())) {
        PyErr_Clear();
        return false;
    }
    for (; *names; ++names)
        if (PyUnicode_CompareWithASCIIString(text.ptr(), *names) == 0)
            return true;
    return false;
}

}  // namespace

bool frameless_frame_query(nb::handle tk, nb::handle words) {
    static const char *const info[] = {"info", "::info", nullptr};
    static const char *const frame[] = {"::tcl::info::frame", "tcl::info::frame", nullptr};
    static const char *const sub[] = {"fr", "fra", "fram", "frame", nullptr};
    if (!PyTuple_Check(words.ptr()) || PyTuple_GET_SIZE(words.ptr()) < 1)
        return false;
    // Every name above ends in "info" or "frame": most commands are told
    // apart by their length and last letter alone.
    PyObject *word = PyTuple_GET_ITEM(words.ptr(), 0);
    if (PyUnicode_Check(word)) {
        Py_ssize_t n = PyUnicode_GET_LENGTH(word);
        Py_UCS4 last = n ? PyUnicode_READ_CHAR(word, n - 1) : 0;
        if (n < 4 || n > 18 || (last != 'o' && last != 'e'))
            return false;
    }
    nb::object first = word_text(word);
    bool query = text_is(first, frame);
    if (!query && PyTuple_GET_SIZE(words.ptr()) >= 2 && text_is(first, info))
        query = text_is(word_text(PyTuple_GET_ITEM(words.ptr(), 1)), sub);
    if (!query)
        return false;
    tcl::Interp *interp = tcl::tkapp_interp(tk);
    return interp && !tcl::api().InterpActive(interp);
}

PyObject *eval_as_script(nb::handle tk, nb::handle words) {
    try {
        nb::object script = zelph_from_sequence(words);
        return PyObject_CallMethodOneArg(tk.ptr(), KX_ID(eval), script.ptr());
    } catch (nb::python_error &e) {
        e.restore();
        return nullptr;
    }
}

nb::object call_words(nb::handle tk, nb::handle words_in, nb::handle registry) {
    // _tkinter does not check the conversion of items inside a tuple or list:
    // hand it only what it converts without fail (a list stays a list, one word).
    nb::object words = nb::borrow(words_in);
    if (PyTuple_Check(words.ptr()))
        words = tk_value(words);
    else if (PyList_Check(words.ptr()))
        words = check(PySequence_List(tk_value(words).ptr()));
    else
        words = tk_value(words);
    bridge::Entry entry(tk, registry);
    entry.check();
    if (frameless_frame_query(tk, words)) {
        PyObject *r = eval_as_script(tk, words);
        if (!r)
            bridge::reraise(tk);
        nb::object result = from_tk(nb::steal(r));
        entry.check();
        entry.done();
        return result;
    }
    PyObject *descr = type_lookup(Py_TYPE(tk.ptr()), KX_ID(call));
    if (descr && Py_IS_TYPE(descr, &PyMethodDescr_Type) && PyTuple_CheckExact(words.ptr())) {
        PyMethodDef *def = ((PyMethodDescrObject *)descr)->d_method;
        if (def->ml_flags == METH_VARARGS &&
            PyObject_TypeCheck(tk.ptr(), ((PyMethodDescrObject *)descr)->d_common.d_type)) {
            // (A lone tuple item would be unpacked once more: that case takes the method call.)
            if (!(PyTuple_GET_SIZE(words.ptr()) == 1 && PyTuple_Check(PyTuple_GET_ITEM(words.ptr(), 0)))) {
                PyObject *r = def->ml_meth(tk.ptr(), words.ptr());
                if (!r)
                    bridge::reraise(tk);
                nb::object result = from_tk(nb::steal(r));
                entry.check();
                entry.done();
                return result;
            }
        }
    }
    PyObject *stack[2] = {tk.ptr(), words.ptr()};
    PyObject *r = PyObject_VectorcallMethod(KX_ID(call), stack, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
    if (!r)
        bridge::reraise(tk);
    nb::object result = from_tk(nb::steal(r));
    entry.check();
    entry.done();
    return result;
}

nb::object cast(nb::handle interp, PyObject *method, nb::handle value) {
    return call_method(interp, method, {value.ptr()});
}

}  // namespace bind

nb::object words(std::initializer_list<PyObject *> items) {
    nb::object t = check(PyTuple_New((Py_ssize_t)items.size()));
    Py_ssize_t i = 0;
    for (PyObject *item : items)
        PyTuple_SET_ITEM(t.ptr(), i++, nb::borrow(item).release().ptr());
    return t;
}

nb::object concat(nb::handle head, nb::handle tail) {
    return check(PySequence_Concat(head.ptr(), tail.ptr()));
}

nb::object str_items(nb::handle seq) {
    nb::object items = check(PySequence_Tuple(seq.ptr()));
    Py_ssize_t n = PyTuple_GET_SIZE(items.ptr());
    nb::object out = check(PyTuple_New(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject *text = PyObject_Str(PyTuple_GET_ITEM(items.ptr(), i));
        if (!text)
            throw nb::python_error();
        PyTuple_SET_ITEM(out.ptr(), i, text);
    }
    return out;
}

nb::object method_kw(nb::handle obj, PyObject *name, std::initializer_list<PyObject *> args,
                     std::initializer_list<std::pair<PyObject *, PyObject *>> kws) {
    PyObject *stack[8];
    size_t n = 0;
    stack[n++] = obj.ptr();
    for (PyObject *a : args)
        stack[n++] = a;
    nb::object kwnames = check(PyTuple_New((Py_ssize_t)kws.size()));
    Py_ssize_t k = 0;
    for (auto &kv : kws) {
        PyTuple_SET_ITEM(kwnames.ptr(), k++, nb::borrow(kv.first).release().ptr());
        stack[n++] = kv.second;
    }
    return check(PyObject_VectorcallMethod(name, stack, n - kws.size(), kwnames.ptr()));
}

}  // namespace kx
