"""Imported modules end to end: the module cache, cycles and limits, the template test for
Markdown modules, and what @include, `prompt` and export lists let an importer see."""

import pytest

import vorpel
from support import error_of

LIB = "@define greet(who):\nHi {{ who }}\n@end\n@export greet\n"
NO_BODY = "has no body text; to use the module's functions, call them directly"
HIDDEN_BODY = "its explicit @export list does not export 'prompt'"


def compile_main(modules, **options):
    return vorpel.compile_virtual(modules, "main.tyx", **options)


def span_of(error):
    span = error.span
    return None if span is None else (span.offset, span.length, span.line, span.column)


def test_shared_module_is_compiled_once_and_warns_once():
    modules = {
        "main.tyx": '@import "./a.tyx" as a\n@import "./b.tyx" as b\n{{ a.f() }} {{ b.f() }}\n',
        "a.tyx": '@import "./shared.tyx" as s\n@define f():\nA{{ s.g() }}\n@end\n',
        "b.tyx": "---\nimports:\n  - path: ./shared.tyx\n---\n@define f():\nB{{ g() }}\n@end\n",
        # Rendering this body warns: the included module has no body text.
        "shared.tyx": '@import "./lib.tyx" as lib\n@include lib\n@define g():\n!\n@end\n',
        "lib.tyx": LIB,
    }
    result = compile_main(modules)
    assert result.output == "A! B!\n"
    assert result.dependencies == ["lib.tyx", "shared.tyx", "a.tyx", "b.tyx"]
    assert len(result.warnings) == 1
    assert result.warnings[0].startswith("warning: @include of 'lib' produced empty output")
    assert vorpel.check_virtual(modules, "main.tyx").warnings == result.warnings


CYCLES = [
    # A module importing itself.
    ({"main.tyx": '@import "./a.tyx" as a\n', "a.tyx": 'x\n@import "./a.tyx" as a\n'},
     "tyx::circular_import", "circular import detected: a.tyx \u2192 a.tyx", (2, 22, 2, 1)),
    # The chain starts at the first module that repeats, and is located in the module that
    # closed it.
    ({"main.tyx": '@import "./a.tyx" as a\n', "a.tyx": '@import "./lib/b.tyx" as b\n',
      "lib/b.tyx": '@import "../a.tyx" as a\n'},
     "tyx::circular_import", "circular import detected: a.tyx \u2192 b.tyx \u2192 a.tyx",
     (0, 23, 1, 1)),
    # The entry is on the stack too.
    ({"main.tyx": '@import "./a.tyx" as a\n', "a.tyx": '@import "./main.tyx" as m\n'},
     "tyx::circular_import", "circular import detected: main.tyx \u2192 a.tyx \u2192 main.tyx",
     (0, 25, 1, 1)),
    # Frontmatter imports reword the cycle and carry no location.
    ({"main.tyx": '@import "./a.tyx" as a\n',
      "a.tyx": "---\nimports:\n  - path: ./a.tyx\n---\n"},
     "tyx::import",
     "import error: circular import detected: a.tyx \u2192 a.tyx (in frontmatter imports[0])",
     None),
]


@pytest.mark.parametrize("modules, code, message, span", CYCLES)
def test_circular_imports(modules, code, message, span):
    error = error_of(lambda: compile_main(modules))
    assert (error.code, error.message, span_of(error)) == (code, message, span)


def test_an_already_compiled_module_is_no_cycle():
    modules = {"main.tyx": '@import "./a.tyx" as a\n@import "./b.tyx" as b\n{{ b.f() }}\n',
               "a.tyx": "@define f():\nfrom a\n@end\n",
               "b.tyx": '@import "./a.tyx" as a\n@define f():\n{{ a.f() }} via b\n@end\n'}
    assert compile_main(modules).output == "from a via b\n"


def nested_chain(length):
    modules = {"main.tyx": '@import "./m1.tyx" as m1\n{{ m1.f1() }}\n'}
    for i in range(1, length + 1):
        step = f'@import "./m{i + 1}.tyx" as m{i + 1}\n' if i < length else ""
        call = f"{{{{ m{i + 1}.f{i + 1}() }}}}" if i < length else "bottom"
        modules[f"m{i}.tyx"] = f"{step}@define f{i}():\n{call}\n@end\n"
    return modules


def test_import_depth():
    # The entry and 63 nested imports fill the stack to its limit.
    result = compile_main(nested_chain(63))
    assert result.output == "bottom\n"
    assert len(result.dependencies) == 63
    error = error_of(lambda: compile_main(nested_chain(64)))
    assert (error.code, error.message, error.span) == (
        "tyx::import", "import error: import depth exceeds maximum of 64 (possible deep chain)",
        None)


