// AttrCache: a few instance attributes of one object, read from its __dict__
// and reused while neither that dict nor the object's class has changed (a
// dict's version tag changes with every write to it; a class's version tag
// with every change to it or its bases). For the hottest paths, which read
// the same attributes of the same object (an interpreter, its history) on
// every call.
//
// The values are what getattr gives: the cache is filled only when the class
// keeps object.__getattribute__ and has no attribute of any of the names, so
// the instance dict decides. They are borrowed from the dict, which holds them while it is
// unchanged. Where dicts carry no version tag, nothing is cached.
#pragma once

#include "support/python/pyutil.hpp"

#include <array>
#include <cstdint>

namespace kx {

template <size_t N>
class AttrCache {
public:
    using Names = std::array<PyObject *, N>;

    // Fills out[0..N) with the attributes `names` of `obj` (borrowed) and
    // returns true; false when they must be looked up the ordinary way (no
    // instance dict, a name missing from it, a class attribute of that name).
    bool get(PyObject *obj, const Names &names, PyObject *out[N]) {
#if KX_HAVE_DICT_VERSION
        PyTypeObject *type = Py_TYPE(obj);
        PyObject *found = instance_dict(obj);
        if (!found || !PyDict_CheckExact(found))
            return false;
        PyDictObject *dict = reinterpret_cast<PyDictObject *>(found);
        if (dict != dict_ || version(dict) != version_ || type != type_ || !unchanged(type, type_tag_)) {
            if (!fill(type, dict, names))
                return false;
        }
        for (size_t i = 0; i < N; ++i)
            out[i] = values_[i];
        return true;
#else
        (void)obj, (void)names, (void)out;
        return false;
#endif
    }

private:
#if KX_HAVE_DICT_VERSION
    static uint64_t version(PyDictObject *d) { return dict_version((PyObject *)d); }

    bool fill(PyTypeObject *type, PyDictObject *dict, const Names &names) {
        dict_ = nullptr;
        unsigned int tag = version_tag(nb::handle((PyObject *)type));
        if (tag == 0 || type_lookup(type, KX_ID(__getattribute__)) !=
                            type_lookup(&PyBaseObject_Type, KX_ID(__getattribute__)))
            return false;
        PyObject *values[N];
        for (size_t i = 0; i < N; ++i) {
            if (type_lookup(type, names[i]))
                return false;
            values[i] = PyDict_GetItemWithError((PyObject *)dict, names[i]);
            if (!values[i]) {
                if (PyErr_Occurred())
                    throw nb::python_error();
                return false;
            }
        }
        for (size_t i = 0; i < N; ++i)
            values_[i] = values[i];
        dict_ = dict;
        version_ = version(dict);
        type_ = type;
        type_tag_ = tag;
        return true;
    }

    PyDictObject *dict_ = nullptr;  // only compared, never dereferenced
    uint64_t version_ = 0;
    PyTypeObject *type_ = nullptr;
    unsigned int type_tag_ = 0;
    PyObject *values_[N] = {};
#endif
};

// type_lookup(type, name) for the class and name last asked about, while
// that class is unchanged (the value is borrowed: the class, or a base class,
// holds it as long as none of them changes). `name` must live as long as the
// process (an interned KX_ID).
class TypeAttrCache {
public:
    PyObject *lookup(PyTypeObject *type, PyObject *name) {
        if (type == type_ && name == name_ && unchanged(type, tag_))
            return value_;
        PyObject *value = type_lookup(type, name);
        type_ = type;
        name_ = name;
        tag_ = version_tag(nb::handle((PyObject *)type));
        value_ = value;
        return value;
    }

private:
    PyTypeObject *type_ = nullptr;  // only compared, never dereferenced
    PyObject *name_ = nullptr;
    unsigned int tag_ = 0;
    PyObject *value_ = nullptr;
};

}  // namespace kx
