// korvex.tcl._coverage: line and procedure coverage of Tcl files as they are
// sourced (the Python side, reports included, is korvex.tcl.coverage).
//
// An interpreter with coverage installed has its `source` command wrapped.
// For a file under a measured path the wrapper reads the file as `source`
// would, instruments it (see support/tcl/tclscript.hpp) and hands it to the
// original `source` under a fresh path object with the same text: a
// filesystem of ours claims that one object, forwards its stat to the native
// filesystem and serves the instrumented text when Tcl opens it. So Tcl itself
// evaluates the file, and `info script`, `info frame`, errorInfo's "(file ...
// line N)" and the return options are what they are without coverage.
//
// Counters live in a table of files that is never shrunk: instrumented
// procedures may run as long as the process does.
#include "support/python/module.hpp"
#include "support/tcl/tcllib.hpp"
#include "support/tcl/tclscript.hpp"

#include <nanobind/stl/pair.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include <dlfcn.h>
#include <limits.h>
#include <stdlib.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

using namespace nb::literals;

namespace kx {
namespace {

using tcl::Interp;
using tcl::Obj;

using Channel = void *;

// Tcl_Filesystem (version 1), as tcl.h lays it out.
struct Filesystem {
    const char *typeName;
    int structureLength;
    void *version;
    int (*pathInFilesystem)(Obj *path, void **clientData);
    void *dupInternalRep, *freeInternalRep, *internalToNormalized, *createInternalRep;
    void *normalizePath, *filesystemPathType, *filesystemSeparator;
    int (*stat)(Obj *path, void *buf);
    int (*access)(Obj *path, int mode);
    Channel (*openFileChannel)(Interp *interp, Obj *path, int mode, int permissions);
    void *rest[17];  // matchInDirectory ... chdir: none
};

// Tcl_ChannelType (version 5), as tcl.h lays it out.
struct ChannelType {
    const char *typeName;
    void *version;
    int (*close)(void *instance, Interp *interp);
    int (*input)(void *instance, char *buf, int toRead, int *errorCode);
    int (*output)(void *instance, const char *buf, int toWrite, int *errorCode);
    void *seek, *setOption, *getOption;
    void (*watch)(void *instance, int mask);
    int (*getHandle)(void *instance, int direction, void **handle);
    void *rest[7];  // close2 ... truncate: none
};

struct TclApi {
    tcl::Parser parser;
    int (*FSRegister)(void *clientData, const Filesystem *fs);
    void (*FSMountsChanged)(const Filesystem *fs);
    int (*FSStat)(Obj *path, void *buf);
    int (*FSAccess)(Obj *path, int mode);
    Obj *(*FSGetNormalizedPath)(Interp *interp, Obj *path);
    Channel (*FSOpenFileChannel)(Interp *interp, Obj *path, const char *mode, int permissions);
    Channel (*CreateChannel)(const ChannelType *type, const char *name, void *instance, int mask);
    int (*SetChannelOption)(Interp *interp, Channel chan, const char *option, const char *value);
    int (*ReadChars)(Channel chan, Obj *obj, int toRead, int append);
    int (*Close)(Interp *interp, Channel chan);
    void *(*CreateObjCommand)(Interp *interp, const char *name, tcl::ObjCmdProc proc, void *clientData,
                              tcl::CmdDeleteProc deleteProc);
    int (*GetWideIntFromObj)(Interp *interp, Obj *obj, long long *value);
    Obj *(*NewObj)();
    void (*SetStringObj)(Obj *obj, const char *bytes, int length);
    int (*EvalEx)(Interp *interp, const char *script, int numBytes, int flags);
    void *(*SaveInterpState)(Interp *interp, int status);
    int (*RestoreInterpState)(Interp *interp, void *state);
    Interp *(*GetChild)(Interp *interp, const char *name);
};

TclApi g_tcl;

template <typename Fn>
void resolve(void *handle, const char *name, Fn &fn) {
    void *sym = dlsym(handle, name);
    if (!sym) {
        PyErr_Format(PyExc_AttributeError, "Tcl library has no symbol %s", name);
        throw nb::python_error();
    }
    fn = reinterpret_cast<Fn>(sym);
}

// -- the files measured ---------------------------------------------------------

struct Record {
    long long id;
    std::string path;  // the real path
    std::string original;
    bool itcl_imported;  // instrumented with Itcl's commands known unqualified
    bool branches;       // ... with the arms of if and switch counted
    cover::Instrumented code;
    std::unique_ptr<std::atomic<unsigned long long>[]> counts;
};

constexpr long long kMaxFiles = 1 << 16;
std::atomic<Record *> g_records[kMaxFiles];  // by id; id 0 unused

std::mutex g_mutex;  // guards what follows
long long g_next_id = 1;
std::map<std::string, Record *> g_latest;           // real path -> its newest record
std::map<long long, std::vector<std::string>> g_measured;  // session -> real paths measured
long long g_next_session = 1;
std::atomic<int> g_sessions{0};
int g_branch_sessions = 0;  // sessions that count the arms of branches
std::atomic<unsigned long long> g_sourced{0};  // files sourced while any session ran
bool g_registered = false;

bool under(const std::string &path, const std::string &prefix) {
    if (prefix == "/")
        return !path.empty() && path[0] == '/';
    return path.compare(0, prefix.size(), prefix) == 0 &&
           (path.size() == prefix.size() || path[prefix.size()] == '/');
}

bool measured(const std::string &path) {
    for (auto &session : g_measured)
        for (auto &prefix : session.second)
            if (under(path, prefix))
                return true;
    return false;
}

// The record for `text` read from `path` (held under g_mutex): the newest one
// when the text and the way Itcl's commands are known are unchanged, else a
// new one. Null when the table is full.
Record *record_for(const std::string &path, std::string &&text, bool itcl_imported) {
    bool branches = g_branch_sessions > 0;
    auto it = g_latest.find(path);
    if (it != g_latest.end() && it->second->original == text && it->second->itcl_imported == itcl_imported &&
        (it->second->branches || !branches))
        return it->second;
    if (g_next_id >= kMaxFiles)
        return nullptr;
    auto rec = std::make_unique<Record>();
    rec->id = g_next_id++;
    rec->path = path;
    rec->original = std::move(text);
    rec->itcl_imported = itcl_imported;
    rec->branches = branches;
    rec->code = cover::instrument(g_tcl.parser, rec->original.data(), rec->original.size(), rec->id,
                                  itcl_imported, branches);
    size_t n = rec->code.lines.size();
    rec->counts.reset(new std::atomic<unsigned long long>[n ? n : 1]);
    for (size_t i = 0; i < n; ++i)
        rec->counts[i].store(0, std::memory_order_relaxed);
    Record *raw = rec.release();  // lives as long as the process
    g_records[raw->id].store(raw, std::memory_order_release);
    g_latest[path] = raw;
    return raw;
}

// -- the counter command ---------------------------------------------------------

// The loops running in this thread whose body may yet run: (record, body
// counter, its count when the loop began). A loop left by break, return or an
// error leaves its entry behind; a later loop's end takes what lies above its own.
struct LoopRun {
    const Record *rec;
    int body;
    unsigned long long before;
};
thread_local std::vector<LoopRun> t_loops;
constexpr size_t kMaxLoops = 1 << 16;

void loop_counter(Record *rec, size_t slot) {
    int body = rec->code.pairs[slot];
    if (body < 0 || (size_t)body >= rec->code.lines.size())
        return;
    unsigned long long now = rec->counts[body].load(std::memory_order_relaxed);
    if (rec->code.kinds[slot] == cover::kEnter) {
        if (t_loops.size() >= kMaxLoops)  // left behind by loops never ended
            t_loops.erase(t_loops.begin(), t_loops.begin() + kMaxLoops / 2);
        t_loops.push_back({rec, body, now});
        return;
    }
    while (!t_loops.empty() && !(t_loops.back().rec == rec && t_loops.back().body == body))
        t_loops.pop_back();
    if (t_loops.empty())
        return;
    bool never = t_loops.back().before == now;
    t_loops.pop_back();
    if (never) {
        auto &c = rec->counts[slot];
        c.store(c.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
    }
}

int hit(void *, Interp *, int objc, Obj *const objv[]) {
    long long v;
    if (objc == 2 && g_tcl.GetWideIntFromObj(nullptr, objv[1], &v) == tcl::kOk && v >= 0) {
        long long id = v / cover::kSlotsPerFile, slot = v % cover::kSlotsPerFile;
        if (id < kMaxFiles) {
            Record *rec = g_records[id].load(std::memory_order_acquire);
            if (rec && (size_t)slot < rec->code.lines.size()) {
                signed char kind = (size_t)slot < rec->code.kinds.size() ? rec->code.kinds[(size_t)slot] : 0;
                if (kind == cover::kEnter || kind == cover::kLeave) {
                    loop_counter(rec, (size_t)slot);
                    if (kind == cover::kLeave)
                        return tcl::kOk;
                }
                auto &c = rec->counts[slot];
                c.store(c.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
            }
        }
    }
    return tcl::kOk;
}

// -- serving the instrumented text ---------------------------------------------

// The path object the filesystem claims, and the text it serves, for the
// `source` running in this thread; set until Tcl opens the file.
thread_local Obj *t_pending = nullptr;
thread_local const std::string *t_text = nullptr;

struct Reader {
    const std::string *text;
    size_t at;
};

int chan_close(void *instance, Interp *) {
    delete static_cast<Reader *>(instance);
    return 0;
}

int chan_input(void *instance, char *buf, int to_read, int *) {
    auto *r = static_cast<Reader *>(instance);
    size_t n = std::min((size_t)to_read, r->text->size() - r->at);
    std::memcpy(buf, r->text->data() + r->at, n);
    r->at += n;
    return (int)n;
}

int chan_output(void *, const char *, int, int *error) {
    *error = EINVAL;
    return -1;
}

void chan_watch(void *, int) {}

int chan_handle(void *, int, void **) { return tcl::kError; }

const ChannelType g_channel_type = {
    "korvex-coverage", (void *)5, chan_close, chan_input, chan_output, nullptr, nullptr, nullptr,
    chan_watch, chan_handle, {}};

int fs_claims(Obj *path, void **) { return path == t_pending ? tcl::kOk : -1; }

// A new path object with the same text: the native filesystem's.
struct Twin {
    Obj *obj;
    explicit Twin(Obj *path) {
        int n;
        const char *s = tcl::api().GetStringFromObj(path, &n);
        obj = tcl::api().NewStringObj(s, n);
        tcl::incr_ref(obj);
    }
    ~Twin() { tcl::decr_ref(obj); }
};

int fs_stat(Obj *path, void *buf) { return g_tcl.FSStat(Twin(path).obj, buf); }

int fs_access(Obj *path, int mode) { return g_tcl.FSAccess(Twin(path).obj, mode); }

Filesystem g_filesystem;

Channel fs_open(Interp *, Obj *, int, int) {
    if (!t_text)
        return nullptr;
    static std::atomic<unsigned long> serial{0};
    char name[48];
    std::snprintf(name, sizeof name, "korvexcov%lu", serial.fetch_add(1));
    Channel chan = g_tcl.CreateChannel(&g_channel_type, name, new Reader{t_text, 0}, 2 /* TCL_READABLE */);
    g_tcl.SetChannelOption(nullptr, chan, "-encoding", "utf-8");
    t_pending = nullptr;
    t_text = nullptr;
    // Tcl keeps the claim in the path object, which is now `info script`:
    // a new epoch sends it, and every path, back to the native filesystem.
    g_tcl.FSMountsChanged(nullptr);
    return chan;
}

// -- the source wrapper ------------------------------------------------------------

struct SourceHook {
    tcl::ObjCmdProc proc;
    void *client_data;
};

constexpr const char *kAssocKey = "korvex.tcl coverage";

void free_hook(void *data, Interp *) { delete static_cast<SourceHook *>(data); }

// The file's text as `source` reads it (an encoding, ^Z ends it, no byte-order
// mark), or false when it cannot be read (the original `source` says why).
bool read_script(Interp *interp, Obj *path, const char *encoding, std::string &out) {
    Channel chan = g_tcl.FSOpenFileChannel(interp, path, "r", 0644);
    if (!chan)
        return false;
    Obj *text = g_tcl.NewObj();
    tcl::incr_ref(text);
    bool ok = g_tcl.SetChannelOption(interp, chan, "-eofchar", "\032 {}") == tcl::kOk &&
              (!encoding || g_tcl.SetChannelOption(interp, chan, "-encoding", encoding) == tcl::kOk) &&
              g_tcl.ReadChars(chan, text, -1, 0) >= 0;
    g_tcl.Close(nullptr, chan);
    if (ok) {
        int n;
        const char *s = tcl::api().GetStringFromObj(text, &n);
        if (n >= 3 && std::memcmp(s, "\xef\xbb\xbf", 3) == 0) {
            s += 3;
            n -= 3;
        }
        out.assign(s, (size_t)n);
    }
    tcl::decr_ref(text);
    return ok;
}

// `text` without the counters; false when it has none.
bool strip_counters(const char *text, std::string &out) {
    static const char kCounter[] = "::korvex::hit ";
    const size_t k = sizeof kCounter - 1;
    const char *p = std::strstr(text, kCounter);
    if (!p)
        return false;
    out.clear();
    while (p) {
        const char *q = p + k;
        while (*q >= '0' && *q <= '9')
            ++q;
        if (q > p + k && *q == ';') {
            out.append(text, (size_t)(p - text));
            // The counter after a loop came with the separator before it; that
            // of an implicit else or default, as a clause of its own.
            long long v = std::strtoll(p + k, nullptr, 10);
            long long id = v / cover::kSlotsPerFile, slot = v % cover::kSlotsPerFile;
            const Record *rec = id > 0 && id < kMaxFiles ? g_records[id].load(std::memory_order_acquire) : nullptr;
            signed char kind = rec && (size_t)slot < rec->code.kinds.size() ? rec->code.kinds[(size_t)slot] : 0;
            text = q + 1;
            if (kind == cover::kLeave && !out.empty() && out.back() == ';') {
                out.pop_back();
            } else if (kind == cover::kImplicit && *text == '}') {
                for (const char *clause : {" else {", " default {"}) {
                    size_t n = std::strlen(clause);
                    if (out.size() >= n && out.compare(out.size() - n, n, clause) == 0) {
                        out.resize(out.size() - n);
                        ++text;
                        break;
                    }
                }
            }
        } else {
            out.append(text, (size_t)(q - text));
            text = q;
        }
        p = std::strstr(text, kCounter);
    }
    out.append(text);
    return true;
}

// The byte length of the first `chars` characters of UTF-8 `s` (at most n).
size_t utf8_prefix(const char *s, size_t n, size_t chars) {
    size_t i = 0;
    while (i < n && chars) {
        ++i;
        while (i < n && ((unsigned char)s[i] & 0xC0) == 0x80)
            ++i;
        --chars;
    }
    return i;
}

// errorInfo quotes a command in at most 150 characters, then "...". Where a
// quote cut short holds counters, the quote of the original command (found in
// the record's text) replaces it, cut where Tcl would have cut it.
std::string unquote_counters(const std::string &info, const Record &rec) {
    constexpr size_t kLimit = 150;
    std::string out;
    size_t at = 0;
    const char *markers[] = {"\n    while executing\n\"", "\n    invoked from within\n\""};
    while (true) {
        size_t best = std::string::npos, len = 0;
        for (const char *m : markers) {
            size_t f = info.find(m, at);
            if (f < best) {
                best = f;
                len = std::strlen(m);
            }
        }
        if (best == std::string::npos)
            break;
        size_t q = best + len;
        out.append(info, at, q - at);
        at = q;
        size_t cut = utf8_prefix(info.data() + q, info.size() - q, kLimit);
        std::string quoted = info.substr(q, cut);
        if (info.compare(q + cut, 4, "...\"") != 0 || quoted.find("::korvex::hi") == std::string::npos)
            continue;
        size_t pos = rec.code.text.find(quoted);
        if (pos == std::string::npos)
            continue;
        std::string before;
        if (!strip_counters(rec.code.text.substr(0, pos).c_str(), before))
            before = rec.code.text.substr(0, pos);
        const char *start = rec.original.data() + before.size();
        const char *end = rec.original.data() + rec.original.size();
        tcl::Parse parse;
        if (before.size() > rec.original.size() ||
            g_tcl.parser.ParseCommand(nullptr, start, (int)(end - start), 0, &parse) != tcl::kOk)
            continue;
        size_t length = (size_t)(parse.term - parse.commandStart);
        bool whole = parse.commandStart == start;
        g_tcl.parser.FreeParse(&parse);
        if (!whole)
            continue;
        if (length > kLimit)
            out.append(start, utf8_prefix(start, length, kLimit)).append("...");
        else
            out.append(start, length);
        at = q + cut + 3;
    }
    out.append(info, at, std::string::npos);
    return out;
}

// An error leaving a measured file quotes the commands it passed through in
// errorInfo, nested scripts and so counters included: they are taken out of
// the interpreter's errorInfo (changed in place, so that every other return
// option stays as it is).
void strip_error_info(Interp *interp, const Record &rec) {
    const tcl::Api &api = tcl::api();
    Obj *options = api.GetReturnOptions(interp, tcl::kError);
    tcl::incr_ref(options);
    Obj *key = api.NewStringObj("-errorinfo", -1);
    tcl::incr_ref(key);
    Obj *info = nullptr;
    std::string fixed;
    bool changed = false;
    if (api.DictObjGet(nullptr, options, key, &info) == tcl::kOk && info) {
        const char *text = api.GetStringFromObj(info, nullptr);
        std::string unquoted = unquote_counters(text, rec);
        changed = strip_counters(unquoted.c_str(), fixed);
        if (!changed && unquoted != text) {
            fixed = std::move(unquoted);
            changed = true;
        }
    }
    if (changed)
        tcl::incr_ref(info);
    tcl::decr_ref(key);
    tcl::decr_ref(options);
    if (!changed)
        return;
    bool only_interp = info->refCount == 2;  // the interpreter's and ours
    tcl::decr_ref(info);
    if (only_interp)
        g_tcl.SetStringObj(info, fixed.data(), (int)fixed.size());
}

// Whether `class`, where the file is sourced, is Itcl's class command (Itcl's
// commands imported, as Itcl code often has them). Only asked when a command
// `class` is there at all.
bool itcl_imported(Interp *interp) {
    if (!tcl::api().FindCommand(interp, "class", nullptr, 0))
        return false;
    void *state = g_tcl.SaveInterpState(interp, tcl::kOk);
    bool itcl = g_tcl.EvalEx(interp, "::namespace origin class", -1, 0) == tcl::kOk &&
                std::strcmp(tcl::api().GetStringResult(interp), "::itcl::class") == 0;
    g_tcl.RestoreInterpState(interp, state);
    return itcl;
}

int source(void *client_data, Interp *interp, int objc, Obj *const objv[]) {
    auto *hook = static_cast<SourceHook *>(client_data);
    auto original = [&]() { return hook->proc(hook->client_data, interp, objc, objv); };
    if (g_sessions.load(std::memory_order_relaxed) == 0)
        return original();
    g_sourced.fetch_add(1, std::memory_order_relaxed);
    const char *encoding = nullptr;
    if (objc == 4 && std::strcmp(tcl::api().GetStringFromObj(objv[1], nullptr), "-encoding") == 0)
        encoding = tcl::api().GetStringFromObj(objv[2], nullptr);
    else if (objc != 2)
        return original();
    Obj *path = objv[objc - 1];
    Obj *normal = g_tcl.FSGetNormalizedPath(nullptr, path);
    char real[PATH_MAX];
    if (!normal || !realpath(tcl::api().GetStringFromObj(normal, nullptr), real))
        return original();
    bool wanted;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        wanted = measured(real);
    }
    if (!wanted)
        return original();  // (never under the lock: the file may source others)
    std::string text;
    if (!read_script(interp, path, encoding, text)) {
        tcl::api().ResetResult(interp);
        return original();
    }
    bool itcl = itcl_imported(interp);
    Record *rec;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        rec = record_for(real, std::move(text), itcl);
    }
    if (!rec)
        return original();
    Twin fresh(path);
    Obj *words[2] = {objv[0], fresh.obj};
    t_pending = fresh.obj;
    t_text = &rec->code.text;
    int code = hook->proc(hook->client_data, interp, 2, words);
    t_pending = nullptr;  // (when Tcl never opened it)
    t_text = nullptr;
    if (code == tcl::kError)
        strip_error_info(interp, *rec);
    return code;
}

// -- child interpreters ------------------------------------------------------------

bool install_in(Interp *interp);

constexpr const char *kInterpAssocKey = "korvex.tcl coverage interp";

// `interp create` wrapped: the child made gets coverage installed as its
// parent has (a safe child has no `source` and stays as it is).
int interp_command(void *client_data, Interp *interp, int objc, Obj *const objv[]) {
    auto *hook = static_cast<SourceHook *>(client_data);
    int code = hook->proc(hook->client_data, interp, objc, objv);
    if (code != tcl::kOk || objc < 2 || !g_tcl.GetChild ||
        std::strcmp(tcl::api().GetStringFromObj(objv[1], nullptr), "create") != 0)
        return code;
    std::string child = tcl::api().GetStringFromObj(tcl::api().GetObjResult(interp), nullptr);
    if (Interp *made = g_tcl.GetChild(interp, child.c_str()))
        install_in(made);
    return code;
}

// -- Python functions ------------------------------------------------------------

void register_filesystem() {
    if (g_registered)
        return;
    g_filesystem.typeName = "korvex-coverage";
    g_filesystem.structureLength = (int)sizeof(Filesystem);
    g_filesystem.version = (void *)1;
    g_filesystem.pathInFilesystem = fs_claims;
    g_filesystem.stat = fs_stat;
    g_filesystem.access = fs_access;
    g_filesystem.openFileChannel = fs_open;
    if (g_tcl.FSRegister(nullptr, &g_filesystem) != tcl::kOk)
        throw std::runtime_error("Tcl refused the coverage filesystem");
    g_registered = true;
}

bool install(nb::handle interp_obj) { return install_in(tcl::interp_ptr(interp_obj)); }

bool install_in(Interp *interp) {
    const tcl::Api &api = tcl::api();
    tcl::CmdInfo info;
    if (api.GetCommandInfo(interp, "::interp", &info) && info.objProc != interp_command) {
        auto *hook = new SourceHook{info.objProc, info.objClientData};
        api.SetAssocData(interp, kInterpAssocKey, (void *)free_hook, hook);
        info.objProc = interp_command;
        info.objClientData = hook;
        api.SetCommandInfo(interp, "::interp", &info);
    }
    if (!api.GetCommandInfo(interp, "::source", &info))
        return false;
    if (info.objProc != source) {
        auto *hook = new SourceHook{info.objProc, info.objClientData};
        api.SetAssocData(interp, kAssocKey, (void *)free_hook, hook);
        info.objProc = source;
        info.objClientData = hook;
        api.SetCommandInfo(interp, "::source", &info);
    }
    if (!api.GetCommandInfo(interp, cover::kHitCommand, &info))
        g_tcl.CreateObjCommand(interp, cover::kHitCommand, hit, nullptr, nullptr);
    return true;
}

std::map<long long, bool> g_session_branches;  // (guarded by g_mutex)

long long start(const std::vector<std::string> &paths, bool branches) {
    std::lock_guard<std::mutex> lock(g_mutex);
    register_filesystem();
    long long id = g_next_session++;
    g_measured[id] = paths;
    g_session_branches[id] = branches;
    if (branches)
        ++g_branch_sessions;
    g_sessions.fetch_add(1);
    return id;
}

void stop(long long session) {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (g_measured.erase(session)) {
        if (g_session_branches[session])
            --g_branch_sessions;
        g_session_branches.erase(session);
        g_sessions.fetch_sub(1);
    }
}

// (path, id) of the newest record of each file.
std::vector<std::pair<std::string, long long>> files() {
    std::lock_guard<std::mutex> lock(g_mutex);
    std::vector<std::pair<std::string, long long>> out;
    for (auto &it : g_latest)
        out.emplace_back(it.first, it.second->id);
    return out;
}

Record *record(long long id) {
    Record *rec = id > 0 && id < kMaxFiles ? g_records[id].load() : nullptr;
    if (!rec)
        throw nb::key_error("no such coverage record");
    return rec;
}

// (lines, procedures) of a record: the line of each counter (0: a procedure
// entry only), and (name, line, entry counter) of each procedure.
nb::list branches_of(const cover::Instrumented &code) {
    nb::list out;
    for (auto &b : code.branches)
        out.append(nb::make_tuple(b.line, nb::cast(b.arms), b.next));
    return out;
}

nb::object error_of(const cover::Instrumented &code) {
    if (!code.error.line)
        return nb::none();
    return nb::make_tuple(code.error.line, code.error.message);
}

nb::tuple layout(long long id) {
    Record *rec = record(id);
    nb::list procs;
    for (auto &p : rec->code.procedures)
        procs.append(nb::make_tuple(p.name, p.line, p.entry, p.end));
    return nb::make_tuple(nb::cast(rec->code.lines), procs, branches_of(rec->code), error_of(rec->code));
}

// The layout of `text` (a file's whole text, as `source` reads it) as it
// would be instrumented: what a file nobody sourced would count.
nb::tuple analyse(const std::string &text, bool itcl_imported, bool branches) {
    cover::Instrumented code =
        cover::instrument(g_tcl.parser, text.data(), text.size(), 0, itcl_imported, branches);
    nb::list procs;
    for (auto &p : code.procedures)
        procs.append(nb::make_tuple(p.name, p.line, p.entry, p.end));
    return nb::make_tuple(nb::cast(code.lines), procs, branches_of(code), error_of(code));
}

// Whether a file at the real path `path` sourced now would be measured.
bool measures(const std::string &path) {
    std::lock_guard<std::mutex> lock(g_mutex);
    return measured(path);
}

std::vector<unsigned long long> counts(long long id) {
    Record *rec = record(id);
    std::vector<unsigned long long> out(rec->code.lines.size());
    for (size_t i = 0; i < out.size(); ++i)
        out[i] = rec->counts[i].load(std::memory_order_relaxed);
    return out;
}

nb::str instrumented(long long id) {
    Record *rec = record(id);
    return nb::steal<nb::str>(tcl::decode(rec->code.text.data(), rec->code.text.size()).release());
}

}  // namespace
}  // namespace kx

