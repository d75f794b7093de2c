"""The outcome of a call does not depend on the stack of the thread that makes it: the deepest
input within every limit gives in a thread of 128 KiB, and on a main thread whose stack limit was
lowered to 1 MiB after the first call, what it gives on the main thread, and a thread with too
little stack left gets a clean error. Nested values, which the binding reads on the caller's own
stack, give the main thread's outcome or RecursionError in threads of any size. Compiling many
definitions needs no more stack than compiling a few: nothing the core builds or frees recurses
once per definition. Each case runs in a fresh interpreter, so that a stack overflow fails the
test instead of ending the test run."""

import functools
import hashlib
import json
import os
import subprocess
import sys

import pytest

from support import child_environment

# Sanitizers make every frame several times larger, and the binding's own frames, run on the
# calling thread, up to 16 times.
SCALE = 16 if os.environ.get("VORPEL_UNDER_SANITIZER") else 1
# The message of the RecursionError of a call that its thread's stack could not hold.
STACK_EXHAUSTED = "the calling thread has too little native stack left for this call"
STACK_SIZE = (1024 if SCALE > 1 else 256) * 1024

# Run in the child with CALL and STACK_SIZE replaced.
RUNNER = r'''
import threading, vorpel

DEFINES = "".join(f"@define f{i}(x):\n{{{{ x }}}}\n@end\n" for i in range(8_000))
LIBRARY = {"lib.tyx": DEFINES, "main.tyx": '@import "./lib.tyx"\n{{ f7999(2) }}'}

def run():
    global outcome
    try:
        outcome = "ok " + repr(CALL)
    except BaseException as error:
        outcome = "raised " + repr(error)

threading.stack_size(STACK_SIZE)
outcome = "not run"
worker = threading.Thread(target=run)
worker.start()
worker.join()
print(outcome)
'''

CASES = {
    "defines checked": ('vorpel.check(DEFINES + "{{ f7999(1) }}").warnings', "[]"),
    "defines compiled": ('vorpel.compile(DEFINES + "{{ f7999(1) }}").output', r"'1\n'"),
    "defines imported": ('vorpel.compile_virtual(LIBRARY, "main.tyx").output', r"'2\n'"),
}


def run_child(script, *args):
    return subprocess.run([sys.executable, "-c", script, *args], capture_output=True, text=True,
                          env=child_environment(), timeout=120)


@pytest.mark.parametrize("call,expected", CASES.values(), ids=CASES.keys())
def test_compiles_in_a_thread_with_a_small_stack(call, expected):
    run = run_child(RUNNER.replace("CALL", call).replace("STACK_SIZE", str(STACK_SIZE)))
    assert (run.returncode, run.stdout) == (0, f"ok {expected}\n"), run.stderr[-2000:]


