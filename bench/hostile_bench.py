"""Time of inputs built to make the Python API slow, each run once.

Run with the built package on the path:
    PYTHONPATH=build/python /usr/bin/python3 bench/hostile_bench.py [--only NAME]

Two kinds of case: templates built to make evaluation slow, and inputs that meet each limit of
the public functions at its maximum, alone and together, run through every function that takes
them (lint with every rule on). Each row gives the case, the function, the input's size, its
time, wall clock and CPU (the second is steadier on a shared machine), and how it ended: the
output's size, the diagnostics, or the error's code and message. Within every limit none of them
should run much longer than a second or two.
"""

import argparse
import atexit
import itertools
import json
import pathlib
import shutil
import sys
import tempfile
import time

import vorpel


def replace_in_loop():
    """A 1 MB template: a loop over 1,000 pieces whose every iteration doubles a 1 MB text only
    to search it."""
    source = ('---\ns: "' + "a" * 1_000_000 + '"\nc: "' + ",".join(["x"] * 1_000) + '"\n---\n'
              '@for p in split(c, ","):\n'
              '@if contains(replace(s, "a", "bb"), "z"):\nfound\n@end\n'
              '@end\n')
    return {"compile": lambda: vorpel.compile(source)}, len(source)


def modules_sharing_the_limit(count=20):
    """An entry importing `count` modules, each of whose bodies doubles a 1 MB text only to search
    it in a loop of 30 iterations: a little less work than the limit allows. The modules'
    evaluations share the one limit of the compilation, which stops the second."""
    body = ('@for p in split(c, ","):\n'
            '@if contains(replace(s, "a", "bb"), "z"):\nfound\n@end\n'
            '@end\n')
    modules = {f"m{i}.tyx": body for i in range(count)}
    modules["main.tyx"] = "".join(f'@import "./m{i}.tyx" as m{i}\n' for i in range(count))
    variables = {"s": "a" * 1_000_000, "c": ",".join(["x"] * 30)}
    return ({"compile_virtual": lambda: vorpel.compile_virtual(modules, "main.tyx",
                                                               vars=variables)},
            sum(map(len, modules.values())) + len(variables["s"]))


def doubling_arguments():
    """A 249-byte template: a function that doubles its argument, called 20 deep inside six
    nested loops; every value is used only as an argument or in a condition."""
    calls = 20
    source = ("@define d(x):\n{{ x }}{{ x }}\n@end\n"
              + "".join("@for a in items:\n" for _ in range(6))
              + "@if " + "d(" * calls + "name" + ")" * calls + ' == "":\nx\n@end\n'
              + "".join("@end\n" for _ in range(6)))
    variables = {"items": ["x", "y", "z"], "name": "World"}
    return {"compile": lambda: vorpel.compile(source, vars=variables)}, len(source)


def includes_after_map_overflow(source_map):
    """45 includes of a module whose body records 990,000 segments (989,010 one-byte
    interpolations, 990 lines of text; about 1 MB, so the includes stay within the output limit):
    the first two fill the entry's map past its cap, so no map is made."""
    module = '---\ne: "y"\n---\n' + ("{{ e }}" * 999 + "x\n") * 990
    entry = '@import "./m.tyx" as m\n' + "@include m\n" * 45
    modules = {"main.tyx": entry, "m.tyx": module}
    return ({"compile_virtual": lambda: vorpel.compile_virtual(modules, "main.tyx",
                                                               source_map=source_map)},
            len(module) + len(entry))


def loop_over(expression, variables, condition='{} == "z"'):
    """A loop of 990,000 iterations (99 of 10,000) that evaluates `expression` in a condition
    every time, over the given variables."""
    source = ("@for a in outer:\n@for b in inner:\n@if " + condition.format(expression)
              + ":\nz\n@end\n@end\n@end\n")
    variables = dict(variables, outer=list(range(99)), inner=list(range(10_000)))
    return {"compile": lambda: vorpel.compile(source, vars=variables)}, len(source)


