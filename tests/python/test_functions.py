"""compile, compile_file, compile_virtual, check, check_file, check_virtual and scan_imports
driven end to end through the extension."""

import os
import shutil
import subprocess
import sys
import threading
import time

import pytest

import vorpel
from support import error_of

pytestmark = pytest.mark.skipif(not hasattr(vorpel, "compile"),
                                reason="the module functions are not registered yet")


MESSAGES_MAP_WARNING = (
    "source maps are not supported for messages-mode templates (@message blocks); "
    "no source map will be generated")
MODULE_NOT_FOUND_HELP = (
    "add the module to `options.modules` (WASM / napi / Python) or switch to the native "
    "backend for filesystem-backed imports")

LIB = "@define greet(who):\nHi {{ who }}\n@end\n@export greet\n"
SHOUT = "@define shout(who):\n{{ upper(who) }}!\n@end\n@export shout\n"
CHAT = "@message system:\nBe brief.\n@end\n@message user:\nHello {{ name }}\n@end\n"


@pytest.fixture
def project(tmp_path):
    """A project root holding a main template that imports two modules."""
    (tmp_path / ".tyxroot").write_text("")
    (tmp_path / "lib").mkdir()
    (tmp_path / "lib" / "greet.tyx").write_text(LIB)
    (tmp_path / "lib" / "shout.tyx").write_text(SHOUT)
    (tmp_path / "main.tyx").write_text(
        '@import "./lib/greet.tyx" as g\n@import "./lib/shout.tyx" as s\n'
        '{{ g.greet(name) }} {{ s.shout(name) }}\n')
    return tmp_path


def test_compile_markdown():
    result = vorpel.compile("Hello {{ name }}", vars={"name": "x"})
    assert isinstance(result, vorpel.CompileResult)
    assert result.to_dict() == {
        "dependencies": [], "kind": "markdown", "output": "Hello x\n", "sourceMap": None,
        "warnings": []}
    assert result.to_json() == (
        '{"dependencies":[],"kind":"markdown","output":"Hello x\\n","warnings":[]}')


def test_compile_messages_with_a_source_map_asked_for():
    result = vorpel.compile(CHAT, vars={"name": "Ada"}, source_map=True)
    assert result.kind == "messages"
    assert [(m.role, m.content) for m in result.messages] == [
        ("system", "Be brief."), ("user", "Hello Ada")]
    assert result.output is None and result.source_map is None
    assert result.to_json() == (
        '{"dependencies":[],"kind":"messages","messages":[{"content":"Be brief.","role":"system"},'
        '{"content":"Hello Ada","role":"user"}],"warnings":["' + MESSAGES_MAP_WARNING + '"]}')
    assert vorpel.compile(CHAT, vars={"name": "Ada"}).warnings == []


def test_compile_source_map_with_sources_content():
    source = "Hello {{ name }}\n"
    with_content = vorpel.compile(source, vars={"name": "x"}, source_map=True,
                                  sources_content=True).source_map
    assert with_content["version"] == 3
    assert with_content["sourcesContent"] == [source]
    without = vorpel.compile(source, vars={"name": "x"}, source_map=True).source_map
    assert "sourcesContent" not in without
    assert without["sources"] == with_content["sources"]
    assert without["mappings"] == with_content["mappings"]


def test_compile_resolves_imports_against_base_path(project):
    result = vorpel.compile('@import "./lib/greet.tyx" as g\n{{ g.greet("Ada") }}\n',
                            base_path=str(project))
    assert "Hi Ada" in result.output
    assert result.dependencies == [str((project / "lib" / "greet.tyx").resolve())]
    # A path-like base path does the same.
    again = vorpel.compile('@import "./lib/greet.tyx" as g\n{{ g.greet("Ada") }}\n',
                           base_path=project)
    assert again == result


def test_compile_defaults_to_the_current_directory(project, monkeypatch):
    # An import target is read and refused before it would be compiled, so a Markdown file
    # without the marker shows where a relative path was looked for.
    (project / "page.md").write_text("---\ntitle: T\n---\nx\n")
    source = '@import "./page.md" as p\n'
    monkeypatch.chdir(project)
    error = error_of(lambda: vorpel.compile(source))
    assert (error.code, error.message, error.span) == (
        "tyx::not_tyx", f"not an TYX file: {(project / 'page.md').resolve()}", None)
    # A base path of its own wins over the current directory.
    error = error_of(lambda: vorpel.compile(source, base_path=project / "lib"))
    assert (error.code, error.message) == ("tyx::file_not_found", "file not found: ./page.md")
    assert (error.span.offset, error.span.length, error.span.line, error.span.column) == (
        0, 24, 1, 1)
    # Without a current directory there is nothing to default to.
    gone = project / "gone"
    gone.mkdir()
    monkeypatch.chdir(gone)
    gone.rmdir()
    error = error_of(lambda: vorpel.compile("x"))
    assert (error.code, error.message, error.help, error.span) == (
        "tyx::io", "cannot determine current directory: No such file or directory", None, None)
    assert vorpel.compile("x", base_path=project).output == "x\n"


