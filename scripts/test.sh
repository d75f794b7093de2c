#!/usr/bin/env bash
# Sets up the machine, runs each fuzzer briefly, builds the sanitizer and the release trees and
# runs every test in both, installs the package with pip to check it and its wheel, and runs the
# Python tests once more with the extension switching stacks as architectures without the
# assembly switch do.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"

# A short run of each fuzzer; longer runs are for the machine of whoever changes the code.
"$root/scripts/build.sh" "$root/build-fuzz" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVORPEL_FUZZ=ON \
    -DVORPEL_SANITIZE=ON -DVORPEL_PYTHON=OFF -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++
# Each starts from its seeds, when it has any, in a scratch corpus that keeps them unchanged.
for fuzzer in "$root"/build-fuzz/fuzz/*_fuzz; do
    name=$(basename "$fuzzer")
    echo "fuzzing $name for 15 s"
    scratch=$(mktemp -d)
    seeds=()
    if [[ -d "$root/fuzz/corpus/${name%_fuzz}" ]]; then seeds=("$root/fuzz/corpus/${name%_fuzz}"); fi
    "$fuzzer" -max_total_time=15 -print_final_stats=0 -dict="$root/fuzz/tyx.dict" "$scratch" \
        "${seeds[@]}" 2>&1 | tail -n 1
    rm -rf "$scratch"
done

"$root/scripts/build.sh" "$root/build-asan" -DCMAKE_BUILD_TYPE=Debug -DVORPEL_SANITIZE=ON \
    -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++
(cd "$root/build-asan" && ctest --output-on-failure -j "$(nproc)")

"$root/scripts/test-package.sh"

"$root/scripts/build.sh" "$root/build" -DCMAKE_BUILD_TYPE=Release
(cd "$root/build" && ctest --output-on-failure -j "$(nproc)")

"$root/scripts/build.sh" "$root/build-portable" -DCMAKE_BUILD_TYPE=Release \
    -DVORPEL_PORTABLE_STACK_SWITCH=ON -DVORPEL_TESTS=OFF -DVORPEL_BENCH=OFF --target _vorpel
PYTHONPATH="$root/build-portable/python" PYTHONDONTWRITEBYTECODE=1 \
    /usr/bin/python3 -m pytest -q -p no:cacheprovider "$root/tests/python"
