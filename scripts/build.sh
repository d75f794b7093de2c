#!/usr/bin/env bash
# Configures and builds one tree: scripts/build.sh DIR [cmake options...] [--target NAME...]
# Without --target the whole tree is built.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
dir=$1
shift
options=()
targets=()
while [ $# -gt 0 ]; do
    if [ "$1" = --target ]; then
        targets+=(--target "$2")
        shift 2
    else
        options+=("$1")
        shift
    fi
done
cmake -S "$root" -B "$dir" -G Ninja "${options[@]}" >/dev/null
cmake --build "$dir" -j "${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}" "${targets[@]}"