def test_compile_imports_from_the_current_directory(project, monkeypatch):
    monkeypatch.chdir(project)
    result = vorpel.compile('@import "./lib/shout.tyx" as s\n{{ s.shout("a") }}')
    assert "A!" in result.output
    assert result.dependencies == [str((project / "lib" / "shout.tyx").resolve())]


def test_compile_file_lists_imports_in_completion_order_without_the_entry(project):
    result = vorpel.compile_file(project / "main.tyx", vars={"name": "ada"})
    assert "Hi ada" in result.output and "ADA!" in result.output
    assert result.dependencies == [
        str((project / "lib" / "greet.tyx").resolve()),
        str((project / "lib" / "shout.tyx").resolve()),
    ]
    assert vorpel.compile_file(str(project / "main.tyx"), vars={"name": "ada"}) == result


def test_compile_file_never_lists_the_entry_even_when_imported_again(project):
    (project / "self.tyx").write_text('@define f():\nx\n@end\n@export f\n')
    result = vorpel.compile_file(project / "self.tyx")
    assert result.dependencies == []


def test_compile_file_missing_file(tmp_path):
    (tmp_path / ".tyxroot").write_text("")
    error = error_of(lambda: vorpel.compile_file(tmp_path / "absent.tyx"))
    assert error.code in ("tyx::file_not_found", "tyx::io")
    assert "absent.tyx" in error.message


def test_compile_file_non_utf8_path(tmp_path):
    # A surrogate-escaped byte passes the file-system encoding but is no UTF-8 text.
    error = error_of(lambda: vorpel.compile_file(str(tmp_path) + "/\udcff.tyx"))
    assert (error.code, error.message, error.span) == ("tyx::io", "path is not valid UTF-8", None)
    error = error_of(lambda: vorpel.check_file(str(tmp_path) + "/\udcff.tyx"))
    assert (error.code, error.message) == ("tyx::io", "path is not valid UTF-8")


def test_compile_virtual():
    modules = {"main.tyx": '@define greet(who):\nHi {{ who }}\n@end\n{{ greet(n) }}\n',
               "unused.tyx": "{{ never_compiled"}
    result = vorpel.compile_virtual(modules, "main.tyx", vars={"n": "v"})
    assert isinstance(result, vorpel.CompileResult)
    assert result.to_dict() == {
        "dependencies": [], "kind": "markdown", "output": "Hi v\n", "sourceMap": None,
        "warnings": []}
    assert vorpel.compile_virtual(modules, entry="main.tyx", vars={"n": "v"}) == result
    # The entry key is taken exactly as written: no prefix is added or dropped.
    dotted = {"./main.tyx": modules["main.tyx"]}
    assert vorpel.compile_virtual(dotted, "./main.tyx", vars={"n": "v"}) == result
    error = error_of(lambda: vorpel.compile_virtual(dotted, "main.tyx"))
    assert (error.code, error.message) == (
        "tyx::module_not_found", "module 'main.tyx' is not in the virtual module map")
    messages = vorpel.compile_virtual({"chat.tyx": CHAT}, "chat.tyx", vars={"name": "Ada"},
                                      source_map=True)
    assert messages.kind == "messages" and messages.source_map is None
    assert messages.warnings == [MESSAGES_MAP_WARNING]


def test_compile_virtual_lists_the_imported_module_key():
    modules = {"main.tyx": '@import "./lib/greet.tyx" as g\n{{ g.greet("v") }}\n',
               "lib/greet.tyx": LIB}
    result = vorpel.compile_virtual(modules, "main.tyx")
    assert "Hi v" in result.output
    assert result.dependencies == ["lib/greet.tyx"]
    # The import resolves against the entry key's own prefix, exactly as written.
    dotted = vorpel.compile_virtual({"./main.tyx": modules["main.tyx"], "./lib/greet.tyx": LIB},
                                    "./main.tyx")
    assert dotted.dependencies == ["./lib/greet.tyx"]


