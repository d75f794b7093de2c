"""Template inheritance end to end: @extends chains, @block overrides, the inherited frontmatter
written back in front of the output, and every error an extending template can meet."""

import pytest

import vorpel
from support import error_of

BASE = ("---\ntitle: A\ntags: [x]\n---\n# {{ title }}\n"
        "@block head:\nDefault head\n@end\nbetween\n@block body:\nDefault body\n@end\nend\n")
ONLY_OVERRIDES = "extends error: an extending template may contain only @block overrides"
ONLY_ROOT = "extends error: only the root template may declare @block placeholders"


def span_of(error):
    span = error.span
    return None if span is None else (span.offset, span.length, span.line, span.column)


def compile_child(modules, **options):
    return vorpel.compile_virtual(modules, "child.tyx", **options)


def test_overrides_fill_the_roots_blocks_in_the_roots_order():
    child = ('---\ntitle: B\n---\n@extends "./base.tyx"\n\n'
             "@block body:\nChild body for {{ title }}\n@end\n\n"
             "@block head:\nChild head\n@end\n")
    result = compile_child({"base.tyx": BASE, "child.tyx": child})
    assert result.output == ("---\ntitle: B\ntags:\n- x\n---\n"
                             "# B\nChild head\nbetween\nChild body for B\nend\n")
    assert result.dependencies == ["base.tyx"]
    assert result.warnings == []
    # Without overrides the root's default bodies render.
    plain = compile_child({"base.tyx": BASE, "child.tyx": '@extends "./base.tyx"\n'})
    assert plain.output == ("---\ntitle: A\ntags:\n- x\n---\n"
                            "# A\nDefault head\nbetween\nDefault body\nend\n")
    # A block the child leaves alone keeps the root's default beside the one it overrides.
    partial = compile_child({"base.tyx": BASE,
                             "child.tyx": '@extends "./base.tyx"\n@block body:\nOwn body\n@end\n'})
    assert partial.output == ("---\ntitle: A\ntags:\n- x\n---\n"
                              "# A\nDefault head\nbetween\nOwn body\nend\n")


def test_chain_lowest_override_wins():
    modules = {
        "base.tyx": BASE,
        "mid.tyx": ('---\ntitle: Mid\nlevel: mid\n---\n@extends "./base.tyx"\n'
                    "@block head:\nMid head {{ level }}\n@end\n@block body:\nMid body\n@end\n"),
        "child.tyx": ('---\nlevel: leaf\n---\n@extends "./mid.tyx"\n'
                      "@block body:\nLeaf body {{ level }}\n@end\n"),
    }
    result = compile_child(modules)
    assert result.output == ("---\ntitle: Mid\ntags:\n- x\nlevel: leaf\n---\n"
                             "# Mid\nMid head leaf\nbetween\nLeaf body leaf\nend\n")
    assert result.dependencies == ["base.tyx", "mid.tyx"]


def test_errors_in_overrides_point_into_the_file_that_wrote_them():
    modules = {
        "base.tyx": BASE,
        "mid.tyx": '@extends "./base.tyx"\n@block head:\nMid {{ nope_mid }}\n@end\n',
        "child.tyx": '\n\n@extends "./mid.tyx"\n@block body:\nLeaf\n{{ nope_leaf }}\n@end\n',
    }
    error = error_of(lambda: compile_child(modules))
    assert (error.code, error.message) == ("tyx::undefined_var", "undefined variable 'nope_mid'")
    assert span_of(error) == (39, 8, 3, 5)
    modules["mid.tyx"] = '@extends "./base.tyx"\n'
    error = error_of(lambda: compile_child(modules))
    assert (error.message, span_of(error)) == ("undefined variable 'nope_leaf'", (41, 9, 6, 1))
    # The skeleton's own nodes are checked against the root.
    modules["base.tyx"] = "one\ntwo {{ nope_root }}\n@block body:\nx\n@end\n"
    modules["child.tyx"] = '@extends "./mid.tyx"\n'
    error = error_of(lambda: compile_child(modules))
    assert (error.message, span_of(error)) == ("undefined variable 'nope_root'", (8, 9, 2, 5))


