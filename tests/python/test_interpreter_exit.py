"""A daemon thread may be inside any call when the interpreter exits, and the process still exits
with the status the program asked for. CPython 3.11 to 3.13 end such a thread when it takes the
interpreter lock again, after the core's work or in Python code that reading an argument runs, by
unwinding its stack through the extension's frames. Each run is a fresh interpreter."""

import subprocess
import sys

import pytest

from support import child_environment

# Run in the child with the name of a call: four daemon threads make it over and over while the
# main thread exits with status 7.
CHILD = r'''
import sys, threading, time, vorpel
from support import Table

SOURCE = "@define f(x):\n{{ x }}\n@end\n" + "{{ f(1) }}\n" * 20000
MODULES = {"main.tyx": '@import "./lib.tyx"\n' + SOURCE, "lib.tyx": SOURCE}
VALUES = Table({f"k{i}": Table({"a": [i, str(i)]}) for i in range(2000)})
RESULT = vorpel.compile(SOURCE, source_map=True)
LINTED = vorpel.lint(SOURCE)
CALLS = {
    "compile": lambda: vorpel.compile(SOURCE, source_map=True),
    "compile_virtual": lambda: vorpel.compile_virtual(MODULES, "main.tyx"),
    "check": lambda: vorpel.check(SOURCE),
    "lint": lambda: vorpel.lint(SOURCE),
    "scan_imports": lambda: vorpel.scan_imports(SOURCE * 4),
    "compile reading a Mapping": lambda: vorpel.compile("{{ v.k1.a }}", vars={"v": VALUES}),
    "to_json": RESULT.to_json,
    "lint result to_dict": LINTED.to_dict,
}
call = CALLS[sys.argv[1]]


def loop():
    while True:
        call()


for _ in range(4):
    threading.Thread(target=loop, daemon=True).start()
time.sleep(0.3)
sys.exit(7)
'''

CALLS = ["compile", "compile_virtual", "check", "lint", "scan_imports",
         "compile reading a Mapping", "to_json", "lint result to_dict"]
RUNS = 4


@pytest.mark.parametrize("call", CALLS)
def test_daemon_threads_inside_a_call_let_the_interpreter_exit(call):
    children = [subprocess.Popen([sys.executable, "-c", CHILD, call], stdout=subprocess.PIPE,
                                 stderr=subprocess.PIPE, text=True, env=child_environment())
                for _ in range(RUNS)]
    ends = [(child.wait(timeout=120), child.communicate()[1][-2000:]) for child in children]
    assert ends == [(7, "")] * RUNS