def test_compile_virtual_entry_not_in_the_map():
    for call in [lambda: vorpel.compile_virtual({"a.tyx": "x"}, "b.tyx"),
                 lambda: vorpel.check_virtual({"a.tyx": "x"}, "b.tyx")]:
        error = error_of(call)
        assert error.code == "tyx::module_not_found"
        assert error.message == "module 'b.tyx' is not in the virtual module map"
        assert error.help == MODULE_NOT_FOUND_HELP
        assert error.span is None


def test_compile_virtual_with_source_map():
    result = vorpel.compile_virtual({"a.tyx": "Hi {{ n }}"}, "a.tyx", vars={"n": 1},
                                    source_map=True, sources_content=True)
    assert result.output == "Hi 1\n"
    assert result.source_map["sourcesContent"] == ["Hi {{ n }}"]


def test_undefined_variable_end_to_end():
    for call in [lambda: vorpel.compile("ab\ncd {{ missing }}"),
                 lambda: vorpel.check("ab\ncd {{ missing }}"),
                 lambda: vorpel.compile_virtual({"a.tyx": "ab\ncd {{ missing }}"}, "a.tyx"),
                 lambda: vorpel.check_virtual({"a.tyx": "ab\ncd {{ missing }}"}, "a.tyx")]:
        error = error_of(call)
        assert error.code == "tyx::undefined_var"
        assert error.message == "undefined variable 'missing'"
        assert str(error) == error.message and error.args == (error.message,)
        assert error.help == "define 'missing' in frontmatter or imports"
        assert (error.span.offset, error.span.line, error.span.column) == (6, 2, 4)


def test_error_in_an_imported_module_points_into_that_module():
    modules = {"main.tyx": 'first\nsecond\nthird\n@import "./lib.tyx" as l\n{{ l.f() }}\n',
               "lib.tyx": "@define f():\né {{ nope }}\n@end\n@export f\n"}
    error = error_of(lambda: vorpel.compile_virtual(modules, "main.tyx"))
    assert error.code == "tyx::undefined_var"
    assert error.message == "undefined variable 'nope'"
    offset = modules["lib.tyx"].encode().index(b"{{ nope }}")
    assert (error.span.offset, error.span.line, error.span.column) == (offset, 2, 3)


def test_syntax_error_span_is_the_directive_line():
    error = error_of(lambda: vorpel.compile("ok\n@if x\nbody\n@end\n"))
    assert error.code == "tyx::syntax"
    assert error.help is None
    assert (error.span.offset, error.span.length, error.span.line, error.span.column) == (
        3, 5, 2, 1)


ARITY_HELP = ("check the call site \u2014 '{}' requires a different number of arguments than "
              "were provided")
MISMATCH_HELP = ("left side is number, right side is string; compare against a number literal, "
                 "use '@if x:' for truthiness, or pass a string with '--set-string KEY=VALUE'")

# Columns count Unicode scalar values; only a line feed starts a line, so a carriage return is
# one more column of its line.
ERROR_MAPPING = [
    ("a\r\nb {{ nope }}", None, "tyx::undefined_var", "undefined variable 'nope'",
     "define 'nope' in frontmatter or imports", (5, 4, 2, 3)),
    ("a\rb\r{{ nope }}", None, "tyx::undefined_var", "undefined variable 'nope'",
     "define 'nope' in frontmatter or imports", (4, 4, 1, 5)),
    ("ab\ncd\u00e9 {{ nope }}", None, "tyx::undefined_var", "undefined variable 'nope'",
     "define 'nope' in frontmatter or imports", (8, 4, 2, 5)),
    ("\U0001f600 {{ nope }}", None, "tyx::undefined_var", "undefined variable 'nope'",
     "define 'nope' in frontmatter or imports", (5, 4, 1, 3)),
    ("x\n{{ nope() }}", None, "tyx::undefined_fn", "undefined function 'nope'",
     "define 'nope' with @define or import it", (2, 6, 2, 1)),
    ("\u00e9\r\n@if x\nbody\n@end\n", None, "tyx::syntax",
     "syntax error: @if directive must end with ':'", None, (4, 5, 2, 1)),
    # A directive's line span runs up to the line feed, so it holds the carriage return.
    ("ok\r\n@if x\r\nbody\r\n@end\r\n", None, "tyx::syntax",
     "syntax error: @if directive must end with ':'", None, (4, 6, 2, 1)),
    ('\u00e9\r\n@if n == "a":\nx\n@end\n', {"n": 1}, "tyx::type_mismatch",
     "type mismatch: cannot compare number with string", MISMATCH_HELP, (4, 13, 2, 1)),
    ('\u00e9\r\n@if n == "a":\r\nx\r\n@end\r\n', {"n": 1}, "tyx::type_mismatch",
     "type mismatch: cannot compare number with string", MISMATCH_HELP, (4, 14, 2, 1)),
    ("@define f(a, b):\nx\n@end\n\u00e9 {{ f(1) }}\n", None, "tyx::arity",
     "arity mismatch for 'f': expected 2 arguments, got 1",
     ARITY_HELP.format("f") + "\\u000Aexpected: f(a, b)", (27, 4, 4, 3)),
    ("@define f(a, b = 1):\nx\n@end\n\u00e9 {{ f() }}\n", None, "tyx::arity",
     "arity mismatch for 'f': expected 1-2 arguments, got 0",
     ARITY_HELP.format("f") + "\\u000Aexpected: f(a, b = 1)", (31, 3, 4, 3)),
    # A builtin has no signature to show.
    ("{{ upper(1, 2) }}", None, "tyx::arity",
     "arity mismatch for 'upper': expected 1 argument, got 2", ARITY_HELP.format("upper"),
     (0, 11, 1, 1)),
]


