"""Source Map v3 documents of Markdown compiles, read back into positions."""

import pytest

import vorpel
from support import assert_one_segment_per_position, decode_mappings, original_position

pytestmark = pytest.mark.skipif(not hasattr(vorpel, "compile"),
                                reason="the module functions are not registered yet")

SEGMENT_CAP_WARNING = (
    "source map segment cap (1000000 segments) exceeded; no source map will be generated")


def compile_mapped(source, vars=None, **options):
    """The result with a map, after checking that asking for it changed nothing else."""
    result = vorpel.compile(source, vars=vars, source_map=True, **options)
    options.pop("sources_content", None)
    plain = vorpel.compile(source, vars=vars, **options)
    assert result.output == plain.output
    assert result.warnings == plain.warnings
    if result.source_map is not None:
        assert_one_segment_per_position(result.source_map["mappings"])
    return result


def test_plain_template():
    source = "Hi {{ name }}\n"
    result = compile_mapped(source, {"name": "Ann"})
    assert result.output == "Hi Ann\n"
    assert result.source_map == {"mappings": "AAAA,GAAG,GAAU", "names": [],
                                 "sources": ["input.tyx"], "version": 3}
    assert decode_mappings(result.source_map["mappings"]) == [
        (0, 0, 0, 0, 0), (0, 3, 0, 0, 3), (0, 6, 0, 0, 13)]
    assert result.to_json() == (
        '{"dependencies":[],"kind":"markdown","output":"Hi Ann\\n","sourceMap":{"mappings":'
        '"AAAA,GAAG,GAAU","names":[],"sources":["input.tyx"],"version":3},"warnings":[]}')
    with_content = compile_mapped(source, {"name": "Ann"}, sources_content=True)
    assert with_content.source_map == dict(result.source_map, sourcesContent=[source])


@pytest.mark.parametrize("source, vars, output, segments", [
    # The body "  <Ann>  " is trimmed: what started in the removed white space is gone, the
    # rest moved back, and the interpolation that called it records nothing of its own.
    ("@define f(x):\n  <{{ x }}>  \n@end\nand {{ f(name) }}!\n", {"name": "Ann"},
     "and <Ann>!\n",
     [(0, 0, 0, 3, 0), (0, 5, 0, 1, 3), (0, 8, 0, 1, 10), (0, 9, 0, 3, 17)]),
    ("@define f():\n@if yes:\nA\n@end\n@end\n[{{ f() }}]\n", {"yes": True}, "[A]\n",
     [(0, 0, 0, 5, 0), (0, 1, 0, 2, 0), (0, 2, 0, 5, 10)]),
    # A function called in a condition writes nothing there, and maps nothing.
    ("@define f():\nyes\n@end\n@if f():\nX {{ n }}\n@end\n", {"n": 1}, "X 1\n",
     [(0, 0, 0, 4, 0), (0, 2, 0, 4, 2), (0, 3, 0, 4, 9)]),
])
def test_functions(source, vars, output, segments):
    result = compile_mapped(source, vars)
    assert result.output == output
    assert decode_mappings(result.source_map["mappings"]) == segments


def test_loops():
    result = compile_mapped("@for item in items:\n- {{ item }}\n@end\nend\n",
                            {"items": ["a", "bb"]})
    assert result.output == "- a\n- bb\nend\n"
    # Every iteration maps to the same body lines.
    assert decode_mappings(result.source_map["mappings"]) == [
        (0, 0, 0, 1, 0), (0, 2, 0, 1, 2), (0, 3, 0, 1, 12),
        (1, 0, 0, 1, 0), (1, 2, 0, 1, 2), (1, 4, 0, 1, 12),
        (2, 0, 0, 3, 0)]