def nodes_in_loop(node, count):
    """A loop of 1,000,000 iterations (100 of 10,000) over a body of `count` copies of `node`,
    none of which writes anything."""
    source = "@for a in outer:\n@for b in inner:\n" + node * count + "@end\n@end\n"
    variables = {"outer": list(range(100)), "inner": list(range(10_000)), "empty": ""}
    return {"compile": lambda: vorpel.compile(source, vars=variables)}, len(source)


# Cheap nodes and conditions: each visit takes the fixed work of a node, so a loop over a large
# body of them stops at the limit.
VISIT_CASES = {
    "false_ifs_in_loop": lambda: nodes_in_loop("@if empty:\n@end\n", 100_000),
    "empty_values_in_loop": lambda: nodes_in_loop("{{ empty }}" * 100_000 + "\n", 1),
    "elseifs_in_loop": lambda: nodes_in_loop(
        "@if empty:\n" + "@elseif empty:\n" * 256 + "@end\n", 400),
    "builtin_calls_in_loop": lambda: nodes_in_loop(
        "{{ trim(trim(trim(empty))) }}" * 30_000 + "\n", 1),
}

# The slowest work for the budget it takes: each builtin and comparison at its worst, repeated
# until the evaluation's work limit stops it. These set the limit's value.
WORST_CASES = {
    "sort_in_loop": lambda: loop_over("string(first(sort(words)))",
                                      {"words": ["w" * 8] * 100_000}),
    "sort_numbers_in_loop": lambda: loop_over("string(first(sort(numbers)))",
                                              {"numbers": list(range(100_000, 0, -1))}),
    "split_in_loop": lambda: loop_over("string(length(split(commas, \",\")))",
                                       {"commas": "," * 99_999}),
    "string_in_loop": lambda: loop_over("string(numbers)",
                                        {"numbers": [1.5e-300] * 100_000}),
    "upper_in_loop": lambda: loop_over("upper(text)", {"text": "\u00e9" * 500_000}),
    "compare_in_loop": lambda: loop_over("text", {"text": "z" * 10_000_000,
                                                  "copy": "z" * 10_000_000}, "{} != copy"),
    "compare_arrays_in_loop": lambda: loop_over("items", {"items": [[1]] * 100_000,
                                                          "copy": [[1]] * 100_000}, "{} != copy"),
    "contains_in_loop": lambda: loop_over("string(contains(items, 0.5))",
                                          {"items": [[1]] * 100_000}),
    "unique_in_loop": lambda: loop_over("string(length(unique(items)))",
                                        {"items": [[1, 2]] * 100_000}),
    "join_in_loop": lambda: loop_over("join(letters, \"\")", {"letters": ["a"] * 100_000}),
    "reverse_in_loop": lambda: loop_over("reverse(text)", {"text": "\u00e9" * 5_000_000}),
}

EVALUATION_CASES = {
    "replace_in_loop": replace_in_loop,
    "doubling_arguments": doubling_arguments,
    "modules_sharing_the_limit": modules_sharing_the_limit,
    "includes_with_map": lambda: includes_after_map_overflow(True),
    "includes_without_map": lambda: includes_after_map_overflow(False),
    **WORST_CASES,
    **VISIT_CASES,
}


# Every public function at the limits of its input. A case is a source or a set of modules with
# its variables; each runs through the functions that take it, with every lint rule on.

RULES = {rule: "warn" for rule in (
    "duplicate-export", "duplicate-import", "empty-block", "legacy-interpolation",
    "redundant-else", "shadow-variable", "unreachable-branch", "unused-function",
    "unused-import", "unused-variable")}
MAX_SOURCE_SIZE = 10_485_760
MAX_FRONTMATTER_BYTES = 1_048_576


class Source:
    def __init__(self, text, variables=None, source_map=True):
        self.text, self.variables, self.source_map = text, variables, source_map

    def size(self):
        return len(self.text.encode()) + vars_size(self.variables)

    def runs(self):
        text, variables, mapped = self.text, self.variables, self.source_map
        return {
            "compile": lambda: vorpel.compile(text, vars=variables, source_map=mapped,
                                              sources_content=mapped),
            "check": lambda: vorpel.check(text, vars=variables),
            "lint": lambda: vorpel.lint(text, vars=variables, rules=RULES),
            "scan_imports": lambda: vorpel.scan_imports(text),
        }


