#include "support/tcl/tclvars.hpp"

#include <cstring>

namespace kx {
namespace tcl {
namespace {

// Tcl 8.6's Var: flags, then the value, the array table or the linked Var.
struct Var {
    int flags;
    union {
        Obj *obj;
        void *table;
        Var *link;
    } value;
};

constexpr int kArray = 0x1;            // VAR_ARRAY
constexpr int kLink = 0x2;             // VAR_LINK
constexpr int kDeadHash = 0x8;         // VAR_DEAD_HASH
constexpr int kTraces = 0x10 | 0x20 | 0x40 | 0x800;  // read, write, unset, array traces
constexpr int kTraceActive = 0x2000;   // VAR_TRACE_ACTIVE
constexpr int kSearchActive = 0x4000;  // VAR_SEARCH_ACTIVE
constexpr int kArrayElement = 0x1000;  // VAR_ARRAY_ELEMENT
constexpr int kGlobalOnly = 1;         // TCL_GLOBAL_ONLY
constexpr int kLinksFollowed = 16;     // (Tcl refuses longer chains of links anyway.)

// The variable `name` ends at, when it is a plain scalar with a value and no
// traces; else null.
Var *plain_scalar(Interp *interp, const char *name) {
    if (std::strchr(name, '(') != nullptr)
        return nullptr;
    // A relative name is the global namespace's only while Tcl runs nothing
    // (then no procedure's frame or namespace is current).
    if (std::strncmp(name, "::", 2) != 0 && api().InterpActive(interp))
        return nullptr;
    Var *var = static_cast<Var *>(api().FindNamespaceVar(interp, name, nullptr, kGlobalOnly));
    for (int i = 0; var && (var->flags & kLink); ++i)
        var = i < kLinksFollowed ? var->value.link : nullptr;
    const int refused = kArray | kDeadHash | kTraces | kTraceActive | kSearchActive | kArrayElement;
    if (!var || (var->flags & refused) || !var->value.obj)
        return nullptr;
    return var;
}

}  // namespace

Obj *untraced_value(Interp *interp, const char *name) {
    Var *var = plain_scalar(interp, name);
    return var ? var->value.obj : nullptr;
}

bool set_untraced(Interp *interp, const char *name, Obj *value) {
    Var *var = plain_scalar(interp, name);
    if (!var)
        return false;
    Obj *old = var->value.obj;
    incr_ref(value);
    var->value.obj = value;
    decr_ref(old);
    return true;
}

}  // namespace tcl
}  // namespace kx
