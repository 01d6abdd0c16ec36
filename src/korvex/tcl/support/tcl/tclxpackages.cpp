// The package scan that the fast start-up of TclX skips, deferred to the
// first moment a script could tell it has not happened.
//
// A tclsh that loads TclX at start-up has run Tcl's package unknown handler
// once (`package require Tclx` found no Tclx declared), which sourced every
// pkgIndex.tcl on auto_path: every installed package is declared from then on
// and some index scripts extended auto_path. An interpreter here loads TclX
// without that scan: the first one of the process from the indexes that
// mention Tclx, later ones from the load script the first one found. The
// scan runs later, exactly as it would have run at start-up (the same
// handler, the same auto_path, `Tclx 0-` as arguments), at the first of:
// - a `package` subcommand that reads or changes what is declared (names,
//   versions, ifneeded, forget, unknown, require of a package not present);
// - a read, write or unset of ::auto_path.
// Until then `package` is wrapped and ::auto_path carries a variable trace
// (made from C, so `trace info` does not list it); both go when the scan has
// run, and `package` is Tcl's own command again.
//
// Two uses do not need the whole scan. A read of ::auto_path, when the first
// scan of the process started from the same auto_path: what the scan makes
// of auto_path is then known, and auto_path is given that value (Tcl's own
// `auto_import`, run by every `namespace import`, reads it). And `package require NAME` of a package
// that the first scan of the process (in whichever interpreter it ran)
// declared, from the same auto_path. The
// scan would declare the same versions with the same load scripts (found in
// the same files); those of NAME alone are declared from what the first
// interpreter found, and the require goes on without the scan, which stays
// deferred. (A test file's `package require tcltest` then costs what loading
// tcltest costs, not the sourcing of every pkgIndex.tcl installed.)
#include "support/tcl/tclxhooks.hpp"

#include <dlfcn.h>

#include <atomic>