def test_module_count(tmp_path):
    # The virtual module map itself holds at most 256 modules, so the files serve here.
    (tmp_path / ".tyxroot").write_text("")
    for i in range(257):
        (tmp_path / f"m{i}.tyx").write_text(f"{i}\n")

    def main_importing(count):
        (tmp_path / "main.tyx").write_text(
            "".join(f'@import "./m{i}.tyx" as m{i}\n' for i in range(count)))
        return vorpel.compile_file(tmp_path / "main.tyx")

    assert len(main_importing(256).dependencies) == 256
    error = error_of(lambda: main_importing(257))
    assert (error.code, error.message, error.span) == (
        "tyx::resource_limit",
        "resource limit exceeded: module count exceeds maximum of 256 (256 modules resolved)",
        None)


MARKDOWN_MODULES = [
    ("---\ntype: tyx\n---\nBody\n", True),
    ("---\ntype:tyx\n---\nBody\n", True),
    ('---\ntitle: T\ntype: "tyx"\n---\nBody\n', True),
    ("---\ntype: 'tyx'\n---\nBody\n", True),
    ("---\r\ntype: tyx\r\n---\r\nBody\r\n", True),
    ("---\ntype: tyx   \n---\nBody\n", True),
    # A type line of a nested mapping does not mark the module.
    ("---\nmeta:\n  type: tyx\n---\nBody\n", False),
    ("---\ntype: tyx # marker\n---\nBody\n", False),
    ("---\ntype: Tyx\n---\nBody\n", False),
    ("---\nTYPE: tyx\n---\nBody\n", False),
    ("# no frontmatter\ntype: tyx\n", False),
    ("---\ntype: tyx\n", False),
]


@pytest.mark.parametrize("text, accepted", MARKDOWN_MODULES)
def test_markdown_modules_need_the_type_line(text, accepted):
    modules = {"main.tyx": '@import "./page.md" as p\n@include p\n', "page.md": text}
    if accepted:
        assert compile_main(modules).output == "Body\n"
    else:
        error = error_of(lambda: compile_main(modules))
        assert (error.code, error.message, error.span) == (
            "tyx::not_tyx", "not an TYX file: page.md", None)


def test_markdown_module_extensions():
    marked = "---\ntype: tyx\n---\nBody\n"
    for key in ["page.MD", "page.txt", "page", "lib/.md"]:
        modules = {"main.tyx": f'@import "./{key}" as p\n', key: marked}
        error = error_of(lambda: compile_main(modules))
        assert (error.code, error.message) == ("tyx::not_tyx", f"not an TYX file: {key}")
    # In a Markdown module the marker is no variable, and `imports` still lists imports.
    modules = {"main.tyx": '@import "./page.md" as p\n@include p\n',
               "page.md": "---\ntype: tyx\nimports:\n  - path: ./lib.tyx\n---\n"
                          "@if type:\ntyped\n@end\n{{ greet('md') }}\n",
               "lib.tyx": LIB}
    error = error_of(lambda: compile_main(modules))
    assert (error.code, error.message) == ("tyx::undefined_var", "undefined variable 'type'")
    modules["page.md"] = modules["page.md"].replace("@if type:\ntyped\n@end\n", "")
    assert compile_main(modules).output == "Hi md\n"


def test_import_paths_must_be_relative_before_the_loader_is_asked():
    for path in ["lib/x.tyx", "/lib/x.tyx", ".x.tyx", ""]:
        modules = {"main.tyx": f'@import "{path}" as x\n', "lib/x.tyx": "x\n", "/lib/x.tyx": "x\n"}
        error = error_of(lambda: compile_main(modules))
        assert (error.code, error.message, error.span) == (
            "tyx::import",
            f"import error: import path must be relative (start with './' or '../'): \"{path}\"",
            None)


def test_missing_modules_are_located_at_the_directive():
    source = 'first\n@import "./missing.tyx" as m\n'
    error = error_of(lambda: compile_main({"main.tyx": source}))
    assert (error.code, error.message, span_of(error)) == (
        "tyx::module_not_found", "module 'missing.tyx' is not in the virtual module map",
        (6, 28, 2, 1))


