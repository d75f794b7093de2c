"""CompileResult and CheckResult built from their states."""

import pickle
import sys

import pytest

from vorpel import CheckResult, CompileResult, Message, TyxError

MARKDOWN = {"dependencies": ["a.tyx"], "kind": "markdown", "output": "Hello x\n", "warnings": ["w"]}
MESSAGES = {
    "dependencies": [],
    "kind": "messages",
    "messages": [{"content": "hi", "role": "system"}, {"content": "a\nb", "role": "user"}],
    "warnings": [],
}
SOURCE_MAP = {"mappings": "AAAA", "names": [], "sources": ["<source>"], "version": 3}


def with_map(state):
    return dict(state, sourceMap=SOURCE_MAP)


def test_docstrings():
    assert CompileResult.__doc__.startswith("The result of [`compile`], [`compile_file`], or [`compile_virtual`].")
    assert CompileResult.__doc__.endswith("`__eq__` is wire equality; the object is intentionally unhashable.")
    assert CheckResult.__doc__ == "The result of [`check`], [`check_file`], or [`check_virtual`]."
    assert CompileResult.kind.__doc__ == '`"markdown"` or `"messages"` — the intrinsic output shape of the template.'
    assert CompileResult.dependencies.__doc__ == "Imported module keys in depth-first resolution order (entry excluded)."
    assert CompileResult.source_map.__doc__.endswith('The wire key in `to_dict()` / `to_json()` is `"sourceMap"` (camelCase).')
    assert CompileResult.to_dict.__doc__.startswith("Return the canonical discriminated-union `dict`")
    assert CompileResult.__reduce__.__doc__.endswith("original.value == restored.value.")
    assert CheckResult.to_dict.__doc__ == 'Return the result as a plain `dict` (`{ "warnings": [...] }`).'
    assert CheckResult.warnings.__doc__ is None


def test_markdown_result_without_map():
    result = CompileResult(MARKDOWN)
    assert result.kind == "markdown"
    assert result.output == "Hello x\n"
    assert result.messages is None
    assert result.warnings == ["w"]
    assert result.dependencies == ["a.tyx"]
    assert result.source_map is None
    assert result.to_dict() == dict(MARKDOWN, sourceMap=None)
    assert list(result.to_dict()) == ["dependencies", "kind", "output", "sourceMap", "warnings"]
    assert result.to_json() == (
        '{"dependencies":["a.tyx"],"kind":"markdown","output":"Hello x\\n","warnings":["w"]}')
    assert repr(result) == (
        "CompileResult(kind='markdown', output=\"Hello x\\n\", warnings=[\"w\"], dependencies=[\"a.tyx\"])")


def test_markdown_result_with_map():
    result = CompileResult(with_map(MARKDOWN))
    assert result.source_map == SOURCE_MAP
    assert result.source_map is not result.source_map
    assert list(result.to_dict()) == ["dependencies", "kind", "output", "sourceMap", "warnings"]
    assert '"sourceMap":{"mappings":"AAAA","names":[],"sources":["<source>"],"version":3}' in result.to_json()
    assert repr(result).endswith(', source_map=<present>)')


def test_messages_result():
    result = CompileResult(MESSAGES)
    assert result.kind == "messages"
    assert result.output is None
    assert result.messages == [Message("system", "hi"), Message("user", "a\nb")]
    assert result.messages[0] is not result.messages[0]
    assert result.to_dict() == dict(MESSAGES, sourceMap=None)
    assert repr(result) == "CompileResult(kind='messages', messages=<2 item(s)>, warnings=[], dependencies=[])"


def test_to_dict_round_trip_differs_but_pickling_does_not(protocol):
    result = CompileResult(MARKDOWN)
    rebuilt = CompileResult(result.to_dict())
    assert rebuilt != result
    assert repr(rebuilt).endswith(", source_map=<present>)")
    assert rebuilt.source_map is None
    restored = pickle.loads(pickle.dumps(result, protocol=protocol))
    assert restored == result
    assert restored.to_json() == result.to_json()
    assert result.__reduce__() == (CompileResult, (MARKDOWN,))


def test_empty_and_odd_states_read_leniently():
    empty = CompileResult({})
    assert (empty.kind, empty.output, empty.messages, empty.source_map) == ("", None, None, None)
    assert (empty.warnings, empty.dependencies) == ([], [])
    assert repr(empty) == "CompileResult(kind='markdown', output=\"\", warnings=[], dependencies=[])"
    assert empty.to_dict() == {"sourceMap": None}
    assert empty.to_json() == "{}"

    listed = CompileResult([1, 2])
    assert listed.to_dict() == [1, 2]
    assert listed.kind == "" and listed.warnings == []
    assert repr(listed) == "CompileResult(kind='markdown', output=\"\", warnings=[], dependencies=[])"

    odd = CompileResult({"kind": 5, "output": 7, "messages": "x", "warnings": ["a", 1, None, "b"],
                         "dependencies": "d", "sourceMap": None})
    assert (odd.kind, odd.output, odd.messages) == ("", None, None)
    assert odd.warnings == ["a", "b"]
    assert odd.dependencies == []
    assert odd.source_map is None
    assert repr(odd) == "CompileResult(kind='markdown', output=\"\", warnings=[\"a\", \"b\"], dependencies=[], source_map=<present>)"

    messages = CompileResult({"kind": "messages", "messages": [{"role": 1}, "x", {"content": "c"}]})
    assert messages.messages == [Message("", ""), Message("", ""), Message("", "c")]
    assert repr(messages).startswith("CompileResult(kind='messages', messages=<3 item(s)>")
    assert repr(CompileResult({"kind": "messages"})).startswith("CompileResult(kind='messages', messages=<0 item(s)>")


