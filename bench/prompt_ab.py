"""The cost of one `vorpel.compile` of the 4 KB prompt of python_bench.py case (a), for two builds
loaded into one process and timed in alternating batches, so that the machine's drift weighs on
both alike.

    /usr/bin/python3 bench/prompt_ab.py BUILD_A BUILD_B [--batches N] [--calls N]

Each BUILD is a build folder whose python/vorpel/ holds the extension. The script times batches
of calls on the main thread and then on a thread of the usual 8 MiB, A and B in turns, and prints
for each the median microseconds per call of A and of B and the median of B's cost over A's in
neighbouring batches.
"""

import argparse
import importlib.machinery
import importlib.util
import json
import statistics
import threading
import time
from pathlib import Path

BENCH_DIR = Path(__file__).resolve().parent


def load_extension(build, name):
    """The extension of `build` as a module of its own, beside any other build's."""
    path = next((Path(build) / "python" / "vorpel").glob("_vorpel*.so"))
    loader = importlib.machinery.ExtensionFileLoader(f"{name}._vorpel", str(path))
    spec = importlib.util.spec_from_file_location(f"{name}._vorpel", path, loader=loader)
    module = importlib.util.module_from_spec(spec)
    loader.exec_module(module)
    return module


def batch_cost(compile_prompt, calls):
    start = time.perf_counter()
    for _ in range(calls):
        compile_prompt()
    return (time.perf_counter() - start) / calls * 1e6


def compare(a, b, batches, calls):
    costs = {"A": [], "B": []}
    ratios = []
    for index in range(batches):
        order = [("A", a), ("B", b)] if index % 2 == 0 else [("B", b), ("A", a)]
        figures = {label: batch_cost(function, calls) for label, function in order}
        for label, cost in figures.items():
            costs[label].append(cost)
        ratios.append(figures["B"] / figures["A"])
    return statistics.median(costs["A"]), statistics.median(costs["B"]), statistics.median(ratios)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("builds", nargs=2, metavar="BUILD")
    parser.add_argument("--batches", type=int, default=60)
    parser.add_argument("--calls", type=int, default=1000)
    arguments = parser.parse_args()
    source = (BENCH_DIR / "prompt.tyx").read_text()
    variables = json.loads((BENCH_DIR / "prompt_vars.json").read_text())
    a, b = (load_extension(build, name) for build, name in zip(arguments.builds, ["a", "b"]))
    assert a.compile(source, vars=variables).to_json() == b.compile(source, vars=variables).to_json()
    calls = [lambda module=module: module.compile(source, vars=variables) for module in (a, b)]
    # Warm both up so that neither pays for the other's first allocations.
    compare(*calls, 4, arguments.calls)

    figures = {"main thread": compare(*calls, arguments.batches, arguments.calls)}
    worker = threading.Thread(target=lambda: figures.setdefault(
        "8 MiB thread", compare(*calls, arguments.batches, arguments.calls)))
    worker.start()
    worker.join()
    for label, (cost_a, cost_b, ratio) in figures.items():
        print(f"{label}: A {cost_a:.2f} us, B {cost_b:.2f} us per call, B/A {ratio:.4f}")


if __name__ == "__main__":
    main()
