// Small helpers every extension module uses: interned names, attribute access
// that bypasses __getattr__ hooks, vectorcall shorthands, and exception raising
// with Python's chaining semantics.
#pragma once

#include "support/python/capi.hpp"

#include <nanobind/nanobind.h>

#include <exception>
#include <initializer_list>
#include <new>

namespace nb = nanobind;

namespace kx {

// An interned str that lives as long as the process (never released, so it is
// safe to use during interpreter shutdown).
PyObject *intern(const char *text);

}  // namespace kx

// KX_ID(name): the interned str "name", created on first use.
#define KX_ID(name)                                                  \
    ([]() -> PyObject * {                                            \
        static PyObject *const kx_interned_ = ::kx::intern(#name);   \
        return kx_interned_;                                         \
    }())

// KX_STR("text"): the interned str "text" (for texts that are not identifiers).
#define KX_STR(text)                                                 \
    ([]() -> PyObject * {                                            \
        static PyObject *const kx_interned_ = ::kx::intern(text);    \
        return kx_interned_;                                         \
    }())

// KX_ONCE(T, expr): the T that `expr` makes, made on first use and kept for
// the process. Unlike a function-local static it takes no lock of C++'s:
// making it may give up the GIL (an import, Python code running), and a
// thread that comes here meanwhile must not wait for it while it holds the
// GIL. Such a thread makes its own; the first one stored is used (the other
// is kept, unused). `expr` must not contain unparenthesised commas.
#define KX_ONCE(T, expr)                                             \
    ([]() -> T {                                                     \
        static T kx_once_ = nullptr;                                 \
        if (!kx_once_) {                                             \
            T kx_made_ = (expr);                                     \
            if (!kx_once_)                                           \
                kx_once_ = kx_made_;                                 \
        }                                                            \
        return kx_once_;                                             \
    }())

namespace kx {

// Runs `fn` (which returns an nb::object) for a C entry point of the Python
// API: its new reference, or NULL with the Python error set for whatever fn
// threw.
template <typename Fn>
PyObject *c_entry(Fn &&fn) noexcept {
    try {
        return fn().release().ptr();
    } catch (nb::python_error &e) {
        e.restore();
    } catch (const std::bad_alloc &) {
        PyErr_NoMemory();
    } catch (const std::exception &e) {
        PyErr_SetString(PyExc_SystemError, e.what());
    }
    return nullptr;
}

// Throws nb::python_error when `o` is NULL, otherwise takes ownership.
inline nb::object check(PyObject *o) {
    if (!o)
        throw nb::python_error();
    return nb::steal(o);
}

// Instance attribute lookup that skips a class's __getattr__ (tkinter.Tk has
// one, and it disables Python's fast paths).
inline nb::object attr(nb::handle obj, PyObject *name) {
    return check(PyObject_GenericGetAttr(obj.ptr(), name));
}

inline void set_attr(nb::handle obj, PyObject *name, nb::handle value) {
    if (PyObject_SetAttr(obj.ptr(), name, value.ptr()) != 0)
        throw nb::python_error();
}

// obj.name(*args) through the vectorcall protocol.
inline nb::object call_method(nb::handle obj, PyObject *name,
                              std::initializer_list<PyObject *> args = {}) {
    PyObject *stack[8];
    size_t n = 0;
    stack[n++] = obj.ptr();
    for (PyObject *a : args)
        stack[n++] = a;
    return check(PyObject_VectorcallMethod(
        name, stack, n | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// fn(*args) through the vectorcall protocol.
inline nb::object call(nb::handle fn, std::initializer_list<PyObject *> args = {}) {
    // Zeroed: stack[0] is the slot PY_VECTORCALL_ARGUMENTS_OFFSET lends the
    // callee, which may read and restore it (a bound method puts its self
    // there), and without arguments the callee is handed a pointer to unused
    // slots. Left undefined, GCC rightly warns (-Wmaybe-uninitialized).
    PyObject *stack[9] = {};
    size_t n = 1;
    for (PyObject *a : args)
        stack[n++] = a;
    return check(PyObject_Vectorcall(fn.ptr(), stack + 1,
                                     (n - 1) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// Python truth; throws when __bool__ raises.
inline bool truth(nb::handle o) {
    int r = PyObject_IsTrue(o.ptr());
    if (r < 0)
        throw nb::python_error();
    return r != 0;
}

// `import name` then getattr(module, attr): for module-lifetime references
// taken at import of an extension module.
nb::object import_attr(const char *module, const char *name);

// Whether the calling thread is Python's main thread (where Python runs
// signal handlers). Throws when the threading module cannot tell.
bool in_main_thread();

// The body of a module-level __getattr__ that publishes the module `target`
// under the attribute `attr_name` without importing it at module import.
nb::object lazy_module_attr(nb::handle module, nb::handle name, const char *attr_name,
                            const char *target);

// AttributeError "module 'x' has no attribute 'name'", as Python words it.
[[noreturn]] void raise_no_module_attr(nb::handle module, nb::handle name);

// A class's version tag, assigned now when it has none; 0 when it cannot have
// one. Python gives a class a new tag whenever it or a base class changes.
unsigned int version_tag(nb::handle type);

// Whether `type` still carries `tag` (taken with version_tag): nothing in it
// or its bases has changed since.
inline bool unchanged(PyTypeObject *type, unsigned int tag) {
    return tag != 0 && type_version(type) == tag;
}

// Keeps `o` alive for the rest of the process and returns it borrowed. For
// classes and functions an extension module needs on its hot paths.
inline PyObject *keep(nb::handle o) {
    Py_INCREF(o.ptr());
    return o.ptr();
}

// raise exc_type(arg) from None: no cause, context suppressed. `context` is the
// exception being replaced (kept as __context__, as Python does), or NULL.
[[noreturn]] void raise_from_none(PyObject *exc_type, nb::handle arg, PyObject *context = nullptr);

// raise exc_type(arg) from cause: cause and context both set to `cause`.
[[noreturn]] void raise_from(PyObject *exc_type, nb::handle arg, nb::handle cause);

// The exception currently set, taken out of the error indicator (normalized).
// Returns NULL when none is set.
nb::object fetch_exception();

// object.__getattribute__(self, name); with `suppress`, a missing attribute
// gives NULL without an exception set (as __getattr__ fallbacks want).
PyObject *generic_getattribute(PyObject *self, PyObject *name, bool suppress);

// Re-raises an exception taken with fetch_exception.
[[noreturn]] void reraise(nb::object exc);

// Deepest nesting our own recursion over Python data accepts, whatever the
// recursion limit says: a user may raise that far beyond what the C stack takes.
constexpr int kMaxDepth = 2500;

// Whether the calling thread's C stack is nearly used up (less than a safety
// margin left): threads may have small stacks, and a recursion that passes
// through Python's own dispatch uses more stack per level than any fixed
// depth can allow for. False where the stack's bounds cannot be known.
bool stack_nearly_full();

// raise RecursionError("maximum recursion depth exceeded" + where) when
// stack_nearly_full().
void check_stack(const char *where);

// `item`, the element #index of a sequence of (key, value) pairs that user
// code made, as a tuple of two; raises the TypeError or ValueError that
// dict.update raises for an element that is no pair.
nb::object as_pair(nb::handle item, Py_ssize_t index);

// RAII guard around Py_EnterRecursiveCall for one level of a recursion whose
// depth the caller counts (`depth` is this level's, starting at 1).
class RecursionGuard {
public:
    RecursionGuard(const char *where, int depth);
    ~RecursionGuard() { Py_LeaveRecursiveCall(); }
    RecursionGuard(const RecursionGuard &) = delete;
    RecursionGuard &operator=(const RecursionGuard &) = delete;
};

}  // namespace kx
