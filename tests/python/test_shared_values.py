"""Values that one Python object makes in many places: read once, with the results and the
failures that reading every reference gives."""

import collections.abc
import json

import pytest

import vorpel
from support import Clearing
from vorpel import CompileResult, TyxError


def shared_lists(levels, leaf=1):
    """`levels` lists of ten references to the one below: 10**levels values from a few lists."""
    value = leaf
    for _ in range(levels):
        value = [value] * 10
    return value


def nested(depth, inner=1):
    value = inner
    for _ in range(depth):
        value = [value]
    return value


def outcome(template, variables):
    try:
        return ("output", vorpel.compile(template, vars=variables).output)
    except TyxError as error:
        return ("error", error.code, error.message)


class Same(collections.abc.Sequence):
    """A sequence of `count` references to `item`."""

    def __init__(self, item, count):
        self.item = item
        self.count = count

    def __len__(self):
        return self.count

    def __getitem__(self, index):
        if index >= self.count:
            raise IndexError(index)
        return self.item


class Key(str):
    """Equal texts that a dict still keeps apart."""

    def __hash__(self):
        return id(self)

    def __eq__(self, other):
        return self is other


def test_a_hundred_million_values_from_eighty_lists():
    result = vorpel.compile("{{ length(v) }}\n@for a in v:\n@for b in a:\n{{ length(b) }}\n@end\n@end\n",
                            vars={"v": shared_lists(8)})
    assert result.output == "10\n" + "10\n" * 100


def test_a_hundred_million_values_from_eighty_dicts():
    inner = {"leaf": "x" * 2000}
    for _ in range(8):
        inner = {f"k{i}": inner for i in range(10)}
    result = vorpel.compile("{{ length(v.k9.k0.k5.k1.k2.k3.k4.k8.leaf) }}", vars={"v": inner})
    assert result.output == "2000\n"


DEEP_60 = nested(60)
DEEP_200 = nested(200)


def shared_at_several_depths(make):
    shared = make()
    return {"a": shared, "b": [shared, [shared, (shared,)]], "c": {"d": shared, "e": [shared]}}


LISTED = "{{ a }} | {{ b }} | {{ c.d }} | {{ c.e }}"


LONG = "L" * 1500


def long_list():
    return [LONG, "short"]


def wide():
    return {f"m{i:02}": LONG + str(i) for i in range(20)}


def narrow():
    return {"z": LONG, "a": "short"}


def key_order(make):
    """A value read first for a key sorted after the key it is read again for."""
    shared = make()
    return {"b": shared, "a": shared, "c": {"z": shared, "d": [shared]}}


def equal_keys(first, second):
    return {Key("a"): first, Key("a"): second}


def emptied_between_references():
    cleared = [1, 2, [3]]
    inner = cleared[2]
    return {"a": [cleared, inner, Clearing([cleared, inner]), cleared, inner]}


def read_by_code_between_references():
    item = [3, 4]
    return {"a": [item, Same(item, 3), (item, item)]}


def shared_sets():
    inner = frozenset({(1, 2)})
    return {"a": [inner, (inner, inner), [inner]]}


def with_reader(make):
    """`make()` beside a sequence whose reading runs code, before and after it."""
    value = make()
    return {"a": [value, Same(value, 2), value]}


def too_deep_along_one_path(depth, outer):
    deep = nested(depth)
    return {"a": deep, "b": nested(outer, deep)}


# (template, the variables, what the build that read every reference anew gave).
JSON_DEPTH = ("error", "tyx::json", "JSON parse error: value nesting exceeds maximum depth of 64")
READ_DEPTH = ("error", "tyx::invalid_options", "invalid vars: nesting exceeds maximum depth of 256")
LENGTHS = "@for t in b:\n{{ length(t) }}\n@end\n@for t in a:\n{{ length(t) }}\n@end\n"

