// The few Tcl library functions the package calls directly from C++, taken
// from the one Tcl library in the process: the one _tkinter uses, which
// korvex.tcl.internal loads as TclDLL. Also the conversions every caller of
// those functions needs: interpreter objects to Tcl_Interp pointers, Tcl's
// own UTF-8 to and from Python str, and Tcl errors to TclError.
#pragma once

#include "support/python/pyutil.hpp"

#include <cstddef>
#include <string>
#include <vector>

namespace kx {
namespace tcl {

struct Interp;  // Tcl_Interp, opaque
struct ObjType;  // Tcl_ObjType, opaque

// The public head of a Tcl_Obj (its reference count is read and kept by hand).
struct Obj {
    int refCount;
    char *bytes;
    int length;
    const ObjType *typePtr;
};

using ObjCmdProc = int (*)(void *clientData, Interp *interp, int objc, Obj *const objv[]);
using CmdDeleteProc = void (*)(void *clientData);
using LimitHandlerProc = void (*)(void *clientData, Interp *interp);
using LimitHandlerDeleteProc = void (*)(void *clientData);
using AsyncProc = int (*)(void *clientData, Interp *interp, int code);
using AsyncHandler = void *;  // Tcl_AsyncHandler token
using Command = void *;  // Tcl_Command token
using ThreadId = void *;  // Tcl_ThreadId
using InterpState = void *;  // Tcl_InterpState
using VarTraceProc = char *(*)(void *clientData, Interp *interp, const char *part1, const char *part2,
                               int flags);
using Trace = void *;  // Tcl_Trace token
// Tcl_CmdObjTraceProc and Tcl_CmdObjTraceDeleteProc
using ObjTraceProc = int (*)(void *clientData, Interp *interp, int level, const char *command, Command token,
                             int objc, Obj *const objv[]);
using ObjTraceDeleteProc = void (*)(void *clientData);

// Tcl_Event: an event for a thread's Tcl event queue, allocated with
// Tcl_Alloc; Tcl frees it once its procedure returns 1.
struct Event;
using EventProc = int (*)(Event *event, int flags);
struct Event {
    EventProc proc;
    Event *nextPtr;
};
constexpr int kQueueTail = 0;  // TCL_QUEUE_TAIL

// Tcl_CmdInfo
struct CmdInfo {
    int isNativeObjectProc;
    ObjCmdProc objProc;
    void *objClientData;
    void *proc;
    void *clientData;
    CmdDeleteProc deleteProc;
    void *deleteData;
    void *namespacePtr;
};

// Tcl_Time
struct Time {
    long sec;
    long usec;
};

// Tcl_CreateObjTrace's flags: called before (enter) or after (leave) each
// command Tcl invokes (tclInt.h's TCL_TRACE_ENTER_EXEC / _LEAVE_EXEC), and
// commands compiled to bytecode stay compiled (TCL_ALLOW_INLINE_COMPILATION).
constexpr int kTraceEnter = 0x01;
constexpr int kTraceLeave = 0x02;
constexpr int kAllowInline = 0x20000;

constexpr int kLimitCommands = 0x01;   // TCL_LIMIT_COMMANDS
constexpr int kLimitTime = 0x02;       // TCL_LIMIT_TIME
constexpr int kCancelUnwind = 0x100000;  // TCL_CANCEL_UNWIND

// Tcl's completion codes.
constexpr int kOk = 0;
constexpr int kError = 1;

struct Api {
    int (*FindElement)(Interp *interp, const char *list, int length, const char **element,
                       const char **next, int *size, int *brace);
    int (*CopyAndCollapse)(int count, const char *src, char *dst);
    const char *(*GetStringResult)(Interp *interp);
    void (*ResetResult)(Interp *interp);

