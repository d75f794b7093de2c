"""Argument binding, extraction, and the option and size checks of the module functions."""

import collections.abc
import os

import pytest

import vorpel
from support import Map, PathLike

pytestmark = pytest.mark.skipif(not hasattr(vorpel, "compile"),
                                reason="the module functions are not registered yet")

MAX_SOURCE_SIZE = 10_485_760
KNOWN_DIR = os.path.dirname(os.path.abspath(__file__))
# A messages-mode template tells by a warning whether a source map was asked for.
CHAT = "@message user:\nHi\n@end\n"
MAP_ASKED_FOR = [
    "source maps are not supported for messages-mode templates (@message blocks); "
    "no source map will be generated"]


def raises_tyx(code, message, call):
    with pytest.raises(vorpel.TyxError) as info:
        call()
    assert (info.value.code, info.value.message) == (code, message)
    assert info.value.help is None and info.value.span is None
    return info.value


# The binding messages name the function with "()" after it; the plural "arguments" stands
# even for one parameter.
BINDING_ERRORS = [
    (lambda: vorpel.compile(), "compile() missing 1 required positional argument: 'source'"),
    (lambda: vorpel.compile("x", "y"), "compile() takes 1 positional arguments but 2 were given"),
    (lambda: vorpel.compile("x", "y", "z"),
     "compile() takes 1 positional arguments but 3 were given"),
    (lambda: vorpel.compile("x", nope=1), "compile() got an unexpected keyword argument 'nope'"),
    (lambda: vorpel.compile("x", source="y"),
     "compile() got multiple values for argument 'source'"),
    (lambda: vorpel.compile(vars={}), "compile() missing 1 required positional argument: 'source'"),
    (lambda: vorpel.compile_file(), "compile_file() missing 1 required positional argument: 'path'"),
    (lambda: vorpel.compile_file("a.tyx", base_path="."),
     "compile_file() got an unexpected keyword argument 'base_path'"),
    (lambda: vorpel.compile_virtual(),
     "compile_virtual() missing 2 required positional arguments: 'modules' and 'entry'"),
    (lambda: vorpel.compile_virtual({}),
     "compile_virtual() missing 1 required positional argument: 'entry'"),
    (lambda: vorpel.compile_virtual(entry="a"),
     "compile_virtual() missing 1 required positional argument: 'modules'"),
    (lambda: vorpel.compile_virtual({}, "a", "b"),
     "compile_virtual() takes 2 positional arguments but 3 were given"),
    (lambda: vorpel.compile_virtual({}, "a", modules={}),
     "compile_virtual() got multiple values for argument 'modules'"),
    (lambda: vorpel.check(), "check() missing 1 required positional argument: 'source'"),
    (lambda: vorpel.check("x", rules={}), "check() got an unexpected keyword argument 'rules'"),
    (lambda: vorpel.check_file("a.tyx", source_map=False),
     "check_file() got an unexpected keyword argument 'source_map'"),
    (lambda: vorpel.check_file("a", "b"),
     "check_file() takes 1 positional arguments but 2 were given"),
    (lambda: vorpel.check_virtual({}, "a", sources_content=None),
     "check_virtual() got an unexpected keyword argument 'sources_content'"),
    (lambda: vorpel.check_virtual(),
     "check_virtual() missing 2 required positional arguments: 'modules' and 'entry'"),
    (lambda: vorpel.scan_imports(),
     "scan_imports() missing 1 required positional argument: 'source'"),
    (lambda: vorpel.scan_imports("a", "b"),
     "scan_imports() takes 1 positional arguments but 2 were given"),
    (lambda: vorpel.scan_imports(source="x"),
     "scan_imports() got some positional-only arguments passed as keyword arguments: 'source'"),
    (lambda: vorpel.scan_imports("x", source="y"),
     "scan_imports() got some positional-only arguments passed as keyword arguments: 'source'"),
    (lambda: vorpel.scan_imports("x", other=1),
     "scan_imports() got an unexpected keyword argument 'other'"),
    # A name that is no UTF-8 text is shown with its lone surrogates escaped.
    (lambda: vorpel.compile("x", **{"\ud800": 1}),
     "compile() got an unexpected keyword argument '\\ud800'"),
    (lambda: vorpel.lint_virtual({}, "a", **{"r\udcffé": 1}),
     "lint_virtual() got an unexpected keyword argument 'r\\udcffé'"),
    (lambda: vorpel.scan_imports("x", **{"\udfff": 1}),
     "scan_imports() got an unexpected keyword argument '\\udfff'"),
    # Control and bidirectional characters are escaped; a NUL does not cut the name short.
    (lambda: vorpel.compile("x", **{"vars\x00": 1}),
     "compile() got an unexpected keyword argument 'vars\\u0000'"),
    (lambda: vorpel.lint("x", **{"a\u202eb\n": 1}),
     "lint() got an unexpected keyword argument 'a\\u202Eb\\u000A'"),
    (lambda: vorpel.check("x", **{"\ud800\x1b": 1}),
     "check() got an unexpected keyword argument '\\ud800\\u001B'"),
]


