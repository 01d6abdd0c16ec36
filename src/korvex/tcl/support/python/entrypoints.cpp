#include "support/python/entrypoints.hpp"

#include <dirent.h>
#include <sys/stat.h>

#include <cstring>
#include <ctime>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

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

// What stat() says of a file or directory, enough to notice that it changed:
// a directory's times change when an entry is added, removed or renamed in it,
// a file's when it is written; the change time cannot be set back.
struct Stamp {
    dev_t dev = 0;
    ino_t ino = 0;
    off_t size = 0;
    timespec mtime{}, ctime{};
    bool dir = false;

    bool operator==(const Stamp &o) const {
        return dev == o.dev && ino == o.ino && size == o.size && dir == o.dir && same(mtime, o.mtime) &&
               same(ctime, o.ctime);
    }
    static bool same(const timespec &a, const timespec &b) { return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec; }
};

bool stamp_of(const std::string &path, Stamp &out) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0)
        return false;
    out.dev = st.st_dev;
    out.ino = st.st_ino;
    out.size = st.st_size;
    out.mtime = st.st_mtim;
    out.ctime = st.st_ctim;
    out.dir = S_ISDIR(st.st_mode);
    return true;
}

// Whether what was read under `s` may be reused while the stamp stays the same.
// File times have a coarse clock: a change made within the same tick as the
// read leaves the stamp as it was, so what changed in the last second or two
// is read again each time.
bool settled(const Stamp &s) {
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    return now.tv_sec - s.ctime.tv_sec >= 2 && now.tv_sec - s.mtime.tv_sec >= 2;
}

// What earlier scans found, for the interpreters made later: the metadata
// directories of each sys.path directory, and whether each entry_points.txt
// declares a group. Each is used only while its stamp is unchanged. The scan
// runs with the GIL held and calls no Python; the mutex only keeps the tables
// whole should two threads ever scan at once.
struct Listing {
    Stamp stamp;
    std::vector<std::string> metadata;  // names ending in .dist-info or .egg-info
};
struct Declares {
    Stamp stamp;
    bool found;
};
std::mutex g_scan_mutex;
std::unordered_map<std::string, Listing> g_listings;
std::unordered_map<std::string, Declares> g_declares;  // path, '\n', group

// The metadata directories in `dir` (stamped `stamp`): the cached list, or
// `fresh` filled from the directory when it changed lately.
const std::vector<std::string> *metadata_dirs(const std::string &dir, const Stamp &stamp,
                                              std::vector<std::string> &fresh) {
    auto it = g_listings.find(dir);
    if (it != g_listings.end() && it->second.stamp == stamp)
        return &it->second.metadata;
    DIR *d = opendir(dir.c_str());
    if (!d)
        return nullptr;
    Listing listing{stamp, {}};
    while (dirent *e = readdir(d)) {
        std::string name = e->d_name;
        if (ends_with(name, ".dist-info") || ends_with(name, ".egg-info"))
            listing.metadata.push_back(std::move(name));
    }
    closedir(d);
    if (!settled(stamp)) {
        g_listings.erase(dir);
        fresh = std::move(listing.metadata);
        return &fresh;
    }
    auto &slot = g_listings[dir] = std::move(listing);
    return &slot.metadata;
}

bool declares(const std::string &path, const std::string &group) {
    Stamp stamp;
    if (!stamp_of(path, stamp))
        return false;
    std::string key = path + '\n' + group;
    auto it = g_declares.find(key);
    if (it != g_declares.end() && it->second.stamp == stamp)
        return it->second.found;
    bool found = file_declares(path, group);
    if (settled(stamp))
        g_declares[key] = Declares{stamp, found};
    else
        g_declares.erase(key);
    return found;
}

// Whether a sys.path entry may hold a distribution declaring `group`.
bool path_entry_may_declare(const std::string &entry, const char *group) {
    std::string dir = entry.empty() ? "." : entry;
    Stamp stamp;
    if (!stamp_of(dir, stamp))
        return false;  // not there: importlib.metadata finds nothing either
    if (!stamp.dir || ends_with(dir, ".egg"))
        return true;  // a zip file or an egg: leave it to importlib.metadata
    std::lock_guard<std::mutex> lock(g_scan_mutex);
    std::vector<std::string> fresh;
    const std::vector<std::string> *names = metadata_dirs(dir, stamp, fresh);
    if (!names)
        return false;
    for (const std::string &name : *names)
        if (declares(dir + "/" + name + "/entry_points.txt", group))
            return true;
    return false;
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
