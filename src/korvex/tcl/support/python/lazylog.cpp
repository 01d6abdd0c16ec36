#include "support/python/lazylog.hpp"

#include "support/python/attrcache.hpp"

namespace kx {

PyObject *LazyLogger::get() {
    if (!logger_) {
        nb::object get_logger = import_attr("logging", "getLogger");
        logger_ = keep(call(get_logger, {nb::str(name_).ptr()}));
    }
    return logger_;
}

bool LazyLogger::enabled_for(int level) {
    if (!logger_) {
        // Still not loaded while sys.modules is unchanged since we looked.
        PyObject *modules = PyImport_GetModuleDict();
        uint64_t version = dict_version(modules);
        if (version != 0 && modules == absent_from_ && version == absent_version_)
            return false;
        PyObject *logging = PyDict_GetItemWithError(modules, KX_ID(logging));
        if (!logging) {
            if (PyErr_Occurred())
                throw nb::python_error();
            absent_from_ = modules;
            absent_version_ = version;
            return false;
        }
        get();
    }
    nb::object lvl = nb::int_(level);
    // Logger.isEnabledFor answers from the logger's own cache (which logging
    // clears whenever a level changes); read that cache directly when it holds
    // the answer, and ask the method otherwise.
    nb::object dict = nb::steal(PyObject_GenericGetDict(logger_, nullptr));
    if (dict.is_valid() && PyDict_CheckExact(dict.ptr())) {
        PyObject *disabled = PyDict_GetItemWithError(dict.ptr(), KX_ID(disabled));
        PyObject *cache = PyDict_GetItemWithError(dict.ptr(), KX_ID(_cache));
        if (disabled == Py_False && cache && PyDict_CheckExact(cache)) {
            PyObject *answer = PyDict_GetItemWithError(cache, lvl.ptr());
            if (answer == Py_True || answer == Py_False)
                return answer == Py_True;
        }
    }
    PyErr_Clear();
    return call_method(logger_, KX_ID(isEnabledFor), {lvl.ptr()}).ptr() == Py_True;
}

void LazyLogger::log(int level, nb::handle text) {
    nb::object lvl = nb::int_(level);
    call_method(get(), KX_ID(log), {lvl.ptr(), text.ptr()});
}

nb::object lazy_logger_attr(LazyLogger &logger, const char *attr_name, nb::handle module,
                            nb::handle name) {
    if (PyUnicode_Check(name.ptr()) && PyUnicode_CompareWithASCIIString(name.ptr(), attr_name) == 0)
        return nb::borrow(logger.get());
    raise_no_module_attr(module, name);
}

}  // namespace kx
