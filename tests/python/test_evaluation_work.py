"""The work one evaluation may do: texts built only to be compared or passed on count as much as
the output, and a template that would run for minutes stops at the limit instead."""

import pytest

import vorpel
from support import error_of

WORK_LIMIT = ("resource limit exceeded: evaluation work exceeds maximum of 209715200 bytes in "
              "this compilation")
SEGMENT_CAP_WARNING = (
    "source map segment cap (1000000 segments) exceeded; no source map will be generated")


def doubling_arguments():
    # Each call doubles a text used only as the next call's argument.
    source = ("@define d(x):\n{{ x }}{{ x }}\n@end\n"
              + "@for a in items:\n" * 6
              + "@if " + "d(" * 20 + "name" + ")" * 20 + ' == "":\nx\n@end\n'
              + "@end\n" * 6)
    return lambda: vorpel.compile(source, vars={"items": ["x", "y", "z"], "name": "World"})


def test_texts_that_never_reach_the_output_are_bounded():
    error = error_of(doubling_arguments())
    assert error.code == "tyx::resource_limit"
    assert error.message == WORK_LIMIT
    assert error.span is None


def test_realistic_large_work_stays_within_the_limit():
    ten_mb = ("x" * 95 + "ipsum") * 100_000
    replaced = vorpel.compile('{{ replace(text, "ipsum", "dolor!") }}', vars={"text": ten_mb})
    assert replaced.output == ten_mb.replace("ipsum", "dolor!") + "\n"
    words = [f"w{i:06}" for i in range(100_000, 0, -1)]
    ordered = vorpel.compile('{{ join(sort(words), ",") }}', vars={"words": words})
    assert ordered.output == ",".join(sorted(words)) + "\n"
    output = vorpel.compile("@for line in lines:\n{{ line }}\n@end\n",
                            vars={"lines": ["x" * 99] * 100_000}, source_map=True)
    assert len(output.output) == 10_000_000
    assert output.source_map is not None


# Each of the two overriding blocks alone stays within the limit; together they pass it.
BASE = "@block first:\n@end\nbetween\n@block second:\n@end\n"
SEARCH = '@for i in items:\n@if contains(text, "z"):\nz\n@end\n@end\n'
CHILD = ('@extends "./base.tyx"\n@block first:\n' + SEARCH + "@end\n@block second:\n" + SEARCH
         + "@end\n")


@pytest.mark.parametrize("source_map", [False, True])
def test_the_parts_of_an_inheritance_chain_share_the_limit(source_map):
    modules = {"base.tyx": BASE, "child.tyx": CHILD}
    within = {"text": "y" * 1_000_000, "items": list(range(120))}
    vorpel.compile_virtual({"base.tyx": BASE, "child.tyx": '@extends "./base.tyx"\n@block '
                            "first:\n" + SEARCH + "@end\n"}, "child.tyx", vars=within,
                           source_map=source_map)
    error = error_of(lambda: vorpel.compile_virtual(modules, "child.tyx", vars=within,
                                                    source_map=source_map))
    assert error.message == WORK_LIMIT


def test_includes_after_the_map_is_lost_keep_the_result():
    # The first two includes fill the map past its cap; the later ones record nothing.
    module = "@for i in items:\n" + "{{ i }}" * 9 + "\n@end\n"
    main = '@import "./lib.tyx" as lib\n' + "@include lib\n" * 5
    modules = {"main.tyx": main, "lib.tyx": module}
    variables = {"items": ["x"] * 60_000}
    mapped = vorpel.compile_virtual(modules, "main.tyx", vars=variables, source_map=True)
    plain = vorpel.compile_virtual(modules, "main.tyx", vars=variables)
    assert mapped.warnings == [SEGMENT_CAP_WARNING]
    assert mapped.source_map is None
    assert mapped.output == plain.output
    assert len(plain.output) == 5 * 600_000


def test_imported_modules_share_the_limit_of_the_compilation():
    # Each module's body alone stays within the limit; the two bodies of one compilation pass it.
    within = {"text": "y" * 1_000_000, "items": list(range(120))}
    modules = {"a.tyx": SEARCH, "b.tyx": SEARCH,
               "one.tyx": '@import "./a.tyx" as a\n@include a\n',
               "two.tyx": '@import "./a.tyx" as a\n@import "./b.tyx" as b\n'}
    vorpel.compile_virtual(modules, "one.tyx", vars=within)
    error = error_of(lambda: vorpel.compile_virtual(modules, "two.tyx", vars=within))
    assert error.message == WORK_LIMIT


# 45 calls each render a 1 MiB text, then every iteration compares two more: 154 iterations stay
# within the limit, 155 pass it. Writing a function's text out must cost nothing more than
# rendering it did, with a map as without one.
CALLS_THEN_COMPARISONS = ("@define f():\n{{ s }}\n@end\n" + "{{ f() }}\n" * 45
                          + "@for i in xs:\n@if s == t:\n@end\n@end\n")


@pytest.mark.parametrize("iterations,outcome", [(154, 45 * (2**20 + 1)), (155, WORK_LIMIT)])
@pytest.mark.parametrize("source_map", [False, True])
def test_a_source_map_does_not_change_the_work_of_a_call(iterations, outcome, source_map):
    text = "a" * 2**20
    variables = {"s": text, "t": text, "xs": list(range(iterations))}
    try:
        result = len(vorpel.compile(CALLS_THEN_COMPARISONS, vars=variables,
                                    source_map=source_map).output)
    except vorpel.TyxError as error:
        result = error.message
    assert result == outcome
