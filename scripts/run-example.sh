#!/usr/bin/env bash
# Sets up the machine, builds the project and compiles the example template.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
"$root/scripts/build.sh" "$root/build" -DCMAKE_BUILD_TYPE=Release
if [ -f "$root/examples/run.py" ] && [ -f "$root/build/python/vorpel/_vorpel.abi3.so" ]; then
    PYTHONPATH="$root/build/python" /usr/bin/python3 "$root/examples/run.py"
else
    echo "vorpel is under construction: the build succeeded, the compile functions are not there yet."
fi
