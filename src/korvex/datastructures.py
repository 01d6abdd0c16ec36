"""Small data structures shared by korvex packages."""


class AttrDict(dict):
    """A dict whose fields can also be read as attributes: ``d.name`` is ``d['name']``.

    Reading an attribute that is neither a real attribute nor a field raises
    AttributeError, so ``getattr(d, name, default)`` and ``hasattr`` work as usual.
    """

    __slots__ = ()

    def __getattr__(self, name):
        try:
            return dict.__getitem__(self, name)
        except KeyError:
            raise AttributeError(
                "%r object has no attribute %r" % (type(self).__name__, name)
            ) from None

    def __repr__(self):
        return "%s(%s)" % (type(self).__name__, dict.__repr__(self))