@pytest.mark.parametrize("source, variables, code, message, help_text, span", ERROR_MAPPING)
def test_error_mapping_end_to_end(source, variables, code, message, help_text, span):
    for call in [lambda: vorpel.compile(source, vars=variables),
                 lambda: vorpel.check(source, vars=variables),
                 lambda: vorpel.compile_virtual({"a.tyx": source}, "a.tyx", vars=variables)]:
        error = error_of(call)
        assert type(error) is vorpel.TyxError
        assert (error.code, error.message, error.help) == (code, message, help_text)
        assert str(error) == message and error.args == (message,)
        assert type(error.span) is vorpel.Span
        assert (error.span.offset, error.span.length, error.span.line, error.span.column) == span


def test_messages_with_control_characters_are_escaped():
    error = error_of(lambda: vorpel.compile_virtual({"a\u202e.tyx": "x"}, "b\n.tyx"))
    assert error.message == "module 'b\\u000A.tyx' is not in the virtual module map"


def test_check_returns_warnings_without_output(tmp_path):
    (tmp_path / ".git").mkdir()
    for source in [CHAT, "Hello {{ name }}\n", "---\ntitle: T\n---\n# {{ title }} {{ name }}\n"]:
        (tmp_path / "page.tyx").write_text(source)
        for result in [vorpel.check(source, vars={"name": "n"}),
                       vorpel.check_file(tmp_path / "page.tyx", vars={"name": "n"}),
                       vorpel.check_virtual({"page.tyx": source}, "page.tyx", vars={"name": "n"})]:
            assert type(result) is vorpel.CheckResult
            assert result.warnings == []
            assert result.to_dict() == {"warnings": []}
            assert result.to_json() == '{"warnings":[]}'


def test_check_returns_the_warnings_of_the_compilation_in_order():
    # An @include of a module without body text renders nothing and warns.
    modules = {"main.tyx": '@import "./lib.tyx" as lib\n@include lib\n', "lib.tyx": LIB}
    compiled = vorpel.compile_virtual(modules, "main.tyx")
    checked = vorpel.check_virtual(modules, "main.tyx")
    assert compiled.warnings and checked.warnings == compiled.warnings
    modules = {"main.tyx": '@import "./a.tyx" as a\n@import "./b.tyx" as b\n'
                           '@include b\n@include a\n',
               "a.tyx": LIB, "b.tyx": SHOUT}
    checked = vorpel.check_virtual(modules, "main.tyx")
    assert len(checked.warnings) == 2
    assert checked.warnings[0].startswith("warning: @include of 'b' produced empty output")
    assert checked.warnings[1].startswith("warning: @include of 'a' produced empty output")
    assert checked.warnings == vorpel.compile_virtual(modules, "main.tyx").warnings