class Modules:
    """Modules by key, the entry among them; `files` also writes them to a directory and runs
    the file functions."""

    def __init__(self, modules, entry="main.tyx", variables=None, files=False, source_map=True):
        self.modules, self.entry, self.variables = modules, entry, variables
        self.files, self.source_map = files, source_map

    def size(self):
        texts = sum(len(text.encode()) for text in self.modules.values())
        return texts + vars_size(self.variables)

    def runs(self):
        modules, entry, variables = self.modules, self.entry, self.variables
        mapped = self.source_map
        runs = {
            "compile_virtual": lambda: vorpel.compile_virtual(
                modules, entry, vars=variables, source_map=mapped, sources_content=mapped),
            "check_virtual": lambda: vorpel.check_virtual(modules, entry, vars=variables),
            "lint_virtual": lambda: vorpel.lint_virtual(modules, entry, vars=variables,
                                                        rules=RULES),
            "scan_imports": lambda: vorpel.scan_imports(modules[entry]),
        }
        if self.files:
            path = write_modules(modules) / entry
            runs["compile_file"] = lambda: vorpel.compile_file(
                path, vars=variables, source_map=mapped, sources_content=mapped)
            runs["check_file"] = lambda: vorpel.check_file(path, vars=variables)
            runs["lint_file"] = lambda: vorpel.lint_file(path, vars=variables, rules=RULES)
        return runs


def vars_size(variables):
    return len(json.dumps(variables)) if variables else 0


def write_modules(modules):
    directory = pathlib.Path(tempfile.mkdtemp(prefix="hostile_bench_"))
    atexit.register(shutil.rmtree, directory, ignore_errors=True)
    (directory / ".tyxroot").write_text("")
    for key, text in modules.items():
        (directory / key).write_text(text)
    return directory


def repeat_within(piece, limit, head="", tail=""):
    """`head`, then as many copies of `piece` (a function of the copy's number) as fit, then
    `tail`, in at most `limit` bytes."""
    parts, size = [head], len(head.encode()) + len(tail.encode())
    for i in itertools.count():
        text = piece(i)
        size += len(text.encode())
        if size > limit:
            break
        parts.append(text)
    parts.append(tail)
    return "".join(parts)


def frontmatter(lines, key_line="k: [1]\n", close="", body="{{ length(k) }}\n",
                limit=MAX_FRONTMATTER_BYTES):
    """A source whose frontmatter holds `key_line`, then `lines` (or as many of them as fit
    `limit`, when `lines` makes one from its number), then `close`."""
    if callable(lines):
        lines = repeat_within(lines, limit - len(key_line + close))
    return Source("---\n" + key_line + lines + close + "---\n" + body)


def body(piece, head="", limit=MAX_SOURCE_SIZE, **options):
    return Source(repeat_within(piece, limit, head), **options)


def nested(depth, leaf):
    for _ in range(depth):
        leaf = [leaf]
    return leaf


def shared_lists(depth, width=10):
    value = 1
    for _ in range(depth):
        value = [value] * width
    return value


def laughs(levels, width=10):
    lines = ["l0: &l0 [" + ", ".join(["x"] * width) + "]\n"]
    for level in range(1, levels):
        lines.append(f"l{level}: &l{level} [" + ", ".join([f"*l{level - 1}"] * width) + "]\n")
    return "".join(lines)


def merges(count, keys=1000):
    head = "m: &m {" + ", ".join(f"k{i}: 0" for i in range(keys)) + "}\n"
    return head + "".join(f"n{j}: {{<<: *m}}\n" for j in range(count))


def merge_chain(depth):
    lines = ["m0: &m0 {a: 0}\n"]
    for level in range(1, depth):
        lines.append(f"m{level}: &m{level} {{<<: *m{level - 1}, b{level}: 0}}\n")
    return "".join(lines)


