"""Throughput of vorpel through its Python API, against Jinja2 doing the same work.

Run with the built package on the path:
    PYTHONPATH=build/python /usr/bin/python3 bench/python_bench.py [--seconds S]

Every figure comes from one run of this script: calls per second and MB/s of source for each
case, the ratios against Jinja2's compile-and-render from source and against its render of a
precompiled template, and the throughput of 8 threads compiling the prompt at once against one.
"""

import argparse
import hashlib
import json
import pathlib
import sys
import threading
import time

import jinja2

import vorpel

BENCH_DIR = pathlib.Path(__file__).resolve().parent
# The prompt and its variables are shared with bench/pipeline_bench.cpp.
PROMPT_VARS = json.loads((BENCH_DIR / "prompt_vars.json").read_text())
# The Tyx prompt ends in plain prose after this line; the Jinja2 prompt ends in the same prose.
LAST_TEMPLATE_LINE = "Written for {{ audience }} in a {{ tone }} tone, locale {{ user.locale }}.\n\n"


def prompt_template():
    """A realistic ~4 KB prompt: frontmatter, interpolations, conditions, a loop of 20, two
    functions; and the same work written for Jinja2."""
    source = (BENCH_DIR / "prompt.tyx").read_text()
    jinja_head = (
        "{% macro bullet(label, state=\"open\") %}- [{{ state }}] {{ label }}{% endmacro %}"
        "{% macro greeting(person) %}Hello {{ person | upper }}, here is your plan."
        "{% endmacro %}"
        "# {{ title }} (v{{ version }})\n\n"
        "{{ greeting(user.name) }}\n\n"
        "{% if user.role == \"admin\" %}You can change every plan in the workspace.\n"
        "{% elif user.role == \"editor\" %}You can change the plans you own.\n"
        "{% else %}You can read the plans.\n{% endif %}\n"
        "{% if urgent %}**Some items are urgent.** Deal with them first.\n{% endif %}\n"
        "## Items\n\n"
        "{% for item in items %}{% if item.done %}{{ bullet(item.name, \"done\") }}\n"
        "{% else %}{{ bullet(item.name) }}\n{% endif %}{% endfor %}\n"
    )
    return source, jinja_head + LAST_TEMPLATE_LINE + prompt_prose(source)


def prompt_prose(source):
    """The plain prose that ends the prompt."""
    return source.split(LAST_TEMPLATE_LINE, 1)[1]


def document_template():
    """A 1.2 MB Markdown document with 20,000 interpolations: 10,000 lines that name two
    variables, each followed by a line of plain prose."""
    prose = "Plain prose between them, long as the sentences of an ordinary document are.\n"
    source = "".join(f"Line {i} says {{{{ user }}}} about {{{{ title }}}}.\n{prose}"
                     for i in range(10_000))
    return source, source


