#include "support/tcl/tclinterp.hpp"

#include <cstddef>

namespace kx {
namespace tcl {
namespace {

// Tcl_HashTable, and tclInt.h's LiteralTable (a hash table's head).
struct HashTable {
    void **buckets;
    void *staticBuckets[4];
    int numBuckets, numEntries, rebuildSize, downShift, mask, keyType;
    void *findProc, *createProc;
    const void *typePtr;
};
struct LiteralTable {
    void **buckets;
    void *staticBuckets[4];
    int numBuckets, numEntries, rebuildSize, mask;
};

// The head of Tcl 8.6's Interp, up to the list of traces.
struct InterpHead {
    char *result;
    void *freeProc;
    int errorLine;
    const void *stubTable;
    void *handle;
    void *globalNsPtr;
    void *hiddenCmdTablePtr;
    void *interpInfo;
    union {
        void (*optimizer)(void *);
        HashTable unused2;
    } extra;
    int numLevels;
    int maxNestingDepth;
    void *framePtr, *varFramePtr, *activeVarTracePtr;
    int returnCode;
    void *rootFramePtr, *lookupNsPtr;
    char *appendResult;
    int appendAvl, appendUsed;
    HashTable packageTable;
    char *packageUnknown;
    int cmdCount, evalFlags, unused1;
    LiteralTable literalTable;
    int compileEpoch;
    void *compiledProcPtr, *resolverPtr;
    void *scriptFile;
    int flags;
    long randSeed;
    void *tracePtr;
};

int no_trace(void *, Interp *, int, const char *, Command, int, Obj *const *) { return kOk; }

}  // namespace

InterpCounters interp_counters(Interp *interp) {
    const Api &t = api();
    InterpHead *head = reinterpret_cast<InterpHead *>(interp);
    if (t.InterpActive(interp) || head->numLevels != 0)
        return {};
    // The nesting limit, set to a value no interpreter has by chance and back.
    constexpr int kProbe = 0x2b7e1;
    int limit = t.SetRecursionLimit(interp, kProbe);
    bool limit_seen = head->maxNestingDepth == kProbe;
    t.SetRecursionLimit(interp, limit);
    if (!limit_seen || head->maxNestingDepth != limit)
        return {};
    // A trace goes to the head of the list, and the list is as it was after.
    void *before = head->tracePtr;
    Trace trace = t.CreateObjTrace(interp, 0, kAllowInline, no_trace, nullptr, nullptr);
    bool trace_seen = trace && head->tracePtr == trace;
    if (trace)
        t.DeleteTrace(interp, trace);
    if (!trace_seen || head->tracePtr != before)
        return {};
    InterpCounters counters;
    counters.num_levels = &head->numLevels;
    counters.cmd_count = &head->cmdCount;
    counters.traces = &head->tracePtr;
    return counters;
}

}  // namespace tcl
}  // namespace kx
