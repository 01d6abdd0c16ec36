// The CPython C API this package uses beyond the documented public one, all
// of it here, each with its public replacement where one exists on the
// versions that have it, and otherwise behind a guard with a slower public
// fallback, so that the package builds and runs (perhaps slower) on a
// CPython where the private function or field is gone. Nothing else in the
// package names a private (_Py*) function or a version tag.
//
//   private use                        public replacement / fallback
//   _PyType_Lookup                     (none) walk of tp_mro over PyType_GetDict / tp_dict
//   _PyObject_GetDictPtr               (none) PyObject_GenericGetDict
//   _PyObject_LookupAttr               PyObject_GetOptionalAttr (3.13+)
//   _PyObject_GenericGetAttrWithDict   (none) PyObject_GenericGetAttr, AttributeError cleared
//   _Py_IsFinalizing                   Py_IsFinalizing (3.13+)
//   tp_version_tag, and a lookup to    PyUnstable_Type_AssignVersionTag (3.12+); without
//     assign one                         the field, no class is cached (looked up each time)
//   PyDictObject.ma_version_tag        (none; deprecated 3.12, gone 3.14) nothing cached
//   the collector's object header      PyObject_GC_New (the object counts toward the
//     (allocating around its counter)    collector's threshold)
//
// The private functions are used where the version is known to have them
// (they keep the hot paths as fast as they are); KX_PRIVATE_CAPI=0 (a
// compiler definition) builds every public fallback instead, to test them.
// Other non-limited API the package relies on (documented, but not in the
// stable ABI): PyTypeObject and PyCodeObject fields, PyDictObject, vectorcall.
#pragma once

#include <Python.h>

#include <cstdint>
#include <cstring>

#ifndef KX_PRIVATE_CAPI
#define KX_PRIVATE_CAPI 1
#endif

// The private functions, present through 3.14 at least.
#if KX_PRIVATE_CAPI && PY_VERSION_HEX < 0x030F0000
#define KX_HAVE_PY_TYPE_LOOKUP 1
#define KX_HAVE_PY_DICT_PTR 1
#else
#define KX_HAVE_PY_TYPE_LOOKUP 0
#define KX_HAVE_PY_DICT_PTR 0
#endif

// Dicts carry a version tag that changes with every write (gone in 3.14).
#if KX_PRIVATE_CAPI && PY_VERSION_HEX < 0x030E0000
#define KX_HAVE_DICT_VERSION 1
#else
#define KX_HAVE_DICT_VERSION 0
#endif

// Classes carry a version tag (a field of the non-limited PyTypeObject).
#if !defined(Py_LIMITED_API) && defined(Py_TPFLAGS_VALID_VERSION_TAG)
#define KX_HAVE_TYPE_VERSION 1
#else
#define KX_HAVE_TYPE_VERSION 0
#endif

// The collector's header: two words ahead of each object of a collected class,
// both zero while the object is not tracked (3.10 to 3.14, builds with the GIL).
#if KX_PRIVATE_CAPI && !defined(Py_GIL_DISABLED) && PY_VERSION_HEX < 0x030F0000
#define KX_HAVE_GC_HEAD 1
#else
#define KX_HAVE_GC_HEAD 0
#endif