# Run in the child with a table's name and where to run it: a thread's stack size in KiB, 0 for
# the main thread, or "limited" for the main thread with its stack limit lowered to 1 MiB after a
# first call. Prints one line per case, the case's name and a digest of its outcome (the result's
# canonical JSON, or the error's type, code, message and span), as each case finishes.
TABLES = r'''
import hashlib, json, pickle, resource, sys, threading, vorpel
from support import Row, Table, nested


def chain(count, link, last):
    """Modules m0.tyx to m{count - 1}.tyx, each but the last made by `link(i)`."""
    modules = {f"m{i}.tyx": link(i) for i in range(count - 1)}
    modules[f"m{count - 1}.tyx"] = last
    return modules


def deepest(sevens):
    """128 functions nesting 7 loops (the first `sevens`) or 6 each around the call of the next,
    called from inside 64 loops: 1024 render levels, the most the evaluator allows, for 63."""
    loops = lambda i: 7 if i < sevens else 6
    defines = "".join(f"@define f{i}(v, vs):\n" + "@for it in vs:\n" * loops(i)
                      + (f"{{{{ f{i + 1}(trim(v), vs) }}}}\n" if i < 127 else "{{ v }}\n")
                      + "@end\n" * (loops(i) + 1) for i in range(128))
    return defines + "@for it in vs:\n" * 64 + "{{ f0(v, vs) }}\n" + "@end\n" * 64


class Rebuilt:
    """Pickles as `kind(state)`, so that unpickling builds a result from `state`."""

    def __init__(self, kind, state):
        self.kind, self.state = kind, state

    def __reduce__(self):
        return (self.kind, (self.state,))


WRAPS = {"dicts": lambda v: {"a": v}, "lists": lambda v: [v], "tuples": lambda v: (v,),
         "Mappings": lambda v: Table({"a": v}), "Sequences": lambda v: Row([v])}


def nest(depth, kind="lists"):
    return nested(depth, WRAPS[kind])


VARS = {"v": "x", "vs": [1]}
# 128 functions of 6 loops each around the call of the next: 896 render levels.
LOOPS_896 = "".join(f"@define f{i}(v, vs):\n" + "@for it in vs:\n" * 6
                    + (f"{{{{ f{i + 1}(trim(v), vs) }}}}\n" if i < 127 else "{{ v }}\n")
                    + "@end\n" * 7 for i in range(128)) + "{{ f0(v, vs) }}\n"
DEEPEST = deepest(63)
NESTED = "@if v:\n" * 32 + "@for it in vs:\n" * 32 + "{{ v }}\n" + "@end\n" * 64
CALLS = "".join(f"@define g{i}(v):\n{{{{ g{i + 1}(v) }}}}\n@end\n" for i in range(127))
CALLS += "@define g127(v):\n{{ v }}\n@end\n{{ g0(v) }}\n"
ARGUMENTS = "trim(" * 65 + "v" + ")" * 65
INCLUDES = chain(64, lambda i: f'@import "./m{i + 1}.tyx" as m\n@include m\n', DEEPEST)
QUALIFIED = chain(64, lambda i: f'@import "./m{i + 1}.tyx" as m{i + 1}\n@define g{i}(v):\n'
                  f'{{{{ m{i + 1}.g{i + 1}(v) }}}}\n@end\n@export g{i}\n{{{{ g{i}(v) }}}}\n',
                  "@define g63(v):\n{{ v }}\n@end\n@export g63\n")
EXTENDS = chain(64, lambda i: f'---\nk{i}: {i}\n---\n@extends "./m{i + 1}.tyx"\n'
                f'@block b{i}:\n{{{{ v }}}}\n@end\n',
                "---\nroot: 1\n---\n" + "".join(f"@block b{i}:\n@end\n" for i in range(63)))
YAML_BLOCKS = ("---\n" + "".join(" " * i + f"k{i}:\n" for i in range(63)) + " " * 63
               + "leaf: 1\n---\n{{ v }}\n")
YAML_FLOW = "---\nk: " + "[" * 64 + "1" + "]" * 64 + "\n---\n{{ v }}\n"
STATE = {"dependencies": [], "kind": "markdown", "output": "x\n", "warnings": []}

# The deepest inputs of every limit, which the core works through.
DEEP = {
    "render depth of 896": lambda: vorpel.compile(LOOPS_896, vars=VARS),
    "render depth of 896, source map":
        lambda: vorpel.compile(LOOPS_896, vars=VARS, source_map=True),
    "render depth": lambda: vorpel.compile(DEEPEST, vars=VARS),
    "render depth, source map": lambda: vorpel.compile(DEEPEST, vars=VARS, source_map=True),
    "render depth, one level more": lambda: vorpel.compile(deepest(64), vars=VARS),
    "render depth checked": lambda: vorpel.check(DEEPEST, vars=VARS),
    "render depth linted": lambda: vorpel.lint(DEEPEST, vars=VARS),
    "directive nesting": lambda: vorpel.compile(NESTED, vars=VARS, source_map=True),
    "directive nesting, one level more":
        lambda: vorpel.compile("@if v:\n" + NESTED + "@end\n", vars=VARS),
    "directive nesting linted": lambda: vorpel.lint(NESTED, vars=VARS),
    "directive nesting scanned": lambda: vorpel.scan_imports(NESTED),
    "user call depth": lambda: vorpel.compile(CALLS, vars=VARS, source_map=True),
    "call nesting": lambda: vorpel.compile("{{ " + ARGUMENTS + " }}", vars=VARS, source_map=True),
    "call nesting, one level more":
        lambda: vorpel.compile("{{ trim(" + ARGUMENTS + ") }}", vars=VARS),
    "includes of 64 modules":
        lambda: vorpel.compile_virtual(INCLUDES, "m0.tyx", vars=VARS, source_map=True),
    "includes of 64 modules checked": lambda: vorpel.check_virtual(INCLUDES, "m0.tyx", vars=VARS),
    "includes of 64 modules linted": lambda: vorpel.lint_virtual(INCLUDES, "m0.tyx", vars=VARS),
    "calls through 64 modules":
        lambda: vorpel.compile_virtual(QUALIFIED, "m0.tyx", vars=VARS, source_map=True),
    "extends chain of 64":
        lambda: vorpel.compile_virtual(EXTENDS, "m0.tyx", vars=VARS, source_map=True),
    "extends chain of 64 linted": lambda: vorpel.lint_virtual(EXTENDS, "m0.tyx", vars=VARS),
    "frontmatter block nesting": lambda: vorpel.compile(YAML_BLOCKS, vars=VARS),
    "frontmatter flow nesting": lambda: vorpel.compile(YAML_FLOW, vars=VARS),
    "frontmatter YAML recursion":
        lambda: vorpel.compile("---\nk: " + "[" * 127 + "1" + "]" * 127 + "\n---\n"),
    "frontmatter flow too deep":
        lambda: vorpel.compile("---\nk: " + "[" * 1024 + "]" * 1024 + "\n---\n"),
    "vars depth": lambda: vorpel.compile("{{ a }}", vars={"a": nest(64)}),
    "vars depth, one level more": lambda: vorpel.compile("{{ a }}", vars={"a": nest(65)}),
    "result of the deepest template pickled": lambda: pickle.loads(pickle.dumps(
        vorpel.compile_virtual(INCLUDES, "m0.tyx", vars=VARS, source_map=True))),
}

# Values nested as deep as the binding reads (255 levels below the value passed, and one more),
# which it reads, and turns back into Python objects, on the caller's own stack.
BINDING = {}
for kind in WRAPS:
    for depth in (254, 256):
        BINDING[f"vars of {depth} {kind}"] = (
            lambda kind=kind, depth=depth: vorpel.compile("{{ a }}", vars={"a": nest(depth, kind)}))
        BINDING[f"result state of {depth} {kind}"] = (
            lambda kind=kind, depth=depth: vorpel.CompileResult({**STATE, "x": nest(depth, kind)}))
        BINDING[f"lint result state of {depth} {kind}"] = (
            lambda kind=kind, depth=depth: vorpel.LintResult({"x": nest(depth, kind)}))
        # Python's own pickler cannot write a Mapping or Sequence nested this deep.
        if kind in ("dicts", "lists", "tuples"):
            BINDING[f"result state of {depth} {kind} unpickled"] = (
                lambda kind=kind, depth=depth: pickle.loads(pickle.dumps(
                    Rebuilt(vorpel.CompileResult, {**STATE, "x": nest(depth, kind)}))))
            BINDING[f"lint result state of {depth} {kind} unpickled"] = (
                lambda kind=kind, depth=depth: pickle.loads(pickle.dumps(
                    Rebuilt(vorpel.LintResult, {"x": nest(depth, kind)}))))
DEEP_RESULTS = {kind: vorpel.CompileResult({**STATE, "x": nest(254, kind)})
                for kind in ("dicts", "lists")}
DEEP_LINT_RESULT = vorpel.LintResult({"x": nest(254, "dicts")})
for kind, result in DEEP_RESULTS.items():
    BINDING[f"result of 254 {kind}, to_json"] = result.to_json
    BINDING[f"result of 254 {kind}, to_dict"] = result.to_dict
    BINDING[f"result of 254 {kind}, compared"] = (
        lambda result=result: result == vorpel.CompileResult(json.loads(result.to_json())))
    BINDING[f"result of 254 {kind}, pickled"] = (
        lambda result=result: pickle.loads(pickle.dumps(result)))
BINDING["lint result of 254 dicts, to_json"] = DEEP_LINT_RESULT.to_json
BINDING["lint result of 254 dicts, to_dict"] = DEEP_LINT_RESULT.to_dict
BINDING["lint result of 254 dicts, pickled"] = lambda: pickle.loads(pickle.dumps(DEEP_LINT_RESULT))
DIAGNOSTIC = {"rule": "empty-block", "severity": "warn", "message": "m",
              "fix_edits": [nest(250, "dicts")]}
BINDING["lint result of 254 dicts, its diagnostic"] = lambda: vorpel.LintResult(
    {"files": [{"file": "a.tyx", "diagnostics": [DIAGNOSTIC]}]}).files[0].diagnostics[0]
# The results' last references are dropped in the case, so they are freed where it runs.
DROPPED = [vorpel.CompileResult({**STATE, "x": nest(254, "dicts")}), vorpel.LintResult(
    {"x": nest(254, "dicts"), "files": [{"file": "a.tyx", "diagnostics": [DIAGNOSTIC]}]})]
BINDING["results of 254 dicts freed"] = DROPPED.clear


def outcome(call):
    try:
        result = call()
    except Exception as error:
        text = repr((type(error).__name__, getattr(error, "code", None), str(error),
                     repr(getattr(error, "span", None))))
    else:
        text = result.to_json() if hasattr(result, "to_json") else repr(result)
    return hashlib.sha256(text.encode()).hexdigest()


def run_all():
    for name, call in globals()[sys.argv[1]].items():
        print(json.dumps([name, outcome(call)]), flush=True)


if sys.argv[2] == "limited":
    vorpel.compile("x")
    resource.setrlimit(resource.RLIMIT_STACK,
                       (1 << 20, resource.getrlimit(resource.RLIMIT_STACK)[1]))
    run_all()
elif int(sys.argv[2]):
    threading.stack_size(int(sys.argv[2]) * 1024)
    worker = threading.Thread(target=run_all)
    worker.start()
    worker.join()
else:
    run_all()
'''

