"""Reading `vars` and result states out of Python objects: code that runs while they are read,
equal keys, and values that span many storage blocks."""

import collections.abc
import threading

import pytest

import vorpel
from support import Clearing
from vorpel import CompileResult, TyxError


class Key(str):
    """Equal texts that a dict still keeps apart."""

    def __hash__(self):
        return id(self)

    def __eq__(self, other):
        return self is other


def state(value):
    return CompileResult({"v": value}).to_dict()["v"]


def test_a_dict_is_read_as_it_was_when_its_reading_began():
    # The last references to the inner values go while the dict is still being read.
    inner = {"b": "x" * 50, "c": [1, 2]}
    later = ["kept"] * 3
    outer = {"a": inner, "z": later}
    clearing = Clearing([outer, inner, later])
    later.insert(1, clearing)
    inner["m"] = clearing
    outer["y"] = clearing
    del inner, later, clearing
    assert state(outer) == {
        "a": {"b": "x" * 50, "c": [1, 2], "m": ["read"]},
        "y": ["read"],
        "z": [],
    }


def test_a_list_is_read_at_its_length_of_each_step():
    items = ["s" * 30 for _ in range(4)]
    items.insert(0, Clearing([items]))
    holder = (items, {"k": items})
    assert state([holder, items]) == [[[["read"]], {"k": []}], []]


def test_vars_freed_while_they_are_read():
    texts = ["t%d" % i for i in range(100)]
    table = {"n%d" % i: {"deep": [texts[i], i]} for i in range(100)}
    clearing = Clearing([table, texts])
    table["m"] = clearing
    variables = {"table": table, "after": "still here"}
    del table, texts, clearing
    assert vorpel.compile("{{ after }}", vars=variables).output == "still here\n"


@pytest.mark.parametrize("shape", [list, tuple])
def test_sequences_of_every_exact_kind(shape):
    value = shape([1, -2, 2.5, True, None, "é", shape(["x"])])
    assert state(value) == [1, -2, 2.5, True, None, "é", ["x"]]


def nested(depth, inner="leaf"):
    value = inner
    for _ in range(depth):
        value = [value]
    return value


def test_an_equal_key_later_replaces_a_too_deep_member():
    variables = {Key("a"): nested(70), Key("a"): "shallow"}
    assert vorpel.compile("{{ a }}", vars=variables).output == "shallow\n"


def test_a_too_deep_member_after_an_equal_key_is_refused():
    with pytest.raises(TyxError) as caught:
        vorpel.compile("{{ a }}", vars={Key("a"): "shallow", Key("a"): nested(70)})
    assert caught.value.code == "tyx::json"
    assert caught.value.message == "JSON parse error: value nesting exceeds maximum depth of 64"


def test_equal_keys_keep_the_later_value_at_every_level():
    variables = {Key("a"): {Key("b"): "1", Key("b"): "2"}, Key("a"): {Key("b"): "3", Key("b"): "4"}}
    assert vorpel.compile("{{ a.b }}", vars=variables).output == "4\n"


def test_vars_of_every_kind_read_as_values():
    variables = {
        "a": [1, "x", None, True, 2.5],
        "b": {"z": 1, "a": "q"},
        "c": -3,
        "d": 2**64 - 1,
        "e": "",
        "f": float("nan"),
    }
    output = vorpel.compile("{{ a }}|{{ b.z }}{{ b.a }}|{{ c }}|{{ d }}|{{ e }}|{{ f }}",
                            vars=variables).output
    assert output == "1, x, , true, 2.5|1q|-3|18446744073709552000||\n"


@pytest.mark.parametrize("text", [
    "",
    "é" * 959,
    "a" * 960,
    "b" * 961,
    "\U0001f600" * 5000,
])
def test_texts_of_any_length(text):
    many = [text, "short", text, "", text]
    assert state(many) == many
    assert vorpel.compile("{{ t }}|{{ u }}", vars={"t": text, "u": "after"}).output == \
        text + "|after\n"