@pytest.mark.parametrize("call, message", BINDING_ERRORS)
def test_binding_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message
    assert not getattr(info.value, "__notes__", None)


def test_binding_reports_before_extraction():
    # A wrong keyword wins over a positional argument of the wrong type.
    with pytest.raises(TypeError, match="unexpected keyword argument 'nope'"):
        vorpel.compile(1, nope=1)


def test_positional_parameters_by_keyword():
    assert vorpel.compile(source="x").output == "x\n"
    assert vorpel.check(source="x").warnings == []
    assert vorpel.compile_virtual(entry="a.tyx", modules={"a.tyx": "x"}).output == "x\n"


EXTRACTION_ERRORS = [
    (lambda: vorpel.compile(1), TypeError, "'int' object is not an instance of 'str'", "source"),
    (lambda: vorpel.compile(None), TypeError, "'None' is not an instance of 'str'", "source"),
    (lambda: vorpel.compile(b"x"), TypeError, "'bytes' object is not an instance of 'str'",
     "source"),
    (lambda: vorpel.compile("x", source_map=None), TypeError,
     "'None' is not an instance of 'bool'", "source_map"),
    (lambda: vorpel.compile("x", source_map=1), TypeError,
     "'int' object is not an instance of 'bool'", "source_map"),
    (lambda: vorpel.compile("x", sources_content="yes"), TypeError,
     "'str' object is not an instance of 'bool'", "sources_content"),
    (lambda: vorpel.compile("x", base_path=b"/tmp"), TypeError,
     "'bytes' object is not an instance of 'str'", "base_path"),
    (lambda: vorpel.compile("x", base_path=3), TypeError,
     "expected str, bytes or os.PathLike object, not int", "base_path"),
    (lambda: vorpel.compile("x", base_path=PathLike(b"/tmp")), TypeError,
     "'bytes' object is not an instance of 'str'", "base_path"),
    (lambda: vorpel.compile("x", base_path=PathLike(ValueError("no path"))), ValueError,
     "no path", "base_path"),
    (lambda: vorpel.compile_file(None), TypeError, "'None' is not an instance of 'str'", "path"),
    (lambda: vorpel.compile_file(7), TypeError,
     "expected str, bytes or os.PathLike object, not int", "path"),
    (lambda: vorpel.compile_file("a.tyx", source_map="no"), TypeError,
     "'str' object is not an instance of 'bool'", "source_map"),
    (lambda: vorpel.compile_virtual({}, 3), TypeError, "'int' object is not an instance of 'str'",
     "entry"),
    (lambda: vorpel.compile_virtual({}, None), TypeError, "'None' is not an instance of 'str'",
     "entry"),
    (lambda: vorpel.compile_virtual({"a": "x"}, "a", sources_content=0), TypeError,
     "'int' object is not an instance of 'bool'", "sources_content"),
    (lambda: vorpel.check("x", source_map=1), TypeError,
     "'int' object is not an instance of 'bool'", "source_map"),
    (lambda: vorpel.check("x", sources_content="x"), TypeError,
     "'str' object is not an instance of 'bool'", "sources_content"),
    (lambda: vorpel.check(1.5), TypeError, "'float' object is not an instance of 'str'", "source"),
    (lambda: vorpel.check_file(b"a.tyx"), TypeError, "'bytes' object is not an instance of 'str'",
     "path"),
    (lambda: vorpel.check_virtual({}, ["a"]), TypeError,
     "'list' object is not an instance of 'str'", "entry"),
    (lambda: vorpel.scan_imports(None), TypeError, "'None' is not an instance of 'str'", "source"),
]