KX_MODULE(_coverage, m) {
    using namespace kx;
    nb::object dll = import_attr("korvex.tcl.internal", "TclDLL");
    nb::object handle = check(PyObject_GetAttrString(dll.ptr(), "_handle"));
    void *h = PyLong_AsVoidPtr(handle.ptr());
    if (!h && PyErr_Occurred())
        throw nb::python_error();
    resolve(h, "Tcl_ParseCommand", g_tcl.parser.ParseCommand);
    resolve(h, "Tcl_FreeParse", g_tcl.parser.FreeParse);
    resolve(h, "Tcl_FSRegister", g_tcl.FSRegister);
    resolve(h, "Tcl_FSMountsChanged", g_tcl.FSMountsChanged);
    resolve(h, "Tcl_FSStat", g_tcl.FSStat);
    resolve(h, "Tcl_FSAccess", g_tcl.FSAccess);
    resolve(h, "Tcl_FSGetNormalizedPath", g_tcl.FSGetNormalizedPath);
    resolve(h, "Tcl_FSOpenFileChannel", g_tcl.FSOpenFileChannel);
    resolve(h, "Tcl_CreateChannel", g_tcl.CreateChannel);
    resolve(h, "Tcl_SetChannelOption", g_tcl.SetChannelOption);
    resolve(h, "Tcl_ReadChars", g_tcl.ReadChars);
    resolve(h, "Tcl_Close", g_tcl.Close);
    resolve(h, "Tcl_CreateObjCommand", g_tcl.CreateObjCommand);
    resolve(h, "Tcl_GetWideIntFromObj", g_tcl.GetWideIntFromObj);
    resolve(h, "Tcl_NewObj", g_tcl.NewObj);
    resolve(h, "Tcl_SetStringObj", g_tcl.SetStringObj);
    resolve(h, "Tcl_EvalEx", g_tcl.EvalEx);
    resolve(h, "Tcl_SaveInterpState", g_tcl.SaveInterpState);
    resolve(h, "Tcl_RestoreInterpState", g_tcl.RestoreInterpState);
    g_tcl.GetChild = reinterpret_cast<Interp *(*)(Interp *, const char *)>(dlsym(h, "Tcl_GetChild"));
    if (!g_tcl.GetChild)  // Tcl before 8.6.12
        g_tcl.GetChild = reinterpret_cast<Interp *(*)(Interp *, const char *)>(dlsym(h, "Tcl_GetSlave"));
    tcl::api();

    m.def("install", &install, "interp"_a.none(),
          "Wrap `source` in the interpreter and create the counter command; False\n"
          "when it has no `source`. Installing again does nothing.");
    m.def("start", &start, "paths"_a, "branches"_a = false,
          "Measure files under these real paths from now on (with `branches`, the arms\n"
          "of if and switch too); returns the session's id.");
    m.def("stop", &stop, "session"_a, "End a session started with start().");
    m.def("sourced", []() { return g_sourced.load(std::memory_order_relaxed); },
          "How many `source` commands ran while any session did (measured files or not).");
    m.def("files", &files, "(real path, record id) of the newest record of each file instrumented.");
    m.def("layout", &layout, "id"_a,
          "(counter lines, procedures, branches, parse error) of a record: the line of each\n"
          "counter (0 for a procedure entry or a branch's arm alone), (line, [(counter,\n"
          "destination line)], next line) of each branch (next: where its implicit arm\n"
          "goes on to, 0 when it leaves), (name, line, entry counter, end counter) of\n"
          "each procedure (its body's counters are entry ... end - 1), and (line, message)\n"
          "of the first command Tcl cannot parse, or None.");
    m.def("analyse", &analyse, "text"_a, "itcl_imported"_a = false, "branches"_a = true,
          "layout() of `text` as it would be instrumented, without sourcing it.");
    m.def("measures", &measures, "path"_a, "Whether a file at this real path would be measured if sourced now.");
    m.def("counts", &counts, "id"_a, "The counters of a record.");
    m.def("instrumented", &instrumented, "id"_a, "The instrumented text of a record.");
    m.attr("HIT_COMMAND") = cover::kHitCommand;
}