def importing(count, body_of=lambda i: f"@define f():\n{i}\n@end\n", directive=None):
    """An entry that imports `count` modules and uses each."""
    modules = {f"m{i}.tyx": body_of(i) for i in range(count)}
    modules["main.tyx"] = "".join(
        (directive or (lambda i: f'@import "./m{i}.tyx" as m{i}\n{{{{ m{i}.f() }}}}\n'))(i)
        for i in range(count))
    return modules


def import_chain(depth):
    modules = {f"m{i}.tyx": (f'@import "./m{i + 1}.tyx" as n\n'
                             f"@define f{i}():\n{{{{ n.f{i + 1}() }}}}\n@end\n")
               for i in range(depth - 1)}
    modules[f"m{depth - 1}.tyx"] = f"@define f{depth - 1}():\nleaf\n@end\n"
    modules["main.tyx"] = '@import "./m0.tyx" as m\n{{ m.f0() }}\n'
    return modules


def exports(count):
    return "".join(f"@define f{i}():\n{i}\n@end\n@export f{i}\n" for i in range(count))


def reexport_fan(middles, names):
    """`middles` modules that each re-export every one of `names` functions of one leaf."""
    modules = {"leaf.tyx": exports(names)}
    for i in range(middles):
        modules[f"r{i}.tyx"] = '@export * from "./leaf.tyx"\n'
    modules["main.tyx"] = "".join(f'@import "./r{i}.tyx" as r{i}\n{{{{ r{i}.f0() }}}}\n'
                                  for i in range(middles))
    return modules


def block_chain(depth, blocks=256):
    """A root declaring `blocks` blocks and a chain of `depth` templates that override them all."""
    modules = {"c0.tyx": "".join(f"@block b{i}:\nroot {i}\n@end\n" for i in range(blocks))}
    for level in range(1, depth):
        modules[f"c{level}.tyx"] = (f'@extends "./c{level - 1}.tyx"\n'
                                    + "".join(f"@block b{i}:\n{level} {i}\n@end\n"
                                              for i in range(blocks)))
    modules["main.tyx"] = modules.pop(f"c{depth - 1}.tyx")
    return modules