# The digest of the outcome of a call that its thread's stack could not hold.
STACK_EXHAUSTED_DIGEST = hashlib.sha256(
    repr(("RecursionError", None, STACK_EXHAUSTED, "None")).encode()).hexdigest()


def table_outcomes(table, where):
    run = run_child(TABLES, table, str(where))
    outcomes = dict(json.loads(line) for line in run.stdout.splitlines())
    return run.returncode, outcomes, run.stderr[-2000:]


@functools.cache
def main_thread_outcomes(table):
    returncode, outcomes, stderr = table_outcomes(table, 0)
    assert returncode == 0, stderr
    return outcomes


@pytest.mark.parametrize("stack_kib", [SCALE * 128, SCALE * 256, SCALE * 1024])
def test_deepest_inputs_give_the_main_thread_outcome_in_small_threads(stack_kib):
    returncode, outcomes, stderr = table_outcomes("DEEP", stack_kib)
    # A crash shows as the cases left without an outcome, the one it happened in first.
    assert (returncode, outcomes) == (0, main_thread_outcomes("DEEP")), stderr


def assert_main_thread_outcomes_or_stack_exhausted(outcomes, table):
    expected = main_thread_outcomes(table)
    assert outcomes.keys() == expected.keys()
    finished = [name for name in outcomes if outcomes[name] != STACK_EXHAUSTED_DIGEST]
    assert {name: outcomes[name] for name in finished} == {name: expected[name] for name in finished}


