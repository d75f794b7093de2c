"""LintResult, LintFileReport and LintDiagnostic built from their states."""

import json
import pickle
import sys

import pytest

from vorpel import LintDiagnostic, LintFileReport, LintResult, Span, TyxError

EDITS = '[{"end":12,"new_text":"","start":0}]'

DIAGNOSTIC_WIRE = {
    "fix_edits": [{"end": 12, "new_text": "", "start": 0}],
    "fixable": True,
    "help": "remove it",
    "message": "unused import 'a'",
    "rule": "unused-import",
    "severity": "warn",
    "span": {"length": 12, "offset": 0},
}

REPORT = {
    "files": [{"diagnostics": [DIAGNOSTIC_WIRE,
                               dict(DIAGNOSTIC_WIRE, fix_edits=None, fixable=False, help=None, span=None)],
               "file": "input.tyx"}],
    "truncated": False,
    "version": 1,
}


def diagnostic(**overrides):
    arguments = dict(rule="unused-import", severity="warn", message="unused import 'a'",
                     help="remove it", fixable=True, span=Span(0, 12), fix_edits_json=EDITS)
    arguments.update(overrides)
    return LintDiagnostic(**arguments)


def test_docstrings():
    assert LintResult.__doc__.startswith("The result of [`lint`], [`lint_file`], or [`lint_virtual`].")
    assert LintFileReport.__doc__.startswith("A per-file findings group from [`LintResult::files`].")
    assert LintDiagnostic.__doc__.startswith("A single lint finding within a [`LintFileReport`].")
    assert LintDiagnostic.__doc__.endswith("In the JSON wire format all three are JSON `null` (not\nabsent keys) when `None`.")
    assert LintResult.version.__doc__ == "Wire schema version — currently always `1`."
    assert LintResult.truncated.__doc__ == "`True` when the per-file diagnostic cap was hit; re-run after fixing."
    assert LintResult.lint_warnings.__doc__.startswith("Warnings produced during linting")
    assert LintResult.files.__doc__.startswith("Per-file finding groups as a list of typed [`LintFileReport`] objects.")
    assert LintDiagnostic.fix_edits.__doc__.startswith("The byte-range replacement edits the fix engine would apply")
    assert LintDiagnostic.rule.__doc__ is None and LintFileReport.file.__doc__ is None
    assert LintResult.to_dict.__doc__ == ("Return the canonical lint result as a plain Python `dict`.\n\n"
                                          "Byte-identical to the Node.js and WASM `lint()` surfaces.")
    assert LintFileReport.__reduce__.__doc__ == "Reconstruct on unpickle via `LintFileReport(file, diagnostics_list)`."
    assert LintDiagnostic.__reduce__.__doc__ == (
        "Reconstruct on unpickle via `LintDiagnostic(rule, severity, message, help, fixable, span, fix_edits_json)`.")


def test_lint_result_reads_the_report():
    result = LintResult(REPORT)
    assert result.version == 1
    assert result.truncated is False
    assert result.lint_warnings == []
    assert "lint_warnings" not in result.to_dict()
    assert result.to_dict() == REPORT
    assert result.to_json() == json.dumps(REPORT, sort_keys=True, separators=(",", ":"), ensure_ascii=False)
    assert repr(result) == "LintResult(version=1, files=<1 file(s)>, truncated=false)"
    files = result.files
    assert len(files) == 1
    assert files == result.files
    assert files[0] is not result.files[0]
    assert files[0].file == "input.tyx"
    assert files[0].to_dict() == result.to_dict()["files"][0]
    first, second = files[0].diagnostics
    assert first == diagnostic()
    assert second == diagnostic(fix_edits_json=None, fixable=False, help=None, span=None)
    assert first.span == Span(0, 12)
    assert (first.span.line, first.span.column) == (None, None)
    assert first.to_dict()["span"] == {"length": 12, "offset": 0}


def test_lint_warnings_and_truncation():
    warning = "unknown lint rule 'nope'; recognised rules are: x; ignoring"
    result = LintResult(dict(REPORT, lint_warnings=[warning, 3], truncated=True))
    assert result.lint_warnings == [warning]
    assert result.truncated is True
    assert repr(result) == "LintResult(version=1, files=<1 file(s)>, truncated=true)"


@pytest.mark.parametrize("state, version, truncated, files", [
    ({"version": "2"}, 1, False, 0),
    ({"version": 2, "truncated": 1, "files": {}}, 2, False, 0),
    ({"version": -1, "truncated": True}, 1, True, 0),
    ({"version": 1.0}, 1, False, 0),
    ([1, 2], 1, False, 0),
    ({"files": [{}, 5]}, 1, False, 2),
])
def test_lint_result_reads_leniently(state, version, truncated, files):
    result = LintResult(state)
    assert (result.version, result.truncated, len(result.files)) == (version, truncated, files)
    assert repr(result) == f"LintResult(version={version}, files=<{files} file(s)>, truncated={str(truncated).lower()})"


