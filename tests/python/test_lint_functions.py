"""lint, lint_file and lint_virtual driven end to end: the check gate, the argument and option
checks, the rules option, the file names the diagnostics carry and the report they return."""

import json
import os
import threading

import pytest

import vorpel
from support import Map, PathLike, error_of

MAX_SOURCE_SIZE = 10_485_760
KNOWN_RULES = ("duplicate-export, duplicate-import, empty-block, legacy-interpolation, "
               "redundant-else, shadow-variable, unreachable-branch, unused-function, "
               "unused-import, unused-variable")
MODULE_NOT_FOUND_HELP = (
    "add the module to `options.modules` (WASM / napi / Python) or switch to the native "
    "backend for filesystem-backed imports")

# A template that compiles with these vars and that four rules report on.
PAGE = ("---\ntitle: T\nunused: 1\n---\n# {{ title }}\n@if name:\n@end\n"
        "@for title in items:\n{x}\n@end\n")
PAGE_VARS = {"name": 1, "items": [1]}

EMPTY_IF = {
    "fix_edits": None, "fixable": True, "help": "Add content inside the @if block or remove it.",
    "message": "@if then-body is empty.", "rule": "empty-block", "severity": "warn",
    "span": {"length": 3, "offset": PAGE.index("@if")}}
LEGACY_X = {
    "fix_edits": [{"end": PAGE.index("{x}") + 3, "new_text": "{{x}}", "start": PAGE.index("{x}")}],
    "fixable": True,
    "help": "Run `tyx lint --fix` to migrate to `{{x}}` syntax automatically.",
    "message": "legacy single-brace interpolation `{x}` \u2014 use `{{x}}` (double braces)",
    "rule": "legacy-interpolation", "severity": "warn",
    "span": {"length": 3, "offset": PAGE.index("{x}")}}
UNUSED_KEY = {
    "fix_edits": None, "fixable": False,
    "help": "Remove the frontmatter key or reference it in the template body.",
    "message": "Variable 'unused' is defined in frontmatter but never referenced in the body.",
    "rule": "unused-variable", "severity": "warn",
    "span": {"length": 6, "offset": PAGE.index("unused")}}
# Points at the directive line, with the length of the name.
SHADOWED_TITLE = {
    "fix_edits": None, "fixable": False,
    "help": "Rename 'title' in the inner scope to avoid shadowing.",
    "message": ("Variable 'title' (@for loop variable) shadows an outer frontmatter variable "
                "with the same name."),
    "rule": "shadow-variable", "severity": "warn",
    "span": {"length": 5, "offset": PAGE.index("@for")}}


def report(file, *diagnostics, **extra):
    return {"files": [{"diagnostics": list(diagnostics), "file": file}], "truncated": False,
            "version": 1, **extra}


def compact(value):
    return json.dumps(value, sort_keys=True, separators=(",", ":"), ensure_ascii=False)


def fields(error):
    span = error.span and (error.span.offset, error.span.length, error.span.line,
                           error.span.column)
    return error.code, error.message, error.help, span


def findings(result):
    """Each file group as its file name and the rule ids of its diagnostics in order."""
    return [(group.file, [d.rule for d in group.diagnostics]) for group in result.files]


def raises_tyx(code, message, call):
    error = error_of(call)
    assert (error.code, error.message, error.help, error.span) == (code, message, None, None)


def nested(depth):
    """The number 1 inside `depth` arrays, so that it sits at nesting depth `depth`."""
    value = 1
    for _ in range(depth):
        value = [value]
    return value


@pytest.fixture
def project(tmp_path):
    (tmp_path / ".tyxroot").write_text("")
    (tmp_path / "dir").mkdir()
    return tmp_path


# Main paths.

