// korvex.tcl.profiler._trace: the measuring half of the Tcl profiler (the
// Python half, korvex.tcl.profiler, makes tables, pstats files and collapsed
// stacks of what this records).
//
// A session watches interpreters through two command traces each
// (Tcl_CreateObjTrace with TCL_ALLOW_INLINE_COMPILATION): one Tcl calls
// before and one after every command it invokes rather than runs as
// bytecode. Procedure and method calls, `apply`, Python callbacks and C
// commands are invoked; `set`, `incr`, `if` and friends inside a compiled body
// are not, so the bytecode keeps its speed. Each invoked command is named once
// per command token (or per method, or per lambda) and becomes an entry on a
// stack of the interpreter's thread, or is let through when it is a built-in
// command and commands are not asked for: its time then is its caller's own.
// The leave trace Tcl calls with the same argument vector as the enter one
// (errors unwinding included), which pairs the two.
//
// Naming may run Tcl (a procedure's file and line, a method's class), never
// while the session's lock is held; a Python callback is named with the GIL
// taken for a moment. Time spent naming is left out of the entries open.
#include "support/bridge/bridgestate.hpp"
#include "support/bridge/callguard.hpp"
#include "support/python/module.hpp"
#include "support/tcl/tcllib.hpp"

#include <nanobind/stl/string.h>
#include <nanobind/stl/tuple.h>
#include <nanobind/stl/vector.h>

#include <dlfcn.h>
#include <time.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

using namespace nb::literals;

namespace kx {
namespace {

using tcl::Interp;
using tcl::Obj;

long long now_ns() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (long long)ts.tv_sec * 1000000000LL + ts.tv_nsec;
}

std::string text_of(Obj *obj) {
    int n = 0;
    const char *s = tcl::api().GetStringFromObj(obj, &n);
    return std::string(s, (size_t)n);
}

// -- what a session counts ---------------------------------------------------------

struct Func {
    std::string name, file;
    int line;
};

struct Tally {
    unsigned long long calls = 0, primitive = 0;  // all calls, those not inside another of the same
    long long own = 0, total = 0;                 // ns
    int active = 0;                               // calls open now (not reset by take)
};

struct Node {  // a path of the call tree, for collapsed stacks
    int parent, func;
    long long own;
};

struct Session {
    bool commands;
    std::atomic<bool> closed{false};
    std::mutex mu;  // guards what follows (read from Python's thread, written from Tcl's)
    std::vector<Func> funcs;
    std::map<std::string, int> func_index;
    std::vector<Tally> tallies;
    std::unordered_map<unsigned long long, Tally> edges;  // caller + 1 << 32 | callee
    std::vector<Node> nodes;
    std::unordered_map<unsigned long long, int> node_index;  // parent + 1 << 32 | func
    std::vector<struct Attachment *> roots;
    long long paused = 0;  // when pause() was called, or 0

    explicit Session(bool c) : commands(c) {}

    int func_for(const std::string &name, const std::string &file, int line) {
        std::string key = name + '\0' + file + '\0' + std::to_string(line);
        auto it = func_index.find(key);
        if (it != func_index.end())
            return it->second;
        int id = (int)funcs.size();
        funcs.push_back({name, file, line});
        tallies.emplace_back();
        func_index.emplace(std::move(key), id);
        return id;
    }

    int node_for(int parent, int func) {
        unsigned long long key = ((unsigned long long)(parent + 1) << 32) | (unsigned)func;
        auto it = node_index.find(key);
        if (it != node_index.end())
            return it->second;
        int id = (int)nodes.size();
        nodes.push_back({parent, func, 0});
        node_index.emplace(key, id);
        return id;
    }

