// ClassDef: defines a real Python class (any Python bases, the metaclass
// derived from them) whose methods have C++ bodies.
//
//     ClassDef c(m, "History", {}, "Bounded history of Tcl calls.");
//     c.def("append", &append, "item"_a);
//     c.def_static("join", &join, "a"_a, "b"_a);
//     nb::object cls = c.finish();
//
// Methods go into the class namespace before the class is created, so
// ABCMeta sees them when it computes the abstract methods.
#pragma once

#include "support/python/routine.hpp"

#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

namespace kx {

class ClassDef {
public:
    // `bases` are Python classes; none means `object`. `qualname` defaults to
    // `name` (give "Outer.Inner" for nested classes).
    ClassDef(nb::handle module, const char *name, std::initializer_list<nb::handle> bases,
             const char *doc, const char *qualname = nullptr);

    // Every method is a routine (see routine.hpp): it binds to a real Python
    // method object and shows its signature to inspect and help().

    // An instance method: the C++ function takes `self` first.
    template <typename Func, typename... Extra>
    ClassDef &def(const char *name, Func &&f, const Extra &...extra) {
        return set(name, routine(name, method(name, std::forward<Func>(f), extra...)));
    }

    template <typename Func, typename... Extra>
    ClassDef &def_static(const char *name, Func &&f, const Extra &...extra) {
        nb::object fn = routine(name, function(name, std::forward<Func>(f), extra...));
        return set(name, check(PyStaticMethod_New(fn.ptr())));
    }

    // A class method: the C++ function takes the class first.
    template <typename Func, typename... Extra>
    ClassDef &def_classmethod(const char *name, Func &&f, const Extra &...extra) {
        nb::object fn = routine(name, method(name, std::forward<Func>(f), extra...));
        return set(name, check(PyClassMethod_New(fn.ptr())));
    }

    // A method with a raw fast-call body (see fastcall.hpp).
    ClassDef &def_fast(PyMethodDef *def);

    // Any other class attribute (constants, a function shared under two names).
    ClassDef &set(const char *name, nb::handle value);

    // The namespace as filled so far (to fetch a method defined above).
    nb::handle ns() const { return ns_; }

    // Creates the class and stores it on the module under its name (unless
    // `nested`, where the caller stores it on the outer class).
    nb::object finish(bool nested = false);

    // Instead of creating a class: puts the namespace into `cls`, a class
    // made otherwise (with a C layout of its own), and stores it on the module.
    nb::object finish_onto(nb::handle cls);

private:
    nb::object routine(const char *name, nb::handle fn) const {
        return make_routine(fn, module_, (qualname_ + "." + name).c_str());
    }

    template <typename Func, typename... Extra>
    static nb::object method(const char *name, Func &&f, const Extra &...extra) {
        return nb::cpp_function(std::forward<Func>(f), nb::is_method(), nb::name(name), extra...);
    }

    template <typename Func, typename... Extra>
    static nb::object function(const char *name, Func &&f, const Extra &...extra) {
        return nb::cpp_function(std::forward<Func>(f), nb::name(name), extra...);
    }

    nb::object module_, meta_, bases_, ns_;
    std::vector<nb::object> fast_routines_;  // tied to the class by finish()
    std::string name_, qualname_;
};

}  // namespace kx
