"""Typical use of the installed vorpel package, type-checked with `mypy --strict` and also run.

Each line of `rejected_use` is a mistake the type stubs must catch: with --strict, a `type: ignore`
comment that no longer silences an error is itself an error, so stubs too loose to see the
mistake fail the check.
"""

import pathlib
import tempfile

import vorpel


def compile_forms(folder: pathlib.Path) -> None:
    result = vorpel.compile(
        "# Hello {{ name }}\n@for item in items:\n- {{ upper(item) }}\n@end\n",
        vars={"name": "Ada", "items": ["tea", "cake"]},
        source_map=True,
    )
    output: str | None = result.output
    assert output == "# Hello Ada\n- TEA\n- CAKE\n"
    assert result.kind == "markdown" and result.source_map is not None
    warnings: list[str] = result.warnings
    assert warnings == []
    assert vorpel.CompileResult(result.to_dict()) == result

    chat = vorpel.compile("@message system:\nBe brief.\n@end\n")
    messages = chat.messages or []
    assert [(m.role, m.content) for m in messages] == [("system", "Be brief.")]

    (folder / "main.tyx").write_text('@import "./greet.tyx" as greet\n{{ greet.hello() }}\n')
    (folder / "greet.tyx").write_text("@define hello():\nhi\n@end\n@export hello\n")
    from_file = vorpel.compile_file(folder / "main.tyx")
    assert from_file.output is not None and from_file.dependencies != []
    from_text = vorpel.compile("{{ upper('a') }}\n", base_path=folder)
    assert from_text.output == "A\n"

    main = '@import "./part.tyx" as part\n@include part\n'
    modules = {"main.tyx": main, "part.tyx": "part\n"}
    assert vorpel.compile_virtual(modules, "main.tyx").output == "part\n"
    assert vorpel.scan_imports(main) == ["./part.tyx"]


def check_and_lint_forms(folder: pathlib.Path) -> None:
    checked: vorpel.CheckResult = vorpel.check("{{ name }}\n", vars={"name": 1})
    assert checked.warnings == []
    assert vorpel.check_file(folder / "main.tyx").warnings == []
    assert vorpel.check_virtual({"a.tyx": "a\n"}, "a.tyx").warnings == []

    linted = vorpel.lint("@if name:\n@end\n", vars={"name": 1}, rules={"unused-variable": "off"})
    findings: list[str] = []
    for report in linted.files:
        for diagnostic in report.diagnostics:
            span = diagnostic.span
            where = f"byte {span.offset}" if span is not None else "the file"
            findings.append(f"{report.file}: {diagnostic.rule} at {where}: {diagnostic.message}")
    assert findings == ["input.tyx: empty-block at byte 0: @if then-body is empty."], findings
    assert not linted.truncated and linted.lint_warnings == []
    assert vorpel.lint_file(folder / "greet.tyx").version == 1
    assert vorpel.lint_virtual({"a.tyx": "a\n"}, "a.tyx", rules={}).files == []


def error_attributes() -> None:
    try:
        vorpel.compile("{{ missing }}")
    except vorpel.TyxError as error:
        code: str = error.code
        message: str = error.message
        help_text: str | None = error.help
        assert code.startswith("tyx::") and message == str(error)
        assert help_text is None or help_text != ""
        if error.span is not None:
            line: int | None = error.span.line
            assert line == 1 and error.span.offset >= 0
    else:
        raise AssertionError("an undefined variable compiles")


def rejected_use() -> None:
    vorpel.compile(b"# bytes")  # type: ignore[arg-type]
    vorpel.compile("x", {"a": 1})  # type: ignore[misc]
    vorpel.compile("x", source_map=None)  # type: ignore[arg-type]
    vorpel.check("x", source_map=True)  # type: ignore[arg-type]
    vorpel.compile_file("main.tyx", base_path=".")  # type: ignore[call-arg]
    vorpel.compile_virtual({"a.tyx": 1}, "a.tyx")  # type: ignore[dict-item]
    vorpel.lint("x", rules={"empty-block": 0})  # type: ignore[dict-item]
    vorpel.scan_imports(source="x")  # type: ignore[call-arg]
    length: str = vorpel.Span(0, 1).length  # type: ignore[assignment]
    vorpel.Span(0, 1).line = 2  # type: ignore[misc]
    output: str = vorpel.compile("x").output  # type: ignore[assignment]


if __name__ == "__main__":
    with tempfile.TemporaryDirectory() as temporary:
        compile_forms(pathlib.Path(temporary))
        check_and_lint_forms(pathlib.Path(temporary))
    error_attributes()
    print("vorpel", vorpel.__version__, "works as typed")