def test_carriage_returns():
    source = "A\r\nB {{ n }} C\r\n\r\nD\r\n"
    result = compile_mapped(source, {"n": "xy"}, sources_content=True)
    assert result.output == "A\nB xy C\n\nD\n"
    # Generated positions count the output without its carriage returns; source columns count
    # the source as it is.
    assert decode_mappings(result.source_map["mappings"]) == [
        (0, 0, 0, 0, 0), (1, 2, 0, 1, 2), (1, 4, 0, 1, 9)]
    assert result.source_map["sourcesContent"] == [source]


def test_frontmatter_prefix():
    source = "---\ntitle: T\ntype: tyx\n---\n# {{ title }}\nBody\n"
    result = compile_mapped(source)
    assert result.output == "---\ntitle: T\n---\n# T\nBody\n"
    # The body is shifted below the three lines written back in front of it.
    assert decode_mappings(result.source_map["mappings"]) == [
        (3, 0, 0, 4, 0), (3, 2, 0, 4, 2), (3, 3, 0, 4, 13)]
    assert result.source_map["mappings"].startswith(";;;")


def test_frontmatter_only_output():
    result = compile_mapped("---\ntitle: T\n---\n  \n", sources_content=True)
    assert result.output == "---\ntitle: T\n---\n"
    assert result.source_map["mappings"] == ""
    assert result.source_map["sources"] == ["input.tyx"]


def test_trimmed_trailing_text_is_not_mapped():
    result = compile_mapped("A\n\n\n{{ x }}   \n", {"x": ""})
    assert result.output == "A\n"
    assert result.source_map["mappings"] == "AAAA"


# What is written as nothing maps nothing, so the text written next resolves to its own
# source; the same holds for what only carriage returns were written for, which the output
# drops. Each case: the modules (entry main.tyx), vars, output, and generated positions with the
# source, line and column a consumer resolves them to.
@pytest.mark.parametrize("modules, vars, output, resolved", [
    ({"main.tyx": "a{{ e }}b\n"}, {"e": ""}, "ab\n", {(0, 1): (0, 0, 8)}),
    ({"main.tyx": "a{{ e }}b\n"}, {"e": None}, "ab\n", {(0, 1): (0, 0, 8)}),
    ({"main.tyx": "a{{ upper(e) }}b\n"}, {"e": ""}, "ab\n", {(0, 1): (0, 0, 15)}),
    ({"main.tyx": "\\{{{{ e }}x\n"}, {"e": ""}, "{{x\n", {(0, 0): (0, 0, 0), (0, 2): (0, 0, 10)}),
    ({"main.tyx": "@for i in items:\n{{ e }}{{ i }}\n@end\n"}, {"items": [1, 2], "e": ""},
     "1\n2\n", {(0, 0): (0, 1, 7), (1, 0): (0, 1, 7)}),
    ({"main.tyx": "@define f():\nx{{ e }}y\n@end\n[{{ f() }}]\n"}, {"e": ""}, "[xy]\n",
     {(0, 1): (0, 1, 0), (0, 2): (0, 1, 8), (0, 3): (0, 3, 10)}),
    # The first line of the body follows the frontmatter written back.
    ({"main.tyx": "---\nt: 1\n---\n{{ e }}B\n"}, {"e": ""}, "---\nt: 1\n---\nB\n",
     {(3, 0): (0, 3, 7)}),
    # An included body that ends in an empty value.
    ({"main.tyx": '@import "./lib.tyx" as lib\n@include lib\nEnd\n', "lib.tyx": "L{{ e }}"},
     {"e": ""}, "LEnd\n", {(0, 0): (1, 0, 0), (0, 1): (0, 2, 0)}),
    # A block of the child that writes nothing but its line feed.
    ({"main.tyx": '@extends "./base.tyx"\n@block b:\n{{ e }}\n@end\n',
      "base.tyx": "A\n@block b:\nB\n@end\nC\n"}, {"e": ""}, "A\n\nC\n",
     {(1, 0): (1, 2, 7), (2, 0): (0, 4, 0)}),
    ({"main.tyx": "a{{ x }}\r{{ y }}b\n"}, {"x": "1", "y": "2"}, "a12b\n",
     {(0, 1): (0, 0, 1), (0, 2): (0, 0, 9), (0, 3): (0, 0, 16)}),
    ({"main.tyx": "a{{ x }}b\n"}, {"x": "\r"}, "ab\n", {(0, 1): (0, 0, 8)}),
], ids=["empty text", "null", "empty builtin value", "after an escaped brace", "loop",
        "inside a function", "below frontmatter", "end of an included body", "block",
        "carriage return text", "carriage return value"])