    Tally &edge(int caller, int callee) {
        return edges[((unsigned long long)(caller + 1) << 32) | (unsigned)callee];
    }
};

// An entry open on a thread's stack.
struct Frame {
    Tally *edge;  // the caller's edge to it (the map's nodes stay put)
    int func, node;
    long long start, sub;  // ns: when it began, what its callees took
};

// A command in progress, entry or not, and how many entries were open when it began.
struct Mark {
    tcl::Command token;
    Obj *const *objv;
    size_t frames;
};
constexpr size_t kMaxMarks = 1 << 16;

// The stack of one thread's interpreters (a watched one and the children it made).
struct Stack {
    std::vector<Frame> frames;
    std::vector<Mark> marks;
    bool busy = false;  // naming runs Tcl: its commands are not the program's
    long long naming = 0;  // ns naming took since the last entry (not the program's time)
};

// The stack whose call is being named in this thread: the Tcl that naming
// runs is no call of the program for any session.
thread_local Stack *t_naming = nullptr;

// Counts the time of a step of naming (Tcl run, the GIL taken) against the stack.
struct NamingTime {
    long long start = now_ns();
    ~NamingTime() {
        if (t_naming)
            t_naming->naming += now_ns() - start;
    }
};

enum Kind { kProc, kApply, kObject, kMy, kNext, kPython, kBuiltin, kInterp, kDefine };

struct Known {
    void *client;  // the command's data when it was named: a new proc has new data
    Kind kind;
    int func;      // kProc, kPython, kBuiltin, kInterp (-1: no entry)
    std::string object, cls;  // kObject, kMy: the object's name and class
};

struct Attachment {
    tcl::ThreadId thread;  // the interpreter's
    std::shared_ptr<Session> session;
    std::shared_ptr<Stack> stack;
    Interp *interp;
    std::string path;    // "" for a watched interpreter, the child's path from it for a child
    std::string prefix;  // "" or "{path} "
    tcl::Trace enter = nullptr, leave = nullptr;
    int traces = 0;  // of the two, those Tcl has not deleted
    Attachment *parent = nullptr;
    std::vector<Attachment *> children;
    std::unordered_map<void *, Known> known;
    std::unordered_map<std::string, int> keyed;  // methods and lambdas by name
    // Where procedures were defined while watched (by token, with their data).
    std::unordered_map<void *, std::pair<void *, std::pair<std::string, int>>> defined;
    tcl::ObjCmdProc object_proc = nullptr;  // the command procedure of TclOO's objects
};

std::mutex g_sessions_mu;
std::map<long long, std::shared_ptr<Session>> g_sessions;
long long g_next_session = 1;

std::shared_ptr<Session> session_of(long long id) {
    std::lock_guard<std::mutex> lock(g_sessions_mu);
    auto it = g_sessions.find(id);
    if (it == g_sessions.end()) {
        PyErr_Format(PyExc_ValueError, "no profiling session %lld", id);
        throw nb::python_error();
    }
    return it->second;
}

// -- naming ----------------------------------------------------------------------------

// Runs a command made of `words` in the interpreter (at the current frame)
// and gives its result, or false when it fails. The interpreter's state is
// as before.
bool run(Interp *interp, std::initializer_list<Obj *> words, std::string &out) {
    NamingTime timed;
    const tcl::Api &api = tcl::api();
    std::vector<Obj *> v(words);
    Obj *cmd = api.NewListObj((int)v.size(), v.data());
    tcl::incr_ref(cmd);
    tcl::InterpState state = api.SaveInterpState(interp, tcl::kOk);
    int code = api.EvalObjEx(interp, cmd, 0);
    if (code == tcl::kOk)
        out = text_of(api.GetObjResult(interp));
    api.RestoreInterpState(interp, state);
    tcl::decr_ref(cmd);
    return code == tcl::kOk;
}

Obj *str(const std::string &s) { return tcl::api().NewStringObj(s.data(), (int)s.size()); }

// The list elements of `text` (none when it is no list).
std::vector<std::string> elements(const std::string &text) {
    const tcl::Api &api = tcl::api();
    std::vector<std::string> out;
    Obj *list = str(text);
    tcl::incr_ref(list);
    int n = 0;
    Obj **items = nullptr;
    if (api.ListObjGetElements(nullptr, list, &n, &items) == tcl::kOk)
        for (int i = 0; i < n; ++i)
            out.push_back(text_of(items[i]));
    tcl::decr_ref(list);
    return out;
}

// Where the body of a procedure, method or lambda was defined, as Tcl's
// bytecode inspector reports it: `words` follow getbytecode.
void locate(Interp *interp, std::initializer_list<Obj *> words, std::string &file, int &line) {
    NamingTime timed;
    std::vector<Obj *> all{str("::tcl::unsupported::getbytecode")};
    all.insert(all.end(), words.begin(), words.end());
    const tcl::Api &api = tcl::api();
    Obj *cmd = api.NewListObj((int)all.size(), all.data());
    tcl::incr_ref(cmd);
    tcl::InterpState state = api.SaveInterpState(interp, tcl::kOk);
    if (api.EvalObjEx(interp, cmd, 0) == tcl::kOk) {
        Obj *dict = api.GetObjResult(interp);
        tcl::incr_ref(dict);
        Obj *key = str("sourcefile"), *value = nullptr;
        tcl::incr_ref(key);
        if (api.DictObjGet(nullptr, dict, key, &value) == tcl::kOk && value) {
            std::string f = text_of(value);
            tcl::decr_ref(key);
            key = str("initiallinenumber");
            tcl::incr_ref(key);
            int l = 0;
            if (!f.empty() && api.DictObjGet(nullptr, dict, key, &value) == tcl::kOk && value &&
                api.GetIntFromObj(nullptr, value, &l) == tcl::kOk) {
                file = f;
                line = l;
            }
        }
        tcl::decr_ref(key);
        tcl::decr_ref(dict);
    }
    api.RestoreInterpState(interp, state);
    tcl::decr_ref(cmd);
}

std::string full_name(Interp *interp, tcl::Command token) {
    const tcl::Api &api = tcl::api();
    Obj *name = api.NewStringObj("", 0);
    tcl::incr_ref(name);
    api.GetCommandFullName(interp, token, name);
    std::string out = text_of(name);
    tcl::decr_ref(name);
    return out;
}

bool in_file(void *address, const char *part) {
    Dl_info info{};
    return address && dladdr(address, &info) && info.dli_fname && std::strstr(info.dli_fname, part);
}

bool same_file(void *a, void *b) {
    Dl_info ia{}, ib{};
    return a && b && dladdr(a, &ia) && dladdr(b, &ib) && ia.dli_fbase == ib.dli_fbase;
}

// The Python callable behind a command, when it is a Python callback:
// _tkinter's own, or one the package took over from _tkinter (its data is a
// bridge::Command, deleted by a procedure of the same module). Borrowed.
PyObject *python_callable(const tcl::CmdInfo &info) {
    void *proc = reinterpret_cast<void *>(info.objProc);
    if (in_file(proc, "_tkinter")) {
        auto *data = static_cast<bridge::TkCommandData *>(info.objClientData);
        return data ? data->func : nullptr;
    }
    if (!in_file(proc, "/korvex/tcl/") || !info.objClientData || info.deleteData != info.objClientData ||
        !same_file(proc, reinterpret_cast<void *>(info.deleteProc)))
        return nullptr;
    auto *c = static_cast<bridge::Command *>(info.objClientData);
    if (!in_file(reinterpret_cast<void *>(c->tk_proc), "_tkinter") || !c->guard)
        return nullptr;
    return guarded_callable(c->guard);
}

// python:module.qualname, with the file and first line of its code.
void name_python(PyObject *callable, std::string &name, std::string &file, int &line) {
    NamingTime timed;
    PyGILState_STATE gil = PyGILState_Ensure();
    {
        nb::object fn = nb::borrow(callable);
        for (const char *inner : {"__func__", "func"}) {  // bound methods, functools.partial
            if (PyObject_HasAttrString(fn.ptr(), inner) && !PyObject_HasAttrString(fn.ptr(), "__code__")) {
                nb::object next = nb::steal(PyObject_GetAttrString(fn.ptr(), inner));
                if (next.is_valid())
                    fn = next;
            }
        }
        PyErr_Clear();
        auto text = [&](const char *attribute) -> std::string {
            nb::object v = nb::steal(PyObject_GetAttrString(fn.ptr(), attribute));
            const char *s = v.is_valid() && PyUnicode_Check(v.ptr()) ? PyUnicode_AsUTF8(v.ptr()) : nullptr;
            PyErr_Clear();
            return s ? s : "";
        };
        std::string module = text("__module__"), qualname = text("__qualname__");
        if (qualname.empty())
            qualname = Py_TYPE(fn.ptr())->tp_name;
        name = "python:" + (module.empty() ? "" : module + ".") + qualname;
        nb::object code = nb::steal(PyObject_GetAttrString(fn.ptr(), "__code__"));
        if (code.is_valid()) {
            nb::object f = nb::steal(PyObject_GetAttrString(code.ptr(), "co_filename"));
            nb::object l = nb::steal(PyObject_GetAttrString(code.ptr(), "co_firstlineno"));
            const char *text = f.is_valid() && PyUnicode_Check(f.ptr()) ? PyUnicode_AsUTF8(f.ptr()) : nullptr;
            if (text && l.is_valid() && PyLong_Check(l.ptr())) {
                file = text;
                line = (int)PyLong_AsLong(l.ptr());
            }
        }
        PyErr_Clear();
    }
    PyGILState_Release(gil);
}

std::string abbreviated(const std::string &text, size_t most) {
    std::string out;
    bool space = false;
    for (char c : text) {
        if (c == ' ' || c == '\t' || c == '\n' || c == '\r') {
            space = !out.empty();
            continue;
        }
        if (space)
            out += ' ';
        space = false;
        out += c;
        if (out.size() >= most) {
            out += "...";
            break;
        }
    }
    return out;
}

// The function of a method of an object of `cls` (or of the object itself
// when it has no class known), or -1 when the method is no entry.
int name_method(Attachment *a, const std::string &object, const std::string &cls, const std::string &method) {
    Session &s = *a->session;
    std::string key = "M" + (cls.empty() ? object : cls) + '\0' + method;
    auto found = a->keyed.find(key);
    if (found != a->keyed.end())
        return found->second;
    std::string chain, declarer, type, name, file = "~";
    int line = 0;
    if (run(a->interp, {str("::info"), str("object"), str("call"), str(object), str(method)}, chain))
        for (const std::string &call : elements(chain)) {
            std::vector<std::string> parts = elements(call);
            if (parts.size() >= 4 && parts[0] == "method") {
                declarer = parts[2];
                type = parts[3];
                break;
            }
        }
    bool script = type == "method";
    if (declarer == "object" || declarer.empty()) {
        name = object + " " + method;
        if (script)
            locate(a->interp, {str("objmethod"), str(object), str(method)}, file, line);
    } else {
        name = declarer + " " + method;
        if (script)
            locate(a->interp, {str("method"), str(declarer), str(method)}, file, line);
    }
    int func = -1;
    if (script || s.commands) {
        std::lock_guard<std::mutex> lock(s.mu);
        func = s.func_for(a->prefix + (script ? name : "<built-in " + name + ">"), file, line);
    }
    a->keyed.emplace(std::move(key), func);
    return func;
}

std::string class_of(Interp *interp, const std::string &object) {
    std::string cls;
    if (!run(interp, {str("::info"), str("object"), str("class"), str(object)}, cls))
        cls.clear();
    return cls;
}

// Called with naming allowed: the function of this call, or -1 to let it through.
int name_call(Attachment *a, tcl::Command token, int objc, Obj *const objv[]) {
    const tcl::Api &api = tcl::api();
    Session &s = *a->session;
    tcl::CmdInfo info{};
    if (!api.GetCommandInfoFromToken(token, &info))
        return -1;
    auto it = a->known.find(token);
    if (it == a->known.end() || it->second.client != info.objClientData) {
        Known k{info.objClientData, kBuiltin, -1, {}, {}};
        std::string name = full_name(a->interp, token), file = "~", answer;
        int line = 0;
        size_t colon = name.rfind(':');
        std::string tail = colon == std::string::npos ? name : name.substr(colon + 1);
        auto where = a->defined.find(token);
        if (info.objProc == api.InterpProc && where != a->defined.end() && where->second.first == info.objClientData) {
            k.kind = kProc;  // defined while watched: where was noted then
            file = where->second.second.first;
            line = where->second.second.second;
        } else if (info.objProc == api.InterpProc) {
            k.kind = kProc;
            locate(a->interp, {str("proc"), str(name)}, file, line);
        } else if (name == "::proc") {
            k.kind = kDefine;
        } else if (name == "::apply") {
            k.kind = kApply;
        } else if (name == "::interp") {
            k.kind = kInterp;
        } else if (name == "::oo::Helpers::next") {
            k.kind = kNext;
        } else if (PyObject *callable = python_callable(info)) {
            k.kind = kPython;
            name_python(callable, name, file, line);
        } else if (tail == "my" && run(a->interp, {str("self"), str("object")}, answer)) {
            k.kind = kMy;
            k.object = answer;
            k.cls = class_of(a->interp, answer);
        } else if ((info.objProc == a->object_proc ||
                    !same_file(reinterpret_cast<void *>(info.objProc), reinterpret_cast<void *>(api.InterpProc))) &&
                   run(a->interp, {str("::info"), str("object"), str("isa"), str("object"), str(name)}, answer) &&
                   answer == "1") {
            k.kind = kObject;
            k.object = name;
            k.cls = class_of(a->interp, name);
        } else if (colon != std::string::npos && colon >= 2 && !same_file(reinterpret_cast<void *>(info.objProc),
                                                                          reinterpret_cast<void *>(api.InterpProc)) &&
                   run(a->interp, {str("::info"), str("object"), str("isa"), str("class"), str(name.substr(0, colon - 1))},
                       answer) && answer == "1") {
            // A method called from inside its class by its own name (Itcl's
            // way): named as the class's method.
            k.kind = kProc;
            name = name.substr(0, colon - 1) + " " + tail;
            locate(a->interp, {str("method"), str(name.substr(0, colon - 1)), str(tail)}, file, line);
        }
        if (k.kind == kProc || k.kind == kPython ||
            ((k.kind == kBuiltin || k.kind == kInterp || k.kind == kDefine) && s.commands)) {
            std::string shown = k.kind == kProc || k.kind == kPython ? name : "<built-in " + name + ">";
            std::lock_guard<std::mutex> lock(s.mu);
            k.func = s.func_for(a->prefix + shown, file, line);
        }
        it = a->known.insert_or_assign(token, std::move(k)).first;
    }
    const Known &k = it->second;
    switch (k.kind) {
    case kProc:
    case kPython:
    case kBuiltin:
    case kInterp:
    case kDefine:
        return k.func;
    case kObject:
    case kMy:
        return objc >= 2 ? name_method(a, k.object, k.cls, text_of(objv[1])) : -1;
    case kNext: {
        std::string next;
        std::vector<std::string> parts;
        if (!run(a->interp, {str("self"), str("next")}, next) || (parts = elements(next)).size() != 2)
            return -1;
        return name_method(a, parts[0], parts[0], parts[1]);
    }
    default:
        break;
    }
    // A lambda, named by its text.
    if (objc < 2)
        return -1;
    std::string lambda = text_of(objv[1]), key = "A" + lambda;
    auto found = a->keyed.find(key);
    if (found != a->keyed.end())
        return found->second;
    std::string file = "~";
    int line = 0;
    locate(a->interp, {str("lambda"), objv[1]}, file, line);
    int func;
    {
        std::lock_guard<std::mutex> lock(s.mu);
        func = s.func_for(a->prefix + "apply {" + abbreviated(lambda, 40) + "}", file, line);
    }
    a->keyed.emplace(std::move(key), func);
    return func;
}

// -- the traces ------------------------------------------------------------------------

void attach_to(const std::shared_ptr<Session> &session, const std::shared_ptr<Stack> &stack, Interp *interp,
               Attachment *parent, const std::string &path);

int on_enter(void *data, Interp *, int, const char *, tcl::Command token, int objc, Obj *const objv[]) {
    auto *a = static_cast<Attachment *>(data);
    Stack &st = *a->stack;
    Session &s = *a->session;
    if (st.busy || t_naming || s.closed.load(std::memory_order_relaxed))
        return tcl::kOk;
    st.busy = true;
    t_naming = &st;
    int func = name_call(a, token, objc, objv);
    t_naming = nullptr;
    st.busy = false;
    if (st.naming) {
        for (Frame &f : st.frames)
            f.start += st.naming;
        st.naming = 0;
    }
    long long t = now_ns();
    if (st.marks.size() >= kMaxMarks)  // left behind by commands whose leave never came
        st.marks.erase(st.marks.begin(), st.marks.begin() + kMaxMarks / 2);
    st.marks.push_back({token, objv, st.frames.size()});
    if (func < 0)
        return tcl::kOk;
    std::lock_guard<std::mutex> lock(s.mu);
    int caller = st.frames.empty() ? -1 : st.frames.back().func;
    int node = s.node_for(st.frames.empty() ? -1 : st.frames.back().node, func);
    s.tallies[func].active++;
    Tally *edge = &s.edge(caller, func);
    edge->active++;
    st.frames.push_back({edge, func, node, t, 0});
    return tcl::kOk;
}

// Closes the top frame at `t` (the session's lock held).
void close_top(Session &s, Stack &st, long long t) {
    Frame f = st.frames.back();
    st.frames.pop_back();
    long long total = t - f.start, own = total - f.sub;
    if (own < 0)
        own = 0;
    for (Tally *tally : {&s.tallies[f.func], f.edge}) {
        tally->calls++;
        tally->own += own;
        if (--tally->active <= 0) {
            tally->active = 0;
            tally->primitive++;
            tally->total += total;
        }
    }
    s.nodes[f.node].own += own;
    if (!st.frames.empty())
        st.frames.back().sub += total;
}

// A procedure just defined: where its `proc` command stands (Tcl's frame
// data for the command in progress), much cheaper than asking its bytecode
// at its first call.
void note_definition(Attachment *a, Interp *interp, Obj *name) {
    const tcl::Api &api = tcl::api();
    std::string where;
    Stack &st = *a->stack;
    st.busy = true;
    t_naming = &st;
    bool ok = run(interp, {str("::info"), str("frame"), str("-1")}, where);
    t_naming = nullptr;
    st.busy = false;
    std::vector<std::string> items = ok ? elements(where) : std::vector<std::string>();
    std::string file;
    int line = 0;
    for (size_t i = 0; i + 1 < items.size(); i += 2) {
        if (items[i] == "file")
            file = items[i + 1];
        else if (items[i] == "line")
            line = std::atoi(items[i + 1].c_str());
    }
    if (file.empty() || line <= 0)
        return;
    tcl::Command token = api.FindCommand(interp, text_of(name).c_str(), nullptr, 0);
    tcl::CmdInfo info{};
    if (token && api.GetCommandInfoFromToken(token, &info) && info.objProc == api.InterpProc)
        a->defined[token] = {info.objClientData, {file, line}};
}

int on_leave(void *data, Interp *interp, int, const char *, tcl::Command token, int objc, Obj *const objv[]) {
    auto *a = static_cast<Attachment *>(data);
    Stack &st = *a->stack;
    Session &s = *a->session;
    if (st.busy || t_naming)  // Tcl run to name a call (of any session) is not the program's
        return tcl::kOk;
    long long t = now_ns();
    const Known *k = nullptr;
    auto it = a->known.find(token);
    if (it != a->known.end())
        k = &it->second;
    if (k && k->kind == kInterp && objc >= 2 && !s.closed.load(std::memory_order_relaxed) &&
        text_of(objv[1]) == "create") {
        // A child: watched too, its entries on this stack.
        std::string path = text_of(tcl::api().GetObjResult(interp));
        if (Interp *child = tcl::api().GetChild(interp, path.c_str()))
            attach_to(a->session, a->stack, child, a, a->path.empty() ? path : a->path + " " + path);
    }
    if (k && k->kind == kDefine && objc == 4 && !s.closed.load(std::memory_order_relaxed))
        note_definition(a, interp, objv[1]);
    // The mark of this very call: on top, or below marks a coroutine left
    // when it yielded. The entries opened since it began end now (those of
    // a coroutine that yielded too: their later time is not theirs).
    size_t n = st.marks.size(), depth = 0;
    while (depth < n && depth < 64 && !(st.marks[n - 1 - depth].token == token && st.marks[n - 1 - depth].objv == objv))
        ++depth;
    if (depth == n || depth == 64)
        return tcl::kOk;
    size_t frames = st.marks[n - 1 - depth].frames;
    st.marks.resize(n - 1 - depth);
    if (st.frames.size() <= frames)
        return tcl::kOk;
    std::lock_guard<std::mutex> lock(s.mu);
    while (st.frames.size() > frames)
        close_top(s, st, t);
    return tcl::kOk;
}

void unlink(Attachment *a) {
    if (a->parent) {
        auto &siblings = a->parent->children;
        for (auto i = siblings.begin(); i != siblings.end(); ++i)
            if (*i == a) {
                siblings.erase(i);
                break;
            }
    } else {
        std::lock_guard<std::mutex> lock(a->session->mu);
        auto &roots = a->session->roots;
        for (auto i = roots.begin(); i != roots.end(); ++i)
            if (*i == a) {
                roots.erase(i);
                break;
            }
    }
    for (Attachment *child : a->children)
        child->parent = nullptr;  // its own traces go with its interpreter, or with detach()
}

void trace_deleted(void *data) {
    auto *a = static_cast<Attachment *>(data);
    if (--a->traces == 0) {
        unlink(a);
        delete a;
    }
}

void attach_to(const std::shared_ptr<Session> &session, const std::shared_ptr<Stack> &stack, Interp *interp,
               Attachment *parent, const std::string &path) {
    const tcl::Api &api = tcl::api();
    auto *a = new Attachment;
    a->thread = api.GetCurrentThread();
    a->session = session;
    a->stack = stack;
    a->interp = interp;
    a->path = path;
    a->prefix = path.empty() ? "" : "{" + path + "} ";
    a->parent = parent;
    a->traces = 2;
    tcl::CmdInfo info{};
    if (api.GetCommandInfo(interp, "::oo::object", &info))
        a->object_proc = info.objProc;
    a->enter = api.CreateObjTrace(interp, 0, tcl::kTraceEnter | tcl::kAllowInline, on_enter, a, trace_deleted);
    a->leave = api.CreateObjTrace(interp, 0, tcl::kTraceLeave | tcl::kAllowInline, on_leave, a, trace_deleted);
    if (parent) {
        parent->children.push_back(a);
    } else {
        std::lock_guard<std::mutex> lock(session->mu);
        session->roots.push_back(a);
    }
}

// Removes the traces of `a` and of the children it made.
void remove(Attachment *a) {
    std::vector<Attachment *> children = a->children;
    for (Attachment *child : children)
        remove(child);
    Interp *interp = a->interp;
    tcl::Trace enter = a->enter, leave = a->leave;
    tcl::api().DeleteTrace(interp, enter);  // may free a: read nothing of it after the second
    tcl::api().DeleteTrace(interp, leave);
}

Attachment *root_for(Session &s, Interp *interp) {
    std::lock_guard<std::mutex> lock(s.mu);
    for (Attachment *a : s.roots)
        if (a->interp == interp)
            return a;
    return nullptr;
}

// -- the module's functions ----------------------------------------------------------

long long new_session(bool commands) {
    std::lock_guard<std::mutex> lock(g_sessions_mu);
    long long id = g_next_session++;
    g_sessions.emplace(id, std::make_shared<Session>(commands));
    return id;
}

bool attach(long long id, nb::handle interp_obj, const std::vector<std::string> &children) {
    std::shared_ptr<Session> s = session_of(id);
    Interp *interp = tcl::interp_ptr(interp_obj);
    if (!interp)
        throw nb::value_error("no Tcl interpreter to profile");
    if (s->closed.load() || root_for(*s, interp))
        return false;
    auto stack = std::make_shared<Stack>();
    attach_to(s, stack, interp, nullptr, "");
    Attachment *root = root_for(*s, interp);
    for (const std::string &path : children)  // the children it has already
        if (Interp *child = tcl::api().GetChild(interp, path.c_str()))
            attach_to(s, stack, child, root, path);
    return true;
}

void detach(long long id, nb::handle interp_obj) {
    std::shared_ptr<Session> s = session_of(id);
    Interp *interp = tcl::interp_ptr(interp_obj);
    if (!interp)
        return;
    if (Attachment *a = root_for(*s, interp)) {
        // Entries still open end now, as the profile does.
        {
            std::lock_guard<std::mutex> lock(s->mu);
            long long t = now_ns();
            a->stack->marks.clear();
            while (!a->stack->frames.empty())
                close_top(*s, *a->stack, t);
        }
        remove(a);
    }
}

// From pause() to resume(), the entries open in this thread's interpreters
// stand still: the time is another's (pytest's, between the turns of a
// tcltest file's test run inside an open `tcltest::test`).
void pause_session(long long id) {
    std::shared_ptr<Session> s = session_of(id);
    std::lock_guard<std::mutex> lock(s->mu);
    if (!s->paused)
        s->paused = now_ns();
}

void resume_session(long long id) {
    std::shared_ptr<Session> s = session_of(id);
    std::lock_guard<std::mutex> lock(s->mu);
    if (!s->paused)
        return;
    long long still = now_ns() - s->paused;
    s->paused = 0;
    tcl::ThreadId here = tcl::api().GetCurrentThread();
    for (Attachment *a : s->roots)
        if (a->thread == here)
            for (Frame &f : a->stack->frames)
                f.start += still;
}

using Taken = std::tuple<std::vector<std::tuple<std::string, std::string, int>>,
                         std::vector<std::tuple<int, unsigned long long, unsigned long long, long long, long long>>,
                         std::vector<std::tuple<int, int, unsigned long long, unsigned long long, long long, long long>>,
                         std::vector<std::tuple<std::vector<int>, long long>>>;

Taken take(long long id) {
    std::shared_ptr<Session> s = session_of(id);
    Taken out;
    auto &[funcs, tallies, edges, stacks] = out;
    std::lock_guard<std::mutex> lock(s->mu);
    for (const Func &f : s->funcs)
        funcs.emplace_back(f.name, f.file, f.line);
    for (size_t i = 0; i < s->tallies.size(); ++i) {
        Tally &t = s->tallies[i];
        if (t.calls)
            tallies.emplace_back((int)i, t.calls, t.primitive, t.own, t.total);
        t.calls = t.primitive = 0;
        t.own = t.total = 0;
    }
    for (auto &e : s->edges) {
        Tally &t = e.second;
        if (t.calls)
            edges.emplace_back((int)(e.first >> 32) - 1, (int)(e.first & 0xffffffffu), t.calls, t.primitive, t.own,
                               t.total);
        t.calls = t.primitive = 0;
        t.own = t.total = 0;
    }
    for (Node &n : s->nodes) {
        if (n.own > 0) {
            std::vector<int> path;
            for (const Node *p = &n;; p = &s->nodes[(size_t)p->parent]) {
                path.insert(path.begin(), p->func);
                if (p->parent < 0)
                    break;
            }
            stacks.emplace_back(std::move(path), n.own);
        }
        n.own = 0;
    }
    return out;
}

void close_session(long long id) {
    std::shared_ptr<Session> s;
    {
        std::lock_guard<std::mutex> lock(g_sessions_mu);
        auto it = g_sessions.find(id);
        if (it == g_sessions.end())
            return;
        s = it->second;
        g_sessions.erase(it);
    }
    // Traces still in place (of interpreters not detached) do nothing from
    // now on, and go with their interpreters.
    s->closed.store(true);
}

}  // namespace
}  // namespace kx