# (template, the variables, what the build that read every reference anew gave).
SHARED_SHAPES = [
    (LISTED, lambda: shared_at_several_depths(lambda: [1, "two", [3.5, [4]]]),
     ("output", "1, two, 3.5, 4 | 1, two, 3.5, 4, 1, two, 3.5, 4, 1, two, 3.5, 4 | "
                "1, two, 3.5, 4 | 1, two, 3.5, 4\n")),
    (LISTED, lambda: shared_at_several_depths(lambda: ("t", 2, ("u",))),
     ("output", "t, 2, u | t, 2, u, t, 2, u, t, 2, u | t, 2, u | t, 2, u\n")),
    (LISTED, lambda: shared_at_several_depths(lambda: frozenset({("s", 1)})),
     ("output", "s, 1 | s, 1, s, 1, s, 1 | s, 1 | s, 1\n")),
    ("{{ a.x.w }} {{ c.d.y }}\n@for e in c.e:\n{{ e.x.w }}\n@end\n",
     lambda: shared_at_several_depths(lambda: {"y": 1, "x": {"w": [7, 8]}}),
     ("output", "7, 8 1\n7, 8\n")),
    # Long texts, in members sorted before and after the place they were read in.
    (LENGTHS + "@for t in c.z:\n{{ length(t) }}\n@end\n", lambda: key_order(long_list),
     ("output", "1500\n5\n" * 3)),
    ("{{ length(b.m19) }} {{ length(a.m00) }} {{ length(c.z.m07) }}", lambda: key_order(wide),
     ("output", "1502 1501 1501\n")),
    ("{{ length(b.z) }} {{ length(c.z.z) }} {{ a.a }}", lambda: key_order(narrow),
     ("output", "1500 1500 short\n")),
    # Depth: one reference within the limit, another past it, in either order.
    ("x", lambda: too_deep_along_one_path(60, 4), ("output", "x\n")),
    ("x", lambda: too_deep_along_one_path(60, 5), JSON_DEPTH),
    ("x", lambda: {"b": nested(5, DEEP_60), "a": DEEP_60}, JSON_DEPTH),
    ("x", lambda: {"a": nested(5, DEEP_60), "b": DEEP_60}, JSON_DEPTH),
    ("x", lambda: {"a": [DEEP_60, {"k": nested(2, DEEP_60)}]}, ("output", "x\n")),
    ("x", lambda: {"a": [DEEP_60, {"k": nested(3, DEEP_60)}]}, JSON_DEPTH),
    ("x", lambda: {"a": [DEEP_60, {"k": nested(2, {"j": DEEP_60})}]}, JSON_DEPTH),
    # Of equal keys the later member counts, also for its depth.
    ("{{ a }}", lambda: equal_keys(nested(5, DEEP_60), [DEEP_60[0][0][0][0]]), ("output", "1\n")),
    ("{{ a }}", lambda: equal_keys([DEEP_60[0]], nested(5, DEEP_60)), JSON_DEPTH),
    ("{{ length(a) }}", lambda: equal_keys(nested(5, DEEP_60), [DEEP_60[0], DEEP_60[0]]),
     ("output", "2\n")),
    # Past the depth reading follows at all, only along the deeper path.
    ("x", lambda: too_deep_along_one_path(200, 55), JSON_DEPTH),
    ("x", lambda: too_deep_along_one_path(200, 56), READ_DEPTH),
    ("x", lambda: {"a": [DEEP_200] * 3 + [nested(54, DEEP_200), object()]},
     ("error", "tyx::invalid_options", "invalid vars: unsupported type object")),
    ("x", lambda: {"a": [DEEP_200] * 3 + [nested(55, DEEP_200), object()]}, READ_DEPTH),
    ("x", lambda: {"a": [DEEP_200] * 3 + [nested(54, [DEEP_200]), object()]}, READ_DEPTH),
    # Values that cannot be read, met again.
    ("x", lambda: {"a": [[1, object()]] * 2},
     ("error", "tyx::invalid_options", "invalid vars: unsupported type object")),
    ("x", lambda: {"a": [{"b": b"x"}] * 5},
     ("error", "tyx::invalid_options",
      "invalid vars: invalid type: byte array, expected any valid JSON value")),
    ("x", lambda: {"a": [[2**64]] * 3},
     ("error", "tyx::invalid_options", "invalid vars: JSON number out of range")),
    ("x", lambda: [DEEP_60, DEEP_60],
     ("error", "tyx::invalid_options", "options.vars must be a plain object, got array")),
    ("x", lambda: [shared_lists(3)] * 2,
     ("error", "tyx::invalid_options", "options.vars must be a plain object, got array")),
    # Code run between two references may change what the next one reads.
    ("{{ a }}", emptied_between_references, ("output", "1, 2, 3, 3, read, ,\n")),
    ("{{ a }}", read_by_code_between_references,
     ("output", "3, 4, 3, 4, 3, 4, 3, 4, 3, 4, 3, 4\n")),
    ("{{ a }}", lambda: with_reader(lambda: [1, [2]]), ("output", "1, 2, 1, 2, 1, 2, 1, 2\n")),
    ("{{ a }}", shared_sets, ("output", "1, 2, 1, 2, 1, 2, 1, 2\n")),
]