def test_nothing_written_maps_nothing(modules, vars, output, resolved):
    result = compile_virtual_mapped(modules, "main.tyx", vars)
    assert result.output == output
    mappings = result.source_map["mappings"]
    assert {position: original_position(mappings, *position) for position in resolved} == resolved


def test_utf16_columns_and_escaped_braces():
    result = compile_mapped("\u00e9 {{ x }} \\{{ \U0001F600{{ y }}\n", {"x": "\U0001F600", "y": 1})
    assert result.output == "\u00e9 \U0001F600 {{ \U0001F6001\n"
    assert decode_mappings(result.source_map["mappings"]) == [
        (0, 0, 0, 0, 0), (0, 2, 0, 0, 2), (0, 4, 0, 0, 9), (0, 5, 0, 0, 10), (0, 7, 0, 0, 13),
        (0, 10, 0, 0, 16), (0, 11, 0, 0, 23)]


def test_messages_mode_has_no_map():
    result = vorpel.compile("@message user:\nHi\n@end\n", source_map=True, sources_content=True)
    assert result.source_map is None
    assert "sourceMap" not in result.to_json()


def test_messages_mode_warning_comes_before_those_of_the_rendering():
    main = '@import "./lib.tyx" as lib\n@message user:\nHi\n@include lib\n@end\n'
    result = vorpel.compile_virtual({"main.tyx": main, "lib.tyx": "\n"}, "main.tyx",
                                    source_map=True)
    assert result.messages[0].content == "Hi"
    assert result.source_map is None
    assert result.warnings == [
        MESSAGES_WARNING,
        "warning: @include of 'lib' produced empty output — module has no body text; to use the "
        "module's functions, call them directly: {{lib.fn()}}"]


def test_source_names():
    virtual = vorpel.compile_virtual({"./docs/../main.tyx": "x {{ y }}\n"}, "./docs/../main.tyx",
                                     vars={"y": 1}, source_map=True)
    assert virtual.source_map["sources"] == ["main.tyx"]
    assert virtual.source_map["mappings"] == "AAAA,EAAE,CAAO"


def test_source_names_below_the_project_root(tmp_path):
    (tmp_path / ".tyxroot").write_text("")
    (tmp_path / "docs").mkdir()
    (tmp_path / "docs" / "page.tyx").write_text("P\n")
    result = vorpel.compile_file(tmp_path / "docs" / "page.tyx", source_map=True)
    assert result.source_map["sources"] == ["docs/page.tyx"]
    # A template given as text keeps its own name wherever it is compiled from.
    text = vorpel.compile("T\n", base_path=tmp_path / "docs", source_map=True)
    assert text.source_map["sources"] == ["input.tyx"]


def test_entry_text_beside_a_module_of_its_name(tmp_path):
    # Consumers take equal names for one source: a module that would be listed under the entry
    # text's name is reached from above the project root instead.
    (tmp_path / ".tyxroot").write_text("")
    module = "Mod {{ x }}\n"
    (tmp_path / "input.tyx").write_text(module)
    source = 'Hi\n@import "./input.tyx" as m\n@include m\n'
    result = compile_mapped(source, {"x": 1}, base_path=tmp_path, sources_content=True)
    assert result.output == "Hi\nMod 1\n"
    assert result.source_map["sources"] == ["input.tyx", f"../{tmp_path.name}/input.tyx"]
    assert result.source_map["sourcesContent"] == [source, module]
    assert original_position(result.source_map["mappings"], 1, 4) == (1, 0, 4)

    # The entry text comes after the module it extends, and keeps a name of its own.
    (tmp_path / "input.tyx").write_text("@block b:\nB\n@end\n")
    child = compile_mapped('@extends "./input.tyx"\n@block b:\nChild\n@end\n',
                           base_path=tmp_path)
    assert child.output == "Child\n"
    assert child.source_map["sources"] == ["input.tyx", "<source>"]
    assert original_position(child.source_map["mappings"], 0, 0) == (1, 2, 0)


