// LazyLogger: a named logger of the standard logging module, fetched only
// once that module is loaded. Until some code imports logging, nothing can
// have configured a level or a handler, so a debug record would go nowhere;
// importing logging ourselves would only slow down the package import.
#pragma once

#include "support/python/pyutil.hpp"

#include <cstdint>

namespace kx {

class LazyLogger {
public:
    explicit LazyLogger(const char *name) : name_(name) {}

    // The logger (importing logging when needed); borrowed.
    PyObject *get();

    // Whether a record of `level` would be handled; false while logging is
    // not loaded.
    bool enabled_for(int level);

    // logger.log(level, text) without formatting arguments.
    void log(int level, nb::handle text);

private:
    const char *name_;
    PyObject *logger_ = nullptr;  // kept for the life of the process once fetched
    // sys.modules and its version when logging was last found missing
    // (only compared, never dereferenced).
    PyObject *absent_from_ = nullptr;
    uint64_t absent_version_ = 0;
};

// The module-level __getattr__ that publishes a lazy logger under `attr_name`.
nb::object lazy_logger_attr(LazyLogger &logger, const char *attr_name, nb::handle module,
                            nb::handle name);

constexpr int kDebug = 10;
constexpr int kInfo = 20;

}  // namespace kx
