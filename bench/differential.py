"""Compares two builds of the package on generated templates: every outcome (the canonical JSON of
a result, or the code, message and span of an error) must be byte for byte the same.

    /usr/bin/python3 bench/differential.py OLD/python NEW/python [--count N] [--seed S]

Each build runs in a child process of its own that prints one line per template; the first
line that differs is shown with the template that made it. A refactor that keeps behaviour
passes with no difference at all.
"""

import argparse
import hashlib
import json
import os
import random
import subprocess
import sys

NAMES = ["name", "items", "numbers", "n", "flag", "none", "user", "empty", "missing"]
VARS = {
    "name": "World", "items": ["x", "y", "z"], "numbers": [3, -1.5, 0], "n": 42, "flag": True,
    "none": None, "user": {"admin": False, "name": "Ada", "tags": ["a"]}, "empty": "",
}
TEXTS = ["Hello ", "plain text", "  spaced  ", "é ü ✓", "\t", "# Title", "- item", "a\r",
         "}} stray", "{ brace", "\\{{ escaped }}", "`code`", "\u202e", ""]


class Generator:
    """Random templates from the language's constructs, nested a few levels deep."""

    def __init__(self, rng):
        self.rng = rng
        self.functions = []
        # A quarter of the templates may hold anything that fails; the others keep to what
        # compiles, so that most outcomes are results.
        self.faulty = rng.random() < 0.25
        self.names = NAMES if self.faulty else [n for n in NAMES if n != "missing"]
        self.in_message = False
        # Messages mode: the top level holds @message blocks and definitions only.
        self.messages = rng.random() < 0.2
        self.lib = True

    def pick(self, options):
        return self.rng.choice(options)

    def operand(self):
        roll = self.rng.random()
        if roll < 0.35:
            return self.pick(self.names)
        if roll < 0.5:
            return self.pick(["user.name", "user.admin", "user.tags"]
                             + (["user.missing", "n.x"] if self.faulty else []))
        if roll < 0.7:
            return '"' + self.pick(["a", "W", ",", "", "x y", "é"]) + '"'
        if roll < 0.8:
            return self.pick(["1", "0", "-2.5", "true", "false", "null"])
        return self.call(depth=1)

    def fault(self, probability):
        return self.faulty and self.rng.random() < probability

    # Each builtin with the kinds of its arguments: s a string, a an array, n a number, x any.
    BUILTINS = [("upper", "s"), ("lower", "s"), ("trim", "s"), ("replace", "sss"),
                ("split", "ss"), ("starts_with", "ss"), ("ends_with", "ss"), ("slice", "sn"),
                ("slice", "ann"), ("contains", "ax"), ("contains", "ss"), ("join", "as"),
                ("length", "a"), ("length", "s"), ("first", "a"), ("last", "a"),
                ("reverse", "a"), ("sort", "a"), ("unique", "a"), ("string", "x"),
                ("number", "s")]

    def argument(self, kind, depth):
        if self.fault(0.1) or kind == "x":
            return self.operand() if depth < 3 else self.pick(self.names)
        if kind == "n":
            return self.pick(["n", "1", "0", "-1", "2.5"])
        if kind == "a":
            return self.pick(["items", "numbers", "user.tags", 'split(name, "o")',
                              "reverse(items)"])
        nested = [f"upper({self.argument('s', depth + 1)})",
                  f"join(items, {self.argument('s', depth + 1)})"] if depth < 3 else []
        return self.pick(["name", "user.name", '"a"', '""', '"x y"', '"é"', "empty"] + nested)

    def call(self, depth=0):
        if self.functions and self.rng.random() < 0.3:
            name, arity = self.pick(self.functions)
            count = arity + 1 if self.fault(0.1) else arity
            args = [self.argument("s", depth) for _ in range(count)]
        elif self.fault(0.05):
            name, args = "nosuch", [self.pick(self.names)]
        else:
            name, kinds = self.pick(self.BUILTINS)
            args = [self.argument(kind, depth) for kind in kinds]
        return f"{name}({', '.join(args)})"

    def condition(self):
        leaf = lambda: self.pick([
            self.pick(self.names + ["user.admin", self.call()]), "!" + self.pick(self.names), f"{self.operand()} == {self.operand()}",
            f"{self.operand()} != {self.operand()}"])
        parts = [leaf() for _ in range(self.rng.randint(1, 3))]
        glue = [self.pick([" && ", " || "]) for _ in parts[1:]]
        return parts[0] + "".join(g + p for g, p in zip(glue, parts[1:]))

    def interpolation(self):
        inner = self.pick([self.pick([n for n in self.names if n != "user"]), "user.name",
                           self.call(), self.call(),
                           "lib.greet(name)" if self.lib else "name"]
                          + (["lib.nosuch()", "user"] if self.faulty else []))
        return "{{ " + inner + " }}"

    def line(self):
        return "".join(self.pick([self.pick(TEXTS), self.interpolation()])
                       for _ in range(self.rng.randint(1, 4))) + "\n"

    def top(self):
        if not self.messages or self.faulty:
            return self.body(0)
        out = []
        for _ in range(self.rng.randint(1, 4)):
            role = self.pick(['"user"', '"system"', "name"])
            self.in_message = True
            out.append(f"@message {role}:\n{self.body(1)}@end\n")
            self.in_message = False
        return "".join(out)

    def body(self, depth):
        out = []
        for _ in range(self.rng.randint(1, 5)):
            roll = self.rng.random()
            if depth >= 3 or roll < 0.45:
                out.append(self.line())
            elif roll < 0.6:
                out.append(f"@if {self.condition()}:\n{self.body(depth + 1)}")
                for _ in range(self.rng.randint(0, 2)):
                    out.append(f"@elseif {self.condition()}:\n{self.body(depth + 1)}")
                if self.rng.random() < 0.5:
                    out.append(f"@else:\n{self.body(depth + 1)}")
                out.append("@end\n")
            elif roll < 0.75:
                head = self.pick(["item in items", "x in numbers", "k, v in user", "i in user.tags"]
                                 + (["c in name", "q in missing"] if self.faulty else []))
                out.append(f"@for {head}:\n{self.body(depth + 1)}@end\n")
            elif roll < 0.85 and (depth == 0 or self.faulty):
                name = f"f{len(self.functions)}"
                params = self.pick([[], ["a"], ["a", 'b="-"'], ["a", "b=2", "c=true"]])
                arity = sum(1 for p in params if "=" not in p)
                out.append(f"@define {name}({', '.join(params)}):\n{self.body(depth + 1)}@end\n")
                self.functions.append((name, arity))
            elif roll < 0.92 and (self.faulty or not self.in_message) and self.messages:
                role = self.pick(['"user"', '"system"', "name"] + (['""', "n"] if self.faulty else []))
                self.in_message = True
                out.append(f"@message {role}:\n{self.body(depth + 1)}@end\n")
                self.in_message = False
            elif roll < 0.96:
                out.append(self.pick(["@include lib\n", "```\n{{ name }} @if\n```\n",
                                      "    indented {{ n }}\n", "\n\n"]))
            elif self.fault(0.5):
                out.append(self.pick(["@include lib\n", "@end\n", "@else:\n", "{{ unclosed\n",
                                      "@bogus\n", "@if:\n@end\n"]))
        return "".join(out)

    def frontmatter(self):
        if self.rng.random() < 0.6:
            return ""
        lines = [self.pick(["title: Notes", "count: 3", "tags: [a, b]", "name: Shadow",
                            "nested:\n  k: v", "type: tyx", "flag: yes", "n: 0x10"]
                           + (["bad: ["] if self.faulty else []))
                 for _ in range(self.rng.randint(1, 3))]
        return "---\n" + "\n".join(lines) + "\n---\n"

    def modules(self):
        lib = ('@define greet(who="you"):\nHello {{ who }}\n@end\n'
               + self.pick(["", "@export greet\n", "Body {{ name }}\n"]))
        entry = (self.frontmatter()
                 + ('@import "./lib.tyx" as lib\n' if not self.fault(0.4)
                    else self.pick(["", '@import "./nosuch.tyx"\n']))
                 + self.top())
        if self.rng.random() < 0.1:
            self.lib = False
            base = "Top\n@block head:\nDefault {{ name }}\n@end\n@block body:\n@end\n"
            entry = ('@extends "./base.tyx"\n@block head:\n' + self.body(2) + "@end\n")
            return {"main.tyx": entry, "lib.tyx": lib, "base.tyx": base}
        if self.rng.random() < 0.05:
            entry = entry.replace("\n", "\r\n")
        return {"main.tyx": entry, "lib.tyx": lib}