@pytest.mark.parametrize("modules, entry, sources", [
    # An entry key cut to its file name, and a module of that file name.
    ({"/a/x.tyx": '@import "../x.tyx" as m\nA\n@include m\n', "x.tyx": "B\n"}, "/a/x.tyx",
     ["x.tyx", "x.tyx (2)"]),
    # Keys that differ only in a "." segment.
    ({"./main.tyx": '@import "./x.tyx" as m\n@import "../x.tyx" as n\n@include m\n@include n\n',
      "./x.tyx": "B\n", "x.tyx": "C\n"}, "./main.tyx", ["main.tyx", "x.tyx", "x.tyx (2)"]),
])
def test_virtual_sources_of_one_name(modules, entry, sources):
    result = compile_virtual_mapped(modules, entry, sources_content=True)
    assert result.source_map["sources"] == sources
    mappings = result.source_map["mappings"]
    # Each line comes from the module that wrote it.
    for line, text in enumerate(result.output.splitlines()):
        index, source_line, column = original_position(mappings, line, 0)
        content = result.source_map["sourcesContent"][index]
        assert content.splitlines()[source_line][column:] == text


# Nine interpolations and a line feed per iteration: 1,000,000 segments over 100,000 items.
LOOP = "@for i in items:\n" + "{{ i }}" * 9 + "\n@end\n"
ITEMS = {"items": ["x"] * 100_000}


def test_segment_cap_boundary():
    at_cap = vorpel.compile(LOOP, vars=ITEMS, source_map=True)
    assert at_cap.warnings == []
    assert at_cap.source_map is not None
    assert at_cap.source_map["mappings"].count(";") == 99_999

    over = vorpel.compile("a\n" + LOOP, vars=ITEMS, source_map=True, sources_content=True)
    assert over.warnings == [SEGMENT_CAP_WARNING]
    assert over.source_map is None
    assert over.output == vorpel.compile("a\n" + LOOP, vars=ITEMS).output


def compile_virtual_mapped(modules, entry, vars=None, **options):
    """compile_mapped for a map of modules."""
    result = vorpel.compile_virtual(modules, entry, vars=vars, source_map=True, **options)
    plain = vorpel.compile_virtual(modules, entry, vars=vars)
    assert result.output == plain.output
    assert result.warnings == plain.warnings
    if result.source_map is not None:
        assert_one_segment_per_position(result.source_map["mappings"])
    return result


LIB = "L1 {{ y }}\nL2\n"


def test_included_module_is_mapped_to_its_own_source():
    main = '@import "./lib.tyx" as lib\nA\n@include lib\nB {{ x }}\n@include lib\n'
    result = compile_virtual_mapped({"main.tyx": main, "lib.tyx": LIB}, "main.tyx",
                                    {"x": 1, "y": 2}, sources_content=True)
    assert result.output == "A\nL1 2\nL2\nB 1\nL1 2\nL2\n"
    # Included twice, listed once; each inclusion's segments lie where that copy was pasted.
    assert result.source_map["sources"] == ["main.tyx", "lib.tyx"]
    assert result.source_map["sourcesContent"] == [main, LIB]
    assert decode_mappings(result.source_map["mappings"]) == [
        (0, 0, 0, 1, 0),
        (1, 0, 1, 0, 0), (1, 3, 1, 0, 3), (1, 4, 1, 0, 10),
        (3, 0, 0, 3, 0), (3, 2, 0, 3, 2), (3, 3, 0, 3, 9),
        (4, 0, 1, 0, 0), (4, 3, 1, 0, 3), (4, 4, 1, 0, 10)]
    assert result.source_map["mappings"] == "AACA;ACDA,GAAG,CAAO;;ADGV,EAAE,CAAO;ACHT,GAAG,CAAO"


