"""Time of the name tables at sizes and with names that a template's author or caller chooses.

Run with the built package on the path, after building the tree's `crafted_names_bench`:
    PYTHONPATH=build/python /usr/bin/python3 bench/name_tables_bench.py [--build build]

The crafted names are seven-letter identifiers whose placement in a table's index, as it was
before the index took a secret of the process, had bits 11-18 zero: a table of 60,000 or 200,000
of them put every one in a single run of slots. The ordinary names are the first seven-letter
identifiers in counting order. Each case compiles `{{ x }}` with the names in `vars`, or in the
template's frontmatter (which holds at most 1 MB, so 90,000 names at most), and prints the least
CPU time of each set over the repeats and their ratio.

Then it calls, once, a function of 20,000, 60,000 and 200,000 parameters that each take their
default, and whose body reads every one: the call's frame binds each name once and the body looks
each up once, so the time per parameter should not grow with their number.
"""

import argparse
import pathlib
import subprocess
import time

import vorpel

ROOT = pathlib.Path(__file__).resolve().parent.parent


def names(build, kind, count):
    """`kind` is "names" for the crafted set, "ordinary" for the other."""
    program = ROOT / build / "bench" / "crafted_names_bench"
    listing = subprocess.run([str(program), kind, str(count)], check=True, capture_output=True,
                             text=True).stdout
    return listing.split()


def through_vars(name_list):
    variables = {name: 1 for name in name_list} | {"x": 1}
    return lambda: vorpel.compile("{{ x }}", vars=variables)


def through_frontmatter(name_list):
    source = "---\n" + "".join(f"{name}: 1\n" for name in name_list) + "x: 1\n---\n{{ x }}"
    return lambda: vorpel.compile(source)


def cpu_seconds(call):
    """The CPU time of one call, checked for its output."""
    start = time.process_time()
    result = call()
    spent = time.process_time() - start
    assert result.output.endswith("1\n"), result.output[-100:]
    return spent


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default="build", help="the tree that holds crafted_names_bench")
    parser.add_argument("--repeats", type=int, default=3)
    args = parser.parse_args()
    cases = [("vars", 60_000, through_vars), ("vars", 200_000, through_vars),
             ("frontmatter", 60_000, through_frontmatter),
             ("frontmatter", 90_000, through_frontmatter)]
    print(f"{'case':<12} {'names':>8} {'ordinary s':>11} {'crafted s':>10} {'ratio':>7}")
    for label, count, make in cases:
        calls = [make(names(args.build, kind, count)) for kind in ("ordinary", "names")]
        # Taken in turn, so that a machine's load weighs on both sets alike; the least of each.
        ordinary, crafted = (min(times) for times in zip(
            *([cpu_seconds(call) for call in calls] for _ in range(args.repeats))))
        print(f"{label:<12} {count:>8,} {ordinary:>11.3f} {crafted:>10.3f} {crafted / ordinary:>7.2f}",
              flush=True)

    print()
    print(f"{'parameters':>10} {'CPU s':>8} {'us each':>8}")
    for count in (20_000, 60_000, 200_000):
        params = ", ".join(f"p{i}=1" for i in range(count))
        body = "".join(f"{{{{ p{i} }}}}" for i in range(count))
        source = f"@define f({params}):\n{body}\n@end\n{{{{ f() }}}}\n"
        start = time.process_time()
        result = vorpel.compile(source)
        spent = time.process_time() - start
        assert result.output == "1" * count + "\n", result.output[-100:]
        print(f"{count:>10,} {spent:>8.3f} {spent / count * 1e6:>8.2f}", flush=True)


if __name__ == "__main__":
    main()