def test_check_and_compile_agree(project):
    source = "---\ngreeting: Hi\n---\n{{ greeting }} {{ name }}\n"
    page = project / "page.tyx"
    page.write_text(source)
    assert vorpel.compile(source, base_path=project, vars={"name": "a"}).output.endswith(
        "Hi a\n")
    assert vorpel.check(source, base_path=project, vars={"name": "a"}).warnings == []
    assert vorpel.check_file(page, vars={"name": "a"}).warnings == []
    assert vorpel.check_virtual({"page.tyx": source}, "page.tyx", vars={"name": "a"}).warnings == []
    offset = source.index("{{ name }}")
    for call in [lambda: vorpel.check_file(page), lambda: vorpel.compile_file(page),
                 lambda: vorpel.check(source, base_path=project),
                 lambda: vorpel.compile(source, base_path=project),
                 lambda: vorpel.check_virtual({"page.tyx": source}, "page.tyx"),
                 lambda: vorpel.compile_virtual({"page.tyx": source}, "page.tyx")]:
        error = error_of(call)
        assert (error.code, error.message) == ("tyx::undefined_var", "undefined variable 'name'")
        assert error.help == "define 'name' in frontmatter or imports"
        assert (error.span.offset, error.span.length, error.span.line, error.span.column) == (
            offset, 4, 4, 16)


def test_check_base_path_errors():
    error = error_of(lambda: vorpel.check("x", base_path="/no/such/dir"))
    assert error.code == "tyx::io"
    assert error.message.startswith("cannot resolve base directory /no/such/dir: ")


SCANS = [
    ("", []),
    ("plain text {{ x }}\n", []),
    ('@import "./a.tyx" as a\n@import "./a.tyx"\n@import { x } from "./b.tyx"\n',
     ["./a.tyx", "./b.tyx"]),
    ('---\nimports:\n  - path: ./a.tyx\n  - path: ./b.tyx\n    as: b\n---\n'
     '@import "./a.tyx" as a\n@import "./c.tyx" as c\n@import "./a.tyx" as d\n',
     ["./a.tyx", "./b.tyx", "./c.tyx"]),
    ('---\nimports:\n  - path: ./b.tyx\n---\n\n@extends "./base.tyx"\n@block main:\nx\n@end\n',
     ["./base.tyx", "./b.tyx"]),
    ('@export greet from "./g.tyx"\n@export * from "./all.tyx"\n@export local\n',
     ["./g.tyx", "./all.tyx"]),
    # Nested directives are not searched; missing modules are listed like any other.
    ('@if x:\n@import "./inner.tyx" as i\n@end\n@import "../missing.tyx" as m\n',
     ["../missing.tyx"]),
    # Malformed frontmatter hides only its own paths.
    ('---\nimports: [unclosed\n---\n@import "./a.tyx" as a\n', ["./a.tyx"]),
    ('---\nimports:\n  - "./bare.tyx"\n---\n@import "./a.tyx" as a\n', ["./a.tyx"]),
    ('---\n- a\n- b\n---\n@import "./a.tyx" as a\n', ["./a.tyx"]),
]


@pytest.mark.parametrize("source, paths", SCANS)
def test_scan_imports(source, paths):
    found = vorpel.scan_imports(source)
    assert type(found) is list
    assert found == paths


def test_scan_imports_limits_and_errors():
    entries = "".join(f"  - path: ./m{i}.tyx\n" for i in range(257))
    error = error_of(lambda: vorpel.scan_imports(f"---\nimports:\n{entries}---\n"))
    assert error.code == "tyx::resource_limit"
    assert error.message == (
        "resource limit exceeded: imports exceeds maximum of 256 entries (in frontmatter)")
    assert error.span is None
    entries = "".join(f"  - path: ./m{i}.tyx\n" for i in range(256))
    assert len(vorpel.scan_imports(f"---\nimports:\n{entries}---\n")) == 256
    error = error_of(lambda: vorpel.scan_imports("text\n@if x:\nbody\n"))
    assert error.code == "tyx::syntax"
    assert error.span is not None and error.span.line == 2
    huge = "---\nk: " + "x" * 1_048_577 + "\n---\n"
    assert error_of(lambda: vorpel.scan_imports(huge)).code == "tyx::resource_limit"


def test_results_are_new_objects_each_call():
    first = vorpel.compile("x")
    second = vorpel.compile("x")
    assert first == second and first is not second
    assert vorpel.scan_imports('@import "./a.tyx"') is not vorpel.scan_imports('@import "./a.tyx"')


