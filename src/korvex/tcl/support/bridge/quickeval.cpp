// tk.eval hands Tcl the script's text, and Tcl parses it on every call: for a
// short command, most of its work. A script that is one command of plain words
// (letters, digits and a few punctuation marks, one space between words: its
// text is then exactly the Tcl list of its words) is remembered the first
// time, kept as the list of its words the second time, and from then on Tcl
// is handed that list. Tcl evaluates a list by invoking its words as one
// command under a frame that `info frame` shows as the script's (line 1, the
// same text), and words an error with that same text: for such a script, Tcl
// does what it does when it parses the text.
//
// It must run where tk.eval runs it: at the top level of the interpreter
// (where Tcl handles `return`, `break` and `continue` as it does for tk.eval)
// and inside a call of _tkinter's (a command that _tkinter made takes the GIL
// back through what that call left). Two calls of _tkinter's reach C code of
// ours that way:
// - tk.call of a command of ours, ::tcl::korvex_eval, which evaluates the
//   list armed before the call. Tcl counts that command as a nesting level
//   and as a command run; the command takes both back for the time the list
//   runs (see tclinterp.hpp), so that the list runs at the top level and Tcl
//   counts only its commands. A failure is worded once more with the
//   command's name after it returns: the state the list left is kept and put
//   back. Taken while no command trace is on the interpreter (it would see the
//   command) and no command or time limit is set.
// - Otherwise tk.getvar, which runs the variable's read traces at the top
//   level: the variable ::tcl::korvex_eval carries a read trace of C that
//   evaluates the armed list. Tcl keeps the interpreter's result and error
//   state aside around a trace and puts them back after it; the trace keeps
//   what the script left, and that is put back once the read returns.
// Either way the result, errorInfo, -errorcode, -errorline and -errorstack
// are those of the script.
//
// Only while Tcl runs nothing (a script evaluated from inside a callback runs
// in the frame of the procedure that called it) and in the interpreter's own
// thread. The cache of each interpreter is bounded; it lives as long as the
// interpreter (Tcl's per-interpreter data).
#include "support/bridge/quickeval.hpp"

#include "support/bridge/bridgestate.hpp"
#include "support/tcl/tclinterp.hpp"
#include "support/tcl/tcllib.hpp"
#include "support/tcl/tclvars.hpp"

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>

