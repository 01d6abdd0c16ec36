// TclX's signal traps beside Python and beside other interpreters.
//
// TclX's `signal` sets the process's C handler itself (under Python's feet:
// signal.getsignal does not see it) and keeps one process-wide table of trap
// commands. A signal that arrives while an interpreter is evaluating runs its
// trap there; one that arrives while the event loop waits (`vwait`, `update`,
// `after`) runs it in the first interpreter that ever loaded TclX, which here
// is the package's shared interpreter, never the one waiting; and only in
// the thread that interpreter lives in.
//
// So `signal` is wrapped in each interpreter. Around TclX's own command, the
// wrapper records which signals it changed and, for those TclX now traps,
// puts its own C handler in TclX's place: it counts the signal and marks an
// asynchronous handler of the interpreter whose `signal` set the trap. That
// handler runs in the interpreter's own thread, at Tcl's next safe point
// (within an evaluation, or the event loop's next turn), and evaluates the
// trap in that interpreter, with TclX's semantics: an error in a trap (or a
// signal set to `error`) fails the command being evaluated, or is a
// background error when the event loop was waiting. While TclX's own
// command runs, TclX's handler stands where ours does, so `signal get`
// reports "trap" and "error" as TclX knows them.
//
// Each signal remembers its disposition before TclX first changed it (Python's
// handler, or the default). release_signals() puts it back for the signals the
// interpreter changed last, unless something else (Python's signal.signal,
// another interpreter) has changed it since, and drops their pending traps.
#include "support/tcl/tclxhooks.hpp"

#include <sched.h>
#include <signal.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

