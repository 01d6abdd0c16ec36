// What loading TclX into an interpreter changes beyond the load itself: the
// package scan its fast start-up defers (tclxpackages.cpp) and TclX's signal
// traps, routed to the interpreter that set them (tclxsignal.cpp). Both reach
// Tcl through the few functions below, bound once from the Tcl library the
// package uses.
#pragma once

#include "support/tcl/tcllib.hpp"

namespace kx {
namespace tclx {

namespace hooks {

using InterpState = void *;  // Tcl_InterpState
using VarTraceProc = char *(*)(void *clientData, tcl::Interp *interp, const char *name1, const char *name2,
                               int flags);
using FreeProc = void (*)(void *data);

constexpr int kGlobalOnly = 0x1;         // TCL_GLOBAL_ONLY
constexpr int kTraceReads = 0x10;        // TCL_TRACE_READS
constexpr int kTraceWrites = 0x20;       // TCL_TRACE_WRITES
constexpr int kTraceUnsets = 0x40;       // TCL_TRACE_UNSETS
constexpr int kInterpDestroyed = 0x100;  // TCL_INTERP_DESTROYED
constexpr int kEvalGlobal = 0x020000;    // TCL_EVAL_GLOBAL

struct Api {
    int (*EvalEx)(tcl::Interp *interp, const char *script, int length, int flags);
    InterpState (*SaveInterpState)(tcl::Interp *interp, int status);
    int (*RestoreInterpState)(tcl::Interp *interp, InterpState state);
    void (*DiscardInterpState)(InterpState state);
    void (*BackgroundException)(tcl::Interp *interp, int code);
    const char *(*SignalId)(int sig);
    int (*GetCommandInfoFromToken)(tcl::Command cmd, tcl::CmdInfo *info);
    int (*SetCommandInfoFromToken)(tcl::Command cmd, const tcl::CmdInfo *info);
    int (*TraceVar2)(tcl::Interp *interp, const char *name1, const char *name2, int flags, VarTraceProc proc,
                     void *clientData);
    void (*UntraceVar2)(tcl::Interp *interp, const char *name1, const char *name2, int flags,
                        VarTraceProc proc, void *clientData);
    tcl::Obj *(*GetVar2Ex)(tcl::Interp *interp, const char *name1, const char *name2, int flags);
    tcl::Obj *(*SetVar2Ex)(tcl::Interp *interp, const char *name1, const char *name2, tcl::Obj *value,
                           int flags);
    int (*UnsetVar2)(tcl::Interp *interp, const char *name1, const char *name2, int flags);
    const char *(*PkgPresentEx)(tcl::Interp *interp, const char *name, const char *version, int exact,
                                void *clientDataPtr);
    void (*GetVersion)(int *major, int *minor, int *patchLevel, int *type);
    void (*EventuallyFree)(void *data, FreeProc freeProc);
    int (*InterpDeleted)(tcl::Interp *interp);
};

// The table, bound on first use (raises AttributeError when a function is
// missing). The calls themselves are safe from any thread.
const Api &api();

}  // namespace hooks

// auto_path of `interp`, held (release with tcl::decr_ref), or null.
tcl::Obj *auto_path(tcl::Interp *interp);

// After `package require Tclx` has loaded TclX from a known load script
// without the package scan: defers that scan to the interpreter's first use of
// the package database or of auto_path, so that `package names`, `package
// versions` and auto_path answer as after the scan. `before` is auto_path
// before TclX was loaded (a reference this takes over). Pure C calls: safe
// with the GIL held.
void defer_package_scan(tcl::Interp *interp, tcl::Obj *before);

// Keeps what the first package scan of the process declared, `declared`
// being the list {name {version script ...} ...} of every package, `path` the
// auto_path the scan ran with: a later interpreter started from the same
// auto_path takes a package's versions from it for `package require` instead
// of running the deferred scan. The first record stays (a deferred scan keeps
// its own when it runs first). Pure C calls.
void record_declared(tcl::Obj *path, const char *declared, int length);

// After TclX is loaded: TclX's `signal` command of the interpreter keeps a
// record of the signals it changes, so that a trap runs in this interpreter
// and release_signals() can hand each signal back. Pure C calls.
void watch_signals(tcl::Interp *interp);

// Gives back every signal disposition the interpreter's `signal` changed (to
// what it was before TclX first changed it), unless something else has
// changed it since, and drops its pending traps. Called by close(); runs
// again when the interpreter is deleted. Pure C calls.
void release_signals(tcl::Interp *interp);

}  // namespace tclx
}  // namespace kx
