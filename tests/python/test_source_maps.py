"""Source Map v3 documents of Markdown compiles, read back into positions."""

import pytest

import vorpel

pytestmark = pytest.mark.skipif(not hasattr(vorpel, "compile"),
                                reason="the module functions are not registered yet")

BASE64 = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/"
SEGMENT_CAP_WARNING = (
    "source map segment cap (1000000 segments) exceeded; no source map will be generated")


def decode(mappings):
    """(generated line, generated column, source, source line, source column) per segment."""
    segments = []
    fields = [0, 0, 0, 0]
    for line, groups in enumerate(mappings.split(";")):
        fields[0] = 0
        for group in filter(None, groups.split(",")):
            values, value, shift = [], 0, 0
            for char in group:
                digit = BASE64.index(char)
                value |= (digit & 31) << shift
                shift += 5
                if not digit & 32:
                    values.append(-(value >> 1) if value & 1 else value >> 1)
                    value, shift = 0, 0
            assert len(values) == 4, group
            fields = [f + v for f, v in zip(fields, values)]
            segments.append((line, *fields))
    return segments


def compile_mapped(source, vars=None, **options):
    """The result with a map, after checking that asking for it changed nothing else."""
    result = vorpel.compile(source, vars=vars, source_map=True, **options)
    plain = vorpel.compile(source, vars=vars)
    assert result.output == plain.output
    assert result.warnings == plain.warnings
    return result


def test_plain_template():
    source = "Hi {{ name }}\n"
    result = compile_mapped(source, {"name": "Ann"})
    assert result.output == "Hi Ann\n"
    assert result.source_map == {"mappings": "AAAA,GAAG,GAAU", "names": [],
                                 "sources": ["input.tyx"], "version": 3}
    assert decode(result.source_map["mappings"]) == [
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
    assert decode(result.source_map["mappings"]) == segments


def test_loops():
    result = compile_mapped("@for item in items:\n- {{ item }}\n@end\nend\n",
                            {"items": ["a", "bb"]})
    assert result.output == "- a\n- bb\nend\n"
    # Every iteration maps to the same body lines.
    assert decode(result.source_map["mappings"]) == [
        (0, 0, 0, 1, 0), (0, 2, 0, 1, 2), (0, 3, 0, 1, 12),
        (1, 0, 0, 1, 0), (1, 2, 0, 1, 2), (1, 4, 0, 1, 12),
        (2, 0, 0, 3, 0)]


def test_carriage_returns():
    source = "A\r\nB {{ n }} C\r\n\r\nD\r\n"
    result = compile_mapped(source, {"n": "xy"}, sources_content=True)
    assert result.output == "A\nB xy C\n\nD\n"
    # Generated positions count the output without its carriage returns; source columns count
    # the source as it is.
    assert decode(result.source_map["mappings"]) == [
        (0, 0, 0, 0, 0), (1, 2, 0, 1, 2), (1, 4, 0, 1, 9)]
    assert result.source_map["sourcesContent"] == [source]


def test_frontmatter_prefix():
    source = "---\ntitle: T\ntype: tyx\n---\n# {{ title }}\nBody\n"
    result = compile_mapped(source)
    assert result.output == "---\ntitle: T\n---\n# T\nBody\n"
    # The body is shifted below the three lines written back in front of it.
    assert decode(result.source_map["mappings"]) == [
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


def test_utf16_columns_and_escaped_braces():
    result = compile_mapped("\u00e9 {{ x }} \\{{ \U0001F600{{ y }}\n", {"x": "\U0001F600", "y": 1})
    assert result.output == "\u00e9 \U0001F600 {{ \U0001F6001\n"
    assert decode(result.source_map["mappings"]) == [
        (0, 0, 0, 0, 0), (0, 2, 0, 0, 2), (0, 4, 0, 0, 9), (0, 5, 0, 0, 10), (0, 7, 0, 0, 13),
        (0, 10, 0, 0, 16), (0, 11, 0, 0, 23)]


def test_messages_mode_has_no_map():
    result = vorpel.compile("@message user:\nHi\n@end\n", source_map=True, sources_content=True)
    assert result.source_map is None
    assert "sourceMap" not in result.to_json()


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