@pytest.mark.parametrize("state, reason", [
    ({1: "x"}, "unexpected type: 'int' object is not an instance of 'str'"),
    ({"a": object()}, "unsupported type object"),
    ({"a": b"x"}, "invalid type: byte array, expected any valid JSON value"),
    ([2**64], "JSON number out of range"),
    ([-(2**63) - 1], "JSON number out of range"),
    ({"a": "\ud800"}, None),
])
def test_compile_result_refuses_what_json_cannot_hold(state, reason):
    with pytest.raises(TyxError) as caught:
        CompileResult(state)
    error = caught.value
    assert error.code == "tyx::invalid_options"
    assert error.message.startswith("invalid CompileResult state: ")
    if reason is not None:
        assert error.message == "invalid CompileResult state: " + reason
    assert (error.help, error.span) == (None, None)


def test_compile_result_argument_binding():
    with pytest.raises(TypeError, match=r"^CompileResult\.__new__\(\) missing 1 required positional argument: 'canonical'$"):
        CompileResult()
    with pytest.raises(TypeError, match=r"^CompileResult\.__new__\(\) takes 1 positional arguments but 2 were given$"):
        CompileResult({}, {})
    assert CompileResult(canonical={"kind": "markdown"}).kind == "markdown"


def test_compile_result_equality_is_json_equality():
    assert CompileResult(MARKDOWN) == CompileResult(dict(MARKDOWN))
    assert CompileResult({"a": 1}) != CompileResult({"a": 1.0})
    assert CompileResult({"a": 1}) != CompileResult({"a": True})
    assert CompileResult({"a": float("nan")}) == CompileResult({"a": None})
    assert CompileResult({"a": [1, 2]}) != CompileResult({"a": [2, 1]})
    assert CompileResult({"a": 1, "b": 2}) != CompileResult({"a": 1})
    assert CompileResult(MARKDOWN) != CheckResult(["w"])


def test_check_result_basics():
    result = CheckResult(["a", "b\n"])
    assert result.warnings == ["a", "b\n"]
    assert result.warnings is not result.warnings
    assert result.to_dict() == {"warnings": ["a", "b\n"]}
    assert result.to_json() == '{"warnings":["a","b\\n"]}'
    assert repr(result) == 'CheckResult(warnings=["a", "b\\n"])'
    assert result.__reduce__() == (CheckResult, (["a", "b\n"],))
    assert repr(CheckResult([])) == "CheckResult(warnings=[])"
    assert CheckResult([]).to_json() == '{"warnings":[]}'
    assert CheckResult(["W"]).to_json() == '{"warnings":["W"]}'


def generated():
    yield "x"


class ClaimsHugeLength(list):
    """A list whose reported length is no guide to how many items it yields."""

    def __len__(self):
        return sys.maxsize


@pytest.mark.parametrize("warnings, expected", [
    (("a", "b"), ["a", "b"]),
    (["a"], ["a"]),
    (range(0), []),
    (ClaimsHugeLength(["a"]), ["a"]),
])
def test_check_result_accepts_sequences_of_texts(warnings, expected):
    assert CheckResult(warnings).warnings == expected


@pytest.mark.parametrize("warnings, message", [
    ("abc", "Can't extract `str` to `Vec`"),
    (5, "'int' object is not an instance of 'Sequence'"),
    (None, "'NoneType' object is not an instance of 'Sequence'"),
    ({"a": 1}, "'dict' object is not an instance of 'Sequence'"),
    ({"a"}, "'set' object is not an instance of 'Sequence'"),
    (generated(), "'generator' object is not an instance of 'Sequence'"),
    ([1], "'int' object is not an instance of 'str'"),
    (["a", None], "'None' is not an instance of 'str'"),
])
def test_check_result_refusals(warnings, message):
    with pytest.raises(TypeError) as caught:
        CheckResult(warnings)
    assert str(caught.value) == message
    assert caught.value.__notes__ == ["while processing 'warnings'"]


def test_check_result_iteration_error_propagates():
    class Failing:
        def __len__(self):
            raise RuntimeError("no length")

        def __getitem__(self, index):
            if index == 1:
                raise ValueError("broken")
            return "a"

    with pytest.raises(ValueError, match="^broken$"):
        CheckResult(Failing())


def test_check_result_equality():
    assert CheckResult(["a"]) == CheckResult(("a",))
    assert CheckResult(["a"]) != CheckResult(["a", "a"])
    assert CheckResult(["a"]) != CompileResult({"warnings": ["a"]})