BODY_ERRORS = [
    ('@extends "./base.tyx"\nstray text\n@block body:\nx\n@end\n', ONLY_OVERRIDES, (0, 21, 1, 1)),
    # A text line is placed on the template's first line, whatever that holds.
    ('---\nt: 1\n---\n@extends "./base.tyx"\n\nstray\n', ONLY_OVERRIDES, (0, 3, 1, 1)),
    # An interpolation is placed at its own offset, up to the end of its line.
    ('---\nt: 1\n---\n@extends "./base.tyx"\n\n{{ t }}\n', ONLY_OVERRIDES, (36, 7, 6, 1)),
    ('@extends "./base.tyx"\n\n  {{ x }} \n', ONLY_OVERRIDES, (25, 8, 3, 3)),
    ('@extends "./base.tyx"\n@export f\n', ONLY_OVERRIDES, (0, 21, 1, 1)),
    ('@extends "./base.tyx"\n@define f():\nx\n@end\n', ONLY_OVERRIDES, (22, 12, 2, 1)),
    ('@extends "./base.tyx"\n@import "./lib.tyx" as l\n', ONLY_OVERRIDES, (22, 24, 2, 1)),
    ('@extends "./base.tyx"\n@block head:\nx\n@end\n@block extra:\ny\n@end\n', ONLY_ROOT,
     (42, 5, 5, 1)),
    ('@extends "./base.tyx"\n@block body:\nx\n@end\n@block body:\ny\n@end\n',
     "name collision: 'body' is already defined", (42, 4, 5, 1)),
]


@pytest.mark.parametrize("child, message, span", BODY_ERRORS)
def test_what_an_extending_template_may_hold(child, message, span):
    error = error_of(lambda: compile_child(
        {"base.tyx": BASE, "child.tyx": child, "lib.tyx": "x\n"}))
    assert (error.message, span_of(error)) == (message, span)


def test_only_the_root_declares_blocks_anywhere_in_the_chain():
    modules = {"base.tyx": BASE,
               "mid.tyx": '@extends "./base.tyx"\n\n@block sidebar:\nnew\n@end\n',
               "child.tyx": '@extends "./mid.tyx"\n'}
    error = error_of(lambda: compile_child(modules))
    assert (error.code, error.message, span_of(error)) == (
        "tyx::extends", ONLY_ROOT, (23, 7, 3, 1))


PARENT_ERRORS = [
    ('@extends "base.tyx"\n', "tyx::import",
     "import error: import path must be relative (start with './' or '../'): \"base.tyx\"", None),
    ('---\na: 1\n---\n@extends "./missing.tyx"\n', "tyx::module_not_found",
     "module 'missing.tyx' is not in the virtual module map", (13, 24, 4, 1)),
    ('@extends "../up.tyx"\n', "tyx::import",
     "import error: import path escapes project directory: \"../up.tyx\"", None),
    ('@extends "./child.tyx"\n', "tyx::circular_import",
     "circular import detected: child.tyx \u2192 child.tyx", (0, 22, 1, 1)),
    ('@extends "./loop.tyx"\n', "tyx::circular_import",
     "circular import detected: child.tyx \u2192 loop.tyx \u2192 child.tyx", (0, 22, 1, 1)),
    ('@extends "./page.md"\n', "tyx::not_tyx", "not an TYX file: page.md", None),
    ('@extends "./broken.tyx"\n', "tyx::syntax",
     "syntax error: @if directive must end with ':'", (2, 5, 2, 1)),
]


@pytest.mark.parametrize("child, code, message, span", PARENT_ERRORS)
def test_parent_resolution_errors(child, code, message, span):
    modules = {"child.tyx": child, "loop.tyx": '@extends "./child.tyx"\n',
               "page.md": "# plain\n", "broken.tyx": "x\n@if y\n@end\n"}
    error = error_of(lambda: compile_child(modules))
    assert (error.code, error.message, span_of(error)) == (code, message, span)


def test_chain_depth_limit():
    def chain(length):
        modules = {"child.tyx": '@extends "./e1.tyx"\n'}
        for i in range(1, length):
            modules[f"e{i}.tyx"] = f'@extends "./e{i + 1}.tyx"\n'
        modules[f"e{length}.tyx"] = "root\n"
        return modules

    # The entry and 63 parents fill the resolving stack.
    assert compile_child(chain(63)).output == "root\n"
    error = error_of(lambda: compile_child(chain(64)))
    assert (error.code, error.message, error.span) == (
        "tyx::import", "import error: import depth exceeds maximum of 64 (possible deep chain)",
        None)


