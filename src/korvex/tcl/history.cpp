// korvex.tcl.history: the bounded record of Tcl scripts an interpreter ran,
// with named markers that collect sub-histories.
#include "support/python/module.hpp"
#include "support/python/attrcache.hpp"
#include "support/python/classdef.hpp"
#include "support/bridge/historyapi.hpp"
#include "support/python/lazylog.hpp"

#include <datetime.h>

#include <cstring>
#include <ctime>

using namespace nb::literals;

namespace kx {
namespace {

constexpr long kMaxHistory = 9999;

// The module's logger, 'korvex.tcl' (published as the module attribute `log`).
LazyLogger g_log("korvex.tcl");

// Module-lifetime references, taken once at import.
PyObject *g_deque;       // collections.deque
PyCFunction g_deque_append;  // deque.append's C function (one argument), or NULL
PyTypeObject *g_entry_type;  // Entry

// Entry: one recorded command. A plain C type: history entries are made on
// every eval, so they must be as cheap as a Python object can be. An entry
// keeps the raw clock reading; the datetime is made when first asked for
// (most entries are never looked at). Entries of this class are made without
// counting toward the collector's threshold (gc_new_uncounted): while a
// history fills, counted entries would start a collection every ~700
// evaluations, each visiting every tracked object. Likewise the text of a quick call's
// words: the entry keeps the word list (which nothing else holds) and joins
// it when `api` is first read.
struct EntryObject {
    PyObject_HEAD
    timespec when;
    PyObject *timestamp;  // NULL until asked for
    PyObject *api;        // NULL while `words` holds the words
    PyObject *words;      // a list or tuple of plain str none of which holds a space, or NULL
};

EntryObject *as_entry(PyObject *o) { return reinterpret_cast<EntryObject *>(o); }

// A few entries dropped from a full history are kept for reuse, so that
// recording into a full history allocates nothing. Each keeps its reference
// to the class.
constexpr int kFreeMax = 16;
EntryObject *g_free[kFreeMax];
int g_nfree = 0;

EntryObject *new_entry(PyTypeObject *type) {
    if (type == g_entry_type && g_nfree > 0) {
        EntryObject *e = g_free[--g_nfree];
        Py_SET_REFCNT(e, 1);
        return e;
    }
    // (A subclass's objects are Python's to lay out.)
    PyObject *e = type == g_entry_type ? gc_new_uncounted(type) : (PyObject *)PyObject_GC_New(EntryObject, type);
    if (!e)
        throw nb::python_error();
    return as_entry(e);
}

timespec clock_now() {
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return ts;
}

// The datetime C API, imported on first use: most programs never look at a
// timestamp, and the datetime module is not free to import.
void need_datetime() {
    if (!PyDateTimeAPI) {
        PyDateTime_IMPORT;
        if (!PyDateTimeAPI)
            throw nb::python_error();
    }
}

// The local time of a clock reading, as datetime.now() would have given it.
nb::object local_datetime(const timespec &ts) {
    need_datetime();
    time_t secs = ts.tv_sec;
    tm local;
    localtime_r(&secs, &local);
    int sec = local.tm_sec > 59 ? 59 : local.tm_sec;  // a leap second, as datetime does
    return check(PyDateTimeAPI->DateTime_FromDateAndTime(
        local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, sec,
        (int)(ts.tv_nsec / 1000), Py_None, PyDateTimeAPI->DateTimeType));
}

// The recorded text: a str as it is, otherwise the words joined by spaces,
// those holding a space wrapped in braces.
nb::object entry_text(nb::handle api) {
    if (PyUnicode_Check(api.ptr()))
        return nb::borrow(api);
    // The common case, a list or tuple of plain words none of which holds a
    // space, is joined as it is.
    PyObject *seq = api.ptr();
    if (PyList_CheckExact(seq) || PyTuple_CheckExact(seq)) {
        Py_ssize_t n = PySequence_Fast_GET_SIZE(seq);
        PyObject **items = PySequence_Fast_ITEMS(seq);
        bool plain = true;
        for (Py_ssize_t i = 0; i < n && plain; ++i)
            plain = PyUnicode_CheckExact(items[i]) &&
                    PyUnicode_FindChar(items[i], ' ', 0, PyUnicode_GET_LENGTH(items[i]), 1) == -1;
        if (plain)
            return check(PyUnicode_Join(KX_STR(" "), seq));
    }
    nb::object words = check(PySequence_List(seq));
    Py_ssize_t n = PyList_GET_SIZE(words.ptr());
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject *word = PyList_GET_ITEM(words.ptr(), i);
        int spaced = PySequence_Contains(word, KX_STR(" "));
        if (spaced < 0)
            throw nb::python_error();
        if (spaced) {
            nb::object wrapped = check(PyUnicode_Format(KX_STR("{%s}"), word));
            PyList_SetItem(words.ptr(), i, wrapped.release().ptr());
        }
    }
    return check(PyUnicode_Join(KX_STR(" "), words.ptr()));
}

nb::object make_entry(PyTypeObject *type, nb::handle api) {
    nb::object text = entry_text(api);
    EntryObject *e = new_entry(type);
    e->when = clock_now();
    e->timestamp = nullptr;
    e->words = nullptr;
    e->api = text.release().ptr();
    // An entry holding a plain str (and later a plain datetime) cannot be part
    // of a reference cycle: like a tuple of atoms, it stays out of the
    // collector's lists until a field gets an object that could be.
    if (!PyUnicode_CheckExact(e->api))
        PyObject_GC_Track(e);
    return nb::steal((PyObject *)e);
}

// Whether the text of `words` (a list or tuple) is the words joined by single
// spaces: plain str none of which holds a space.
bool plain_words(PyObject *words) {
    PyObject **items = PySequence_Fast_ITEMS(words);
    for (Py_ssize_t i = 0, n = PySequence_Fast_GET_SIZE(words); i < n; ++i) {
        PyObject *w = items[i];
        if (!PyUnicode_CheckExact(w))
            return false;
        Py_ssize_t len = PyUnicode_GET_LENGTH(w);
        if (PyUnicode_IS_ASCII(w) ? std::memchr(PyUnicode_1BYTE_DATA(w), ' ', (size_t)len) != nullptr
                                  : PyUnicode_FindChar(w, ' ', 0, len, 1) != -1)
            return false;
    }
    return true;
}

// An entry for a word list that nothing else holds or changes: the list is
// kept and joined only when the text is asked for. Such an entry cannot be
// part of a reference cycle, so the collector does not track it.
nb::object make_words_entry(PyTypeObject *type, nb::handle words) {
    EntryObject *e = new_entry(type);
    e->when = clock_now();
    e->timestamp = nullptr;
    e->api = nullptr;
    e->words = nb::borrow(words).release().ptr();
    // A tuple of plain str cannot be part of a cycle either (the collector
    // untracks such tuples itself, but only once it has visited them): left
    // tracked, it would be linked into the collector's lists until pushed out
    // of a full history, when unlinking it touches its long-cold neighbours.
    if (PyTuple_CheckExact(e->words) && PyObject_GC_IsTracked(e->words))
        PyObject_GC_UnTrack(e->words);
    return nb::steal((PyObject *)e);
}

// The entry's text, joining pending words first.
PyObject *entry_api(PyObject *self) {
    EntryObject *e = as_entry(self);
    if (!e->api) {
        PyObject *text = PyUnicode_Join(KX_STR(" "), e->words);
        if (!text)
            return nullptr;
        e->api = text;
        Py_CLEAR(e->words);
    }
    return e->api;
}

PyObject *entry_new(PyTypeObject *type, PyObject *args, PyObject *kwds) {
    static const char *names[] = {"api", nullptr};
    PyObject *api;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "O:Entry", const_cast<char **>(names), &api))
        return nullptr;
    return c_entry([&] { return make_entry(type, api); });
}