KX_MODULE(_trace, m) {
    using namespace kx;
    tcl::api();
    m.def("new_session", &new_session, "commands"_a = false,
          "A new profiling session (with `commands`, built-in and C commands are entries too); its id.");
    m.def("attach", &attach, "session"_a, "interp"_a.none(), "children"_a = std::vector<std::string>(),
          "Watch this interpreter, the children at these paths (Tcl lists) and the child interpreters\n"
          "they make for the session; False when it is watched already, or the session is closed.\n"
          "Runs in the interpreter's thread.");
    m.def("detach", &detach, "session"_a, "interp"_a.none(),
          "Stop watching this interpreter, ending the entries still open. Runs in its thread.");
    m.def("take", &take, "session"_a,
          "(functions, tallies, edges, stacks) counted since the last take, and counting starts\n"
          "again: functions are (name, file, line) by index; tallies (function, calls, primitive\n"
          "calls, own ns, total ns); edges (caller or -1, callee, calls, primitive, own, total);\n"
          "stacks (path of functions, own ns).");
    m.def("pause", &pause_session, "session"_a,
          "Time from now until resume() is not the entries' open in this thread's interpreters.");
    m.def("resume", &resume_session, "session"_a, "See pause().");
    m.def("close_session", &close_session, "session"_a,
          "End a session: its traces do nothing from now on (detach first to remove them).");
}
