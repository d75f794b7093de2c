"""The frontmatter written back in front of Markdown output, read again by PyYAML and by the
system itself: both read the mapping it stands for, that of a plain template less its imports
and its type line, or the merged mapping of an extending template."""

import pytest
import yaml

import vorpel


class TagKeepingLoader(yaml.SafeLoader):
    """PyYAML's safe loader that reads a local tag as the pair of the tag and the value."""


def _tagged(loader, suffix, node):
    if isinstance(node, yaml.SequenceNode):
        return ("!" + suffix, loader.construct_sequence(node))
    if isinstance(node, yaml.MappingNode):
        return ("!" + suffix, loader.construct_mapping(node))
    return ("!" + suffix, loader.construct_scalar(node))


TagKeepingLoader.add_multi_constructor("!", _tagged)


def read(text):
    return yaml.load(text, TagKeepingLoader) or {}


def body_of(frontmatter):
    """A body that shows each value the template can print, between brackets."""
    names = [key for key, value in read(frontmatter).items()
             if isinstance(key, str) and key.isidentifier() and key not in ("imports", "type")
             and not isinstance(value, (list, dict, tuple))]
    return "".join(f"{name}=[{{{{ {name} }}}}]\n" for name in names)


def assert_reads_back(output, written, frontmatter, body):
    """`output` begins with the block of `written`, which PyYAML reads as the mapping that
    `frontmatter` stands for, and which the system reads as it read `frontmatter`: a template
    under it prints the same values and writes the same block."""
    assert output.startswith("---\n" + written + "---\n")
    expected = {key: value for key, value in read(frontmatter).items()
                if key != "imports" and not (key == "type" and value == "tyx")}
    assert read(written) == expected
    assert vorpel.compile("---\n" + written + "---\n" + body).output == output


# A plain template's frontmatter and the block written back in front of its output.
PLAIN = [
    ("name: abc\u00a0\n", "name: abc\u00a0\n"),
    ("  title: x\n  lang: en\n", "  title: x\n  lang: en\n"),
    ("\n  \ntitle: x\u2009\n\n", "title: x\u2009\n"),
    ("title: x\nimports:\n- path: ./a.tyx\n  as: a\n# note\n- path: ./b.tyx\n  as: b\nlang: en\n",
     "title: x\nlang: en\n"),
    ("imports:\n-\n  path: ./a.tyx\n# note\n-   path: ./b.tyx\ntype: tyx\nk: v\n", "k: v\n"),
]


@pytest.mark.parametrize("frontmatter, written", PLAIN)
def test_a_plain_templates_frontmatter_reads_back(frontmatter, written):
    body = body_of(frontmatter)
    modules = {"a.tyx": "", "b.tyx": "", "page.tyx": "---\n" + frontmatter + "---\n" + body}
    output = vorpel.compile_virtual(modules, "page.tyx").output
    assert_reads_back(output, written, frontmatter, body)


# A root template's frontmatter and the block its empty child writes back from the merged
# mapping.
MERGED = [
    ('k: "\U0001F600"\n', "k: \U0001F600\n"),
    ('"\U0001F600": "a\\t\U0001F601"\n', '\U0001F600: "a\\t\U0001F601"\n'),
    ("a: ! 5\nb: ! x\nc: ! [1, 2]\n", "a: ! 5\nb: ! x\nc: !\n- 1\n- 2\n"),
    ('k: "\\u3000"\n', "k: '\u3000'\n"),
    ('k: "x\\u00a0"\nm: "\\u2009x"\n"\\u3000": 1\n', "k: 'x\u00a0'\nm: '\u2009x'\n'\u3000': 1\n"),
    ('k: "a\\nb\\u3000"\n', "k: |-\n  a\n  b\u3000\n"),
    ('k: "a\\n\\u3000"\n', "k: 'a\n\n  \u3000'\n"),
]


@pytest.mark.parametrize("frontmatter, written", MERGED)
def test_an_extending_templates_merged_frontmatter_reads_back(frontmatter, written):
    body = body_of(frontmatter)
    modules = {"root.tyx": "---\n" + frontmatter + "---\n" + body,
               "child.tyx": '@extends "./root.tyx"\n'}
    output = vorpel.compile_virtual(modules, "child.tyx").output
    assert_reads_back(output, written, frontmatter, body)
    # Merged again as a child's own frontmatter, it is written back alike.
    modules["child.tyx"] = "---\n" + written + '---\n@extends "./root.tyx"\n'
    assert vorpel.compile_virtual(modules, "child.tyx").output == output