int entry_traverse(PyObject *self, visitproc visit, void *arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(as_entry(self)->timestamp);
    Py_VISIT(as_entry(self)->api);
    Py_VISIT(as_entry(self)->words);
    return 0;
}

int entry_clear(PyObject *self) {
    Py_CLEAR(as_entry(self)->timestamp);
    Py_CLEAR(as_entry(self)->api);
    Py_CLEAR(as_entry(self)->words);
    return 0;
}

void entry_dealloc(PyObject *self) {
    PyTypeObject *type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    entry_clear(self);
    if (type == g_entry_type && g_nfree < kFreeMax) {
        g_free[g_nfree++] = as_entry(self);
        return;
    }
    if (type == g_entry_type)
        gc_free_uncounted(self);
    else
        type->tp_free(self);
    Py_DECREF(type);
}

PyObject *entry_get_timestamp(PyObject *self, void *) {
    return c_entry([&] {
        EntryObject *e = as_entry(self);
        if (!e->timestamp)
            e->timestamp = local_datetime(e->when).release().ptr();
        return nb::borrow(e->timestamp);
    });
}

int set_field(PyObject *&field, PyObject *value, const char *name) {
    if (!value) {
        PyErr_Format(PyExc_AttributeError, "cannot delete the attribute '%s' of an Entry", name);
        return -1;
    }
    Py_INCREF(value);
    Py_XSETREF(field, value);
    return 0;
}