def files_of_limit(count):
    """An entry that includes `count` modules, each of the largest size, of plain lines."""
    line = "x" * 99 + "\n"
    text = line * (MAX_SOURCE_SIZE // len(line))
    text += "y" * (MAX_SOURCE_SIZE - len(text) - 1) + "\n"
    text = "---\ntype: tyx\n---\n" + text[len("---\ntype: tyx\n---\n"):]
    modules = {f"m{i}.md": text for i in range(count)}
    modules["main.tyx"] = "".join(f'@import "./m{i}.md" as m{i}\n@include m{i}\n'
                                  for i in range(count))
    return modules


ELSEIF_CHAIN = "@if a:\nx\n" + "@elseif a:\nx\n" * 256 + "@else:\nx\n@end\n"
FRONTMATTER_KEYS = lambda i: f"a{i}: aaaaaaa\n"  # noqa: E731
# One diagnostic of every rule but the name rules of imports and exports.
LINT_MIX = ("@if a:\n@end\n@if a:\nx\n@else:\nx\n@end\n@if 1 == 1:\nx\n@elseif a:\nx\n@end\n"
            "@define u{0}():\nx\n@end\n@for a{0} in items:\ny\n@end\n{{x}} {{{{ a }}}}\n")
# What one module of a set may take when the others are small: the set shares one limit.
MODULE_ROOM = MAX_SOURCE_SIZE - 4096

LIMIT_CASES = {
    # Frontmatter: keys, nodes, flow depth, nesting, aliases, merges, block scalars.
    "fm_keys": lambda: frontmatter(FRONTMATTER_KEYS),
    "fm_nodes": lambda: frontmatter("", key_line="k: [" + "1," * 199_990 + "1]\n"),
    "fm_flow_depth": lambda: frontmatter("", key_line="k: " + "[" * 1024 + "]" * 1024 + "\n"),
    "fm_block_depth": lambda: frontmatter(
        "".join(" " * i + "a:\n" for i in range(62)) + " " * 62 + "a: 1\n"),
    "fm_flow_key_mappings": lambda: frontmatter(
        lambda i: f"{{k{i}: {{a: 1, b: [1, 2]}}}}: 1\n", limit=18_000 * 30),
    "fm_quoted_keys": lambda: frontmatter(lambda i: f'"a{i}": 1\n'),
    # Keys holding a line feed are searched one at a time, each over the whole block.
    "fm_keys_with_line_feeds": lambda: frontmatter(lambda i: f'"k{i}\\nx": 1\n'),
    "fm_aliases": lambda: frontmatter(repeat_within(lambda i: "*a, ", 199_000 // 3 * 4),
                                      key_line="a: &a [1, 2]\nk: [", close="1]\n"),
    "fm_laughs": lambda: frontmatter(laughs(9)),
    "fm_merges": lambda: frontmatter(merges(190)),
    "fm_merge_depth": lambda: frontmatter(merge_chain(64)),
    "fm_block_scalars": lambda: frontmatter(lambda i: f"s{i}: |\n  line\n  line\n"),
    "fm_one_block_scalar": lambda: frontmatter(lambda i: "  " + "x" * 70 + "\n",
                                               key_line="s: >\n", body="{{ length(s) }}\n"),
    # Sources and output at their largest.
    "source_text": lambda: body(lambda i: "x" * 99 + "\n"),
    "source_interpolations": lambda: body(lambda i: "{{ x }}", variables={"x": "y"}),
    "output_size": lambda: Source("@for i in items:\n{{ s }}\n@end\n",
                                  {"items": list(range(100_000)), "s": "x" * 523}),
    "sources_content": lambda: Modules(files_of_limit(5), files=True),
    "elseif_chains": lambda: body(lambda i: ELSEIF_CHAIN, variables={"a": False}),
    # No @elseif condition equals an earlier one, though each shares 15 of its 16 operands with
    # every other: each is compared with all before it.
    "elseif_distinct_chains": lambda: body(
        lambda i: "@if x:\ny\n" + "".join("@elseif " + "b && " * 15 + f"a{j}:\ny\n"
                                          for j in range(256)) + "@end\n",
        variables={"x": True, "b": True} | {f"a{j}": True for j in range(256)}),
    "condition_operands": lambda: body(
        lambda i: "@if " + " && ".join(["a"] * 16) + ":\nx\n@end\n", variables={"a": True}),
    "deep_nesting": lambda: body(lambda i: "@if a:\n" * 63 + "x\n" + "@end\n" * 63,
                                 variables={"a": True}),
    "call_nesting": lambda: body(lambda i: "{{ " + "trim(" * 64 + "a" + ")" * 64 + " }}\n",
                                 variables={"a": " a "}),
    "warnings": lambda: Modules({"e.tyx": "@define f():\nx\n@end\n",
                                 "main.tyx": repeat_within(lambda i: "@include e\n",
                                                           MODULE_ROOM,
                                                           '@import "./e.tyx" as e\n')}),
    # Variables: deepest, widest, most names.
    "vars_deep": lambda: Source("{{ length(v) }}\n", {"v": [nested(62, 1)] * 100_000}),
    "vars_deep_objects": lambda: Source("{{ length(v) }}\n",
                                        {"v": [{"a": nested(61, {"b": 1})}] * 50_000}),
    "vars_wide": lambda: Source("{{ length(v) }}\n", {"v": list(range(5_000_000))}),
    # Shared lists: ten million values from seventy Python lists.
    "vars_shared": lambda: Source("{{ length(v) }}\n", {"v": shared_lists(7)}),
    "vars_names": lambda: Source("{{ x }}\n", {f"v{i}": i for i in range(200_000)} | {"x": 1}),
    # Modules: the most, the deepest chain, imports, exports, re-exports, blocks.
    "modules_most": lambda: Modules(importing(255), files=True),
    "import_chain": lambda: Modules(import_chain(63), files=True),
    "frontmatter_imports": lambda: Modules(importing(
        255, body_of=lambda i: f"@define f{i}():\n{i}\n@end\n", directive=lambda i: "" if i else
        "---\nimports:\n" + "".join(f"  - path: ./m{j}.tyx\n" for j in range(255))
        + "---\n{{ f0() }}\n")),
    "import_directives": lambda: Modules({
        "m.tyx": "@define f():\nx\n@end\n",
        "main.tyx": repeat_within(lambda i: f'@import "./m.tyx" as a{i}\n', MODULE_ROOM)}),
    "exports": lambda: Modules({"m.tyx": repeat_within(
        lambda i: f"@define f{i}():\n{i}\n@end\n@export f{i}\n", MODULE_ROOM),
        "main.tyx": '@import "./m.tyx" as m\n{{ m.f0() }}\n'}),
    "duplicate_exports": lambda: body(lambda i: "@export f\n", "@define f():\nx\n@end\n"),
    "reexport_fan": lambda: Modules(reexport_fan(254, 30_000)),
    "blocks": lambda: Modules(block_chain(63), files=True),
    # The most diagnostics of each lint rule; unused-variable is fm_keys', duplicate-import and
    # unused-import import_directives', duplicate-export duplicate_exports'.
    "lint_empty_block": lambda: body(lambda i: "@if a:\n@end\n", variables={"a": True}),
    "lint_redundant_else": lambda: body(lambda i: "@if a:\nx\n@else:\nx\n@end\n",
                                        variables={"a": True}),
    "lint_unreachable_branch": lambda: body(lambda i: "@if 1 == 1:\nx\n@elseif 1 == 2:\nx\n@end\n"),
    "lint_unused_function": lambda: body(lambda i: f"@define f{i}():\nx\n@end\n",
                                         "@define g():\nx\n@end\n@export g\n"),
    "lint_shadow_variable": lambda: body(lambda i: "@for x in items:\ny\n@end\n",
                                         "---\nx: 1\nitems: []\n---\n"),
    "lint_legacy_interpolation": lambda: body(lambda i: "{x} ", variables={"x": 1}),
    # Everything at once.
    "combined": lambda: Modules({
        "m.tyx": exports(20_000),
        "main.tyx": repeat_within(lambda i: LINT_MIX.format(i), MODULE_ROOM - 1_000_000,
                                  "---\n" + repeat_within(FRONTMATTER_KEYS,
                                                          MAX_FRONTMATTER_BYTES - 100)
                                  + "items: [1]\n---\n" + '@import "./m.tyx" as m\n'
                                  + '@import "./m.tyx" as n\n{{ m.f0() }}\n')},
        variables={"a": True, "x": "v", "v": [nested(62, 1)] * 10_000}),
}


def limit_case(make):
    def runs():
        case = make()
        return case.runs(), case.size()
    return runs


CASES = {**EVALUATION_CASES, **{name: limit_case(make) for name, make in LIMIT_CASES.items()}}


def describe(run):
    try:
        result = run()
    except vorpel.TyxError as error:
        return f"error {error.code}: {error.message[:60]}"
    if isinstance(result, list):
        return f"{len(result)} paths"
    if isinstance(result, vorpel.LintResult):
        count = sum(len(report.diagnostics) for report in result.files)
        return f"{count} diagnostics{', truncated' if result.truncated else ''}"
    if isinstance(result, vorpel.CheckResult):
        return f"{len(result.warnings)} warnings"
    has_map = result.source_map is not None
    output = len(result.output) if result.output is not None else 0
    return (f"{output} bytes of output, {len(result.warnings)} warnings, "
            f"{'a' if has_map else 'no'} map")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--only", choices=sorted(CASES), help="run one case")
    options = parser.parse_args()
    print(f"{'case':26} {'function':16} {'size':>10} {'wall':>8} {'CPU':>8}  outcome")
    for name, make in CASES.items():
        if options.only and name != options.only:
            continue
        runs, size = make()
        for function, run in runs.items():
            started, cpu_started = time.perf_counter(), time.process_time()
            outcome = describe(run)
            elapsed, cpu = time.perf_counter() - started, time.process_time() - cpu_started
            print(f"{name:26} {function:16} {size:10} {elapsed:7.2f}s {cpu:7.2f}s  {outcome}")
            sys.stdout.flush()


if __name__ == "__main__":
    main()
