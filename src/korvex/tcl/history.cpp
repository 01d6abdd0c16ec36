// korvex.tcl.history: the bounded record of Tcl scripts an interpreter ran,
// with named markers that collect sub-histories.
#include "support/classdef.hpp"

#include <datetime.h>

#include <ctime>

using namespace nb::literals;

namespace kx {
namespace {

constexpr long kMaxHistory = 9999;

// Module-lifetime references, taken once at import.
PyObject *g_log;          // logging.getLogger('korvex.tcl')
PyObject *g_deque;        // collections.deque
PyObject *g_re_compile;   // re.compile
PyObject *g_entry_type;   // Entry
PyObject *g_debug_level;  // logging.DEBUG

struct Entry {
    nb::object timestamp;
    nb::object api;
};

// datetime.now(), without a Python call.
nb::object now() {
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
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
    nb::object words = check(PySequence_List(api.ptr()));
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

nb::object make_entry(nb::handle api) {
    nb::object text = entry_text(api);
    nb::object obj = nb::inst_alloc(g_entry_type);
    new (nb::inst_ptr<Entry>(obj)) Entry{now(), std::move(text)};
    nb::inst_mark_ready(obj);
    return obj;
}

int entry_traverse(PyObject *self, visitproc visit, void *arg) {
    Py_VISIT(Py_TYPE(self));
    if (!nb::inst_ready(self))
        return 0;
    Entry *e = nb::inst_ptr<Entry>(self);
    Py_VISIT(e->timestamp.ptr());
    Py_VISIT(e->api.ptr());
    return 0;
}

int entry_clear(PyObject *self) {
    Entry *e = nb::inst_ptr<Entry>(self);
    e->timestamp.reset();
    e->api.reset();
    return 0;
}

PyType_Slot entry_slots[] = {{Py_tp_traverse, (void *)entry_traverse},
                             {Py_tp_clear, (void *)entry_clear},
                             {0, nullptr}};

nb::str entry_str(const Entry &e) {
    nb::object stamp = call_method(e.timestamp, KX_ID(strftime), {KX_STR("%Y-%m-%dT%H:%M:%S.%f")});
    return nb::str(check(PyUnicode_FromFormat("%S: %S", stamp.ptr(), e.api.ptr())));
}

void debug(nb::handle text) {
    call_method(g_log, KX_ID(debug), {text.ptr()});
}

bool debug_enabled() {
    return call_method(g_log, KX_ID(isEnabledFor), {g_debug_level}).ptr() == Py_True;
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

void append(nb::handle self, nb::handle item) {
    if (debug_enabled()) {
        nb::object text = check(PyUnicode_FromFormat("%% %S", item.ptr()));
        debug(text);
    }
    if (!truth(attr(self, KX_ID(enabled))))
        return;
    nb::object entry = make_entry(item);
    call_method(attr(self, KX_ID(__history__)), KX_ID(append), {entry.ptr()});
    nb::object active = attr(self, KX_ID(__activeMarkers__));
    if (PyList_CheckExact(active.ptr()) && PyList_GET_SIZE(active.ptr()) == 0)
        return;
    nb::object markers = attr(self, KX_ID(__markers__));
    nb::object names = check(PySequence_List(active.ptr()));
    for (Py_ssize_t i = 0, n = PyList_GET_SIZE(names.ptr()); i < n; ++i) {
        nb::object q = check(PyObject_GetItem(markers.ptr(), PyList_GET_ITEM(names.ptr(), i)));
        call_method(q, KX_ID(append), {entry.ptr()});
    }
}

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
    nb::object pattern = call(g_re_compile, {regex.ptr()});
    nb::list kept;
    for (nb::handle entry : subset) {
        nb::object api = check(PyObject_GetAttr(entry.ptr(), KX_ID(api)));
        if (!call_method(pattern, KX_ID(search), {api.ptr()}).is_none())
            kept.append(entry);
    }
    return kept;
}

nb::object history_str(nb::handle self) {
    return check(PyObject_Str(attr(self, KX_ID(__history__)).ptr()));
}

nb::object history_repr(nb::handle self) {
    return check(PyObject_Repr(attr(self, KX_ID(__history__)).ptr()));
}

}  // namespace
}  // namespace kx

NB_MODULE(history, m) {
    using namespace kx;
    PyDateTime_IMPORT;
    if (!PyDateTimeAPI)
        throw nb::python_error();
    m.doc() = "Bounded history of the Tcl calls an interpreter ran, with named markers.";

    nb::object logging = nb::module_::import_("logging");
    g_log = keep(logging.attr("getLogger")("korvex.tcl"));
    g_debug_level = keep(logging.attr("DEBUG"));
    g_deque = keep(import_attr("collections", "deque"));
    g_re_compile = keep(import_attr("re", "compile"));
    m.attr("log") = nb::handle(g_log);

    nb::class_<Entry> entry(m, "Entry", nb::type_slots(entry_slots),
                            "One recorded Tcl command: its text `api` and its `timestamp`.");
    entry.def(
             "__init__",
             [](Entry *e, nb::handle api) {
                 nb::object text = entry_text(api);
                 new (e) Entry{now(), std::move(text)};
             },
             "api"_a.none())
        .def_rw("timestamp", &Entry::timestamp, "datetime.datetime of the recording (local time).")
        .def_rw("api", &Entry::api, "The recorded Tcl command text.")
        .def("__str__", &entry_str)
        .def("__repr__", [](nb::handle self) {
            nb::object text = call_method(self, KX_ID(__str__));
            nb::object addr = check(PyNumber_ToBase(
                nb::int_((intptr_t)self.ptr()).ptr(), 16));
            return nb::str(check(PyUnicode_FromFormat("<Entry '%S' at %S>", text.ptr(), addr.ptr())));
        });
    g_entry_type = keep(entry);

    ClassDef h(m, "History", {},
               "Bounded history of Tcl commands, oldest first.\n\n"
               "Once full, each new entry pushes out the oldest. Recording can be\n"
               "switched off and on; while a named marker is active, each new entry\n"
               "is also added to that marker's own history.");
    h.set("__MAX_HISTORY__", nb::int_(kMaxHistory))
        .def("__init__", &init, "max_history"_a.none() = nb::int_(kMaxHistory))
        .def("enable", &enable, "Record appended items from now on.")
        .def("disable", &disable, "Stop recording (appends are still logged).")
        .def("append", &append, "item"_a.none(), "Record one Tcl command (text or words).")
        .def("clear", &clear, "marker"_a.none() = nb::none(), "clear_all"_a.none() = false,
             "Empty the general history, one marker, or (clear_all) everything.")
        .def("start_marker", &start_marker, "marker"_a.none(),
             "Create the marker if new and make it active.")
        .def("end_marker", &end_marker, "marker"_a.none(),
             "Make the marker inactive; its entries stay.")
        .def("filter", &filter, "marker"_a.none() = nb::none(), "count"_a.none() = 20,
             "regex"_a.none() = nb::none(),
             "The newest `count` entries (of a marker), those matching `regex`.")
        .def("__str__", &history_str)
        .def("__repr__", &history_repr)
        .finish();
}