@pytest.mark.parametrize("call, kind, message, parameter", EXTRACTION_ERRORS)
def test_extraction_errors_carry_the_parameter_note(call, kind, message, parameter):
    with pytest.raises(kind) as info:
        call()
    assert type(info.value) is kind
    assert str(info.value) == message
    assert info.value.__notes__ == [f"while processing '{parameter}'"]


def test_lone_surrogate_raises_the_encoding_error():
    for call, parameter in [
        (lambda: vorpel.compile("a\ud800"), "source"),
        (lambda: vorpel.scan_imports("\udfff"), "source"),
        (lambda: vorpel.compile_virtual({}, "\ud800"), "entry"),
        (lambda: vorpel.check_file("\ud800.tyx"), "path"),
    ]:
        with pytest.raises(UnicodeEncodeError) as info:
            call()
        assert info.value.__notes__ == [f"while processing '{parameter}'"]


def test_extraction_runs_in_parameter_order():
    with pytest.raises(TypeError) as info:
        vorpel.compile(1, base_path=2, source_map=3)
    assert info.value.__notes__ == ["while processing 'source'"]
    with pytest.raises(TypeError) as info:
        vorpel.compile("x", base_path=2, source_map=3)
    assert info.value.__notes__ == ["while processing 'base_path'"]
    with pytest.raises(TypeError) as info:
        vorpel.compile("x", source_map=3, sources_content=4)
    assert info.value.__notes__ == ["while processing 'source_map'"]
    # Extraction comes before every option check.
    with pytest.raises(TypeError):
        vorpel.compile("x" * (MAX_SOURCE_SIZE + 1), source_map=1)


def test_str_subclass_and_path_like_are_accepted(tmp_path):
    class Text(str):
        pass

    assert vorpel.compile(Text("hi")).output == "hi\n"
    assert vorpel.compile("x", base_path=PathLike(str(tmp_path))).output == "x\n"
    assert vorpel.compile("x", base_path=tmp_path).output == "x\n"
    assert vorpel.compile("x", base_path=None).output == "x\n"


def fake_numpy_bool(name, truth):
    cls = type(name, (), {"__bool__": lambda self: truth, "__module__": "numpy"})
    return cls()


def test_numpy_boolean_scalars():
    false, true = fake_numpy_bool("bool", False), fake_numpy_bool("bool_", True)
    assert vorpel.compile("x", source_map=false).source_map is None
    assert vorpel.compile(CHAT, source_map=false).warnings == []
    # Their truth, not their presence, decides: this pair is refused as False and True.
    raises_tyx("tyx::invalid_options", 'option "sources_content" requires "source_map" to be True',
               lambda: vorpel.compile("x", source_map=false, sources_content=true))
    assert vorpel.compile(CHAT, source_map=true).warnings == MAP_ASKED_FOR
    assert vorpel.compile(CHAT, source_map=true, sources_content=true).warnings == MAP_ASKED_FOR
    virtual = vorpel.compile_virtual({"a.tyx": CHAT}, "a.tyx", source_map=true)
    assert virtual.warnings == MAP_ASKED_FOR
    with pytest.raises(TypeError) as info:
        vorpel.compile("x", source_map=fake_numpy_bool("bool_", 1))
    assert str(info.value) == "'int' object is not an instance of 'bool'"
    assert info.value.__notes__ == ["while processing 'source_map'"]
    # Only the numpy module's boolean counts, not a look-alike from elsewhere.
    imitation = type("bool_", (), {"__bool__": lambda self: True})()
    with pytest.raises(TypeError, match="'bool_' object is not an instance of 'bool'"):
        vorpel.compile("x", source_map=imitation)


class RaisingModule(type):
    """A metaclass whose classes raise `error` when their module is asked for."""

    error = None

    def __getattribute__(cls, name):
        if name == "__module__":
            raise type(cls).error
        return super().__getattribute__(name)


