// korvex.tcl.mardeck: Mardeck, a TclX keyed list as a Python mapping whose
// nested levels are reached with dotted keys ("name.first").
#include "support/python/module.hpp"
#include "support/python/classdef.hpp"
#include "support/tcl/tclconvert.hpp"
#include "support/tcl/tcllist.hpp"

using namespace nb::literals;

namespace kx {
namespace {

// Module-lifetime references, taken once at import.
PyObject *g_mardeck;       // Mardeck
PyObject *g_mapping;       // collections.abc.Mapping
PyObject *g_mm_update;     // MutableMapping.update
PyObject *g_tcl_obj;       // _tkinter.Tcl_Obj

// The name under which TclX registers its keyed-list object type.
constexpr const char *kKeyedListType = "keyedList";

bool is_mardeck(nb::handle o) { return PyObject_TypeCheck(o.ptr(), (PyTypeObject *)g_mardeck); }

bool is_mapping(nb::handle o) {
    if (is_mardeck(o) || PyDict_Check(o.ptr()))
        return true;
    int r = PyObject_IsInstance(o.ptr(), g_mapping);
    if (r < 0)
        throw nb::python_error();
    return r != 0;
}

[[noreturn]] void raise_key_error(nb::handle key) {
    nb::object args = nb::make_tuple(key);
    PyErr_SetObject(PyExc_KeyError, args.ptr());
    throw nb::python_error();
}

[[noreturn]] void raise_conflict(nb::handle key) {
    nb::object msg = check(PyUnicode_Format(
        KX_STR("target key \"%s\" is a value, cannot update value against another keyed list"),
        nb::make_tuple(key).ptr()));
    raise_key_error(msg);
}

// Splits a key at its first "." (the test is Python's `in`, so a key that
// does not support it raises that TypeError). False when there is no dot.
bool split_key(nb::handle key, nb::object &head, nb::object &rest) {
    int dotted = PySequence_Contains(key.ptr(), KX_STR("."));
    if (dotted < 0)
        throw nb::python_error();
    if (!dotted)
        return false;
    if (PyUnicode_Check(key.ptr())) {
        Py_ssize_t n = PyUnicode_GET_LENGTH(key.ptr());
        Py_ssize_t at = PyUnicode_FindChar(key.ptr(), '.', 0, n, 1);
        head = check(PyUnicode_Substring(key.ptr(), 0, at));
        rest = check(PyUnicode_Substring(key.ptr(), at + 1, n));
        return true;
    }
    nb::object parts = call_method(key, KX_ID(split), {KX_STR("."), nb::int_(1).ptr()});
    nb::object pair = check(PySequence_Tuple(parts.ptr()));
    if (PyTuple_GET_SIZE(pair.ptr()) != 2) {
        PyErr_SetString(PyExc_ValueError, "a dotted key must split into two parts");
        throw nb::python_error();
    }
    head = nb::borrow(PyTuple_GET_ITEM(pair.ptr(), 0));
    rest = nb::borrow(PyTuple_GET_ITEM(pair.ptr(), 1));
    return true;
}

// This level's own storage, without dotted keys.
nb::object base_get(nb::handle self, nb::handle key) {
    PyObject *v = PyDict_GetItemWithError(self.ptr(), key.ptr());
    if (!v) {
        if (PyErr_Occurred())
            throw nb::python_error();
        raise_key_error(key);
    }
    return nb::borrow(v);
}

void base_set(nb::handle self, nb::handle key, nb::handle value) {
    if (PyDict_SetItem(self.ptr(), key.ptr(), value.ptr()) != 0)
        throw nb::python_error();
}

nb::object new_mardeck() { return call(g_mardeck); }

// Keeps our recursion through nested levels (which passes through Python's
// own dispatch) from outrunning the C stack.
struct LevelGuard {
    explicit LevelGuard(const char *where) {
        check_stack(where);
        if (++depth > kMaxDepth) {
            --depth;
            PyErr_Format(PyExc_RecursionError, "maximum recursion depth exceeded%s", where);
            throw nb::python_error();
        }
    }
    ~LevelGuard() { --depth; }
    static thread_local int depth;
};
thread_local int LevelGuard::depth = 0;

// --- dotted-key access ------------------------------------------------------

nb::object getitem(nb::handle self, nb::handle key) {
    nb::object head, rest;
    if (!split_key(key, head, rest))
        return base_get(self, key);
    LevelGuard guard(" while looking up a dotted key");
    nb::object value = base_get(self, head);
    if (!is_mapping(value))
        raise_key_error(key);  // nothing below a plain value
    return check(PyObject_GetItem(value.ptr(), rest.ptr()));
}

bool is_keyed_list_obj(nb::handle value) {
    if (Py_TYPE(value.ptr()) != (PyTypeObject *)g_tcl_obj)
        return false;
    nb::object name = check(PyObject_GetAttr(value.ptr(), KX_ID(typename)));
    return PyUnicode_Check(name.ptr()) && PyUnicode_CompareWithASCIIString(name.ptr(), kKeyedListType) == 0;
}

nb::object from_tcl(nb::handle string);

// The nested level `self[key]`; a missing one is made empty and stored with
// `store` (the base store, or the dotted store). A plain value there is a
// conflict.
template <typename Store>
nb::object level(nb::handle self, nb::handle key, Store store) {
    PyObject *found = PyObject_GetItem(self.ptr(), key.ptr());
    if (!found) {
        if (!PyErr_ExceptionMatches(PyExc_KeyError))
            throw nb::python_error();
        PyErr_Clear();
        nb::object sub = new_mardeck();
        store(sub);
        return sub;
    }
    nb::object sub = nb::steal(found);
    if (!is_mardeck(sub))
        raise_conflict(key);
    return sub;
}

void setitem(nb::handle self, nb::handle key, nb::handle value_in) {
    nb::object value = is_keyed_list_obj(value_in) ? from_tcl(value_in) : nb::borrow(value_in);
    nb::object head, rest;
    if (split_key(key, head, rest)) {
        LevelGuard guard(" while storing under a dotted key");
        nb::object sub = level(self, head, [&](nb::handle made) { base_set(self, head, made); });
        if (PyObject_SetItem(sub.ptr(), rest.ptr(), value.ptr()) != 0)
            throw nb::python_error();
        return;
    }
    if (is_mardeck(value)) {
        PyObject *existing = PyDict_GetItemWithError(self.ptr(), key.ptr());
        if (!existing && PyErr_Occurred())
            throw nb::python_error();
        if (existing && !is_mardeck(existing))
            raise_conflict(key);
    }
    base_set(self, key, value);
}

bool contains(nb::handle self, nb::handle key) {
    nb::object head, rest;
    if (!split_key(key, head, rest)) {
        int r = PyDict_Contains(self.ptr(), key.ptr());
        if (r < 0)
            throw nb::python_error();
        return r != 0;
    }
    LevelGuard guard(" while testing a dotted key");
    PyObject *value = PyDict_GetItemWithError(self.ptr(), head.ptr());
    if (!value) {
        if (PyErr_Occurred())
            throw nb::python_error();
        return false;
    }
    nb::object held = nb::borrow(value);
    if (!is_mapping(held))
        return false;  // a plain value holds no fields
    return truth(call_method(held, KX_ID(__contains__), {rest.ptr()}));
}

void delitem(nb::handle self, nb::handle key) {
    nb::object head, rest;
    if (!split_key(key, head, rest)) {
        if (PyDict_DelItem(self.ptr(), key.ptr()) != 0)
            throw nb::python_error();
        return;
    }
    LevelGuard guard(" while deleting a dotted key");
    nb::object value = base_get(self, head);
    if (!is_mapping(value))
        raise_key_error(key);
    if (PyObject_DelItem(value.ptr(), rest.ptr()) != 0)
        throw nb::python_error();
    if (!truth(value) && PyDict_DelItem(self.ptr(), head.ptr()) != 0)
        throw nb::python_error();
}

// --- construction and merging ---------------------------------------------

// Values that dict() can never take (a non-empty str: its items are single
// characters; numbers and None: not iterable) stay as they are without a try.
bool never_a_mapping(nb::handle v) {
    PyTypeObject *t = Py_TYPE(v.ptr());
    if (t == &PyUnicode_Type)
        return PyUnicode_GET_LENGTH(v.ptr()) > 0;
    return t == &PyLong_Type || t == &PyFloat_Type || t == &PyBool_Type || v.is_none();
}

// Replaces, in the plain dict `d`, every value that `convert` turns into a
// Mardeck; a value for which it raises one of `passes` stays as it is, and so
// do values dict() cannot take when `skip_scalars`.
template <typename Convert>
void nest_values(nb::handle d, Convert convert, std::initializer_list<PyObject *> passes,
                 bool skip_scalars) {
    PyObject *key, *value;
    Py_ssize_t pos = 0;
    nb::list replaced;  // (key, Mardeck) pairs, stored after the walk
    while (PyDict_Next(d.ptr(), &pos, &key, &value)) {
        if (is_mardeck(value) || (skip_scalars && never_a_mapping(value)))
            continue;
        PyObject *nested = convert(value);
        if (!nested) {
            bool passed = false;
            for (PyObject *exc : passes)
                passed = passed || PyErr_ExceptionMatches(exc);
            if (!passed)
                throw nb::python_error();
            PyErr_Clear();
            continue;
        }
        replaced.append(nb::make_tuple(nb::handle(key), nb::steal(nested)));
    }
    for (nb::handle pair : replaced)
        base_set(d, pair[0], pair[1]);
}

void init(nb::handle self, nb::args args, nb::kwargs kwargs) {
    nb::object empty = nb::tuple();
    if (PyDict_Type.tp_init(self.ptr(), empty.ptr(), nullptr) != 0)
        throw nb::python_error();
    nb::object d = check(PyObject_Call((PyObject *)&PyDict_Type, args.ptr(), kwargs.ptr()));
    LevelGuard guard(" while building a Mardeck");
    nest_values(d, [](PyObject *v) { return PyObject_CallOneArg(g_mardeck, v); },
                {PyExc_ValueError, PyExc_TypeError}, true);
    call_method(self, KX_ID(update), {d.ptr()});
}

nb::list all_items(nb::handle self);

// `self[key] = value` for every pair: our own store when the class has not
// replaced it, otherwise through the override. `pairs` comes from all_items(),
// which a subclass may replace: each element must be a pair, as for
// dict.update.
void store_all(nb::handle self, nb::handle pairs) {
    nb::object it = check(PyObject_GetIter(pairs.ptr()));
    Py_ssize_t index = 0;
    while (PyObject *raw = PyIter_Next(it.ptr())) {
        nb::object pair = as_pair(nb::steal(raw), index++);
        if (PyObject_SetItem(self.ptr(), PyTuple_GET_ITEM(pair.ptr(), 0), PyTuple_GET_ITEM(pair.ptr(), 1)) != 0)
            throw nb::python_error();
    }
    if (PyErr_Occurred())
        throw nb::python_error();
}

void update(nb::handle self, nb::args args, nb::kwargs kwargs) {
    Py_ssize_t n = PyTuple_GET_SIZE(args.ptr());
    if (n > 1) {
        nb::object msg = call_method(KX_STR("update() takes at most 1 positional arguments ({} given)"),
                                     KX_ID(format), {nb::int_(n).ptr()});
        PyErr_SetObject(PyExc_TypeError, msg.ptr());
        throw nb::python_error();
    }
    if (n == 1) {
        nb::handle other = args[0];
        if (is_mardeck(other))
            store_all(self, call_method(other, KX_ID(all_items)));
        else
            call(g_mm_update, {self.ptr(), other.ptr()});
    }
    PyObject *key, *value;
    Py_ssize_t pos = 0;
    while (PyDict_Next(kwargs.ptr(), &pos, &key, &value)) {
        if (!is_mardeck(value)) {
            if (PyObject_SetItem(self.ptr(), key, value) != 0)
                throw nb::python_error();
            continue;
        }
        nb::object sub = level(self, key, [&](nb::handle made) {
            if (PyObject_SetItem(self.ptr(), key, made.ptr()) != 0)
                throw nb::python_error();
        });
        call_method(sub, KX_ID(update), {value});
    }
}

// --- flattening -------------------------------------------------------------

void flatten(nb::handle level, nb::handle prefix, nb::list &out, bool with_values, int depth) {
    RecursionGuard guard(" while flattening a Mardeck", depth);
    nb::object items = call_method(level, KX_ID(items));  // a subclass may replace items()
    nb::object it = check(PyObject_GetIter(items.ptr()));
    Py_ssize_t index = 0;
    while (PyObject *raw = PyIter_Next(it.ptr())) {
        nb::object pr = as_pair(nb::steal(raw), index++);
        nb::object key = nb::borrow(PyTuple_GET_ITEM(pr.ptr(), 0));
        nb::object value = nb::borrow(PyTuple_GET_ITEM(pr.ptr(), 1));
        nb::object full = prefix.is_none()
                              ? key
                              : check(PyUnicode_FromFormat("%S.%S", prefix.ptr(), key.ptr()));
        if (is_mardeck(value))
            flatten(value, full, out, with_values, depth + 1);
        else if (with_values)
            out.append(nb::make_tuple(full, value));
        else
            out.append(full);
    }
    if (PyErr_Occurred())
        throw nb::python_error();
}

nb::list all_keys(nb::handle self) {
    nb::list out;
    flatten(self, nb::none(), out, false, 1);
    return out;
}

nb::list all_items(nb::handle self) {
    nb::list out;
    flatten(self, nb::none(), out, true, 1);
    return out;
}

nb::object tclobj_of(nb::handle self) {
    nb::list pairs;
    for (nb::handle pair : call_method(self, KX_ID(items)))
        pairs.append(check(PySequence_Tuple(pair.ptr())));
    return kx::tclobj(pairs);
}

// --- parsing keyed-list text ---------------------------------------------

// The package-level cast_list, unless it is the package's own list split
// (then the C++ split is used directly, with the same results).
nb::object package_cast_list() {
    nb::object pkg = check(PyImport_ImportModule("korvex.tcl"));
    return check(PyObject_GetAttrString(pkg.ptr(), "cast_list"));
}

// Parses keyed-list text into a plain dict of fields, or returns NULL when
// the text is not a keyed list (a malformed list, or an element that is not a
// key and a value). Values that parse as keyed lists become Mardecks.
nb::object parse_fields(nb::handle text, int depth);

nb::object parse_value(nb::handle value, int depth) {
    nb::object fields = parse_fields(value, depth + 1);
    if (!fields.is_valid())
        return nb::borrow(value);
    nb::object m = new_mardeck();
    call_method(m, KX_ID(update), {fields.ptr()});
    return m;
}

nb::object parse_fields(nb::handle text, int depth) {
    RecursionGuard guard(" while parsing a keyed list", depth);
    nb::tuple elements, pair;
    if (!tcl::try_list_from_any(text, elements))
        return nb::object();
    nb::dict fields;
    for (nb::handle element : elements) {
        if (!tcl::try_list_from_any(element, pair) || pair.size() != 2)
            return nb::object();
        fields[pair[0]] = pair[1];
    }
    PyObject *key, *value;
    Py_ssize_t pos = 0;
    while (PyDict_Next(fields.ptr(), &pos, &key, &value)) {
        if (is_mardeck(value))
            continue;
        nb::object parsed = parse_value(nb::handle(value), depth);
        if (!parsed.is(nb::handle(value)))
            fields[nb::handle(key)] = parsed;
    }
    return fields;
}

// The same steps through a replaced package-level cast_list, with its errors.
nb::object from_tcl_through(nb::handle cast_list, nb::handle string) {
    nb::object elements = call(cast_list, {string.ptr()});
    nb::list pairs;
    for (nb::handle element : elements)
        pairs.append(call(cast_list, {element.ptr()}));
    nb::object d = call((PyObject *)&PyDict_Type, {pairs.ptr()});
    nb::object parse = check(PyObject_GetAttr(g_mardeck, KX_ID(from_tcl)));
    nest_values(d, [&](PyObject *v) { return PyObject_CallOneArg(parse.ptr(), v); }, {PyExc_ValueError}, false);
    nb::object m = new_mardeck();
    call_method(m, KX_ID(update), {d.ptr()});
    return m;
}

bool is_own_cast_list(nb::handle cast_list);

nb::object from_tcl(nb::handle string) {
    nb::object cast_list = package_cast_list();
    if (is_own_cast_list(cast_list)) {
        nb::object fields = parse_fields(string, 1);
        if (fields.is_valid()) {
            nb::object m = new_mardeck();
            call_method(m, KX_ID(update), {fields.ptr()});
            return m;
        }
    }
    // A replaced cast_list, or a text that is no keyed list: the general
    // steps, which raise the errors callers expect.
    return from_tcl_through(cast_list, string);
}

bool is_own_cast_list(nb::handle cast_list) {
    // The shared interpreter's cast_list is the static method of Interpreter.
    nb::object interp_mod = check(PyImport_ImportModule("korvex.tcl.interpreter"));
    nb::object cls = check(PyObject_GetAttrString(interp_mod.ptr(), "Interpreter"));
    nb::object own = check(PyObject_GetAttrString(cls.ptr(), "cast_list"));
    return cast_list.is(own);
}

}  // namespace
}  // namespace kx