@pytest.mark.parametrize("table", ["DEEP", "BINDING"])
def test_every_input_gives_the_main_thread_outcome_under_a_stack_limit_lowered_after_a_call(
        table):
    returncode, outcomes, stderr = table_outcomes(table, "limited")
    assert returncode == 0, stderr
    if table == "BINDING" and SCALE > 1:
        # The sanitizer's frames make the binding's reads of nested values need more than 1 MiB.
        assert_main_thread_outcomes_or_stack_exhausted(outcomes, table)
    else:
        assert outcomes == main_thread_outcomes(table)


@pytest.mark.parametrize("stack_kib", [SCALE * kib for kib in range(64, 129, 8)])
def test_nested_values_give_the_main_thread_outcome_or_a_recursion_error_in_small_threads(
        stack_kib):
    returncode, outcomes, stderr = table_outcomes("BINDING", stack_kib)
    assert returncode == 0, stderr
    assert_main_thread_outcomes_or_stack_exhausted(outcomes, "BINDING")


# Run in the child with a margin in KiB (0 for none) and a count of levels: the main thread
# recurses through C that many levels, lowers its stack limit to the margin below the stack's
# deepest page, and then reads a state of nested Mappings and turns a nested state back into
# Python objects, twice. Prints how far the stack had grown, in KiB, and each outcome: "same" for
# the one of a shallow call, else its text.
DEEP_MAIN_THREAD = r"""
import json, resource, sys, vorpel
from support import Table, nested


def stack_mapped():
    for line in open("/proc/self/maps"):
        if line.rstrip().endswith("[stack]"):
            low, high = (int(part, 16) for part in line.split()[0].split("-"))
            return high - low


MAPPINGS = nested(254, lambda value: Table({"a": value}))
RESULT = vorpel.CompileResult({"x": nested(254, lambda value: {"a": value})})


def outcomes():
    found = []
    for call in [lambda: vorpel.CompileResult({"x": MAPPINGS}).to_json(),
                 lambda: repr(RESULT.to_dict())] * 2:
        try:
            found.append(call())
        except RecursionError as error:
            found.append(type(error).__name__ + ": " + str(error))
    return found


def bottom():
    reached = stack_mapped()
    if int(sys.argv[1]):
        resource.setrlimit(resource.RLIMIT_STACK, (reached + (int(sys.argv[1]) << 10),
                                                   resource.getrlimit(resource.RLIMIT_STACK)[1]))
    return reached >> 10, outcomes()


def down(levels):
    # Each level goes through C, so that it takes native stack.
    return bottom() if levels == 0 else list(map(down, [levels - 1]))[0]


sys.setrecursionlimit(100_000)
shallow = outcomes()
reached, deep = down(int(sys.argv[2]))
print(json.dumps([reached, ["same" if text == before else text
                            for text, before in zip(deep, shallow)]]))
"""

