// KX_MODULE(name, m): defines an extension module like NB_MODULE, except that
// an exception raised while the module body runs leaves the import unchanged
// (NB_MODULE turns every failure into ImportError). Importing the interpreter
// module runs Tcl code and start-up hooks, whose errors callers catch by type.
#pragma once

#include "support/python/pyutil.hpp"

#define KX_MODULE(name, variable)                                                   \
    static void kx_##name##_body(nanobind::module_);                                \
    static int kx_##name##_exec(PyObject *m) {                                      \
        nanobind::detail::internals = NB_CALL(nb_module_init)(NB_DOMAIN_STR, m);    \
        if (!nanobind::detail::internals)                                           \
            return -1;                                                              \
        try {                                                                       \
            kx_##name##_body(nanobind::borrow<nanobind::module_>(m));               \
            return 0;                                                               \
        } catch (nanobind::python_error & e) {                                      \
            e.restore();                                                            \
        } catch (const std::exception &e) {                                         \
            PyErr_SetString(PyExc_ImportError, e.what());                           \
        }                                                                           \
        return -1;                                                                  \
    }                                                                               \
    static PyObject *kx_##name##_def = nullptr;                                     \
    extern "C" [[maybe_unused]] NB_EXPORT PyObject *PyInit_##name(void);            \
    extern "C" PyObject *PyInit_##name(void) {                                      \
        nanobind::detail::init_singletons();                                        \
        if (!nanobind::detail::nb_backend_init(#name))                              \
            return nullptr;                                                         \
        if (!kx_##name##_def)                                                       \
            kx_##name##_def = NB_CALL(module_new)(#name, nullptr,                   \
                                                  (void *)kx_##name##_exec,         \
                                                  NB_ABI_MINOR_TAG);                \
        return kx_##name##_def;                                                     \
    }                                                                               \
    void kx_##name##_body(nanobind::module_ variable)