namespace kx {

// The attribute `name` (a str) of class `type` or its bases, as attribute
// lookup finds it, borrowed (the class holds it), or null; never an error.
inline PyObject *type_lookup(PyTypeObject *type, PyObject *name) {
#if KX_HAVE_PY_TYPE_LOOKUP
    return _PyType_Lookup(type, name);
#else
    PyObject *mro = type->tp_mro;
    if (!mro || !PyTuple_Check(mro))
        return nullptr;
    PyObject *found = nullptr;
    for (Py_ssize_t i = 0, n = PyTuple_GET_SIZE(mro); i < n && !found; ++i) {
        PyTypeObject *base = reinterpret_cast<PyTypeObject *>(PyTuple_GET_ITEM(mro, i));
#if PY_VERSION_HEX >= 0x030C0000
        PyObject *dict = PyType_GetDict(base);  // new; a static builtin class's may be elsewhere
        found = dict ? PyDict_GetItemWithError(dict, name) : nullptr;
        Py_XDECREF(dict);  // the class keeps its dict
#else
        found = base->tp_dict ? PyDict_GetItemWithError(base->tp_dict, name) : nullptr;
#endif
        if (!found && PyErr_Occurred())
            PyErr_Clear();
    }
    return found;
#endif
}

// The instance dict of `obj`, borrowed (the object holds it), made if it has
// none yet; null, without an error, when its class gives it none.
inline PyObject *instance_dict(PyObject *obj) {
#if KX_HAVE_PY_DICT_PTR
    PyObject **slot = _PyObject_GetDictPtr(obj);
    return slot ? *slot : nullptr;
#else
    PyObject *dict = PyObject_GenericGetDict(obj, nullptr);
    if (!dict) {
        PyErr_Clear();
        return nullptr;
    }
    Py_DECREF(dict);  // the object keeps it
    return dict;
#endif
}

// getattr(obj, name) that tells a missing attribute apart without raising:
// 1 with *result set (new), 0 with *result null (missing), -1 on an error.
inline int get_optional_attr(PyObject *obj, PyObject *name, PyObject **result) {
#if PY_VERSION_HEX >= 0x030D0000
    return PyObject_GetOptionalAttr(obj, name, result);
#elif KX_PRIVATE_CAPI
    return _PyObject_LookupAttr(obj, name, result);
#else
    *result = PyObject_GetAttr(obj, name);
    if (*result)
        return 1;
    if (!PyErr_ExceptionMatches(PyExc_AttributeError))
        return -1;
    PyErr_Clear();
    return 0;
#endif
}

// object.__getattribute__(self, name); with `suppress`, a missing attribute
// gives null without an error.
inline PyObject *generic_getattr(PyObject *self, PyObject *name, bool suppress) {
#if KX_PRIVATE_CAPI && PY_VERSION_HEX < 0x030D0000
    return _PyObject_GenericGetAttrWithDict(self, name, nullptr, suppress);
#else
    PyObject *found = PyObject_GenericGetAttr(self, name);
    if (found || !suppress || !PyErr_ExceptionMatches(PyExc_AttributeError))
        return found;
    PyErr_Clear();
    return nullptr;
#endif
}

// Whether the interpreter is shutting down (public from 3.13; the private
// function before it, which those versions all have).
inline bool is_finalizing() {
#if PY_VERSION_HEX >= 0x030D0000
    return Py_IsFinalizing();
#else
    return _Py_IsFinalizing();
#endif
}

// The version tag of a dict, which changes with every write to it; 0 where
// dicts carry none (nothing can then be cached on it).
inline uint64_t dict_version(PyObject *dict) {
#if KX_HAVE_DICT_VERSION
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    return reinterpret_cast<PyDictObject *>(dict)->ma_version_tag;
#pragma GCC diagnostic pop
#else
    (void)dict;
    return 0;
#endif
}

// A class's current version tag (0: none), and one assigned now when it has
// none (0 when it cannot have one). Python gives a class a new tag whenever
// it or a base class changes.
inline unsigned int type_version(PyTypeObject *type) {
#if KX_HAVE_TYPE_VERSION
    return PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG) ? type->tp_version_tag : 0;
#else
    (void)type;
    return 0;
#endif
}

inline unsigned int assign_type_version(PyTypeObject *type, PyObject *any_name) {
#if KX_HAVE_TYPE_VERSION && PY_VERSION_HEX >= 0x030C0000
    (void)any_name;
    PyUnstable_Type_AssignVersionTag(type);
#elif KX_HAVE_TYPE_VERSION && KX_HAVE_PY_TYPE_LOOKUP
    _PyType_Lookup(type, any_name);  // a lookup assigns a tag when missing
#else
    (void)any_name;
#endif
    return type_version(type);
}