@pytest.mark.parametrize("error", [MemoryError, KeyboardInterrupt])
def test_control_flow_while_recognising_a_numpy_boolean_goes_through(error):
    meta = type("Meta", (RaisingModule,), {"error": error})
    with pytest.raises(error):
        vorpel.compile("x", source_map=meta("bool_", (), {})())
    # Any other failure only says that this is no numpy boolean.
    meta.error = AttributeError
    with pytest.raises(TypeError, match="'bool_' object is not an instance of 'bool'"):
        vorpel.compile("x", source_map=meta("bool_", (), {})())


# vars: every Python shape the JSON conversion takes, and what it refuses.
class Seq(collections.abc.Sequence):
    def __init__(self, *items):
        self._items = items

    def __len__(self):
        return len(self._items)

    def __getitem__(self, index):
        return self._items[index]


# Objects cannot be interpolated whole, so their members are read by dot-path.
VARS_RENDERED = [
    ({"a": None}, ""),
    ({"a": float("nan")}, ""),
    ({"a": float("inf")}, ""),
    ({"a": True}, "true"),
    ({"a": 2**64 - 1}, "18446744073709552000"),
    ({"a": -(2**63)}, "-9223372036854775808"),
    ({"a": 2.5}, "2.5"),
    ({"a": (1, 2)}, "1, 2"),
    ({"a": [[1, 2], [3]]}, "1, 2, 3"),
    ({"a": frozenset([7])}, "7"),
    ({"a": Seq("x", "y")}, "x, y"),
    (Map(a="m"), "m"),
]


@pytest.mark.parametrize("variables, text", VARS_RENDERED)
def test_vars_conversion(variables, text):
    assert vorpel.compile("[{{ a }}]", vars=variables).output == f"[{text}]\n"


def test_vars_objects():
    for variables in [{"a": Map(y="2", x="1")}, {"a": {"y": 2, "x": 1}}, Map(a={"x": 1, "y": 2})]:
        assert vorpel.compile("{{ a.x }}/{{ a.y }}", vars=variables).output == "1/2\n"


def test_vars_keys_with_the_same_text_keep_the_later_value():
    class Repeating(Map):
        def items(self):
            return [("a", "first"), ("b", "other"), ("a", "second")]

    result = vorpel.compile("{{ a }} {{ b }}", vars=Repeating(a="", b=""))
    assert result.output == "second other\n"


@pytest.mark.parametrize("size", [3, 16, 17, 40])
def test_nested_objects_iterate_in_key_order_and_keep_the_later_of_equal_keys(size):
    # Values that are containers sit between the keys, so finding the next key means stepping
    # over each value whole.
    names = [f"k{i:02d}" for i in reversed(range(size))]
    members = [(name, {"list": [name, [2]], "inner": {"z": [1], "a": name}}) for name in names]
    members.append((names[0], "later"))

    class Repeating(Map):
        def items(self):
            return members

    template = "@for key, value in o:\n{{ key }}\n@end\n{{ o.%s }} {{ o.%s.inner.a }}" % (
        names[0], names[1])
    result = vorpel.compile(template, vars={"o": Repeating()})
    assert result.output == "\n".join(sorted(names)) + f"\nlater {names[1]}\n"


def test_empty_and_absent_vars():
    assert vorpel.compile("x", vars={}).output == "x\n"
    assert vorpel.compile("x", vars=None).output == "x\n"


class Unlistable(collections.abc.Mapping):
    def __len__(self):
        return 1

    def __iter__(self):
        raise RuntimeError("cannot list keys")

    def __getitem__(self, key):
        raise KeyError(key)