def test_included_module_through_another_module():
    # The middle module's own map already holds the innermost one; splicing it again keeps each
    # segment on the source that wrote it.
    modules = {"main.tyx": '@import "./mid.tyx" as mid\n@include mid\n',
               "mid.tyx": '@import "./lib.tyx" as lib\nM\n@include lib\n',
               "lib.tyx": LIB}
    result = compile_virtual_mapped(modules, "main.tyx", {"y": 2})
    assert result.output == "M\nL1 2\nL2\n"
    assert result.source_map["sources"] == ["main.tyx", "mid.tyx", "lib.tyx"]
    assert decode_mappings(result.source_map["mappings"]) == [
        (0, 0, 1, 1, 0), (1, 0, 2, 0, 0), (1, 3, 2, 0, 3), (1, 4, 2, 0, 10)]


def test_imported_function_is_mapped_to_its_module():
    modules = {"main.tyx": '@import "./lib.tyx" as lib\nSay: {{ lib.greet(name) }}\n',
               "lib.tyx": "@define greet(n):\nHello {{ n }}!\n@end\n"}
    result = compile_virtual_mapped(modules, "main.tyx", {"name": "Ann"})
    assert result.output == "Say: Hello Ann!\n"
    assert result.source_map["sources"] == ["main.tyx", "lib.tyx"]
    # The call's value maps to the function's body (its trailing line feed trimmed), and the
    # interpolation that made the call records nothing of its own.
    assert decode_mappings(result.source_map["mappings"]) == [
        (0, 0, 0, 1, 0), (0, 5, 1, 1, 0), (0, 11, 1, 1, 6), (0, 14, 1, 1, 13), (0, 15, 0, 1, 26)]


@pytest.mark.parametrize("lib, warning", [
    ("\n  \n\n", "module has no body text"),
    ("Hidden\n@define greet():\nx\n@end\n@export greet\n", "does not export 'prompt'"),
])
def test_included_module_that_pastes_nothing_maps_nothing(lib, warning):
    main = '@import "./lib.tyx" as lib\n@include lib\nEnd\n'
    result = compile_virtual_mapped({"main.tyx": main, "lib.tyx": lib}, "main.tyx",
                                    sources_content=True)
    assert result.output == "End\n"
    assert len(result.warnings) == 1
    assert result.warnings[0].startswith("warning: @include of 'lib' produced empty output")
    assert warning in result.warnings[0]
    assert result.source_map["sources"] == ["main.tyx"]
    assert result.source_map["sourcesContent"] == [main]
    assert result.source_map["mappings"] == "AAEA"


MODULE_CAP_WARNING = ("source map segment cap (1000000 segments) exceeded in imported module "
                      "'lib.tyx'; no source map will be generated")
MESSAGES_WARNING = ("source maps are not supported for messages-mode templates (@message blocks); "
                    "no source map will be generated")
# Interpolations of a blank: a million segments whose output is only white space.
BLANK_LOOP = "@for i in items:\n" + "{{ e }}" * 9 + "\n@end\n"