def test_blank_body_has_no_text_to_include_or_import():
    blank = "\n  \n@define f():\nx\n@end\n\n\t\n"
    result = compile_main({"main.tyx": '@import "./m.tyx" as m\n[\n@include m\n]\n',
                           "m.tyx": blank})
    assert result.output == "[\n]\n"
    assert len(result.warnings) == 1 and NO_BODY in result.warnings[0]
    error = error_of(lambda: compile_main(
        {"main.tyx": '@import { prompt } from "./m.tyx"\n', "m.tyx": blank}))
    assert (error.code, error.message) == (
        "tyx::import", "import error: 'prompt' is not exported from './m.tyx'")
    error = error_of(lambda: compile_main(
        {"main.tyx": '@import "./m.tyx"\n{{ prompt }}\n', "m.tyx": blank}))
    assert (error.code, error.message) == ("tyx::undefined_var", "undefined variable 'prompt'")
    error = error_of(lambda: compile_main(
        {"main.tyx": "---\nimports:\n  - path: ./m.tyx\n    names: [prompt]\n---\n",
         "m.tyx": blank}))
    assert error.message == (
        "import error: 'prompt' is not exported from './m.tyx' (in frontmatter imports[0])")


BODY = "Body of {{ who }}\n@define greet():\nHi\n@end\n"

# What each kind of module offers: (module, the included text, the warning, whether `prompt`
# and greet can be imported).
EXPORT_LISTS = [
    (BODY, "Body of W\n", None, True, True),
    (BODY + "@export greet\n", "", HIDDEN_BODY, False, True),
    (BODY + "@export prompt\n", "Body of W\n", None, True, False),
    (BODY + "@export prompt\n@export greet\n", "Body of W\n", None, True, True),
    # Re-exporting everything from another module gives an export list without the body.
    (BODY + '@export * from "./other.tyx"\n', "", HIDDEN_BODY, False, False),
]


@pytest.mark.parametrize("module, included, warning, has_prompt, has_greet", EXPORT_LISTS)
def test_include_prompt_and_export_lists(module, included, warning, has_prompt, has_greet):
    modules = {"m.tyx": module, "other.tyx": "@define other():\no\n@end\n"}
    variables = {"who": "W"}
    modules["main.tyx"] = '@import "./m.tyx" as m\n@include m\n'
    result = compile_main(modules, vars=variables)
    assert result.output == included
    if warning is None:
        assert result.warnings == []
    else:
        assert len(result.warnings) == 1 and warning in result.warnings[0]

    for source in ['@import { prompt } from "./m.tyx"\n{{ prompt }}',
                   "---\nimports:\n  - path: ./m.tyx\n    names: [prompt]\n---\n{{ prompt }}"]:
        modules["main.tyx"] = source
        if has_prompt:
            assert compile_main(modules, vars=variables).output == "Body of W\n"
        else:
            assert error_of(lambda: compile_main(modules, vars=variables)).code == "tyx::import"
    # A whole import brings `prompt` along only where it could be selected.
    modules["main.tyx"] = '@import "./m.tyx"\n{{ prompt }}'
    if has_prompt:
        assert compile_main(modules, vars=variables).output == "Body of W\n"
    else:
        assert error_of(lambda: compile_main(modules, vars=variables)).code == "tyx::undefined_var"

    modules["main.tyx"] = '@import "./m.tyx" as m\n{{ m.greet() }}'
    if has_greet:
        assert compile_main(modules, vars=variables).output == "Hi\n"
    else:
        assert error_of(lambda: compile_main(modules, vars=variables)).code == "tyx::undefined_fn"


def test_reexports_pass_functions_on():
    modules = {
        "main.tyx": '@import "./hub.tyx" as hub\n{{ hub.greet("a") }} {{ hub.shout("b") }}\n',
        "hub.tyx": '@export greet from "./lib.tyx"\n@export * from "./shout.tyx"\n',
        "lib.tyx": LIB,
        "shout.tyx": "@define shout(w):\n{{ upper(w) }}\n@end\n",
    }
    result = compile_main(modules)
    assert result.output == "Hi a B\n"
    assert result.dependencies == ["lib.tyx", "shout.tyx", "hub.tyx"]
    modules["hub.tyx"] = '@export nope from "./lib.tyx"\n'
    error = error_of(lambda: compile_main(modules))
    assert (error.code, error.message, error.span) == (
        "tyx::export", "export error: cannot re-export 'nope': not exported from \"./lib.tyx\"",
        None)


