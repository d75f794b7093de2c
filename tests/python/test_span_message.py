"""Span and Message: constructors, getters, wire forms and printed forms."""

import json
import pickle

import pytest

from vorpel import Message, Span

SPAN_DOC = (
    "A source span attached to an [`TyxError`].\n\n`offset`/`length` are byte offsets into the "
    "source; `line` is 1-indexed and\n`column` is the 1-indexed character (Unicode scalar) "
    "position, or `None` when\nthe core could not resolve them. All values are Python `int`s — "
    "no truncation."
)


class Index:
    """An object with an integer value through __index__."""

    def __index__(self):
        return 7


def test_docstrings():
    assert Span.__doc__ == SPAN_DOC
    assert Message.__doc__ == "A single chat message produced by a `@message`-bearing template."
    assert Span.to_dict.__doc__ == "Return the span as a plain `dict` (`offset`, `length`, `line`, `column`)."
    assert Span.to_json.__doc__ == "Return the span as a canonical JSON string."
    assert Span.__reduce__.__doc__ == "Reconstruct on unpickle via `Span(offset, length, line, column)`."
    assert Message.to_dict.__doc__ == "Return the message as a plain `dict` (`role`, `content`)."
    assert Message.to_json.__doc__ == "Return the message as a canonical JSON string."
    assert Message.__reduce__.__doc__ == "Reconstruct on unpickle via `Message(role, content)`."
    for getter in ("offset", "length", "line", "column"):
        assert getattr(Span, getter).__doc__ is None
    assert Message.role.__doc__ is None


def test_span_without_position():
    span = Span(0, 5)
    assert (span.offset, span.length, span.line, span.column) == (0, 5, None, None)
    assert repr(span) == "Span(offset=0, length=5, line=None, column=None)"
    assert span.to_dict() == {"column": None, "length": 5, "line": None, "offset": 0}
    assert list(span.to_dict()) == ["column", "length", "line", "offset"]
    assert span.to_json() == '{"column":null,"length":5,"line":null,"offset":0}'
    assert span.__reduce__() == (Span, (0, 5, None, None))


def test_span_with_position():
    span = Span(offset=3, length=4, line=1, column=2)
    assert repr(span) == "Span(offset=3, length=4, line=1, column=2)"
    assert span.to_json() == '{"column":2,"length":4,"line":1,"offset":3}'
    assert span.__reduce__() == (Span, (3, 4, 1, 2))


@pytest.mark.parametrize("arguments, expected", [
    ((True, 2), (1, 2, None, None)),
    ((0, 0), (0, 0, None, None)),
    ((2**64 - 1, 0), (2**64 - 1, 0, None, None)),
    ((Index(), 1, Index(), 0), (7, 1, 7, 0)),
    ((1, 2, None, 5), (1, 2, None, 5)),
])
def test_span_accepts_unsigned_integers(arguments, expected):
    span = Span(*arguments)
    assert (span.offset, span.length, span.line, span.column) == expected


def test_span_prints_large_offsets_in_full():
    assert repr(Span(2**64 - 1, 0)) == "Span(offset=18446744073709551615, length=0, line=None, column=None)"


@pytest.mark.parametrize("arguments, kwargs, error, message, note", [
    ((-1, 0), {}, OverflowError, "can't convert negative int to unsigned", "offset"),
    ((2**64, 0), {}, OverflowError, "int too big to convert", "offset"),
    ((1.0, 2), {}, TypeError, "'float' object cannot be interpreted as an integer", "offset"),
    ((0, "5"), {}, TypeError, "'str' object cannot be interpreted as an integer", "length"),
    ((0, 1, -1), {}, OverflowError, "can't convert negative int to unsigned", "line"),
    ((0, 1), {"column": 2**64}, OverflowError, "int too big to convert", "column"),
])
def test_span_conversion_errors_name_the_argument(arguments, kwargs, error, message, note):
    with pytest.raises(error) as caught:
        Span(*arguments, **kwargs)
    assert str(caught.value) == message
    assert caught.value.__notes__ == [f"while processing '{note}'"]


def test_span_first_failing_argument_wins():
    with pytest.raises(OverflowError) as caught:
        Span(-1, -2)
    assert caught.value.__notes__ == ["while processing 'offset'"]