namespace kx {
namespace bridge {
namespace {

#define KX_QUICK_EVAL_NAME "::tcl::korvex_eval"
constexpr const char *kVariable = KX_QUICK_EVAL_NAME;  // and the command's name
constexpr const char *kAssocName = "korvex-quick-eval";
constexpr int kGlobalOnly = 0x1;         // TCL_GLOBAL_ONLY
constexpr int kTraceReads = 0x10;        // TCL_TRACE_READS
constexpr int kInterpDestroyed = 0x100;  // TCL_INTERP_DESTROYED
constexpr Py_ssize_t kMaxLength = 200;   // characters of a script kept
constexpr int kMaxWords = 32;
constexpr size_t kMaxScripts = 512;  // then the cache starts again
constexpr size_t kSeenSlots = 4096;

struct Script {
    std::string text;
    tcl::Obj *words = nullptr;  // null for a script of other words: always the long way
};

// The hashes of the scripts the thread's interpreters evaluated, in a table
// where a later one may take a script's place (it is then seen once again):
// a script never seen before costs no more than its hash and one look here.
thread_local std::unique_ptr<uint64_t[]> t_seen;

uint64_t hash_of(const char *s, size_t n) {
    uint64_t h = 1469598103934665603ull;  // FNV-1a
    for (size_t i = 0; i < n; ++i)
        h = (h ^ static_cast<unsigned char>(s[i])) * 1099511628211ull;
    return h | 1;  // (0 marks an empty slot)
}

struct Cache {
    // Scripts seen at least twice, by their hash.
    std::unordered_map<uint64_t, std::unique_ptr<Script>> scripts;
    tcl::Obj *armed = nullptr;  // what the next read of the variable evaluates
    bool ran = false;
    tcl::InterpState state = nullptr;  // what the script left
    bool traced = false;  // the trace is on the variable
    bool refused = false;  // the variable is not ours to use: never again
    // The command's way: the interpreter's counters (empty when its record is
    // not as known), the command while it is ours, and the result the script
    // left when it did not fail.
    bool probed = false;
    tcl::InterpCounters counters;
    tcl::Command command = nullptr;
    tcl::Obj *empty = nullptr;
    tcl::Obj *result = nullptr;
};

void forget_scripts(Cache *c) {
    for (auto &entry : c->scripts)
        if (entry.second->words)
            tcl::decr_ref(entry.second->words);
    c->scripts.clear();
}

char *on_read(void *data, tcl::Interp *interp, const char *, const char *, int flags) {
    Cache *c = static_cast<Cache *>(data);
    if (!c->armed || (flags & kInterpDestroyed))
        return nullptr;
    const tcl::Api &t = tcl::api();
    tcl::Obj *words = c->armed;
    c->armed = nullptr;
    tcl::incr_ref(words);
    int code = t.EvalObjEx(interp, words, 0);
    tcl::decr_ref(words);
    if (c->state)
        t.DiscardInterpState(c->state);
    c->state = t.SaveInterpState(interp, code);
    c->ran = true;
    return nullptr;
}

// ::tcl::korvex_eval: evaluates the armed list as if Tcl ran it at the top
// level (see above). Called otherwise (by name, from a script), it does
// nothing.
int on_call(void *data, tcl::Interp *interp, int objc, tcl::Obj *const *) {
    Cache *c = static_cast<Cache *>(data);
    if (!c->armed || objc != 1 || *c->counters.num_levels != 1)
        return tcl::kOk;
    const tcl::Api &t = tcl::api();
    tcl::Obj *words = c->armed;
    c->armed = nullptr;
    --*c->counters.cmd_count;
    --*c->counters.num_levels;
    tcl::incr_ref(words);
    int code = t.EvalObjEx(interp, words, 0);
    tcl::decr_ref(words);
    ++*c->counters.num_levels;
    c->ran = true;
    if (code == tcl::kError) {
        if (c->state)
            t.DiscardInterpState(c->state);
        c->state = t.SaveInterpState(interp, code);
        return code;
    }
    // (Handed back after the call: _tkinter would convert it as a typed value.)
    c->result = t.GetObjResult(interp);
    tcl::incr_ref(c->result);
    t.SetObjResult(interp, c->empty);
    return tcl::kOk;
}

void command_deleted(void *data) { static_cast<Cache *>(data)->command = nullptr; }

void cache_deleted(void *data, tcl::Interp *interp) {
    Cache *c = static_cast<Cache *>(data);
    if (c->command)  // (its deletion forgets it here: nothing refers to c after)
        tcl::api().DeleteCommandFromToken(interp, c->command);
    if (c->empty)
        tcl::decr_ref(c->empty);
    if (c->traced)
        tcl::api().UntraceVar2(interp, kVariable, nullptr, kTraceReads | kGlobalOnly, on_read, c);
    if (c->state)
        tcl::api().DiscardInterpState(c->state);
    forget_scripts(c);
    delete c;
}

Cache *cache_of(tcl::Interp *interp) {
    const tcl::Api &t = tcl::api();
    if (void *found = t.GetAssocData(interp, kAssocName, nullptr))
        return static_cast<Cache *>(found);
    Cache *c = new Cache;
    t.SetAssocData(interp, kAssocName, reinterpret_cast<void *>(&cache_deleted), c);
    return c;
}

// Whether the text is one command of plain words (see above).
bool plain_command(const char *s, Py_ssize_t n) {
    auto plain = [](char ch) {
        if ((ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') || (ch >= '0' && ch <= '9'))
            return true;
        for (const char *p = "_:.,+-*/%=<>!?@&|^~'()"; *p; ++p)
            if (*p == ch)
                return true;
        return false;
    };
    int words = 1;
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (s[i] == ' ') {
            if (i == 0 || i == n - 1 || s[i - 1] == ' ' || ++words > kMaxWords)
                return false;
        } else if (!plain(s[i])) {
            return false;
        }
    }
    return n > 0;
}

tcl::Obj *words_of(const std::string &text) {
    const tcl::Api &t = tcl::api();
    tcl::Obj *words[kMaxWords];
    int n = 0;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find(' ', start);
        if (end == std::string::npos)
            end = text.size();
        words[n++] = t.NewStringObj(text.data() + start, static_cast<int>(end - start));
        start = end + 1;
    }
    tcl::Obj *list = t.NewListObj(n, words);
    tcl::incr_ref(list);
    return list;
}

// Puts the read trace on the variable, making the variable when there is
// none. False when something else made it (an array, traces of its own).
bool trace(tcl::Interp *interp, Cache *c) {
    const tcl::Api &t = tcl::api();
    if (!tcl::untraced_value(interp, kVariable)) {
        if (t.FindNamespaceVar(interp, kVariable, nullptr, kGlobalOnly)) {
            c->refused = true;
            return false;
        }
        // (A variable being made has no traces to run.)
        if (!t.SetVar2Ex(interp, kVariable, nullptr, t.NewStringObj("", 0), kGlobalOnly)) {
            c->refused = true;
            return false;
        }
    }
    if (t.TraceVar2(interp, kVariable, nullptr, kTraceReads | kGlobalOnly, on_read, c) != tcl::kOk) {
        c->refused = true;
        return false;
    }
    c->traced = true;
    return true;
}

PyObject *tcl_error() { return KX_ONCE(PyObject *, keep(import_attr("_tkinter", "TclError"))); }

// tk.<name>(*args): _tkinter's own C function when it is the class's.
PyObject *tkapp_call(nb::handle tk, PyObject *name, PyObject *args) {
    PyObject *descr = type_lookup(Py_TYPE(tk.ptr()), name);
    if (descr && Py_IS_TYPE(descr, &PyMethodDescr_Type)) {
        PyMethodDef *def = reinterpret_cast<PyMethodDescrObject *>(descr)->d_method;
        if (def->ml_flags == METH_VARARGS &&
            PyObject_TypeCheck(tk.ptr(), reinterpret_cast<PyMethodDescrObject *>(descr)->d_common.d_type))
            return def->ml_meth(tk.ptr(), args);
    }
    nb::object method = nb::steal(PyObject_GetAttr(tk.ptr(), name));
    return method.is_valid() ? PyObject_Call(method.ptr(), args, nullptr) : nullptr;
}

// tk.getvar(kVariable)
PyObject *read_variable(nb::handle tk) {
    PyObject *args = KX_ONCE(PyObject *, keep(nb::make_tuple(nb::handle(KX_STR(KX_QUICK_EVAL_NAME)))));
    return tkapp_call(tk, KX_ID(getvar), args);
}

// The command's way, when it may be taken now: the command made the first
// time, then the word _tkinter is to call it by (null when not).
nb::object command_word(Entry &entry, tcl::Interp *interp, Cache *c) {
    const tcl::Api &t = tcl::api();
    if (!c->probed) {
        c->probed = true;
        c->counters = tcl::interp_counters(interp);
        if (c->counters && !t.FindCommand(interp, kVariable, nullptr, kGlobalOnly)) {
            c->command = t.CreateObjCommand(interp, kVariable, on_call, c, command_deleted);
            c->empty = t.NewStringObj("", 0);
            tcl::incr_ref(c->empty);
        }
    }
    if (!c->command || *c->counters.traces || t.LimitTypeEnabled(interp, tcl::kLimitCommands) ||
        t.LimitTypeEnabled(interp, tcl::kLimitTime))
        return nb::object();
    nb::object word = entry.command_word(KX_STR(KX_QUICK_EVAL_NAME));
    // (The command renamed away, or another made under its name, is not ours.)
    if (!word.is_valid() ||
        t.GetCommandFromObj(interp, reinterpret_cast<TkTclObject *>(word.ptr())->value) != c->command)
        return nb::object();
    return word;
}

// tk.call(word): the script through the command. False when it did not run.
bool run_command(nb::handle tk, tcl::Interp *interp, Cache *c, nb::handle word, tcl::Obj *words,
                 PyObject **result) {
    PyObject *error_type = tcl_error();  // (found before anything can fail)
    nb::object args = nb::make_tuple(word);
    c->armed = words;
    c->ran = false;
    PyObject *called = tkapp_call(tk, KX_ID(call), args.ptr());
    c->armed = nullptr;
    Py_XDECREF(called);
    const tcl::Api &t = tcl::api();
    if (!c->ran) {
        if (!called && !PyErr_ExceptionMatches(error_type)) {
            *result = nullptr;
            return true;
        }
        if (!called)
            PyErr_Clear();
        return false;
    }
    if (c->result) {
        tcl::Obj *value = c->result;
        c->result = nullptr;
        t.SetObjResult(interp, value);
        int length = 0;
        const char *text = t.GetStringFromObj(value, &length);
        *result = tcl::decode(text, static_cast<size_t>(length)).release().ptr();
        tcl::decr_ref(value);
        if (!called)  // (a failure past the script: none is known)
            PyErr_Clear();
        return true;
    }
    if (called || !c->state)
        return false;  // (not reached: the script failed, and so did the call)
    PyErr_Clear();
    t.RestoreInterpState(interp, c->state);
    c->state = nullptr;
    int length = 0;
    const char *text = t.GetStringFromObj(t.GetObjResult(interp), &length);
    PyErr_SetObject(error_type, tcl::decode(text, static_cast<size_t>(length)).ptr());
    *result = nullptr;
    return true;
}

bool run(nb::handle tk, tcl::Interp *interp, Cache *c, tcl::Obj *words, PyObject **result) {
    PyObject *error_type = tcl_error();  // (found before anything can fail)
    c->armed = words;
    c->ran = false;
    PyObject *read = read_variable(tk);
    c->armed = nullptr;
    Py_XDECREF(read);
    if (!c->ran) {
        // Nothing ran (the variable went, and the trace with it): tk.eval
        // runs the script, and the trace is put back next time.
        c->traced = false;
        if (!read && !PyErr_ExceptionMatches(error_type)) {
            *result = nullptr;  // (not Tcl's: raised as it is)
            return true;
        }
        if (!read)
            PyErr_Clear();
        return false;
    }
    if (!read)
        PyErr_Clear();  // (the read's own outcome: what matters is the script's)
    const tcl::Api &t = tcl::api();
    int code = t.RestoreInterpState(interp, c->state);
    c->state = nullptr;
    int length = 0;
    const char *text = t.GetStringFromObj(t.GetObjResult(interp), &length);
    nb::object value = tcl::decode(text, static_cast<size_t>(length));
    if (code == tcl::kOk) {
        *result = value.release().ptr();
    } else {
        PyErr_SetObject(error_type, value.ptr());
        *result = nullptr;
    }
    return true;
}

}  // namespace

bool quick_eval(Entry &entry, nb::handle tk, PyObject *code, PyObject **result) {
    if (!PyUnicode_CheckExact(code) || !PyUnicode_IS_ASCII(code))
        return false;
    Py_ssize_t n = PyUnicode_GET_LENGTH(code);
    if (n == 0 || n > kMaxLength)
        return false;
    const char *text = static_cast<const char *>(PyUnicode_DATA(code));
    uint64_t hash = hash_of(text, static_cast<size_t>(n));
    if (!t_seen)
        t_seen.reset(new uint64_t[kSeenSlots]());
    uint64_t &seen = t_seen[hash % kSeenSlots];
    if (seen != hash) {
        seen = hash;
        return false;  // seen once: tk.eval runs it
    }
    tcl::Interp *interp = tcl::own_thread_interp(tk);
    if (!interp || tcl::api().InterpActive(interp))
        return false;
    Cache *c = cache_of(interp);
    if (c->refused)
        return false;
    auto found = c->scripts.find(hash);
    if (found == c->scripts.end()) {
        if (c->scripts.size() >= kMaxScripts)
            forget_scripts(c);
        auto made = std::make_unique<Script>();
        made->text.assign(text, static_cast<size_t>(n));
        if (plain_command(text, n))
            made->words = words_of(made->text);
        found = c->scripts.emplace(hash, std::move(made)).first;
    }
    Script &script = *found->second;
    if (!script.words || std::string_view(script.text) != std::string_view(text, static_cast<size_t>(n)))
        return false;
    nb::object word = command_word(entry, interp, c);
    if (!word.is_valid() && !c->traced && !trace(interp, c))
        return false;
    tcl::Obj *words = script.words;
    tcl::incr_ref(words);  // (held while it runs, whatever the cache does meanwhile)
    bool taken = false;
    try {
        taken = word.is_valid() ? run_command(tk, interp, c, word, words, result)
                                : run(tk, interp, c, words, result);
    } catch (...) {
        tcl::decr_ref(words);
        throw;
    }
    tcl::decr_ref(words);
    return taken;
}

}  // namespace bridge
}  // namespace kx