@pytest.mark.parametrize("length", [959, 960, 5000])
def test_keys_of_any_length(length):
    key = "k" * length
    table = {key: "long", "short": {key: [key]}}
    assert state(table) == table
    modules = {key: "text of " + key[:3], "main.tyx": "x" * length}
    result = vorpel.compile_virtual(modules, "main.tyx")
    assert result.output == "x" * length + "\n"


# Keys that agree in their first bytes and end inside or just past them, each short one read just
# before a text of high bytes, which would misplace it if bytes past its end took part.
PREFIXED_KEYS = ["ab", "ÿ", "ab\x01", "abcdefg", "é", "abcdefg\x00", "abcdefgh", "abcdefghi",
                 "abcdefgi", "", "a", "\x7f", "abcdefghij" * 3, "abcdefghij" * 3 + "a", "z"]


@pytest.mark.parametrize("keys", [PREFIXED_KEYS, PREFIXED_KEYS[::-1]])
def test_object_members_in_byte_order_of_their_keys(keys):
    table = {key: i for i, key in enumerate(keys)}
    template = "@for key, value in o:\n{{ value }}\n@end\n"
    output = vorpel.compile(template, vars={"o": table}).output
    ordered = sorted(keys, key=str.encode)
    assert output == "".join(f"{table[key]}\n" for key in ordered)


def test_equal_long_keys_keep_the_later_value_beside_keys_with_the_same_head():
    table = {Key("abcdefghij"): 1, Key("abcdefghik"): 2, Key("abcdefghij"): 3}
    template = "@for key, value in o:\n{{ value }}\n@end\n"
    assert vorpel.compile(template, vars={"o": table}).output == "3\n2\n"


def test_many_values_in_one_mapping():
    table = {"k%04d" % i: {"s": "v" * (i % 50), "i": i, "l": [i, -i]} for i in range(1000)}
    assert state(table) == table
    output = vorpel.compile("{{ t.k0999.i }} {{ t.k0500.l }} {{ t.k0049.s }}",
                            vars={"t": table}).output
    assert output == "999 500, -500 " + "v" * 49 + "\n"


