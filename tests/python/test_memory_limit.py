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

HEADROOM = 16 * 2**20
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