def test_odd_file_groups_read_as_defaults():
    result = LintResult({"files": [5, {"file": 7, "diagnostics": [None, {"rule": 1, "fixable": 1}]}]})
    first, second = result.files
    assert (first.file, first.diagnostics) == ("", [])
    assert second.file == ""
    for item in second.diagnostics:
        assert (item.rule, item.severity, item.message, item.help, item.fixable, item.span, item.fix_edits) == \
            ("", "", "", None, False, None, None)


@pytest.mark.parametrize("span", [
    {"offset": 1},
    {"offset": -1, "length": 2},
    {"offset": 1.0, "length": 2},
    {"offset": "1", "length": 2},
    None,
    [1, 2],
])
def test_malformed_spans_read_as_none(span):
    result = LintResult({"files": [{"file": "f", "diagnostics": [dict(DIAGNOSTIC_WIRE, span=span)]}]})
    report = result.files[0]
    assert report.diagnostics[0].span is None
    assert report.to_dict()["diagnostics"][0]["span"] is None


def test_span_line_and_column_are_read_when_integers():
    result = LintResult({"files": [{"diagnostics": [
        {"span": {"offset": 1, "length": 2, "line": 3, "column": -4}}]}]})
    assert result.files[0].diagnostics[0].span == Span(1, 2, 3, None)


def test_lint_result_escapes_display_texts_again():
    state = {
        "files": [{"file": "a\x07.tyx", "diagnostics": [
            {"message": "m\n", "help": "h\u202e", "rule": "r\n", "severity": "s\n",
             "fix_edits": [{"new_text": "\n"}]}]}],
        "lint_warnings": ["w\x1b", 5],
        "other": "o\n",
    }
    result = LintResult(state)
    stored = result.to_dict()
    assert stored["files"][0]["file"] == "a\\u0007.tyx"
    assert stored != state
    entry = stored["files"][0]["diagnostics"][0]
    assert (entry["message"], entry["help"]) == ("m\\u000A", "h\\u202E")
    assert (entry["rule"], entry["severity"], entry["fix_edits"]) == ("r\n", "s\n", [{"new_text": "\n"}])
    assert stored["lint_warnings"] == ["w\\u001B", 5]
    assert stored["other"] == "o\n"
    assert LintResult(result.to_dict()) == result


def test_lint_result_refuses_what_json_cannot_hold():
    with pytest.raises(TyxError) as caught:
        LintResult({"files": [{2: 3}]})
    assert caught.value.code == "tyx::invalid_options"
    assert caught.value.message == "invalid LintResult state: unexpected type: 'int' object is not an instance of 'str'"


def test_lint_result_equality_and_pickling(protocol):
    result = LintResult(REPORT)
    assert result == LintResult(REPORT)
    assert result != LintResult(dict(REPORT, version=1.0))
    assert result != LintResult(dict(REPORT, truncated=0))
    restored = pickle.loads(pickle.dumps(result, protocol=protocol))
    assert restored == result
    assert result.__reduce__() == (LintResult, (REPORT,))


def test_file_report_basics():
    report = LintFileReport("input.tyx", [diagnostic()])
    assert report.file == "input.tyx"
    assert report.diagnostics == [diagnostic()]
    assert report.diagnostics[0] is not report.diagnostics[0]
    assert repr(report) == 'LintFileReport(file="input.tyx", diagnostics=<1 item(s)>)'
    assert report.to_dict() == {"diagnostics": [DIAGNOSTIC_WIRE], "file": "input.tyx"}
    assert report.to_json() == json.dumps(report.to_dict(), sort_keys=True, separators=(",", ":"))
    cls, (file, items) = report.__reduce__()
    assert (cls, file, items) == (LintFileReport, "input.tyx", [diagnostic()])
    empty = LintFileReport("a\tb", [])
    assert repr(empty) == 'LintFileReport(file="a\\tb", diagnostics=<0 item(s)>)'
    assert empty.to_json() == '{"diagnostics":[],"file":"a\\tb"}'


def test_file_report_takes_any_iterable_and_keeps_no_items():
    items = [diagnostic(), diagnostic(rule="empty-block")]
    from_generator = LintFileReport("f", (item for item in items))
    from_tuple = LintFileReport(file="f", diagnostics=tuple(items))
    assert from_generator == from_tuple
    assert [d.rule for d in from_generator.diagnostics] == ["unused-import", "empty-block"]
    assert from_generator != LintFileReport("f", items[:1])
    assert from_generator != LintFileReport("g", items)
    assert from_generator != LintFileReport("f", items[::-1])

    class ClaimsHugeLength(list):
        def __len__(self):
            return sys.maxsize

    assert LintFileReport("f", ClaimsHugeLength(items)) == from_tuple


