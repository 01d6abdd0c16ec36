#include "support/bridge/historyapi.hpp"

namespace kx {

namespace {

const HistoryApi *load_history_api() {
    nb::object capsule = import_attr("korvex.tcl.history", "_C_API");
    void *p = PyCapsule_GetPointer(capsule.ptr(), kHistoryApiName);
    if (!p)
        throw nb::python_error();
    return static_cast<const HistoryApi *>(p);
}

const HistoryApi *history_api() {
    // (PyCapsule_Import would walk the package's attributes, where `history`
    // is the shared interpreter's History, not the module.)
    return KX_ONCE(const HistoryApi *, load_history_api());
}

}  // namespace

void record(nb::handle history, nb::handle item) {
    const HistoryApi *api = history_api();
    PyTypeObject *type = Py_TYPE(history.ptr());
    if (type == api->type && unchanged(type, api->type_tag)) {
        if (api->append(history.ptr(), item.ptr()) != 0)
            throw nb::python_error();
        return;
    }
    call_method(history, KX_ID(append), {item.ptr()});
}

void record_words(nb::handle history, nb::handle words) {
    const HistoryApi *api = history_api();
    PyTypeObject *type = Py_TYPE(history.ptr());
    if (type == api->type && unchanged(type, api->type_tag)) {
        if (api->append_words(history.ptr(), words.ptr()) != 0)
            throw nb::python_error();
        return;
    }
    // Any other append gets a list of its own, as quick calls always gave.
    nb::object list = check(PySequence_List(words.ptr()));
    call_method(history, KX_ID(append), {list.ptr()});
}

}  // namespace kx