// Whether gc_new_uncounted lays out objects of `type` itself: a class of
// collected objects with no other header (no managed dict or weak reference
// slot) and no items.
inline bool gc_uncounted_layout(PyTypeObject *type) {
#if KX_HAVE_GC_HEAD
    unsigned long other_headers = 0;
#ifdef Py_TPFLAGS_MANAGED_DICT
    other_headers |= Py_TPFLAGS_MANAGED_DICT;
#endif
#ifdef Py_TPFLAGS_MANAGED_WEAKREF
    other_headers |= Py_TPFLAGS_MANAGED_WEAKREF;
#endif
    return PyType_HasFeature(type, Py_TPFLAGS_HAVE_GC) && !(type->tp_flags & other_headers) &&
           type->tp_itemsize == 0;
#else
    (void)type;
    return false;
#endif
}

// An untracked object of `type` that does not count toward the collector's
// threshold: PyObject_GC_New counts each allocation, so that objects made by
// the thousand and kept (a history) start a collection every few hundred.
// Free it with gc_free_uncounted, never with the class's tp_free (which would
// count it off). A new reference, or null with an error set.
inline PyObject *gc_new_uncounted(PyTypeObject *type) {
    if (gc_uncounted_layout(type)) {
        constexpr size_t head = 2 * sizeof(uintptr_t);
        char *block = static_cast<char *>(PyObject_Malloc(head + type->tp_basicsize));
        if (!block)
            return PyErr_NoMemory();
        std::memset(block, 0, head);
        return PyObject_Init(reinterpret_cast<PyObject *>(block + head), type);
    }
    return reinterpret_cast<PyObject *>(PyObject_GC_New(PyObject, type));
}

// An untracked tuple of `n` empty slots that does not count toward the
// collector's threshold, for words a history keeps by the thousand. The
// tuple's own dealloc frees it (to the free list, or with PyObject_GC_Del,
// which lowers the count as for any tuple). Track it if it may come to hold
// containers. Up to 3.13 a tuple is its header and its items; later ones
// cache their hash, and get a plain PyTuple_New.
inline PyObject *tuple_new_uncounted(Py_ssize_t n) {
#if KX_HAVE_GC_HEAD && PY_VERSION_HEX < 0x030E0000
    if (n > 0) {
        constexpr size_t head = 2 * sizeof(uintptr_t);
        size_t size = head + static_cast<size_t>(PyTuple_Type.tp_basicsize) +
                      static_cast<size_t>(n) * static_cast<size_t>(PyTuple_Type.tp_itemsize);
        char *block = static_cast<char *>(PyObject_Malloc(size));
        if (!block)
            return PyErr_NoMemory();
        std::memset(block, 0, size);
        return reinterpret_cast<PyObject *>(
            PyObject_InitVar(reinterpret_cast<PyVarObject *>(block + head), &PyTuple_Type, n));
    }
#endif
    PyObject *t = PyTuple_New(n);
    if (t && PyObject_GC_IsTracked(t))
        PyObject_GC_UnTrack(t);
    return t;
}

// A filled tuple from tuple_new_uncounted tracked, unless it holds only str
// (which no cycle can pass through).
inline void track_unless_text(PyObject *t) {
    for (Py_ssize_t i = 0, n = PyTuple_GET_SIZE(t); i < n; ++i)
        if (!PyUnicode_CheckExact(PyTuple_GET_ITEM(t, i))) {
            PyObject_GC_Track(t);
            return;
        }
}

// Frees what gc_new_uncounted made (untracked, its references dropped).
inline void gc_free_uncounted(PyObject *op) {
    if (gc_uncounted_layout(Py_TYPE(op)))
        PyObject_Free(reinterpret_cast<char *>(op) - 2 * sizeof(uintptr_t));
    else
        PyObject_GC_Del(op);
}

}  // namespace kx