VARS_REFUSED = [
    ([1], "options.vars must be a plain object, got array"),
    ((), "options.vars must be a plain object, got array"),
    ("text", "options.vars must be a plain object, got string"),
    (3, "options.vars must be a plain object, got number"),
    (True, "options.vars must be a plain object, got boolean"),
    (float("nan"), "options.vars must be a plain object, got null"),
    ({"a": 2**64}, "invalid vars: JSON number out of range"),
    ({"a": -(2**63) - 1}, "invalid vars: JSON number out of range"),
    ({"a": b"x"}, "invalid vars: invalid type: byte array, expected any valid JSON value"),
    ({"a": bytearray(b"x")},
     "invalid vars: invalid type: byte array, expected any valid JSON value"),
    ({"a": object()}, "invalid vars: unsupported type object"),
    (object(), "invalid vars: unsupported type object"),
    ({1: "x"}, "invalid vars: unexpected type: 'int' object is not an instance of 'str'"),
    ({"a": {None: 1}},
     "invalid vars: unexpected type: 'NoneType' object is not an instance of 'str'"),
    ({"a": [1, {"b": object()}]}, "invalid vars: unsupported type object"),
]


@pytest.mark.parametrize("variables, message", VARS_REFUSED)
def test_vars_refused(variables, message):
    raises_tyx("tyx::invalid_options", message, lambda: vorpel.compile("x", vars=variables))


def test_vars_of_unsupported_classes_name_the_qualified_type():
    class Local:
        pass

    error = raises_tyx(
        "tyx::invalid_options",
        "invalid vars: unsupported type "
        "test_vars_of_unsupported_classes_name_the_qualified_type.<locals>.Local",
        lambda: vorpel.compile("x", vars={"a": Local()}))
    assert error.args == (error.message,)


def test_vars_conversion_failures_keep_their_prefix():
    for variables in [Unlistable(), {"a": Unlistable()}]:
        with pytest.raises(vorpel.TyxError) as info:
            vorpel.compile("x", vars=variables)
        assert info.value.code == "tyx::invalid_options"
        assert info.value.message.startswith("invalid vars: ")
        assert "cannot list keys" in info.value.message


def nested(depth, inner=1):
    """`inner` inside `depth` arrays, so that it sits at nesting depth `depth`."""
    value = inner
    for _ in range(depth):
        value = [value]
    return value


def test_vars_nesting_limit():
    assert vorpel.compile("x", vars={"a": nested(64)}).output == "x\n"
    # An empty container is a value too: accepted at depth 64, refused at 65.
    assert vorpel.compile("x", vars={"a": nested(64, inner=[])}).output == "x\n"
    for value in [nested(65), nested(65, inner=[]), nested(65, inner={}), {"k": nested(64)}]:
        with pytest.raises(vorpel.TyxError) as info:
            vorpel.compile("x", vars={"a": value})
        assert info.value.code == "tyx::json"
        assert info.value.message == "JSON parse error: value nesting exceeds maximum depth of 64"
        assert info.value.help is None and info.value.span is None


def test_self_containing_and_very_deep_vars_do_not_exhaust_the_stack():
    loop = []
    loop.append(loop)
    mapping = {}
    mapping["m"] = mapping
    for variables in [{"a": loop}, mapping, {"a": nested(100_000)}]:
        with pytest.raises(vorpel.TyxError) as info:
            vorpel.compile("x", vars=variables)
        assert info.value.code == "tyx::invalid_options"
        assert info.value.message.startswith("invalid vars: ")


# modules
def modules_of(count, text="x"):
    return {f"m{i:03}.tyx": text for i in range(count)}


MODULES_REFUSED = [
    (None, "tyx::invalid_options", "modules must be a mapping of str to str, got null"),
    ([], "tyx::invalid_options", "modules must be a mapping of str to str, got array"),
    ("a.tyx", "tyx::invalid_options", "modules must be a mapping of str to str, got string"),
    ({"a.tyx": 1}, "tyx::invalid_options", 'modules["a.tyx"] must be a string, got number'),
    ({"a.tyx": None}, "tyx::invalid_options", 'modules["a.tyx"] must be a string, got null'),
    ({"b": "x", "a": ["x"]}, "tyx::invalid_options", 'modules["a"] must be a string, got array'),
    ({"a\nb\t\"\\": 1}, "tyx::invalid_options",
     'modules["a\\nb\\t\\"\\\\"] must be a string, got number'),
    ({"é'\u200b": 1}, "tyx::invalid_options",
     'modules["é\'\\u{200b}"] must be a string, got number'),
    ({1: "x"}, "tyx::invalid_options",
     "invalid modules: unexpected type: 'int' object is not an instance of 'str'"),
    ({"a": object()}, "tyx::invalid_options", "invalid modules: unsupported type object"),
    (modules_of(257), "tyx::resource_limit",
     "modules exceeds maximum module count of 256 (257 provided)"),
    # A dict is refused from its size alone, before any entry is converted.
    ({**modules_of(256), "z": object()}, "tyx::resource_limit",
     "modules exceeds maximum module count of 256 (257 provided)"),
    # Any other mapping is counted after its conversion, which fails first here.
    (Map(**{**modules_of(256), "z": object()}), "tyx::invalid_options",
     "invalid modules: unsupported type object"),
    (Map(**modules_of(300)), "tyx::resource_limit",
     "modules exceeds maximum module count of 256 (300 provided)"),
]


