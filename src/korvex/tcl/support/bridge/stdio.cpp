#include "support/bridge/stdio.hpp"

#include "support/tcl/tcllib.hpp"

#include <dlfcn.h>

#include <atomic>
#include <cstring>
#include <mutex>

namespace kx {
namespace stdio {
namespace {

// Tcl's channel interface, as tcl.h declares it (the parts used here).
using Channel = void *;  // Tcl_Channel
using DString = void;    // Tcl_DString
using WideInt = long long;

struct ChannelType {
    const char *typeName;
    void *version;
    int (*closeProc)(void *instanceData, tcl::Interp *interp);
    int (*inputProc)(void *instanceData, char *buf, int toRead, int *errorCodePtr);
    int (*outputProc)(void *instanceData, const char *buf, int toWrite, int *errorCodePtr);
    int (*seekProc)(void *instanceData, long offset, int mode, int *errorCodePtr);
    int (*setOptionProc)(void *instanceData, tcl::Interp *interp, const char *name, const char *value);
    int (*getOptionProc)(void *instanceData, tcl::Interp *interp, const char *name, DString *dsPtr);
    void (*watchProc)(void *instanceData, int mask);
    int (*getHandleProc)(void *instanceData, int direction, void **handlePtr);
    int (*close2Proc)(void *instanceData, tcl::Interp *interp, int flags);
    int (*blockModeProc)(void *instanceData, int mode);
    int (*flushProc)(void *instanceData);
    int (*handlerProc)(void *instanceData, int interestMask);
    WideInt (*wideSeekProc)(void *instanceData, WideInt offset, int mode, int *errorCodePtr);
    void (*threadActionProc)(void *instanceData, int action);
    int (*truncateProc)(void *instanceData, WideInt length);
};

constexpr int kWritable = 1 << 2;  // TCL_WRITABLE
constexpr int kStdout = 1 << 2;    // TCL_STDOUT
constexpr int kStderr = 1 << 3;    // TCL_STDERR
void *const kVersion5 = reinterpret_cast<void *>(5);  // TCL_CHANNEL_VERSION_5
constexpr int kEinval = 22;

using SeekProc = int (*)(void *, long, int, int *);
using WideSeekProc = WideInt (*)(void *, WideInt, int, int *);
using TruncateProc = int (*)(void *, WideInt);

struct Fns {
    Channel (*GetStdChannel)(int type);
    void (*SetStdChannel)(Channel chan, int type);
    Channel (*StackChannel)(tcl::Interp *interp, const ChannelType *type, void *data, int mask, Channel prev);
    Channel (*GetStackedChannel)(Channel chan);
    Channel (*GetTopChannel)(Channel chan);
    const ChannelType *(*GetChannelType)(Channel chan);
    void *(*GetChannelInstanceData)(Channel chan);
    int (*GetChannelHandle)(Channel chan, int direction, void **handlePtr);
    int (*WriteRaw)(Channel chan, const char *src, int srcLen);
    int (*GetErrno)();
    int (*OutputBuffered)(Channel chan);
    int (*Flush)(Channel chan);
    SeekProc (*ChannelSeekProc)(const ChannelType *type);
    WideSeekProc (*ChannelWideSeekProc)(const ChannelType *type);
    TruncateProc (*ChannelTruncateProc)(const ChannelType *type);
};

Fns g_fns;
std::atomic<bool> g_bound{false};

template <typename Fn>
bool resolve(void *handle, const char *name, Fn &fn) {
    fn = reinterpret_cast<Fn>(dlsym(handle, name));
    return fn != nullptr;
}

// The channel functions, from the Tcl library the rest of the package uses;
// null when they cannot be found (output then stays as Tcl writes it).
const Fns *fns() {
    if (g_bound.load(std::memory_order_acquire))
        return &g_fns;
    static std::once_flag once;
    std::call_once(once, [] {
        Dl_info info{};
        void *known = reinterpret_cast<void *>(tcl::api().GetTime);
        if (!known || !dladdr(known, &info) || !info.dli_fname)
            return;
        void *handle = dlopen(info.dli_fname, RTLD_NOW | RTLD_NOLOAD);
        if (!handle)
            return;
        Fns f{};
        bool ok = resolve(handle, "Tcl_GetStdChannel", f.GetStdChannel) &&
                  resolve(handle, "Tcl_SetStdChannel", f.SetStdChannel) &&
                  resolve(handle, "Tcl_StackChannel", f.StackChannel) &&
                  resolve(handle, "Tcl_GetStackedChannel", f.GetStackedChannel) &&
                  resolve(handle, "Tcl_GetTopChannel", f.GetTopChannel) &&
                  resolve(handle, "Tcl_GetChannelType", f.GetChannelType) &&
                  resolve(handle, "Tcl_GetChannelInstanceData", f.GetChannelInstanceData) &&
                  resolve(handle, "Tcl_GetChannelHandle", f.GetChannelHandle) &&
                  resolve(handle, "Tcl_WriteRaw", f.WriteRaw) && resolve(handle, "Tcl_GetErrno", f.GetErrno) &&
                  resolve(handle, "Tcl_OutputBuffered", f.OutputBuffered) &&
                  resolve(handle, "Tcl_Flush", f.Flush) &&
                  resolve(handle, "Tcl_ChannelSeekProc", f.ChannelSeekProc) &&
                  resolve(handle, "Tcl_ChannelWideSeekProc", f.ChannelWideSeekProc) &&
                  resolve(handle, "Tcl_ChannelTruncateProc", f.ChannelTruncateProc);
        if (ok) {
            g_fns = f;
            g_bound.store(true, std::memory_order_release);
        }
    });
    return g_bound.load(std::memory_order_acquire) ? &g_fns : nullptr;
}

// Every extension module has its own copy of this code: the transform is
// known by its name, whichever module stacked it.
const char kTypeName[] = "korvex.stdio";

bool is_ours(const ChannelType *type) { return type && std::strcmp(type->typeName, kTypeName) == 0; }

// One per stacking. Never freed: each module keeps, per thread, a pointer to
// the transforms of that thread's channels (see Cache), and only the
// `closed` mark tells it that Tcl closed one (a script's `close stdout`, the
// end of a Tcl thread). That costs a few bytes per closing.
struct Transform {
    Channel parent;  // the channel below, the one that writes to the file
    Channel self;    // the transform's own channel
    int which;       // TCL_STDOUT or TCL_STDERR
    bool closed;
};

// The calling thread's transforms, as this module last found them.
struct Cache {
    Transform *out = nullptr, *err = nullptr;
    bool looked = false;
};
thread_local Cache t_cache;

void *parent_data(const Transform *t) { return g_fns.GetChannelInstanceData(t->parent); }
const ChannelType *parent_type(const Transform *t) { return g_fns.GetChannelType(t->parent); }

bool python_running() {
    return Py_IsInitialized() && !is_finalizing();
}

// Set on a thread while it flushes Python's streams (whatever they are, they
// may write to Tcl's channel again).
thread_local bool t_flushing = false;

// Python's sys.stdout and sys.stderr (and the originals) flushed, so that what Python wrote
// before reaches the file before what Tcl writes now. Python's failures here
// (a closed stream, a broken pipe) are Python's to report when it next writes;
// an interrupt that came meanwhile is sent again.
void flush_python() {
    if (t_flushing || !python_running())
        return;
    t_flushing = true;
    PyGILState_STATE gil = PyGILState_Ensure();
    // (A package call may be on its way out with an exception.)
#if PY_VERSION_HEX >= 0x030C0000
    PyObject *raised = PyErr_GetRaisedException();
#else
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
#endif
    // The original streams too when they were replaced (by io.StringIO, say):
    // they may still hold what was written before.
    const char *const names[4] = {"stdout", "stderr", "__stdout__", "__stderr__"};
    PyObject *streams[4];
    for (int k = 0; k < 4; ++k) {
        PyObject *stream = streams[k] = PySys_GetObject(names[k]);  // borrowed
        if (!stream || stream == Py_None || (k >= 2 && stream == streams[k - 2]))
            continue;
        nb::object held = nb::borrow(stream);
        PyObject *r = PyObject_CallMethodNoArgs(stream, KX_ID(flush));
        if (r) {
            Py_DECREF(r);
        } else {
            bool interrupted = PyErr_ExceptionMatches(PyExc_KeyboardInterrupt);
            PyErr_Clear();
            if (interrupted)
                PyErr_SetInterrupt();
        }
    }
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(raised);
#else
    PyErr_Restore(type, value, traceback);
#endif
    PyGILState_Release(gil);
    t_flushing = false;
}

int t_close(void *data, tcl::Interp *) {
    Transform *t = static_cast<Transform *>(data);
    t->closed = true;
    // Popped (`chan pop stdout`): the channel below is the standard one again.
    if (g_fns.GetStdChannel(t->which) == t->self)
        g_fns.SetStdChannel(t->parent, t->which);
    return 0;
}

int t_input(void *, char *, int, int *error) {
    *error = kEinval;
    return -1;
}

int t_output(void *data, const char *buf, int size, int *error) {
    Transform *t = static_cast<Transform *>(data);
    flush_python();
    int written = g_fns.WriteRaw(t->parent, buf, size);
    if (written < 0)
        *error = g_fns.GetErrno();
    return written;
}

WideInt t_wide_seek(void *data, WideInt offset, int mode, int *error) {
    Transform *t = static_cast<Transform *>(data);
    const ChannelType *type = parent_type(t);
    if (WideSeekProc wide = g_fns.ChannelWideSeekProc(type))
        return wide(parent_data(t), offset, mode, error);
    if (SeekProc seek = g_fns.ChannelSeekProc(type))
        return seek(parent_data(t), (long)offset, mode, error);
    *error = kEinval;
    return -1;
}

int t_seek(void *data, long offset, int mode, int *error) {
    return (int)t_wide_seek(data, offset, mode, error);
}

int t_set_option(void *data, tcl::Interp *interp, const char *name, const char *value) {
    Transform *t = static_cast<Transform *>(data);
    const ChannelType *type = parent_type(t);
    if (!type->setOptionProc)
        return tcl::kError;
    return type->setOptionProc(parent_data(t), interp, name, value);
}

int t_get_option(void *data, tcl::Interp *interp, const char *name, DString *ds) {
    Transform *t = static_cast<Transform *>(data);
    const ChannelType *type = parent_type(t);
    if (!type->getOptionProc)
        return name ? tcl::kError : tcl::kOk;
    return type->getOptionProc(parent_data(t), interp, name, ds);
}

void t_watch(void *data, int mask) {
    Transform *t = static_cast<Transform *>(data);
    const ChannelType *type = parent_type(t);
    if (type->watchProc)
        type->watchProc(parent_data(t), mask);
}

int t_get_handle(void *data, int direction, void **handle) {
    return g_fns.GetChannelHandle(static_cast<Transform *>(data)->parent, direction, handle);
}

int t_truncate(void *data, WideInt length) {
    Transform *t = static_cast<Transform *>(data);
    if (TruncateProc truncate = g_fns.ChannelTruncateProc(parent_type(t)))
        return truncate(parent_data(t), length);
    return kEinval;
}

const ChannelType kType = {
    kTypeName, kVersion5,   t_close,      t_input, t_output, t_seek,        t_set_option, t_get_option, t_watch,
    t_get_handle, nullptr, nullptr, nullptr, nullptr, t_wide_seek, nullptr,     t_truncate,
};

// The transform on the std channel `which`, or null.
Transform *find(const Fns &f, int which) {
    Channel chan = f.GetStdChannel(which);
    if (!chan)
        return nullptr;
    Channel top = f.GetTopChannel(chan);
    if (!is_ours(f.GetChannelType(top)))
        return nullptr;
    return static_cast<Transform *>(f.GetChannelInstanceData(top));
}

void attach_to(const Fns &f, int which) {
    Channel chan = f.GetStdChannel(which);
    if (!chan)
        return;  // closed by a script
    Channel top = f.GetTopChannel(chan);
    // Only onto the bare channel: a transform a script stacked may run Tcl
    // code when its buffers are flushed, and stacking flushes them.
    if (is_ours(f.GetChannelType(top)) || f.GetStackedChannel(top))
        return;
    Transform *t = new Transform{top, nullptr, which, false};
    t->self = f.StackChannel(nullptr, &kType, t, kWritable, top);
    if (!t->self) {
        delete t;
        return;
    }
    // The standard channel is the top of its stack, as Tcl's own channel
    // was: `chan names` lists it as stdout (not as file1), and scripts that
    // stack a transform of their own see what they would see under tclsh.
    f.SetStdChannel(t->self, which);
}

void look(Cache &c) {
    c.out = c.err = nullptr;
    c.looked = true;
    if (const Fns *f = fns()) {
        c.out = find(*f, kStdout);
        c.err = find(*f, kStderr);
    }
}

void flush(Transform *t) {
    // Only C code runs when the transform is on top (see attach_to).
    if (t && g_fns.OutputBuffered(t->self) > 0 && g_fns.GetTopChannel(t->self) == t->self)
        g_fns.Flush(t->self);
}

}  // namespace

void attach() {
    if (const Fns *f = fns()) {
        attach_to(*f, kStdout);
        attach_to(*f, kStderr);
        t_cache.looked = false;
    }
}

void flush_tcl() {
    Cache &c = t_cache;
    if (!c.looked || (c.out && c.out->closed) || (c.err && c.err->closed))
        look(c);
    flush(c.out);
    flush(c.err);
}

}  // namespace stdio
}  // namespace kx
