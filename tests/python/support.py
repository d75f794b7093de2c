"""Helpers shared by the Python tests."""

import collections.abc
import gc
import os

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


class Table(collections.abc.Mapping):
    """A mapping of the items given that is not a dict, read through the Mapping protocol."""

    def __init__(self, items):
        self._items = dict(items)

    def __getitem__(self, key):
        return self._items[key]

    def __iter__(self):
        return iter(self._items)

    def __len__(self):
        return len(self._items)


class Row(collections.abc.Sequence):
    """A sequence of the items given that is neither a list nor a tuple, read by index."""

    def __init__(self, items):
        self._items = list(items)

    def __getitem__(self, index):
        return self._items[index]

    def __len__(self):
        return len(self._items)


def nested(depth, wrap, leaf="leaf"):
    """`leaf` inside `depth` containers, each made by `wrap` of the one inside it."""
    value = leaf
    for _ in range(depth):
        value = wrap(value)
    return value


def child_environment():
    """The environment of a child interpreter that imports the package under test and this
    module."""
    package_root = os.path.dirname(os.path.dirname(vorpel.__file__))
    tests = os.path.dirname(os.path.abspath(__file__))
    return {**os.environ, "PYTHONPATH": os.pathsep.join([package_root, tests])}


class Map(Table):
    """A mapping of the keyword arguments given that is not a dict."""

    def __init__(self, **items):
        super().__init__(items)


BASE64 = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/"


def decode_mappings(mappings):
    """(generated line, generated column, source, source line, source column) per segment of a
    Source Map v3 `mappings` string, all zero-based."""
    segments = []
    fields = [0, 0, 0, 0]
    for line, groups in enumerate(mappings.split(";")):
        fields[0] = 0
        for group in filter(None, groups.split(",")):
            values, value, shift = [], 0, 0
            for char in group:
                digit = BASE64.index(char)
                value |= (digit & 31) << shift
                shift += 5
                if not digit & 32:
                    values.append(-(value >> 1) if value & 1 else value >> 1)
                    value, shift = 0, 0
            assert len(values) == 4, group
            fields = [f + v for f, v in zip(fields, values)]
            segments.append((line, *fields))
    return segments


def original_position(mappings, line, column):
    """(source, source line, source column) that a consumer gives for a generated position, as
    Mozilla's `originalPositionFor` does: the segment at the greatest column not after it on its
    line, the first such one when several share a position; None when there is none."""
    found = None
    for segment in decode_mappings(mappings):
        if segment[0] == line and segment[1] <= column and (found is None or segment[1] > found[1]):
            found = segment
    return found[2:] if found else None


def assert_one_segment_per_position(mappings):
    positions = [segment[:2] for segment in decode_mappings(mappings)]
    shared = sorted({p for p in positions if positions.count(p) > 1})
    assert not shared, f"segments share the generated positions {shared}: {mappings}"


class Clearing(collections.abc.Sequence):
    """A one-element sequence whose length, when read, empties the given containers."""

    def __init__(self, victims):
        self.victims = victims

    def __len__(self):
        for victim in self.victims:
            victim.clear()
        gc.collect()
        return 1

    def __getitem__(self, index):
        if index >= 1:
            raise IndexError(index)
        return "read"