@pytest.mark.parametrize("diagnostics, message", [
    ("ab", "diagnostics must be a list of LintDiagnostic: 'str' object is not an instance of 'LintDiagnostic'"),
    (5, "diagnostics must be iterable: TypeError: 'int' object is not iterable"),
    (None, "diagnostics must be iterable: TypeError: 'NoneType' object is not iterable"),
    ([None], "diagnostics must be a list of LintDiagnostic: 'None' is not an instance of 'LintDiagnostic'"),
    ([Span(1, 2)], "diagnostics must be a list of LintDiagnostic: 'Span' object is not an instance of 'LintDiagnostic'"),
])
def test_file_report_refusals(diagnostics, message):
    with pytest.raises(TyxError) as caught:
        LintFileReport("f", diagnostics)
    assert caught.value.code == "tyx::invalid_options"
    assert caught.value.message == message


def test_file_report_iteration_error_propagates_and_file_is_checked_first():
    def failing():
        yield diagnostic()
        raise KeyError("gone")

    with pytest.raises(KeyError):
        LintFileReport("f", failing())
    with pytest.raises(TypeError) as caught:
        LintFileReport(3, 5)
    assert str(caught.value) == "'int' object is not an instance of 'str'"
    assert caught.value.__notes__ == ["while processing 'file'"]


def test_diagnostic_getters_and_forms():
    item = diagnostic(span=Span(3, 4, 1, 2))
    assert (item.rule, item.severity, item.message, item.help, item.fixable) == \
        ("unused-import", "warn", "unused import 'a'", "remove it", True)
    assert item.span == Span(3, 4, 1, 2)
    assert item.span is not item.span
    assert item.fix_edits == [{"end": 12, "new_text": "", "start": 0}]
    assert item.fix_edits is not item.fix_edits
    assert item.to_dict()["span"] == Span(3, 4, 1, 2).to_dict()
    assert item.to_json() == (
        '{"fix_edits":[{"end":12,"new_text":"","start":0}],"fixable":true,"help":"remove it",'
        '"message":"unused import \'a\'","rule":"unused-import","severity":"warn",'
        '"span":{"column":2,"length":4,"line":1,"offset":3}}')
    assert repr(item) == (
        'LintDiagnostic(rule="unused-import", severity="warn", message="unused import \'a\'", fixable=true)')


def test_diagnostic_defaults():
    item = LintDiagnostic("r", "info", "m")
    assert (item.help, item.fixable, item.span, item.fix_edits) == (None, False, None, None)
    assert item.to_dict() == {"fix_edits": None, "fixable": False, "help": None, "message": "m",
                              "rule": "r", "severity": "info", "span": None}
    assert item.__reduce__() == (LintDiagnostic, ("r", "info", "m", None, False, None, None))
    assert repr(item) == 'LintDiagnostic(rule="r", severity="info", message="m", fixable=false)'


def test_diagnostic_reduce_writes_edits_as_compact_json(protocol):
    item = diagnostic(fix_edits_json=' [ {"start": 0, "end": 12, "new_text": ""} ] ')
    arguments = item.__reduce__()[1]
    assert arguments == ("unused-import", "warn", "unused import 'a'", "remove it", True, Span(0, 12), EDITS)
    for value in (item, diagnostic(fix_edits_json=None)):
        assert pickle.loads(pickle.dumps(value, protocol=protocol)) == value


@pytest.mark.parametrize("text, edits", [
    ("[]", []),
    ("[1]", [1]),
    ('\n\t[{"a": [null, true, 1.5, "\\u00e9"]}]  ', [{"a": [None, True, 1.5, "\u00e9"]}]),
    ("[" * 127 + "]" * 127, None),
])
def test_diagnostic_accepts_json_arrays(text, edits):
    item = diagnostic(fix_edits_json=text)
    assert item.fix_edits is not None
    if edits is not None:
        assert item.fix_edits == edits
        assert item.to_dict()["fix_edits"] == edits


