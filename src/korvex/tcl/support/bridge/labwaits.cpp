#include "support/bridge/labwaits.hpp"

#include <dlfcn.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

namespace kx {
namespace labwaits {

struct Waits {
    tcl::Interp *interp;
    pthread_t thread;
    int refs = 1;           // the bridge's, and one per wrapper (interp thread only)
    bool detached = false;  // the bridge let go: nothing more is installed
    std::mutex mu;          // guards dbs (the watcher reads them)
    std::vector<void *> dbs;  // sqlite connections the interpreter opened
    std::atomic<int> io{0};   // blocking reads in progress
    std::atomic<int> stuck{0};  // waits nothing can break, in progress
    std::atomic<int> interrupts{0};  // Ctrl-Cs during the current one
    std::atomic<tcl::ThreadId> send_target{nullptr};  // the worker a synchronous send waits for
    std::atomic<bool> send_cancelled{false};
    int in_expect = 0;                // interp thread only
    std::vector<std::string> closed;  // spawn ids marked closed for an instant
};

namespace {

// Tcl functions the bridge's table does not hold (libtcl is global in the
// process once bound, see tcllib.cpp).
struct ChanApi {
    int (*GetChannelNamesEx)(tcl::Interp *, const char *) = nullptr;
    void *(*GetChannel)(tcl::Interp *, const char *, int *) = nullptr;
    void *(*GetChannelInstanceData)(void *) = nullptr;
    const void *(*GetChannelType)(void *) = nullptr;
    const char *(*GetChannelName)(void *) = nullptr;
};

const ChanApi *chan_api() {
    static const ChanApi api = [] {
        ChanApi a;
        a.GetChannelNamesEx = reinterpret_cast<decltype(a.GetChannelNamesEx)>(dlsym(RTLD_DEFAULT, "Tcl_GetChannelNamesEx"));
        a.GetChannel = reinterpret_cast<decltype(a.GetChannel)>(dlsym(RTLD_DEFAULT, "Tcl_GetChannel"));
        a.GetChannelInstanceData =
            reinterpret_cast<decltype(a.GetChannelInstanceData)>(dlsym(RTLD_DEFAULT, "Tcl_GetChannelInstanceData"));
        a.GetChannelType = reinterpret_cast<decltype(a.GetChannelType)>(dlsym(RTLD_DEFAULT, "Tcl_GetChannelType"));
        a.GetChannelName = reinterpret_cast<decltype(a.GetChannelName)>(dlsym(RTLD_DEFAULT, "Tcl_GetChannelName"));
        return a;
    }();
    bool ok = api.GetChannelNamesEx && api.GetChannel && api.GetChannelInstanceData && api.GetChannelType &&
              api.GetChannelName;
    return ok ? &api : nullptr;
}

// The head of Expect 5.45's per-spawn-id state (exp_command.h), up to the
// flag that tells whether the spawn id is open.
struct ExpStateHead {
    void *channel;
    char name[16 + 24 + 1];
    long fdin;
    long fdout;
    void *chan_orig;
    long fd_slave;
    int valid_mask;
    int pid;
    struct {
        void *buffer;
        int max;
        int use;
        void *newchars;
    } input;
    int umsize;
    int printed;
    int echoed;
    int rm_nulls;
    int open;
};

// What the extensions export, found in the library behind one of their
// commands (the first interpreter to load one finds it for all).
std::atomic<int *> g_exp_configure_count{nullptr};
std::atomic<const void *> g_exp_channel_type{nullptr};
using InterruptFn = void (*)(void *);
std::atomic<InterruptFn> g_sqlite_interrupt{nullptr};

void *library_symbol(void *code, const char *name) {
    Dl_info info{};
    if (!code || !dladdr(code, &info) || !info.dli_fname)
        return nullptr;
    void *lib = dlopen(info.dli_fname, RTLD_LAZY | RTLD_NOLOAD);
    if (!lib)
        return nullptr;
    void *sym = dlsym(lib, name);  // (the library's dependencies too)
    dlclose(lib);                  // (the library itself stays loaded)
    return sym;
}

enum class Kind { kLoad, kRead, kExpect, kSqliteOpen, kSqliteDb, kStuck, kThreadSend, kSleep };

struct Wrap {
    Kind kind;
    Waits *w;
    tcl::ObjCmdProc proc;
    void *data;
    tcl::CmdDeleteProc del;
    void *del_data;
    void *db = nullptr;
};

void release(Waits *w) {
    if (--w->refs == 0)
        delete w;
}

int wrapped(void *cd, tcl::Interp *interp, int objc, tcl::Obj *const objv[]);
void install(Waits *w);
tcl::ThreadId prepare_send(int objc, tcl::Obj *const objv[]);

void unwrapped(void *cd) {
    Wrap *x = static_cast<Wrap *>(cd);
    if (x->kind == Kind::kSqliteDb) {
        std::lock_guard<std::mutex> lock(x->w->mu);
        auto &dbs = x->w->dbs;
        for (auto it = dbs.begin(); it != dbs.end(); ++it)
            if (*it == x->db) {
                dbs.erase(it);
                break;
            }
    }
    if (x->del)
        x->del(x->del_data);
    release(x->w);
    delete x;
}

// Puts a wrapper of `kind` around command `name` (when it exists and is not
// wrapped yet); null when it did not.
Wrap *wrap(Waits *w, const char *name, Kind kind) {
    const tcl::Api &api = tcl::api();
    tcl::CmdInfo info;
    if (!api.GetCommandInfo(w->interp, name, &info) || !info.isNativeObjectProc || info.objProc == wrapped ||
        info.deleteProc == unwrapped)
        return nullptr;
    Wrap *x = new Wrap{kind, w, info.objProc, info.objClientData, info.deleteProc, info.deleteData};
    ++w->refs;
    if (kind != Kind::kSqliteDb) {  // (a database's command may be called without its objProc)
        info.objProc = wrapped;
        info.objClientData = x;
    }
    info.deleteProc = unwrapped;
    info.deleteData = x;
    api.SetCommandInfo(w->interp, name, &info);
    return x;
}

// A database command that `sqlite3` just made: its connection is the first
// field of its data, whose second is the interpreter.
void track_database(Waits *w, tcl::Obj *name_obj) {
    const tcl::Api &api = tcl::api();
    const char *name = api.GetStringFromObj(name_obj, nullptr);
    tcl::CmdInfo info;
    if (!api.GetCommandInfo(w->interp, name, &info) || !info.objClientData)
        return;
    void **data = static_cast<void **>(info.objClientData);
    if (data[1] != w->interp || !data[0])
        return;
    if (!g_sqlite_interrupt.load())
        g_sqlite_interrupt = reinterpret_cast<InterruptFn>(library_symbol((void *)info.objProc, "sqlite3_interrupt"));
    if (Wrap *x = wrap(w, name, Kind::kSqliteDb)) {
        x->db = data[0];
        std::lock_guard<std::mutex> lock(w->mu);
        w->dbs.push_back(data[0]);
    }
}

// Marks the spawn ids of the interpreter open again.
void reopen(Waits *w) {
    const ChanApi *c = chan_api();
    if (w->closed.empty() || !c)
        return;
    const tcl::Api &api = tcl::api();
    tcl::Obj *saved = api.GetObjResult(w->interp);
    tcl::incr_ref(saved);
    for (const std::string &name : w->closed) {
        void *chan = c->GetChannel(w->interp, name.c_str(), nullptr);
        if (!chan || c->GetChannelType(chan) != g_exp_channel_type.load())
            continue;
        auto *es = static_cast<ExpStateHead *>(c->GetChannelInstanceData(chan));
        if (es && es->channel == chan && es->open == 0)
            es->open = 1;
    }
    w->closed.clear();
    api.SetObjResult(w->interp, saved);
    tcl::decr_ref(saved);
}

// A blocking read that a signal interrupted (EINTR) is read again unless
// the interpreter is being stopped: a harmless signal with a Python handler
// (whose C handler Python installs without SA_RESTART) must not fail it.
// Tcl keeps what it had read in the channel's buffers, so nothing is lost.
int read_retrying(Wrap *x, tcl::Interp *interp, int objc, tcl::Obj *const objv[]) {
    static const auto get_errno = reinterpret_cast<int (*)()>(dlsym(RTLD_DEFAULT, "Tcl_GetErrno"));
    static const auto async_ready = reinterpret_cast<int (*)()>(dlsym(RTLD_DEFAULT, "Tcl_AsyncReady"));
    static const auto canceled = reinterpret_cast<int (*)(tcl::Interp *, int)>(dlsym(RTLD_DEFAULT, "Tcl_Canceled"));
    const tcl::Api &api = tcl::api();
    for (;;) {
        int rc = x->proc(x->data, interp, objc, objv);
        if (rc != tcl::kError || !get_errno || !async_ready || !canceled || get_errno() != EINTR)
            return rc;
        // (The checks that signal or deadline asked for run first.)
        if (async_ready())
            rc = api.AsyncInvoke(interp, rc);
        if (canceled(interp, 0) != tcl::kOk || rc != tcl::kError)
            return rc;
        api.ResetResult(interp);
    }
}

// Tcl's own `after`, the command procedure every interpreter's `after`
// starts with (taken from the first interpreter the bridge sets up, before
// any script could rename it), and its data.
std::atomic<tcl::ObjCmdProc> g_after{nullptr};
std::atomic<void *> g_after_data{nullptr};

// Whether `proc` is a command procedure of TclX's library.
bool from_tclx(tcl::ObjCmdProc proc) { return library_symbol((void *)proc, "Tclx_Init") != nullptr; }

// TclX's `sleep SECONDS` waits in Tcl_Sleep, which neither a signal nor Tcl's
// asynchronous handlers interrupt. The same wait runs in Tcl's own `after`
// instead, which runs the checks (Ctrl-C, time limits, Tcl's own limits and
// cancellation) at least every half second. The argument is read as TclX
// reads it (a floating-point number; its whole seconds count, so below one
// second and negative ones wait not at all); what TclX rejects, TclX itself
// answers, with its own message. TclX computes the milliseconds in 32 bits,
// so that beyond 24 days its waits wrap round (`sleep 4294968` waited 0.7
// seconds, `sleep -4294966` 1.3): here every count of whole seconds waits
// that long.
int sleep_stoppably(Wrap *x, tcl::Interp *interp, int objc, tcl::Obj *const objv[]) {
    using GetDouble = int (*)(tcl::Interp *, tcl::Obj *, double *);
    static const auto get_double = reinterpret_cast<GetDouble>(dlsym(RTLD_DEFAULT, "Tcl_GetDoubleFromObj"));
    tcl::ObjCmdProc after = g_after.load();
    double seconds = 0;
    if (objc != 2 || !after || !get_double || get_double(nullptr, objv[1], &seconds) != tcl::kOk ||
        seconds != seconds)
        return x->proc(x->data, interp, objc, objv);
    const tcl::Api &api = tcl::api();
    api.ResetResult(interp);
    if (!(seconds >= 1))
        return tcl::kOk;
    constexpr double kForever = 1e15;  // seconds: ~30 million years
    long long ms = (long long)(seconds < kForever ? seconds : kForever) * 1000;
    tcl::Obj *words[2] = {api.NewStringObj("after", 5), api.NewWideIntObj(ms)};
    tcl::incr_ref(words[0]);
    tcl::incr_ref(words[1]);
    int rc = after(g_after_data.load(), interp, 2, words);
    tcl::decr_ref(words[0]);
    tcl::decr_ref(words[1]);
    return rc;
}

int wrapped(void *cd, tcl::Interp *interp, int objc, tcl::Obj *const objv[]) {
    Wrap *x = static_cast<Wrap *>(cd);
    Waits *w = x->w;
    ++w->refs;  // (the command may be deleted during the call)
    int rc;
    switch (x->kind) {
    case Kind::kLoad:
        rc = x->proc(x->data, interp, objc, objv);
        if (!w->detached)
            install(w);
        break;
    case Kind::kRead:
        ++w->io;
        rc = read_retrying(x, interp, objc, objv);
        --w->io;
        break;
    case Kind::kSleep:
        rc = sleep_stoppably(x, interp, objc, objv);
        break;
    case Kind::kExpect:
        ++w->in_expect;
        rc = x->proc(x->data, interp, objc, objv);
        --w->in_expect;
        reopen(w);
        break;
    case Kind::kSqliteOpen:
        rc = x->proc(x->data, interp, objc, objv);
        if (rc == tcl::kOk && objc >= 3 && !w->detached)
            track_database(w, objv[1]);
        break;
    case Kind::kThreadSend:
    case Kind::kStuck: {
        tcl::ThreadId target = nullptr;
        if (x->kind == Kind::kThreadSend && !(target = prepare_send(objc, objv))) {
            rc = x->proc(x->data, interp, objc, objv);
            break;
        }
        tcl::ThreadId outer = w->send_target.exchange(target);
        bool outer_cancelled = w->send_cancelled.exchange(false);
        if (w->stuck++ == 0)
            w->interrupts = 0;
        rc = x->proc(x->data, interp, objc, objv);
        --w->stuck;
        w->send_target = outer;
        w->send_cancelled = outer_cancelled;
        break;
    }
    default:
        rc = x->proc(x->data, interp, objc, objv);
    }
    release(w);
    return rc;
}

// --- Thread's workers ------------------------------------------------------
//
// A synchronous `thread::send` waits on a condition variable until the
// worker answers. Before the first such send to a worker, an event queued
// ahead of the script gives that worker an asynchronous handler of its own;
// stopping the sender marks it, and the worker unwinds the script it runs
// (as `thread::cancel` would: a script that catches the error goes on;
// unwinding would end the worker's own `thread::wait`), so it answers at
// once and goes on serving.

struct Workers {
    std::mutex mu;
    std::vector<std::pair<tcl::ThreadId, tcl::AsyncHandler>> handlers;
};

Workers &workers() {
    static Workers *const w = new Workers;  // (threads may use it at exit)
    return *w;
}

tcl::AsyncHandler worker_handler(tcl::ThreadId id) {
    for (auto &h : workers().handlers)
        if (h.first == id)
            return h.second;
    return nullptr;
}

int worker_async(void *, tcl::Interp *interp, int code) {
    const tcl::Api &api = tcl::api();
    for (int depth = 0; interp && api.GetParent(interp) && depth < 1000; ++depth)
        interp = api.GetParent(interp);
    if (interp)
        api.CancelEval(interp, nullptr, nullptr, 0);
    return code;
}

void worker_exit(void *) {
    const tcl::Api &api = tcl::api();
    tcl::ThreadId me = api.GetCurrentThread();
    std::lock_guard<std::mutex> lock(workers().mu);
    auto &list = workers().handlers;
    for (auto it = list.begin(); it != list.end(); ++it)
        if (it->first == me) {
            api.AsyncDelete(it->second);
            list.erase(it);
            break;
        }
}

using ExitHandlerFn = void (*)(void (*)(void *), void *);

int worker_setup(tcl::Event *, int) {
    static const ExitHandlerFn on_exit =
        reinterpret_cast<ExitHandlerFn>(dlsym(RTLD_DEFAULT, "Tcl_CreateThreadExitHandler"));
    const tcl::Api &api = tcl::api();
    tcl::ThreadId me = api.GetCurrentThread();
    {
        std::lock_guard<std::mutex> lock(workers().mu);
        if (worker_handler(me) || !on_exit)
            return 1;
        workers().handlers.emplace_back(me, api.AsyncCreate(worker_async, nullptr));
    }
    on_exit(worker_exit, nullptr);
    return 1;
}

// The worker a synchronous send goes to (null for an asynchronous one or
// none recognised), given a handler first.
tcl::ThreadId prepare_send(int objc, tcl::Obj *const objv[]) {
    const tcl::Api &api = tcl::api();
    for (int i = 1; i < objc; ++i) {
        const char *arg = api.GetStringFromObj(objv[i], nullptr);
        if (std::strcmp(arg, "-async") == 0)
            return nullptr;
        if (arg[0] == '-')
            continue;
        void *id = nullptr;
        if (std::sscanf(arg, "tid%p", &id) != 1 || !id || id == api.GetCurrentThread())
            return nullptr;
        {
            std::lock_guard<std::mutex> lock(workers().mu);
            if (worker_handler(id))
                return id;
        }
        auto *event = reinterpret_cast<tcl::Event *>(api.Alloc(sizeof(tcl::Event)));
        event->proc = worker_setup;
        event->nextPtr = nullptr;
        api.ThreadQueueEvent(id, event, tcl::kQueueTail);
        api.ThreadAlert(id);
        return id;
    }
    return nullptr;
}

void install(Waits *w) {
    static const char *const expect_names[] = {"::expect",      "::exp_expect",     "::expect_user",
                                               "::exp_expect_user", "::expect_tty", "::exp_expect_tty"};
    for (const char *name : expect_names) {
        Wrap *x = wrap(w, name, Kind::kExpect);
        if (x && !g_exp_configure_count.load()) {
            g_exp_channel_type = library_symbol((void *)x->proc, "expChannelType");
            g_exp_configure_count = static_cast<int *>(library_symbol((void *)x->proc, "exp_configure_count"));
        }
    }
    // TclX's waits: `sleep` (see sleep_stoppably), and those in a system call
    // that a signal interrupts (`wait` for a process, `select` on channels,
    // `flock` of a file held elsewhere), as blocking reads are.
    tcl::CmdInfo info;
    if (tcl::api().GetCommandInfo(w->interp, "::sleep", &info) && info.isNativeObjectProc &&
        from_tclx(info.objProc))
        wrap(w, "::sleep", Kind::kSleep);
    for (const char *name : {"::wait", "::select", "::flock"})
        if (tcl::api().GetCommandInfo(w->interp, name, &info) && info.isNativeObjectProc &&
            from_tclx(info.objProc))
            wrap(w, name, Kind::kRead);
    wrap(w, "::sqlite3", Kind::kSqliteOpen);
    wrap(w, "::thread::send", Kind::kThreadSend);
    wrap(w, "::tpool::wait", Kind::kStuck);
}

// A signal whose handler does nothing, without SA_RESTART: sent to a thread,
// it makes the system call the thread waits in fail with EINTR. -1 when none
// is free (somebody else handles it).
void nothing(int) {}

int kick_signal() {
    static const int sig = [] {
        int candidate = SIGRTMIN + 7;
        struct sigaction old;
        if (candidate > SIGRTMAX || sigaction(candidate, nullptr, &old) != 0)
            return -1;
        if (!(old.sa_flags & SA_SIGINFO) && old.sa_handler == nothing)
            return candidate;
        if ((old.sa_flags & SA_SIGINFO) || old.sa_handler != SIG_DFL)
            return -1;
        struct sigaction act;
        std::memset(&act, 0, sizeof act);
        act.sa_handler = nothing;
        sigemptyset(&act.sa_mask);
        act.sa_flags = 0;
        return sigaction(candidate, &act, nullptr) == 0 ? candidate : -1;
    }();
    return sig;
}

}  // namespace

Waits *attach(tcl::Interp *interp) {
    Waits *w = new Waits;
    w->interp = interp;
    w->thread = pthread_self();
    tcl::CmdInfo after;
    if (!g_after.load() && tcl::api().GetCommandInfo(interp, "::after", &after) && after.isNativeObjectProc &&
        after.objProc && library_symbol((void *)after.objProc, "Tcl_CreateInterp")) {
        g_after_data = after.objClientData;
        g_after = after.objProc;
    }
    wrap(w, "::load", Kind::kLoad);
    for (const char *name : {"::gets", "::read", "::tcl::chan::gets", "::tcl::chan::read"})
        wrap(w, name, Kind::kRead);
    return w;
}

void detach(Waits *&w) {
    if (!w)
        return;
    w->detached = true;
    release(w);
    w = nullptr;
}

void on_stop(Waits *w) {
    int *count = g_exp_configure_count.load();
    const ChanApi *c = chan_api();
    if (!w || w->in_expect == 0 || !count || !c || !g_exp_channel_type.load())
        return;
    // Expect re-validates its spawn ids once its configuration count changes:
    // those marked closed make it return an error at once, before it reads
    // or matches anything.
    const tcl::Api &api = tcl::api();
    tcl::Obj *saved = api.GetObjResult(w->interp);
    tcl::incr_ref(saved);
    if (c->GetChannelNamesEx(w->interp, "exp*") == tcl::kOk) {
        tcl::Obj *names = api.GetObjResult(w->interp);
        tcl::incr_ref(names);
        int n = 0;
        tcl::Obj **items = nullptr;
        if (api.ListObjGetElements(nullptr, names, &n, &items) == tcl::kOk) {
            for (int i = 0; i < n; ++i) {
                const char *name = api.GetStringFromObj(items[i], nullptr);
                void *chan = c->GetChannel(w->interp, name, nullptr);
                if (!chan || c->GetChannelType(chan) != g_exp_channel_type.load())
                    continue;
                auto *es = static_cast<ExpStateHead *>(c->GetChannelInstanceData(chan));
                if (!es || es->channel != chan || std::strncmp(es->name, name, sizeof es->name) != 0 ||
                    es->open != 1)
                    continue;
                es->open = 0;
                w->closed.push_back(name);
            }
        }
        tcl::decr_ref(names);
    }
    api.SetObjResult(w->interp, saved);
    tcl::decr_ref(saved);
    if (!w->closed.empty())
        ++*count;
}

void on_watch(void *data, bool deadline) {
    Waits *w = static_cast<Waits *>(data);
    if (InterruptFn interrupt = g_sqlite_interrupt.load()) {
        std::lock_guard<std::mutex> lock(w->mu);
        for (void *db : w->dbs)
            interrupt(db);
    }
    if (w->io.load() > 0) {
        // Sent only while the do-nothing handler is still the signal's: one
        // reset to the default since (by a script, a library) would make the
        // signal end the process.
        int sig = kick_signal();
        struct sigaction now;
        if (sig > 0 && sigaction(sig, nullptr, &now) == 0 && !(now.sa_flags & SA_SIGINFO) &&
            now.sa_handler == nothing)
            pthread_kill(w->thread, sig);
    }
    tcl::ThreadId target = w->send_target.load();
    if (target && !w->send_cancelled.exchange(true)) {
        std::lock_guard<std::mutex> lock(workers().mu);
        if (tcl::AsyncHandler h = worker_handler(target))
            tcl::api().AsyncMark(h);
    }
    if (!deadline && w->stuck.load() > 0 && w->interrupts++ >= 1) {
        // The second Ctrl-C during a wait nothing can break: as under tclsh.
        signal(SIGINT, SIG_DFL);
        kill(getpid(), SIGINT);
    }
}

}  // namespace labwaits
}  // namespace kx