def test_threads_read_the_same_vars_at_once():
    shared = {"items": [{"name": "item %d" % i, "n": i} for i in range(50)], "title": "T"}
    source = "{{ title }}\n@for item in items:\n{{ item.name }}={{ item.n }}\n@end\n"
    expected = vorpel.compile(source, vars=shared).output
    failures = []

    def work():
        try:
            for _ in range(200):
                if vorpel.compile(source, vars=shared).output != expected:
                    failures.append("different output")
                    return
        except BaseException as error:  # noqa: BLE001 - reported by the main thread
            failures.append(repr(error))

    threads = [threading.Thread(target=work) for _ in range(8)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert failures == []


class LyingList(list):
    """A list that reports a length other than the number of items it holds."""

    def __init__(self, items, length):
        super().__init__(items)
        self.length = length

    def __len__(self):
        return self.length


class LyingTuple(tuple):
    """The same for a tuple."""

    def __new__(cls, items, length):
        made = super().__new__(cls, items)
        made.length = length
        return made

    def __len__(self):
        return self.length


@pytest.mark.parametrize("length", [10**12, 0, 1])
@pytest.mark.parametrize("shape", [LyingList, LyingTuple])
def test_lists_and_tuples_are_read_by_the_items_they_hold(shape, length):
    value = shape(["a", shape([1, 2], length), {"k": shape([], length)}], length)
    plain = ["a", [1, 2], {"k": []}]
    assert state(value) == plain
    assert vorpel.LintResult({"v": value}).to_json() == vorpel.LintResult({"v": plain}).to_json()
    assert vorpel.compile("{{ v }}", vars={"v": value}).output == \
        vorpel.compile("{{ v }}", vars={"v": plain}).output
    with pytest.raises(TyxError) as caught:
        vorpel.compile_virtual({"a.tyx": "x", "b": value}, "a.tyx")
    assert caught.value.message == 'modules["b"] must be a string, got array'
    with pytest.raises(TyxError) as caught:
        vorpel.lint("x", rules={"r": value})
    assert caught.value.message == 'rules["r"] must be a string, got array'


class Stop(BaseException):
    """Control flow of a program's own, like KeyboardInterrupt and SystemExit."""


class Unprintable(Exception):
    """An error whose text cannot be taken: asking for it raises `stop`."""

    def __init__(self, stop):
        super().__init__()
        self.stop = stop

    def __str__(self):
        raise self.stop


def raising_sequence(stop, where):
    class Raising(collections.abc.Sequence):
        def __len__(self):
            if where == "len":
                raise stop
            return 1

        def __getitem__(self, index):
            if where == "getitem":
                raise stop
            if where == "str":
                raise Unprintable(stop)
            if index >= 1:
                raise IndexError(index)
            return "x"
    return Raising()


def raising_mapping(stop, where):
    class Raising(collections.abc.Mapping):
        def __getitem__(self, key):
            if where == "getitem":
                raise stop
            return "x"

        def __iter__(self):
            if where == "iter":
                raise stop
            return iter(["k"])

        def __len__(self):
            return 1

        def items(self):
            if where == "items":
                raise stop
            if where == "items iterator":
                def pairs():
                    yield ("k", "x")
                    raise stop
                return pairs()
            return super().items()
    return Raising()


class RaisingLength(list):
    def __init__(self, items, stop):
        super().__init__(items)
        self.stop = stop

    def __len__(self):
        raise self.stop


READERS = [
    pytest.param(lambda stop: raising_sequence(stop, "len"), id="sequence __len__"),
    pytest.param(lambda stop: raising_sequence(stop, "getitem"), id="sequence __getitem__"),
    pytest.param(lambda stop: raising_sequence(stop, "str"), id="__str__ of an error"),
    pytest.param(lambda stop: raising_mapping(stop, "getitem"), id="mapping __getitem__"),
    pytest.param(lambda stop: raising_mapping(stop, "iter"), id="mapping keys"),
    pytest.param(lambda stop: raising_mapping(stop, "items"), id="mapping items"),
    pytest.param(lambda stop: raising_mapping(stop, "items iterator"), id="items iterator"),
]

TARGETS = [
    pytest.param(lambda value: vorpel.compile("x", vars={"v": value}), id="vars"),
    pytest.param(lambda value: vorpel.compile("x", vars=value), id="vars itself"),
    pytest.param(lambda value: vorpel.check_virtual({"a.tyx": "x", "b": value}, "a.tyx"),
                 id="modules"),
    pytest.param(lambda value: vorpel.lint("x", rules={"r": value}), id="rules"),
    pytest.param(lambda value: CompileResult({"v": value}), id="CompileResult"),
    pytest.param(lambda value: vorpel.LintResult([value]), id="LintResult"),
]

# MemoryError goes through as well: it says that memory ran out, not what is wrong with the value.
STOPS = [KeyboardInterrupt, SystemExit, Stop, MemoryError]


@pytest.mark.parametrize("kind", STOPS)
@pytest.mark.parametrize("target", TARGETS)
@pytest.mark.parametrize("reader", READERS)
def test_control_flow_raised_while_reading_goes_through_unchanged(reader, target, kind):
    stop = kind()
    with pytest.raises(kind) as caught:
        target(reader(stop))
    assert caught.value is stop
    assert not getattr(stop, "__notes__", None)
    # An Exception raised at the same point is a value that cannot be read.
    with pytest.raises(TyxError) as caught:
        target(reader(ValueError("boom")))
    assert caught.value.code == "tyx::invalid_options"


@pytest.mark.parametrize("kind", STOPS)
@pytest.mark.parametrize("construct", [
    pytest.param(lambda value: vorpel.CheckResult(value), id="CheckResult"),
    pytest.param(lambda value: vorpel.LintFileReport("f", value), id="LintFileReport"),
])
def test_control_flow_raised_by_a_length_hint_goes_through(construct, kind):
    stop = kind()
    with pytest.raises(kind) as caught:
        construct(RaisingLength([], stop))
    assert caught.value is stop