def test_frontmatter_import_forms():
    modules = {
        "main.tyx": "---\nimports:\n  - path: ./lib.tyx\n    as: l\n  - path: ./lib.tyx\n"
                    "  - path: ./page.tyx\n    names: [prompt, tag]\n---\n"
                    "{{ l.greet('a') }}|{{ greet('b') }}|{{ prompt }}|{{ tag() }}\n",
        "lib.tyx": LIB,
        "page.tyx": "Page {{ n }}\n@define tag():\n#t\n@end\n",
    }
    result = compile_main(modules, vars={"n": 1})
    # The body is pasted as rendered, its line feed included.
    assert result.output == "Hi a|Hi b|Page 1\n|#t\n"
    assert result.dependencies == ["lib.tyx", "page.tyx"]


def test_modules_see_their_own_frontmatter_and_the_callers_variables():
    modules = {"main.tyx": '---\ngreeting: Main\n---\n@import "./m.tyx" as m\n@include m\n',
               "m.tyx": "---\ngreeting: Module\n---\n{{ greeting }} {{ name }}\n"}
    assert compile_main(modules, vars={"name": "N"}).output == "---\ngreeting: Main\n---\nModule N\n"
    assert compile_main(modules, vars={"name": "N", "greeting": "Caller"}).output == (
        "---\ngreeting: Main\n---\nCaller N\n")


def test_errors_inside_a_module_point_into_it():
    modules = {"main.tyx": '@import "./m.tyx" as m\n',
               "m.tyx": "line one\n{{ missing }}\n"}
    error = error_of(lambda: compile_main(modules))
    assert (error.code, span_of(error)) == ("tyx::undefined_var", (9, 7, 2, 1))
    modules["m.tyx"] = "ok\n@if x\n@end\n"
    error = error_of(lambda: compile_main(modules))
    assert (error.code, span_of(error)) == ("tyx::syntax", (3, 5, 2, 1))


def test_file_system_modules(tmp_path):
    (tmp_path / ".git").mkdir()
    (tmp_path / "lib").mkdir()
    (tmp_path / "lib" / "greet.tyx").write_text(LIB)
    (tmp_path / "lib" / "page.md").write_text(
        '---\ntype: tyx\n---\n@import "./greet.tyx" as g\n{{ g.greet("md") }}\n')
    (tmp_path / "main.tyx").write_text('@import "./lib/page.md" as p\n@include p\n')
    result = vorpel.compile_file(tmp_path / "main.tyx")
    assert result.output == "Hi md\n"
    assert result.dependencies == [str((tmp_path / "lib" / name).resolve())
                                   for name in ["greet.tyx", "page.md"]]
    (tmp_path / "lib" / "page.md").write_text("---\ntitle: x\n---\n")
    error = error_of(lambda: vorpel.compile_file(tmp_path / "main.tyx"))
    assert (error.code, error.message) == (
        "tyx::not_tyx", f"not an TYX file: {(tmp_path / 'lib' / 'page.md').resolve()}")


REEXPORT_LEAF = ("@define f():\nF\n@end\n@define g():\nG\n@end\n@define h():\nH\n@end\n"
                 "@export f\n@export g\n")
FG_FROM_M = ("FG\n", ["leaf.tyx", "m.tyx"])
INCLUDED_EMPTY = ("warning: @include of 'm' produced empty output \u2014 module has no body text; "
                  "to use the module's functions, call them directly: {{m.fn()}}")
COLLISION = "name collision: 'f' is already defined"