void track_unless_atomic(PyObject *self, PyObject *value) {
    bool atomic = PyUnicode_CheckExact(value) || (PyDateTimeAPI && PyDateTime_CheckExact(value));
    if (!atomic && !PyObject_GC_IsTracked(self))
        PyObject_GC_Track(self);
}

int entry_set_timestamp(PyObject *self, PyObject *value, void *) {
    if (value)
        track_unless_atomic(self, value);
    return set_field(as_entry(self)->timestamp, value, "timestamp");
}

PyObject *entry_get_api(PyObject *self, void *) {
    PyObject *api = entry_api(self);
    return api ? Py_NewRef(api) : nullptr;
}

int entry_set_api(PyObject *self, PyObject *value, void *) {
    if (value)
        track_unless_atomic(self, value);
    int r = set_field(as_entry(self)->api, value, "api");
    if (r == 0)
        Py_CLEAR(as_entry(self)->words);
    return r;
}

PyObject *entry_str(PyObject *self) {
    return c_entry([&] {
        nb::object stamp = check(entry_get_timestamp(self, nullptr));
        nb::object text = call_method(stamp, KX_ID(strftime), {KX_STR("%Y-%m-%dT%H:%M:%S.%f")});
        PyObject *api = entry_api(self);  // borrowed from the entry
        if (!api)
            throw nb::python_error();
        return check(PyUnicode_FromFormat("%S: %S", text.ptr(), api));
    });
}

PyObject *entry_repr(PyObject *self) {
    return c_entry([&] {
        nb::object text = call_method(self, KX_ID(__str__));
        nb::object addr = check(PyLong_FromVoidPtr(self));
        nb::object hex = check(PyNumber_ToBase(addr.ptr(), 16));
        return check(PyUnicode_FromFormat("<Entry '%S' at %S>", text.ptr(), hex.ptr()));
    });
}

