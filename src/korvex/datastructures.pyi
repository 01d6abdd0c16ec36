"""Types of korvex.datastructures."""

from typing import Any, TypeVar

_V = TypeVar("_V")

class AttrDict(dict[str, _V]):
    """A dict whose fields can also be read as attributes."""

    def __getattr__(self, name: str) -> _V: ...

class _DictSignature:
    def __get__(self, obj: object, cls: type | None = None) -> Any: ...
