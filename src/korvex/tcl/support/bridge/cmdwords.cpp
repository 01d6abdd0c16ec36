// Command names kept as Tcl objects, per interpreter (Entry::command_word).
//
// _tkinter's call makes a new Tcl object of every word, so Tcl looks each
// command name up from scratch (and frees what it recorded of the lookup with
// the object). A Tcl object that names a command keeps a record of the
// command it was last found to name, checked against the command's and the
// namespace's change counters at every use: Tcl's compiled scripts depend on
// that record, so reusing it for the same text is what a compiled script does.
// The objects are handed to _tkinter wrapped in its own Tcl_Obj type, which it
// passes to Tcl as they are.
#include "support/bridge/bridge.hpp"
#include "support/bridge/bridgestate.hpp"

#include <climits>
#include <cstring>

namespace kx {
namespace bridge {

struct CommandWords {
    // A few names per interpreter, each in the slot its hash picks (a name
    // pushes out the one there before it).
    static constexpr size_t kSlots = 32;
    struct Slot {
        PyObject *name = nullptr;  // an exact str of ASCII text without U+0000
        PyObject *word = nullptr;  // a _tkinter.Tcl_Obj of the same text
    };
    Slot slots[kSlots];
};

namespace {

bool same_text(PyObject *a, PyObject *b) {
    Py_ssize_t n = PyUnicode_GET_LENGTH(a);
    return n == PyUnicode_GET_LENGTH(b) && PyObject_Hash(a) == PyObject_Hash(b) &&
           std::memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b), (size_t)n) == 0;
}

// Whether _tkinter's Tcl_Obj class has the layout known here.
bool known_layout() {
    PyTypeObject *type = tk_tcl_obj_type();
    return type->tp_basicsize == (Py_ssize_t)sizeof(TkTclObject) && type->tp_itemsize == 0;
}

// A new _tkinter.Tcl_Obj holding `obj`, as _tkinter makes them.
nb::object wrap(tcl::Obj *obj) {
    PyTypeObject *type = tk_tcl_obj_type();
    PyObject *self = type->tp_alloc(type, 0);
    if (!self)
        throw nb::python_error();
    TkTclObject *o = reinterpret_cast<TkTclObject *>(self);
    tcl::incr_ref(obj);
    o->value = obj;
    o->string = nullptr;
    return nb::steal(self);
}

}  // namespace

nb::object Entry::command_word(nb::handle name) {
    State *s = s_;
    PyObject *n = name.ptr();
    if (!s || s->closed || !s->interp || !PyUnicode_CheckExact(n) || !PyUnicode_IS_ASCII(n))
        return nb::object();
    Py_hash_t hash = PyObject_Hash(n);  // (kept in the str: computed once)
    if (hash == -1)
        throw nb::python_error();
    if (!s->command_words)
        s->command_words = new CommandWords;
    CommandWords::Slot &slot = s->command_words->slots[(size_t)hash % CommandWords::kSlots];
    if (slot.name && (slot.name == n || same_text(slot.name, n)))
        return nb::borrow(slot.word);
    // _tkinter makes a text with U+0000 another way; Tcl's lengths are ints.
    Py_ssize_t size = PyUnicode_GET_LENGTH(n);
    const char *text = (const char *)PyUnicode_DATA(n);
    if (size > INT_MAX || std::memchr(text, 0, (size_t)size) || !known_layout())
        return nb::object();
    tcl::Obj *obj = tcl::api().NewStringObj(text, (int)size);
    tcl::incr_ref(obj);
    nb::object word;
    try {
        word = wrap(obj);
    } catch (...) {
        tcl::decr_ref(obj);
        throw;
    }
    tcl::decr_ref(obj);  // (the word holds it now)
    // The slot's previous word may be in a call in progress, which holds it.
    PyObject *old_name = slot.name, *old_word = slot.word;
    slot.name = nb::borrow(name).release().ptr();
    slot.word = nb::borrow(word).release().ptr();
    Py_XDECREF(old_name);
    Py_XDECREF(old_word);
    return word;
}

void drop_command_words(State *s) {
    CommandWords *words = s->command_words;
    s->command_words = nullptr;
    if (!words)
        return;
    for (CommandWords::Slot &slot : words->slots) {
        Py_CLEAR(slot.name);
        Py_CLEAR(slot.word);
    }
    delete words;
}

void abandon_command_words(State *s) {
    CommandWords *words = s->command_words;
    s->command_words = nullptr;
    if (!words)
        return;
    // The words stay (their Tcl objects with them); the names go.
    for (CommandWords::Slot &slot : words->slots)
        Py_CLEAR(slot.name);
    delete words;
}

}  // namespace bridge
}  // namespace kx