def outcome(call):
    import vorpel
    try:
        result = call()
    except vorpel.TyxError as error:
        span = error.span
        where = None if span is None else (span.offset, span.length, span.line, span.column)
        return json.dumps(["error", error.code, error.message, error.help, where])
    except Exception as error:  # noqa: BLE001 - any other failure is an outcome to compare too
        return json.dumps(["raised", type(error).__name__, str(error)])
    return result.to_json() if hasattr(result, "to_json") else json.dumps(result)


def run_cases(count, seed):
    import vorpel
    for index in range(count):
        modules = Generator(random.Random(seed * 1_000_003 + index)).modules()
        entry = modules["main.tyx"]
        outcomes = [
            outcome(lambda: vorpel.compile_virtual(modules, "main.tyx", vars=VARS)),
            outcome(lambda: vorpel.compile_virtual(modules, "main.tyx", vars=VARS,
                                                   source_map=True, sources_content=True)),
            outcome(lambda: vorpel.check_virtual(modules, "main.tyx", vars=VARS)),
            outcome(lambda: vorpel.lint_virtual(modules, "main.tyx", vars=VARS)),
            outcome(lambda: vorpel.compile(entry, vars=VARS, source_map=True)),
            outcome(lambda: vorpel.scan_imports(entry)),
        ]
        digest = hashlib.sha256("\0".join(outcomes).encode()).hexdigest()[:16]
        sys.stdout.write(f"{index} {digest}\n")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("builds", nargs="*", help="the two package directories to compare")
    parser.add_argument("--count", type=int, default=100_000)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--show", type=int, help="print the modules of one case")
    arguments = parser.parse_args()
    if arguments.show is not None:
        rng = random.Random(arguments.seed * 1_000_003 + arguments.show)
        print(json.dumps(Generator(rng).modules(), indent=1))
        return 0
    if len(arguments.builds) == 0:
        run_cases(arguments.count, arguments.seed)
        return 0
    old, new = arguments.builds
    children = []
    for build in (old, new):
        environment = {**os.environ, "PYTHONPATH": os.path.abspath(build)}
        children.append(subprocess.Popen(
            [sys.executable, __file__, "--count", str(arguments.count), "--seed",
             str(arguments.seed)], stdout=subprocess.PIPE, text=True, env=environment))
    compared = 0
    for left, right in zip(children[0].stdout, children[1].stdout):
        if left != right:
            case = int(left.split()[0])
            print(f"case {case} differs; show it with --seed {arguments.seed} --show {case}")
            for child in children:
                child.kill()
            return 1
        compared += 1
    for child in children:
        child.wait()
    if compared != arguments.count or any(child.returncode for child in children):
        print(f"a build stopped after {compared} of {arguments.count} cases")
        return 1
    print(f"{compared} templates, 6 calls each: identical outcomes")
    return 0


if __name__ == "__main__":
    sys.exit(main())
