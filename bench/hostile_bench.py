"""Time of templates built to make evaluation slow, each run once through the Python API.

Run with the built package on the path:
    PYTHONPATH=build/python /usr/bin/python3 bench/hostile_bench.py [--only NAME]

Each case prints its time, wall clock and CPU (the second is steadier on a shared machine), and
how it ended: the output's size, or the error's code and message. Within every limit none of
them should run much longer than a second or two.
"""

import argparse
import sys
import time

import vorpel


def replace_in_loop():
    """A 1 MB template: a loop over 1,000 pieces whose every iteration doubles a 1 MB text only
    to search it."""
    source = ('---\ns: "' + "a" * 1_000_000 + '"\nc: "' + ",".join(["x"] * 1_000) + '"\n---\n'
              '@for p in split(c, ","):\n'
              '@if contains(replace(s, "a", "bb"), "z"):\nfound\n@end\n'
              '@end\n')
    return lambda: vorpel.compile(source)


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
    return lambda: vorpel.compile_virtual(modules, "main.tyx", vars=variables)


def doubling_arguments():
    """A 249-byte template: a function that doubles its argument, called 20 deep inside six
    nested loops; every value is used only as an argument or in a condition."""
    calls = 20
    source = ("@define d(x):\n{{ x }}{{ x }}\n@end\n"
              + "".join("@for a in items:\n" for _ in range(6))
              + "@if " + "d(" * calls + "name" + ")" * calls + ' == "":\nx\n@end\n'
              + "".join("@end\n" for _ in range(6)))
    variables = {"items": ["x", "y", "z"], "name": "World"}
    return lambda: vorpel.compile(source, vars=variables)


def includes_after_map_overflow(source_map):
    """45 includes of a module whose body records 990,000 segments (989,010 one-byte
    interpolations, 990 lines of text; about 1 MB, so the includes stay within the output limit):
    the first two fill the entry's map past its cap, so no map is made."""
    module = '---\ne: "y"\n---\n' + ("{{ e }}" * 999 + "x\n") * 990
    entry = '@import "./m.tyx" as m\n' + "@include m\n" * 45
    modules = {"main.tyx": entry, "m.tyx": module}
    return lambda: vorpel.compile_virtual(modules, "main.tyx", source_map=source_map)


def loop_over(expression, variables, condition='{} == "z"'):
    """A loop of 990,000 iterations (99 of 10,000) that evaluates `expression` in a condition
    every time, over the given variables."""
    source = ("@for a in outer:\n@for b in inner:\n@if " + condition.format(expression)
              + ":\nz\n@end\n@end\n@end\n")
    variables = dict(variables, outer=list(range(99)), inner=list(range(10_000)))
    return lambda: vorpel.compile(source, vars=variables)


def nodes_in_loop(node, count):
    """A loop of 1,000,000 iterations (100 of 10,000) over a body of `count` copies of `node`,
    none of which writes anything."""
    source = "@for a in outer:\n@for b in inner:\n" + node * count + "@end\n@end\n"
    variables = {"outer": list(range(100)), "inner": list(range(10_000)), "empty": ""}
    return lambda: vorpel.compile(source, vars=variables)


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

CASES = {
    "replace_in_loop": replace_in_loop,
    "doubling_arguments": doubling_arguments,
    "modules_sharing_the_limit": modules_sharing_the_limit,
    "includes_with_map": lambda: includes_after_map_overflow(True),
    "includes_without_map": lambda: includes_after_map_overflow(False),
    **WORST_CASES,
    **VISIT_CASES,
}


def describe(run):
    try:
        result = run()
    except vorpel.TyxError as error:
        return f"error {error.code}: {error.message}"
    has_map = getattr(result, "source_map", None) is not None
    return (f"{len(result.output)} bytes of output, {len(result.warnings)} warnings, "
            f"{'a' if has_map else 'no'} map")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--only", choices=sorted(CASES), help="run one case")
    options = parser.parse_args()
    for name, make in CASES.items():
        if options.only and name != options.only:
            continue
        run = make()
        started, cpu_started = time.perf_counter(), time.process_time()
        outcome = describe(run)
        elapsed, cpu = time.perf_counter() - started, time.process_time() - cpu_started
        print(f"{name:22} {elapsed:8.2f} s ({cpu:.2f} s of CPU)  {outcome}")
        sys.stdout.flush()


if __name__ == "__main__":
    main()
