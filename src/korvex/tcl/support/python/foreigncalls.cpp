#include "support/python/foreigncalls.hpp"

#include "support/python/pyutil.hpp"

#include <pthread.h>

#include <atomic>

namespace kx {
namespace foreign {
namespace {

// The key of the per-thread mark, shared by every extension module through
// the Python interpreter's dict for extensions (each module links its own
// copy of this code). Never deleted.
std::atomic<pthread_key_t *> g_key{nullptr};

constexpr const char *kCapsule = "korvex.tcl.foreign-calls";

void *const kMarked = reinterpret_cast<void *>(1);

}  // namespace

void init() {
    if (g_key.load(std::memory_order_acquire))
        return;
    PyObject *shared = PyInterpreterState_GetDict(PyInterpreterState_Get());
    if (!shared) {
        PyErr_SetString(PyExc_RuntimeError, "no per-interpreter dict for korvex.tcl");
        throw nb::python_error();
    }
    PyObject *name = KX_STR(kCapsule);
    PyObject *found = PyDict_GetItemWithError(shared, name);
    if (!found) {
        if (PyErr_Occurred())
            throw nb::python_error();
        auto *key = new pthread_key_t;
        if (pthread_key_create(key, nullptr) != 0) {
            delete key;
            PyErr_SetString(PyExc_RuntimeError, "no thread-specific key left for korvex.tcl");
            throw nb::python_error();
        }
        nb::object capsule = check(PyCapsule_New(key, kCapsule, nullptr));
        found = PyDict_SetDefault(shared, name, capsule.ptr());  // (another module's may win)
        if (!found)
            throw nb::python_error();
    }
    auto *key = static_cast<pthread_key_t *>(PyCapsule_GetPointer(found, kCapsule));
    if (!key)
        throw nb::python_error();
    g_key.store(key, std::memory_order_release);
}

bool active() {
    pthread_key_t *key = g_key.load(std::memory_order_acquire);
    return key && pthread_getspecific(*key) != nullptr;
}

Scope::Scope(bool foreign) {
    pthread_key_t *key = g_key.load(std::memory_order_acquire);
    if (!key)
        return;
    saved_ = pthread_getspecific(*key);
    void *want = foreign ? kMarked : nullptr;
    if (want != saved_) {
        pthread_setspecific(*key, want);
        set_ = true;
    }
}

Scope::~Scope() {
    if (set_)
        pthread_setspecific(*g_key.load(std::memory_order_acquire), saved_);
}

}  // namespace foreign
}  // namespace kx
