"""Python values to the JSON state of a result and back: kinds, limits, order, equality."""

import collections.abc
import json

import pytest

from support import Table
from vorpel import CompileResult, LintResult, TyxError


class Pair(collections.abc.Sequence):
    def __len__(self):
        return 2

    def __getitem__(self, index):
        if index >= 2:
            raise IndexError(index)
        return ("first", "second")[index]


class Broken(collections.abc.Sequence):
    def __len__(self):
        return 1

    def __getitem__(self, index):
        raise ValueError("boom")


class Key(str):
    """Equal texts that a dict still keeps apart."""

    def __hash__(self):
        return id(self)

    def __eq__(self, other):
        return self is other


class Text(str):
    pass


class Number(int):
    pass


def state(value):
    return CompileResult({"v": value}).to_dict()["v"]


@pytest.mark.parametrize("value, expected", [
    (None, None),
    (True, True),
    (False, False),
    (0, 0),
    (2**64 - 1, 2**64 - 1),
    (-(2**63), -(2**63)),
    (Number(5), 5),
    (1.5, 1.5),
    (-0.0, -0.0),
    (float("nan"), None),
    (float("inf"), None),
    (float("-inf"), None),
    ("é\n", "é\n"),
    (Text("t"), "t"),
    ([1, "a", None], [1, "a", None]),
    ((1, (2,)), [1, [2]]),
    (Pair(), ["first", "second"]),
    ({"b": 1, "a": {"d": 2, "c": 3}}, {"a": {"c": 3, "d": 2}, "b": 1}),
    (Table({"z": 1, "y": 2}), {"y": 2, "z": 1}),
    (frozenset(), []),
    ({7}, [7]),
    (range(3), [0, 1, 2]),
])
def test_accepted_values(value, expected):
    converted = state(value)
    assert converted == expected
    assert type(converted) is type(expected)


def test_objects_keep_keys_in_byte_order():
    keys = ["z", "é", "\uffff", "\U0001f600", "A", "a", ""]
    result = CompileResult({key: index for index, key in enumerate(keys)})
    assert list(result.to_dict()) == sorted(keys + ["sourceMap"])
    assert list(json.loads(result.to_json())) == sorted(keys)


def test_equal_keys_keep_the_later_value():
    assert CompileResult({Key("a"): 1, Key("a"): 2}).to_json() == '{"a":2}'


@pytest.mark.parametrize("value, reason", [
    (2**64, "JSON number out of range"),
    (-(2**63) - 1, "JSON number out of range"),
    (2**200, "JSON number out of range"),
    (b"x", "invalid type: byte array, expected any valid JSON value"),
    (bytearray(b"x"), "invalid type: byte array, expected any valid JSON value"),
    (object(), "unsupported type object"),
    (1j, "unsupported type complex"),
    ({(1, 2): 3}, "unexpected type: 'tuple' object is not an instance of 'str'"),
    ([{"a": {1: 2}}], "unexpected type: 'int' object is not an instance of 'str'"),
    # A type's name is the user's text, made safe for display.
    (type("\x1b[31m\u202e", (), {})(), "unsupported type \\u001B[31m\\u202E"),
    ({type("\u2066", (), {})(): 1}, "unexpected type: '\\u2066' object is not an instance of 'str'"),
    (Broken(), "ValueError: boom"),
])
def test_refused_values(value, reason):
    with pytest.raises(TyxError) as caught:
        CompileResult({"v": value})
    assert caught.value.message == "invalid CompileResult state: " + reason


def nested(levels):
    value = []
    for _ in range(levels - 1):
        value = [value]
    return value


def test_nesting_limit():
    # 257 containers are the top value and 256 levels below it.
    CompileResult(nested(257))
    with pytest.raises(TyxError) as caught:
        CompileResult(nested(258))
    assert caught.value.message == "invalid CompileResult state: nesting exceeds maximum depth of 256"


def test_self_containing_values_are_refused():
    loop = []
    loop.append(loop)
    table = {}
    table["self"] = table
    for value in (loop, table):
        with pytest.raises(TyxError) as caught:
            LintResult(value)
        assert caught.value.message == "invalid LintResult state: nesting exceeds maximum depth of 256"


@pytest.mark.parametrize("value", [1.5, 0.1, 1e300, -2.5e-300, 2.0, 123456789.125, 5e-324])
def test_floats_read_back_as_the_same_double(value):
    text = CompileResult([value]).to_json()
    (read,) = json.loads(text)
    assert isinstance(read, float)
    assert read == value
    assert CompileResult(json.loads(text)) == CompileResult([value])


def test_integers_are_written_in_decimal():
    assert CompileResult([0, 2**64 - 1, -(2**63), True, None]).to_json() == \
        "[0,18446744073709551615,-9223372036854775808,true,null]"


@pytest.mark.parametrize("left, right, equal", [
    (1, 1, True),
    (1, 1.0, False),
    (1, True, False),
    (1.0, True, False),
    (0, False, False),
    (-1, -1, True),
    (-1, -1.0, False),
    (2**64 - 1, 2**64 - 1, True),
    (0.5, 0.5, True),
    (0.0, -0.0, True),
    ("a", "a", True),
    ("a", "b", False),
    (None, None, True),
    ([1, 2], [1, 2], True),
    ([1, 2], (1, 2), True),
    ([1, 2], [1, 2, 3], False),
    ({"a": 1}, {"a": 1}, True),
    ({"a": 1}, {"b": 1}, False),
    ({"a": 1}, {"a": 1, "b": 2}, False),
    ({"a": [1]}, {"a": [1.0]}, False),
    ([], {}, False),
    (None, float("nan"), True),
])
def test_json_equality_keeps_kinds_apart(left, right, equal):
    assert (CompileResult([left]) == CompileResult([right])) is equal
    assert (LintResult({"x": left}) == LintResult({"x": right})) is equal


def test_to_dict_builds_new_objects():
    result = CompileResult({"a": {"b": [1]}, "kind": "markdown"})
    first, second = result.to_dict(), result.to_dict()
    assert first == second
    assert first["a"] is not second["a"]
    assert first["a"]["b"] is not second["a"]["b"]
    first["a"]["b"].append(2)
    assert result.to_dict()["a"]["b"] == [1]


def test_large_unsigned_integers_round_trip():
    value = {"n": 2**64 - 1, "m": -(2**63)}
    result = CompileResult(value)
    assert result.to_dict() == dict(value, sourceMap=None)
    assert json.loads(result.to_json()) == value
