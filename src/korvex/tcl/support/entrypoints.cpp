#include "support/entrypoints.hpp"

#include <dirent.h>
#include <sys/stat.h>

#include <cstring>
#include <fstream>
#include <string>

namespace kx {
namespace {

bool ends_with(const std::string &s, const char *suffix) {
    size_t n = std::strlen(suffix);
    return s.size() >= n && s.compare(s.size() - n, n, suffix) == 0;
}

std::string trimmed(const std::string &s) {
    size_t b = s.find_first_not_of(" \t\r");
    if (b == std::string::npos)
        return std::string();
    size_t e = s.find_last_not_of(" \t\r");
    return s.substr(b, e - b + 1);
}

// Whether an entry_points.txt declares `group`: a "[group]" section header
// (mentioning the name elsewhere, say in an object reference, does not count).
bool file_declares(const std::string &path, const char *group) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    std::string line;
    while (std::getline(in, line)) {
        line = trimmed(line);
        if (line.size() >= 2 && line.front() == '[' && line.back() == ']' &&
            trimmed(line.substr(1, line.size() - 2)) == group)
            return true;
    }
    return false;
}

// Whether a sys.path entry may hold a distribution declaring `group`.
bool path_entry_may_declare(const std::string &entry, const char *group) {
    std::string dir = entry.empty() ? "." : entry;
    struct stat st;
    if (stat(dir.c_str(), &st) != 0)
        return false;  // not there: importlib.metadata finds nothing either
    if (!S_ISDIR(st.st_mode) || ends_with(dir, ".egg"))
        return true;  // a zip file or an egg: leave it to importlib.metadata
    DIR *d = opendir(dir.c_str());
    if (!d)
        return false;
    bool found = false;
    while (dirent *e = readdir(d)) {
        std::string name = e->d_name;
        if (ends_with(name, ".dist-info") || ends_with(name, ".egg-info")) {
            if (file_declares(dir + "/" + name + "/entry_points.txt", group)) {
                found = true;
                break;
            }
        }
    }
    closedir(d);
    return found;
}

bool may_declare(const char *group) {
    // A finder other than the standard path finder may know distributions of its own.
    // importlib.machinery.PathFinder, from the frozen module behind it (always loaded).
    nb::object path_finder = import_attr("_frozen_importlib_external", "PathFinder");
    PyObject *meta = PySys_GetObject("meta_path");  // borrowed
    if (!meta)
        return true;
    nb::object meta_path = check(PySequence_List(meta));
    for (nb::handle finder : meta_path)
        if (!finder.is(path_finder) && PyObject_HasAttrString(finder.ptr(), "find_distributions"))
            return true;
    PyObject *path = PySys_GetObject("path");  // borrowed
    if (!path)
        return true;
    nb::object entries = check(PySequence_List(path));
    for (nb::handle entry : entries) {
        if (!PyUnicode_Check(entry.ptr()))
            continue;
        const char *text = PyUnicode_AsUTF8(entry.ptr());
        if (!text) {
            PyErr_Clear();
            return true;
        }
        if (path_entry_may_declare(text, group))
            return true;
    }
    return false;
}

}  // namespace

nb::object entry_points(nb::handle name) {
    const char *group = PyUnicode_Check(name.ptr()) ? PyUnicode_AsUTF8(name.ptr()) : nullptr;
    if (!group)
        PyErr_Clear();
    if (group && !may_declare(group))
        return nb::tuple();
    nb::object find = import_attr("importlib.metadata", "entry_points");
#if PY_VERSION_HEX >= 0x030A0000
    nb::object kwnames = nb::make_tuple("group");
    PyObject *args[2] = {nullptr, name.ptr()};
    return check(PyObject_Vectorcall(find.ptr(), args + 1, PY_VECTORCALL_ARGUMENTS_OFFSET,
                                     kwnames.ptr()));
#else
    nb::object all = call(find);
    return call_method(all, KX_ID(get), {name.ptr(), nb::tuple().ptr()});
#endif
}

}  // namespace kx