# Past the top MiB that it counts on, the main thread's room depends on the limit of the moment.
@pytest.mark.skipif(not os.path.exists("/proc/self/maps"), reason="reads how far the stack grew")
@pytest.mark.parametrize("margin_kib,allowed", [
    (0, {"same"}),
    (SCALE * 96, {"same", f"RecursionError: {STACK_EXHAUSTED}"}),
    (SCALE * 48, {"same", f"RecursionError: {STACK_EXHAUSTED}"}),
])
def test_a_main_thread_deep_in_its_stack_is_held_to_its_current_limit(margin_kib, allowed):
    run = run_child(DEEP_MAIN_THREAD, str(margin_kib), "3000")
    assert run.returncode == 0, run.stderr[-2000:]
    reached_kib, outcomes = json.loads(run.stdout)
    assert reached_kib > 1024 + 64
    assert set(outcomes) <= allowed


# A thread of Python's smallest stack size: what the binding itself needs does not fit.
SMALLEST_STACK = r'''
import threading, vorpel

def run():
    global outcome
    try:
        vorpel.compile("{{ v }}", vars={"v": [[["x"]]]})
    except RecursionError as error:
        outcome = str(error)

threading.stack_size(32 * 1024)
outcome = "finished"
worker = threading.Thread(target=run)
worker.start()
worker.join()
print(outcome)
'''


@pytest.mark.skipif(bool(SCALE > 1), reason="the sanitizer's own frames do not fit in 32 KiB")
def test_a_thread_with_too_little_stack_gets_a_recursion_error():
    run = run_child(SMALLEST_STACK)
    assert (run.returncode, run.stdout) == (0, STACK_EXHAUSTED + "\n"), run.stderr


# A result's state may nest 254 levels; turning it into Python objects in a thread of 64 to
# 112 KiB either finishes or fails with RecursionError, never past the stack's end.
DEEP_STATE = r'''
import pickle, threading, vorpel

deep = "w"
for _ in range(254):
    deep = [deep]
result = vorpel.CompileResult({"warnings": [deep]})
outcomes = []

def run(method):
    try:
        method()
        outcomes.append("finished")
    except RecursionError as error:
        outcomes.append(str(error))

for kib in (64, 80, 96, 112):
    for method in (result.to_dict, lambda: pickle.loads(pickle.dumps(result))):
        threading.stack_size(kib * 1024)
        worker = threading.Thread(target=run, args=(method,))
        worker.start()
        worker.join()
print(sorted(set(outcomes)))
'''


@pytest.mark.skipif(bool(SCALE > 1), reason="the sanitizer's own frames do not fit in 64 KiB")
def test_a_deep_result_in_a_small_thread_gets_a_recursion_error():
    run = run_child(DEEP_STATE)
    assert run.returncode == 0, run.stderr[-2000:]
    assert run.stdout in (f"{[STACK_EXHAUSTED]}\n", f"{['finished', STACK_EXHAUSTED]}\n")
