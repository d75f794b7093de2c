#!/usr/bin/env bash
# Sets up the machine, builds the project and compiles the example templates.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
"$root/scripts/build.sh" "$root/build" -DCMAKE_BUILD_TYPE=Release
PYTHONPATH="$root/build/python" /usr/bin/python3 "$root/examples/run.py"