def test_inherited_frontmatter_is_written_back_as_yaml():
    base = ("---\nflag: 'true'\nnote: \"two\\nlines\"\ncount: 3\nratio: 0.5\nempty: ''\n"
            "nested: {a: 1, b: {c: 2}}\nzip: '007'\n---\nbase\n")
    child = '---\nnested: {b: {d: 4}}\n---\n@extends "./base.tyx"\n'
    result = compile_child({"base.tyx": base, "child.tyx": child})
    assert result.output == (
        "---\nflag: 'true'\nnote: |-\n  two\n  lines\ncount: 3\nratio: 0.5\nempty: ''\n"
        "nested:\n  a: 1\n  b:\n    c: 2\n    d: 4\nzip: '007'\n---\nbase\n")
    # What is written back reads back to the same values.
    again = vorpel.compile(result.output + "{{ flag }}|{{ nested.b.d }}|{{ zip }}|{{ empty }}.")
    assert again.output.endswith("base\ntrue|4|007|.\n")


def test_frontmatter_that_writes_nothing():
    lib = "@define greet():\nhi\n@end\n"
    for base, child in [
        ("base\n", '@extends "./base.tyx"\n'),
        ("base\n", '---\nimports:\n  - path: ./lib.tyx\n---\n@extends "./base.tyx"\n'),
        ("---\ntype: tyx\nextends: x\n---\nbase\n", '---\n---\n@extends "./base.tyx"\n'),
        ("---\n- a list\n---\nbase\n", '---\njust a scalar\n---\n@extends "./base.tyx"\n'),
    ]:
        result = compile_child({"base.tyx": base, "child.tyx": child, "lib.tyx": lib})
        assert result.output == "base\n"


def test_reserved_keys_are_not_inherited_and_caller_variables_win():
    base = "---\ntype: tyx\nextends: e\ntitle: T\n---\n@block b:\nx\n@end\n"
    for name in ["type", "imports", "extends"]:
        child = f'---\nimports: []\n---\n@extends "./base.tyx"\n@block b:\n{{{{ {name} }}}}\n@end\n'
        error = error_of(lambda: compile_child({"base.tyx": base, "child.tyx": child}))
        assert (error.code, error.message) == ("tyx::undefined_var", f"undefined variable '{name}'")
    child = '@extends "./base.tyx"\n@block b:\n{{ imports }} {{ title }}\n@end\n'
    result = compile_child({"base.tyx": base, "child.tyx": child},
                           vars={"imports": "bound", "title": "caller"})
    assert result.output == "---\ntitle: T\n---\nbound caller\n"


def test_imports_and_functions_of_the_chain():
    modules = {
        "base.tyx": ("---\nimports:\n  - path: ./lib/fmt.tyx\n    as: fmt\n---\n"
                     "@define frame(text):\n[{{ fmt.bold(text) }}]\n@end\n"
                     "{{ frame(title) }}\n@block body:\n@end\n"),
        "lib/fmt.tyx": "@define bold(t):\n**{{ t }}**\n@end\n",
        "lib/shout.tyx": "@define shout(t):\n{{ upper(t) }}\n@end\n",
        "child.tyx": ("---\ntitle: Hello\nimports:\n  - path: ./lib/shout.tyx\n---\n"
                      '@extends "./base.tyx"\n@block body:\n{{ shout(title) }} {{ fmt.bold("x") }}\n'
                      "@end\n"),
    }
    result = compile_child(modules)
    assert result.output == "---\ntitle: Hello\n---\n[**Hello**]\nHELLO **x**\n"
    assert result.dependencies == ["lib/fmt.tyx", "base.tyx", "lib/shout.tyx"]


def test_parent_functions_collide_with_imported_ones():
    greet = "@define greet():\nimported\n@end\n"
    base = "@define greet():\nown\n@end\n@block b:\n@end\n"
    for base_text, child in [
        (base, '---\nimports:\n  - path: ./g.tyx\n---\n@extends "./base.tyx"\n'),
        # Within the parent itself its own greet replaces the imported one; only the child's
        # scope holds both.
        ("---\nimports:\n  - path: ./g.tyx\n    names: [greet]\n---\n" + base,
         '@extends "./base.tyx"\n'),
    ]:
        modules = {"base.tyx": base_text, "child.tyx": child, "g.tyx": greet}
        error = error_of(lambda: compile_child(modules))
        assert (error.code, error.message, error.span) == (
            "tyx::name_collision", "name collision: 'greet' is already defined", None)


