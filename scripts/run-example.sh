#!/usr/bin/env bash
# Sets up the machine, builds the extension (and nothing else) and compiles the example templates.
# The build's output goes to a log that is shown only when the build fails.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
mkdir -p "$root/build"
log="$root/build/run-example.log"
if ! "$root/scripts/build.sh" "$root/build" -DCMAKE_BUILD_TYPE=Release --target _vorpel \
        >"$log" 2>&1; then
    cat "$log" >&2
    echo "run-example: the build failed; its output is above and in $log" >&2
    exit 1
fi
PYTHONPATH="$root/build/python" /usr/bin/python3 "$root/examples/run.py"
