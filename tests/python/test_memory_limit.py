"""Running out of memory inside a call raises MemoryError; it never ends the process."""

import os
import subprocess
import sys

import pytest

pytestmark = pytest.mark.skipif(
    bool(os.environ.get("VORPEL_UNDER_SANITIZER")) or not sys.platform.startswith("linux"),
    reason="the sanitizer's shadow memory does not fit under an address-space limit")

# Each call runs in a child whose address space may grow only this far beyond what it uses when
# the limit is set, far less than the call needs; a crash of the child fails the test.
CHILD = """
import resource
import sys
import threading

import vorpel

HEADROOM = int(sys.argv[4]) * 2**20 if len(sys.argv) > 4 else 16 * 2**20
TEMPLATES = {
    "replace": '{{ replace(s, "a", "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa") }}',
    "loop": "@for x in items:\\n{{ s }}\\n@end\\n",
}
source = TEMPLATES[sys.argv[2]]
variables = {"s": "a" * 1_000_000, "items": list(range(45))}
CALLS = {
    "compile": lambda: vorpel.compile(source, vars=variables),
    "compile source_map": lambda: vorpel.compile(source, vars=variables, source_map=True),
    "compile_virtual": lambda: vorpel.compile_virtual({"a.tyx": source}, "a.tyx", vars=variables),
    "check": lambda: vorpel.check(source, vars=variables),
    "lint": lambda: vorpel.lint(source, vars=variables),
    "lint_virtual": lambda: vorpel.lint_virtual({"a.tyx": source}, "a.tyx", vars=variables),
    "state": lambda: vorpel.CompileResult({"warnings": [["w"] * 10] * 200_000}),
}
call = CALLS[sys.argv[1]]


def address_space():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmSize:"):
                return int(line.split()[1]) * 1024


def squeezed():
    limit = address_space() + HEADROOM
    resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
    try:
        call()
    except MemoryError:
        print("MemoryError")
    else:
        print("finished")


# In a fresh thread nothing has thrown yet, and the C++ runtime's per-thread storage is still to
# be allocated.
if sys.argv[3] == "fresh thread":
    worker = threading.Thread(target=squeezed)
    worker.start()
    worker.join()
else:
    squeezed()
"""


@pytest.mark.parametrize("thread", ["main thread", "fresh thread"])
@pytest.mark.parametrize("template", ["replace", "loop"])
@pytest.mark.parametrize("call", ["compile", "compile source_map", "compile_virtual", "check",
                                  "lint", "lint_virtual"])
def test_running_out_of_memory_raises_memory_error(call, template, thread):
    child = subprocess.run([sys.executable, "-c", CHILD, call, template, thread],
                           capture_output=True, text=True, timeout=120)
    assert (child.returncode, child.stdout) == (0, "MemoryError\n"), child.stderr


# The first C++ exception of a process or a thread needs the runtime's per-thread storage, which
# every call makes exist before its work: here the first throw comes from reading a state.
@pytest.mark.parametrize("thread", ["main thread", "fresh thread"])
@pytest.mark.parametrize("headroom", [3, 20, 60, 120])
def test_the_first_exception_of_a_thread_finds_its_storage(headroom, thread):
    child = subprocess.run([sys.executable, "-c", CHILD, "state", "loop", thread, str(headroom)],
                           capture_output=True, text=True, timeout=120)
    assert child.returncode == 0, child.stderr
    assert child.stdout in ("MemoryError\n", "finished\n")