def text_template():
    """A 10 MB template of plain text only."""
    prose = prompt_prose((BENCH_DIR / "prompt.tyx").read_text())
    return (prose * (10_000_000 // len(prose) + 1))[:10_000_000]


def rate(function, seconds):
    """Calls per second of `function`, timed over at least `seconds` and 3 calls."""
    function()
    calls = 0
    start = time.perf_counter()
    while True:
        function()
        calls += 1
        elapsed = time.perf_counter() - start
        if elapsed >= seconds and calls >= 3:
            return calls / elapsed


def threaded_rate(function, threads, seconds):
    """Calls per second of `threads` threads each calling `function` for about `seconds`."""
    counts = [0] * threads
    barrier = threading.Barrier(threads + 1)
    stop = threading.Event()

    def worker(index):
        barrier.wait()
        while not stop.is_set():
            function()
            counts[index] += 1

    pool = [threading.Thread(target=worker, args=(i,)) for i in range(threads)]
    for thread in pool:
        thread.start()
    barrier.wait()
    start = time.perf_counter()
    time.sleep(seconds)
    stop.set()
    for thread in pool:
        thread.join()
    return sum(counts) / (time.perf_counter() - start)


def lock_ceiling(call_seconds, seconds):
    """8 threads against 1 for a call of `call_seconds` that holds the interpreter lock only to
    enter and leave: hashlib hashes a large buffer with the lock released. No extension whose
    calls take that long can scale better on this machine and interpreter."""
    size = 65536
    while True:
        data = b"x" * size
        start = time.perf_counter()
        for _ in range(20):
            hashlib.sha256(data)
        if (time.perf_counter() - start) / 20 >= call_seconds or size >= 1 << 26:
            break
        size *= 2
    # Interpolate down to the call's length from the doubling that passed it.
    per_byte = (time.perf_counter() - start) / 20 / size
    data = b"x" * max(4096, int(call_seconds / per_byte))
    one = threaded_rate(lambda: hashlib.sha256(data), 1, seconds)
    eight = threaded_rate(lambda: hashlib.sha256(data), 8, seconds)
    return eight / one


def verdict(value, target):
    return "meets" if value >= target else "MISSES"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=1.0, help="time per measurement")
    seconds = parser.parse_args().seconds

    env = jinja2.Environment(autoescape=False, keep_trailing_newline=True)
    prompt, prompt_jinja = prompt_template()
    document, document_jinja = document_template()
    text = text_template()
    document_vars = {"user": "Ada", "title": "the weekly plan"}
    prompt_jinja_vars = {**PROMPT_VARS, "title": "Weekly planning assistant", "version": 3,
                         "tone": "friendly"}

    # The two engines must do the same work before their speed is compared.
    assert "Hello ADA" in vorpel.compile(prompt, vars=PROMPT_VARS).output
    assert "Hello ADA" in env.from_string(prompt_jinja).render(prompt_jinja_vars)
    assert vorpel.compile(document, vars=document_vars).output.count(
        "says Ada about the weekly plan.") == 10_000

    print(f"vorpel {getattr(vorpel, '__version__', '')} on Python {sys.version.split()[0]}, "
          f"{seconds:g} s per measurement")
    print()
    print(f"{'case':<48}{'calls/s':>12}{'MB/s':>10}")

    def row(label, calls_per_second, size):
        print(f"{label:<48}{calls_per_second:>12.1f}{calls_per_second * size / 1e6:>10.1f}")
        return calls_per_second

    cases = {}
    for name, source, jinja_source, variables, jinja_vars in [
        ("(a) 4 KB prompt", prompt, prompt_jinja, PROMPT_VARS, prompt_jinja_vars),
        ("(b) 1.2 MB, 20,000 interpolations", document, document_jinja, document_vars,
         document_vars),
    ]:
        size = len(source.encode())
        # vorpel runs first: what Jinja2 leaves in the allocator's free lists after compiling a
        # large template would otherwise spare vorpel's calls from faulting in fresh pages.
        ours = row(f"{name}: vorpel compile",
                   rate(lambda: vorpel.compile(source, vars=variables), seconds), size)
        template = env.from_string(jinja_source)
        cases[name] = (
            ours,
            row(f"{name}: Jinja2 from source",
                rate(lambda: env.from_string(jinja_source).render(jinja_vars), seconds), size),
            row(f"{name}: Jinja2 precompiled", rate(lambda: template.render(jinja_vars), seconds),
                size),
        )
    text_size = len(text.encode())
    text_rate = row("(c) 10 MB text: vorpel compile", rate(lambda: vorpel.compile(text), seconds),
                    text_size)

    threads = {}
    for name, source, variables in [("(a)", prompt, PROMPT_VARS),
                                    ("(b)", document, document_vars)]:
        one = threaded_rate(lambda: vorpel.compile(source, vars=variables), 1, seconds)
        eight = threaded_rate(lambda: vorpel.compile(source, vars=variables), 8, seconds)
        print(f"{name + ' 1 thread':<48}{one:>12.1f}")
        print(f"{name + ' 8 threads':<48}{eight:>12.1f}")
        threads[name] = (one, eight)
    one, eight = threads["(a)"]
    ceiling = lock_ceiling(1 / one, seconds)

    print()
    ours, source_rate, precompiled_rate = cases["(a) 4 KB prompt"]
    print(f"(a) against Jinja2 from source: {ours / source_rate:8.2f}x  "
          f"(target 50x: {verdict(ours / source_rate, 50)})")
    print(f"(a) against Jinja2 precompiled: {ours / precompiled_rate:8.2f}x  "
          f"(target 2.5x: {verdict(ours / precompiled_rate, 2.5)})")
    ours, source_rate, precompiled_rate = cases["(b) 1.2 MB, 20,000 interpolations"]
    print(f"(b) against Jinja2 from source: {ours / source_rate:8.2f}x")
    print(f"(b) against Jinja2 precompiled: {ours / precompiled_rate:8.2f}x  "
          f"(target 0.5x: {verdict(ours / precompiled_rate, 0.5)})")
    text_mb = text_rate * text_size / 1e6
    print(f"(c) throughput:                 {text_mb:8.1f} MB/s (target 1000: "
          f"{verdict(text_mb, 1000)})")
    print(f"(a) 8 threads against 1:        {eight / one:8.1f}x  "
          f"(target 80% of the ceiling below: {verdict(eight / one, 0.8 * ceiling)})")
    print(f"    lock-free call of equal length: {ceiling:8.1f}x  (this machine's ceiling)")
    one, eight = threads["(b)"]
    print(f"(b) 8 threads against 1:        {eight / one:8.1f}x  "
          f"(target 5x: {verdict(eight / one, 5)})")

if __name__ == "__main__":
    main()