    // Objects and results.
    Obj *(*NewStringObj)(const char *bytes, int length);
    Obj *(*NewUnicodeObj)(const unsigned short *unicode, int numChars);
    Obj *(*NewWideIntObj)(long long value);
    Obj *(*NewDoubleObj)(double value);
    Obj *(*NewBooleanObj)(int value);
    Obj *(*NewByteArrayObj)(const unsigned char *bytes, int length);
    Obj *(*NewListObj)(int objc, Obj *const objv[]);
    void (*DbIncrRefCount)(Obj *obj, const char *file, int line);
    void (*DbDecrRefCount)(Obj *obj, const char *file, int line);
    char *(*GetStringFromObj)(Obj *obj, int *length);
    int (*ListObjGetElements)(Interp *interp, Obj *list, int *objc, Obj ***objv);
    int (*DictObjGet)(Interp *interp, Obj *dict, Obj *key, Obj **value);
    int (*GetIntFromObj)(Interp *interp, Obj *obj, int *value);
    void (*SetObjResult)(Interp *interp, Obj *result);
    Obj *(*GetObjResult)(Interp *interp);
    void (*SetObjErrorCode)(Interp *interp, Obj *code);
    void (*AddObjErrorInfo)(Interp *interp, const char *message, int length);
    Obj *(*GetReturnOptions)(Interp *interp, int result);

    // Commands.
    int (*GetCommandInfo)(Interp *interp, const char *name, CmdInfo *info);
    int (*SetCommandInfo)(Interp *interp, const char *name, const CmdInfo *info);
    Command (*FindCommand)(Interp *interp, const char *name, void *ns, int flags);
    Command (*GetCommandFromObj)(Interp *interp, Obj *name);
    int (*DeleteCommandFromToken)(Interp *interp, Command command);
    Command (*CreateObjCommand)(Interp *interp, const char *name, ObjCmdProc proc, void *clientData,
                                CmdDeleteProc deleteProc);
    void (*GetCommandFullName)(Interp *interp, Command command, Obj *name);

    // Variables (see tclvars.hpp) and their traces.
    void *(*FindNamespaceVar)(Interp *interp, const char *name, void *ns, int flags);
    Obj *(*SetVar2Ex)(Interp *interp, const char *part1, const char *part2, Obj *value, int flags);
    int (*TraceVar2)(Interp *interp, const char *part1, const char *part2, int flags, VarTraceProc proc,
                     void *clientData);
    void (*UntraceVar2)(Interp *interp, const char *part1, const char *part2, int flags, VarTraceProc proc,
                        void *clientData);

    // Evaluation, and an interpreter's result and error state kept aside.
    int (*EvalObjEx)(Interp *interp, Obj *script, int flags);
    int (*EvalObjv)(Interp *interp, int objc, Obj *const objv[], int flags);
    InterpState (*SaveInterpState)(Interp *interp, int status);
    int (*RestoreInterpState)(Interp *interp, InterpState state);
    void (*DiscardInterpState)(InterpState state);

    // Per-interpreter data, cancelling, limits, time and threads.
    void *(*GetAssocData)(Interp *interp, const char *name, void *procPtr);
    void (*SetAssocData)(Interp *interp, const char *name, void *proc, void *clientData);
    void (*DeleteAssocData)(Interp *interp, const char *name);
    int (*CancelEval)(Interp *interp, Obj *result, void *clientData, int flags);
    int (*ResetCancellation)(Interp *interp, int force);
    int (*AsyncInvoke)(Interp *interp, int code);
    AsyncHandler (*AsyncCreate)(AsyncProc proc, void *clientData);
    void (*AsyncMark)(AsyncHandler async);
    void (*AsyncDelete)(AsyncHandler async);
    void (*SetChildCancelFlags)(Interp *interp, int flags, int force);
    Interp *(*GetParent)(Interp *interp);
    void (*LimitAddHandler)(Interp *interp, int type, LimitHandlerProc proc, void *clientData,
                            LimitHandlerDeleteProc deleteProc);
    void (*LimitRemoveHandler)(Interp *interp, int type, LimitHandlerProc proc, void *clientData);
    void (*LimitSetTime)(Interp *interp, Time *time);
    void (*LimitSetGranularity)(Interp *interp, int type, int granularity);
    void (*LimitTypeSet)(Interp *interp, int type);
    void (*LimitTypeReset)(Interp *interp, int type);
    void (*GetTime)(Time *time);
    ThreadId (*GetCurrentThread)();
    int (*InterpActive)(Interp *interp);
    int (*SetRecursionLimit)(Interp *interp, int depth);
    int (*LimitTypeEnabled)(Interp *interp, int type);

    // Another thread's event queue; memory that Tcl frees; keeping an
    // interpreter's memory while it is in use.
    void (*ThreadQueueEvent)(ThreadId thread, Event *event, int position);
    void (*ThreadAlert)(ThreadId thread);
    char *(*Alloc)(unsigned int size);
    void (*Free)(char *ptr);
    void (*Preserve)(void *data);
    void (*Release)(void *data);