@pytest.mark.parametrize("lib, include_warnings", [
    ("a\n" + LOOP, []),
    # The warning comes also for a body that turns out blank, which then pastes nothing.
    ("\n" + BLANK_LOOP, ["warning: @include of 'lib' produced empty output — module has no body "
                         "text; to use the module's functions, call them directly: {{lib.fn()}}"]),
], ids=["with body", "blank body"])
def test_segment_cap_of_an_imported_module(lib, include_warnings):
    vars = dict(ITEMS, e=" ")
    main = '@import "./lib.tyx" as lib\n@include lib\nZ\n'
    result = vorpel.compile_virtual({"main.tyx": main, "lib.tyx": lib}, "main.tyx", vars=vars,
                                    source_map=True)
    assert result.warnings == [MODULE_CAP_WARNING, *include_warnings]
    plain = vorpel.compile_virtual({"main.tyx": main, "lib.tyx": lib}, "main.tyx", vars=vars)
    assert plain.warnings == include_warnings
    assert result.output == plain.output
    # The entry keeps its own map; the module's body is pasted without mappings.
    assert result.source_map["sources"] == ["main.tyx"]
    lines = result.output.count("\n")
    assert result.source_map["mappings"] == ";" * (lines - 1) + "AAEA"

    # A messages-mode entry renders no map of its own, but its modules were still mapped.
    chat = '@import "./lib.tyx" as lib\n@message user:\nHi\n@end\n'
    messages = vorpel.compile_virtual({"main.tyx": chat, "lib.tyx": lib}, "main.tyx", vars=vars,
                                      source_map=True)
    assert messages.warnings == [MODULE_CAP_WARNING, MESSAGES_WARNING]
    assert messages.source_map is None


def test_extending_template_in_a_project(tmp_path):
    (tmp_path / ".git").mkdir()
    (tmp_path / "layouts").mkdir()
    (tmp_path / "pages").mkdir()
    base = "---\ntitle: A\n---\n# {{ title }}\n@block body:\nDefault\n@end\nend\n"
    child = ('---\ntitle: B\n---\n@extends "../layouts/base.tyx"\n'
             "@block body:\nChild {{ title }}\n@end\n")
    (tmp_path / "layouts" / "base.tyx").write_text(base)
    (tmp_path / "pages" / "child.tyx").write_text(child)
    path = tmp_path / "pages" / "child.tyx"
    result = vorpel.compile_file(path, source_map=True, sources_content=True)
    plain = vorpel.compile_file(path)
    assert result.output == plain.output == "---\ntitle: B\n---\n# B\nChild B\nend\n"
    assert result.warnings == plain.warnings == []
    # The skeleton's source comes first; the override is mapped in the file that wrote it.
    assert result.source_map["sources"] == ["layouts/base.tyx", "pages/child.tyx"]
    assert result.source_map["sourcesContent"] == [base, child]
    assert decode_mappings(result.source_map["mappings"]) == [
        (3, 0, 0, 3, 0), (3, 2, 0, 3, 2), (3, 3, 0, 3, 13),
        (4, 0, 1, 5, 0), (4, 6, 1, 5, 6), (4, 7, 1, 5, 17),
        (5, 0, 0, 7, 0)]
    assert result.source_map["mappings"] == ";;;AAGA,EAAE,CAAW;ACEb,MAAM,CAAW;ADEjB"


def test_extending_chain_with_an_included_module():
    modules = {
        "base.tyx": "@block head:\nH\n@end\n@block body:\nB\n@end\n",
        "mid.tyx": '@extends "./base.tyx"\n@block head:\nMid\n@end\n',
        "leaf.tyx": ('---\nimports:\n  - path: ./lib.tyx\n    as: lib\n---\n'
                     '@extends "./mid.tyx"\n@block body:\n@include lib\n@end\n'),
        "lib.tyx": "Lib\n",
    }
    result = compile_virtual_mapped(modules, "leaf.tyx")
    assert result.output == "Mid\nLib\n"
    # Every part's module is listed, in the order the parts render: the root's skeleton, the
    # middle's head, the leaf's body, then the module that body includes.
    assert result.source_map["sources"] == ["base.tyx", "mid.tyx", "leaf.tyx", "lib.tyx"]
    assert decode_mappings(result.source_map["mappings"]) == [(0, 0, 1, 2, 0), (1, 0, 3, 0, 0)]
    assert result.source_map["mappings"] == "ACEA;AEFA"