FRONTMATTER_ERRORS = [
    ("---\nimports: 3\n---\nx\n", '@extends "./base.tyx"\n', "tyx::import",
     "import error: imports must be a YAML sequence (in frontmatter)"),
    ("x\n", '---\nimports: [./a.tyx]\n---\n@extends "./base.tyx"\n', "tyx::import",
     "import error: imports[0]: each entry must be a mapping (in frontmatter)"),
    ("x\n", '---\nimports:\n  - path: ./nope.tyx\n---\n@extends "./base.tyx"\n', "tyx::import",
     "import error: module not found: \"nope.tyx\" (in frontmatter imports[0])"),
    ("x\n", '---\nm: {1: x}\n---\n@extends "./base.tyx"\n', "tyx::yaml",
     "YAML parse error: TYX only supports string keys in objects; found integer/float key "
     "\u2014 use a quoted string key instead"),
    ("x\n", '---\na: [1\n---\n@extends "./base.tyx"\n', "tyx::yaml", None),
]


@pytest.mark.parametrize("base, child, code, message", FRONTMATTER_ERRORS)
def test_frontmatter_errors_of_the_chain(base, child, code, message):
    error = error_of(lambda: compile_child({"base.tyx": base, "child.tyx": child}))
    assert error.code == code
    if message is not None:
        assert error.message == message


def test_merge_depth_limit():
    def nested(levels):
        return "a: " + "{a: " * (levels - 1) + "{}" + "}" * (levels - 1)

    def with_depth(levels):
        return compile_child({"base.tyx": f"---\n{nested(levels)}\n---\nx\n",
                              "child.tyx": f'---\n{nested(levels)}\n---\n@extends "./base.tyx"\n'})

    assert with_depth(64).output.endswith("a: {}\n---\nx\n")
    error = error_of(lambda: with_depth(65))
    assert (error.code, error.message) == (
        "tyx::resource_limit",
        "resource limit exceeded: frontmatter merge depth exceeds maximum of 64")


def test_messages_mode_through_a_chain():
    base = ("@message system:\nBe {{ tone }}.\n@end\n"
            "@block turn:\n@message user:\nDefault\n@end\n@end\n")
    child = ('---\ntone: brief\n---\n@extends "./base.tyx"\n'
             "@block turn:\n@message user:\nHi {{ name }}\n@end\n@end\n")
    result = compile_child({"base.tyx": base, "child.tyx": child}, vars={"name": "Ada"},
                           source_map=True)
    assert result.kind == "messages"
    assert [(m.role, m.content) for m in result.messages] == [
        ("system", "Be brief."), ("user", "Hi Ada")]
    assert result.source_map is None and len(result.warnings) == 1


def test_extending_template_rendering_errors_have_no_source():
    base = '@if n == "a":\nx\n@end\n@block b:\n@end\n'
    error = error_of(lambda: compile_child(
        {"base.tyx": base, "child.tyx": '@extends "./base.tyx"\n'}, vars={"n": 1}))
    assert error.code == "tyx::type_mismatch" and error.span is None


def test_imported_extending_modules():
    modules = {
        "main.tyx": '@import "./page.tyx" as page\n@include page\n{{ page.hello("x") }}\n',
        "page.tyx": '---\ntitle: Page\n---\n@extends "./base.tyx"\n@block body:\nPage body\n@end\n',
        "base.tyx": "@define hello(who):\nhello {{ who }}\n@end\n# {{ title }}\n"
                    "@block body:\n@end\n",
    }
    result = vorpel.compile_virtual(modules, "main.tyx")
    assert result.output == "# Page\nPage body\nhello x\n"
    assert result.dependencies == ["base.tyx", "page.tyx"]


def test_grandchildren_inherit_the_whole_chain():
    # The root's functions reach every level, and a middle template inherits the same way
    # whether it was imported first or reached first as a parent.
    modules = {
        "base.tyx": ("---\nsite: Base\n---\n@define stamp():\n({{ site }})\n@end\n"
                     "# {{ site }} {{ stamp() }}\n@block body:\n@end\n"),
        "mid.tyx": '@extends "./base.tyx"\n@block body:\nMid\n@end\n',
        "child.tyx": '@extends "./mid.tyx"\n@block body:\nLeaf\n@end\n',
        "main.tyx": '@import "./mid.tyx" as m\n@import "./child.tyx" as c\n@include c\n',
    }
    expected = "# Base (Base)\nLeaf\n"
    assert compile_child(modules).output == "---\nsite: Base\n---\n" + expected
    assert vorpel.compile_virtual(modules, "main.tyx").output == expected


