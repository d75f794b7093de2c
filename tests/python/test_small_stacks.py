"""Compiling many definitions needs no more stack than compiling a few: nothing the core builds
or frees recurses once per definition. Each case runs in a fresh interpreter, so that a stack
overflow fails the test instead of ending the test run."""

import os
import subprocess
import sys

import pytest

import vorpel

# Sanitizers make every frame several times larger.
STACK_SIZE = (1024 if os.environ.get("VORPEL_UNDER_SANITIZER") else 256) * 1024

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


@pytest.mark.parametrize("call,expected", CASES.values(), ids=CASES.keys())
def test_compiles_in_a_thread_with_a_small_stack(call, expected):
    package_root = os.path.dirname(os.path.dirname(vorpel.__file__))
    script = RUNNER.replace("CALL", call).replace("STACK_SIZE", str(STACK_SIZE))
    run = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                         env={**os.environ, "PYTHONPATH": package_root}, timeout=120)
    assert (run.returncode, run.stdout) == (0, f"ok {expected}\n"), run.stderr[-2000:]
