#!/usr/bin/env bash
# Sets up the machine, builds the release and the sanitizer trees and runs every test in both.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
"$root/scripts/build.sh" "$root/build" -DCMAKE_BUILD_TYPE=Release
(cd "$root/build" && ctest --output-on-failure -j "$(nproc)")
"$root/scripts/build.sh" "$root/build-asan" -DCMAKE_BUILD_TYPE=Debug -DVORPEL_SANITIZE=ON \
    -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++
(cd "$root/build-asan" && ctest --output-on-failure -j "$(nproc)")