def test_grandchildren_bind_the_frontmatter_imports_of_the_whole_chain():
    # The root's skeleton and the middle template's override render in the leaf's scope, so the
    # names their frontmatter imports bring in must be there, however many levels up they are.
    modules = {
        "base.tyx": ("---\nimports:\n  - path: ./lib/fmt.tyx\n    as: fmt\n---\n"
                     "{{ fmt.bold('base') }}\n@block head:\n@end\n@block body:\n@end\n"),
        "mid.tyx": ("---\nimports:\n  - path: ./lib/shout.tyx\n---\n@extends \"./base.tyx\"\n"
                    "@block head:\n{{ shout('mid') }}\n@end\n"),
        "child.tyx": '@extends "./mid.tyx"\n@block body:\n{{ fmt.bold(shout("leaf")) }}\n@end\n',
        "main.tyx": '@import "./mid.tyx" as m\n@import "./child.tyx" as c\n@include c\n',
        "lib/fmt.tyx": "@define bold(t):\n**{{ t }}**\n@end\n",
        "lib/shout.tyx": "@define shout(t):\n{{ upper(t) }}\n@end\n",
    }
    expected = "**base**\nMID\n**LEAF**\n"
    assert compile_child(modules).output == expected
    # The middle template compiled first as an import serves its children the same way.
    assert vorpel.compile_virtual(modules, "main.tyx").output == expected
    # Bound into one scope, the chain's lists collide as a parent's and a child's do.
    modules["mid.tyx"] = modules["mid.tyx"].replace("path: ./lib/shout.tyx",
                                                    "path: ./lib/shout.tyx\n    as: fmt")
    for entry in ["mid.tyx", "child.tyx"]:
        error = error_of(lambda: vorpel.compile_virtual(modules, entry))
        assert (error.code, error.message) == (
            "tyx::name_collision", "name collision: 'fmt' is already defined")


def test_extends_on_the_file_system(tmp_path):
    (tmp_path / ".tyxroot").write_text("")
    (tmp_path / "layouts").mkdir()
    (tmp_path / "layouts" / "base.tyx").write_text("Top\n@block main:\n@end\n")
    (tmp_path / "page.tyx").write_text('@extends "./layouts/base.tyx"\n@block main:\nPage\n@end\n')
    result = vorpel.compile_file(tmp_path / "page.tyx")
    assert result.output == "Top\nPage\n"
    assert result.dependencies == [str((tmp_path / "layouts" / "base.tyx").resolve())]
    source = '@extends "./layouts/base.tyx"\n@block main:\nText\n@end\n'
    assert vorpel.compile(source, base_path=tmp_path).output == "Top\nText\n"
    assert vorpel.check(source, base_path=tmp_path).warnings == []


# Roots whose text, blocks and functions use the names their own @import lines bind.
LIB_M = "@define f():\nF\n@end\nM body\n"
ROOTS_WITH_IMPORTS = [
    '@import "./m.tyx" as m\n{{ m.f() }}\n@block a:\nA\n@end\n',
    '@import "./m.tyx" as m\n@define g():\n[{{ m.f() }}]\n@end\n{{ g() }}\n@block a:\nA\n@end\n',
    # The root's @import binds `prompt` after its frontmatter import did.
    ('---\nimports:\n  - path: ./p.tyx\n---\n@import "./m.tyx"\n{{ f() }} {{ prompt }}\n'
     "@block a:\nA\n@end\n"),
    '@import { f, prompt } from "./m.tyx"\n{{ f() }}\n@block a:\n{{ prompt }}\n@end\n',
    # A selected function takes the place of the root's own and of a frontmatter import's.
    '@define f():\nown\n@end\n@import { f } from "./m.tyx"\n{{ f() }}\n@block a:\nA\n@end\n',
    ('---\nimports:\n  - path: ./n.tyx\n---\n@import { f } from "./m.tyx"\n{{ f() }}\n'
     "@block a:\nA\n@end\n"),
]