def test_lint_returns_the_lint_report():
    result = vorpel.lint(PAGE, vars=PAGE_VARS)
    assert type(result) is vorpel.LintResult
    expected = report("input.tyx", UNUSED_KEY, EMPTY_IF, LEGACY_X)
    assert result.to_dict() == expected
    assert result.to_json() == compact(expected)
    assert result.lint_warnings == [] and "lint_warnings" not in result.to_dict()
    assert (result.version, result.truncated) == (1, False)
    assert repr(result) == "LintResult(version=1, files=<1 file(s)>, truncated=false)"
    (group,) = result.files
    assert group.file == "input.tyx"
    assert group.to_dict() == expected["files"][0]
    first = group.diagnostics[0]
    assert (first.rule, first.severity, first.fixable, first.fix_edits) == (
        "unused-variable", "warn", False, None)
    assert first.span == vorpel.Span(PAGE.index("unused"), 6)
    assert (first.span.line, first.span.column) == (None, None)
    assert group.diagnostics[2].fix_edits == LEGACY_X["fix_edits"]


def test_a_clean_template_gives_an_empty_report():
    for result in [vorpel.lint("Hello {{ n }}\n", vars={"n": 1}),
                   vorpel.lint(""),
                   vorpel.lint_virtual({"a.tyx": "x"}, "a.tyx")]:
        assert result.to_json() == '{"files":[],"truncated":false,"version":1}'
        assert result.files == []


def test_each_function_names_its_file(project, monkeypatch):
    page = project / "dir" / "page.tyx"
    page.write_text(PAGE)
    expected = [UNUSED_KEY, EMPTY_IF, LEGACY_X]
    monkeypatch.chdir(project)
    cases = [
        (lambda: vorpel.lint(PAGE, vars=PAGE_VARS), "input.tyx"),
        (lambda: vorpel.lint_file(page, vars=PAGE_VARS), "page.tyx"),
        (lambda: vorpel.lint_file(str(page), vars=PAGE_VARS), "page.tyx"),
        (lambda: vorpel.lint_file(PathLike("dir/page.tyx"), vars=PAGE_VARS), "page.tyx"),
        (lambda: vorpel.lint_file("./dir/./page.tyx", vars=PAGE_VARS), "page.tyx"),
        (lambda: vorpel.lint_virtual({"a/b.tyx": PAGE}, "a/b.tyx", vars=PAGE_VARS), "a/b.tyx"),
        (lambda: vorpel.lint_virtual({"./b.tyx": PAGE}, "./b.tyx", vars=PAGE_VARS), "./b.tyx"),
    ]
    for call, file in cases:
        assert call().to_dict() == report(file, *expected), file


def test_positional_parameters_by_keyword(project):
    page = project / "page.tyx"
    page.write_text("x")
    assert vorpel.lint(source="x").files == []
    assert vorpel.lint_file(path=page).files == []
    assert vorpel.lint_virtual(entry="a.tyx", modules={"a.tyx": "x"}).files == []


def test_results_are_new_equal_objects():
    first = vorpel.lint(PAGE, vars=PAGE_VARS)
    second = vorpel.lint(PAGE, vars=PAGE_VARS)
    assert first == second and first is not second
    assert first != vorpel.lint(PAGE, vars=PAGE_VARS, rules={"empty-block": "off"})


def test_diagnostics_past_the_cap_are_dropped_and_marked():
    source = "{x}\n" * 1001
    result = vorpel.lint(source)
    (group,) = result.files
    assert result.truncated is True
    assert len(group.diagnostics) == 1000
    assert group.diagnostics[-1].span.offset == 999 * 4
    assert repr(result) == "LintResult(version=1, files=<1 file(s)>, truncated=true)"
    assert vorpel.lint("{x}\n" * 1000).truncated is False


def test_partial_file_names_skip_the_unused_rules(project):
    source = "---\nunused: 1\n---\n@define f():\nx\n@end\n@export g\n@define g():\ny\n@end\n"
    (project / "_part.tyx").write_text(source)
    (project / "part.tyx").write_text(source)
    unused = ["unused-variable", "unused-function"]
    assert findings(vorpel.lint(source)) == [("input.tyx", unused)]
    assert findings(vorpel.lint_file(project / "part.tyx")) == [("part.tyx", unused)]
    assert findings(vorpel.lint_file(project / "_part.tyx")) == []
    assert findings(vorpel.lint_virtual({"lib/_part.tyx": source}, "lib/_part.tyx")) == []
    assert findings(vorpel.lint_virtual({"_lib/part.tyx": source}, "_lib/part.tyx")) == [
        ("_lib/part.tyx", unused)]