#include <cstring>
#include <mutex>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace kx {
namespace tclx {

namespace hooks {
namespace {

Api g_api;
std::atomic<bool> g_bound{false};
std::mutex g_bind_lock;

template <typename Fn>
void resolve(void *handle, const char *name, Fn &fn) {
    void *sym = dlsym(handle, name);
    if (!sym) {
        PyErr_Format(PyExc_AttributeError, "Tcl library has no symbol %s", name);
        throw nb::python_error();
    }
    fn = reinterpret_cast<Fn>(sym);
}

}  // namespace

const Api &api() {
    if (g_bound.load(std::memory_order_acquire))
        return g_api;
    std::lock_guard<std::mutex> lock(g_bind_lock);
    if (g_bound.load(std::memory_order_relaxed))
        return g_api;
    // The library that the package's own table is bound to.
    Dl_info info{};
    void *known = reinterpret_cast<void *>(tcl::api().FindElement);
    void *handle = dladdr(known, &info) && info.dli_fname
                       ? dlopen(info.dli_fname, RTLD_NOW | RTLD_NOLOAD | RTLD_LOCAL) : nullptr;
    if (!handle) {
        PyErr_SetString(PyExc_ImportError, "Cannot find the Tcl library the package uses");
        throw nb::python_error();
    }
    Api a{};
    resolve(handle, "Tcl_EvalEx", a.EvalEx);
    resolve(handle, "Tcl_SaveInterpState", a.SaveInterpState);
    resolve(handle, "Tcl_RestoreInterpState", a.RestoreInterpState);
    resolve(handle, "Tcl_DiscardInterpState", a.DiscardInterpState);
    resolve(handle, "Tcl_BackgroundException", a.BackgroundException);
    resolve(handle, "Tcl_SignalId", a.SignalId);
    resolve(handle, "Tcl_GetCommandInfoFromToken", a.GetCommandInfoFromToken);
    resolve(handle, "Tcl_SetCommandInfoFromToken", a.SetCommandInfoFromToken);
    resolve(handle, "Tcl_TraceVar2", a.TraceVar2);
    resolve(handle, "Tcl_UntraceVar2", a.UntraceVar2);
    resolve(handle, "Tcl_GetVar2Ex", a.GetVar2Ex);
    resolve(handle, "Tcl_SetVar2Ex", a.SetVar2Ex);
    resolve(handle, "Tcl_UnsetVar2", a.UnsetVar2);
    resolve(handle, "Tcl_PkgPresentEx", a.PkgPresentEx);
    resolve(handle, "Tcl_GetVersion", a.GetVersion);
    resolve(handle, "Tcl_EventuallyFree", a.EventuallyFree);
    resolve(handle, "Tcl_InterpDeleted", a.InterpDeleted);
    dlclose(handle);  // the library stays: _tkinter holds it
    g_api = a;
    g_bound.store(true, std::memory_order_release);
    return g_api;
}

}  // namespace hooks

namespace {

using hooks::kGlobalOnly;

// The head of Tcl 8.6's command record, read only to keep a command's
// non-recursive procedure: Tcl_SetCommandInfoFromToken drops it when it
// changes the procedure, and Tcl's `package` has one (a `package require`
// inside a coroutine can yield). Used only where its fields agree with what
// Tcl_GetCommandInfoFromToken reports.
struct Command86 {
    void *hPtr;
    void *nsPtr;
    int refCount;
    int cmdEpoch;
    void *compileProc;
    tcl::ObjCmdProc objProc;
    void *objClientData;
    void *proc;
    void *clientData;
    tcl::CmdDeleteProc deleteProc;
    void *deleteData;
    int flags;
    void *importRefPtr;
    void *tracePtr;
    tcl::ObjCmdProc nreProc;
};

bool is_tcl86() {
    int major = 0, minor = 0, patch = 0, type = 0;
    hooks::api().GetVersion(&major, &minor, &patch, &type);
    return major == 8 && minor == 6;
}

// The command record behind `token` when it is laid out as Command86 says.
Command86 *command86(tcl::Command token, const tcl::CmdInfo &info) {
    if (!is_tcl86())
        return nullptr;
    auto *c = static_cast<Command86 *>(token);
    if (c->objProc != info.objProc || c->objClientData != info.objClientData ||
        c->deleteProc != info.deleteProc || c->deleteData != info.deleteData || c->proc != info.proc)
        return nullptr;
    return c;
}

// What the first scan of the process declared: for each package its versions
// and load scripts, and the auto_path the interpreter started from. Set once, never
// changed or freed after (interpreters in any thread read it).
struct Declared {
    std::string auto_path;
    bool scanned_path_known = false;
    std::string scanned_path;  // auto_path as the scan left it, when known
    std::unordered_map<std::string, std::vector<std::pair<std::string, std::string>>> packages;
};
std::atomic<const Declared *> g_declared{nullptr};

std::string text_of(tcl::Obj *obj) {
    int n = 0;
    const char *s = tcl::api().GetStringFromObj(obj, &n);
    return std::string(s, n);
}

struct Deferred {
    tcl::Interp *interp;
    tcl::Command token;      // Tcl's `package`, wherever it is renamed to
    tcl::CmdInfo original;   // its own procedures
    tcl::ObjCmdProc nre;     // and its non-recursive one (null when unknown)
    tcl::Obj *auto_path;     // auto_path as at start-up (held)
    tcl::Obj *before;        // and before TclX was loaded (held)
    bool path_settled = false;  // auto_path holds what the scan would make of it
};

char *auto_path_touched(void *cd, tcl::Interp *interp, const char *, const char *, int flags);

constexpr int kTraceFlags = kGlobalOnly | hooks::kTraceReads | hooks::kTraceWrites | hooks::kTraceUnsets;

void forget(Deferred *d) {
    tcl::decr_ref(d->auto_path);
    tcl::decr_ref(d->before);
    delete d;
}

// Puts `package` back as Tcl made it and drops the variable trace.
void unhook(Deferred *d) {
    const hooks::Api &h = hooks::api();
    h.UntraceVar2(d->interp, "auto_path", nullptr, kTraceFlags, auto_path_touched, d);
    tcl::CmdInfo now{};
    if (h.GetCommandInfoFromToken(d->token, &now) && now.objClientData == d) {
        h.SetCommandInfoFromToken(d->token, &d->original);
        if (d->nre) {
            tcl::CmdInfo back{};
            h.GetCommandInfoFromToken(d->token, &back);
            if (Command86 *c = command86(d->token, back))
                c->nreProc = d->nre;
        }
    }
}

// The elements of list `obj` (none for null or a non-list).
std::pair<int, tcl::Obj **> elements(tcl::Obj *obj) {
    int n = 0;
    tcl::Obj **v = nullptr;
    if (!obj || tcl::api().ListObjGetElements(nullptr, obj, &n, &v) != tcl::kOk)
        return {0, nullptr};
    return {n, v};
}

bool same_text(tcl::Obj *a, tcl::Obj *b) {
    int na = 0, nb = 0;
    const char *sa = tcl::api().GetStringFromObj(a, &na);
    const char *sb = tcl::api().GetStringFromObj(b, &nb);
    return na == nb && std::memcmp(sa, sb, na) == 0;
}

// Whether list `whole` starts with the elements of list `head`.
bool starts_with(const std::pair<int, tcl::Obj **> &whole, const std::pair<int, tcl::Obj **> &head) {
    if (whole.first < head.first)
        return false;
    for (int i = 0; i < head.first; ++i)
        if (!same_text(whole.second[i], head.second[i]))
            return false;
    return true;
}

// Keeps what is declared for later interpreters (the first record stays);
// frees `known` when one is kept already.
void keep(Declared *known) {
    const Declared *expected = nullptr;
    if (!g_declared.compare_exchange_strong(expected, known, std::memory_order_acq_rel))
        delete known;
}

// The result of Tcl's own `package WORD...` in `interp` (held), or null.
tcl::Obj *ask_package(const Deferred *d, tcl::Interp *interp, std::vector<tcl::Obj *> words) {
    const tcl::Api &t = tcl::api();
    words.insert(words.begin(), t.NewStringObj("package", -1));
    for (tcl::Obj *w : words)
        tcl::incr_ref(w);
    int code = d->original.objProc(d->original.objClientData, interp, (int)words.size(), words.data());
    for (tcl::Obj *w : words)
        tcl::decr_ref(w);
    if (code != tcl::kOk)
        return nullptr;
    tcl::Obj *result = t.GetObjResult(interp);
    tcl::incr_ref(result);
    return result;
}

// Right after the scan: every package it declared with its versions and load
// scripts, for later interpreters started from the auto_path it ran with
// (packages only provided, with no version declared, are left out: a later
// interpreter's require of one of those runs its own scan).
void remember_declared(const Deferred *d, tcl::Interp *interp, tcl::Obj *scanned_path) {
    if (g_declared.load(std::memory_order_acquire))
        return;
    const tcl::Api &t = tcl::api();
    auto *known = new Declared{text_of(d->before), scanned_path != nullptr,
                               scanned_path ? text_of(scanned_path) : std::string(), {}};
    bool ok = false;
    if (tcl::Obj *names = ask_package(d, interp, {t.NewStringObj("names", -1)})) {
        auto all = elements(names);
        ok = all.second != nullptr || all.first == 0;
        for (int i = 0; ok && i < all.first; ++i) {
            tcl::Obj *name = all.second[i];
            tcl::Obj *versions = ask_package(d, interp, {t.NewStringObj("versions", -1), name});
            auto each = elements(versions);
            ok = versions != nullptr;
            for (int k = 0; ok && k < each.first; ++k) {
                tcl::Obj *script =
                    ask_package(d, interp, {t.NewStringObj("ifneeded", -1), name, each.second[k]});
                ok = script != nullptr;
                if (ok) {
                    known->packages[text_of(name)].emplace_back(text_of(each.second[k]), text_of(script));
                    tcl::decr_ref(script);
                }
            }
            if (versions)
                tcl::decr_ref(versions);
        }
        tcl::decr_ref(names);
    }
    if (ok)
        keep(known);
    else
        delete known;
}

// What auto_path is after the scan: `scanned` (as the scan left it, which
// started from `before`, or from `loaded` when TclX's load did not merely
// append to `before`), the directories TclX's load appended and that the scan
// did not add, then what the script appended to `loaded` since (`now`). A
// script that replaced auto_path keeps its value: `now` itself (held).
tcl::Obj *settled_path(tcl::Obj *now, tcl::Obj *scanned_obj, const std::pair<int, tcl::Obj **> &before,
                       const std::pair<int, tcl::Obj **> &loaded, bool tclx_appended) {
    auto current = elements(now);
    if (!starts_with(current, loaded)) {
        tcl::incr_ref(now);
        return now;
    }
    auto scanned = elements(scanned_obj);
    std::vector<tcl::Obj *> all(scanned.second, scanned.second + scanned.first);
    for (int i = tclx_appended ? before.first : loaded.first; i < loaded.first; ++i) {
        bool there = false;
        for (tcl::Obj *o : all)
            there = there || same_text(o, loaded.second[i]);
        if (!there)
            all.push_back(loaded.second[i]);
    }
    all.insert(all.end(), current.second + loaded.first, current.second + current.first);
    tcl::Obj *path = tcl::api().NewListObj((int)all.size(), all.data());
    tcl::incr_ref(path);
    return path;
}

// For a read of auto_path before the scan: gives auto_path the value the scan
// would leave, when the first scan of the process started from the same
// auto_path (and from `before`, as this one would). The scan stays deferred;
// when it runs, it starts from `before` again and keeps what auto_path holds
// by then (the directories given here come out once). Whether it did.
bool settle_for_read(Deferred *d, tcl::Interp *interp) {
    if (d->path_settled)
        return true;
    const Declared *known = g_declared.load(std::memory_order_acquire);
    if (!known || !known->scanned_path_known || text_of(d->before) != known->auto_path)
        return false;
    auto before = elements(d->before);
    auto loaded = elements(d->auto_path);
    if (!starts_with(loaded, before))
        return false;
    const hooks::Api &h = hooks::api();
    tcl::Obj *now = h.GetVar2Ex(interp, "auto_path", nullptr, kGlobalOnly);
    if (!now)
        return false;
    tcl::Obj *scanned = tcl::api().NewStringObj(known->scanned_path.data(), (int)known->scanned_path.size());
    tcl::incr_ref(scanned);
    // (A scan that only appended: the later one, from `before` again, then
    // finds what is given here at the head of auto_path.)
    if (!starts_with(elements(scanned), before)) {
        tcl::decr_ref(scanned);
        return false;
    }
    tcl::incr_ref(now);
    tcl::Obj *path = settled_path(now, scanned, before, loaded, true);
    tcl::decr_ref(scanned);
    tcl::decr_ref(now);
    // (Inside this trace Tcl runs no trace of auto_path again.)
    bool set = h.SetVar2Ex(interp, "auto_path", nullptr, path, kGlobalOnly) != nullptr;
    if (set) {
        tcl::decr_ref(d->auto_path);
        d->auto_path = path;  // what the scan's merge now starts from (held)
        d->path_settled = true;
    } else {
        tcl::decr_ref(path);
    }
    return set;
}

// The scan, as Tcl's `package require Tclx` would have run it at start-up
// (before TclX's load added its own directory to auto_path, which it does
// only when the directory is not there yet); then auto_path as it would be
// now: what the scan and TclX made of it, followed by what the script has
// appended since (a script that replaced it keeps its value). Frees `d`.
void run_scan(Deferred *d) {
    const tcl::Api &t = tcl::api();
    const hooks::Api &h = hooks::api();
    tcl::Interp *interp = d->interp;
    unhook(d);
    hooks::InterpState state = h.SaveInterpState(interp, tcl::kOk);
    tcl::Obj *now = h.GetVar2Ex(interp, "auto_path", nullptr, kGlobalOnly);
    if (now)
        tcl::incr_ref(now);
    auto before = elements(d->before);
    auto loaded = elements(d->auto_path);
    bool tclx_appended = starts_with(loaded, before);
    h.SetVar2Ex(interp, "auto_path", nullptr, tclx_appended ? d->before : d->auto_path, kGlobalOnly);

    tcl::Obj *words[2] = {t.NewStringObj("package", -1), t.NewStringObj("unknown", -1)};
    for (tcl::Obj *w : words)
        tcl::incr_ref(w);
    bool scanned = false;
    if (d->original.objProc(d->original.objClientData, interp, 2, words) == tcl::kOk) {
        int n = 0;
        const char *handler = t.GetStringFromObj(t.GetObjResult(interp), &n);
        if (n > 0) {
            std::string script(handler, n);
            script += " Tclx 0-";
            scanned = h.EvalEx(interp, script.data(), (int)script.size(), hooks::kEvalGlobal) == tcl::kOk;
        }
    }
    for (tcl::Obj *w : words)
        tcl::decr_ref(w);
    tcl::Obj *left = h.GetVar2Ex(interp, "auto_path", nullptr, kGlobalOnly);
    if (left)
        tcl::incr_ref(left);
    if (scanned)
        remember_declared(d, interp, tclx_appended ? left : nullptr);

    if (!now) {
        h.UnsetVar2(interp, "auto_path", nullptr, kGlobalOnly);
    } else {
        tcl::Obj *path = settled_path(now, left, before, loaded, tclx_appended);
        h.SetVar2Ex(interp, "auto_path", nullptr, path, kGlobalOnly);
        tcl::decr_ref(path);
        tcl::decr_ref(now);
    }
    if (left)
        tcl::decr_ref(left);
    h.RestoreInterpState(interp, state);
    forget(d);
}

char *auto_path_touched(void *cd, tcl::Interp *interp, const char *, const char *, int flags) {
    if (flags & hooks::kInterpDestroyed)
        return nullptr;
    auto *d = static_cast<Deferred *>(cd);
    if ((flags & hooks::kTraceReads) && settle_for_read(d, interp))
        return nullptr;
    run_scan(d);
    return nullptr;
}

void package_deleted(void *cd) {
    auto *d = static_cast<Deferred *>(cd);
    if (!hooks::api().InterpDeleted(d->interp))
        hooks::api().UntraceVar2(d->interp, "auto_path", nullptr, kTraceFlags, auto_path_touched, d);
    forget(d);
}

// The subcommands of Tcl 8.6's `package`, and whether each can tell the scan
// has not run (`require` only for a package not yet present).
struct Sub {
    const char *name;
    bool reads_declared;
};
constexpr Sub kSubs[] = {{"forget", true},     {"ifneeded", true}, {"names", true},
                         {"prefer", false},    {"present", false}, {"provide", false},
                         {"require", true},    {"unknown", true},  {"vcompare", false},
                         {"versions", true},   {"vsatisfies", false}};

// The subcommand `word` names (Tcl takes unique prefixes), or null.
const Sub *subcommand(tcl::Obj *word) {
    int n = 0;
    const char *s = tcl::api().GetStringFromObj(word, &n);
    const Sub *found = nullptr;
    for (const Sub &sub : kSubs) {
        if (n == 0 || std::strncmp(sub.name, s, n) != 0)
            continue;
        if ((int)std::strlen(sub.name) == n)
            return &sub;
        if (found)
            return nullptr;  // ambiguous
        found = &sub;
    }
    return found;
}

bool needs_scan(tcl::Interp *interp, int objc, tcl::Obj *const objv[]) {
    if (objc < 2)
        return false;
    const Sub *sub = subcommand(objv[1]);
    if (!sub || !sub->reads_declared)
        return false;
    if (std::strcmp(sub->name, "require") != 0)
        return true;
    int at = 2;
    if (objc > 3 && std::strcmp(tcl::api().GetStringFromObj(objv[2], nullptr), "-exact") == 0)
        at = 3;
    if (at >= objc)
        return false;
    const char *name = tcl::api().GetStringFromObj(objv[at], nullptr);
    if (hooks::api().PkgPresentEx(interp, name, nullptr, 0, nullptr))
        return false;
    tcl::api().ResetResult(interp);
    return true;
}

// For `package require NAME ...` (needing the scan): declares the versions of
// NAME that the first scan found, when this interpreter started
// from the same auto_path. Whether it did (else the scan must run).
bool declare_known(Deferred *d, tcl::Interp *interp, int objc, tcl::Obj *const objv[]) {
    const Declared *known = g_declared.load(std::memory_order_acquire);
    const Sub *sub = objc >= 3 ? subcommand(objv[1]) : nullptr;
    if (!known || !sub || std::strcmp(sub->name, "require") != 0)
        return false;
    int at = 2;
    if (objc > 3 && std::strcmp(tcl::api().GetStringFromObj(objv[2], nullptr), "-exact") == 0)
        at = 3;
    auto found = known->packages.find(text_of(objv[at]));
    if (found == known->packages.end() || text_of(d->before) != known->auto_path)
        return false;
    const tcl::Api &t = tcl::api();
    for (const auto &[version, script] : found->second) {
        tcl::Obj *words[5] = {t.NewStringObj("package", -1), t.NewStringObj("ifneeded", -1), objv[at],
                              t.NewStringObj(version.data(), (int)version.size()),
                              t.NewStringObj(script.data(), (int)script.size())};
        for (tcl::Obj *w : words)
            tcl::incr_ref(w);
        int code = d->original.objProc(d->original.objClientData, interp, 5, words);
        for (tcl::Obj *w : words)
            tcl::decr_ref(w);
        if (code != tcl::kOk)
            return false;
    }
    t.ResetResult(interp);
    return true;
}

int package_cmd(void *cd, tcl::Interp *interp, int objc, tcl::Obj *const objv[]) {
    auto *d = static_cast<Deferred *>(cd);
    tcl::CmdInfo original = d->original;
    if (needs_scan(interp, objc, objv) && !declare_known(d, interp, objc, objv))
        run_scan(d);
    return original.objProc(original.objClientData, interp, objc, objv);
}

}  // namespace

tcl::Obj *auto_path(tcl::Interp *interp) {
    tcl::Obj *path = hooks::api().GetVar2Ex(interp, "auto_path", nullptr, kGlobalOnly);
    if (path)
        tcl::incr_ref(path);
    return path;
}

void record_declared(tcl::Obj *path, const char *declared, int length) {
    if (g_declared.load(std::memory_order_acquire))
        return;
    const tcl::Api &t = tcl::api();
    auto *known = new Declared{text_of(path), false, std::string(), {}};
    tcl::Obj *list = t.NewStringObj(declared, length);
    tcl::incr_ref(list);
    auto packages = elements(list);
    bool ok = packages.second != nullptr && packages.first % 2 == 0;
    for (int i = 0; ok && i < packages.first; i += 2) {
        auto versions = elements(packages.second[i + 1]);
        ok = versions.first % 2 == 0 && (versions.second != nullptr || versions.first == 0);
        for (int k = 0; ok && k < versions.first; k += 2)
            known->packages[text_of(packages.second[i])].emplace_back(text_of(versions.second[k]),
                                                                      text_of(versions.second[k + 1]));
    }
    tcl::decr_ref(list);
    if (ok)
        keep(known);
    else
        delete known;
}

void defer_package_scan(tcl::Interp *interp, tcl::Obj *before) {
    const tcl::Api &t = tcl::api();
    const hooks::Api &h = hooks::api();
    tcl::Command token = t.FindCommand(interp, "::package", nullptr, 0);
    tcl::CmdInfo info{};
    tcl::Obj *path = h.GetVar2Ex(interp, "auto_path", nullptr, kGlobalOnly);
    if (!before || !token || !path || !h.GetCommandInfoFromToken(token, &info) || !info.objProc ||
        info.deleteProc) {
        if (before)
            tcl::decr_ref(before);
        return;  // not as Tcl makes it: leave it alone
    }
    auto *d = new Deferred{interp, token, info, nullptr, path, before};
    tcl::incr_ref(path);
    if (Command86 *c = command86(token, info))
        d->nre = c->nreProc;
    if (h.TraceVar2(interp, "auto_path", nullptr, kTraceFlags, auto_path_touched, d) != tcl::kOk) {
        forget(d);
        return;
    }
    tcl::CmdInfo wrapped = info;
    wrapped.objProc = package_cmd;
    wrapped.objClientData = d;
    wrapped.deleteProc = package_deleted;
    wrapped.deleteData = d;
    h.SetCommandInfoFromToken(token, &wrapped);
}

}  // namespace tclx
}  // namespace kx