@pytest.mark.parametrize("modules, code, message", MODULES_REFUSED)
def test_modules_refused(modules, code, message):
    for function in [vorpel.compile_virtual, vorpel.check_virtual]:
        raises_tyx(code, message, lambda: function(modules, "a.tyx"))


def test_modules_count_boundary():
    modules = modules_of(256)
    assert vorpel.compile_virtual(modules, "m000.tyx").output == "x\n"
    assert vorpel.check_virtual(Map(**modules), "m255.tyx").warnings == []


def test_module_sizes_are_bytes():
    limit = "a" * MAX_SOURCE_SIZE
    assert vorpel.check_virtual({"a.tyx": limit}, "a.tyx").warnings == []
    # 5,242,881 characters of two bytes each: under the limit in characters, over it in bytes.
    wide = "é" * (MAX_SOURCE_SIZE // 2 + 1)
    raises_tyx("tyx::resource_limit",
               'modules["w.tyx"] exceeds maximum size of 10485760 bytes (10485762 bytes provided)',
               lambda: vorpel.check_virtual({"w.tyx": wide}, "w.tyx"))
    raises_tyx("tyx::resource_limit",
               'modules["a.tyx"] exceeds maximum size of 10485760 bytes (10485761 bytes provided)',
               lambda: vorpel.compile_virtual({"a.tyx": limit + "b"}, "a.tyx"))


def test_modules_aggregate_size():
    half = "a" * (MAX_SOURCE_SIZE // 2)
    assert vorpel.check_virtual({"a.tyx": half, "b.tyx": half}, "a.tyx").warnings == []
    six = "a" * 6_000_000
    raises_tyx("tyx::resource_limit", "modules aggregate size exceeds maximum of 10485760 bytes",
               lambda: vorpel.compile_virtual({"b.tyx": six, "a.tyx": six}, "a.tyx"))
    # Members are checked in key order: the oversized text wins over a later non-string.
    raises_tyx("tyx::resource_limit", "modules aggregate size exceeds maximum of 10485760 bytes",
               lambda: vorpel.compile_virtual({"a": six, "b": six, "c": 1}, "a"))
    raises_tyx("tyx::invalid_options", 'modules["b"] must be a string, got number',
               lambda: vorpel.compile_virtual({"a": six, "b": 1, "c": six}, "a"))


# Source size, base_path and the source-map switches.
SIZED_FUNCTIONS = [
    lambda source: vorpel.compile(source),
    lambda source: vorpel.check(source),
    lambda source: vorpel.scan_imports(source),
]


@pytest.mark.parametrize("call", SIZED_FUNCTIONS)
def test_source_size_boundary_in_bytes(call):
    call("a" * MAX_SOURCE_SIZE)
    raises_tyx("tyx::resource_limit",
               "source exceeds maximum size of 10485760 bytes (10485761 bytes provided)",
               lambda: call("a" * (MAX_SOURCE_SIZE + 1)))
    raises_tyx("tyx::resource_limit",
               "source exceeds maximum size of 10485760 bytes (10485762 bytes provided)",
               lambda: call("é" * (MAX_SOURCE_SIZE // 2 + 1)))


@pytest.mark.parametrize("base_path", ["", PathLike("")])
def test_empty_base_path_is_refused(base_path):
    for function in [vorpel.compile, vorpel.check]:
        raises_tyx("tyx::invalid_options", "base_path must be a non-empty string",
                   lambda: function("x", base_path=base_path))


def test_sources_content_requires_source_map():
    message = 'option "sources_content" requires "source_map" to be True'
    raises_tyx("tyx::invalid_options", message, lambda: vorpel.compile("x", sources_content=True))
    raises_tyx("tyx::invalid_options", message,
               lambda: vorpel.compile("x", source_map=False, sources_content=True))
    raises_tyx("tyx::invalid_options", message,
               lambda: vorpel.compile_file("/no/such/file.tyx", sources_content=True))
    raises_tyx("tyx::invalid_options", message,
               lambda: vorpel.compile_virtual({"a": "x"}, "a", sources_content=True))
    for options in [{"source_map": True, "sources_content": False},
                    {"source_map": True, "sources_content": True}]:
        assert vorpel.compile(CHAT, **options).warnings == MAP_ASKED_FOR
        assert vorpel.compile_virtual({"a.tyx": CHAT}, "a.tyx", **options).warnings == MAP_ASKED_FOR
    assert vorpel.compile(CHAT, source_map=False, sources_content=False).warnings == []


def test_check_refuses_any_source_map_value():
    message = "source maps are not available for check(); use compile() instead"
    for options in [{"source_map": False}, {"source_map": True}, {"sources_content": False},
                    {"source_map": None, "sources_content": True}]:
        raises_tyx("tyx::invalid_options", message, lambda: vorpel.check("x", **options))
    assert vorpel.check("x", source_map=None, sources_content=None).warnings == []


BIG = "x" * (MAX_SOURCE_SIZE + 1)
SIZE_MESSAGE = "source exceeds maximum size of 10485760 bytes (10485761 bytes provided)"
BASE_MESSAGE = "base_path must be a non-empty string"
VARS_MESSAGE = "options.vars must be a plain object, got array"
MAP_MESSAGE = 'option "sources_content" requires "source_map" to be True'
CHECK_MAP_MESSAGE = "source maps are not available for check(); use compile() instead"
MODULES_MESSAGE = "modules must be a mapping of str to str, got null"

# The first failing check wins, in the order each function runs them.
CHECK_ORDER = [
    (lambda: vorpel.compile(BIG, base_path="", vars=[1], sources_content=True), SIZE_MESSAGE),
    (lambda: vorpel.compile("x", base_path="", vars=[1], sources_content=True), BASE_MESSAGE),
    (lambda: vorpel.compile("x", vars=[1], sources_content=True), VARS_MESSAGE),
    (lambda: vorpel.compile_file("/no/such.tyx", vars=[1], sources_content=True), VARS_MESSAGE),
    (lambda: vorpel.compile_virtual(None, "a", vars=[1], sources_content=True), MODULES_MESSAGE),
    (lambda: vorpel.compile_virtual({}, "a", vars=[1], sources_content=True), VARS_MESSAGE),
    (lambda: vorpel.check(BIG, base_path="", source_map=True, vars=[1]), SIZE_MESSAGE),
    (lambda: vorpel.check("x", base_path="", source_map=True, vars=[1]), BASE_MESSAGE),
    (lambda: vorpel.check("x", source_map=False, vars=[1]), CHECK_MAP_MESSAGE),
    (lambda: vorpel.check("x", vars=[1]), VARS_MESSAGE),
    (lambda: vorpel.check_file("/no/such.tyx", vars=[1]), VARS_MESSAGE),
    (lambda: vorpel.check_virtual(None, "a", vars=[1]), MODULES_MESSAGE),
    (lambda: vorpel.check_virtual({}, "a", vars=[1]), VARS_MESSAGE),
]


@pytest.mark.parametrize("call, message", CHECK_ORDER)
def test_option_checks_in_order(call, message):
    with pytest.raises(vorpel.TyxError) as info:
        call()
    assert info.value.message == message


def test_base_path_that_does_not_exist():
    with pytest.raises(vorpel.TyxError) as info:
        vorpel.compile("x", base_path="/no/such/dir")
    assert info.value.code == "tyx::io"
    assert info.value.message == (
        "cannot resolve base directory /no/such/dir: No such file or directory")
    assert info.value.span is None