def test_many_threads_compiling_at_once_get_their_own_results():
    errors = []
    results = {}

    def work(index):
        try:
            for round_ in range(20):
                name = f"t{index}-{round_}"
                result = vorpel.compile_virtual(
                    {"main.tyx": '@define greet(who):\nHi {{ who }}\n@end\n{{ greet(n) }}\n',
                     "other.tyx": "{{ n }}"},
                    "main.tyx", vars={"n": name})
                assert result.output == f"Hi {name}\n"
                assert result.dependencies == []
                checked = vorpel.check(CHAT, vars={"name": name})
                assert checked.warnings == []
                chat = vorpel.compile(CHAT, vars={"name": name}, source_map=True)
                assert chat.messages[1].content == f"Hello {name}"
                assert chat.warnings == [MESSAGES_MAP_WARNING]
                failure = pytest.raises(vorpel.TyxError, vorpel.compile, "{{ " + f"v{index}" + " }}")
                assert failure.value.message == f"undefined variable 'v{index}'"
            results[index] = True
        except BaseException as error:  # noqa: BLE001 - reported by the main thread
            errors.append(error)

    threads = [threading.Thread(target=work, args=(i,)) for i in range(16)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert errors == []
    assert len(results) == 16


def long_compile_source():
    """A source that takes at least 0.15 s to compile here, within the source size limit."""
    lines = 10_000
    while True:
        source = "line {{ a }}\n" * lines
        start = time.perf_counter()
        vorpel.compile(source, vars={"a": 1})
        if time.perf_counter() - start >= 0.15 or len(source) * 2 > 10_485_760:
            return source
        lines *= 2


def test_another_thread_runs_while_a_long_compile_holds_no_lock():
    source = long_compile_source()
    calls = []
    ticks = []
    done = threading.Event()

    def compile_long():
        for _ in range(3):
            start = time.perf_counter()
            vorpel.compile(source, vars={"a": 1})
            calls.append((start, time.perf_counter()))
        done.set()

    worker = threading.Thread(target=compile_long)
    worker.start()
    while not done.is_set():
        ticks.append(time.perf_counter())
    worker.join()
    # Were the lock held, this thread could run during a call only in the switch interval
    # (5 ms by default) at its start or its end, never in the middle of it.
    margin = 0.02
    long_calls = [(s, e) for s, e in calls if e - s > 3 * margin]
    assert long_calls, "the compiles were too short to show anything"
    during = [t for t in ticks if any(s + margin < t < e - margin for s, e in long_calls)]
    assert len(during) > 100


def test_the_module_loads_in_every_python_on_the_machine():
    # The extension is built on the stable ABI, so any CPython 3.11 or later loads it.
    package_root = os.path.dirname(os.path.dirname(vorpel.__file__))
    environment = {**os.environ, "PYTHONPATH": package_root}
    probe = "import vorpel; print(vorpel.compile('Hi {{ n }}', vars={'n': 1}).output, end='')"
    for interpreter in {sys.executable, "/usr/bin/python3", shutil.which("python3")}:
        if interpreter is None or not os.path.exists(interpreter):
            continue
        version = subprocess.run([interpreter, "-c", "import sys; print(sys.version_info >= (3, 11))"],
                                 capture_output=True, text=True, env=environment)
        if version.stdout.strip() != "True":
            continue
        run = subprocess.run([interpreter, "-c", probe], capture_output=True, text=True,
                             env=environment)
        assert (run.returncode, run.stdout) == (0, "Hi 1\n"), (interpreter, run.stderr)


def test_compile_file_of_markdown(tmp_path):
    (tmp_path / ".git").mkdir()
    page = tmp_path / "page.md"
    page.write_text("---\ntitle: T\n---\n# {{ title }}\n")
    error = error_of(lambda: vorpel.compile_file(page))
    assert error.code == "tyx::not_tyx"
    assert error.message == f"not an TYX file: {page.resolve()}"
    assert error.help == "use .tyx extension or add 'type: tyx' to frontmatter"
    page.write_text("---\ntype: tyx\ntitle: T\n---\n# {{ title }}\n")
    result = vorpel.compile_file(page)
    assert result.output.endswith("# T\n")
    assert result.dependencies == []
    assert vorpel.check_file(page).warnings == []


def test_compile_file_with_source_map(tmp_path):
    (tmp_path / ".git").mkdir()
    (tmp_path / "a.tyx").write_text("A {{ x }}\n")
    result = vorpel.compile_file(tmp_path / "a.tyx", vars={"x": 1}, source_map=True,
                                 sources_content=True)
    assert result.output == "A 1\n"
    assert result.source_map["sourcesContent"] == ["A {{ x }}\n"]
    assert result.source_map["sources"] == ["a.tyx"]