PyGetSetDef entry_getset[] = {
    {"timestamp", entry_get_timestamp, entry_set_timestamp,
     "datetime.datetime of the recording (local time, no time zone).", nullptr},
    {"api", entry_get_api, entry_set_api, "The recorded Tcl command text.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyType_Slot entry_slots[] = {
    {Py_tp_doc, (void *)"Entry(api)\n--\n\nOne recorded Tcl command: its text `api` and its `timestamp`."},
    {Py_tp_new, (void *)entry_new},
    {Py_tp_dealloc, (void *)entry_dealloc},
    {Py_tp_traverse, (void *)entry_traverse},
    {Py_tp_clear, (void *)entry_clear},
    {Py_tp_getset, (void *)entry_getset},
    {Py_tp_str, (void *)entry_str},
    {Py_tp_repr, (void *)entry_repr},
    {0, nullptr}};

PyType_Spec entry_spec = {"korvex.tcl.history.Entry", sizeof(EntryObject), 0,
                          Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_BASETYPE,
                          entry_slots};

void debug(nb::handle text) {
    if (g_log.enabled_for(kDebug))
        g_log.log(kDebug, text);
}

// --- History methods ------------------------------------------------------

// deque(maxlen=maxlen)
nb::object new_deque(nb::handle maxlen) {
    nb::object names = nb::make_tuple("maxlen");
    PyObject *args[2] = {nullptr, maxlen.ptr()};
    return check(PyObject_Vectorcall(g_deque, args + 1, PY_VECTORCALL_ARGUMENTS_OFFSET, names.ptr()));
}

void enable(nb::handle self) {
    set_attr(self, KX_ID(enabled), Py_True);
    debug(KX_STR("TclHistory is enabled."));
}

void disable(nb::handle self) {
    set_attr(self, KX_ID(enabled), Py_False);
    debug(KX_STR("TclHistory is disabled."));
}

void init(nb::handle self, nb::handle max_history) {
    set_attr(self, KX_ID(__history__), new_deque(max_history));
    set_attr(self, KX_ID(__markers__), nb::dict());
    set_attr(self, KX_ID(__activeMarkers__), nb::list());
    call_method(self, KX_ID(enable));
}

const Params<1> kAppendParams("append", {"item"}, 1);

// self.<name> for one of History's own instance attributes. For a plain
// History (whose class defines none of these names) straight from the
// instance dict, otherwise, or when missing there, by the full lookup.
nb::object own_attr(PyObject *self, PyObject *name, bool plain) {
    if (plain) {
        if (PyObject *dict = instance_dict(self)) {
            if (PyObject *v = PyDict_GetItemWithError(dict, name))
                return nb::borrow(v);
            if (PyErr_Occurred())
                throw nb::python_error();
        }
    }
    return attr(self, name);
}

// q.append(entry): deque.append's own C function for a plain deque.
void push(nb::handle q, nb::handle entry) {
    if (g_deque_append && Py_TYPE(q.ptr()) == (PyTypeObject *)g_deque) {
        check(g_deque_append(q.ptr(), entry.ptr()));
        return;
    }
    call_method(q, KX_ID(append), {entry.ptr()});
}

// enabled, __history__ and __activeMarkers__ of the plain History that
// recorded last (an interpreter records into the same one on every call).
AttrCache<3> g_own_attrs;

// History.append's body; `make` creates the entry. `plain`: self is a
// History whose class nobody changed.
template <typename Make>
void append_with(PyObject *self, PyObject *item, bool plain, Make &&make) {
    if (g_log.enabled_for(kDebug))
        g_log.log(kDebug, check(PyUnicode_FromFormat("%% %S", item)));
    static const AttrCache<3>::Names kOwn = {KX_ID(enabled), KX_ID(__history__), KX_ID(__activeMarkers__)};
    PyObject *found[3];
    nb::object own[3];  // held: making the entry, truth() and appending may run user code
    bool cached = plain && g_own_attrs.get(self, kOwn, found);
    for (size_t i = 0; i < 3; ++i)
        own[i] = cached ? nb::borrow(found[i]) : nb::object();
    if (!truth(cached ? own[0] : own_attr(self, kOwn[0], plain)))
        return;
    nb::object entry = make();
    push(cached ? own[1] : own_attr(self, kOwn[1], plain), entry);
    nb::object active = cached ? own[2] : own_attr(self, kOwn[2], plain);
    if (PyList_CheckExact(active.ptr()) && PyList_GET_SIZE(active.ptr()) == 0)
        return;
    nb::object markers = own_attr(self, KX_ID(__markers__), plain);
    nb::object names = check(PySequence_List(active.ptr()));
    for (Py_ssize_t i = 0, n = PyList_GET_SIZE(names.ptr()); i < n; ++i) {
        nb::object q = check(PyObject_GetItem(markers.ptr(), PyList_GET_ITEM(names.ptr(), i)));
        push(q, entry);
    }
}

void append_item(PyObject *self, PyObject *item, bool plain = false) {
    append_with(self, item, plain, [&] { return make_entry(g_entry_type, item); });
}

nb::object append(PyObject *self, PyObject *const *args, Py_ssize_t nargsf, PyObject *kwnames) {
    PyObject *item;
    kAppendParams.parse(args, nargsf, kwnames, &item);
    append_item(self, item);
    return nb::none();
}

int append_entry(PyObject *self, PyObject *item) {
    nb::object done = nb::steal(c_entry([&] {
        append_item(self, item, true);
        return nb::object(nb::none());
    }));
    return done.is_valid() ? 0 : -1;
}

int append_words(PyObject *self, PyObject *words) {
    nb::object done = nb::steal(c_entry([&] {
        append_with(self, words, true, [&] {
            if ((PyList_CheckExact(words) || PyTuple_CheckExact(words)) && plain_words(words))
                return make_words_entry(g_entry_type, words);
            return make_entry(g_entry_type, words);
        });
        return nb::object(nb::none());
    }));
    return done.is_valid() ? 0 : -1;
}

// The entry points offered to the other modules (see historyapi.hpp); the
// class and its tag are filled in once the class exists.
HistoryApi g_api = {nullptr, 0, append_entry, append_words};

void clear(nb::handle self, nb::handle marker, nb::handle clear_all) {
    if (truth(clear_all)) {
        nb::object markers = attr(self, KX_ID(__markers__));
        nb::object queues = call_method(markers, KX_ID(values));
        for (nb::handle q : queues)
            call_method(q, KX_ID(clear));
        call_method(attr(self, KX_ID(__history__)), KX_ID(clear));
    } else if (marker.is_none()) {
        call_method(attr(self, KX_ID(__history__)), KX_ID(clear));
    } else {
        nb::object markers = attr(self, KX_ID(__markers__));
        call_method(check(PyObject_GetItem(markers.ptr(), marker.ptr())), KX_ID(clear));
    }
}

void start_marker(nb::handle self, nb::handle marker) {
    nb::object markers = attr(self, KX_ID(__markers__));
    int has = PySequence_Contains(markers.ptr(), marker.ptr());
    if (has < 0)
        throw nb::python_error();
    if (!has) {
        nb::object maxlen = attr(attr(self, KX_ID(__history__)), KX_ID(maxlen));
        if (PyObject_SetItem(markers.ptr(), marker.ptr(), new_deque(maxlen).ptr()) != 0)
            throw nb::python_error();
    }
    call_method(attr(self, KX_ID(__activeMarkers__)), KX_ID(append), {marker.ptr()});
}

void end_marker(nb::handle self, nb::handle marker) {
    call_method(attr(self, KX_ID(__activeMarkers__)), KX_ID(remove), {marker.ptr()});
}

nb::object filter(nb::handle self, nb::handle marker, nb::handle count, nb::handle regex) {
    nb::object source;
    if (marker.is_none()) {
        source = attr(self, KX_ID(__history__));
    } else {
        nb::object markers = attr(self, KX_ID(__markers__));
        PyObject *q = PyObject_GetItem(markers.ptr(), marker.ptr());
        if (!q) {
            if (!PyErr_ExceptionMatches(PyExc_KeyError))
                throw nb::python_error();
            nb::object missing = fetch_exception();
            nb::object msg = check(PyUnicode_Format(KX_STR("No such marker: %s"),
                                                    nb::make_tuple(marker).ptr()));
            nb::object exc = call(PyExc_Exception, {msg.ptr()});
            PyException_SetContext(exc.ptr(), missing.release().ptr());
            PyErr_SetObject(PyExc_Exception, exc.ptr());
            throw nb::python_error();
        }
        source = nb::steal(q);
    }
    nb::object all = check(PySequence_List(source.ptr()));
    nb::object start = check(PyNumber_Negative(count.ptr()));
    nb::object cut = check(PySlice_New(start.ptr(), nullptr, nullptr));
    nb::object subset = check(PyObject_GetItem(all.ptr(), cut.ptr()));
    if (!truth(regex))
        return subset;
    nb::object pattern = call(import_attr("re", "compile"), {regex.ptr()});
    nb::list kept;
    for (nb::handle entry : subset) {
        nb::object api = check(PyObject_GetAttr(entry.ptr(), KX_ID(api)));
        if (!call_method(pattern, KX_ID(search), {api.ptr()}).is_none())
            kept.append(entry);
    }
    return kept;
}

// iter(history): the general history's entries, oldest first, as filter
// gives them. A snapshot: Tcl work done while iterating records new entries
// (which would end iterating the deque itself with RuntimeError).
nb::object history_iter(nb::handle self) {
    nb::object all = check(PySequence_List(attr(self, KX_ID(__history__)).ptr()));
    return check(PyObject_GetIter(all.ptr()));
}

Py_ssize_t history_len(nb::handle self) {
    Py_ssize_t n = PyObject_Length(attr(self, KX_ID(__history__)).ptr());
    if (n < 0)
        throw nb::python_error();
    return n;
}

nb::object history_str(nb::handle self) {
    return check(PyObject_Str(attr(self, KX_ID(__history__)).ptr()));
}

nb::object history_repr(nb::handle self) {
    return check(PyObject_Repr(attr(self, KX_ID(__history__)).ptr()));
}

}  // namespace
}  // namespace kx