@pytest.mark.parametrize("call, message", [
    (lambda: Span(), "Span.__new__() missing 2 required positional arguments: 'offset' and 'length'"),
    (lambda: Span(1), "Span.__new__() missing 1 required positional argument: 'length'"),
    (lambda: Span(length=1), "Span.__new__() missing 1 required positional argument: 'offset'"),
    (lambda: Span(1, 2, 3, 4, 5), "Span.__new__() takes 4 positional arguments but 5 were given"),
    (lambda: Span(1, 2, offset=3), "Span.__new__() got multiple values for argument 'offset'"),
    (lambda: Span(1, 2, width=3), "Span.__new__() got an unexpected keyword argument 'width'"),
    (lambda: Message("a", "b", **{"\ud800": 1}),
     "Message.__new__() got an unexpected keyword argument '\\ud800'"),
    (lambda: Span(1, 2, **{"width\x00": 3}),
     "Span.__new__() got an unexpected keyword argument 'width\\u0000'"),
    (lambda: Message("a"), "Message.__new__() missing 1 required positional argument: 'content'"),
    (lambda: Message(), "Message.__new__() missing 2 required positional arguments: 'role' and 'content'"),
    (lambda: Message("a", "b", "c"), "Message.__new__() takes 2 positional arguments but 3 were given"),
])
def test_argument_binding_errors(call, message):
    with pytest.raises(TypeError) as caught:
        call()
    assert str(caught.value) == message


def test_span_equality():
    assert Span(0, 5, 1, 1) == Span(0, 5, 1, 1)
    assert Span(0, 5) != Span(0, 5, 1, 1)
    assert Span(0, 5, None, 1) != Span(0, 5, 1, None)
    assert Span(0, 5) != Span(0, 6)
    assert Span(0, 5) == Span(0, 5, None, None)


def test_span_unpickles_without_position(protocol):
    span = Span(4, 2)
    restored = pickle.loads(pickle.dumps(span, protocol=protocol))
    assert restored == span
    assert restored.line is None and restored.column is None


def test_message_basics():
    message = Message("user", "hi")
    assert (message.role, message.content) == ("user", "hi")
    assert repr(message) == 'Message(role="user", content="hi")'
    assert message.to_json() == '{"content":"hi","role":"user"}'
    assert message.to_dict() == {"content": "hi", "role": "user"}
    assert list(message.to_dict()) == ["content", "role"]
    assert message.__reduce__() == (Message, ("user", "hi"))
    assert Message(content="c", role="r") == Message("r", "c")
    assert Message("", "") == Message("", "")
    assert Message("user", "hi") != Message("user", "hi!")
    assert Message("user", "hi") != {"content": "hi", "role": "user"}


@pytest.mark.parametrize("arguments, note, message", [
    (("user", 5), "content", "'int' object is not an instance of 'str'"),
    ((None, "x"), "role", "'None' is not an instance of 'str'"),
    ((b"user", "x"), "role", "'bytes' object is not an instance of 'str'"),
])
def test_message_requires_texts(arguments, note, message):
    with pytest.raises(TypeError) as caught:
        Message(*arguments)
    assert str(caught.value) == message
    assert caught.value.__notes__ == [f"while processing '{note}'"]


def test_message_refuses_lone_surrogate():
    with pytest.raises(UnicodeEncodeError) as caught:
        Message("user", "\ud800")
    assert caught.value.__notes__ == ["while processing 'content'"]


def test_message_content_with_newline():
    message = Message("user", "a\nb")
    assert repr(message) == 'Message(role="user", content="a\\nb")'
    assert message.to_json() == '{"content":"a\\nb","role":"user"}'
    assert json.loads(message.to_json())["content"] == "a\nb"


@pytest.mark.parametrize("text, printed", [
    ("a\tb\r\n", '"a\\tb\\r\\n"'),
    ("nul\x00", '"nul\\0"'),
    ('quote " and \\', '"quote \\" and \\\\"'),
    ("it's", '"it\'s"'),
    ("no\u00a0break", '"no\\u{a0}break"'),
    ("esc\x1b", '"esc\\u{1b}"'),
    ("del\x7f", '"del\\u{7f}"'),
    ("zero\u200bwidth", '"zero\\u{200b}width"'),
    ("e\u0301", '"e\\u{301}"'),
    ("line\u2028sep", '"line\\u{2028}sep"'),
    ("private\ue000", '"private\\u{e000}"'),
    ("unassigned\U000e0080", '"unassigned\\u{e0080}"'),
    ("ideographic\u3000space", '"ideographic\\u{3000}space"'),
    ("caf\u00e9 \u4e2d \U0001f600", '"caf\u00e9 \u4e2d \U0001f600"'),
    ("", '""'),
])
def test_quoted_form_in_printed_output(text, printed):
    assert repr(Message(text, "")) == f"Message(role={printed}, content=\"\")"


@pytest.mark.parametrize("text, written", [
    ("\x01", '"\\u0001"'),
    ("\x08\x0c\n\r\t", '"\\b\\f\\n\\r\\t"'),
    ("\x1f", '"\\u001f"'),
    ('"\\', '"\\"\\\\"'),
    ("\x7f/\u00e9\u2028", '"\x7f/\u00e9\u2028"'),
])
def test_compact_json_escaping(text, written):
    assert Message("r", text).to_json() == '{"content":' + written + ',"role":"r"}'
