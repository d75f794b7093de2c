#!/usr/bin/env bash
# Installs the Debian packages the project builds and tests with; safe to run again.
set -euo pipefail
packages=(cmake ninja-build g++ clang libclang-rt-14-dev libyaml-dev libicu-dev nlohmann-json3-dev
          libgtest-dev python3-dev python3-pytest python3-jinja2 python3-yaml pkg-config
          python3-pip python3-setuptools python3-wheel python3-venv python3-mypy)
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "setup: installing ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq "${missing[@]}" >/dev/null
fi