KX_MODULE(mardeck, m) {
    using namespace kx;
    m.doc() = "Mardeck: TclX keyed lists as Python mappings with dotted keys.";
    nb::object attr_dict = import_attr("korvex.datastructures", "AttrDict");
    m.attr("AttrDict") = attr_dict;
    nb::object mutable_mapping = import_attr("collections.abc", "MutableMapping");
    m.attr("MutableMapping") = mutable_mapping;
    g_tcl_obj = keep(import_attr("_tkinter", "Tcl_Obj"));
    m.attr("Tcl_Obj") = nb::handle(g_tcl_obj);
    std::string package = PyUnicode_AsUTF8(nb::str(m.attr("__name__")).ptr());
    package = package.substr(0, package.rfind('.'));
    m.attr("tclobj") = import_attr((package + ".zelph").c_str(), "tclobj");
    g_mapping = keep(import_attr("collections.abc", "Mapping"));
    g_mm_update = keep(mutable_mapping.attr("update"));

    ClassDef c(m, "Mardeck", {attr_dict, mutable_mapping},
               "A TclX keyed list: a mapping whose nested levels are Mardecks,\n"
               "reached from the top with dotted keys ('name.first').\n\n"
               "Mardeck.from_tcl(text) parses keyed-list text; zelph/tclobj turn a\n"
               "Mardeck back into keyed-list text.");
    c.def("__init__", &init, "args"_a, "kwargs"_a,
          "Build from what dict(*args, **kwargs) takes; nested mappings become Mardecks\n"
          "and dotted keys build nested levels.")
        .def_static("from_tcl", &from_tcl, "string"_a.none(),
                    "Parse keyed-list text (a str or a Tcl value) into a new Mardeck.")
        .def("__getitem__", &getitem, "key"_a.none())
        .def("__setitem__", &setitem, "key"_a.none(), "value"_a.none())
        .def("__contains__", &contains, "key"_a.none())
        .def("__delitem__", &delitem, "key"_a.none())
        .def("update", &update, "args"_a, "kwargs"_a,
             "Merge a mapping or iterable of pairs (a Mardeck merges leaf by leaf) and\n"
             "keyword fields (a Mardeck value merges into the level of that name).")
        .def("all_keys", &all_keys, "Every leaf key, fully qualified with dots, depth first.")
        .def("all_items", &all_items, "(dotted key, leaf value) for every leaf, depth first.")
        .def("__tclobj__", &tclobj_of, "The keyed list as nested (key, value) tuples.");
    c.set("get", mutable_mapping.attr("get"))
        .set("pop", mutable_mapping.attr("pop"))
        .set("setdefault", mutable_mapping.attr("setdefault"))
        .set("has_key", nb::borrow(c.ns()["__contains__"]));
    g_mardeck = keep(c.finish());
}