namespace kx {
namespace tclx {
namespace {

constexpr int kMaxSig = NSIG;
using Handler = void (*)(int);

struct Owner {
    tcl::Interp *interp;
    tcl::Command token;            // TclX's `signal` in this interpreter
    tcl::CmdInfo original;         // its own procedures
    tcl::ThreadId thread;          // the interpreter's thread
    tcl::AsyncHandler async = nullptr;  // made with the first trap
    bool released = false;         // close(): `signal` is TclX's alone again
};

struct Record {
    Owner *owner = nullptr;     // whose `signal` changed it last; null: not changed through one
    struct sigaction saved {};  // the disposition before that first change
    Handler left = nullptr;     // what the owner's `signal` left in place
    bool trap = false;          // a trap command (else `error`, `default` or `ignore`)
    std::string command;        // the trap command
};

// Guards g_records and g_tclx_trap, and serialises TclX's own (unlocked)
// signal tables between threads. Never held while Tcl code runs.
std::mutex g_lock;
Record g_records[kMaxSig];
Handler g_tclx_trap = nullptr;  // TclX's C handler, seen once its `signal` installed it

// Read by the C handler: the asynchronous handler of each signal's owner,
// signals not yet delivered, handlers running now, Tcl_AsyncMark.
std::atomic<tcl::AsyncHandler> g_route[kMaxSig];
std::atomic<unsigned> g_pending[kMaxSig];
std::atomic<int> g_in_handler{0};
std::atomic<void (*)(tcl::AsyncHandler)> g_mark{nullptr};

constexpr const char *kAssocName = "korvex-tclx-signal";

Handler handler_of(const struct sigaction &sa) {
    return (sa.sa_flags & SA_SIGINFO) ? reinterpret_cast<Handler>(reinterpret_cast<void *>(sa.sa_sigaction)) : sa.sa_handler;
}

void on_signal(int sig) {
    int saved_errno = errno;
    g_in_handler.fetch_add(1);
    if (sig > 0 && sig < kMaxSig) {
        g_pending[sig].fetch_add(1);
        tcl::AsyncHandler async = g_route[sig].load();
        auto mark = g_mark.load();
        if (async && mark)
            mark(async);
    }
    g_in_handler.fetch_sub(1);
    errno = saved_errno;
}

void put_handler(int sig, const struct sigaction &like, Handler handler) {
    struct sigaction sa = like;
    sa.sa_flags &= ~SA_SIGINFO;
    sa.sa_handler = handler;
    sigaction(sig, &sa, nullptr);
}

// The number of the signal Tcl names `name` ("SIGALRM"), or 0.
int number_of(const char *name) {
    const hooks::Api &h = hooks::api();
    for (int s = 1; s < kMaxSig; ++s)
        if (std::strcmp(h.SignalId(s), name) == 0)
            return s;
    return 0;
}

tcl::Obj *text(const char *s) { return tcl::api().NewStringObj(s, -1); }

// The elements of list `obj` (none when it is not one).
std::vector<tcl::Obj *> items(tcl::Obj *obj) {
    int n = 0;
    tcl::Obj **v = nullptr;
    if (!obj || tcl::api().ListObjGetElements(nullptr, obj, &n, &v) != tcl::kOk)
        return {};
    return std::vector<tcl::Obj *>(v, v + n);
}

const char *str(tcl::Obj *o) { return tcl::api().GetStringFromObj(o, nullptr); }

// TclX's `signal get LIST` in `o`'s interpreter, as (signal, action, command)
// for each signal in it; the interpreter's state is left as it was.
struct State {
    int sig;
    std::string action;
    std::string command;
};
std::vector<State> states(Owner *o, tcl::Obj *list) {
    const tcl::Api &t = tcl::api();
    const hooks::Api &h = hooks::api();
    std::vector<State> out;
    hooks::InterpState saved = h.SaveInterpState(o->interp, tcl::kOk);
    tcl::Obj *words[3] = {text("signal"), text("get"), list};
    for (tcl::Obj *w : words)
        tcl::incr_ref(w);
    if (o->original.objProc(o->original.objClientData, o->interp, 3, words) == tcl::kOk) {
        tcl::Obj *result = t.GetObjResult(o->interp);
        tcl::incr_ref(result);
        for (tcl::Obj *entry : items(result)) {
            std::vector<tcl::Obj *> kv = items(entry);
            if (kv.size() != 2)
                continue;
            std::vector<tcl::Obj *> st = items(kv[1]);
            int sig = number_of(str(kv[0]));
            if (sig && st.size() >= 3)
                out.push_back({sig, str(st[0]), str(st[2])});
        }
        tcl::decr_ref(result);
    }
    for (tcl::Obj *w : words)
        tcl::decr_ref(w);
    h.RestoreInterpState(o->interp, saved);
    return out;
}

int route(void *cd, tcl::Interp *active, int code);

// After TclX's `signal` ran in `o`: takes the signals it set as `o`'s and
// puts our handler where TclX's now is.
void take_over(Owner *o, int objc, tcl::Obj *const objv[], const struct sigaction *before, bool ok) {
    const tcl::Api &t = tcl::api();
    struct sigaction after[kMaxSig];
    std::vector<tcl::Obj *> names;
    for (int s = 1; s < kMaxSig; ++s) {
        sigaction(s, nullptr, &after[s]);
        Handler was = handler_of(before[s]) == on_signal ? g_tclx_trap : handler_of(before[s]);
        Handler now = handler_of(after[s]);
        if (now == was)
            continue;
        if (!g_tclx_trap && now != SIG_DFL && now != SIG_IGN && now != on_signal)
            g_tclx_trap = now;
        names.push_back(text(hooks::api().SignalId(s)));
    }
    // The signals named, even those whose handler stayed the same (a new
    // trap command, or one another interpreter had set).
    int first = 1;
    while (first < objc && str(objv[first])[0] == '-')
        ++first;
    if (ok && first + 1 < objc) {
        std::string action = str(objv[first]);
        if (action == "set") {
            for (tcl::Obj *entry : items(objv[first + 1])) {
                std::vector<tcl::Obj *> kv = items(entry);
                if (!kv.empty())
                    names.push_back(kv[0]);
            }
        } else if (action == "trap" || action == "error" || action == "default" || action == "ignore") {
            names.push_back(objv[first + 1]);
        }
    }
    std::vector<bool> seen(kMaxSig, false);
    // One `signal get` for each name (a list of names is flattened; "*"
    // stands alone), so that one bad name leaves the others known.
    std::vector<tcl::Obj *> flat;
    for (tcl::Obj *n : names) {
        std::vector<tcl::Obj *> parts = items(n);
        flat.insert(flat.end(), parts.begin(), parts.end());
    }
    for (tcl::Obj *n : names)
        tcl::incr_ref(n);
    for (tcl::Obj *n : flat)
        tcl::incr_ref(n);
    for (tcl::Obj *name : flat) {
        tcl::Obj *one = t.NewListObj(1, &name);
        tcl::incr_ref(one);
        for (const State &st : states(o, one)) {
            if (seen[st.sig])
                continue;
            seen[st.sig] = true;
            Record &r = g_records[st.sig];
            if (!r.owner)
                r.saved = before[st.sig];
            r.owner = o;
            r.trap = st.action == "trap";
            r.command = st.command;
            r.left = handler_of(after[st.sig]);
        }
        tcl::decr_ref(one);
    }
    for (tcl::Obj *n : flat)
        tcl::decr_ref(n);
    for (tcl::Obj *n : names)
        tcl::decr_ref(n);
    for (int s = 1; s < kMaxSig; ++s) {
        if (!g_tclx_trap || handler_of(after[s]) != g_tclx_trap)
            continue;
        Record &r = g_records[s];
        if (!r.owner)
            continue;  // set by an interpreter that does not report to us
        if (seen[s])
            r.left = on_signal;
        if (r.owner == o && !o->async)
            o->async = t.AsyncCreate(route, o);
        g_route[s].store(r.owner->async);
        put_handler(s, after[s], on_signal);
    }
    for (int s = 1; s < kMaxSig; ++s)
        if (seen[s] && g_records[s].left != on_signal) {
            g_route[s].store(nullptr);
            g_pending[s].store(0);
        }
}

int signal_cmd(void *cd, tcl::Interp *interp, int objc, tcl::Obj *const objv[]) {
    auto *o = static_cast<Owner *>(cd);
    if (o->released)
        return o->original.objProc(o->original.objClientData, interp, objc, objv);
    std::lock_guard<std::mutex> lock(g_lock);
    struct sigaction before[kMaxSig];
    for (int s = 1; s < kMaxSig; ++s) {
        sigaction(s, nullptr, &before[s]);
        if (g_tclx_trap && handler_of(before[s]) == on_signal)
            put_handler(s, before[s], g_tclx_trap);  // TclX sees its own handler
    }
    int code = o->original.objProc(o->original.objClientData, interp, objc, objv);
    hooks::InterpState state = hooks::api().SaveInterpState(interp, code);
    take_over(o, objc, objv, before, code == tcl::kOk);
    return hooks::api().RestoreInterpState(interp, state);
}

// A trap command with %S replaced by the signal's name, as TclX formats it
// ("%%" stays as it is); false, with TclX's message in `out`, for any other %.
bool format_trap(const std::string &command, const char *name, std::string &out) {
    out.clear();
    for (size_t i = 0; i < command.size(); ++i) {
        char c = command[i];
        if (c != '%' || i + 1 >= command.size()) {
            out += c;
            continue;
        }
        char next = command[i + 1];
        if (next == '%') {
            out += "%%";
        } else if (next == 'S') {
            out += name;
        } else {
            out = std::string("bad signal trap command formatting specification \"%") + next +
                  "\", expected one of \"%%\" or \"%S\"";
            return false;
        }
        ++i;
    }
    return true;
}

// The error TclX raises for a signal set to `error`, left in `interp`.
void signal_error(tcl::Interp *interp, const char *name) {
    const tcl::Api &t = tcl::api();
    std::string message = std::string(name) + " signal received";
    t.SetObjResult(interp, t.NewStringObj(message.data(), (int)message.size()));
    tcl::Obj *code[3] = {text("POSIX"), text("SIG"), text(name)};
    t.SetObjErrorCode(interp, t.NewListObj(3, code));
    hooks::api().SetVar2Ex(interp, "errorInfo", nullptr, text(""), hooks::kGlobalOnly);
}

// One arrival of `sig`, for owner `o`; `active` is the interpreter Tcl is
// evaluating in (null in the event loop) and `code` the completion code of
// what it just did. Returns the code to go on with.
int deliver(Owner *o, tcl::Interp *active, int sig, int code, bool *failed) {
    const hooks::Api &h = hooks::api();
    const tcl::Api &t = tcl::api();
    bool trap;
    std::string command;
    {
        std::lock_guard<std::mutex> lock(g_lock);
        const Record &r = g_records[sig];
        if (r.owner != o)
            return code;
        trap = r.trap;
        command = r.command;
    }
    tcl::Interp *interp = o->interp;
    const char *name = h.SignalId(sig);
    if (!trap && active) {
        signal_error(active, name);  // stops what is running, as under TclX
        *failed = true;
        return tcl::kError;
    }
    bool here = active == interp;
    hooks::InterpState state = h.SaveInterpState(interp, here ? code : tcl::kOk);
    t.ResetResult(interp);
    int result = tcl::kError;
    if (!trap) {
        signal_error(interp, name);
    } else {
        std::string script;
        if (format_trap(command, name, script)) {
            result = h.EvalEx(interp, script.data(), (int)script.size(), hooks::kEvalGlobal);
        } else {
            t.SetObjResult(interp, t.NewStringObj(script.data(), (int)script.size()));
        }
        if (result == tcl::kError) {
            std::string info = std::string("\n    while executing signal trap code for ") + name + " signal";
            t.AddObjErrorInfo(interp, info.data(), (int)info.size());
        }
    }
    if (result != tcl::kError)
        return h.RestoreInterpState(interp, state);  // `code` when `here`
    if (here) {
        h.DiscardInterpState(state);
        *failed = true;
        return tcl::kError;
    }
    h.BackgroundException(interp, tcl::kError);
    h.RestoreInterpState(interp, state);
    return code;
}

// The asynchronous handler of owner `cd`: delivers each signal it owns as
// often as it arrived; after an error the rest waits for the next safe point.
int route(void *cd, tcl::Interp *active, int code) {
    auto *o = static_cast<Owner *>(cd);
    const tcl::Api &t = tcl::api();
    t.Preserve(o);
    t.Preserve(o->interp);
    bool failed = false;
    for (int s = 1; s < kMaxSig && !failed; ++s) {
        if (!o->async || g_route[s].load() != o->async)
            continue;
        unsigned n = g_pending[s].exchange(0);
        while (n > 0 && !failed && !o->released) {
            --n;
            code = deliver(o, active, s, code, &failed);
        }
        if (n > 0 && !o->released) {
            g_pending[s].fetch_add(n);
            t.AsyncMark(o->async);
        }
    }
    t.Release(o->interp);
    t.Release(o);
    return code;
}

// TclX's `signal default SIG` in `o`: TclX forgets the trap command it keeps
// for the signal (and sets the default disposition, which the caller replaces).
void forget_trap(Owner *o, int sig) {
    const hooks::Api &h = hooks::api();
    hooks::InterpState saved = h.SaveInterpState(o->interp, tcl::kOk);
    tcl::Obj *words[3] = {text("signal"), text("default"), text(h.SignalId(sig))};
    for (tcl::Obj *w : words)
        tcl::incr_ref(w);
    o->original.objProc(o->original.objClientData, o->interp, 3, words);
    for (tcl::Obj *w : words)
        tcl::decr_ref(w);
    h.RestoreInterpState(o->interp, saved);
}

void release(Owner *o) {
    if (!o->released) {
        std::lock_guard<std::mutex> lock(g_lock);
        o->released = true;
        for (int s = 1; s < kMaxSig; ++s) {
            Record &r = g_records[s];
            if (r.owner != o)
                continue;
            struct sigaction now;
            if (sigaction(s, nullptr, &now) != 0)
                continue;
            if (!hooks::api().InterpDeleted(o->interp))
                forget_trap(o, s);  // TclX's table keeps no command for it
            sigaction(s, handler_of(now) == r.left ? &r.saved : &now, nullptr);
            g_route[s].store(nullptr);
            g_pending[s].store(0);
            r = Record{};
        }
    }
    while (g_in_handler.load() != 0)
        sched_yield();  // a handler still marking the asynchronous handler
    if (o->async && tcl::api().GetCurrentThread() == o->thread) {
        tcl::api().AsyncDelete(o->async);
        o->async = nullptr;
    }
}

void free_owner(void *data) { delete static_cast<Owner *>(data); }

void interp_deleted(void *cd, tcl::Interp *) {
    auto *o = static_cast<Owner *>(cd);
    release(o);
    hooks::api().EventuallyFree(o, free_owner);
}

}  // namespace

void watch_signals(tcl::Interp *interp) {
    const tcl::Api &t = tcl::api();
    const hooks::Api &h = hooks::api();
    if (t.GetAssocData(interp, kAssocName, nullptr))
        return;
    tcl::Command token = t.FindCommand(interp, "::signal", nullptr, 0);
    tcl::CmdInfo info{};
    if (!token || !h.GetCommandInfoFromToken(token, &info) || !info.objProc)
        return;
    g_mark.store(t.AsyncMark);
    auto *o = new Owner{interp, token, info, t.GetCurrentThread()};
    t.SetAssocData(interp, kAssocName, reinterpret_cast<void *>(interp_deleted), o);
    tcl::CmdInfo wrapped = info;
    wrapped.objProc = signal_cmd;
    wrapped.objClientData = o;
    h.SetCommandInfoFromToken(token, &wrapped);
}

void release_signals(tcl::Interp *interp) {
    if (!interp)
        return;
    if (auto *o = static_cast<Owner *>(tcl::api().GetAssocData(interp, kAssocName, nullptr)))
        release(o);
}

}  // namespace tclx
}  // namespace kx
