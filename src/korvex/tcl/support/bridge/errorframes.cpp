#include "support/bridge/errorframes.hpp"

#include "support/tcl/tcllib.hpp"

#include <mutex>
#include <string>

namespace kx {
namespace errorframes {
namespace {

constexpr const char *kAssocName = "korvex.tcl error frames";

struct Kept {
    std::mutex mu;  // (read from Python's thread, written from the interpreter's)
    bool set = false;
    std::string info, frames;
};

void kept_deleted(void *data, tcl::Interp *) { delete static_cast<Kept *>(data); }

int keep(void *data, tcl::Interp *interp, int objc, tcl::Obj *const objv[]) {
    const tcl::Api &api = tcl::api();
    if (objc != 3) {
        api.SetObjResult(interp, api.NewStringObj("wrong # args: should be \"korvex_error_frames info frames\"", -1));
        return tcl::kError;
    }
    Kept *k = static_cast<Kept *>(data);
    int n1 = 0, n2 = 0;
    const char *info = api.GetStringFromObj(objv[1], &n1);
    const char *frames = api.GetStringFromObj(objv[2], &n2);
    std::lock_guard<std::mutex> lock(k->mu);
    k->info.assign(info, (size_t)n1);
    k->frames.assign(frames, (size_t)n2);
    k->set = true;
    return tcl::kOk;
}

Kept *kept_of(tcl::Interp *interp) {
    return interp ? static_cast<Kept *>(tcl::api().GetAssocData(interp, kAssocName, nullptr)) : nullptr;
}

}  // namespace

void install_for(nb::handle interp_obj, nb::handle name_obj) {
    Py_ssize_t n = 0;
    const char *name = PyUnicode_Check(name_obj.ptr()) ? PyUnicode_AsUTF8AndSize(name_obj.ptr(), &n) : nullptr;
    if (!name)
        throw nb::type_error("the command name must be a str");
    nb::object tk = attr(interp_obj, KX_ID(tk));
    tcl::check_thread(tk);
    tcl::Interp *interp = tcl::tkapp_interp(tk);
    if (!interp) {
        PyErr_SetString(PyExc_TypeError, "not a Tcl application object");
        throw nb::python_error();
    }
    const tcl::Api &api = tcl::api();
    Kept *k = kept_of(interp);
    if (!k) {
        k = new Kept;
        api.SetAssocData(interp, kAssocName, (void *)kept_deleted, k);
    }
    if (!api.CreateObjCommand(interp, name, keep, k, nullptr)) {
        PyErr_Format(PyExc_RuntimeError, "cannot create the Tcl command %s", name);
        throw nb::python_error();
    }
}

nb::object last_for(nb::handle interp_obj) {
    nb::object tk = attr(interp_obj, KX_ID(tk));
    tcl::Interp *interp = tcl::tkapp_interp(tk);
    if (!interp)
        return nb::none();
    tcl::check_thread(tk);
    Kept *k = kept_of(interp);
    if (!k)
        return nb::none();
    std::string info, frames;
    {
        std::lock_guard<std::mutex> lock(k->mu);
        if (!k->set)
            return nb::none();
        info = k->info;
        frames = k->frames;
    }
    return nb::make_tuple(tcl::decode(info.data(), info.size()), tcl::decode(frames.data(), frames.size()));
}

}  // namespace errorframes
}  // namespace kx
