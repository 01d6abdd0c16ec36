"""Small data structures shared by korvex packages."""


class _DictSignature:
    """The ``__signature__`` of a dict subclass that keeps dict's own
    ``__init__`` (inspect finds none for it): ``(iterable=(), /, **kwargs)``.
    For a subclass with an ``__init__`` of its own it is None, so inspect
    reads that ``__init__``."""

    def __get__(self, obj, cls=None):
        if obj is not None:
            raise AttributeError("__signature__")
        if cls.__init__ is not dict.__init__:
            return None
        import inspect

        return inspect.Signature(
            [
                inspect.Parameter("iterable", inspect.Parameter.POSITIONAL_ONLY, default=()),
                inspect.Parameter("kwargs", inspect.Parameter.VAR_KEYWORD),
            ]
        )


class AttrDict(dict):
    """A dict whose fields can also be read as attributes: ``d.name`` is ``d['name']``.

    Reading an attribute that is neither a real attribute nor a field raises
    AttributeError, so ``getattr(d, name, default)`` and ``hasattr`` work as usual.
    """

    __slots__ = ()
    __signature__ = _DictSignature()

    def __getattr__(self, name):
        try:
            return dict.__getitem__(self, name)
        except KeyError:
            raise AttributeError(
                "%r object has no attribute %r" % (type(self).__name__, name)
            ) from None

    def __repr__(self):
        return "%s(%s)" % (type(self).__name__, dict.__repr__(self))