def test_file_names_are_escaped_for_display():
    result = vorpel.lint_virtual({"a\x07.tyx": "{x}"}, "a\x07.tyx")
    assert result.files[0].file == "a\\u0007.tyx"


def test_threads_linting_at_once_get_their_own_results():
    errors = []

    def work(index):
        try:
            key = f"t{index}.tyx"
            for _ in range(20):
                result = vorpel.lint_virtual({key: "{x}\n" * (index + 1)}, key)
                assert [f.file for f in result.files] == [key]
                assert len(result.files[0].diagnostics) == index + 1
        except BaseException as error:  # noqa: BLE001 - reported by the main thread
            errors.append(error)

    threads = [threading.Thread(target=work, args=(i,)) for i in range(8)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert errors == []


# The check gate.

GATE_FAILURES = [
    ("ab\ncd {{ missing }}", None),
    ("ok\n@if x\nbody\n@end\n", None),
    ("@define f(a):\nx\n@end\n{{ f() }}\n", None),
    ('@if n == "a":\nx\n@end\n', {"n": 1}),
    ("@message user:\nhi\n@end\ntext outside\n", None),
]


@pytest.mark.parametrize("source, variables", GATE_FAILURES)
def test_a_failing_gate_raises_what_compile_raises(source, variables, project):
    page = project / "page.tyx"
    page.write_text(source)
    expected = fields(error_of(lambda: vorpel.compile(source, vars=variables)))
    # Unknown rule ids change nothing: their warning is never delivered for a failed gate.
    for call in [
        lambda: vorpel.lint(source, vars=variables, rules={"nope": "warn"}),
        lambda: vorpel.lint_virtual({"page.tyx": source}, "page.tyx", vars=variables,
                                    rules={"nope": "warn"}),
        lambda: vorpel.lint_file(page, vars=variables, rules={"nope": "warn"}),
    ]:
        error = error_of(call)
        assert type(error) is vorpel.TyxError
        assert fields(error) == expected


def test_the_gate_renders_with_the_callers_vars():
    error = error_of(lambda: vorpel.lint(PAGE))
    assert (error.code, error.message) == ("tyx::undefined_var", "undefined variable 'name'")
    error = error_of(lambda: vorpel.lint(PAGE, vars={"name": 1, "items": 3}))
    assert error.code == "tyx::type_error"
    assert vorpel.lint(PAGE, vars=PAGE_VARS).files


def test_lint_virtual_entry_not_in_the_map():
    for modules, entry in [({"a.tyx": "x"}, "b.tyx"), ({"./a.tyx": "x"}, "a.tyx"), ({}, "a")]:
        error = error_of(lambda: vorpel.lint_virtual(modules, entry, rules={"nope": "warn"}))
        assert fields(error) == ("tyx::module_not_found",
                                 f"module '{entry}' is not in the virtual module map",
                                 MODULE_NOT_FOUND_HELP, None)


def test_lint_file_gate_failures(project):
    absent = project / "absent.tyx"
    assert fields(error_of(lambda: vorpel.lint_file(absent))) == fields(
        error_of(lambda: vorpel.compile_file(absent)))
    error = error_of(lambda: vorpel.lint_file(str(project) + "/\udcff.tyx"))
    assert fields(error) == ("tyx::io", "path is not valid UTF-8", None, None)
    page = project / "page.md"
    page.write_text("---\ntitle: T\n---\n{x}\n")
    error = error_of(lambda: vorpel.lint_file(page))
    assert (error.code, error.message) == ("tyx::not_tyx", f"not an TYX file: {page.resolve()}")
    page.write_text("---\ntype: tyx\n---\n{x}\n")
    assert [f.file for f in vorpel.lint_file(page).files] == ["page.md"]
    assert fields(error_of(lambda: vorpel.lint_file(project))) == fields(
        error_of(lambda: vorpel.compile_file(project)))


def test_lint_file_symlinks_are_refused(project):
    (project / "real.tyx").write_text("{x}")
    (project / "link.tyx").symlink_to(project / "real.tyx")
    error = error_of(lambda: vorpel.lint_file(project / "link.tyx"))
    assert fields(error) == fields(error_of(lambda: vorpel.compile_file(project / "link.tyx")))


def test_lint_base_path():
    error = error_of(lambda: vorpel.lint("x", base_path="/no/such/dir"))
    assert fields(error) == (
        "tyx::io", "cannot resolve base directory /no/such/dir: No such file or directory", None,
        None)
    assert vorpel.lint("{x}", base_path="/").files[0].file == "input.tyx"


# Arguments.

BINDING_ERRORS = [
    (lambda: vorpel.lint(), "lint() missing 1 required positional argument: 'source'"),
    (lambda: vorpel.lint("x", "y"), "lint() takes 1 positional arguments but 2 were given"),
    (lambda: vorpel.lint("x", source_map=True),
     "lint() got an unexpected keyword argument 'source_map'"),
    (lambda: vorpel.lint("x", source="y"), "lint() got multiple values for argument 'source'"),
    (lambda: vorpel.lint(rules={}), "lint() missing 1 required positional argument: 'source'"),
    (lambda: vorpel.lint_file(), "lint_file() missing 1 required positional argument: 'path'"),
    (lambda: vorpel.lint_file("a.tyx", "b"),
     "lint_file() takes 1 positional arguments but 2 were given"),
    (lambda: vorpel.lint_file("a.tyx", base_path="."),
     "lint_file() got an unexpected keyword argument 'base_path'"),
    (lambda: vorpel.lint_file("a.tyx", path="b"),
     "lint_file() got multiple values for argument 'path'"),
    (lambda: vorpel.lint_virtual(),
     "lint_virtual() missing 2 required positional arguments: 'modules' and 'entry'"),
    (lambda: vorpel.lint_virtual({}),
     "lint_virtual() missing 1 required positional argument: 'entry'"),
    (lambda: vorpel.lint_virtual(entry="a"),
     "lint_virtual() missing 1 required positional argument: 'modules'"),
    (lambda: vorpel.lint_virtual({}, "a", {}),
     "lint_virtual() takes 2 positional arguments but 3 were given"),
    (lambda: vorpel.lint_virtual({}, "a", entry="b"),
     "lint_virtual() got multiple values for argument 'entry'"),
    (lambda: vorpel.lint_virtual({}, "a", base_path="."),
     "lint_virtual() got an unexpected keyword argument 'base_path'"),
    # Binding comes before extraction.
    (lambda: vorpel.lint(1, nope=1), "lint() got an unexpected keyword argument 'nope'"),
]


@pytest.mark.parametrize("call, message", BINDING_ERRORS)
def test_binding_errors(call, message):
    error = error_of(call, TypeError)
    assert type(error) is TypeError
    assert str(error) == message
    assert not getattr(error, "__notes__", None)


EXTRACTION_ERRORS = [
    (lambda: vorpel.lint(1), TypeError, "'int' object is not an instance of 'str'", "source"),
    (lambda: vorpel.lint(None), TypeError, "'None' is not an instance of 'str'", "source"),
    (lambda: vorpel.lint(b"x"), TypeError, "'bytes' object is not an instance of 'str'", "source"),
    (lambda: vorpel.lint("x", base_path=3), TypeError,
     "expected str, bytes or os.PathLike object, not int", "base_path"),
    (lambda: vorpel.lint("x", base_path=b"/tmp"), TypeError,
     "'bytes' object is not an instance of 'str'", "base_path"),
    (lambda: vorpel.lint("a\ud800"), UnicodeEncodeError, None, "source"),
    (lambda: vorpel.lint_file(None), TypeError, "'None' is not an instance of 'str'", "path"),
    (lambda: vorpel.lint_file(7), TypeError,
     "expected str, bytes or os.PathLike object, not int", "path"),
    (lambda: vorpel.lint_file(b"a.tyx"), TypeError, "'bytes' object is not an instance of 'str'",
     "path"),
    (lambda: vorpel.lint_file(PathLike(b"a.tyx")), TypeError,
     "'bytes' object is not an instance of 'str'", "path"),
    (lambda: vorpel.lint_file("\ud800.tyx"), UnicodeEncodeError, None, "path"),
    (lambda: vorpel.lint_virtual({}, 3), TypeError, "'int' object is not an instance of 'str'",
     "entry"),
    (lambda: vorpel.lint_virtual({}, None), TypeError, "'None' is not an instance of 'str'",
     "entry"),
    (lambda: vorpel.lint_virtual({}, "\udfff"), UnicodeEncodeError, None, "entry"),
    # Extraction comes before every option check.
    (lambda: vorpel.lint(1, vars=[1], rules=[1]), TypeError,
     "'int' object is not an instance of 'str'", "source"),
    (lambda: vorpel.lint("x" * (MAX_SOURCE_SIZE + 1), base_path=3), TypeError,
     "expected str, bytes or os.PathLike object, not int", "base_path"),
    (lambda: vorpel.lint_virtual(None, 1, rules=[1]), TypeError,
     "'int' object is not an instance of 'str'", "entry"),
]


@pytest.mark.parametrize("call, kind, message, parameter", EXTRACTION_ERRORS)
def test_extraction_errors_carry_the_parameter_note(call, kind, message, parameter):
    error = error_of(call, kind)
    assert type(error) is kind
    if message is not None:
        assert str(error) == message
    assert error.__notes__ == [f"while processing '{parameter}'"]


BIG = "x" * (MAX_SOURCE_SIZE + 1)
SIZE_MESSAGE = "source exceeds maximum size of 10485760 bytes (10485761 bytes provided)"
BASE_MESSAGE = "base_path must be a non-empty string"
VARS_MESSAGE = "options.vars must be a plain object, got array"
RULES_MESSAGE = "rules must be a mapping of str to str, got array"
MODULES_MESSAGE = "modules must be a mapping of str to str, got null"

# The first failing check wins, in the order each function runs them, and every one of them
# comes before the gate would read or compile anything.
CHECK_ORDER = [
    (lambda: vorpel.lint(BIG, base_path="", vars=[1], rules=[1]), SIZE_MESSAGE),
    (lambda: vorpel.lint("x", base_path="", vars=[1], rules=[1]), BASE_MESSAGE),
    (lambda: vorpel.lint("x", base_path=PathLike(""), vars=[1], rules=[1]), BASE_MESSAGE),
    (lambda: vorpel.lint("{{ x", base_path="/no/such/dir", vars=[1], rules=[1]), VARS_MESSAGE),
    (lambda: vorpel.lint("{{ x", base_path="/no/such/dir", rules=[1]), RULES_MESSAGE),
    (lambda: vorpel.lint_file("/no/such.tyx", vars=[1], rules=[1]), VARS_MESSAGE),
    (lambda: vorpel.lint_file("/no/such.tyx", rules=[1]), RULES_MESSAGE),
    (lambda: vorpel.lint_virtual(None, "a", vars=[1], rules=[1]), MODULES_MESSAGE),
    (lambda: vorpel.lint_virtual({}, "a", vars=[1], rules=[1]), VARS_MESSAGE),
    (lambda: vorpel.lint_virtual({}, "a", rules=[1]), RULES_MESSAGE),
]


@pytest.mark.parametrize("call, message", CHECK_ORDER)
def test_option_checks_in_order(call, message):
    error = error_of(call)
    assert (error.message, error.help, error.span) == (message, None, None)


def test_source_size_boundary_in_bytes():
    assert vorpel.lint("a" * MAX_SOURCE_SIZE).files == []
    raises_tyx("tyx::resource_limit", SIZE_MESSAGE, lambda: vorpel.lint(BIG))
    raises_tyx("tyx::resource_limit",
               "source exceeds maximum size of 10485760 bytes (10485762 bytes provided)",
               lambda: vorpel.lint("é" * (MAX_SOURCE_SIZE // 2 + 1)))


def test_vars_and_modules_are_converted_as_for_compile():
    assert vorpel.lint("[{{ a }}]", vars={"a": float("nan")}).files == []
    assert vorpel.lint("[{{ a.b }}]", vars=Map(a={"b": 1})).files == []
    raises_tyx("tyx::invalid_options", "invalid vars: JSON number out of range",
               lambda: vorpel.lint_file("/no/such.tyx", vars={"a": 2**64}))
    error = error_of(lambda: vorpel.lint_virtual({"a.tyx": "x"}, "a.tyx", vars={"a": nested(65)}))
    assert (error.code, error.message) == (
        "tyx::json", "JSON parse error: value nesting exceeds maximum depth of 64")
    modules = {f"m{i:03}.tyx": "x" for i in range(257)}
    raises_tyx("tyx::resource_limit", "modules exceeds maximum module count of 256 (257 provided)",
               lambda: vorpel.lint_virtual(modules, "m000.tyx"))
    modules.pop("m256.tyx")
    assert vorpel.lint_virtual(modules, "m000.tyx").files == []
    raises_tyx("tyx::invalid_options", 'modules["a.tyx"] must be a string, got number',
               lambda: vorpel.lint_virtual({"a.tyx": 1}, "a.tyx"))
    six = "a" * 6_000_000
    raises_tyx("tyx::resource_limit", "modules aggregate size exceeds maximum of 10485760 bytes",
               lambda: vorpel.lint_virtual({"a.tyx": six, "b.tyx": six}, "a.tyx"))


# The rules option.

RULES_REFUSED = [
    ([1], "rules must be a mapping of str to str, got array"),
    ((), "rules must be a mapping of str to str, got array"),
    ("empty-block", "rules must be a mapping of str to str, got string"),
    (3, "rules must be a mapping of str to str, got number"),
    (False, "rules must be a mapping of str to str, got boolean"),
    (float("nan"), "rules must be a mapping of str to str, got null"),
    ({"empty-block": None}, 'rules["empty-block"] must be a string, got null'),
    ({"empty-block": True}, 'rules["empty-block"] must be a string, got boolean'),
    ({"empty-block": ["warn"]}, 'rules["empty-block"] must be a string, got array'),
    ({"empty-block": {"level": "warn"}}, 'rules["empty-block"] must be a string, got object'),
    # The first member in key order is reported, whatever the mapping's own order.
    ({"b": "bad", "a": 1}, 'rules["a"] must be a string, got number'),
    ({"unused-import": "WARN"},
     'rules["unused-import"]: unknown severity "WARN"; expected "off", "info", "warn", or "error"'),
    ({"nope": "warning"},
     'rules["nope"]: unknown severity "warning"; expected "off", "info", "warn", or "error"'),
    ({"a\nb\t\"\\": 1}, 'rules["a\\nb\\t\\"\\\\"] must be a string, got number'),
    ({"é'\u200b": "w\u0301"},
     'rules["é\'\\u{200b}"]: unknown severity "w\\u{301}"; expected "off", "info", "warn", '
     'or "error"'),
    ({1: "warn"}, "invalid rules: unexpected type: 'int' object is not an instance of 'str'"),
    ({"empty-block": b"warn"},
     "invalid rules: invalid type: byte array, expected any valid JSON value"),
    ({"empty-block": object()}, "invalid rules: unsupported type object"),
    ({"empty-block": 2**64}, "invalid rules: JSON number out of range"),
]


@pytest.mark.parametrize("rules, message", RULES_REFUSED)
def test_rules_refused(rules, message, project):
    (project / "page.tyx").write_text("x")
    for call in [lambda: vorpel.lint("x", rules=rules),
                 lambda: vorpel.lint_file(project / "page.tyx", rules=rules),
                 lambda: vorpel.lint_virtual({"a.tyx": "x"}, "a.tyx", rules=rules)]:
        raises_tyx("tyx::invalid_options", message, call)


def rules_found(**options):
    result = vorpel.lint(PAGE, vars=PAGE_VARS, **options)
    return [(d.rule, d.severity) for f in result.files for d in f.diagnostics]


def test_rules_set_the_severities():
    assert rules_found() == [("unused-variable", "warn"), ("empty-block", "warn"),
                             ("legacy-interpolation", "warn")]
    for rules in [None, {}, Map()]:
        assert rules_found(rules=rules) == rules_found()
    assert rules_found(rules={"empty-block": "off", "unused-variable": "error",
                              "legacy-interpolation": "info"}) == [
        ("unused-variable", "error"), ("legacy-interpolation", "info")]
    # shadow-variable runs only when configured.
    assert rules_found(rules=Map(**{"shadow-variable": "warn"})) == [
        ("unused-variable", "warn"), ("empty-block", "warn"), ("shadow-variable", "warn"),
        ("legacy-interpolation", "warn")]
    assert rules_found(rules={"shadow-variable": "off"}) == rules_found()
    every_rule_off = {rule: "off" for rule in KNOWN_RULES.split(", ")}
    assert rules_found(rules=every_rule_off) == []
    result = vorpel.lint(PAGE, vars=PAGE_VARS, rules={"shadow-variable": "warn"})
    assert result.files[0].diagnostics[2].to_dict() == SHADOWED_TITLE


UNKNOWN_RULES = [
    ({"nope": "warn"}, "unknown lint rule 'nope'; recognised rules are: " + KNOWN_RULES +
     "; ignoring"),
    ({"zeta": "off", "alpha": "info"},
     "unknown lint rules: 'alpha', 'zeta'; recognised rules are: " + KNOWN_RULES + "; ignoring"),
    ({"Empty-Block": "off", "empty-block": "off", "b\u202e": "error"},
     "unknown lint rules: 'Empty-Block', 'b\\u202E'; recognised rules are: " + KNOWN_RULES +
     "; ignoring"),
]


@pytest.mark.parametrize("rules, warning", UNKNOWN_RULES)
def test_unknown_rule_ids_give_one_warning(rules, warning, project):
    (project / "page.tyx").write_text("{x}")
    results = [vorpel.lint("{x}", rules=rules),
               vorpel.lint_file(project / "page.tyx", rules=rules),
               vorpel.lint_virtual({"page.tyx": "{x}"}, "page.tyx", rules=rules)]
    for result in results:
        assert result.lint_warnings == [warning]
        assert result.to_dict()["lint_warnings"] == [warning]
        assert result.to_json().endswith(
            ',"lint_warnings":' + json.dumps([warning], ensure_ascii=False) +
            ',"truncated":false,"version":1}')
        # The rules themselves never see an unknown id; case matters in a known one.
        assert findings(result)[0][1] == ["legacy-interpolation"]


def test_unknown_rule_warning_with_a_clean_template():
    result = vorpel.lint("x", rules={"nope": "info"})
    assert result.to_json() == (
        '{"files":[],"lint_warnings":["unknown lint rule \'nope\'; recognised rules are: ' +
        KNOWN_RULES + '; ignoring"],"truncated":false,"version":1}')
    assert vorpel.LintResult(result.to_dict()) == result


# What the fixes do.

def legacy_escape(offset, brace, fixable):
    return {
        "fix_edits": [{"end": offset + 1, "new_text": "", "start": offset}] if fixable else None,
        "fixable": fixable,
        "help": "Run `tyx lint --fix` to remove the backslash automatically.",
        "message": (f"legacy escape `\\{brace}` \u2014 single-brace escapes are no longer needed; "
                    "remove the backslash"),
        "rule": "legacy-interpolation", "severity": "warn",
        "span": {"length": 2, "offset": offset}}


def apply_fixes(source, result):
    edits = [edit for group in result.files for diagnostic in group.diagnostics
             for edit in diagnostic.fix_edits or []]
    for edit in sorted(edits, key=lambda edit: edit["start"], reverse=True):
        source = source[:edit["start"]] + edit["new_text"] + source[edit["end"]:]
    return source


# A source, its escapes as (offset, brace, whether the backslash may go), and the output of the
# source with every offered fix applied: no fix joins a brace with a "{" beside it.
ESCAPE_FIXES = [
    ("{\\{", [(1, "{", False)], "{\\{\n"),
    ("\\{\\{ name }}", [(0, "{", True), (2, "{", False)], "{\\{ name }}\n"),
    ("\\{{x}} \\{\\{", [(7, "{", True), (9, "{", False)], "{{x}} {\\{\n"),
    ("\\{{\\{", [(3, "{", False)], "{{\\{\n"),
    # A "}" beside another stays text.
    ("\\}\\} {x\\}}", [(0, "}", True), (2, "}", True), (7, "}", True)], "}} {x}}\n"),
]


@pytest.mark.parametrize("source, escapes, fixed_output", ESCAPE_FIXES)
def test_legacy_escape_fixes_keep_braces_apart(source, escapes, fixed_output):
    result = vorpel.lint(source)
    assert result.to_dict() == report("input.tyx", *(legacy_escape(*e) for e in escapes))
    assert vorpel.compile(apply_fixes(source, result)).output == fixed_output


# Module maps and files.

def test_module_map_lints_the_entry_alone():
    modules = {
        "main.tyx": "@define f():\nx\n@end\n@export f\n@export f\n{x}\n",
        "lib/_part.tyx": "---\nunused: 1\n---\n@if a:\n@end\n",
        "broken.tyx": "{{ never compiled",
    }
    result = vorpel.lint_virtual(modules, "main.tyx")
    assert findings(result) == [
        ("main.tyx", ["duplicate-export", "legacy-interpolation"])]
    part = vorpel.lint_virtual(modules, "lib/_part.tyx", vars={"a": True})
    assert findings(part) == [
        ("lib/_part.tyx", ["empty-block"])]
    # The entry key is taken exactly as written.
    error = error_of(lambda: vorpel.lint_virtual(modules, "./main.tyx"))
    assert error.code == "tyx::module_not_found"


def test_module_map_with_imports_lints_only_the_entry():
    modules = {
        "main.tyx": '@import "./lib.tyx" as lib\n@import "./lib.tyx" as again\n{{ lib.f() }}\n',
        "lib.tyx": "---\nunused: 1\n---\n@define f():\n{x}\n@end\n@export f\n",
    }
    result = vorpel.lint_virtual(modules, "main.tyx")
    assert findings(result) == [
        ("main.tyx", ["duplicate-import", "unused-import"])]


def test_lint_file_in_a_project(project):
    page = project / "dir" / "page.tyx"
    page.write_text(PAGE)
    result = vorpel.lint_file(page, vars=PAGE_VARS, rules={"shadow-variable": "warn",
                                                           "nope": "off"})
    assert result.to_dict() == report(
        "page.tyx", UNUSED_KEY, EMPTY_IF, SHADOWED_TITLE, LEGACY_X,
        lint_warnings=["unknown lint rule 'nope'; recognised rules are: " + KNOWN_RULES +
                       "; ignoring"])
    linted = vorpel.lint(PAGE, vars=PAGE_VARS, rules={"shadow-variable": "warn"})
    assert result.files[0].diagnostics == linted.files[0].diagnostics
    crlf = project / "crlf.tyx"
    crlf.write_bytes(b"a\r\n{x}\r\n")
    (group,) = vorpel.lint_file(os.fspath(crlf)).files
    assert (group.file, group.diagnostics[0].span.offset) == ("crlf.tyx", 3)


def test_lint_file_with_imports_lints_only_the_entry(project):
    (project / "lib.tyx").write_text("@define f():\n{x}\n@end\n@export f\n")
    page = project / "page.tyx"
    page.write_text('@import "./lib.tyx" as lib\n@define g():\ny\n@end\n@export g\n'
                    '@define h():\nz\n@end\n{{ lib.f() }}\n')
    result = vorpel.lint_file(page)
    (group,) = result.files
    assert group.file == "page.tyx"
    # An @import makes the unused-function fix unsafe to offer.
    assert [(d.rule, d.fixable) for d in group.diagnostics] == [("unused-function", False)]


DOCS = {
    "lint": (
        "Lint an TYX template source string for static analysis findings.\n\nRuns the check "
        "gate first \u2014 on a compile error, raises [`TyxError`] with the same\nattributes as "
        "[`compile`]. On a clean gate, applies the lint rules and returns the\ncanonical "
        "[`LintResult`].\n\n`vars`, `base_path`, and `rules` are all keyword-only."),
    "lint_file": (
        "Lint an TYX template file (`path` is a str or `os.PathLike`).\n\nThe base directory is "
        "derived from the file's own directory. `vars` and `rules`\nare keyword-only. No "
        "`base_path` argument \u2014 mirrors [`compile_file`]."),
    "lint_virtual": (
        "Lint a module from an in-memory virtual filesystem.\n\n`modules` maps module key "
        "\u2192 source string; `entry` is the key to lint. `vars` and\n`rules` are "
        "keyword-only. Mirrors [`compile_virtual`] for the virtual-FS surface."),
}


@pytest.mark.parametrize("name", sorted(DOCS))
def test_docstrings(name):
    assert getattr(vorpel, name).__doc__ == DOCS[name]
