"""Peak memory of one `vorpel.compile` for templates of several shapes, against their size.

Run with the built package on the path:
    PYTHONPATH=build/python /usr/bin/python3 bench/memory_bench.py [--only NAME]

Every shape is measured in a fresh interpreter. Once the source text and its variables are built
and a small template has been compiled (so that the extension's code and the allocator are warm),
the process's peak resident memory is reset to what it holds at that moment; one `compile`
follows, and the figure is how far the peak rose above that baseline, with the result still
alive. It is printed in MB and as a multiple of the source's size in UTF-8.
"""

import argparse
import json
import resource
import time

from define_snapshot_bench import run_fresh
from python_bench import BENCH_DIR, PROMPT_VARS, document_template, text_template

# The peak growth of one call, as a multiple of the source's size, that every shape stays within.
TARGET_MULTIPLE = 20

SHAPES = {
    "names": ("2,000,000 `{{x}}` on one line (10 MB)",
              lambda: ("{{x}}" * 2_000_000, {"x": 42})),
    "lines": ("100,000 lines `{{ x }}`",
              lambda: ("{{ x }}\n" * 100_000, {"x": 42})),
    "document": ("1.2 MB document, 20,000 interpolations",
                 lambda: (document_template()[0], {"user": "Ada", "title": "the weekly plan"})),
    "text": ("10 MB of plain text", lambda: (text_template(), {})),
    "prompt": ("4 KB prompt (prompt.tyx)",
               lambda: ((BENCH_DIR / "prompt.tyx").read_text(), PROMPT_VARS)),
}


def resident_kb(field):
    """VmRSS or VmHWM of this process in KB."""
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise RuntimeError(f"no {field} in /proc/self/status")


def reset_peak():
    """Sets the peak resident memory back to the current one; False where the kernel refuses."""
    try:
        with open("/proc/self/clear_refs", "w") as clear_refs:
            clear_refs.write("5")
        return True
    except OSError:
        return False


def child(shape):
    """Runs in the fresh interpreter: measures one compile of `shape`, prints JSON."""
    import vorpel

    source, variables = SHAPES[shape][1]()
    vorpel.compile((BENCH_DIR / "prompt.tyx").read_text(), vars=PROMPT_VARS)
    if reset_peak():
        before = resident_kb("VmRSS")
    else:
        # Without the reset, a peak reached while building the source would hide the call's.
        before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    start = time.perf_counter()
    result = vorpel.compile(source, vars=variables)
    seconds = time.perf_counter() - start
    peak = resident_kb("VmHWM")
    assert result.output
    print(json.dumps({"bytes": len(source.encode()), "seconds": seconds,
                      "peak_kb": peak - before}))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--only", choices=list(SHAPES), help="measure this shape alone")
    parser.add_argument("--child", choices=list(SHAPES), help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        child(args.child)
        return
    print(f"{'shape':<42}{'source MB':>10}{'call s':>8}{'peak MB':>9}{'x source':>10}")
    for shape, (label, _) in SHAPES.items():
        if args.only and shape != args.only:
            continue
        figures, failure = run_fresh(__file__, "--child", shape)
        if figures is None:
            print(f"{label:<42}failed: {' '.join(failure)}")
            continue
        multiple = figures["peak_kb"] * 1024 / figures["bytes"]
        verdict = "meets" if multiple <= TARGET_MULTIPLE else "MISSES"
        print(f"{label:<42}{figures['bytes'] / 1e6:>10.3f}{figures['seconds']:>8.3f}"
              f"{figures['peak_kb'] * 1024 / 1e6:>9.3f}{multiple:>9.1f}x  "
              f"(target {TARGET_MULTIPLE}x: {verdict})")


if __name__ == "__main__":
    main()