# A module m.tyx that re-exports all of leaf.tyx's functions, alone or with other directives,
# and an importer: its output and dependencies, or its error's code, message and span.
REEXPORT_SHAPES = [
    ('@export * from "./leaf.tyx"\n', '@import "./m.tyx" as m\n{{ m.f() }}{{ m.g() }}\n',
     FG_FROM_M),
    ('@export * from "./leaf.tyx"\n', '@import "./m.tyx" as m\n{{ m.h() }}\n',
     ("tyx::undefined_fn", "undefined function 'm.h'", (23, 5))),
    ('@export * from "./leaf.tyx"\n', '@import "./m.tyx"\n@import "./leaf.tyx"\n',
     ("tyx::name_collision", COLLISION, (18, 20))),
    ('@export * from "./leaf.tyx"\n', '@import { g, prompt } from "./m.tyx"\n',
     ("tyx::import", "import error: 'prompt' is not exported from './m.tyx'", (0, 36))),
    ('@export * from "./leaf.tyx"\n',
     "---\nimports:\n  - path: ./m.tyx\n  - path: ./m.tyx\n    as: m\n---\n{{ f() }}{{ m.g() }}\n",
     FG_FROM_M),
    ('@export * from "./leaf.tyx"\n', '@import "./hub.tyx" as hub\n{{ hub.f() }}\n',
     ("F\n", ["leaf.tyx", "m.tyx", "hub.tyx"])),
    ('@export * from "./r1.tyx"\n', '@import "./hub.tyx" as hub\n{{ hub.f() }}\n',
     ("F\n", ["leaf.tyx", "r1.tyx", "m.tyx", "hub.tyx"])),
    # A template extending the module once it was imported, and once it was not.
    ('@export * from "./leaf.tyx"\n',
     '@import "./m.tyx" as m\n@import "./e.tyx" as e\n{{ e.f() }}{{ e.g() }}\n',
     ("FG\n", ["leaf.tyx", "m.tyx", "e.tyx"])),
    ('@export * from "./leaf.tyx"\n', '@import "./e.tyx" as e\n{{ e.f() }}\n',
     ("F\n", ["leaf.tyx", "m.tyx", "e.tyx"])),
    ('@export * from "./leaf.tyx"\n@define f():\nx\n@end\n', '@import "./m.tyx" as m\n',
     ("tyx::name_collision", COLLISION, (28, 1))),
    ('@export * from "./leaf.tyx"\n@block g:\nb\n@end\n', '@import "./m.tyx" as m\n',
     ("tyx::name_collision", "name collision: 'g' is already defined", (28, 1))),
    ('@export * from "./leaf.tyx"\n@export * from "./leaf.tyx"\n', '@import "./m.tyx" as m\n',
     ("tyx::name_collision", COLLISION, (28, 27))),
    ('@define f():\nx\n@end\n@export * from "./leaf.tyx"\n', '@import "./m.tyx" as m\n',
     ("tyx::name_collision", COLLISION, (20, 27))),
    ('@export * from "./leaf.tyx"\n@define z():\nZ\n@end\n@export z\n',
     '@import "./m.tyx"\n{{ f() }}{{ z() }}\n', ("FZ\n", ["leaf.tyx", "m.tyx"])),
    ('@export * from "./leaf.tyx"\n@define q():\nQ\n@end\n', '@import "./m.tyx"\n{{ q() }}\n',
     ("tyx::undefined_fn", "undefined function 'q'", (18, 3))),
    ('@export * from "./leaf.tyx"\n@export * from "./other.tyx"\n',
     '@import "./m.tyx" as m\n{{ m.f() }}{{ m.k() }}\n',
     ("FK\n", ["leaf.tyx", "other.tyx", "m.tyx"])),
    ('@export * from "./leaf.tyx"\n@export k from "./other.tyx"\n',
     '@import "./m.tyx"\n{{ k() }}{{ g() }}\n', ("KG\n", ["leaf.tyx", "other.tyx", "m.tyx"])),
    ('@export * from "./leaf.tyx"\n@export h\n', '@import "./m.tyx" as m\n',
     ("tyx::export", "export error: cannot export 'h': not defined in this module", None)),
    ('body\n@export * from "./leaf.tyx"\n@export prompt\n',
     '@import { g, prompt } from "./m.tyx"\n{{ g() }}{{ prompt }}\n',
     ("Gbody\n", ["leaf.tyx", "m.tyx"])),
    ('@import "./leaf.tyx"\n@export * from "./leaf.tyx"\n{{ f() }}\n',
     '@import "./hub.tyx" as hub\n{{ hub.g() }}\n', ("G\n", ["leaf.tyx", "m.tyx", "hub.tyx"])),
    ('@export * from "./empty.tyx"\n', '@import "./m.tyx"\n{{ f() }}\n',
     ("tyx::undefined_fn", "undefined function 'f'", (18, 3))),
]


@pytest.mark.parametrize("module, main, expected", REEXPORT_SHAPES)
def test_reexport_shapes(module, main, expected):
    modules = {"leaf.tyx": REEXPORT_LEAF, "m.tyx": module, "main.tyx": main,
               "other.tyx": "@define k():\nK\n@end\nother body\n", "empty.tyx": "nothing\n",
               "r1.tyx": '@export * from "./leaf.tyx"\n', "hub.tyx": '@export * from "./m.tyx"\n',
               "e.tyx": '@extends "./m.tyx"\n'}
    if isinstance(expected[0], str) and expected[0].startswith("tyx::"):
        code, message, span = expected
        for run in (vorpel.compile_virtual, vorpel.check_virtual):
            error = error_of(lambda: run(modules, "main.tyx"))
            assert error.code == code
            assert (error.message, span_of(error)[:2] if span else None) == (message, span)
        return
    result = compile_main(modules)
    assert (result.output, result.dependencies) == expected
    assert result.warnings == vorpel.check_virtual(modules, "main.tyx").warnings == []