    // Command traces (the profiler).
    Trace (*CreateObjTrace)(Interp *interp, int level, int flags, ObjTraceProc proc, void *clientData,
                            ObjTraceDeleteProc deleteProc);
    void (*DeleteTrace)(Interp *interp, Trace trace);
    int (*GetCommandInfoFromToken)(Command token, CmdInfo *info);
    Interp *(*GetChild)(Interp *interp, const char *name);
    ObjCmdProc InterpProc;  // TclObjInterpProc: the command procedure of every proc
};

inline void incr_ref(Obj *o) { ++o->refCount; }
void decr_ref(Obj *o);

// Binds the table to the library behind a dlopen handle (TclDLL._handle) and
// records the class of interpreter pointers (Tcl_Interp_p). korvex.tcl.internal
// calls this once at import; a missing symbol raises AttributeError.
void bind(void *handle, nb::handle interp_ptr_type);

// The names under which the Tcl library is looked for: the version _tkinter
// was built with first, so that no second Tcl is loaded beside the one its
// interpreters live in.
std::vector<std::string> library_names();

// The function table. In a module other than korvex.tcl.internal the first
// call opens the library that module's TclDLL opens (without importing it,
// nor ctypes) and binds to it.
const Api &api();

// The Tcl_Interp* behind `interp`: NULL for None, the address held by a
// Tcl_Interp_p, the interpreter of a tkinter.Tk. Anything else raises
// ctypes.ArgumentError "argument <argpos>: ValueError: Unrecognized Tcl
// interpreter object: <repr>", as a call through TclDLL would. An
// interpreter that belongs to another thread raises RuntimeError (see
// check_thread); so does a pointer made from one.
Interp *interp_ptr(nb::handle interp, int argpos = 1);

// Raises RuntimeError unless the calling thread is the one that owns the
// Tcl interpreter of `tk`, a _tkinter application object: Tcl must not be
// reached from any other. (_tkinter checks this itself only in some of its
// methods.) Anything that is no application object passes.
void check_thread(nb::handle tk);

// The interpreter of `tk` when it is a _tkinter application object, read
// from the object itself (no call); else null.
Interp *tkapp_interp(nb::handle tk);

// tkapp_interp(tk) when the calling thread may reach that interpreter directly
// (its own thread, of a threaded Tcl); else null.
Interp *own_thread_interp(nb::handle tk);

// A pointer object (of class `ptr_type`) for the interpreter of a tkinter.Tk
// that keeps the interpreter alive as long as it exists and checks the
// calling thread wherever it is used.
nb::object pointer_to(nb::handle ptr_type, nb::handle tk_interp);

// The ValueError message for an interpreter object nothing above accepts.
nb::object unrecognized_interp_message(nb::handle interp);

// Text as Tcl hands it out (its internal UTF-8: NUL as C0 80, characters
// beyond U+FFFF possibly as two encoded surrogates) decoded into a str the way
// _tkinter decodes results: never a UnicodeDecodeError; stray bytes, lone
// encoded surrogates included, become U+DC80..U+DCFF (surrogateescape).
nb::object decode(const char *data, size_t size);

// The UTF-8 of a str as _tkinter hands text to Tcl, borrowed from the str when
// it is ASCII. A NUL stays a NUL byte (Tcl's list scanner takes it as an
// ordinary character, and Tcl itself sees "\" + NUL so). A lone surrogate
// raises UnicodeEncodeError.
class Utf8 {
public:
    explicit Utf8(nb::handle str);
    const char *data() const { return data_; }
    size_t size() const { return size_; }

private:
    const char *data_ = "";
    size_t size_ = 0;
    nb::object owner_;  // the bytes object when the str is not ASCII
};

// The interpreter's result text, decoded ("" for a NULL interpreter).
nb::object string_result(Interp *interp);

// raise tkinter.TclError(msg): msg is the interpreter's result, or
// `default_msg` when there is no interpreter or its result is empty; with
// neither, TclError without arguments.
[[noreturn]] void raise_error(Interp *interp, nb::handle default_msg);

// Tcl's clock (Tcl_GetTime), the order of two of its times, and a time
// `seconds` later (capped far beyond any run: an infinity is no time).
Time now();
bool before(const Time &a, const Time &b);
Time plus(Time t, double seconds);

}  // namespace tcl
}  // namespace kx