KX_MODULE(history, m) {
    using namespace kx;
    m.doc() = "Bounded history of the Tcl calls an interpreter ran, with named markers.";

    g_deque = keep(import_attr("collections", "deque"));
    PyObject *append_descr = type_lookup((PyTypeObject *)g_deque, KX_ID(append));
    if (append_descr && Py_IS_TYPE(append_descr, &PyMethodDescr_Type)) {
        PyMethodDef *def = ((PyMethodDescrObject *)append_descr)->d_method;
        if ((def->ml_flags & (METH_VARARGS | METH_FASTCALL | METH_NOARGS | METH_O | METH_KEYWORDS)) == METH_O)
            g_deque_append = def->ml_meth;
    }
    m.def("__getattr__", [m](nb::handle name) { return lazy_logger_attr(g_log, "log", m, name); });

    g_entry_type = (PyTypeObject *)keep(check(PyType_FromSpec(&entry_spec)));
    m.attr("Entry") = nb::handle((PyObject *)g_entry_type);
    // (For the tests: whether entries are made without counting toward the
    // collector, which a build without private CPython API cannot do.)
    m.attr("_entries_uncounted") = nb::bool_(gc_uncounted_layout(g_entry_type));

    ClassDef h(m, "History", {},
               "Bounded history of Tcl commands, oldest first.\n\n"
               "Once full, each new entry pushes out the oldest. Recording can be\n"
               "switched off and on; while a named marker is active, each new entry\n"
               "is also added to that marker's own history.");
    h.set("__MAX_HISTORY__", nb::int_(kMaxHistory))
        .def("__init__", &init, "max_history"_a.none() = nb::int_(kMaxHistory))
        .def("enable", &enable, "Record appended items from now on.")
        .def("disable", &disable, "Stop recording (appends are still logged).")
        .def_fast(fast_method<append>("append", "append($self, /, item)\n--\n\n"
                                                "Record one Tcl command (text or words)."))
        .def("clear", &clear, "marker"_a.none() = nb::none(), "clear_all"_a.none() = false,
             "Empty the general history, one marker, or (clear_all) everything.")
        .def("start_marker", &start_marker, "marker"_a.none(),
             "Create the marker if new and make it active.")
        .def("end_marker", &end_marker, "marker"_a.none(),
             "Make the marker inactive; its entries stay.")
        .def("filter", &filter, "marker"_a.none() = nb::none(), "count"_a.none() = 20,
             "regex"_a.none() = nb::none(),
             "The newest `count` entries (of a marker), those matching `regex`.")
        .def("__iter__", &history_iter, "The entries of the general history, oldest first.")
        .def("__len__", &history_len, "The number of entries in the general history.")
        .def("__str__", &history_str)
        .def("__repr__", &history_repr);
    nb::object history = h.finish();
    g_api.type = (PyTypeObject *)keep(history);
    g_api.type_tag = version_tag(history);
    m.attr("_C_API") = check(PyCapsule_New(&g_api, kHistoryApiName, nullptr));
}
