// Python callables as Tcl commands: the guard that _tkinter's command
// procedure calls, the conversion of a callable's result or exception into
// what Tcl sees, and our command procedure around _tkinter's.
#include "support/bridge/callguard.hpp"

#include "support/bridge/bridge.hpp"
#include "support/bridge/bridgestate.hpp"
#include "support/bridge/stdio.hpp"
#include "support/python/foreigncalls.hpp"
#include "support/tcl/tclconvert.hpp"

#include <climits>
#include <cstring>

namespace kx {
namespace bridge {
namespace {

struct Guard {
    PyObject_HEAD
    PyObject *func;   // the callable (null for the periodic check)
    Command *cmd;     // the command it serves; null until installed
    State *check;     // the periodic check's state, for the checker
};

Guard *as_guard(PyObject *o) { return reinterpret_cast<Guard *>(o); }

PyObject *empty_tuple() {
    return KX_ONCE(PyObject *, PyTuple_New(0));
}

PyObject *tcl_error_type() {
    return KX_ONCE(PyObject *, keep(import_attr("tkinter", "TclError")));
}

// Frees a Tcl object nobody holds yet (reference count 0).
void discard(tcl::Obj *o) {
    if (o) {
        tcl::incr_ref(o);
        tcl::decr_ref(o);
    }
}

}  // namespace

namespace {

std::string utf8_of(nb::handle s) {
    nb::object b = check(PyUnicode_AsEncodedString(s.ptr(), "utf-8", "backslashreplace"));
    std::string out;
    const char *p = PyBytes_AS_STRING(b.ptr());
    for (Py_ssize_t i = 0, n = PyBytes_GET_SIZE(b.ptr()); i < n; ++i) {
        if (p[i])
            out.push_back(p[i]);
        else
            out.append("\xC0\x80");  // Tcl's own NUL
    }
    return out;
}

// `s` with what UTF-8 cannot carry (lone surrogates) escaped as \\udc80,
// as the traceback in -errorinfo shows it.
nb::object escaped(nb::object s) {
    if (PyUnicode_AsUTF8AndSize(s.ptr(), nullptr))
        return s;
    PyErr_Clear();
    nb::object b = check(PyUnicode_AsEncodedString(s.ptr(), "utf-8", "backslashreplace"));
    return check(PyUnicode_FromEncodedObject(b.ptr(), "utf-8", "strict"));
}

// str(obj), never raising, with lone surrogates escaped.
nb::object safe_str(nb::handle obj) {
    PyObject *s = PyObject_Str(obj.ptr());
    if (s && PyUnicode_Check(s))
        return escaped(nb::steal(s));
    Py_XDECREF(s);
    PyErr_Clear();
    return nb::str("<exception str() failed>");
}

// The list of words `items`, each a str.
tcl::Obj *word_list(nb::handle items) {
    nb::object t = check(PySequence_Tuple(items.ptr()));
    nb::list words;
    for (nb::handle item : nb::borrow<nb::tuple>(t))
        words.append(safe_str(item));
    return to_tcl(words);
}

// The Python traceback of `exc`, as the traceback module prints it.
// getattr(obj, name), or null (no error set).
nb::object maybe_attr(nb::handle obj, PyObject *name) {
    PyObject *v = PyObject_GetAttr(obj.ptr(), name);
    if (!v)
        PyErr_Clear();
    return nb::steal(v);
}

// The traceback the traceback module prints for `exc`, made without it for
// the common case (no chained exception, no notes, no syntax error): the
// module looks at every source file again on each call and works out the
// carets under each line, which costs a failing callback many times the
// rest of its failure. Null when the common case does not apply.
nb::object quick_traceback(nb::handle exc) {
    PyObject *cause = PyException_GetCause(exc.ptr());
    PyObject *context = PyException_GetContext(exc.ptr());
    Py_XDECREF(cause);
    Py_XDECREF(context);
    if ((cause && cause != Py_None) ||
        (context && context != Py_None && !((PyBaseExceptionObject *)exc.ptr())->suppress_context) ||
        PyObject_IsInstance(exc.ptr(), PyExc_SyntaxError) != 0 || PyObject_HasAttr(exc.ptr(), KX_ID(__notes__))) {
        PyErr_Clear();
        return nb::object();
    }
    PyObject *const getline = KX_ONCE(PyObject *, keep(import_attr("linecache", "getline")));
    nb::list parts;
    parts.append(nb::str("Traceback (most recent call last):\n"));
    PyObject *first = PyException_GetTraceback(exc.ptr());
    for (nb::object t = nb::steal(first); t.is_valid() && !t.is_none(); t = maybe_attr(t, KX_ID(tb_next))) {
        nb::object frame = maybe_attr(t, KX_ID(tb_frame));
        nb::object line = maybe_attr(t, KX_ID(tb_lineno));
        nb::object code = frame.is_valid() ? maybe_attr(frame, KX_ID(f_code)) : nb::object();
        if (!code.is_valid() || !line.is_valid())
            return nb::object();
        nb::object file = maybe_attr(code, KX_ID(co_filename));
        nb::object name = maybe_attr(code, KX_ID(co_name));
        if (!file.is_valid() || !name.is_valid())
            return nb::object();
        parts.append(check(PyUnicode_FromFormat("  File \"%S\", line %S, in %S\n", file.ptr(), line.ptr(),
                                                name.ptr())));
        PyObject *src = PyObject_CallFunctionObjArgs(getline, file.ptr(), line.ptr(), nullptr);
        if (!src) {
            PyErr_Clear();
            continue;
        }
        nb::object text = nb::steal(src);
        if (PyUnicode_Check(src)) {
            nb::object stripped = check(PyObject_CallMethodNoArgs(src, KX_ID(strip)));
            if (PyUnicode_GET_LENGTH(stripped.ptr()))
                parts.append(check(PyUnicode_FromFormat("    %U\n", stripped.ptr())));
        }
    }
    // The last line as format_exception_only() writes it.
    PyObject *type = (PyObject *)Py_TYPE(exc.ptr());
    nb::object qualname = maybe_attr(type, KX_ID(__qualname__));
    nb::object module = maybe_attr(type, KX_ID(__module__));
    if (!qualname.is_valid() || !PyUnicode_Check(qualname.ptr()))
        return nb::object();
    nb::object stype = qualname;
    if (module.is_valid() && PyUnicode_Check(module.ptr()) &&
        PyUnicode_CompareWithASCIIString(module.ptr(), "__main__") != 0 &&
        PyUnicode_CompareWithASCIIString(module.ptr(), "builtins") != 0)
        stype = check(PyUnicode_FromFormat("%U.%U", module.ptr(), qualname.ptr()));
    PyObject *value = PyObject_Str(exc.ptr());
    if (!value) {
        PyErr_Clear();
        parts.append(check(PyUnicode_FromFormat("%U: <exception str() failed>", stype.ptr())));
    } else {
        nb::object v = nb::steal(value);
        if (PyUnicode_GET_LENGTH(value))
            parts.append(check(PyUnicode_FromFormat("%U: %U", stype.ptr(), value)));
        else
            parts.append(stype);
    }
    return check(PyUnicode_Join(KX_STR(""), parts.ptr()));
}

// The Python traceback of `exc`, as the traceback module prints it.
std::string traceback_text(nb::handle exc) {
    nb::object quick = quick_traceback(exc);
    PyErr_Clear();
    if (quick.is_valid())
        return utf8_of(quick);
    PyObject *const format = KX_ONCE(PyObject *, keep(import_attr("traceback", "format_exception")));
    PyObject *tb = PyException_GetTraceback(exc.ptr());
    nb::object traceback = tb ? nb::steal(tb) : nb::none();
    PyObject *lines = PyObject_CallFunctionObjArgs(format, (PyObject *)Py_TYPE(exc.ptr()), exc.ptr(),
                                                   traceback.ptr(), nullptr);
    if (!lines) {
        PyErr_Clear();
        return std::string();
    }
    nb::object held = nb::steal(lines);
    nb::object text = check(PyUnicode_Join(KX_STR(""), lines));
    nb::object stripped = check(PyObject_CallMethod(text.ptr(), "rstrip", "s", "\n"));
    return utf8_of(stripped);
}

// getattr(obj, name) when it is an instance of `type`, else null.
nb::object typed_attr(nb::handle obj, const char *name, PyTypeObject *type) {
    PyObject *v = PyObject_GetAttrString(obj.ptr(), name);
    if (!v) {
        PyErr_Clear();
        return nb::object();
    }
    nb::object value = nb::steal(v);
    return PyObject_TypeCheck(v, type) ? value : nb::object();
}

void fill_error(Outcome &out, nb::handle exc) {
    // A TclError from Tcl work in the callback goes on as Tcl gave it.
    if (PyObject_IsInstance(exc.ptr(), tcl_error_type()) == 1) {
        nb::object result = typed_attr(exc, "result", &PyUnicode_Type);
        nb::object code = typed_attr(exc, "errorcode", &PyTuple_Type);
        nb::object info = typed_attr(exc, "errorinfo", &PyUnicode_Type);
        if (result.is_valid() && code.is_valid() && info.is_valid()) {
            out.result = str_obj(result);
            out.code = word_list(code);
            int starts = PyUnicode_Tailmatch(info.ptr(), result.ptr(), 0, PY_SSIZE_T_MAX, -1);
            if (starts == 1) {
                nb::object rest = check(PyUnicode_Substring(info.ptr(), PyUnicode_GET_LENGTH(result.ptr()),
                                                            PY_SSIZE_T_MAX));
                out.info = utf8_of(rest);
            } else {
                PyErr_Clear();
                out.info = "\n" + utf8_of(info);
            }
            return;
        }
    }
    nb::object type = nb::borrow((PyObject *)Py_TYPE(exc.ptr()));
    nb::object name = safe_str(check(PyObject_GetAttr(type.ptr(), KX_ID(__name__))));
    nb::object text = safe_str(exc);
    nb::object message = PyUnicode_GET_LENGTH(text.ptr())
                             ? check(PyUnicode_FromFormat("%U: %U", name.ptr(), text.ptr()))
                             : name;
    out.result = str_obj(message);
    out.code = word_list(nb::make_tuple("PYTHON", name, text));
    std::string tb = traceback_text(exc);
    if (!tb.empty())
        out.info = "\n" + tb;
}

// Whether `exc` was raised by a Python signal handler (one of its frames
// runs the handler installed now for a signal): a signal that arrived while
// the callable ran, not the callable's own error. Python calls a handler as
// handler(signum, frame), so a frame that may be one names its signal in its
// arguments: one lookup of that signal's handler, not a scan of them all.
bool from_signal_handler(nb::handle exc) {
    PyObject *const getsignal = KX_ONCE(PyObject *, keep(import_attr("signal", "getsignal")));
    PyObject *tb = PyException_GetTraceback(exc.ptr());
    for (nb::object t = nb::steal(tb); t.is_valid() && !t.is_none(); t = maybe_attr(t, KX_ID(tb_next))) {
        nb::object frame = maybe_attr(t, KX_ID(tb_frame));
        nb::object code = frame.is_valid() ? maybe_attr(frame, KX_ID(f_code)) : nb::object();
        if (!code.is_valid() || !PyCode_Check(code.ptr()))
            continue;
        PyCodeObject *co = (PyCodeObject *)code.ptr();
        bool varargs = co->co_flags & CO_VARARGS;
        if (co->co_argcount < 2 && !varargs)
            continue;
        nb::object names = maybe_attr(code, KX_ID(co_varnames));
        nb::object locals = maybe_attr(frame, KX_ID(f_locals));
        if (!names.is_valid() || !PyTuple_Check(names.ptr()) || !locals.is_valid())
            continue;
        // handler(signum, frame), method(self, signum, frame) or f(*args)
        nb::object signum;
        if (co->co_argcount >= 2 && PyTuple_GET_SIZE(names.ptr()) >= co->co_argcount) {
            PyObject *v = PyObject_GetItem(locals.ptr(), PyTuple_GET_ITEM(names.ptr(), co->co_argcount - 2));
            signum = nb::steal(v);
        } else if (varargs && PyTuple_GET_SIZE(names.ptr()) > co->co_argcount) {
            PyObject *v = PyObject_GetItem(locals.ptr(), PyTuple_GET_ITEM(names.ptr(), co->co_argcount));
            nb::object rest = nb::steal(v);
            if (v && PyTuple_Check(v) && PyTuple_GET_SIZE(v) >= 1)
                signum = nb::borrow(PyTuple_GET_ITEM(v, 0));
        }
        PyErr_Clear();
        if (!signum.is_valid() || !PyLong_CheckExact(signum.ptr()))
            continue;
        PyObject *h = PyObject_CallOneArg(getsignal, signum.ptr());
        if (!h) {
            PyErr_Clear();
            continue;
        }
        nb::object handler = nb::steal(h);
        nb::object func = maybe_attr(handler, KX_ID(__func__));  // a bound method's function
        nb::object handler_code = maybe_attr(func.is_valid() ? func : handler, KX_ID(__code__));
        if (handler_code.is_valid() && handler_code.ptr() == code.ptr())
            return true;
    }
    PyErr_Clear();
    return false;
}

}  // namespace

bool stops_evaluation(State *s, nb::handle exc) {
    // A time limit that ran out, or a signal handler's exception, ends the
    // whole evaluation just as one inside Tcl would.
    bool timed_out = s && s->timeout_type && PyObject_IsInstance(exc.ptr(), s->timeout_type) == 1;
    return PyObject_IsInstance(exc.ptr(), PyExc_Exception) != 1 || timed_out || from_signal_handler(exc);
}

void outcome_of_exception(State *s, Outcome &out, nb::object exc) {
    out = Outcome();
    if (stops_evaluation(s, exc)) {
        PyErr_Clear();
        // Not an error Tcl may handle: the whole evaluation unwinds, and the
        // caller gets this very exception.
        nb::object type = nb::borrow((PyObject *)Py_TYPE(exc.ptr()));
        out.kind = Outcome::kUnwind;
        out.result = str_obj(safe_str(check(PyObject_GetAttr(type.ptr(), KX_ID(__name__)))));
        if (s)
            set_unwinding(s, exc);
        return;
    }
    try {
        fill_error(out, exc);
    } catch (nb::python_error &e) {
        (void)e;  // (holds the error; dropped with it)
        // Describing it failed (out of memory, say): the bare type still tells.
        PyErr_Clear();
        discard(out.result);
        discard(out.code);
        out = Outcome();
        out.result = tcl::api().NewStringObj(Py_TYPE(exc.ptr())->tp_name, -1);
    }
    out.kind = Outcome::kError;
    if (s && out.code) {
        forget_last(s);
        s->last_exc = exc.release().ptr();
        s->last_code = out.code;
        tcl::incr_ref(out.code);
        if (out.result) {
            s->last_result = out.result;
            tcl::incr_ref(out.result);
        }
    }
}

namespace {

// The callable's result as _tkinter would convert it: values it converts
// the same way are handed back to it, the rest is converted here.
PyObject *finish(Command *c, PyObject *result) {
    Outcome &out = c->outcome;
    if (!result) {
        // A command that deleted itself still reports to its interpreter.
        State *s = c->state ? c->state : state_of_interp(c->interp_in_call);
        outcome_of_exception(s, out, fetch_exception());
        return nb::borrow(empty_tuple()).release().ptr();
    }
    PyTypeObject *t = Py_TYPE(result);
    if ((t == &PyUnicode_Type && PyUnicode_IS_ASCII(result) &&
         !std::memchr(PyUnicode_DATA(result), 0, (size_t)PyUnicode_GET_LENGTH(result)) &&
         PyUnicode_GET_LENGTH(result) < INT_MAX / 4) ||
        t == &PyLong_Type || t == &PyFloat_Type || t == &PyBool_Type) {
        out.kind = Outcome::kAsIs;
        return result;
    }
    nb::object r = nb::steal(result);
    try {
        out.result = to_tcl(r);
        out.kind = Outcome::kResult;
    } catch (nb::python_error &e) {
        e.restore();
        outcome_of_exception(c->state ? c->state : state_of_interp(c->interp_in_call), out, fetch_exception());
    }
    return nb::borrow(empty_tuple()).release().ptr();
}

PyObject *guard_call(PyObject *self, PyObject *args, PyObject *kwargs) {
    Guard *g = as_guard(self);
    if (g->check) {
        if (PyTuple_GET_SIZE(args) > 0) {
            // Called from the event loop to delete the interpreters handed
            // back to this thread (this checker's among them, maybe).
            nb::object keep_alive = nb::borrow(self);
            reap_here();
            PyErr_Clear();  // (nothing may reach _tkinter's procedure)
        } else {
            run_check(g->check);
        }
        return nb::borrow(empty_tuple()).release().ptr();
    }
    if (!g->func) {
        PyErr_SetString(PyExc_RuntimeError, "command already deleted");
        return nullptr;
    }
    nb::object keep_alive = nb::borrow(self);
    nb::object func = nb::borrow(g->func);
    PyObject *result = nullptr;
    if (stack_nearly_full())  // Python and Tcl calling each other, the C stack nearly used up
        PyErr_SetString(PyExc_RecursionError,
                        "maximum recursion depth exceeded while calling a Python command from Tcl");
    else
        result = PyObject_Call(func.ptr(), args, kwargs);
    if (!g->cmd) {
        // Not (yet) under our procedure: only what _tkinter converts safely.
        if (!result)
            return nullptr;
        nb::object r = nb::steal(result);
        return c_entry([&] { return tcl_safe(r); });
    }
    // Tcl's and _tkinter's C frames are below: nothing may be thrown
    // through them. If describing the outcome fails (Python out of memory or
    // of recursion depth), Tcl gets a bare error naming what failed.
    Command *c = g->cmd;
    try {
        return finish(c, result);
    } catch (nb::python_error &e) {
        discard(c->outcome.result);
        discard(c->outcome.code);
        c->outcome = Outcome();
        c->outcome.kind = Outcome::kError;
        c->outcome.result = tcl::api().NewStringObj(Py_TYPE(e.value().ptr())->tp_name, -1);
    } catch (...) {
        discard(c->outcome.result);
        discard(c->outcome.code);
        c->outcome = Outcome();
        c->outcome.kind = Outcome::kError;
        c->outcome.result = tcl::api().NewStringObj("failure in a Python command", -1);
    }
    PyErr_Clear();
    return nb::borrow(empty_tuple()).release().ptr();
}

int guard_traverse(PyObject *self, visitproc visit, void *arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(as_guard(self)->func);
    return 0;
}

int guard_clear(PyObject *self) {
    Py_CLEAR(as_guard(self)->func);
    return 0;
}

void guard_dealloc(PyObject *self) {
    PyTypeObject *type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    guard_clear(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject *guard_repr(PyObject *self) {
    PyObject *func = as_guard(self)->func;
    return func ? PyObject_Repr(func) : PyUnicode_FromString("<command>");
}

PyType_Slot guard_slots[] = {{Py_tp_call, (void *)guard_call},
                             {Py_tp_traverse, (void *)guard_traverse},
                             {Py_tp_clear, (void *)guard_clear},
                             {Py_tp_dealloc, (void *)guard_dealloc},
                             {Py_tp_repr, (void *)guard_repr},
                             {0, nullptr}};

PyType_Spec guard_spec = {"korvex.tcl.command", sizeof(Guard), 0,
                          Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, guard_slots};

void set_error_state(tcl::Interp *interp, Outcome &out) {
    const tcl::Api &api = tcl::api();
    // A fresh error of this command: what a failed evaluation inside the
    // callable left in the interpreter (its -errorinfo, which the outcome
    // already holds) must not be added to again.
    api.ResetResult(interp);
    if (out.result)
        api.SetObjResult(interp, out.result);
    if (out.code)
        api.SetObjErrorCode(interp, out.code);
    if (!out.info.empty())
        api.AddObjErrorInfo(interp, out.info.data(), (int)out.info.size());
}

// Frees a command whose call has ended after Tcl deleted it.
void finish_deleted(Command *c) {
    PyGILState_STATE gil = PyGILState_Ensure();
    if (c->guard)
        as_guard(c->guard)->cmd = nullptr;
    release_tk_data(c->tk_data, c->tk_self);
    delete c;
    PyGILState_Release(gil);
}

// What _tkinter's procedure does for the guard, done here where it cannot be:
// Tcl was reached by a call that gave up the GIL behind _tkinter's back (a
// ctypes call through TclDLL), or with the GIL held, and _tkinter has no
// thread state to take the GIL back with (it would abort the process). The
// GIL is taken as any C code takes it; Python calls into Tcl made meanwhile
// go through _tkinter as usual. The guard leaves its outcome as ever; a
// result it hands back as is gets _tkinter's conversion.
int call_here(Command *c, tcl::Interp *interp, int objc, tcl::Obj *const objv[]) {
    PyGILState_STATE gil = PyGILState_Ensure();
    {
        foreign::Scope python(false);
        State *s = c->state ? c->state : state_of_interp(interp);
        try {
            nb::object guard = nb::borrow(c->guard);
            nb::object args = check(PyTuple_New(objc > 1 ? objc - 1 : 0));
            const tcl::Api &api = tcl::api();
            for (int i = 1; i < objc; ++i) {
                int size = 0;
                const char *text = api.GetStringFromObj(objv[i], &size);
                PyTuple_SET_ITEM(args.ptr(), i - 1, tcl::decode(text, (size_t)size).release().ptr());
            }
            PyObject *r = PyObject_Call(guard.ptr(), args.ptr(), nullptr);
            if (!r)
                throw nb::python_error();
            nb::object result = nb::steal(r);
            if (c->outcome.kind == Outcome::kAsIs)
                api.SetObjResult(interp, to_tcl(result));
        } catch (nb::python_error &e) {
            e.restore();
            discard(c->outcome.result);
            discard(c->outcome.code);
            outcome_of_exception(s, c->outcome, fetch_exception());
        } catch (...) {
            discard(c->outcome.result);
            discard(c->outcome.code);
            c->outcome = Outcome();
            c->outcome.kind = Outcome::kError;
            c->outcome.result = tcl::api().NewStringObj("failure in a Python command", -1);
        }
        PyErr_Clear();
    }
    PyGILState_Release(gil);
    return tcl::kOk;
}

}  // namespace

void run_check_here(State *s) {
    PyGILState_STATE gil = PyGILState_Ensure();
    {
        foreign::Scope python(false);
        run_check(s);
        PyErr_Clear();
    }
    PyGILState_Release(gil);
}

namespace {

int command_proc(void *data, tcl::Interp *interp, int objc, tcl::Obj *const objv[]) {
    Command *c = static_cast<Command *>(data);
    ++c->busy;
    c->outcome.kind = Outcome::kAsIs;
    tcl::Interp *outer = c->interp_in_call;
    c->interp_in_call = interp;
    stdio::flush_tcl();  // what Tcl holds back, out before Python writes
    int code = foreign::active() || PyGILState_Check() ? call_here(c, interp, objc, objv)
                                                        : c->tk_proc(c->tk_data, interp, objc, objv);
    c->interp_in_call = outer;
    if (code == tcl::kOk && c->outcome.kind == Outcome::kAsIs) {  // _tkinter set the result
        if (--c->busy == 0 && c->deleted)
            finish_deleted(c);
        return tcl::kOk;
    }
    Outcome out = std::move(c->outcome);
    c->outcome = Outcome();
    if (out.kind == Outcome::kUnwind) {
        if (State *s = c->state ? c->state : state_of_interp(interp)) {
            note_reports(s);
            s->cancelled = true;
        }
    }
    if (--c->busy == 0 && c->deleted)
        finish_deleted(c);
    if (code != tcl::kOk) {
        discard(out.result);
        discard(out.code);
        return code;
    }
    const tcl::Api &api = tcl::api();
    switch (out.kind) {
    case Outcome::kAsIs:
        return tcl::kOk;
    case Outcome::kResult:
        api.SetObjResult(interp, out.result);
        return tcl::kOk;
    case Outcome::kError:
        set_error_state(interp, out);
        return tcl::kError;
    case Outcome::kUnwind:
        set_error_state(interp, out);
        api.CancelEval(interp, nullptr, nullptr, tcl::kCancelUnwind);
        api.AsyncInvoke(interp, tcl::kError);  // the cancel takes effect now: no catch sees the error
        return tcl::kError;
    }
    return tcl::kError;
}

void command_deleted(void *data) {
    Command *c = static_cast<Command *>(data);
    PyGILState_STATE gil = PyGILState_Ensure();
    if (c->state)
        unlink_command(c->state, c);
    c->state = nullptr;
    if (c->busy) {
        c->deleted = true;  // freed when the call in progress ends
    } else {
        if (c->guard)
            as_guard(c->guard)->cmd = nullptr;
        release_tk_data(c->tk_data, c->tk_self);
        delete c;
    }
    PyGILState_Release(gil);
}

}  // namespace

nb::object make_guard(nb::handle func, State *check_state) {
    PyTypeObject *const type = KX_ONCE(PyTypeObject *, (PyTypeObject *)check(PyType_FromSpec(&guard_spec)).release().ptr());
    Guard *g = PyObject_GC_New(Guard, type);
    if (!g)
        throw nb::python_error();
    g->func = func.is_valid() ? nb::borrow(func).release().ptr() : nullptr;
    g->cmd = nullptr;
    g->check = check_state;
    PyObject_GC_Track(g);
    return nb::steal((PyObject *)g);
}

bool take_tk_command(tcl::Interp *interp, const std::string &name, nb::handle guard, tcl::CmdInfo &info) {
    if (!tcl::api().GetCommandInfo(interp, name.c_str(), &info) || !info.isNativeObjectProc ||
        !info.objClientData)
        return false;
    // Only _tkinter's own data for this very guard is taken over.
    return static_cast<TkCommandData *>(info.objClientData)->func == guard.ptr();
}

void create_command(nb::handle tk, nb::handle name, nb::handle func) {
    if (!PyCallable_Check(func.ptr())) {
        PyErr_SetString(PyExc_TypeError, "command not callable");
        throw nb::python_error();
    }
    foreign::init();
    State *s = state_for_commands(tk);
    nb::object guard = make_guard(func, nullptr);
    call_method(tk, KX_ID(createcommand), {name.ptr(), guard.ptr()});
    if (!s || !PyUnicode_Check(name.ptr()))
        return;  // left to _tkinter, with results made safe by the guard
    Py_ssize_t size;
    const char *text = PyUnicode_AsUTF8AndSize(name.ptr(), &size);
    if (!text) {
        PyErr_Clear();
        return;
    }
    std::string lookup(text, (size_t)size);
    if (lookup.find("::") == std::string::npos)
        lookup = "::" + lookup;  // where Tcl creates an unqualified name
    tcl::CmdInfo info;
    if (!take_tk_command(s->interp, lookup, guard, info))
        return;
    Command *c = new Command;
    c->state = s;
    c->tk_proc = info.objProc;
    c->tk_data = static_cast<TkCommandData *>(info.objClientData);
    c->tk_self = s->tk_self;
    adopt_tk_data(s, c->tk_data);
    c->guard = guard.ptr();
    c->token = tcl::api().FindCommand(s->interp, lookup.c_str(), nullptr, 0);
    info.objProc = command_proc;
    info.objClientData = c;
    info.deleteProc = command_deleted;
    info.deleteData = c;
    tcl::api().SetCommandInfo(s->interp, lookup.c_str(), &info);
    as_guard(guard.ptr())->cmd = c;
    s->commands.push_back(c);
}

}  // namespace bridge

nb::object guard_result(nb::handle func) { return bridge::make_guard(func, nullptr); }

PyObject *guarded_callable(PyObject *obj) {
    // Each extension module makes its own guard type, all from guard_spec.
    if (obj && std::strcmp(Py_TYPE(obj)->tp_name, bridge::guard_spec.name) == 0) {
        PyObject *func = bridge::as_guard(obj)->func;
        return func ? func : obj;
    }
    return obj;
}

}  // namespace kx