@pytest.mark.parametrize("template, make, expected", SHARED_SHAPES)
def test_shared_values_read_as_every_reference_does(template, make, expected):
    assert outcome(template, make()) == expected


# The state of a result, as every reference read anew gives it.
def plain(make):
    """The value `make()` gives, written out with no object met twice."""
    return ("state", json.loads(json.dumps(make())))


# The state of a result, as every reference read anew gives it.
SHARED_STATES = [
    (lambda: key_order(long_list), plain(lambda: key_order(long_list))),
    (lambda: key_order(wide), plain(lambda: key_order(wide))),
    (lambda: too_deep_along_one_path(200, 54), plain(lambda: too_deep_along_one_path(200, 54))),
    (lambda: too_deep_along_one_path(200, 55),
     ("error", "tyx::invalid_options",
      "invalid CompileResult state: nesting exceeds maximum depth of 256")),
    (emptied_between_references, ("state", {"a": [[1, 2, [3]], [3], ["read"], [], []]})),
    (lambda: with_reader(lambda: [1, [2]]), ("state", {"a": [[1, [2]], [[1, [2]], [1, [2]]], [1, [2]]]})),
]


@pytest.mark.parametrize("make, expected", SHARED_STATES)
def test_shared_values_in_result_states(make, expected):
    try:
        got = ("state", json.loads(CompileResult({"v": make()}).to_json())["v"])
    except TyxError as error:
        got = ("error", error.code, error.message)
    assert got == expected


def option_outcome(call):
    try:
        call()
        return ("accepted",)
    except TyxError as error:
        return ("error", error.code, error.message)


# Options whose members must be texts, given a shared value as a member.
SHARED_OPTIONS = [
    (lambda value: vorpel.compile_virtual({"a.tyx": "x", "b.tyx": value}, "a.tyx"),
     ("error", "tyx::invalid_options", 'modules["b.tyx"] must be a string, got array')),
    (lambda value: vorpel.compile_virtual({"a.tyx": "x", "b.tyx": {"c": value}}, "a.tyx"),
     ("error", "tyx::invalid_options", 'modules["b.tyx"] must be a string, got object')),
    (lambda value: vorpel.lint("x", rules={"no-such-rule": value}),
     ("error", "tyx::invalid_options", 'rules["no-such-rule"] must be a string, got array')),
    (lambda value: vorpel.lint("x", rules={"a": "warn", "b": [value, value]}),
     ("error", "tyx::invalid_options", 'rules["b"] must be a string, got array')),
]


@pytest.mark.parametrize("levels", [2, 8])
@pytest.mark.parametrize("call, expected", SHARED_OPTIONS)
def test_shared_values_in_options_of_texts(call, expected, levels):
    assert option_outcome(lambda: call(shared_lists(levels))) == expected
