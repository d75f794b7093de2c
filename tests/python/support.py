"""Helpers shared by the Python tests."""

import collections.abc

import pytest

import vorpel


def error_of(call, kind=vorpel.TyxError):
    """The exception of type `kind` that `call()` raises."""
    with pytest.raises(kind) as info:
        call()
    return info.value


class PathLike:
    """An os.PathLike whose __fspath__ gives `value`, or raises it when it is an exception."""

    def __init__(self, value):
        self.value = value

    def __fspath__(self):
        if isinstance(self.value, BaseException):
            raise self.value
        return self.value


class Map(collections.abc.Mapping):
    """A mapping that is not a dict, read through the Mapping protocol."""

    def __init__(self, **items):
        self._items = items

    def __len__(self):
        return len(self._items)

    def __iter__(self):
        return iter(self._items)

    def __getitem__(self, key):
        return self._items[key]
