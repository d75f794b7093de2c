"""Time and memory of `check` over templates made of many small @define functions.

Run with the built package on the path:
    PYTHONPATH=build/python /usr/bin/python3 bench/define_snapshot_bench.py [COUNT ...]

Each function captures every name defined before it; a capture must cost the same whatever the
number of names, so both figures grow in step with the number of functions. Every count (by
default 8,000 and 100,000) is measured in a fresh interpreter: the wall time of one `check` and
the growth of the process's peak resident memory over it.
"""

import argparse
import json
import os
import subprocess
import sys

# The targets: (count, seconds, MB of extra peak memory).
TARGETS = {8_000: (0.2, 100), 100_000: (3.0, 1024)}

CHILD = r'''
import json, resource, sys, time
import vorpel

count = int(sys.argv[1])
source = "".join(f"@define f{i}(x):\n{{{{ x }}}}\n@end\n" for i in range(count))
source += "{{ f%d(\"a\") }}\n" % (count - 1)
vorpel.check("{{ upper(\"warm\") }}")
before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
start = time.perf_counter()
vorpel.check(source)
seconds = time.perf_counter() - start
after = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
print(json.dumps({"bytes": len(source), "seconds": seconds, "peak_kb": after - before}))
'''


def run_fresh(*arguments):
    """Runs the interpreter with `arguments`; its JSON output and None, or None and why it
    failed."""
    run = subprocess.run([sys.executable, *arguments], capture_output=True, text=True,
                         env=dict(os.environ))
    if run.returncode != 0:
        return None, run.stderr.strip().splitlines()[-1:] or [f"exit {run.returncode}"]
    return json.loads(run.stdout), None


def measure(count):
    return run_fresh("-c", CHILD, str(count))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("counts", nargs="*", type=int, default=list(TARGETS))
    args = parser.parse_args()
    for count in args.counts:
        figures, failure = measure(count)
        if figures is None:
            print(f"{count:>7,} functions: failed: {' '.join(failure)}")
            continue
        megabytes = figures["peak_kb"] / 1024
        line = (f"{count:>7,} functions ({figures['bytes'] / 1e6:.2f} MB of source): "
                f"{figures['seconds']:.3f} s, {megabytes:.1f} MB more peak memory")
        if count in TARGETS:
            seconds, limit = TARGETS[count]
            meets = figures["seconds"] < seconds and megabytes < limit
            line += f"; target under {seconds} s and {limit} MB: {'meets' if meets else 'MISSES'}"
        print(line)


if __name__ == "__main__":
    main()
