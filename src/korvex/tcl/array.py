"""Array: the contents of a Tcl array, as Tcl's "array get" reports them."""

from tkinter import TclError

from korvex.datastructures import _DictSignature

from .zelph import zelph


class Array(dict):
    """A dict of Tcl array element names to their values (``str``)."""

    __signature__ = _DictSignature()

    @classmethod
    def from_tcl(cls, text):
        """Build an Array from a Tcl list of alternating names and values."""
        words = _split(text)
        if len(words) % 2:
            raise ValueError("list must have an even number of elements: %r" % (text,))
        return cls(zip(words[::2], words[1::2]))

    def __repr__(self):
        return "%s(%s)" % (type(self).__name__, dict.__repr__(self))


def __getattr__(name):
    # The splitter comes with ctypes, imported on first use: most imports of
    # the package never need it.
    if name == "GetListFromAny":
        from .internal import GetListFromAny

        return GetListFromAny
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


def _get_list(text):
    global _get_list
    _get_list = __getattr__("GetListFromAny")
    return _get_list(text)


def _split(text):
    try:
        words = _get_list(text)
    except TclError as exc:
        raise ValueError(str(exc)) from exc
    return [w if type(w) is str else zelph(w) for w in words]
