// The details every TclError of the package carries once Tcl work failed
// (result, errorcode, errorinfo, errorline), its cause, and the exception an
// unwinding evaluation raises instead (see bridge.hpp).
#include "support/bridge/bridge.hpp"

#include "support/bridge/bridgestate.hpp"
#include "support/tcl/tclconvert.hpp"
#include "support/tcl/tcllist.hpp"
#include "support/tcl/tkvalue.hpp"

#include <cstring>

namespace kx {
namespace bridge {
namespace {

PyObject *tcl_error_type() {
    return KX_ONCE(PyObject *, keep(import_attr("tkinter", "TclError")));
}

}  // namespace

namespace {

nb::object words_of(tcl::Obj *list) {
    const tcl::Api &api = tcl::api();
    int n = 0;
    tcl::Obj **items = nullptr;
    if (api.ListObjGetElements(nullptr, list, &n, &items) != tcl::kOk) {
        int size = 0;
        const char *text = api.GetStringFromObj(list, &size);
        return nb::make_tuple(tcl::decode(text, (size_t)size));
    }
    nb::object out = check(PyTuple_New(n));
    for (int i = 0; i < n; ++i) {
        int size = 0;
        const char *text = api.GetStringFromObj(items[i], &size);
        PyTuple_SET_ITEM(out.ptr(), i, tcl::decode(text, (size_t)size).release().ptr());
    }
    return out;
}

tcl::Obj *option(tcl::Obj *options, const char *key) {
    const tcl::Api &api = tcl::api();
    tcl::Obj *k = api.NewStringObj(key, -1);
    tcl::incr_ref(k);
    tcl::Obj *value = nullptr;
    if (api.DictObjGet(nullptr, options, k, &value) != tcl::kOk)
        value = nullptr;
    tcl::decr_ref(k);
    return value;
}

void set(nb::handle exc, const char *name, nb::handle value) {
    if (PyObject_SetAttrString(exc.ptr(), name, value.ptr()) != 0)
        throw nb::python_error();
}

// The details a failure leaves in the interpreter, onto `exc`.
void annotate(nb::handle exc, State *s, nb::handle tk, bool with_line) {
    nb::object args = check(PyObject_GetAttr(exc.ptr(), KX_ID(args)));
    nb::object result = nb::str("");
    if (PyTuple_Check(args.ptr()) && PyTuple_GET_SIZE(args.ptr()) > 0)
        result = check(PyObject_Str(PyTuple_GET_ITEM(args.ptr(), 0)));
    nb::object code = nb::tuple(), info = result, line = nb::none();
    if (s) {
        const tcl::Api &api = tcl::api();
        tcl::Obj *options = api.GetReturnOptions(s->interp, tcl::kError);
        tcl::incr_ref(options);
        if (tcl::Obj *c = option(options, "-errorcode")) {
            code = words_of(c);
            if (s->last_code && c == s->last_code) {
                PyException_SetCause(exc.ptr(), nb::borrow(s->last_exc).release().ptr());
                forget_last(s);
            }
        }
        if (s->last_exc && s->last_result) {
            // A trace's error: Tcl made its own code and a message that ends
            // with the callback's.
            int size = 0;
            const char *text = api.GetStringFromObj(s->last_result, &size);
            nb::object last = tcl::decode(text, (size_t)size);
            if (size > 0 && PyUnicode_Tailmatch(result.ptr(), last.ptr(), 0, PY_SSIZE_T_MAX, 1) == 1) {
                PyException_SetCause(exc.ptr(), nb::borrow(s->last_exc).release().ptr());
                forget_last(s);
            }
            PyErr_Clear();
        }
        if (tcl::Obj *i = option(options, "-errorinfo")) {
            int size = 0;
            const char *text = api.GetStringFromObj(i, &size);
            info = tcl::decode(text, (size_t)size);
        }
        int n = 0;
        tcl::Obj *l = with_line ? option(options, "-errorline") : nullptr;
        if (l && api.GetIntFromObj(nullptr, l, &n) == tcl::kOk)
            line = nb::int_(n);
        tcl::decr_ref(options);
    } else {
        // Not this thread's interpreter, or not one the bridge knows: what
        // the global variables say, each read on its own (a failed read
        // leaves its default). A byte array arrives as bytes from getvar:
        // taken as its text, as eval gives it.
        nb::object c = nb::steal(from_tk_steal(PyObject_CallMethod(tk.ptr(), "getvar", "s", "::errorCode")));
        PyErr_Clear();
        nb::tuple words;
        if (c.is_valid() && tcl::try_list_from_any(c, words)) {
            Py_ssize_t n = PyTuple_GET_SIZE(words.ptr());
            code = check(PyTuple_New(n));
            for (Py_ssize_t k = 0; k < n; ++k)  // nested lists as their Tcl text
                PyTuple_SET_ITEM(code.ptr(), k, tk_text(PyTuple_GET_ITEM(words.ptr(), k)).release().ptr());
        }
        nb::object i = nb::steal(from_tk_steal(PyObject_CallMethod(tk.ptr(), "getvar", "s", "::errorInfo")));
        PyErr_Clear();
        if (i.is_valid() && PyUnicode_Check(i.ptr()))
            info = i;
    }
    set(exc, "result", result);
    set(exc, "errorcode", code);
    set(exc, "errorinfo", info);
    set(exc, "errorline", line);
}

// A timeout's errorinfo: its message, then where Tcl was when it stopped
// (the stack Tcl recorded while unwinding, without Tcl's own first line).
void add_stack(nb::handle exc, State *s) {
    const tcl::Api &api = tcl::api();
    tcl::Obj *options = api.GetReturnOptions(s->interp, tcl::kError);
    tcl::incr_ref(options);
    tcl::Obj *i = option(options, "-errorinfo");
    int size = 0;
    const char *text = i ? api.GetStringFromObj(i, &size) : "";
    const char *nl = static_cast<const char *>(std::memchr(text, '\n', (size_t)size));
    nb::object stack = nl ? tcl::decode(nl, (size_t)(text + size - nl)) : nb::object();
    tcl::decr_ref(options);
    if (!stack.is_valid())
        return;
    PyObject *msg = PyObject_GetAttrString(exc.ptr(), "result");
    if (!msg || !PyUnicode_Check(msg)) {
        Py_XDECREF(msg);
        PyErr_Clear();
        return;
    }
    nb::object message = nb::steal(msg);
    PyObject *info = PyUnicode_Concat(message.ptr(), stack.ptr());
    if (!info || PyObject_SetAttrString(exc.ptr(), "errorinfo", info) != 0)
        PyErr_Clear();
    Py_XDECREF(info);
}

}  // namespace

nb::object caught(nb::handle tk, bool with_line) {
    nb::object exc = fetch_exception();  // first: what follows may import
    if (!exc.is_valid() || !PyErr_GivenExceptionMatches(exc.ptr(), tcl_error_type()))
        ::kx::reraise(exc);
    if (std::strcmp(Py_TYPE(tk.ptr())->tp_name, "korvex.tcl.ClosedInterpreter") == 0)
        ::kx::reraise(exc);  // no Tcl work was done
    State *s = state_of_tk(tk);
    if (s && s->unwinding) {
        // The evaluation was unwound for this exception: it is the one to raise.
        nb::object pending = nb::steal(s->unwinding);
        s->unwinding = nullptr;
        s->unwind_now = false;
        if (s->timeout_type && PyObject_IsInstance(pending.ptr(), s->timeout_type) == 1)
            add_stack(pending, s);
        PyErr_Clear();
        tcl::api().ResetCancellation(s->interp, 1);
        tcl::api().SetChildCancelFlags(s->interp, 0, 1);
        drop_unwound_reports(s);
        ::kx::reraise(pending);
    }
    annotate(exc, s, tk, with_line);
    return exc;
}

void reraise(nb::handle tk, bool with_line) { ::kx::reraise(caught(tk, with_line)); }

void raise_replacing(PyObject *exc_type, nb::handle text, nb::handle caught) {
    nb::object exc = check(PyObject_CallOneArg(exc_type, text.ptr()));
    for (const char *name : {"result", "errorcode", "errorinfo", "errorline"}) {
        PyObject *v = PyObject_GetAttrString(caught.ptr(), name);
        if (!v) {
            PyErr_Clear();
            continue;
        }
        nb::object value = nb::steal(v);
        set(exc, name, value);
    }
    PyException_SetCause(exc.ptr(), PyException_GetCause(caught.ptr()));  // none: context suppressed
    PyException_SetContext(exc.ptr(), nb::borrow(caught).release().ptr());
    PyErr_SetObject(exc_type, exc.ptr());
    throw nb::python_error();
}

}  // namespace bridge
}  // namespace kx