@pytest.mark.parametrize("text, detail", [
    ("{}", "invalid type: object, expected an array"),
    ("1", "invalid type: number, expected an array"),
    ("[" * 128 + "]" * 128, "recursion limit exceeded at line 1 column 128"),
    ('["abc]', None),
    ("[1] x", None),
    ("", None),
    ("[1,]", None),
    ("\n[", None),
    ("[1e400]", "number overflow parsing '1e400' at line 1 column 6"),
    ('["1e999", 0,\n -1e999]', "number overflow parsing '-1e999' at line 2 column 7"),
    # A byte-order mark is no white space: it begins no value, as any other such character.
    ("\ufeff[]", "parse error at line 1, column 1: syntax error while parsing value - invalid "
                 "literal; last read: '\ufffd'"),
    ("\u00e9[]", "parse error at line 1, column 1: syntax error while parsing value - invalid "
                 "literal; last read: '\ufffd'"),
    (" \ufeff[]", "parse error at line 1, column 2: syntax error while parsing value - invalid "
                  "literal; last read: ' \ufffd'"),
])
def test_diagnostic_refuses_bad_fix_edits(text, detail):
    with pytest.raises(ValueError) as caught:
        diagnostic(fix_edits_json=text)
    message = str(caught.value)
    assert message.startswith("fix_edits_json is not valid JSON: ")
    if detail is not None:
        assert message == "fix_edits_json is not valid JSON: " + detail
    else:
        assert "line" in message and "column" in message


def test_bracket_inside_string_does_not_count_as_nesting():
    text = '["' + "[" * 200 + '\\"' + '"]'
    assert diagnostic(fix_edits_json=text).fix_edits == ["[" * 200 + '"']


@pytest.mark.parametrize("overrides, error, message, note", [
    ({"rule": 1}, TypeError, "'int' object is not an instance of 'str'", "rule"),
    ({"severity": None}, TypeError, "'None' is not an instance of 'str'", "severity"),
    ({"message": b"m"}, TypeError, "'bytes' object is not an instance of 'str'", "message"),
    ({"help": 3}, TypeError, "'int' object is not an instance of 'str'", "help"),
    ({"fixable": None}, TypeError, "'None' is not an instance of 'bool'", "fixable"),
    ({"fixable": 1}, TypeError, "'int' object is not an instance of 'bool'", "fixable"),
    ({"span": (1, 2)}, TypeError, "'tuple' object is not an instance of 'Span'", "span"),
    ({"fix_edits_json": []}, TypeError, "'list' object is not an instance of 'str'", "fix_edits_json"),
])
def test_diagnostic_conversion_errors(overrides, error, message, note):
    with pytest.raises(error) as caught:
        diagnostic(**overrides)
    assert str(caught.value) == message
    assert caught.value.__notes__ == [f"while processing '{note}'"]


def test_diagnostic_first_failing_argument_wins():
    with pytest.raises(TypeError) as caught:
        LintDiagnostic("r", 2, 3, fixable=None)
    assert caught.value.__notes__ == ["while processing 'severity'"]


def test_diagnostic_argument_binding():
    with pytest.raises(TypeError) as caught:
        LintDiagnostic("r")
    assert str(caught.value) == (
        "LintDiagnostic.__new__() missing 2 required positional arguments: 'severity' and 'message'")
    with pytest.raises(TypeError) as caught:
        LintDiagnostic()
    assert str(caught.value) == (
        "LintDiagnostic.__new__() missing 3 required positional arguments: 'rule', 'severity', and 'message'")
    with pytest.raises(TypeError) as caught:
        LintDiagnostic("r", "s", "m", None, False, None, None, None)
    assert str(caught.value) == "LintDiagnostic.__new__() takes 7 positional arguments but 8 were given"
    assert LintDiagnostic("r", "s", "m", "h", True, None, "[]") == \
        LintDiagnostic(rule="r", severity="s", message="m", help="h", fixable=True, fix_edits_json="[]")


def test_diagnostic_equality_covers_every_field():
    base = diagnostic()
    assert base == diagnostic()
    for overrides in ({"rule": "x"}, {"severity": "error"}, {"message": "x"}, {"help": None},
                      {"fixable": False}, {"span": None}, {"span": Span(0, 12, 1, 1)},
                      {"fix_edits_json": None}, {"fix_edits_json": "[]"},
                      {"fix_edits_json": '[{"end":12.0,"new_text":"","start":0}]'}):
        assert base != diagnostic(**overrides), overrides


def numpy_like_bool(result):
    """A stand-in for numpy.bool_, recognised by its name and module alone."""
    cls = type("bool_", (), {"__module__": "numpy", "__bool__": lambda self: result})
    return cls()


def test_fixable_accepts_a_numpy_boolean():
    assert diagnostic(fixable=numpy_like_bool(True)).fixable is True
    assert diagnostic(fixable=numpy_like_bool(False)).fixable is False
    with pytest.raises(TypeError) as caught:
        diagnostic(fixable=numpy_like_bool(1))
    assert str(caught.value) == "'int' object is not an instance of 'bool'"
    assert caught.value.__notes__ == ["while processing 'fixable'"]
    other = type("bool_", (), {"__module__": "mylib", "__bool__": lambda self: True})()
    with pytest.raises(TypeError) as caught:
        diagnostic(fixable=other)
    assert str(caught.value) == "'bool_' object is not an instance of 'bool'"