@pytest.mark.parametrize("root", ROOTS_WITH_IMPORTS)
def test_a_root_renders_the_same_under_empty_children(root):
    modules = {"root.tyx": root, "m.tyx": LIB_M, "n.tyx": "@define f():\nN\n@end\n",
               "p.tyx": "P body\n", "mid.tyx": '@extends "./root.tyx"\n',
               "leaf.tyx": '@extends "./mid.tyx"\n', "child.tyx": '@extends "./root.tyx"\n',
               "main.tyx": '@import "./leaf.tyx" as l\n@include l\n',
               "both.tyx": '@import "./root.tyx" as r\n@import "./child.tyx" as c\n@include c\n'}
    alone = vorpel.compile_virtual(modules, "root.tyx", source_map=True)
    for entry in ["child.tyx", "leaf.tyx"]:
        mapped = vorpel.compile_virtual(modules, entry, source_map=True)
        assert (mapped.output, mapped.source_map) == (alone.output, alone.source_map)
        assert vorpel.compile_virtual(modules, entry).output == alone.output
        assert vorpel.check_virtual(modules, entry).warnings == []
    # Compiled as imports, through a chain and after the root was imported on its own.
    for entry in ["main.tyx", "both.tyx"]:
        assert vorpel.compile_virtual(modules, entry).output == alone.output


def test_overrides_use_the_names_the_roots_imports_bind():
    modules = {
        "root.tyx": ('@import "./m.tyx" as m\n@import { f } from "./m.tyx"\n'
                     "@block a:\nA\n@end\n@block b:\nB\n@end\n"),
        "mid.tyx": '@extends "./root.tyx"\n@block a:\nmid {{ m.f() }}\n@end\n',
        "leaf.tyx": '@extends "./mid.tyx"\n@block b:\nleaf {{ f() }} {{ m.f() }}\n@end\n',
        "m.tyx": LIB_M,
    }
    assert vorpel.compile_virtual(modules, "mid.tyx").output == "mid F\nB\n"
    for options in [{}, {"source_map": True}]:
        result = vorpel.compile_virtual(modules, "leaf.tyx", **options)
        assert result.output == "mid F\nleaf F F\n"
    # A `prompt` that a lower template's own imports bind stands over the root's.
    modules["root.tyx"] = '@import "./m.tyx"\n{{ f() }} {{ prompt }}\n@block a:\nA\n@end\n'
    modules["mid.tyx"] = '---\nimports:\n  - path: ./p.tyx\n---\n@extends "./root.tyx"\n'
    modules["leaf.tyx"] = '@extends "./mid.tyx"\n'
    modules["p.tyx"] = "P body\n"
    assert vorpel.compile_virtual(modules, "root.tyx").output == "F M body\n\nA\n"
    assert vorpel.compile_virtual(modules, "leaf.tyx").output == "F P body\n\nA\n"
    # The root's variable `prompt`, which no import of its own bound, is the child's to replace.
    modules["root.tyx"] = '---\nprompt: r\n---\n@import "./m.tyx" as m\n{{ m.f() }} {{ prompt }}\n'
    modules["mid.tyx"] = '---\nprompt: c\n---\n@extends "./root.tyx"\n'
    assert vorpel.compile_virtual(modules, "root.tyx").output == "---\nprompt: r\n---\nF r\n"
    assert vorpel.compile_virtual(modules, "leaf.tyx").output == "---\nprompt: c\n---\nF c\n"


# Bound into one scope, a lower template's import and the root's bind one name.
IMPORT_COLLISIONS = [
    ('@import "./m.tyx" as m\n', "imports:\n  - path: ./m.tyx\n    as: m", "m"),
    ('@import { f } from "./m.tyx"\n', "imports:\n  - path: ./m.tyx", "f"),
    ('@import "./m.tyx"\n', "imports:\n  - path: ./m.tyx\n    names: [f]", "f"),
]


@pytest.mark.parametrize("root_import, child_imports, name", IMPORT_COLLISIONS)
def test_the_roots_imports_collide_with_those_below_it(root_import, child_imports, name):
    modules = {"root.tyx": root_import + "@block a:\nA\n@end\n", "m.tyx": LIB_M,
               "child.tyx": f'---\n{child_imports}\n---\n@extends "./root.tyx"\n',
               "leaf.tyx": '@extends "./child.tyx"\n'}
    for entry in ["child.tyx", "leaf.tyx"]:
        error = error_of(lambda: vorpel.compile_virtual(modules, entry))
        assert (error.code, error.message, error.span) == (
            "tyx::name_collision", f"name collision: '{name}' is already defined", None)
