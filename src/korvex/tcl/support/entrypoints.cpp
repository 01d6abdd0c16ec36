#include "support/entrypoints.hpp"

#include <dirent.h>
#include <sys/stat.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>

namespace kx {
namespace {

bool ends_with(const std::string &s, const char *suffix) {
    size_t n = std::strlen(suffix);
    return s.size() >= n && s.compare(s.size() - n, n, suffix) == 0;
}

// Whether an entry_points.txt may declare the section `group`. importlib.metadata
// splits the text into lines (str.splitlines), reads a line as a section header
// when, stripped of whitespace, it starts with '[' and ends with ']', and takes the
// name between the brackets (all of them stripped). Other mentions of the name (a
// console script "korvex.tcl.console:main") declare nothing. A line that holds the
// name and bytes outside ASCII (Unicode line breaks or whitespace) counts as a
// declaration: a wrong yes only costs time, a wrong no would lose hooks.
bool file_declares(const std::string &path, const std::string &group) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    auto line_break = [](unsigned char c) { return c == '\n' || c == '\r' || c == 0x0b || c == 0x0c || (c >= 0x1c && c <= 0x1e); };
    auto blank = [](unsigned char c) { return c == ' ' || (c >= 0x09 && c <= 0x0d) || (c >= 0x1c && c <= 0x1f); };
    size_t pos = 0;
    while (pos <= text.size()) {
        size_t stop = pos;
        bool wide = false;
        while (stop < text.size() && !line_break(text[stop]))
            wide |= (unsigned char)text[stop++] >= 0x80;
        size_t begin = pos, end = stop;
        pos = stop + 1;
        if (std::string_view(text).substr(begin, end - begin).find(group) == std::string_view::npos)
            continue;
        if (wide)
            return true;
        while (begin < end && blank(text[begin]))
            ++begin;
        while (end > begin && blank(text[end - 1]))
            --end;
        if (end - begin < 2 || text[begin] != '[' || text[end - 1] != ']')
            continue;
        while (begin < end && text[begin] == '[')
            ++begin;
        while (end > begin && text[end - 1] == ']')
            --end;
        if (text.compare(begin, end - begin, group) == 0)
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