# Every public function and every method of each result class, each run again and again with
# the address space limited to what it uses plus a headroom that grows from 1 MiB by a quarter
# at a time up to 200 MiB, until the call has finished twice in a row. The result is dropped
# under the limit too. Only the soft limit is lowered, so that it can be raised again between
# steps; each step runs on the child's main thread, or on a thread started for that step alone.
# MALLOC_ARENA_MAX=1 makes such a thread allocate from the main arena: an arena of its own is
# reserved before the limit is set and would leave it far more room than the headroom.
SQUEEZE = r'''
import os
import pickle
import resource
import sys
import tempfile
import threading

import vorpel
from vorpel import TyxError

GROUP, PLACE = sys.argv[1], sys.argv[2]
SOFT, HARD = resource.getrlimit(resource.RLIMIT_AS)
HEADROOMS = []
headroom = 1 << 20
while headroom <= 200 << 20:
    HEADROOMS.append(headroom)
    headroom = headroom * 5 // 4


def address_space():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmSize:"):
                return int(line.split()[1]) * 1024


def squeezed(call, headroom):
    resource.setrlimit(resource.RLIMIT_AS, (address_space() + headroom, HARD))
    try:
        value = call()
        del value
        return "result"
    except MemoryError:
        return "MemoryError"
    except TyxError as error:
        # The extension's own failure is never how running out of memory shows.
        return "TyxError" if error.code != "tyx::internal" else "internal " + error.message
    except BaseException as error:
        return "unexpected " + repr(error)
    finally:
        resource.setrlimit(resource.RLIMIT_AS, (SOFT, HARD))


def in_fresh_thread(call, headroom):
    outcome = ["no outcome"]
    def run():
        outcome[0] = squeezed(call, headroom)
    thread = threading.Thread(target=run)
    thread.start()
    thread.join()
    return outcome[0]


TEXT = "a" * 2000
LOOP = "@for x in xs:\n{{ s }} {{ x }}\n@end\n"
MESSAGES = "@for x in xs:\n@message user:\n{{ s }} {{ x }}\n@end\n@end\n"
VARS = {"s": TEXT, "xs": list(range(1000))}
LARGE_VARS = {"s": TEXT, "xs": list(range(20000))}
LINT = "@if x:\n@end\n" * 1100
MODULES = {"main.tyx": '@import "./lib.tyx" as lib\n{{ lib.f(s) }}\n' + LOOP,
           "lib.tyx": "@define f(v):\n{{ v }}\n@end\n", "lint.tyx": LINT}
directory = tempfile.mkdtemp()
for name, text in MODULES.items():
    with open(os.path.join(directory, name), "w") as file:
        file.write(text)
MAIN = os.path.join(directory, "main.tyx")


def functions():
    imports = "".join(f'@import "./m{i}.tyx" as m{i}\n' for i in range(2000))
    return {
        "compile": lambda: vorpel.compile(LOOP, vars=VARS),
        # Its output and the str made of it need about 100 MiB.
        "compile large": lambda: vorpel.compile(LOOP, vars=LARGE_VARS),
        "compile source_map": lambda: vorpel.compile(LOOP, vars=VARS, source_map=True,
                                                     sources_content=True),
        "compile messages": lambda: vorpel.compile(MESSAGES, vars=VARS),
        "compile_file": lambda: vorpel.compile_file(MAIN, vars=VARS),
        "compile_virtual": lambda: vorpel.compile_virtual(MODULES, "main.tyx", vars=VARS,
                                                          source_map=True),
        "check": lambda: vorpel.check(LOOP, vars=VARS),
        "check_file": lambda: vorpel.check_file(MAIN, vars=VARS),
        "check_virtual": lambda: vorpel.check_virtual(MODULES, "main.tyx", vars=VARS),
        "lint": lambda: vorpel.lint(LINT, vars={"x": 1}, rules={"nope": "warn"}),
        "lint_file": lambda: vorpel.lint_file(os.path.join(directory, "lint.tyx"), vars={"x": 1}),
        "lint_virtual": lambda: vorpel.lint_virtual(MODULES, "lint.tyx", vars={"x": 1}),
        "scan_imports": lambda: vorpel.scan_imports(imports),
    }


def hashed(value):
    try:
        return hash(value)
    except TypeError as error:
        if not str(error).startswith("unhashable type"):
            raise


def result_methods():
    edits = "[" + ",".join(f'{{"start": {i}, "end": {i + 1}, "new_text": "{"e" * 50}"}}'
                           for i in range(200)) + "]"
    diagnostic = vorpel.LintDiagnostic("r", "warn", "m" * 1000, help="h", fixable=True,
                                       span=vorpel.Span(1, 2, 3, 4), fix_edits_json=edits)
    samples = {
        "CompileResult markdown": vorpel.compile(LOOP, vars=VARS, source_map=True),
        "CompileResult messages": vorpel.compile(MESSAGES, vars=VARS),
        "CompileResult state": vorpel.CompileResult({"kind": "markdown", "output": "o",
                                                     "warnings": [["w"] * 10] * 2000}),
        "CheckResult": vorpel.CheckResult(["w" * 100] * 2000),
        "LintResult": vorpel.lint(LINT, vars={"x": 1}),
        "LintResult state": vorpel.LintResult({"files": [{"file": "f", "diagnostics": [{}] * 2000}],
                                               "extra": [[1] * 10] * 2000}),
        "LintDiagnostic": diagnostic,
        "LintFileReport": vorpel.LintFileReport("f", [diagnostic] * 10),
        "Span": vorpel.Span(1, 2, 3, 4),
        "Message": vorpel.Message("user", TEXT * 200),
    }
    calls = {}
    for name, sample in samples.items():
        kind, arguments = sample.__reduce__()
        pickled = pickle.dumps(sample)
        operations = {
            "to_dict": sample.to_dict,
            "to_json": sample.to_json,
            "repr": lambda sample=sample: repr(sample),
            "==": lambda sample=sample, other=kind(*arguments): sample == other,
            "hash": lambda sample=sample: hashed(sample),
            "pickle.dumps": lambda sample=sample: pickle.dumps(sample),
            "pickle.loads": lambda pickled=pickled: pickle.loads(pickled),
            "from state": lambda kind=kind, arguments=arguments: kind(*arguments),
        }
        for attribute in dir(kind):
            if not attribute.startswith("_") and not callable(getattr(sample, attribute)):
                operations[attribute] = lambda sample=sample, name=attribute: getattr(sample, name)
        for operation, call in operations.items():
            calls[f"{name} {operation}"] = call
    return calls


run_step = in_fresh_thread if PLACE == "thread" else squeezed
calls = {"functions": functions, "results": result_methods}[GROUP]()
for name, call in calls.items():
    finished = 0
    for headroom in HEADROOMS:
        print("step", name, "with", headroom >> 10, "KiB", flush=True)
        outcome = run_step(call, headroom)
        if outcome not in ("result", "MemoryError", "TyxError"):
            print("outcome", outcome, flush=True)
        finished = finished + 1 if outcome == "result" else 0
        if finished == 2:
            break
print("done", flush=True)
'''

GROUPS = ["functions", "results"]


@pytest.fixture(scope="module")
def squeezes():
    # The children run at once; each test waits for its own.
    environment = dict(os.environ, MALLOC_ARENA_MAX="1")
    children = {(group, place): subprocess.Popen([sys.executable, "-c", SQUEEZE, group, place],
                                                 stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                                 text=True, env=environment)
                for group in GROUPS for place in ("main", "thread")}
    yield children
    for child in children.values():
        child.kill()
        child.communicate()


@pytest.mark.parametrize("place", ["main", "thread"])
@pytest.mark.parametrize("group", GROUPS)
def test_every_call_survives_any_memory_limit(squeezes, group, place):
    stdout, stderr = squeezes[group, place].communicate(timeout=300)
    returncode = squeezes[group, place].returncode
    lines = stdout.splitlines()
    steps = [line for line in lines if line.startswith("step ")]
    where = steps[-1] if steps else "before the first step"
    assert returncode == 0 and lines[-1:] == ["done"], (where, returncode, stderr[-2000:])
    # Each unexpected outcome with the step it came from.
    unexpected = [(step, line) for step, line in zip(lines, lines[1:]) if line.startswith("outcome ")]
    assert unexpected == []
